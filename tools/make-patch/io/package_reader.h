// Reading a product package (.msi) through msitools' library: its tables,
// summary information and the bytes of its files, from its cabinets (in the
// package or beside it) and from the folder tree of an uncompressed package
// or an administrative image.
#pragma once

#include <string>

#include "core/patch_plan.h"

namespace makepatch {

// Throws PatchError when path is not an installer database, or when a file
// of its File table is in none of its cabinets or not in its folder tree
// (the message names the paths tried).
Package ReadPackage(const std::string& path);

}  // namespace makepatch
