// A cabinet's structure checked by our own bounded reader before a library
// extracts it: the header, the folders, the file entries and the chain of
// every folder's data blocks, so that a cabinet cut short, damaged, or
// claiming sizes it does not hold is refused by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "msi/byte_source.h"
#include "msi/patch_error.h"

namespace makepatch {

struct CabinetEntry {
  std::string name;  // as stored (the File key, for an installer's cabinet)
  std::uint64_t size = 0;
  std::uint16_t folder = 0;
  std::uint32_t offset = 0;  // in its folder's uncompressed bytes
};

struct CabinetShape {
  std::vector<CabinetEntry> files;
  std::uint64_t uncompressed = 0;  // every folder's blocks together
};

// Throws DamagedFile(file, "cabinet " + cabinet, detail, kind) when the
// cabinet is not one, is cut short, or its parts do not add up (a file past
// its folder's blocks, a block past the cabinet's end or larger than a
// block may be). Time and memory stay bounded by the cabinet's size.
CabinetShape CheckCabinet(const ByteSource& source, const std::string& file, const std::string& cabinet,
                          const std::string& kind);

}  // namespace makepatch
