// Writing the embedded patch package (type "MSP", name "IDR_MSP") to a file.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// Where an extraction stopped, in the order the steps are made. The values
// keep their meaning; new ones are only ever added at the end.
enum class ExtractResult {
  kWritten,             // the whole package is in the file
  kTempPathFailed,      // GetTempPathW gave 0 or more than 1024 units
  kNoTempName,          // no free temporary name
  kResourceMissing,     // no "IDR_MSP" of type "MSP" in the module
  kResourceSizeZero,
  kResourceLoadFailed,
  kResourceLockFailed,
  kOpenFailed,          // the file cannot be created or truncated
  kShortWrite,          // fewer bytes written than the package holds; the
                        // partial file stays, closed
};

// path: in and out. When empty, a fresh temporary name ("<temp>\MSP<n>") is
// made and stored in it before the resource is looked up; it stays there
// whatever the outcome from then on. A non-empty path is never changed.
ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path);

// The same, reduced to: true when the whole package was written to the file
// path names.
bool ExtractPatch(const Platform& platform, std::u16string& path);

}  // namespace hotfix
