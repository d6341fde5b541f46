// What a package holds beside the rows of its tables: streams that no row
// owns and substorages (embedded transforms, nested packages). A transform
// can change only tables ("About Transforms": not the summary information,
// substorages or embedded cabinets), so a pair whose packages differ there
// cannot be patched: it is refused by name rather than patched without it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "msi/database.h"

namespace makepatch {

struct LooseStreams {
  using Digest = std::array<std::uint8_t, 16>;
  std::map<std::string, Digest> streams;   // by decoded name
  std::map<std::string, Digest> storages;  // by name: every stream within, names and bytes
};

// The streams that rows of database own: those of binary fields
// ("Binary.Key", named after the table and the row's keys) and the embedded
// cabinets of Media ("#name"), which the patch carries in its own way.
std::set<std::string> RowStreams(const Database& database);

// Every stream and substorage that is new, gone or different in newer, one
// sentence each; empty when there is none.
std::vector<std::string> LooseStreamChanges(const LooseStreams& older, const LooseStreams& newer);

}  // namespace makepatch
