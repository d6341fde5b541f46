// Where a package keeps each file of its File table: in a cabinet, or
// uncompressed in a folder tree under the package's own folder (an
// uncompressed package, or an administrative image as "msiexec /a" leaves
// it), the tree that the Directory table describes. Pure: the reader opens
// what this names.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "msi/database.h"

namespace makepatch {

// Bits of the Word Count summary property of a package.
inline constexpr std::int32_t kWordCountShortNames = 0x1;
inline constexpr std::int32_t kWordCountCompressed = 0x2;
inline constexpr std::int32_t kWordCountAdministrativeImage = 0x4;
// Bits of File.Attributes that override the package's Word Count.
inline constexpr std::int32_t kFileAttributeNoncompressed = 0x2000;
inline constexpr std::int32_t kFileAttributeCompressed = 0x4000;

struct UncompressedFile {
  std::string key;  // File key
  // Where to find it, relative to the package's folder with "/" between
  // folders: first with the names the Word Count says the image has (long
  // or short), then, when that differs, with the other names.
  std::vector<std::string> paths;
};

struct SourceLayout {
  std::set<std::string> compressed;  // File keys that are in a cabinet
  std::vector<UncompressedFile> uncompressed;  // in File table order
};

// Decides from the Word Count and File.Attributes which files are
// compressed, and where each uncompressed one lies: at the root beside the
// package for a compressed package, in the source tree of the Directory
// table (DefaultDir "target:source", each "short|long", "." for no folder
// of its own; every root directory is the package's folder) otherwise.
// Throws PatchError for a file whose component or directory is missing, or
// a Directory table whose parents loop.
SourceLayout PlanSourceLayout(const Database& database, std::int32_t wordCount);

}  // namespace makepatch
