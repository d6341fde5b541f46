#include "pe/pe_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A PE32+ image as a linker lays it out: headers in the first 0x200 bytes, one
// .rsrc section at RVA 0x1000 from file offset 0x200, holding a tree of
// type "MSP" / name 7 / language 1033 over 5 bytes of data.
struct ImageBuilder {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x400, 0);
  void U16(std::size_t at, std::uint16_t v) { bytes[at] = v & 0xFF, bytes[at + 1] = v >> 8; }
  void U32(std::size_t at, std::uint32_t v) { U16(at, v & 0xFFFF), U16(at + 2, v >> 16); }

  ImageBuilder() {
    bytes[0] = 'M', bytes[1] = 'Z';
    U32(0x3C, 0x80);
    bytes[0x80] = 'P', bytes[0x81] = 'E';
    const std::size_t coff = 0x84, opt = coff + 20;
    U16(coff, 0x8664), U16(coff + 2, 1), U32(coff + 4, 0x5E5E5E5E), U16(coff + 16, 240), U16(coff + 18, 0x2022);
    U16(opt, 0x20B), U32(opt + 32, 0x1000), U32(opt + 36, 0x200), U32(opt + 60, 0x200), U32(opt + 64, 0xC0FFEE);
    U16(opt + 68, 2), U32(opt + 108, 16);
    U32(opt + 112 + 8 * 2, 0x1000), U32(opt + 112 + 8 * 2 + 4, 0x100);  // resources
    const std::size_t section = opt + 240;
    std::copy_n(".rsrc", 5, bytes.begin() + section);
    U32(section + 8, 0x100), U32(section + 12, 0x1000), U32(section + 16, 0x200), U32(section + 20, 0x200);
    const std::size_t root = 0x200;
    // root: one named entry (type) -> 0x18; its name string at 0x80
    U16(root + 12, 1), U32(root + 16, 0x80000080), U32(root + 20, 0x80000018);
    U16(root + 0x80, 3), U16(root + 0x82, 'M'), U16(root + 0x84, 'S'), U16(root + 0x86, 'P');
    // names: id 7 -> 0x30
    U16(root + 0x18 + 14, 1), U32(root + 0x18 + 16, 7), U32(root + 0x18 + 20, 0x80000030);
    // languages: 1033 -> data entry at 0x48
    U16(root + 0x30 + 14, 1), U32(root + 0x30 + 16, 1033), U32(root + 0x30 + 20, 0x48);
    U32(root + 0x48, 0x1060), U32(root + 0x48 + 4, 5);
    std::copy_n("hello", 5, bytes.begin() + root + 0x60);
  }
};

TEST(PeImage, ReadsHeadersAndResourceTree) {
  ImageBuilder b;
  std::string why;
  auto image = pe::ParseImage(b.bytes, &why);
  ASSERT_TRUE(image) << why;
  EXPECT_TRUE(image->pe32Plus);
  EXPECT_EQ(image->machine, 0x8664);
  EXPECT_EQ(*pe::ReadU32(b.bytes, image->timeDateStampOffset), 0x5E5E5E5Eu);
  EXPECT_EQ(*pe::ReadU32(b.bytes, image->checkSumOffset), 0xC0FFEEu);
  ASSERT_EQ(image->sections.size(), 1u);
  EXPECT_EQ(image->sections[0].name, ".rsrc");
  EXPECT_EQ(image->FileOffset(0x1060, 5), 0x260u);
  EXPECT_FALSE(image->FileOffset(0x11FF, 2)) << "past the section's virtual size";

  auto tree = pe::ReadResources(*image, b.bytes, &why);
  ASSERT_TRUE(tree) << why;
  ASSERT_EQ(tree->resources.size(), 1u);
  const pe::Resource& r = tree->resources[0];
  EXPECT_EQ(r.type.name, u"MSP");
  EXPECT_FALSE(r.type.id);
  EXPECT_EQ(r.name.id, 7);
  EXPECT_EQ(r.language, 1033);
  EXPECT_EQ(std::string(b.bytes.begin() + r.fileOffset, b.bytes.begin() + r.fileOffset + r.size), "hello");
  EXPECT_EQ(tree->directoryOffsets, (std::vector<std::uint64_t>{0x200, 0x218, 0x230}));
}

TEST(PeImage, RefusesDamagedImages) {
  struct Case {
    const char* reason;
    void (*damage)(ImageBuilder&);
    bool headersFail;  // otherwise the resource walk fails
  };
  const Case cases[] = {
      {"not MZ", [](ImageBuilder& b) { b.bytes[0] = 'X'; }, true},
      {"PE offset past the end", [](ImageBuilder& b) { b.U32(0x3C, 0xFFFFFFF0); }, true},
      {"unknown optional header", [](ImageBuilder& b) { b.U16(0x98, 0x107); }, true},
      {"truncated in the section table", [](ImageBuilder& b) { b.bytes.resize(0x190); }, true},
      {"too many sections", [](ImageBuilder& b) { b.U16(0x86, 200); }, true},
      {"a name string past the section", [](ImageBuilder& b) { b.U32(0x210, 0x800001F0); }, false},
      {"a leaf where a directory belongs", [](ImageBuilder& b) { b.U32(0x214, 0x18); }, false},
      {"a directory that points at itself", [](ImageBuilder& b) { b.U32(0x230 + 20, 0x80000030); }, false},
      {"data outside the file", [](ImageBuilder& b) { b.U32(0x248, 0x90000); }, false},
  };
  for (const Case& c : cases) {
    ImageBuilder b;
    c.damage(b);
    std::string why;
    auto image = pe::ParseImage(b.bytes, &why);
    if (c.headersFail) {
      EXPECT_FALSE(image) << c.reason;
    } else {
      ASSERT_TRUE(image) << c.reason << ": " << why;
      EXPECT_FALSE(pe::ReadResources(*image, b.bytes, &why)) << c.reason;
    }
    EXPECT_FALSE(why.empty()) << c.reason;
  }
}

}  // namespace
