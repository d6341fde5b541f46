// Reading a product package (.msi) through msitools' library: its tables,
// summary information and the bytes of its files from its cabinets.
#pragma once

#include <string>

#include "core/patch_plan.h"

namespace makepatch {

// Throws PatchError when path is not an installer database, or when a file
// of its File table is in none of its cabinets.
Package ReadPackage(const std::string& path);

}  // namespace makepatch
