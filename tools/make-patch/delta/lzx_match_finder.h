// Finds, for a position of the new file, an earlier run of the same bytes in
// the old file or in the new file before it: the matches of an LZX DELTA
// stream, which sees the old file as the data just before the new one.
//
// Two structures share the work. Hash chains over the last 2 MiB before the
// position find nearby matches of four bytes and more; a sparse index of
// the old file (a hash of 32 bytes at every 16th position) finds long runs
// anywhere in it, so a large file with a small change is matched in one pass
// at the speed of comparing memory. Memory, besides the two files (which are
// not copied): 16 MiB at most for the chains, and for the index between half
// and all of the old file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace makepatch {

class LzxMatchFinder {
 public:
  struct Match {
    std::uint32_t length = 0;
    std::uint32_t distance = 0;  // back from the position, 1 and up
  };

  // Positions are counted in the new file (data); a source position counts
  // from the start of the old file (reference), the new file following it.
  // No match reaches further back than maxDistance. Requires
  // reference.size() + data.size() < 2^32 - 1.
  LzxMatchFinder(std::span<const std::uint8_t> reference, std::span<const std::uint8_t> data,
                 std::uint32_t maxDistance);

  // The longest match for data[position...] of at most `limit` bytes that
  // the chains or the index know; length 0 when there is none of 4 bytes.
  Match Find(std::size_t position, std::uint32_t limit);

  // Makes data[position...] findable by the chains for later positions.
  // Positions are inserted in increasing order; the chains never know one
  // that is skipped.
  void Insert(std::size_t position);

  // How many of the bytes from `source` (counted as above) equal those from
  // data[position], at most `limit`; the runs may overlap.
  std::uint32_t MatchLength(std::uint64_t source, std::size_t position, std::uint32_t limit) const;

 private:
  std::uint8_t ByteAt(std::uint64_t source) const;
  std::uint32_t ChainHash(std::uint64_t source) const;
  void InsertSource(std::uint64_t source);
  std::uint64_t LongHashAt(std::size_t position);
  void FindLong(std::size_t position, std::uint32_t limit, Match& best);

  std::span<const std::uint8_t> reference_;
  std::span<const std::uint8_t> data_;
  std::uint64_t total_;
  std::uint32_t maxDistance_;

  unsigned hashBits_;
  std::uint32_t chainMask_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> previous_;

  // The index of the old file: buckets of kLongWays positions, newest first.
  unsigned longBits_ = 0;
  std::vector<std::uint32_t> longIndex_;
  std::size_t rollingPosition_ = SIZE_MAX;
  std::uint64_t rollingHash_ = 0;
};

}  // namespace makepatch
