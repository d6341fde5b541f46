#include "msi/transform_decoding.h"

#include <algorithm>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

constexpr char kPackedCharacters[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";

const Bytes* FindStream(const std::map<std::u16string, Bytes>& streams, const std::string& table) {
  const auto found = streams.find(EncodeStreamName(table, true));
  return found == streams.end() ? nullptr : &found->second;
}

std::uint32_t LittleEndian(const Bytes& bytes, std::size_t at, unsigned width) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

// Bytes a field takes in a table stream.
unsigned FieldWidth(const Column& column, unsigned bytesPerReference) {
  if (column.IsBinary()) return 2;
  if (column.IsString()) return bytesPerReference;
  return column.IntegerWidth();
}

// One field from its raw bytes.
Value FieldValue(const Column& column, std::uint32_t raw, const DecodedStringPool& pool, const std::string&) {
  if (raw == 0) return Value::Null();
  if (column.IsBinary()) return Value::Binary({});
  if (column.IsString()) {
    if (raw >= pool.strings.size()) {
      throw PatchError("column " + column.name + " refers to string " + std::to_string(raw) +
                       ", which its string pool does not have (" + std::to_string(pool.strings.size()) +
                       " strings)");
    }
    return Value::Text(pool.strings[raw]);
  }
  if (column.IntegerWidth() == 2) return Value::Integer(static_cast<std::int32_t>(raw) - 0x8000);
  return Value::Integer(static_cast<std::int32_t>(raw ^ 0x80000000u));
}

// The binary fields of a row are streams named after the table and the
// row's keys.
void AttachFieldStreams(const std::string& table, const std::vector<Column>& columns, Row& row,
                        const std::map<std::u16string, Bytes>& streams) {
  std::string name = table;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].IsKey()) name += "." + row[i].KeyText();
  }
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (!columns[i].IsBinary() || row[i].kind != Value::Kind::kBinary) continue;
    try {
      const auto found = streams.find(EncodeStreamName(name, false));
      if (found != streams.end()) row[i] = Value::Binary(found->second);
    } catch (const PatchError&) {
      // A name too long for a stream has no stream: the field stays empty.
    }
  }
}

// The rows of one row-wise table stream of a transform.
std::vector<RowChange> ReadRowWise(const std::string& table, const std::vector<Column>& columns,
                                   const Bytes& bytes, const DecodedStringPool& pool) {
  std::vector<RowChange> rows;
  std::size_t at = 0;
  const auto take = [&](unsigned width) {
    if (bytes.size() - at < width) {
      throw PatchError("its stream ends inside a row (" + std::to_string(bytes.size()) + " bytes)");
    }
    const std::uint32_t value = LittleEndian(bytes, at, width);
    at += width;
    return value;
  };
  while (at < bytes.size()) {
    const std::uint16_t mask = static_cast<std::uint16_t>(take(2));
    RowChange change;
    change.row.assign(columns.size(), Value::Null());
    change.changed.assign(columns.size(), false);
    if ((mask & kRowWhole) != 0) {
      const std::size_t count = mask >> 8;
      if (count > columns.size()) {
        throw PatchError("a row has " + std::to_string(count) + " columns, the table " +
                         std::to_string(columns.size()));
      }
      change.kind = RowChange::Kind::kInsert;
      for (std::size_t i = 0; i < count; ++i) {
        change.row[i] = FieldValue(columns[i], take(FieldWidth(columns[i], pool.bytesPerReference)), pool, table);
      }
    } else {
      change.kind = mask == 0 ? RowChange::Kind::kDelete : RowChange::Kind::kUpdate;
      for (std::size_t i = 0; i < columns.size(); ++i) {
        const bool named = i < kMaskBits && ((mask >> i) & 1u) != 0;
        if (!columns[i].IsKey() && !named) continue;
        change.row[i] = FieldValue(columns[i], take(FieldWidth(columns[i], pool.bytesPerReference)), pool, table);
        change.changed[i] = named && !columns[i].IsKey();
      }
      if (mask != 0 && columns.size() < kMaskBits && (mask >> columns.size()) != 0) {
        throw PatchError("a row's mask names columns past the table's " + std::to_string(columns.size()));
      }
    }
    rows.push_back(std::move(change));
  }
  return rows;
}

// The rows of one column-wise table stream of a database.
std::vector<Row> ReadColumnWise(const std::vector<Column>& columns, const Bytes& bytes,
                                const DecodedStringPool& pool, const std::string& table) {
  std::size_t rowSize = 0;
  for (const Column& column : columns) rowSize += FieldWidth(column, pool.bytesPerReference);
  if (rowSize == 0 || bytes.size() % rowSize != 0) {
    throw PatchError("its stream of " + std::to_string(bytes.size()) + " bytes is not a whole number of rows of " +
                     std::to_string(rowSize) + " bytes");
  }
  const std::size_t count = bytes.size() / rowSize;
  std::vector<Row> rows(count, Row(columns.size()));
  std::size_t at = 0;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const unsigned width = FieldWidth(columns[c], pool.bytesPerReference);
    for (std::size_t r = 0; r < count; ++r, at += width) {
      rows[r][c] = FieldValue(columns[c], LittleEndian(bytes, at, width), pool, table);
    }
  }
  return rows;
}

std::string KeyText(const std::vector<Column>& columns, const Row& row) {
  std::string text;
  for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) {
    if (columns[i].IsKey()) text += (text.empty() ? "" : ", ") + row[i].KeyText();
  }
  return "(" + text + ")";
}

bool IsSystemStream(const std::string& name) {
  return name == "_StringPool" || name == "_StringData" || name == "_Tables" || name == "_Columns";
}

// The columns the _Columns rows give each table, in their order.
std::map<std::string, std::vector<Column>> ColumnsOf(const std::vector<Row>& rows) {
  std::map<std::string, std::vector<std::pair<std::int32_t, Column>>> numbered;
  for (const Row& row : rows) {
    if (row.size() < 4 || row[0].kind != Value::Kind::kText) continue;
    auto& columns = numbered[row[0].text];
    // A null number follows from the order of the rows.
    const std::int32_t number = row[1].IsNull() ? static_cast<std::int32_t>(columns.size() + 1) : row[1].integer;
    columns.emplace_back(number, Column{row[2].text, static_cast<std::uint16_t>(row[3].integer)});
  }
  std::map<std::string, std::vector<Column>> out;
  for (auto& [table, columns] : numbered) {
    std::stable_sort(columns.begin(), columns.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : columns) out[table].push_back(std::move(entry.second));
  }
  return out;
}

}  // namespace

StreamName DecodeStreamName(std::u16string_view encoded) {
  StreamName out;
  std::u16string text;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char16_t c = encoded[i];
    if (i == 0 && c == kTableStreamPrefix) {
      out.isTable = true;
    } else if (c >= 0x3800 && c < 0x4800) {
      text.push_back(static_cast<char16_t>(kPackedCharacters[(c - 0x3800) & 0x3F]));
      text.push_back(static_cast<char16_t>(kPackedCharacters[((c - 0x3800) >> 6) & 0x3F]));
    } else if (c >= 0x4800 && c < 0x4840) {
      text.push_back(static_cast<char16_t>(kPackedCharacters[c - 0x4800]));
    } else {
      text.push_back(c);
    }
  }
  out.name = Utf16ToUtf8(text);
  return out;
}

DecodedStringPool DecodeStringPool(const Bytes& pool, const Bytes& data, const CodepageDecoder& decode) {
  if (pool.size() < 4 || pool.size() % 4 != 0) {
    throw PatchError("its string pool is damaged (" + std::to_string(pool.size()) +
                     " bytes, not a header and whole entries)");
  }
  DecodedStringPool out;
  const std::uint32_t high = LittleEndian(pool, 2, 2);
  out.codepage = LittleEndian(pool, 0, 2) | ((high & 0x7FFF) << 16);
  out.bytesPerReference = (high & 0x8000) != 0 ? 3 : 2;
  out.strings.push_back("");
  std::size_t offset = 0;
  for (std::size_t at = 4; at < pool.size(); at += 4) {
    std::uint32_t length = LittleEndian(pool, at, 2);
    const std::uint32_t references = LittleEndian(pool, at + 2, 2);
    if (length == 0 && references != 0) {
      // A string of 64 KiB or more: its length is in the next entry.
      if (at + 8 > pool.size()) throw PatchError("its string pool ends inside the entry of a long string");
      at += 4;
      length = LittleEndian(pool, at, 2) | (LittleEndian(pool, at + 2, 2) << 16);
    }
    if (data.size() - offset < length) {
      throw PatchError("its string pool names " + std::to_string(offset + length) + " bytes of strings, but " +
                       "_StringData holds " + std::to_string(data.size()));
    }
    out.strings.push_back(decode(std::string_view(reinterpret_cast<const char*>(data.data()) + offset, length)));
    offset += length;
  }
  return out;
}

DecodedTransform DecodeTransform(const std::map<std::u16string, Bytes>& streams, const SchemaLookup& schema,
                                 const CodepageDecoder& decode) {
  const Bytes* poolStream = FindStream(streams, "_StringPool");
  const Bytes* dataStream = FindStream(streams, "_StringData");
  if (poolStream == nullptr || dataStream == nullptr) throw PatchError("it has no string pool");
  const DecodedStringPool pool = DecodeStringPool(*poolStream, *dataStream, decode);

  DecodedTransform out;
  out.codepage = pool.codepage;
  std::vector<std::string> created, dropped;
  if (const Bytes* tables = FindStream(streams, "_Tables")) {
    try {
      for (const RowChange& row : ReadRowWise("_Tables", TablesTableColumns(), *tables, pool)) {
        if (row.row.empty() || row.row[0].kind != Value::Kind::kText) continue;
        (row.kind == RowChange::Kind::kDelete ? dropped : created).push_back(row.row[0].text);
      }
    } catch (const PatchError& error) {
      out.unreadable.emplace_back("_Tables", error.what());
    }
  }
  std::map<std::string, std::vector<Column>> createdColumns;
  if (const Bytes* columns = FindStream(streams, "_Columns")) {
    try {
      std::vector<Row> rows;
      for (RowChange& row : ReadRowWise("_Columns", ColumnsTableColumns(), *columns, pool)) {
        if (row.kind == RowChange::Kind::kInsert) rows.push_back(std::move(row.row));
      }
      createdColumns = ColumnsOf(rows);
    } catch (const PatchError& error) {
      out.unreadable.emplace_back("_Columns", error.what());
    }
  }

  std::vector<TableChange> rowChanges;
  for (const std::string& table : created) {
    out.changes.push_back({TableChange::Kind::kCreated, table, createdColumns[table], {}});
  }
  for (const auto& [encoded, bytes] : streams) {
    const StreamName name = DecodeStreamName(encoded);
    if (!name.isTable || IsSystemStream(name.name)) continue;
    const auto mine = std::find_if(out.changes.begin(), out.changes.end(),
                                   [&](const TableChange& change) { return change.table == name.name; });
    std::vector<Column> columns;
    if (mine != out.changes.end()) {
      columns = mine->columns;
    } else if (auto known = schema(name.name)) {
      columns = std::move(*known);
    } else {
      out.unreadable.emplace_back(name.name, "its columns are unknown: it is not a standard table, and neither "
                                             "the transform nor a package given adds it");
      continue;
    }
    if (columns.empty()) {
      out.unreadable.emplace_back(name.name, "the transform adds it without columns");
      continue;
    }
    try {
      std::vector<RowChange> rows = ReadRowWise(name.name, columns, bytes, pool);
      for (RowChange& row : rows) AttachFieldStreams(name.name, columns, row.row, streams);
      if (mine != out.changes.end()) {
        mine->rows = std::move(rows);
      } else {
        rowChanges.push_back({TableChange::Kind::kRows, name.name, std::move(columns), std::move(rows)});
      }
    } catch (const PatchError& error) {
      out.unreadable.emplace_back(name.name, error.what());
    }
  }
  for (TableChange& change : rowChanges) out.changes.push_back(std::move(change));
  for (const std::string& table : dropped) out.changes.push_back({TableChange::Kind::kDropped, table, {}, {}});
  return out;
}

Database DecodeDatabase(const std::map<std::u16string, Bytes>& streams, const CodepageDecoder& decode,
                        std::vector<std::pair<std::string, std::string>>* unreadable) {
  const Bytes* poolStream = FindStream(streams, "_StringPool");
  const Bytes* dataStream = FindStream(streams, "_StringData");
  if (poolStream == nullptr || dataStream == nullptr) throw PatchError("its database has no string pool");
  const DecodedStringPool pool = DecodeStringPool(*poolStream, *dataStream, decode);
  const Bytes empty;
  const Bytes* tablesStream = FindStream(streams, "_Tables");
  const Bytes* columnsStream = FindStream(streams, "_Columns");
  const std::vector<Row> tableRows = ReadColumnWise(TablesTableColumns(), tablesStream ? *tablesStream : empty,
                                                    pool, "_Tables");
  std::map<std::string, std::vector<Column>> columns =
      ColumnsOf(ReadColumnWise(ColumnsTableColumns(), columnsStream ? *columnsStream : empty, pool, "_Columns"));

  Database database;
  database.codepage = pool.codepage;
  for (const Row& row : tableRows) {
    if (row.empty() || row[0].kind != Value::Kind::kText) continue;
    const std::string& name = row[0].text;
    Table table{name, columns[name], {}};
    if (const Bytes* bytes = FindStream(streams, name); bytes != nullptr && !bytes->empty()) {
      try {
        table.rows = ReadColumnWise(table.columns, *bytes, pool, name);
      } catch (const PatchError& error) {
        if (unreadable != nullptr) unreadable->emplace_back(name, error.what());
        continue;
      }
    }
    database.tables.emplace(name, std::move(table));
  }
  return database;
}

std::vector<Row> DecodeTableStream(const std::vector<Column>& columns, const Bytes& bytes,
                                   const DecodedStringPool& pool) {
  if (bytes.empty()) return {};
  return ReadColumnWise(columns, bytes, pool, "");
}

Database ApplyTransform(const Database& base, const std::vector<TableChange>& changes,
                        std::vector<std::string>* conflicts) {
  Database out = base;
  const auto conflict = [&](std::string text) {
    if (conflicts != nullptr) conflicts->push_back(std::move(text));
  };
  for (const TableChange& change : changes) {
    if (change.kind == TableChange::Kind::kDropped) {
      if (out.tables.erase(change.table) == 0) conflict("it drops the table " + change.table + ", which is missing");
      continue;
    }
    auto found = out.tables.find(change.table);
    if (change.kind == TableChange::Kind::kCreated) {
      if (found != out.tables.end()) {
        conflict("it adds the table " + change.table + ", which exists");
      } else {
        found = out.tables.emplace(change.table, Table{change.table, change.columns, {}}).first;
      }
    } else if (found == out.tables.end()) {
      conflict("it changes rows of the table " + change.table + ", which is missing");
      continue;
    }
    Table& table = found->second;
    for (const RowChange& row : change.rows) {
      Row values = row.row;
      values.resize(table.columns.size());
      const std::vector<Value> key = table.KeyOf(values);
      const auto existing = std::find_if(table.rows.begin(), table.rows.end(),
                                         [&](const Row& candidate) { return table.KeyOf(candidate) == key; });
      switch (row.kind) {
        case RowChange::Kind::kInsert:
          // A whole row replaces the row of its key.
          if (existing != table.rows.end()) {
            *existing = std::move(values);
          } else {
            table.rows.push_back(std::move(values));
          }
          break;
        case RowChange::Kind::kUpdate:
          if (existing == table.rows.end()) {
            conflict("it updates the row " + KeyText(table.columns, values) + " of " + change.table +
                     ", which is missing");
            break;
          }
          for (std::size_t i = 0; i < row.changed.size() && i < existing->size(); ++i) {
            if (row.changed[i]) (*existing)[i] = values[i];
          }
          break;
        case RowChange::Kind::kDelete:
          if (existing == table.rows.end()) {
            conflict("it deletes the row " + KeyText(table.columns, values) + " of " + change.table +
                     ", which is missing");
          } else {
            table.rows.erase(existing);
          }
          break;
      }
    }
  }
  return out;
}

}  // namespace makepatch
