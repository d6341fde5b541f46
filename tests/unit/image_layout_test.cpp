#include "platform/image_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace hotfix {
namespace {

void Put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// The headers of a PE32+ image with a 512-byte header block and two
// sections: .text at 0x1000 (0x200 raw bytes at 0x400, 0x1000 in memory) and
// .rsrc at 0x2000 (0x3000 raw bytes at 0x600).
std::vector<unsigned char> Headers() {
  std::vector<unsigned char> b(0x400, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x80);
  b[0x80] = 'P';
  b[0x81] = 'E';
  b[0x86] = 2;       // sections
  b[0x94] = 0xF0;    // optional header size
  b[0x98] = 0x0B;    // magic 0x20b
  b[0x99] = 0x02;
  Put32(b, 0x98 + 24, 0x40000000);  // ImageBase (low half)
  Put32(b, 0x98 + 60, 0x400);       // SizeOfHeaders
  const std::size_t sections = 0x98 + 0xF0;
  const std::uint32_t table[2][4] = {{0x1000, 0x1000, 0x200, 0x400}, {0x3000, 0x2000, 0x3000, 0x600}};
  for (int i = 0; i < 2; ++i) {
    for (int f = 0; f < 4; ++f) Put32(b, sections + 40 * i + 8 + 4 * f, table[i][f]);
  }
  return b;
}

TEST(ImageLayoutTest, ARangeLiesInTheFileOnlyWithinOneSectionsRawData) {
  const std::vector<unsigned char> h = Headers();
  struct Case {
    const char* reason;
    std::uint32_t rva;
    std::uint64_t size;
    std::optional<std::uint64_t> offset;
  } cases[] = {
      {"the start of .rsrc", 0x2000, 0x10, 0x600},
      {"all of .rsrc's raw data", 0x2000, 0x3000, 0x600},
      {"inside .rsrc", 0x2345, 0x100, 0x945},
      {"one byte past .rsrc's raw data", 0x2001, 0x3000, std::nullopt},
      {".text beyond its raw data: only zeros in memory", 0x1200, 0x10, std::nullopt},
      {"crossing from .text into .rsrc", 0x11F0, 0x20, std::nullopt},
      {"the headers: in no section", 0x10, 0x10, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(ImageFileOffset(h.data(), h.size(), c.rva, c.size), c.offset);
  }
}

TEST(ImageLayoutTest, HeadersAreTheSameImageButForTheLoadAddress) {
  const std::vector<unsigned char> file = Headers();
  ASSERT_EQ(ImageHeadersSize(file.data(), file.size()), 0x400u);
  std::vector<unsigned char> moved = file;
  Put32(moved, 0x98 + 24, 0x7FF00000);
  moved[0x98 + 28] = 0x01;  // the high half of ImageBase too
  EXPECT_TRUE(SameImageHeaders(moved.data(), file.data(), 0x400));
  std::vector<unsigned char> other = file;
  other[0x98 + 24 + 8] ^= 1;  // SectionAlignment, just past ImageBase
  EXPECT_FALSE(SameImageHeaders(other.data(), file.data(), 0x400));
}

}  // namespace
}  // namespace hotfix
