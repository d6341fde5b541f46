// LZX DELTA compression: the new file coded as LZX data that may refer back
// into the old file, which the decoder holds just before the window's start.
//
// The stream: a bit saying the x86 call translation is off, then blocks
// (verbatim or aligned-offset, each with its Huffman trees coded by
// pretrees as differences from the block before), carried in chunks that
// each decode to 32 KiB of the new file (the last one to the rest) and start
// with their size. No match crosses a chunk's end, so the chunks are exactly
// 32 KiB of output whichever way a decoder counts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace makepatch {

// The window a decoder deduces from the two sizes (it is not in the
// stream): the smallest power of two from 128 KiB that holds the old file
// rounded up to 32 KiB plus the new file, at most 32 MiB. A window above
// 8 MiB needs the decoder's large-window option.
struct LzxDeltaWindow {
  std::uint32_t size = 0;
  unsigned positionSlots = 0;
  bool large = false;

  // The furthest a match may reach back: the last slot's top offset less 2.
  std::uint32_t maxDistance() const { return size - 3; }
};

// The largest old file the decoder takes: it refuses an old file larger than
// its window.
inline constexpr std::uint64_t kLzxDeltaMaxReferenceSize = std::uint64_t{32} << 20;

// Nothing when the old file is larger than kLzxDeltaMaxReferenceSize or the
// two together do not fit 32 bits.
std::optional<LzxDeltaWindow> LzxDeltaWindowFor(std::uint64_t referenceSize, std::uint64_t dataSize);

struct LzxDeltaOptions {
  // A chunk whose code would pass this many bytes makes the stretch it is in
  // fall back to literals, chunk by chunk, which always fits. The chunk's
  // size field holds 65535; tests lower it to exercise the fallback.
  std::size_t chunkByteLimit = 0xFFFF;
};

// The stream that rebuilds data from reference. Requires
// LzxDeltaWindowFor(reference.size(), data.size()).
std::vector<std::uint8_t> EncodeLzxDelta(std::span<const std::uint8_t> reference,
                                         std::span<const std::uint8_t> data,
                                         const LzxDeltaOptions& options = {});

}  // namespace makepatch
