#include "msi/transform_encoding.h"

#include <algorithm>
#include <limits>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

int PackedIndex(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  if (c >= u'a' && c <= u'z') return c - u'a' + 36;
  if (c == u'.') return 62;
  if (c == u'_') return 63;
  return -1;
}

void PutLittleEndian(Bytes& out, std::uint32_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint16_t Narrow16(std::uint32_t value) { return static_cast<std::uint16_t>(value); }

// One table stream of a transform. References every string it will write
// (first pass), or writes the rows (second pass) once the pool knows how
// wide a reference is.
class TableStreamWriter {
 public:
  TableStreamWriter(const std::string& table, const std::vector<Column>& columns,
                    StringPool& pool, std::map<std::u16string, Bytes>& fieldStreams)
      : table_(table), columns_(columns), pool_(pool), fieldStreams_(fieldStreams) {
    if (columns_.size() > 0xFF) throw PatchError("table " + table + " has too many columns");
  }

  void Reference(const RowChange& change) {
    ForEachWritten(change, [&](std::size_t i) {
      if (columns_[i].IsString() && !columns_[i].IsBinary()) pool_.Reference(change.row[i].text);
    });
  }

  void Write(const RowChange& change, Bytes& out) {
    const std::uint16_t mask = MaskOf(change);
    PutLittleEndian(out, mask, 2);
    ForEachWritten(change, [&](std::size_t i) { PutValue(change.row, i, out); });
  }

 private:
  // Masked updates can name columns 1 to 15 only; any other change is
  // written as a whole row, which replaces the row with the same key.
  std::uint16_t MaskOf(const RowChange& change) const {
    const std::uint16_t whole = Narrow16(kRowWhole | (columns_.size() << 8));
    if (change.kind == RowChange::Kind::kInsert) return whole;
    if (change.kind == RowChange::Kind::kDelete) return 0;
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (!change.changed[i]) continue;
      if (i == 0 || i >= kMaskBits) return whole;
      mask |= 1u << i;
    }
    return Narrow16(mask);
  }

  template <typename Fn>
  void ForEachWritten(const RowChange& change, Fn&& fn) const {
    const std::uint16_t mask = MaskOf(change);
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      const bool written = (mask & kRowWhole) != 0 || columns_[i].IsKey() ||
                           (i < kMaskBits && ((mask >> i) & 1u) != 0);
      if (written) fn(i);
    }
  }

  void PutValue(const Row& row, std::size_t i, Bytes& out) {
    const Column& column = columns_[i];
    const Value& value = row[i];
    if (column.IsBinary()) {
      // The field says "there is a stream"; the stream itself is named after
      // the row.
      PutLittleEndian(out, value.IsNull() ? 0 : 1, 2);
      if (!value.IsNull()) {
        fieldStreams_[EncodeStreamName(FieldStreamName(table_, columns_, row), false)] = value.bytes;
      }
      return;
    }
    if (column.IsString()) {
      PutLittleEndian(out, value.IsNull() ? 0 : pool_.Id(value.text), pool_.BytesPerReference());
      return;
    }
    if (value.kind != Value::Kind::kInteger && !value.IsNull()) {
      throw PatchError("table " + table_ + ", column " + column.name + ": not a number");
    }
    if (column.IntegerWidth() == 2) {
      // Stored as value + 0x8000, 0 being null: -32768 has no place.
      if (!value.IsNull() && (value.integer < -32767 || value.integer > 32767)) {
        throw PatchError("table " + table_ + ", column " + column.name + ": " +
                         std::to_string(value.integer) + " does not fit a 16-bit column");
      }
      PutLittleEndian(out, value.IsNull() ? 0 : static_cast<std::uint32_t>(value.integer + 0x8000), 2);
    } else {
      PutLittleEndian(out, value.IsNull() ? 0 : static_cast<std::uint32_t>(value.integer) ^ 0x80000000u, 4);
    }
  }

  const std::string& table_;
  const std::vector<Column>& columns_;
  StringPool& pool_;
  std::map<std::u16string, Bytes>& fieldStreams_;
};

// The rows of _Tables and _Columns that describe the created and dropped
// tables of a transform.
struct SystemTableRows {
  std::vector<RowChange> tables;
  std::vector<RowChange> columns;
};

SystemTableRows DescribeSchemaChanges(const std::vector<TableChange>& changes) {
  SystemTableRows rows;
  for (const TableChange& change : changes) {
    if (change.kind == TableChange::Kind::kCreated) {
      rows.tables.push_back({RowChange::Kind::kInsert, {Value::Text(change.table)}, {}});
      for (const Column& column : change.columns) {
        // Column numbers are left null, as Windows Installer writes them: they
        // follow from the order of the rows.
        rows.columns.push_back({RowChange::Kind::kInsert,
                                {Value::Text(change.table), Value::Null(), Value::Text(column.name),
                                 Value::Integer(static_cast<std::int16_t>(column.type))},
                                {}});
      }
    } else if (change.kind == TableChange::Kind::kDropped) {
      rows.tables.push_back({RowChange::Kind::kDelete, {Value::Text(change.table)}, {}});
    }
  }
  return rows;
}

}  // namespace

std::string FieldStreamName(const std::string& table, const std::vector<Column>& columns, const Row& row) {
  std::string name = table;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].IsKey()) name += "." + row[i].KeyText();
  }
  return name;
}

// The fixed schemas of the two system tables a new table is described in.
const std::vector<Column>& TablesTableColumns() {
  static const std::vector<Column> columns = {
      {"Name", kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 64}};
  return columns;
}
const std::vector<Column>& ColumnsTableColumns() {
  static const std::vector<Column> columns = {
      {"Table", kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 64},
      {"Number", kColumnKey | kColumnNotBinary | kColumnValid | 2},
      {"Name", kColumnNotBinary | kColumnString | kColumnValid | 64},
      {"Type", kColumnNotBinary | kColumnValid | 2},
  };
  return columns;
}

namespace {

// The code point of the well-formed sequence at text[i] and its length;
// false when there is none there.
bool DecodeUtf8At(std::string_view text, std::size_t i, std::uint32_t& code, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    code = lead;
    length = 1;
  } else if ((lead & 0xE0) == 0xC0) {
    code = lead & 0x1F;
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    code = lead & 0x0F;
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    code = lead & 0x07;
    length = 4;
  } else {
    return false;
  }
  if (i + length > text.size()) return false;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    code = (code << 6) | (next & 0x3F);
  }
  return true;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    std::size_t length = 0;
    if (!DecodeUtf8At(text, i, code, length)) throw PatchError("malformed UTF-8 text");
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    std::size_t length = 0;
    if (DecodeUtf8At(text, i, code, length)) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::u16string EncodeStreamName(std::string_view name, bool isTable) {
  const std::u16string in = Utf8ToUtf16(name);
  std::u16string out;
  if (isTable) out.push_back(kTableStreamPrefix);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const int first = PackedIndex(in[i]);
    if (first < 0) {
      out.push_back(in[i]);
      continue;
    }
    const int second = i + 1 < in.size() ? PackedIndex(in[i + 1]) : -1;
    if (second < 0) {
      out.push_back(static_cast<char16_t>(0x4800 + first));
    } else {
      out.push_back(static_cast<char16_t>(0x3800 + first + (second << 6)));
      ++i;
    }
  }
  if (out.size() > kMaxStreamNameUnits) {
    throw PatchError("the stream name \"" + std::string(name) + "\" is too long for a package");
  }
  return out;
}

StringPool::StringPool(std::uint32_t codepage, CodepageEncoder encode)
    : codepage_(codepage), encode_(std::move(encode)) {}

std::uint32_t StringPool::Reference(const std::string& text) {
  if (text.empty()) return 0;
  auto found = ids_.find(text);
  if (found == ids_.end()) {
    std::optional<std::string> bytes = encode_(text);
    if (!bytes) {
      throw PatchError("the text \"" + text + "\" does not fit code page " + std::to_string(codepage_));
    }
    entries_.push_back({std::move(*bytes), 0});
    found = ids_.emplace(text, static_cast<std::uint32_t>(entries_.size())).first;
  }
  Entry& entry = entries_[found->second - 1];
  if (entry.references < 0xFFFF) ++entry.references;  // the count is 16 bits wide
  return found->second;
}

std::uint32_t StringPool::Id(const std::string& text) const {
  if (text.empty()) return 0;
  const auto found = ids_.find(text);
  if (found == ids_.end()) throw PatchError("internal error: \"" + text + "\" is not in the pool");
  return found->second;
}

Bytes StringPool::PoolStream() const {
  Bytes out;
  PutLittleEndian(out, codepage_ & 0xFFFF, 2);
  PutLittleEndian(out, ((codepage_ >> 16) & 0x7FFF) | (BytesPerReference() == 3 ? 0x8000 : 0), 2);
  for (const Entry& entry : entries_) {
    const std::size_t length = entry.bytes.size();
    if (length > std::numeric_limits<std::uint32_t>::max()) throw PatchError("a text is too long");
    if (length < 0x10000) {
      PutLittleEndian(out, static_cast<std::uint32_t>(length), 2);
      PutLittleEndian(out, entry.references, 2);
    } else {
      PutLittleEndian(out, 0, 2);
      PutLittleEndian(out, entry.references, 2);
      PutLittleEndian(out, static_cast<std::uint32_t>(length) & 0xFFFF, 2);
      PutLittleEndian(out, static_cast<std::uint32_t>(length) >> 16, 2);
    }
  }
  return out;
}

Bytes StringPool::DataStream() const {
  Bytes out;
  for (const Entry& entry : entries_) out.insert(out.end(), entry.bytes.begin(), entry.bytes.end());
  return out;
}

std::map<std::u16string, Bytes> EncodeTransform(const std::vector<TableChange>& changes,
                                                std::uint32_t codepage,
                                                const CodepageEncoder& encode) {
  struct Stream {
    std::string table;
    const std::vector<Column>* columns;
    const std::vector<RowChange>* rows;
  };
  const SystemTableRows schema = DescribeSchemaChanges(changes);
  std::vector<Stream> streams;
  if (!schema.tables.empty()) streams.push_back({"_Tables", &TablesTableColumns(), &schema.tables});
  if (!schema.columns.empty()) streams.push_back({"_Columns", &ColumnsTableColumns(), &schema.columns});
  for (const TableChange& change : changes) {
    if (change.kind != TableChange::Kind::kDropped && !change.rows.empty()) {
      streams.push_back({change.table, &change.columns, &change.rows});
    }
  }

  StringPool pool(codepage, encode);
  std::map<std::u16string, Bytes> out;
  for (const Stream& stream : streams) {
    TableStreamWriter writer(stream.table, *stream.columns, pool, out);
    for (const RowChange& row : *stream.rows) writer.Reference(row);
  }
  for (const Stream& stream : streams) {
    TableStreamWriter writer(stream.table, *stream.columns, pool, out);
    Bytes bytes;
    for (const RowChange& row : *stream.rows) writer.Write(row, bytes);
    out[EncodeStreamName(stream.table, true)] = std::move(bytes);
  }
  out[EncodeStreamName("_StringPool", true)] = pool.PoolStream();
  out[EncodeStreamName("_StringData", true)] = pool.DataStream();
  return out;
}

}  // namespace makepatch
