#include "msi/package_streams.h"

#include "msi/transform_encoding.h"

namespace makepatch {
namespace {

void Compare(const std::string& what, const std::map<std::string, LooseStreams::Digest>& older,
             const std::map<std::string, LooseStreams::Digest>& newer, std::vector<std::string>& out) {
  const std::string why = ": a patch changes only the tables, and this is in none of their rows";
  for (const auto& [name, digest] : newer) {
    const auto before = older.find(name);
    if (before == older.end()) {
      out.push_back(what + " " + name + " is new in the new package" + why);
    } else if (before->second != digest) {
      out.push_back(what + " " + name + " differs between the packages" + why);
    }
  }
  for (const auto& [name, digest] : older) {
    if (!newer.contains(name)) out.push_back(what + " " + name + " is gone from the new package" + why);
  }
}

}  // namespace

std::set<std::string> RowStreams(const Database& database) {
  std::set<std::string> names;
  for (const auto& [name, table] : database.tables) {
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      if (!table.columns[i].IsBinary()) continue;
      for (const Row& row : table.rows) {
        if (i < row.size() && !row[i].IsNull()) names.insert(FieldStreamName(name, table.columns, row));
      }
    }
  }
  if (const Table* media = database.FindTable("Media")) {
    for (const Row& row : media->rows) {
      const std::string cabinet = TextAt(*media, row, "Cabinet");
      if (cabinet.size() > 1 && cabinet[0] == '#') names.insert(cabinet.substr(1));
    }
  }
  return names;
}

std::vector<std::string> LooseStreamChanges(const LooseStreams& older, const LooseStreams& newer) {
  std::vector<std::string> out;
  Compare("the stream", older.streams, newer.streams, out);
  Compare("the substorage (an embedded transform or package)", older.storages, newer.storages, out);
  return out;
}

}  // namespace makepatch
