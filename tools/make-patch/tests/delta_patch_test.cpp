// The parts of a delta patch a decoder relies on before it decodes a byte:
// code lengths, the bit order, the window it deduces, the header fields and
// checksums. Whether the patches decode is for Wine's decoder to say
// (tests/wine/delta_patch_test.sh).
#include "delta/delta_patch.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "delta/huffman_code.h"
#include "delta/lzx_bit_writer.h"
#include "delta/lzx_delta_encoder.h"

namespace makepatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

TEST(HuffmanCodeLengthsTest, CompleteOptimalAndWithinTheLimit) {
  struct Case {
    std::vector<std::uint32_t> frequencies;
    unsigned limit;
    std::vector<std::uint8_t> expected;  // empty: only the properties below
    const char* why;
  };
  std::vector<std::uint32_t> fibonacci = {1, 1};
  while (fibonacci.size() < 20) fibonacci.push_back(fibonacci.end()[-1] + fibonacci.end()[-2]);
  const Case cases[] = {
      {{1, 1, 2, 4}, 16, {3, 3, 2, 1}, "unlimited: plain Huffman"},
      {{4, 0, 2, 1, 1}, 16, {1, 0, 2, 3, 3}, "an unused symbol gets no code"},
      {{0, 0, 7, 0}, 16, {1, 0, 1, 0}, "one symbol and the lowest other one, for a complete code"},
      {{0, 0, 0}, 16, {0, 0, 0}, "no symbol, no code"},
      {{1, 1, 1, 1, 1, 1, 1, 1}, 3, {3, 3, 3, 3, 3, 3, 3, 3}, "as many symbols as the limit holds"},
      {fibonacci, 15, {}, "Fibonacci frequencies want 19 bits; the pretree's limit is 15"},
      {fibonacci, 7, {}, "and squeezed to 7, the aligned tree's limit"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> lengths = HuffmanCodeLengths(c.frequencies, c.limit);
    if (!c.expected.empty()) {
      EXPECT_EQ(lengths, c.expected) << c.why;
    }
    std::uint64_t kraft = 0;  // in units of 2^-limit
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      EXPECT_LE(lengths[i], c.limit) << c.why;
      EXPECT_TRUE(c.frequencies[i] == 0 || lengths[i] != 0) << c.why << ", symbol " << i;
      if (lengths[i] != 0) kraft += std::uint64_t{1} << (c.limit - lengths[i]);
    }
    const bool none = std::all_of(lengths.begin(), lengths.end(), [](std::uint8_t l) { return l == 0; });
    if (!none) {
      EXPECT_EQ(kraft, std::uint64_t{1} << c.limit) << c.why << ": Kraft sum";
    }
  }
  // The least cost a code within the limit allows, found by a search over
  // the leaves of each depth (unlimited Huffman: 46,344 bits).
  for (const auto& [limit, optimum] : {std::pair{15u, 46348u}, std::pair{7u, 47115u}}) {
    const std::vector<std::uint8_t> lengths = HuffmanCodeLengths(fibonacci, limit);
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < fibonacci.size(); ++i) cost += std::uint64_t{fibonacci[i]} * lengths[i];
    EXPECT_EQ(cost, optimum) << "Fibonacci frequencies within " << limit << " bits";
  }
}

TEST(CanonicalCodesTest, ShorterFirstThenSymbolOrder) {
  EXPECT_EQ(CanonicalCodes(std::vector<std::uint8_t>{2, 1, 3, 3, 0}),
            (std::vector<std::uint32_t>{0b10, 0b0, 0b110, 0b111, 0}));
}

TEST(LzxBitWriterTest, MostSignificantBitFirstInLittleEndianWords) {
  LzxBitWriter writer;
  writer.StartChunk();
  writer.Write(0b1, 1);
  writer.Write(0x1234, 16);  // straddles the first word
  writer.Write(0b101, 3);    // then 12 bits of padding
  writer.FinishChunk();
  writer.StartChunk();
  writer.FinishChunk();
  // 1 0001 0010 0011 0100 101 -> words 0x891A, 0x5000; an empty chunk.
  EXPECT_EQ(writer.bytes(), (Bytes{4, 0, 0x1A, 0x89, 0x00, 0x50, 0, 0}));
}

TEST(LzxDeltaWindowTest, DeducedFromBothSizes) {
  struct Case {
    std::uint64_t reference;
    std::uint64_t data;
    std::uint32_t size;
    unsigned slots;
    bool large;
  };
  constexpr std::uint64_t MiB = 1 << 20;
  const Case cases[] = {
      {0, 0, 1 << 17, 34, false},                  // never below 128 KiB
      {65536, 65536, 1 << 17, 34, false},          // exactly full
      {65537, 65536, 1 << 18, 36, false},          // the old file counts in 32 KiB steps
      {4 * MiB, 4 * MiB, 1 << 23, 98, false},      // 8 MiB: the largest normal window
      {4 * MiB, 4 * MiB + 1, 1 << 24, 162, true},  // beyond it: the large-window option
      {32 * MiB, 32 * MiB, 1 << 25, 290, true},    // the window stops at 32 MiB
  };
  for (const Case& c : cases) {
    const std::optional<LzxDeltaWindow> window = LzxDeltaWindowFor(c.reference, c.data);
    ASSERT_TRUE(window) << c.reference << "+" << c.data;
    EXPECT_EQ(window->size, c.size) << c.reference << "+" << c.data;
    EXPECT_EQ(window->positionSlots, c.slots) << c.reference << "+" << c.data;
    EXPECT_EQ(window->large, c.large) << c.reference << "+" << c.data;
  }
  EXPECT_FALSE(LzxDeltaWindowFor(32 * MiB + 1, 1)) << "an old file larger than any window";
}

// The chunk chain a decoder follows: a 16-bit size, that many bytes, and so
// on, one chunk per 32 KiB of the new file.
TEST(EncodeLzxDeltaTest, ChunksOfThirtyTwoKibibytes) {
  struct Case {
    Bytes old;
    Bytes data;
    const char* why;
  };
  const Bytes noise = Noise(50000, 1);
  Bytes grown = noise;
  grown.insert(grown.end(), noise.begin(), noise.begin() + 20000);
  const Case cases[] = {
      {noise, grown, "a file that grows by a copy of its start"},
      {Noise((4 << 20) + 1, 2), Noise(70000, 3), "an old file beyond the chains' reach: the index looks from byte 0"},
  };
  for (const Case& c : cases) {
    const Bytes stream = EncodeLzxDelta(c.old, c.data);
    std::size_t chunks = 0;
    std::size_t at = 0;
    while (at + 2 <= stream.size()) {
      at += 2 + (stream[at] | stream[at + 1] << 8);
      ++chunks;
    }
    EXPECT_EQ(at, stream.size()) << c.why;
    EXPECT_EQ(chunks, 3u) << c.why << ": 70,000 bytes";
    // The x86 translation bit (off), then a verbatim or aligned block of
    // the whole file: 3 bits of type, 24 of size.
    const std::uint32_t head = stream[3] << 24 | stream[2] << 16 | stream[5] << 8 | stream[4];
    EXPECT_EQ(head >> 31, 0u) << c.why;
    EXPECT_TRUE((head >> 28 & 7) == 1 || (head >> 28 & 7) == 2) << c.why;
    EXPECT_EQ(head >> 4 & 0xFFFFFF, 70000u) << c.why;
  }
  EXPECT_EQ(EncodeLzxDelta(noise, {}), (Bytes{2, 0, 0, 0})) << "an empty file: the bit and its padding";
}

TEST(DeltaPatchTest, VariableLengthIntegers) {
  struct Case {
    std::int64_t value;
    bool isSigned;
    Bytes expected;
  };
  const Case cases[] = {
      // As in patches Windows made (in Wine's tests): a new file of 1,023
      // bytes, an old one a byte shorter; 1,024 bytes and their 512 bytes of
      // compressed data.
      {1023, false, {0x7F, 0x87}},
      {-1, true, {0xC1}},
      {1024, false, {0x00, 0x88}},
      {512, false, {0x00, 0x84}},
      {0, false, {0x80}},
      {128, false, {0x00, 0x81}},
      {63, true, {0xBF}},
      {64, true, {0x00, 0x81}},
      {-64, true, {0x40, 0x81}},
  };
  for (const Case& c : cases) {
    Bytes out;
    if (c.isSigned) {
      AppendSignedVli(out, c.value);
    } else {
      AppendUnsignedVli(out, static_cast<std::uint64_t>(c.value));
    }
    EXPECT_EQ(out, c.expected) << c.value;
  }
}

// The layout is that of a patch Windows made for one old file without a
// time stamp (in Wine's tests): signature, options, new size, new CRC, one
// old file, size difference, old CRC, no ranges, no fix-ups, data size; the
// patch and the header alone each end in four bytes that bring the CRC-32 of
// the whole to all ones, as Windows' header extract does.
TEST(DeltaPatchTest, HeaderNamesBothFiles) {
  EXPECT_EQ(Crc32(Text("123456789")), 0xCBF43926u) << "the CRC-32 check value";

  const Bytes old = Text("the old file, which the new one is made from");
  const Bytes next = Text("the new file, made from the old one");
  const std::optional<DeltaPatch> patch = MakeDeltaPatch(old, next);
  ASSERT_TRUE(patch);
  Bytes expected = Text("PA19");
  const std::uint32_t flags = kPatchOptionUseLzxA | kPatchOptionNoBindfix | kPatchOptionNoLockfix |
                              kPatchOptionNoRebase | kPatchOptionNoChecksum | kPatchOptionNoResTimeFix;
  for (int shift = 0; shift < 32; shift += 8) expected.push_back(static_cast<std::uint8_t>(flags >> shift));
  expected.push_back(0x80 | static_cast<std::uint8_t>(next.size()));
  for (int shift = 0; shift < 32; shift += 8) expected.push_back(static_cast<std::uint8_t>(Crc32(next) >> shift));
  expected.push_back(1);  // one old file, 9 bytes longer
  expected.push_back(0x80 | static_cast<std::uint8_t>(old.size() - next.size()));
  for (int shift = 0; shift < 32; shift += 8) expected.push_back(static_cast<std::uint8_t>(Crc32(old) >> shift));
  expected.insert(expected.end(), {0, 0, 0x80});
  const std::size_t streamSize = patch->bytes.size() - expected.size() - 1 - 4;
  ASSERT_LT(streamSize, 0x80u);
  expected.push_back(0x80 | static_cast<std::uint8_t>(streamSize));
  EXPECT_EQ(Bytes(patch->bytes.begin(), patch->bytes.begin() + expected.size()), expected);
  EXPECT_EQ(Bytes(patch->header.begin(), patch->header.end() - 4), expected) << "the header alone";
  EXPECT_EQ(Crc32(patch->bytes), 0xFFFFFFFFu) << "the patch's CRC-32 residue";
  EXPECT_EQ(Crc32(patch->header), 0xFFFFFFFFu) << "the header's";

  const std::optional<DeltaPatch> same = MakeDeltaPatch(old, old);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->bytes, same->header) << "identical files: no compressed data";

  Bytes large(9 << 20, 0);
  Bytes changed = large;
  changed[5 << 20] = 1;
  const std::optional<DeltaPatch> big = MakeDeltaPatch(large, changed);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->bytes[4] & kPatchOptionUseLzxLarge, kPatchOptionUseLzxLarge) << "an 18 MiB window";
}

TEST(DeltaPatchTest, PairsBeyondTheDecoder) {
  const Bytes text = Text("text");
  EXPECT_FALSE(MakeDeltaPatch({}, text)) << "an empty old file cannot be mapped";
  const Bytes huge((32 << 20) + 1, 0);
  EXPECT_FALSE(MakeDeltaPatch(huge, text)) << "an old file above 32 MiB";
  EXPECT_TRUE(MakeDeltaPatch(huge, huge)) << "unless nothing changed: then nothing is decoded";
}

}  // namespace
}  // namespace makepatch
