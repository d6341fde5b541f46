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
  std::uint16_t folder = 0;  // from 0, in the order of the cabinet's folders
  std::uint32_t offset = 0;  // in its folder's uncompressed bytes
};

struct CabinetShape {
  std::vector<CabinetEntry> files;  // in the order of the cabinet's file entries
  std::uint64_t uncompressed = 0;   // every folder's blocks together
};

// CheckCabinet's refusal. Its detail says what is wrong in the cabinet alone
// ("block 3 of folder 1 holds 65,535 bytes, more than a block's 32,768"),
// for a report that names the cabinet itself.
class DamagedCabinet : public DamagedFile {
 public:
  DamagedCabinet(const std::string& file, const std::string& cabinet, const std::string& detail,
                 const std::string& kind)
      : DamagedFile(file, "cabinet " + cabinet, detail, kind), detail_(detail) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// Throws DamagedCabinet(file, cabinet, detail, kind), whose line reads
// "<file>: cabinet <cabinet> is damaged (<detail>): the file is damaged, or
// not a <kind>", when the cabinet is not one, is cut short, or its parts do
// not add up (a file past its folder's blocks, a block past the cabinet's end
// or larger than a block may be).
//
// Bytes past the size the header claims are allowed (nothing reads them); a
// header claiming more than the source holds is a cabinet cut short.
// A cabinet of a set may name its neighbours, but a file or a block that
// continues into another cabinet is refused: each cabinet is read on its own,
// so such a file could not be read whole.
//
// Reads the header, the folder and file entries and the 8-byte header of
// every data block, never the blocks' data: time is bounded by the number of
// blocks, memory by the number of entries, both capped by the source's size
// before anything is allocated. The blocks' checksums are not verified.
CabinetShape CheckCabinet(const ByteSource& source, const std::string& file, const std::string& cabinet,
                          const std::string& kind);

}  // namespace makepatch
