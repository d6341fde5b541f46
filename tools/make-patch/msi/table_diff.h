// Comparing one table of two databases row by row, by primary key.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "msi/database.h"

namespace makepatch {

struct RowChange {
  enum class Kind { kInsert, kUpdate, kDelete };
  Kind kind = Kind::kInsert;
  // Insert and update: the new row. Delete: the old row (only its keys
  // matter).
  Row row;
  // Update: which columns change (never a key column).
  std::vector<bool> changed;
};

struct TableChange {
  enum class Kind {
    kRows,     // the table is in both; rows differ
    kCreated,  // the table is new: its schema and all its rows
    kDropped,  // the table is gone
  };
  Kind kind = Kind::kRows;
  std::string table;
  std::vector<Column> columns;
  std::vector<RowChange> rows;
};

// Columns whose changes are not carried ("File.Sequence" style names).
using IgnoredColumns = std::set<std::string>;

// The change from older to newer; either may be null (a table that is only
// in one of them), not both. Nothing when the two tables hold the same rows.
// Throws PatchError when the two tables do not have the same columns.
std::optional<TableChange> DiffTable(const Table* older, const Table* newer,
                                     const IgnoredColumns& ignored = {});

// Whether any of changes may write a stream: a row inserted or updated
// that has the bytes of a binary column.
bool ChangesAStream(const std::vector<TableChange>& changes);

}  // namespace makepatch
