#include "core/lzx_delta_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

#include "core/huffman_code.h"
#include "core/lzx_bit_writer.h"
#include "core/lzx_match_finder.h"

namespace makepatch {
namespace {

constexpr std::uint32_t kChunkSize = 32768;
constexpr std::uint32_t kMinMatch = 2;
// 257 and up take the extra length field, up to 15 bits on top of 257.
constexpr std::uint32_t kMaxMatch = 257 + 32767;

constexpr unsigned kLiterals = 256;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kMainMaxLength = 16;
constexpr unsigned kLengthMaxLength = 16;
constexpr unsigned kAlignedMaxLength = 7;
constexpr unsigned kPretreeMaxLength = 15;

constexpr std::uint32_t kBlockVerbatim = 1;
constexpr std::uint32_t kBlockAligned = 2;

// A stretch of the new file is parsed, then cut into blocks: at most this
// many symbols (the bound of the parse's memory) or bytes (well inside a
// block's 24-bit size).
constexpr std::size_t kSegmentSymbols = 65536;
constexpr std::size_t kSegmentBytes = std::size_t{4} << 20;
constexpr unsigned kSplitDepth = 3;
constexpr std::size_t kMinBlockSymbols = 2048;

unsigned FooterBits(unsigned slot) {
  if (slot < 4) return 0;
  return slot < 38 ? (slot >> 1) - 1 : 17;
}

std::uint32_t SlotBase(unsigned slot) {
  if (slot < 4) return slot;
  if (slot < 38) return (2u + (slot & 1)) << ((slot >> 1) - 1);
  return (1u << 19) + ((slot - 38) << 17);
}

// The position slot of a formatted offset (a distance plus 2), 3 and up.
unsigned SlotOf(std::uint32_t formatted) {
  if (formatted >= (1u << 19)) return 38 + ((formatted - (1u << 19)) >> 17);
  const unsigned top = 31 - static_cast<unsigned>(std::countl_zero(formatted));
  return 2 * top + ((formatted >> (top - 1)) & 1);
}

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

struct Symbol {
  std::uint32_t length = 0;  // 0 for a literal
  std::uint32_t value = 0;   // the literal, or the formatted offset less its slot's base
  std::uint16_t slot = 0;    // 0 to 2 repeat a recent offset

  std::uint32_t bytes() const { return length == 0 ? 1 : length; }
  unsigned MainElement() const {
    if (length == 0) return value;
    return kLiterals + slot * 8u + std::min<std::uint32_t>(length - kMinMatch, 7);
  }
  bool HasLengthSymbol() const { return length >= 9; }
  unsigned LengthSymbol() const { return std::min<std::uint32_t>(length, 257) - 9; }
};

// The current offset and the two before it, as the decoder keeps them.
using RepeatedOffsets = std::array<std::uint32_t, 3>;

// Splits the new file into literals and matches. Matches end at the chunk
// they start in; bit costs are estimates, good enough to choose between a
// literal and a match.
class Parser {
 public:
  Parser(std::uint64_t referenceSize, std::span<const std::uint8_t> data, LzxMatchFinder& finder,
         std::uint32_t maxDistance)
      : referenceSize_(referenceSize), data_(data), finder_(finder), maxDistance_(maxDistance) {}

  RepeatedOffsets offsets{1, 1, 1};

  void ParseChunk(std::size_t begin, std::size_t end, std::vector<Symbol>& out) {
    std::size_t position = begin;
    while (position < end) {
      const bool search = ShouldSearch();
      Choice choice = Best(position, end, search);
      // One step of lazy matching: a better match a byte later wins.
      while (search && choice.gain > 0 && choice.length < kLazyEnough && position + 1 < end) {
        const Choice next = Best(position + 1, end, true);
        if (next.gain <= choice.gain) break;
        out.push_back({0, data_[position], 0});
        ++position;
        choice = next;
      }
      if (choice.gain > 0) {
        out.push_back(MatchSymbol(choice));
        position += choice.length;
        literalRun_ = 0;
        // A long match copies the old file or what came before it: its
        // positions would only crowd the chains.
        if (choice.length > kLearnLongest) learned_ = position;
      } else {
        out.push_back({0, data_[position], 0});
        ++position;
        ++literalRun_;
        if (!search) learned_ = position;
      }
    }
  }

 private:
  static constexpr std::uint32_t kLazyEnough = 64;
  static constexpr std::uint32_t kLearnLongest = 1024;
  static constexpr int kLiteralBits = 8;
  // After this many literals in a row, as in data that does not compress,
  // the chains and the index are asked at every few positions only, up to
  // every 16th; the recent offsets are still tried at each.
  static constexpr std::size_t kAccelerateAfter = 256;
  static constexpr std::size_t kMaxStep = 16;

  struct Choice {
    std::uint32_t length = 0;
    std::uint32_t distance = 0;
    int gain = 0;  // estimated bits saved over literals
  };

  static int LengthBits(std::uint32_t length) { return (length >= 9 ? 6 : 0) + (length >= 257 ? 12 : 0); }

  bool ShouldSearch() {
    if (literalRun_ < kAccelerateAfter) return true;
    if (countdown_ > 0) {
      --countdown_;
      return false;
    }
    countdown_ = std::min(kMaxStep, 1 + (literalRun_ - kAccelerateAfter) / 32) - 1;
    return true;
  }

  Choice Best(std::size_t position, std::size_t chunkEnd, bool search) {
    const auto limit = static_cast<std::uint32_t>(std::min<std::size_t>(chunkEnd - position, kMaxMatch));
    Choice best;
    if (limit < kMinMatch) return best;
    const std::uint64_t here = referenceSize_ + position;
    for (unsigned k = 0; k < offsets.size(); ++k) {
      const std::uint32_t distance = offsets[k];
      if (distance > here || distance > maxDistance_) continue;
      const std::uint32_t length = finder_.MatchLength(here - distance, position, limit);
      if (length < kMinMatch) continue;
      const int gain = kLiteralBits * static_cast<int>(length) - (k == 0 ? 4 : 6) - LengthBits(length);
      if (gain > best.gain) best = {length, distance, gain};
    }
    if (!search || best.length == limit) return best;

    for (; learned_ < position; ++learned_) finder_.Insert(learned_);
    const LzxMatchFinder::Match found = finder_.Find(position, limit);
    if (found.length >= 3) {
      const int cost = 9 + static_cast<int>(FooterBits(SlotOf(found.distance + 2))) + LengthBits(found.length);
      const int gain = kLiteralBits * static_cast<int>(found.length) - cost;
      if (gain > best.gain) best = {found.length, found.distance, gain};
    }
    return best;
  }

  Symbol MatchSymbol(const Choice& choice) {
    Symbol symbol{choice.length, 0, 0};
    if (choice.distance == offsets[0]) {
      symbol.slot = 0;
    } else if (choice.distance == offsets[1]) {
      symbol.slot = 1;
      std::swap(offsets[0], offsets[1]);
    } else if (choice.distance == offsets[2]) {
      symbol.slot = 2;
      std::swap(offsets[0], offsets[2]);
    } else {
      const std::uint32_t formatted = choice.distance + 2;
      symbol.slot = static_cast<std::uint16_t>(SlotOf(formatted));
      symbol.value = formatted - SlotBase(symbol.slot);
      offsets = {choice.distance, offsets[0], offsets[1]};
    }
    return symbol;
  }

  std::uint64_t referenceSize_;
  std::span<const std::uint8_t> data_;
  LzxMatchFinder& finder_;
  std::uint32_t maxDistance_;
  std::size_t learned_ = 0;  // the next position the chains may learn
  std::size_t literalRun_ = 0;
  std::size_t countdown_ = 0;
};

// A code length as the pretree codes it: a change from the last block's
// length, a run of zeros, or a run of one length.
struct TreeToken {
  std::uint8_t symbol;
  std::uint8_t extraBits;
  std::uint16_t extra;
};

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

// One range of a tree's lengths as the block header carries it.
struct CodedRange {
  std::vector<TreeToken> tokens;
  std::vector<std::uint8_t> pretree;
  std::uint64_t bits = 0;
};

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

struct Block {
  std::size_t begin = 0;  // symbols
  std::size_t end = 0;
  std::uint32_t bytes = 0;  // of the new file
  bool aligned = false;
  std::vector<std::uint8_t> main;
  std::vector<std::uint8_t> length;
  std::vector<std::uint8_t> alignedLengths;
  std::array<CodedRange, 3> ranges;
  std::uint64_t headerBits = 0;
  std::uint64_t bits = 0;  // header and symbols

  unsigned SymbolBits(const Symbol& symbol) const {
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
};

class BlockPlanner {
 public:
  BlockPlanner(unsigned positionSlots) : mainSize_(kLiterals + 8 * positionSlots) {}

  std::size_t mainSize() const { return mainSize_; }

  Block Plan(std::span<const Symbol> symbols, std::size_t begin, std::size_t end,
             std::span<const std::uint8_t> previousMain, std::span<const std::uint8_t> previousLength) const {
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

  // Blocks for the symbols: halves of a block become blocks of their own
  // while that makes the code shorter.
  std::vector<Block> PlanSegment(std::span<const Symbol> symbols, std::span<const std::uint8_t> previousMain,
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

  // One block per chunk of literals.
  std::vector<Block> PlanChunks(std::span<const Symbol> symbols, std::span<const std::uint8_t> previousMain,
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

 private:
  void Split(std::span<const Symbol> symbols, std::size_t begin, std::size_t end, unsigned depth,
             std::span<const std::uint8_t> previousMain, std::span<const std::uint8_t> previousLength,
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

  std::size_t mainSize_;
};

// Whether every chunk the blocks cover codes to at most `limit` bytes.
// Blocks start at a chunk's start here; the first chunk of the stream also
// holds the translation bit.
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

// Writes blocks, starting a new chunk at each 32 KiB of output.
class StreamWriter {
 public:
  StreamWriter() {
    writer_.StartChunk();
    writer_.Write(0, 1);  // no x86 call translation
  }

  void WriteBlock(const Block& block, std::span<const Symbol> symbols) {
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

  std::vector<std::uint8_t> Finish() {
    writer_.FinishChunk();
    return writer_.Take();
  }

 private:
  void AtBoundary() {
    if (output_ == nextChunk_) {
      writer_.FinishChunk();
      writer_.StartChunk();
      nextChunk_ += kChunkSize;
    }
  }

  void WriteRange(const CodedRange& range) {
    for (std::uint8_t length : range.pretree) writer_.Write(length, 4);
    const std::vector<std::uint32_t> codes = CanonicalCodes(range.pretree);
    for (const TreeToken& token : range.tokens) {
      writer_.Write(codes[token.symbol], range.pretree[token.symbol]);
      writer_.Write(token.extra, token.extraBits);
    }
  }

  LzxBitWriter writer_;
  std::uint64_t output_ = 0;
  std::uint64_t nextChunk_ = kChunkSize;
};

}  // namespace

std::optional<LzxDeltaWindow> LzxDeltaWindowFor(std::uint64_t referenceSize, std::uint64_t dataSize) {
  if (referenceSize > kLzxDeltaMaxReferenceSize || dataSize >= 0xFFFFFFFFu - referenceSize) {
    return std::nullopt;
  }
  const std::uint64_t total = ((referenceSize + kChunkSize - 1) & ~std::uint64_t{kChunkSize - 1}) + dataSize;
  LzxDeltaWindow window{1u << 17, 34, false};
  while (window.size < total && window.size < (1u << 19)) {
    window.size <<= 1;
    window.positionSlots += 2;
  }
  for (unsigned step = 4; window.size < total && window.size < kLzxDeltaMaxReferenceSize; step <<= 1) {
    window.size <<= 1;
    window.positionSlots += step;
  }
  window.large = window.size > (1u << 23);
  return window;
}

std::vector<std::uint8_t> EncodeLzxDelta(std::span<const std::uint8_t> reference,
                                         std::span<const std::uint8_t> data, const LzxDeltaOptions& options) {
  const std::optional<LzxDeltaWindow> window = LzxDeltaWindowFor(reference.size(), data.size());
  if (!window) throw std::invalid_argument("EncodeLzxDelta: the old file is too large for the window");
  LzxMatchFinder finder(reference, data, window->maxDistance());
  Parser parser(reference.size(), data, finder, window->maxDistance());
  const BlockPlanner planner(window->positionSlots);
  std::vector<std::uint8_t> previousMain(planner.mainSize(), 0);
  std::vector<std::uint8_t> previousLength(kLengthSymbols, 0);
  StreamWriter stream;

  std::vector<Symbol> symbols;
  for (std::size_t start = 0; start < data.size();) {
    const RepeatedOffsets offsetsBefore = parser.offsets;
    symbols.clear();
    std::size_t end = start;
    while (end < data.size() && symbols.size() < kSegmentSymbols && end - start < kSegmentBytes) {
      const std::size_t chunkEnd = std::min<std::size_t>(data.size(), end + kChunkSize);
      parser.ParseChunk(end, chunkEnd, symbols);
      end = chunkEnd;
    }
    std::vector<Block> blocks = planner.PlanSegment(symbols, previousMain, previousLength);
    if (!ChunksFit(blocks, symbols, start == 0, options.chunkByteLimit)) {
      // Literals alone, a block for each chunk, code at most a byte per byte
      // plus the trees, well inside the size field. The decoder's recent
      // offsets stay as they were before this stretch.
      parser.offsets = offsetsBefore;
      symbols.clear();
      for (std::size_t i = start; i < end; ++i) symbols.push_back({0, data[i], 0});
      blocks = planner.PlanChunks(symbols, previousMain, previousLength);
      if (!ChunksFit(blocks, symbols, start == 0, LzxBitWriter::kMaxChunkBytes)) {
        throw std::logic_error("EncodeLzxDelta: literals do not fit a chunk");
      }
    }
    for (const Block& block : blocks) stream.WriteBlock(block, symbols);
    previousMain = blocks.back().main;
    previousLength = blocks.back().length;
    start = end;
  }
  return stream.Finish();
}

}  // namespace makepatch
