// A compound file as plain data: the streams and substorages of a patch (or
// of any installer storage), read whole by the storage reader, decoded by the
// pure code that describes the patch.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "msi/transform_encoding.h"

namespace inspectpatch {

using makepatch::Bytes;

struct StorageTree {
  std::array<std::uint8_t, 16> classId{};
  std::map<std::u16string, Bytes> streams;       // by the stream's stored name
  std::map<std::string, StorageTree> storages;   // by name (UTF-8)
};

// Class ids of Windows Installer's storages.
inline constexpr std::array<std::uint8_t, 16> kPatchClassId = {0x86, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                               0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr std::array<std::uint8_t, 16> kDatabaseClassId = {0x84, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                                  0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr std::array<std::uint8_t, 16> kTransformClassId = {0x82, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00,
                                                                   0x00, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                                   0x00, 0x46};

}  // namespace inspectpatch
