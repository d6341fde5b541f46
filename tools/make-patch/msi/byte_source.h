// Bytes read at an offset, from memory or from a file: what the readers of
// outside files walk, without holding a product of gigabytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace makepatch {

// Little-endian integers of the formats read here.
inline std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32); }

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly size bytes at offset into out; false when they are not all there
  // or cannot be read.
  virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit MemorySource(const std::vector<std::uint8_t>& bytes) : MemorySource(bytes.data(), bytes.size()) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const override {
    if (offset > size_ || size > size_ - offset) return false;
    if (size > 0) std::memcpy(out, data_ + offset, size);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace makepatch
