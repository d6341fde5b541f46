#include "io/package_transfer.h"

#include <cstring>
#include <string>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

class Writer {
 public:
  void Number(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  void Raw(const void* data, std::size_t size) {
    const auto* at = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), at, at + size);
  }
  void Text(const std::string& text) {
    Number(text.size());
    Raw(text.data(), text.size());
  }
  void Blob(const std::vector<std::uint8_t>& blob) {
    Number(blob.size());
    Raw(blob.data(), blob.size());
  }
  void DigestOf(const Digest& digest) { Raw(digest.data(), digest.size()); }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::uint64_t Number() {
    Need(8);
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes_[at_ + i]) << (8 * i);
    at_ += 8;
    return value;
  }
  std::string Text() {
    const std::uint64_t size = Number();
    Need(size);
    std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), static_cast<std::size_t>(size));
    at_ += static_cast<std::size_t>(size);
    return text;
  }
  std::vector<std::uint8_t> Blob() {
    const std::uint64_t size = Number();
    Need(size);
    std::vector<std::uint8_t> blob(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                   bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + size));
    at_ += static_cast<std::size_t>(size);
    return blob;
  }
  Digest DigestOf() {
    Need(sizeof(Digest));
    Digest digest;
    std::memcpy(digest.data(), bytes_.data() + at_, digest.size());
    at_ += digest.size();
    return digest;
  }
  // A count of things of at least one byte each: never more than are left.
  std::size_t Count() {
    const std::uint64_t count = Number();
    if (count > bytes_.size() - at_) Fail();
    return static_cast<std::size_t>(count);
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  void Need(std::uint64_t size) const {
    if (size > bytes_.size() - at_) Fail();
  }
  [[noreturn]] static void Fail() { throw PatchError("the reader process's answer is cut short"); }

  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

void PutDigests(Writer& out, const std::map<std::string, Digest>& digests) {
  out.Number(digests.size());
  for (const auto& [name, digest] : digests) {
    out.Text(name);
    out.DigestOf(digest);
  }
}

std::map<std::string, Digest> TakeDigests(Reader& in) {
  std::map<std::string, Digest> digests;
  for (std::size_t n = in.Count(); n > 0; --n) {
    std::string name = in.Text();
    digests[std::move(name)] = in.DigestOf();
  }
  return digests;
}

}  // namespace

std::vector<std::uint8_t> EncodePackage(const Package& package) {
  Writer out;
  out.Text(package.path);
  out.Number(package.database.codepage);
  out.Number(package.database.tables.size());
  for (const auto& [name, table] : package.database.tables) {
    out.Text(name);
    out.Number(table.columns.size());
    for (const Column& column : table.columns) {
      out.Text(column.name);
      out.Number(column.type);
    }
    out.Number(table.rows.size());
    for (const Row& row : table.rows) {
      out.Number(row.size());
      for (const Value& value : row) {
        out.Number(static_cast<std::uint64_t>(value.kind));
        switch (value.kind) {
          case Value::Kind::kNull: break;
          case Value::Kind::kInteger: out.Number(static_cast<std::uint32_t>(value.integer)); break;
          case Value::Kind::kText: out.Text(value.text); break;
          case Value::Kind::kBinary: out.Blob(value.bytes); break;
        }
      }
    }
  }
  out.Text(package.summaryTemplate);
  out.Number(static_cast<std::uint32_t>(package.pageCount));
  out.Number(package.files.size());
  for (const auto& [key, file] : package.files) {
    out.Text(key);
    out.Number(file.size);
    out.DigestOf(file.digest);
    out.Number(file.content ? 1 : 0);
    if (file.content) {
      out.Blob(file.content->bytes);
      out.Text(file.content->path);
    }
    out.Number(file.buildStamps ? 1 : 0);
    if (file.buildStamps) {
      out.DigestOf(file.buildStamps->unstamped);
      out.Number(file.buildStamps->stamps.size());
      for (const auto& [name, digest] : file.buildStamps->stamps) {
        out.Text(name);
        out.DigestOf(digest);
      }
    }
  }
  PutDigests(out, package.loose.streams);
  PutDigests(out, package.loose.storages);
  return out.Take();
}

Package DecodePackage(const std::vector<std::uint8_t>& bytes) {
  Reader in(bytes);
  Package package;
  package.path = in.Text();
  package.database.codepage = static_cast<std::uint32_t>(in.Number());
  for (std::size_t tables = in.Count(); tables > 0; --tables) {
    Table table;
    table.name = in.Text();
    for (std::size_t columns = in.Count(); columns > 0; --columns) {
      Column column;
      column.name = in.Text();
      column.type = static_cast<std::uint16_t>(in.Number());
      table.columns.push_back(std::move(column));
    }
    for (std::size_t rows = in.Count(); rows > 0; --rows) {
      Row& row = table.rows.emplace_back();
      for (std::size_t fields = in.Count(); fields > 0; --fields) {
        Value& value = row.emplace_back();
        value.kind = static_cast<Value::Kind>(in.Number());
        switch (value.kind) {
          case Value::Kind::kNull: break;
          case Value::Kind::kInteger: value.integer = static_cast<std::int32_t>(in.Number()); break;
          case Value::Kind::kText: value.text = in.Text(); break;
          case Value::Kind::kBinary: value.bytes = in.Blob(); break;
          default: throw PatchError("the reader process's answer holds a field of no kind");
        }
      }
    }
    std::string name = table.name;
    package.database.tables.emplace(std::move(name), std::move(table));
  }
  package.summaryTemplate = in.Text();
  package.pageCount = static_cast<std::int32_t>(in.Number());
  for (std::size_t files = in.Count(); files > 0; --files) {
    std::string key = in.Text();
    PackageFile file;
    file.size = in.Number();
    file.digest = in.DigestOf();
    if (in.Number() != 0) {
      auto content = std::make_shared<FileContent>();
      content->bytes = in.Blob();
      content->path = in.Text();
      file.content = std::move(content);
    }
    if (in.Number() != 0) {
      BuildStampDigests stamps;
      stamps.unstamped = in.DigestOf();
      for (std::size_t n = in.Count(); n > 0; --n) {
        std::string name = in.Text();
        stamps.stamps.emplace_back(std::move(name), in.DigestOf());
      }
      file.buildStamps = std::move(stamps);
    }
    package.files.emplace(std::move(key), std::move(file));
  }
  package.loose.streams = TakeDigests(in);
  package.loose.storages = TakeDigests(in);
  if (!in.AtEnd()) throw PatchError("the reader process's answer has more than a package");
  return package;
}

}  // namespace makepatch
