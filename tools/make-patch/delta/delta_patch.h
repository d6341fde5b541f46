// Delta patches of single files as the platform's patch-application
// interface (ApplyPatchToFileW in mspatcha.dll) reads them: the "PA19"
// format, a header that names the old file by size and CRC-32 and the new
// one likewise, then the new file in LZX DELTA compression against the old.
//
// What the decoder takes bounds what is made here: the old file is at most
// 32 MiB (the largest LZX DELTA window; Windows' own engine goes beyond that
// with an interleaved variant that is neither documented nor decoded by
// Wine), it is not empty (the interface maps the old file, and an empty file
// cannot be mapped), and no file reaches 4 GiB. Within the window a match
// reaches back at most 32 MiB less 3 bytes, and the old copy of a byte that
// did not move lies the old file's size back: near 32 MiB only the part of
// the new file that moved towards its start still finds its old copy, and
// the caller's comparison with the compressed whole file decides. Patches
// carry no time stamp and ask for none of the executable normalisations, so
// they apply to the installed bytes exactly as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "delta/lzx_delta_encoder.h"

namespace makepatch {

struct DeltaPatch {
  // The whole patch: what a patch package's cabinet carries for the file.
  // The installer's Patch row gives its size as PatchSize.
  std::vector<std::uint8_t> bytes;
  // The same header without the compressed data, which the interface can
  // check an installed file against (TestApplyPatchToFileW): the Patch
  // row's Header, or the MsiPatchHeaders row it names.
  std::vector<std::uint8_t> header;
};

// The patch that turns oldFile into newFile; nothing when the pair is
// beyond what the decoder takes (see above). Identical files give a patch
// without compressed data, which the decoder applies by copying; it
// applies to an old file of any size.
std::optional<DeltaPatch> MakeDeltaPatch(std::span<const std::uint8_t> oldFile,
                                         std::span<const std::uint8_t> newFile,
                                         const LzxDeltaOptions& options = {});

// CRC-32 as the interface computes it (RtlComputeCrc32 from 0: the IEEE
// polynomial, reflected, starting from and finished with all ones).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// The header's variable-length integers: 7 bits a byte, least significant
// first, the last byte marked by its top bit; the signed form keeps the
// sign in bit 6 of the first byte, which carries 6 bits of the magnitude.
void AppendUnsignedVli(std::vector<std::uint8_t>& out, std::uint64_t value);
void AppendSignedVli(std::vector<std::uint8_t>& out, std::int64_t value);

// Option bits of the header, as patchapi.h names them.
inline constexpr std::uint32_t kPatchOptionUseLzxA = 0x00000001;
inline constexpr std::uint32_t kPatchOptionUseLzxLarge = 0x00000004;
inline constexpr std::uint32_t kPatchOptionNoBindfix = 0x00010000;
inline constexpr std::uint32_t kPatchOptionNoLockfix = 0x00020000;
inline constexpr std::uint32_t kPatchOptionNoRebase = 0x00040000;
inline constexpr std::uint32_t kPatchOptionNoChecksum = 0x00200000;
inline constexpr std::uint32_t kPatchOptionNoResTimeFix = 0x00400000;

}  // namespace makepatch
