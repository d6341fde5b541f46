// The blocks of an LZX DELTA stream: literals and matches as symbols, the
// Huffman trees a block codes them with (each tree coded by a pretree as
// changes from the block before), the choice of blocks for a stretch of
// symbols, and their bits, chunk by chunk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "delta/lzx_bit_writer.h"

namespace makepatch::lzx {

// Each chunk decodes to this much of the new file, the last one to the rest.
inline constexpr std::uint32_t kChunkSize = 32768;
inline constexpr std::uint32_t kMinMatch = 2;
// 257 and up take the extra length field: up to 15 bits on top of 257.
inline constexpr std::uint32_t kMaxMatch = 257 + 32767;
inline constexpr unsigned kLiterals = 256;
inline constexpr unsigned kLengthSymbols = 249;

// Position slots: a match's offset plus 2 (its formatted offset) is a slot's
// base plus footer bits; slots 0 to 2 repeat a recent offset instead.
unsigned FooterBits(unsigned slot);
std::uint32_t SlotBase(unsigned slot);
// The slot of a formatted offset, 3 and up.
unsigned SlotOf(std::uint32_t formatted);

struct Symbol {
  std::uint32_t length = 0;  // 0 for a literal
  std::uint32_t value = 0;   // the literal, or the formatted offset less its slot's base
  std::uint16_t slot = 0;

  std::uint32_t bytes() const { return length == 0 ? 1 : length; }
  unsigned MainElement() const {
    if (length == 0) return value;
    return kLiterals + slot * 8u + (length - kMinMatch < 7 ? length - kMinMatch : 7);
  }
  bool HasLengthSymbol() const { return length >= 9; }
  unsigned LengthSymbol() const { return (length < 257 ? length : 257) - 9; }
};

// A code length as the pretree codes it: a change from the last block's
// length, a run of zeros, or a run of one length.
struct TreeToken {
  std::uint8_t symbol;
  std::uint8_t extraBits;
  std::uint16_t extra;
};

// One range of a tree's lengths as a block header carries it.
struct CodedRange {
  std::vector<TreeToken> tokens;
  std::vector<std::uint8_t> pretree;
  std::uint64_t bits = 0;
};

struct Block {
  std::size_t begin = 0;  // the symbols it codes
  std::size_t end = 0;
  std::uint32_t bytes = 0;  // of the new file
  bool aligned = false;     // an aligned-offset block, else verbatim
  std::vector<std::uint8_t> main;
  std::vector<std::uint8_t> length;
  std::vector<std::uint8_t> alignedLengths;
  std::array<CodedRange, 3> ranges;  // main[0, 256), main[256, ...), length
  std::uint64_t headerBits = 0;
  std::uint64_t bits = 0;  // header and symbols

  unsigned SymbolBits(const Symbol& symbol) const;
};

class BlockPlanner {
 public:
  explicit BlockPlanner(unsigned positionSlots) : mainSize_(kLiterals + 8 * positionSlots) {}

  std::size_t mainSize() const { return mainSize_; }

  // The trees for symbols [begin, end) and what they cost, verbatim or
  // aligned, whichever is shorter, after a block with these lengths.
  Block Plan(std::span<const Symbol> symbols, std::size_t begin, std::size_t end,
             std::span<const std::uint8_t> previousMain, std::span<const std::uint8_t> previousLength) const;

  // Blocks for all the symbols: halves of a block become blocks of their own
  // while that makes the code shorter.
  std::vector<Block> PlanStretch(std::span<const Symbol> symbols, std::span<const std::uint8_t> previousMain,
                                 std::span<const std::uint8_t> previousLength) const;

  // One block per chunk, for symbols that are all literals.
  std::vector<Block> PlanChunks(std::span<const Symbol> symbols, std::span<const std::uint8_t> previousMain,
                                std::span<const std::uint8_t> previousLength) const;

 private:
  void Split(std::span<const Symbol> symbols, std::size_t begin, std::size_t end, unsigned depth,
             std::span<const std::uint8_t> previousMain, std::span<const std::uint8_t> previousLength,
             std::vector<std::pair<std::size_t, std::size_t>>& ranges) const;

  std::size_t mainSize_;
};

// Whether every chunk the blocks cover codes to at most `limit` bytes. The
// blocks start at a chunk's start; the first chunk of the stream also holds
// the translation bit.
bool ChunksFit(std::span<const Block> blocks, std::span<const Symbol> symbols, bool first, std::size_t limit);

// Writes blocks, a new chunk at each 32 KiB of output. No symbol may cross
// a chunk's end.
class StreamWriter {
 public:
  StreamWriter();
  void WriteBlock(const Block& block, std::span<const Symbol> symbols);
  std::vector<std::uint8_t> Finish();

 private:
  void AtBoundary();
  void WriteRange(const CodedRange& range);

  LzxBitWriter writer_;
  std::uint64_t output_ = 0;
  std::uint64_t nextChunk_ = kChunkSize;
};

}  // namespace makepatch::lzx
