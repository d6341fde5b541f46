#include "delta/delta_patch.h"

#include <algorithm>
#include <array>

namespace makepatch {
namespace {

constexpr std::uint32_t kSignature = 0x39314150;  // "PA19"

const std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
    table[i] = value;
  }
  return table;
}();

void AppendUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Four bytes that bring the CRC-32 of everything before them and them to
// all ones: the decoder checks a patch (or a header) by that residue.
void AppendCrcBalance(std::vector<std::uint8_t>& out) {
  // The register after the bytes so far, fed back, empties it.
  AppendUint32(out, ~Crc32(out));
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint32_t state = ~crc;
  for (std::uint8_t byte : bytes) state = kCrcTable[(state ^ byte) & 0xFF] ^ (state >> 8);
  return ~state;
}

void AppendUnsignedVli(std::vector<std::uint8_t>& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value & 0x7F));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value | 0x80));
}

void AppendSignedVli(std::vector<std::uint8_t>& out, std::int64_t value) {
  const bool negative = value < 0;
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::uint8_t first = static_cast<std::uint8_t>((magnitude & 0x3F) | (negative ? 0x40 : 0));
  magnitude >>= 6;
  if (magnitude == 0) {
    out.push_back(first | 0x80);
    return;
  }
  out.push_back(first);
  AppendUnsignedVli(out, magnitude);
}

std::optional<DeltaPatch> MakeDeltaPatch(std::span<const std::uint8_t> oldFile,
                                         std::span<const std::uint8_t> newFile,
                                         const LzxDeltaOptions& options) {
  if (oldFile.empty() || oldFile.size() > 0xFFFFFFFFu || newFile.size() > 0xFFFFFFFFu) return std::nullopt;
  const bool same = std::equal(oldFile.begin(), oldFile.end(), newFile.begin(), newFile.end());
  std::vector<std::uint8_t> stream;
  std::uint32_t flags = kPatchOptionUseLzxA | kPatchOptionNoBindfix | kPatchOptionNoLockfix |
                        kPatchOptionNoRebase | kPatchOptionNoChecksum | kPatchOptionNoResTimeFix;
  if (!same) {
    const std::optional<LzxDeltaWindow> window = LzxDeltaWindowFor(oldFile.size(), newFile.size());
    if (!window) return std::nullopt;
    if (window->large) flags |= kPatchOptionUseLzxLarge;
    stream = EncodeLzxDelta(oldFile, newFile, options);
  }

  // Without the time stamp option the header holds no time stamp (the
  // decoder reads that bit the other way round); with the no-rebase option
  // it holds no image base.
  DeltaPatch patch;
  std::vector<std::uint8_t>& header = patch.header;
  AppendUint32(header, kSignature);
  AppendUint32(header, flags);
  AppendUnsignedVli(header, newFile.size());
  AppendUint32(header, Crc32(newFile));
  header.push_back(1);  // one old file
  AppendSignedVli(header, static_cast<std::int64_t>(oldFile.size()) - static_cast<std::int64_t>(newFile.size()));
  AppendUint32(header, Crc32(oldFile));
  header.push_back(0);  // ranges of the old file to ignore
  header.push_back(0);  // ranges to keep as they are
  AppendUnsignedVli(header, 0);  // executable fix-ups
  AppendUnsignedVli(header, stream.size());

  patch.bytes = header;
  patch.bytes.insert(patch.bytes.end(), stream.begin(), stream.end());
  AppendCrcBalance(patch.bytes);
  AppendCrcBalance(header);
  return patch;
}

}  // namespace makepatch
