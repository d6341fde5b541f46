#include "delta/lzx_delta_encoder.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "delta/lzx_blocks.h"
#include "delta/lzx_match_finder.h"

namespace makepatch {
namespace {

using namespace lzx;

// A stretch of the new file is parsed, then cut into blocks: at most this
// many symbols (the bound of the parse's memory) or bytes (well inside a
// block's 24-bit size).
constexpr std::size_t kStretchSymbols = 65536;
constexpr std::size_t kStretchBytes = std::size_t{4} << 20;

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
    while (end < data.size() && symbols.size() < kStretchSymbols && end - start < kStretchBytes) {
      const std::size_t chunkEnd = std::min<std::size_t>(data.size(), end + kChunkSize);
      parser.ParseChunk(end, chunkEnd, symbols);
      end = chunkEnd;
    }
    std::vector<Block> blocks = planner.PlanStretch(symbols, previousMain, previousLength);
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
