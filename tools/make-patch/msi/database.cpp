#include "msi/database.h"

namespace makepatch {

std::string Value::KeyText() const {
  switch (kind) {
    case Kind::kInteger: return std::to_string(integer);
    case Kind::kText: return text;
    case Kind::kNull:
    case Kind::kBinary: break;
  }
  return {};
}

std::optional<std::size_t> Table::ColumnIndex(const std::string& column) const {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name == column) return i;
  }
  return std::nullopt;
}

std::vector<Value> Table::KeyOf(const Row& row) const {
  std::vector<Value> key;
  for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) {
    if (columns[i].IsKey()) key.push_back(row[i]);
  }
  return key;
}

const Row* Table::FindRow(const std::vector<Value>& key) const {
  for (const Row& row : rows) {
    if (KeyOf(row) == key) return &row;
  }
  return nullptr;
}

std::string TextAt(const Table& table, const Row& row, const std::string& column) {
  const auto index = table.ColumnIndex(column);
  return index && *index < row.size() ? row[*index].KeyText() : std::string();
}

std::int32_t IntegerAt(const Table& table, const Row& row, const std::string& column) {
  const auto index = table.ColumnIndex(column);
  if (!index || *index >= row.size() || row[*index].kind != Value::Kind::kInteger) return 0;
  return row[*index].integer;
}

const Table* Database::FindTable(const std::string& name) const {
  const auto found = tables.find(name);
  return found == tables.end() ? nullptr : &found->second;
}

std::optional<std::string> Database::Property(const std::string& name) const {
  const Table* table = FindTable("Property");
  if (table == nullptr || table->columns.size() < 2) return std::nullopt;
  const Row* row = table->FindRow({Value::Text(name)});
  if (row == nullptr || (*row)[1].kind != Value::Kind::kText) return std::nullopt;
  return (*row)[1].text;
}

}  // namespace makepatch
