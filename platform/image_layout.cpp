#include "platform/image_layout.h"

#include <cstring>

namespace hotfix {
namespace {

constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;

std::uint32_t U16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The parts of the headers the other functions need, checked to lie within
// the length bytes given.
struct Layout {
  std::size_t optionalHeader = 0;  // offset
  bool plus = false;               // PE32+
  std::size_t sections = 0;        // offset of the section table
  std::size_t sectionCount = 0;
  std::size_t headersSize = 0;
};

std::optional<Layout> ReadLayout(const unsigned char* h, std::size_t length) {
  if (length < 0x40 || h[0] != 'M' || h[1] != 'Z') return std::nullopt;
  const std::size_t pe = U32(h + 0x3C);
  if (pe > length || length - pe < 4 + kFileHeaderSize) return std::nullopt;
  if (std::memcmp(h + pe, "PE\0\0", 4) != 0) return std::nullopt;
  Layout layout;
  layout.sectionCount = U16(h + pe + 6);
  const std::size_t optionalSize = U16(h + pe + 20);
  layout.optionalHeader = pe + 4 + kFileHeaderSize;
  if (optionalSize < 64 || length - layout.optionalHeader < optionalSize) return std::nullopt;
  const std::uint32_t magic = U16(h + layout.optionalHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  layout.plus = magic == kPe32PlusMagic;
  layout.headersSize = U32(h + layout.optionalHeader + 60);
  layout.sections = layout.optionalHeader + optionalSize;
  if ((length - layout.sections) / kSectionHeaderSize < layout.sectionCount) return std::nullopt;
  if (layout.headersSize > length || layout.headersSize < layout.sections) return std::nullopt;
  return layout;
}

}  // namespace

std::optional<std::size_t> ImageHeadersSize(const unsigned char* headers, std::size_t length) {
  const auto layout = ReadLayout(headers, length);
  if (!layout) return std::nullopt;
  return layout->headersSize;
}

bool SameImageHeaders(const unsigned char* mapped, const unsigned char* file, std::size_t length) {
  const auto layout = ReadLayout(file, length);
  if (!layout) return false;
  // ImageBase: 8 bytes at 24 in a PE32+ optional header, 4 at 28 in a PE32 one.
  const std::size_t base = layout->optionalHeader + (layout->plus ? 24 : 28);
  const std::size_t baseSize = layout->plus ? 8 : 4;
  return std::memcmp(mapped, file, base) == 0 &&
         std::memcmp(mapped + base + baseSize, file + base + baseSize,
                     length - base - baseSize) == 0;
}

std::optional<std::uint64_t> ImageFileOffset(const unsigned char* headers, std::size_t length,
                                             std::uint32_t rva, std::uint64_t size) {
  const auto layout = ReadLayout(headers, length);
  if (!layout) return std::nullopt;
  for (std::size_t i = 0; i < layout->sectionCount; ++i) {
    const unsigned char* section = headers + layout->sections + i * kSectionHeaderSize;
    const std::uint32_t address = U32(section + 12);
    const std::uint32_t rawSize = U32(section + 16);
    const std::uint32_t rawOffset = U32(section + 20);
    if (rva < address || rva - address >= rawSize) continue;
    if (size > rawSize - (rva - address)) return std::nullopt;
    return static_cast<std::uint64_t>(rawOffset) + (rva - address);
  }
  return std::nullopt;
}

}  // namespace hotfix
