// Length-limited prefix codes as LZX uses them: code lengths chosen from
// symbol frequencies, and the canonical codes those lengths stand for.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace makepatch {

// The code length of each symbol (0 for a symbol of frequency 0), none above
// maxLength, with the least total of frequency times length that such a code
// allows (package-merge). The code is always complete (the lengths fill the
// code space exactly): when a single symbol occurs, it and the lowest other
// symbol get length 1, since a decoder may refuse an incomplete code.
// Requires 2 <= frequencies.size() <= 2^maxLength.
std::vector<std::uint8_t> HuffmanCodeLengths(std::span<const std::uint32_t> frequencies,
                                             unsigned maxLength);

// The canonical code of each symbol for these lengths: shorter codes first,
// codes of one length in symbol order, written most significant bit first.
// Symbols of length 0 get 0.
std::vector<std::uint32_t> CanonicalCodes(std::span<const std::uint8_t> lengths);

}  // namespace makepatch
