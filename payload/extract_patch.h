// Writing the embedded patch package (type "MSP", name "IDR_MSP") to a file.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// path: in and out. When empty, a fresh temporary name ("<temp>\MSP<n>") is
// made and stored in it before the package is written. Returns true when the
// whole package was written to the file path names.
bool ExtractPatch(const Platform& platform, std::u16string& path);

}  // namespace hotfix
