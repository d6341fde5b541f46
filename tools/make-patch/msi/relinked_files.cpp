#include "msi/relinked_files.h"

#include <algorithm>

namespace makepatch {
namespace {

Table* FindTable(Database& database, const std::string& name) {
  const auto found = database.tables.find(name);
  return found == database.tables.end() ? nullptr : &found->second;
}

// The new package's rows of table keyed by file, replaced by the old package's.
void RestoreRowsOfFile(const Database& older, Database& newer, const std::string& tableName, const Value& file) {
  const Table* oldTable = older.FindTable(tableName);
  Table* newTable = FindTable(newer, tableName);
  if (newTable == nullptr || (oldTable != nullptr && oldTable->columns != newTable->columns)) return;
  const auto column = newTable->ColumnIndex("File_");
  if (!column) return;
  std::erase_if(newTable->rows, [&](const Row& row) { return row[*column] == file; });
  if (oldTable == nullptr) return;
  for (const Row& row : oldTable->rows) {
    if (row[*column] == file) newTable->rows.push_back(row);
  }
}

}  // namespace

std::optional<std::string> OnlyBuildStampsDiffer(const PackageFile& older, const PackageFile& newer) {
  if (older.SameBytes(newer) || !older.buildStamps || !newer.buildStamps ||
      older.buildStamps->unstamped != newer.buildStamps->unstamped ||
      older.buildStamps->stamps.size() != newer.buildStamps->stamps.size())
    return std::nullopt;
  std::string names;
  for (std::size_t i = 0; i < older.buildStamps->stamps.size(); ++i) {
    if (older.buildStamps->stamps[i] != newer.buildStamps->stamps[i]) {
      names += (names.empty() ? "" : ", ") + newer.buildStamps->stamps[i].first;
    }
  }
  return names;
}

std::vector<std::string> LeaveOutRelinkedFiles(PackagePair& pair) {
  std::vector<std::string> lines;
  const Table* oldFiles = pair.older.database.FindTable("File");
  Table* newFiles = FindTable(pair.newer.database, "File");
  for (auto& [key, file] : pair.newer.files) {
    const auto old = pair.older.files.find(key);
    if (old == pair.older.files.end()) continue;
    const auto stamps = OnlyBuildStampsDiffer(old->second, file);
    if (!stamps) continue;
    file = old->second;
    const Value fileKey = Value::Text(key);
    const Row* oldRow = oldFiles != nullptr ? oldFiles->FindRow({fileKey}) : nullptr;
    if (oldRow != nullptr && newFiles != nullptr && oldFiles->columns == newFiles->columns) {
      const auto row = std::find_if(newFiles->rows.begin(), newFiles->rows.end(),
                                    [&](const Row& r) { return r[0] == fileKey; });
      for (const char* column : {"FileSize", "Version", "Language"}) {
        const auto index = newFiles->ColumnIndex(column);
        if (row != newFiles->rows.end() && index) (*row)[*index] = (*oldRow)[*index];
      }
    }
    RestoreRowsOfFile(pair.older.database, pair.newer.database, "MsiFileHash", fileKey);
    lines.push_back(key + ": only its build stamps differ (" + *stamps + "): not carried");
  }
  return lines;
}

}  // namespace makepatch
