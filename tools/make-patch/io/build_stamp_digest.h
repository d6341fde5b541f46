// The build stamps of a portable executable as digests (tools/pe), taken
// while a package is read, so that telling a relinked file from a changed
// one needs neither file kept whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "msi/patch_plan.h"

namespace makepatch {

// Nothing for bytes that are not a portable executable the parser reads.
std::optional<BuildStampDigests> DigestBuildStamps(const std::uint8_t* data, std::size_t size);

// The same for a file on disk, read through a read-only mapping: the page
// cache holds it, not the heap. Only a file that begins "MZ" is mapped.
std::optional<BuildStampDigests> DigestBuildStampsOfFile(const std::string& path);

}  // namespace makepatch
