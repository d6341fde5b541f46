#include "delta/lzx_match_finder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace makepatch {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr unsigned kMaxChainBits = 21;
constexpr unsigned kMaxHashBits = 21;
constexpr unsigned kChainDepth = 16;
// A match this long ends the search: a longer one saves too little.
constexpr std::uint32_t kNiceLength = 64;

constexpr std::size_t kLongLength = 32;
constexpr std::size_t kLongStep = 16;
constexpr unsigned kLongWays = 4;
constexpr std::uint64_t kRollingBase = 0x100000001B3ULL;

unsigned BitsFor(std::uint64_t count) {
  unsigned bits = 0;
  while (bits < 63 && (std::uint64_t{1} << bits) < count) ++bits;
  return bits;
}

std::uint32_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
  std::uint32_t length = 0;
  while (length + 8 <= limit) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (x != y) {
      const std::uint64_t differ = x ^ y;
      const unsigned bit = std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                                      : std::countl_zero(differ);
      return length + bit / 8;
    }
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

// A match's bytes against the bits its offset takes, roughly.
int Worth(std::uint32_t length, std::uint64_t distance) {
  return length == 0 ? 0 : 8 * static_cast<int>(length) - static_cast<int>(std::bit_width(distance));
}

std::uint64_t PowerOfBase(std::size_t exponent) {
  std::uint64_t result = 1;
  for (std::size_t i = 0; i < exponent; ++i) result *= kRollingBase;
  return result;
}

const std::uint64_t kRollingOut = PowerOfBase(kLongLength - 1);

std::uint64_t RollingHash(const std::uint8_t* bytes) {
  std::uint64_t hash = 0;
  for (std::size_t i = 0; i < kLongLength; ++i) hash = hash * kRollingBase + bytes[i];
  return hash;
}

std::size_t LongBucket(std::uint64_t hash, unsigned bits) {
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9ULL;
  return static_cast<std::size_t>(hash >> (64 - bits)) * kLongWays;
}

}  // namespace

LzxMatchFinder::LzxMatchFinder(std::span<const std::uint8_t> reference,
                               std::span<const std::uint8_t> data, std::uint32_t maxDistance)
    : reference_(reference),
      data_(data),
      total_(static_cast<std::uint64_t>(reference.size()) + data.size()),
      maxDistance_(maxDistance) {
  if (total_ >= kNone) throw std::invalid_argument("LzxMatchFinder: files too large");
  const unsigned chainBits = std::clamp(BitsFor(total_), 8u, kMaxChainBits);
  hashBits_ = std::clamp(BitsFor(total_), 8u, kMaxHashBits);
  chainMask_ = (std::uint32_t{1} << chainBits) - 1;
  head_.assign(std::size_t{1} << hashBits_, kNone);
  previous_.assign(std::size_t{1} << chainBits, kNone);

  // The end of the old file is what the chains can reach from the start of
  // the new one.
  const std::uint64_t reach = chainMask_;
  const std::uint64_t first = reference_.size() > reach ? reference_.size() - reach : 0;
  for (std::uint64_t source = first; source < reference_.size() && source + 4 <= total_; ++source) {
    InsertSource(source);
  }

  // The rest of the old file is found through the index.
  if (total_ > reach && reference_.size() >= kLongLength) {
    const std::size_t samples = reference_.size() / kLongStep + 1;
    longBits_ = std::max(BitsFor(samples / kLongWays * 2), 4u);
    longIndex_.assign((std::size_t{1} << longBits_) * kLongWays, kNone);
    for (std::size_t source = 0; source + kLongLength <= reference_.size(); source += kLongStep) {
      std::uint32_t* bucket = &longIndex_[LongBucket(RollingHash(&reference_[source]), longBits_)];
      std::memmove(bucket + 1, bucket, (kLongWays - 1) * sizeof(std::uint32_t));
      bucket[0] = static_cast<std::uint32_t>(source);
    }
  }
}

std::uint8_t LzxMatchFinder::ByteAt(std::uint64_t source) const {
  return source < reference_.size() ? reference_[source] : data_[source - reference_.size()];
}

std::uint32_t LzxMatchFinder::ChainHash(std::uint64_t source) const {
  std::uint32_t word;
  if (source + 4 <= reference_.size()) {
    std::memcpy(&word, &reference_[source], 4);
  } else if (source >= reference_.size()) {
    std::memcpy(&word, &data_[source - reference_.size()], 4);
  } else {
    const std::uint8_t bytes[4] = {ByteAt(source), ByteAt(source + 1), ByteAt(source + 2),
                                   ByteAt(source + 3)};
    std::memcpy(&word, bytes, 4);
  }
  return (word * 0x9E3779B1u) >> (32 - hashBits_);
}

void LzxMatchFinder::InsertSource(std::uint64_t source) {
  const std::uint32_t hash = ChainHash(source);
  previous_[source & chainMask_] = head_[hash];
  head_[hash] = static_cast<std::uint32_t>(source);
}

void LzxMatchFinder::Insert(std::size_t position) {
  if (position + 4 <= data_.size()) InsertSource(reference_.size() + position);
}

std::uint32_t LzxMatchFinder::MatchLength(std::uint64_t source, std::size_t position,
                                          std::uint32_t limit) const {
  const std::uint8_t* target = &data_[position];
  if (source >= reference_.size()) {
    return CommonPrefix(&data_[source - reference_.size()], target, limit);
  }
  const std::uint64_t inReference = reference_.size() - source;
  if (inReference >= limit) return CommonPrefix(&reference_[source], target, limit);
  const auto head = static_cast<std::uint32_t>(inReference);
  const std::uint32_t length = CommonPrefix(&reference_[source], target, head);
  if (length < head) return length;
  return head + CommonPrefix(data_.data(), target + head, limit - head);
}

LzxMatchFinder::Match LzxMatchFinder::Find(std::size_t position, std::uint32_t limit) {
  Match best;
  if (limit < 4 || position + 4 > data_.size()) return best;
  const std::uint64_t here = reference_.size() + position;
  std::uint32_t candidate = head_[ChainHash(here)];
  for (unsigned depth = 0; depth < kChainDepth && candidate != kNone; ++depth) {
    const std::uint64_t distance = here - candidate;
    if (candidate >= here || distance > chainMask_ || distance > maxDistance_) break;
    // Only a candidate that also matches one byte past the best can beat it,
    // and a further one must be longer by what its offset costs more.
    if (ByteAt(candidate + best.length) == data_[position + best.length]) {
      const std::uint32_t length = MatchLength(candidate, position, limit);
      if (Worth(length, distance) > Worth(best.length, best.distance)) {
        best = {length, static_cast<std::uint32_t>(distance)};
        if (length >= limit || length >= kNiceLength) return best;
      }
    }
    candidate = previous_[candidate & chainMask_];
  }
  if (best.length < 4) best = {};
  if (!longIndex_.empty()) FindLong(position, limit, best);
  return best;
}

std::uint64_t LzxMatchFinder::LongHashAt(std::size_t position) {
  if (rollingPosition_ != SIZE_MAX && position == rollingPosition_ + 1) {
    rollingHash_ = (rollingHash_ - data_[position - 1] * kRollingOut) * kRollingBase +
                   data_[position + kLongLength - 1];
  } else if (position != rollingPosition_) {
    rollingHash_ = RollingHash(&data_[position]);
  }
  rollingPosition_ = position;
  return rollingHash_;
}

void LzxMatchFinder::FindLong(std::size_t position, std::uint32_t limit, Match& best) {
  if (limit < kLongLength || position + kLongLength > data_.size()) return;
  const std::uint64_t here = reference_.size() + position;
  const std::uint32_t* bucket = &longIndex_[LongBucket(LongHashAt(position), longBits_)];
  for (unsigned way = 0; way < kLongWays && bucket[way] != kNone; ++way) {
    const std::uint64_t distance = here - bucket[way];
    if (distance > maxDistance_) continue;
    const std::uint32_t length = MatchLength(bucket[way], position, limit);
    if (length > best.length || (length == best.length && length != 0 && distance < best.distance)) {
      best = {length, static_cast<std::uint32_t>(distance)};
    }
  }
}

}  // namespace makepatch
