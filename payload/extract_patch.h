// Writing the embedded patch package (type "MSP", name "IDR_MSP") to a file.
#pragma once

#include <memory>
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
  kCloseFailed,         // the last buffered bytes could not be written, or the
                        // file not closed (a full disk); the partial file stays
  kHoldFailed,          // the written file could not be opened again to hold it
  kNotThePackage,       // what the hold reads is not the package: the file was
                        // changed between the writing and the hold
  kResourceReadFailed,  // the package's bytes could not be read part way
                        // (while writing: the partial file stays, closed;
                        // while comparing: the file stays, not held)
};

// Holds the file of an extracted package: while it lives, no process can
// write, rename or delete the file, and every process can read it. Release
// it (reset) before the program deletes the file itself.
using PackageHold = std::unique_ptr<HeldFile>;

// path: in and out. When empty, a fresh temporary name ("<temp>\MSP<n>") is
// made and stored in it before the resource is looked up; it stays there
// whatever the outcome from then on. A non-empty path is never changed.
ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path);

// The same, reduced to: true when the whole package was written to the file
// path names.
bool ExtractPatch(const Platform& platform, std::u16string& path);

// For copies that are handed to the installer service: once written, the
// file is opened again and held, and true (kWritten) only when the bytes read
// through the hold are the package's, byte for byte; hold then holds it.
// On failure hold is empty and the file stays, as above.
ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path,
                                   PackageHold& hold);
bool ExtractPatch(const Platform& platform, std::u16string& path, PackageHold& hold);

}  // namespace hotfix
