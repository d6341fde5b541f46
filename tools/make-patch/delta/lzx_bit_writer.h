// The bit stream of LZX DELTA: values written most significant bit first
// into 16-bit words, each word stored little-endian, the words grouped in
// chunks that each begin with their size in bytes (16 bits, little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace makepatch {

class LzxBitWriter {
 public:
  // The size field holds 16 bits.
  static constexpr std::size_t kMaxChunkBytes = 0xFFFF;

  // Opens a chunk: its size field, filled in when it is finished.
  void StartChunk() {
    if (chunkOpen_) throw std::logic_error("LzxBitWriter: a chunk is open already");
    chunkStart_ = bytes_.size();
    bytes_.push_back(0);
    bytes_.push_back(0);
    chunkOpen_ = true;
  }

  // The low `bits` bits of value, at most 32 of them.
  void Write(std::uint32_t value, unsigned bits) {
    if (!chunkOpen_) throw std::logic_error("LzxBitWriter: no chunk is open");
    if (bits == 0) return;
    pending_ = (pending_ << bits) | (value & Mask(bits));
    pendingBits_ += bits;
    while (pendingBits_ >= 16) {
      pendingBits_ -= 16;
      PutWord(static_cast<std::uint16_t>(pending_ >> pendingBits_));
    }
    pending_ &= Mask(pendingBits_);
  }

  // Pads the chunk with zero bits to a whole word and fills in its size.
  // Throws when the chunk is larger than its size field holds.
  void FinishChunk() {
    if (!chunkOpen_) throw std::logic_error("LzxBitWriter: no chunk is open");
    if (pendingBits_ != 0) Write(0, 16 - pendingBits_);
    const std::size_t size = bytes_.size() - chunkStart_ - 2;
    if (size > kMaxChunkBytes) throw std::logic_error("LzxBitWriter: chunk too large for its size field");
    bytes_[chunkStart_] = static_cast<std::uint8_t>(size);
    bytes_[chunkStart_ + 1] = static_cast<std::uint8_t>(size >> 8);
    chunkOpen_ = false;
  }

  bool chunkOpen() const { return chunkOpen_; }
  // Bits written into the open chunk so far.
  std::size_t chunkBits() const { return (bytes_.size() - chunkStart_ - 2) * 8 + pendingBits_; }
  // The stream so far; complete once the last chunk is finished.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  static std::uint64_t Mask(unsigned bits) { return (std::uint64_t{1} << bits) - 1; }

  void PutWord(std::uint16_t word) {
    bytes_.push_back(static_cast<std::uint8_t>(word));
    bytes_.push_back(static_cast<std::uint8_t>(word >> 8));
  }

  std::vector<std::uint8_t> bytes_;
  std::uint64_t pending_ = 0;
  unsigned pendingBits_ = 0;
  std::size_t chunkStart_ = 0;
  bool chunkOpen_ = false;
};

}  // namespace makepatch
