// An installer database as plain data: tables of typed columns and rows of
// values, as read from a package. Texts are UTF-8; what code page they are
// stored in is the writer's business.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace makepatch {

// Bits of a column type as the _Columns table stores them.
inline constexpr std::uint16_t kColumnSizeMask = 0x00FF;
inline constexpr std::uint16_t kColumnValid = 0x0100;
inline constexpr std::uint16_t kColumnLocalizable = 0x0200;
inline constexpr std::uint16_t kColumnNotBinary = 0x0400;
inline constexpr std::uint16_t kColumnString = 0x0800;
inline constexpr std::uint16_t kColumnNullable = 0x1000;
inline constexpr std::uint16_t kColumnKey = 0x2000;
inline constexpr std::uint16_t kColumnTemporary = 0x4000;

struct Column {
  std::string name;
  std::uint16_t type = 0;

  bool IsKey() const { return (type & kColumnKey) != 0; }
  bool IsString() const { return (type & kColumnString) != 0; }
  // A stream column: a string column without a size and without the
  // "not binary" bit.
  bool IsBinary() const {
    return (type & ~kColumnNullable) == (kColumnString | kColumnValid);
  }
  // Bytes an integer column takes in a table stream: 2 or 4.
  unsigned IntegerWidth() const { return (type & kColumnSizeMask) <= 2 ? 2 : 4; }

  friend bool operator==(const Column&, const Column&) = default;
};

// One field. Binary fields hold the bytes of their stream.
struct Value {
  enum class Kind { kNull, kInteger, kText, kBinary };
  Kind kind = Kind::kNull;
  std::int32_t integer = 0;
  std::string text;                 // kText: UTF-8, never empty (empty is null)
  std::vector<std::uint8_t> bytes;  // kBinary

  static Value Null() { return {}; }
  static Value Integer(std::int32_t v) { return {Kind::kInteger, v, {}, {}}; }
  static Value Text(std::string v) {
    if (v.empty()) return Null();
    return {Kind::kText, 0, std::move(v), {}};
  }
  static Value Binary(std::vector<std::uint8_t> v) { return {Kind::kBinary, 0, {}, std::move(v)}; }

  bool IsNull() const { return kind == Kind::kNull; }
  // The text that names this value inside a stream name: integers in
  // decimal, texts as they are.
  std::string KeyText() const;

  friend bool operator==(const Value&, const Value&) = default;
  friend auto operator<=>(const Value& a, const Value& b) {
    if (a.kind != b.kind) return a.kind <=> b.kind;
    if (a.integer != b.integer) return a.integer <=> b.integer;
    if (a.text != b.text) return a.text <=> b.text;
    return a.bytes <=> b.bytes;
  }
};

using Row = std::vector<Value>;

struct Table {
  std::string name;
  std::vector<Column> columns;
  std::vector<Row> rows;

  // Index of the column of that name, or nothing.
  std::optional<std::size_t> ColumnIndex(const std::string& column) const;
  // The values of the key columns of a row, in column order.
  std::vector<Value> KeyOf(const Row& row) const;
  // The row whose key is key, or nullptr.
  const Row* FindRow(const std::vector<Value>& key) const;
};

// A field of a row by column name. Absent columns and nulls read as "" and
// 0; TextAt gives integers in decimal, IntegerAt gives 0 for anything not
// an integer.
std::string TextAt(const Table& table, const Row& row, const std::string& column);
std::int32_t IntegerAt(const Table& table, const Row& row, const std::string& column);

struct Database {
  std::uint32_t codepage = 0;
  std::map<std::string, Table> tables;

  const Table* FindTable(const std::string& name) const;
  // The text of a row of the Property table, or nothing.
  std::optional<std::string> Property(const std::string& name) const;
};

}  // namespace makepatch
