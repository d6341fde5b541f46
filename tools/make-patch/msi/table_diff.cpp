#include "msi/table_diff.h"

#include <map>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

std::string DescribeColumns(const std::vector<Column>& columns) {
  std::string text;
  for (const Column& column : columns) {
    if (!text.empty()) text += ", ";
    text += column.name + " (type " + std::to_string(column.type) + ")";
  }
  return text;
}

}  // namespace

std::optional<TableChange> DiffTable(const Table* older, const Table* newer,
                                     const IgnoredColumns& ignored) {
  if (older == nullptr && newer == nullptr) return std::nullopt;
  TableChange change;
  if (older == nullptr) {
    change.kind = TableChange::Kind::kCreated;
    change.table = newer->name;
    change.columns = newer->columns;
    for (const Row& row : newer->rows) change.rows.push_back({RowChange::Kind::kInsert, row, {}});
    return change;
  }
  if (newer == nullptr) {
    change.kind = TableChange::Kind::kDropped;
    change.table = older->name;
    change.columns = older->columns;
    return change;
  }
  if (older->columns != newer->columns) {
    // A transform can add columns in theory, but no installer copes with a
    // patch that reshapes a table: say so rather than write one.
    throw PatchError("table " + newer->name + " has other columns in the new package: [" +
                     DescribeColumns(newer->columns) + "] instead of [" +
                     DescribeColumns(older->columns) + "]");
  }

  change.kind = TableChange::Kind::kRows;
  change.table = newer->name;
  change.columns = newer->columns;
  const std::vector<Column>& columns = newer->columns;

  std::map<std::vector<Value>, const Row*> newRows;
  for (const Row& row : newer->rows) newRows.emplace(newer->KeyOf(row), &row);
  std::map<std::vector<Value>, const Row*> oldRows;
  for (const Row& row : older->rows) oldRows.emplace(older->KeyOf(row), &row);

  for (const Row& row : older->rows) {
    if (!newRows.contains(older->KeyOf(row))) {
      change.rows.push_back({RowChange::Kind::kDelete, row, {}});
    }
  }
  for (const Row& row : newer->rows) {
    const auto old = oldRows.find(newer->KeyOf(row));
    if (old == oldRows.end()) {
      change.rows.push_back({RowChange::Kind::kInsert, row, {}});
      continue;
    }
    // An ignored column keeps its old value, also should the row have to be
    // written whole.
    Row updated = row;
    std::vector<bool> changed(columns.size(), false);
    bool any = false;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].IsKey()) continue;
      if (ignored.contains(newer->name + "." + columns[i].name)) {
        updated[i] = (*old->second)[i];
        continue;
      }
      if ((*old->second)[i] != row[i]) {
        changed[i] = true;
        any = true;
      }
    }
    if (any) change.rows.push_back({RowChange::Kind::kUpdate, std::move(updated), std::move(changed)});
  }
  if (change.rows.empty()) return std::nullopt;
  return change;
}

bool ChangesAStream(const std::vector<TableChange>& changes) {
  for (const TableChange& change : changes) {
    for (const RowChange& row : change.rows) {
      if (row.kind == RowChange::Kind::kDelete) continue;
      // An update may be written as a whole row, its streams with it.
      for (std::size_t i = 0; i < change.columns.size() && i < row.row.size(); ++i) {
        if (change.columns[i].IsBinary() && !row.row[i].IsNull()) return true;
      }
    }
  }
  return false;
}

}  // namespace makepatch
