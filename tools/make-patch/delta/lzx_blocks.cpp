#include "delta/lzx_blocks.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "delta/huffman_code.h"

namespace makepatch::lzx {
namespace {

constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kMainMaxLength = 16;
constexpr unsigned kLengthMaxLength = 16;
constexpr unsigned kAlignedMaxLength = 7;
constexpr unsigned kPretreeMaxLength = 15;

constexpr std::uint32_t kBlockVerbatim = 1;
constexpr std::uint32_t kBlockAligned = 2;

// Halves of a block are tried as blocks of their own down to this depth
// and no smaller than this many symbols.
constexpr unsigned kSplitDepth = 3;
constexpr std::size_t kMinBlockSymbols = 2048;

// What follows a match of 257 bytes and more: a prefix of 1 to 3 bits, then
// the length above 257 less the prefix's base.
struct ExtraLength {
  std::uint32_t prefix;
  unsigned prefixBits;
  std::uint32_t value;
  unsigned valueBits;
};

ExtraLength ExtraLengthOf(std::uint32_t length) {
  const std::uint32_t above = length - 257;
  if (above < 256) return {0b0, 1, above, 8};
  if (above < 256 + 1024) return {0b10, 2, above - 256, 10};
  if (above < 256 + 1024 + 4096) return {0b110, 3, above - 1280, 12};
  return {0b111, 3, above, 15};
}

void Tokenize(std::span<const std::uint8_t> previous, std::span<const std::uint8_t> current,
              std::vector<TreeToken>& tokens) {
  const auto delta = [](std::uint8_t before, std::uint8_t now) {
    return static_cast<std::uint8_t>((before + 17 - now) % 17);
  };
  std::size_t i = 0;
  while (i < current.size()) {
    const std::uint8_t value = current[i];
    std::size_t run = 1;
    while (i + run < current.size() && current[i + run] == value) ++run;
    if (value == 0 && run >= 20) {
      const std::size_t take = std::min<std::size_t>(run, 51);
      tokens.push_back({18, 5, static_cast<std::uint16_t>(take - 20)});
      i += take;
    } else if (value == 0 && run >= 4) {
      const std::size_t take = std::min<std::size_t>(run, 19);
      tokens.push_back({17, 4, static_cast<std::uint16_t>(take - 4)});
      i += take;
    } else if (run >= 4) {
      // The run takes the length the change gives its first place.
      const std::size_t take = std::min<std::size_t>(run, 5);
      tokens.push_back({19, 1, static_cast<std::uint16_t>(take - 4)});
      tokens.push_back({delta(previous[i], value), 0, 0});
      i += take;
    } else {
      tokens.push_back({delta(previous[i], value), 0, 0});
      ++i;
    }
  }
}

CodedRange CodeRange(std::span<const std::uint8_t> previous, std::span<const std::uint8_t> current) {
  CodedRange range;
  Tokenize(previous, current, range.tokens);
  std::array<std::uint32_t, kPretreeSymbols> frequencies{};
  for (const TreeToken& token : range.tokens) ++frequencies[token.symbol];
  range.pretree = HuffmanCodeLengths(frequencies, kPretreeMaxLength);
  range.bits = kPretreeSymbols * 4;
  for (const TreeToken& token : range.tokens) range.bits += range.pretree[token.symbol] + token.extraBits;
  return range;
}

}  // namespace

unsigned FooterBits(unsigned slot) {
  if (slot < 4) return 0;
  return slot < 38 ? (slot >> 1) - 1 : 17;
}

std::uint32_t SlotBase(unsigned slot) {
  if (slot < 4) return slot;
  if (slot < 38) return (2u + (slot & 1)) << ((slot >> 1) - 1);
  return (1u << 19) + ((slot - 38) << 17);
}

unsigned SlotOf(std::uint32_t formatted) {
  if (formatted >= (1u << 19)) return 38 + ((formatted - (1u << 19)) >> 17);
  const unsigned top = 31 - static_cast<unsigned>(std::countl_zero(formatted));
  return 2 * top + ((formatted >> (top - 1)) & 1);
}

unsigned Block::SymbolBits(const Symbol& symbol) const {
  unsigned bits = main[symbol.MainElement()];
  if (symbol.length == 0) return bits;
  if (symbol.HasLengthSymbol()) bits += length[symbol.LengthSymbol()];
  const unsigned footer = FooterBits(symbol.slot);
  bits += aligned && footer >= 3 ? footer - 3 + alignedLengths[symbol.value & 7] : footer;
  if (symbol.length >= 257) {
    const ExtraLength extra = ExtraLengthOf(symbol.length);
    bits += extra.prefixBits + extra.valueBits;
  }
  return bits;
}

Block BlockPlanner::Plan(std::span<const Symbol> symbols, std::size_t begin, std::size_t end,
                         std::span<const std::uint8_t> previousMain,
                         std::span<const std::uint8_t> previousLength) const {
  Block block;
  block.begin = begin;
  block.end = end;
  std::vector<std::uint32_t> mainFrequencies(mainSize_, 0);
  std::vector<std::uint32_t> lengthFrequencies(kLengthSymbols, 0);
  std::array<std::uint32_t, kAlignedSymbols> alignedFrequencies{};
  for (std::size_t i = begin; i < end; ++i) {
    const Symbol& symbol = symbols[i];
    block.bytes += symbol.bytes();
    ++mainFrequencies[symbol.MainElement()];
    if (symbol.length == 0) continue;
    if (symbol.HasLengthSymbol()) ++lengthFrequencies[symbol.LengthSymbol()];
    if (FooterBits(symbol.slot) >= 3) ++alignedFrequencies[symbol.value & 7];
  }
  block.main = HuffmanCodeLengths(mainFrequencies, kMainMaxLength);
  block.length = HuffmanCodeLengths(lengthFrequencies, kLengthMaxLength);
  block.ranges[0] = CodeRange(previousMain.first(kLiterals), std::span(block.main).first(kLiterals));
  block.ranges[1] = CodeRange(previousMain.subspan(kLiterals), std::span(block.main).subspan(kLiterals));
  block.ranges[2] = CodeRange(previousLength, block.length);
  block.headerBits = 3 + 24;
  for (const CodedRange& range : block.ranges) block.headerBits += range.bits;

  std::uint64_t verbatimBits = 0;
  for (std::size_t i = begin; i < end; ++i) verbatimBits += block.SymbolBits(symbols[i]);
  block.bits = block.headerBits + verbatimBits;

  // Aligned offsets pay when the low three bits of far offsets are skewed.
  if (std::any_of(alignedFrequencies.begin(), alignedFrequencies.end(), [](std::uint32_t f) { return f != 0; })) {
    Block aligned = block;
    aligned.aligned = true;
    aligned.alignedLengths = HuffmanCodeLengths(alignedFrequencies, kAlignedMaxLength);
    aligned.headerBits += kAlignedSymbols * 3;
    std::uint64_t alignedBits = 0;
    for (std::size_t i = begin; i < end; ++i) alignedBits += aligned.SymbolBits(symbols[i]);
    aligned.bits = aligned.headerBits + alignedBits;
    if (aligned.bits < block.bits) return aligned;
  }
  return block;
}

std::vector<Block> BlockPlanner::PlanStretch(std::span<const Symbol> symbols,
                                             std::span<const std::uint8_t> previousMain,
                                             std::span<const std::uint8_t> previousLength) const {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  Split(symbols, 0, symbols.size(), kSplitDepth, previousMain, previousLength, ranges);
  std::vector<Block> blocks;
  std::span<const std::uint8_t> main = previousMain;
  std::span<const std::uint8_t> length = previousLength;
  for (const auto& [begin, end] : ranges) {
    blocks.push_back(Plan(symbols, begin, end, main, length));
    main = blocks.back().main;
    length = blocks.back().length;
  }
  return blocks;
}

std::vector<Block> BlockPlanner::PlanChunks(std::span<const Symbol> symbols,
                                            std::span<const std::uint8_t> previousMain,
                                            std::span<const std::uint8_t> previousLength) const {
  std::vector<Block> blocks;
  std::span<const std::uint8_t> main = previousMain;
  std::span<const std::uint8_t> length = previousLength;
  for (std::size_t begin = 0; begin < symbols.size(); begin += kChunkSize) {
    blocks.push_back(Plan(symbols, begin, std::min<std::size_t>(symbols.size(), begin + kChunkSize), main, length));
    main = blocks.back().main;
    length = blocks.back().length;
  }
  return blocks;
}

void BlockPlanner::Split(std::span<const Symbol> symbols, std::size_t begin, std::size_t end, unsigned depth,
                         std::span<const std::uint8_t> previousMain,
                         std::span<const std::uint8_t> previousLength,
                         std::vector<std::pair<std::size_t, std::size_t>>& ranges) const {
  if (depth > 0 && end - begin >= 2 * kMinBlockSymbols) {
    const std::size_t middle = begin + (end - begin) / 2;
    const Block whole = Plan(symbols, begin, end, previousMain, previousLength);
    const Block left = Plan(symbols, begin, middle, previousMain, previousLength);
    const Block right = Plan(symbols, middle, end, left.main, left.length);
    if (left.bits + right.bits < whole.bits) {
      Split(symbols, begin, middle, depth - 1, previousMain, previousLength, ranges);
      Split(symbols, middle, end, depth - 1, left.main, left.length, ranges);
      return;
    }
  }
  ranges.emplace_back(begin, end);
}

bool ChunksFit(std::span<const Block> blocks, std::span<const Symbol> symbols, bool first, std::size_t limit) {
  std::vector<std::uint64_t> chunkBits;
  std::uint64_t output = 0;
  const auto chunk = [&]() -> std::uint64_t& {
    const std::size_t index = output / kChunkSize;
    if (chunkBits.size() <= index) chunkBits.resize(index + 1, 0);
    return chunkBits[index];
  };
  if (first) chunk() += 1;
  for (const Block& block : blocks) {
    chunk() += block.headerBits;
    for (std::size_t i = block.begin; i < block.end; ++i) {
      chunk() += block.SymbolBits(symbols[i]);
      output += symbols[i].bytes();
    }
  }
  return std::all_of(chunkBits.begin(), chunkBits.end(),
                     [&](std::uint64_t bits) { return (bits + 15) / 16 * 2 <= limit; });
}

StreamWriter::StreamWriter() {
  writer_.StartChunk();
  writer_.Write(0, 1);  // no x86 call translation
}

void StreamWriter::WriteBlock(const Block& block, std::span<const Symbol> symbols) {
  AtBoundary();
  writer_.Write(block.aligned ? kBlockAligned : kBlockVerbatim, 3);
  writer_.Write(block.bytes, 24);
  std::vector<std::uint32_t> alignedCodes;
  if (block.aligned) {
    for (std::uint8_t length : block.alignedLengths) writer_.Write(length, 3);
    alignedCodes = CanonicalCodes(block.alignedLengths);
  }
  for (const CodedRange& range : block.ranges) WriteRange(range);
  const std::vector<std::uint32_t> mainCodes = CanonicalCodes(block.main);
  const std::vector<std::uint32_t> lengthCodes = CanonicalCodes(block.length);

  for (std::size_t i = block.begin; i < block.end; ++i) {
    const Symbol& symbol = symbols[i];
    AtBoundary();
    const unsigned element = symbol.MainElement();
    writer_.Write(mainCodes[element], block.main[element]);
    if (symbol.length != 0) {
      if (symbol.HasLengthSymbol()) {
        writer_.Write(lengthCodes[symbol.LengthSymbol()], block.length[symbol.LengthSymbol()]);
      }
      const unsigned footer = FooterBits(symbol.slot);
      if (block.aligned && footer >= 3) {
        writer_.Write(symbol.value >> 3, footer - 3);
        const unsigned low = symbol.value & 7;
        writer_.Write(alignedCodes[low], block.alignedLengths[low]);
      } else {
        writer_.Write(symbol.value, footer);
      }
      if (symbol.length >= 257) {
        const ExtraLength extra = ExtraLengthOf(symbol.length);
        writer_.Write(extra.prefix, extra.prefixBits);
        writer_.Write(extra.value, extra.valueBits);
      }
    }
    output_ += symbol.bytes();
    if (output_ > nextChunk_) throw std::logic_error("EncodeLzxDelta: a match crosses a chunk");
  }
}

std::vector<std::uint8_t> StreamWriter::Finish() {
  writer_.FinishChunk();
  return writer_.Take();
}

void StreamWriter::AtBoundary() {
  if (output_ == nextChunk_) {
    writer_.FinishChunk();
    writer_.StartChunk();
    nextChunk_ += kChunkSize;
  }
}

void StreamWriter::WriteRange(const CodedRange& range) {
  for (std::uint8_t length : range.pretree) writer_.Write(length, 4);
  const std::vector<std::uint32_t> codes = CanonicalCodes(range.pretree);
  for (const TreeToken& token : range.tokens) {
    writer_.Write(codes[token.symbol], range.pretree[token.symbol]);
    writer_.Write(token.extra, token.extraBits);
  }
}

}  // namespace makepatch::lzx
