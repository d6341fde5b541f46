#include "pe/build_stamps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using Mutation = std::function<void(std::vector<std::uint8_t>&)>;
using pe::Stamp;

// A PE32+ DLL as a linker lays it out, with a stamp of every kind: headers
// in 0x200 bytes, one section at RVA 0x1000 from file offset 0x200 holding
// the debug directory (one CodeView entry), its RSDS record, the export
// directory and a resource tree of one table, then "code".
constexpr std::size_t kCoff = 0x84, kOpt = kCoff + 20, kDebug = 0x200, kRsds = 0x240, kExport = 0x280,
                      kResource = 0x300, kCode = 0x400, kEnd = 0x600;

void U16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; }
void U32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { U16(b, at, v & 0xFFFF), U16(b, at + 2, v >> 16); }
std::size_t DirectoryEntry(unsigned index) { return kOpt + 112 + 8 * index; }

std::vector<std::uint8_t> Linked() {
  std::vector<std::uint8_t> b(kEnd, 0);
  b[0] = 'M', b[1] = 'Z';
  U32(b, 0x3C, 0x80);
  b[0x80] = 'P', b[0x81] = 'E';
  U16(b, kCoff, 0x8664), U16(b, kCoff + 2, 1), U32(b, kCoff + 4, 0x5E5E5E5E), U16(b, kCoff + 16, 240);
  U16(b, kCoff + 18, 0x2022);
  U16(b, kOpt, 0x20B), U32(b, kOpt + 32, 0x1000), U32(b, kOpt + 36, 0x200), U32(b, kOpt + 60, 0x200);
  U32(b, kOpt + 64, 0xC0FFEE), U16(b, kOpt + 68, 2), U32(b, kOpt + 108, 16);
  U32(b, DirectoryEntry(0), 0x1080), U32(b, DirectoryEntry(0) + 4, 40);
  U32(b, DirectoryEntry(2), 0x1100), U32(b, DirectoryEntry(2) + 4, 16);
  U32(b, DirectoryEntry(6), 0x1000), U32(b, DirectoryEntry(6) + 4, 28);
  const std::size_t section = kOpt + 240;
  U32(b, section + 8, 0x400), U32(b, section + 12, 0x1000), U32(b, section + 16, 0x400), U32(b, section + 20, 0x200);
  U32(b, kDebug + 4, 0x5E5E5E5E), U32(b, kDebug + 12, 2), U32(b, kDebug + 16, 30), U32(b, kDebug + 24, kRsds);
  std::copy_n("RSDS", 4, b.begin() + kRsds);
  for (int i = 0; i < 16; ++i) b[kRsds + 4 + i] = static_cast<std::uint8_t>(0xA0 + i);
  U32(b, kRsds + 20, 1);
  std::copy_n("a.pdb", 6, b.begin() + kRsds + 24);
  U32(b, kExport + 4, 0x5E5E5E5E), U32(b, kExport + 12, 0x1090);
  U32(b, kResource + 4, 0x5E5E5E5E);
  for (std::size_t i = kCode; i < kEnd; ++i) b[i] = static_cast<std::uint8_t>(i * 7);
  return b;
}

// Appends a certificate table of `length` bytes filled with `fill`.
Mutation Sign(std::size_t length, std::uint8_t fill) {
  return [=](std::vector<std::uint8_t>& b) {
    U32(b, DirectoryEntry(4), static_cast<std::uint32_t>(b.size())), U32(b, DirectoryEntry(4) + 4, length);
    b.insert(b.end(), length, fill);
  };
}
Mutation Flip(std::size_t at) {
  return [=](std::vector<std::uint8_t>& b) { b[at] ^= 0x5A; };
}
Mutation Both(Mutation a, Mutation b) {
  return [=](std::vector<std::uint8_t>& bytes) { a(bytes), b(bytes); };
}

using Result = pe::StampComparison::Result;

TEST(BuildStamps, TellsARelinkedFileFromAChangedOne) {
  const Mutation none = [](std::vector<std::uint8_t>&) {};
  const struct {
    const char* what;
    Mutation old, changed;
    Result result;
    std::vector<Stamp> differed;
  } cases[] = {
      {"the same bytes", none, none, Result::kEqualButStamps, {}},
      {"link time", none, Flip(kCoff + 4), Result::kEqualButStamps, {Stamp::kLinkTime}},
      {"beside the link time", none, Both(Flip(kCoff + 4), Flip(kCoff + 8)), Result::kDiffers, {}},
      {"checksum", none, Flip(kOpt + 67), Result::kEqualButStamps, {Stamp::kChecksum}},
      {"beside the checksum", none, Both(Flip(kOpt + 64), Flip(kOpt + 68)), Result::kDiffers, {}},
      {"debug time", none, Flip(kDebug + 4), Result::kEqualButStamps, {Stamp::kDebugTime}},
      {"beside the debug time", none, Both(Flip(kDebug + 4), Flip(kDebug + 8)), Result::kDiffers, {}},
      {"CodeView GUID", none, Flip(kRsds + 4), Result::kEqualButStamps, {Stamp::kDebugSignature}},
      {"CodeView age", none, Flip(kRsds + 23), Result::kEqualButStamps, {Stamp::kDebugSignature}},
      {"beside the age: the PDB path", none, Both(Flip(kRsds + 20), Flip(kRsds + 24)), Result::kDiffers, {}},
      {"export time", none, Flip(kExport + 4), Result::kEqualButStamps, {Stamp::kExportTime}},
      {"beside the export time", none, Both(Flip(kExport + 4), Flip(kExport + 3)), Result::kDiffers, {}},
      {"resource time", none, Flip(kResource + 7), Result::kEqualButStamps, {Stamp::kResourceTime}},
      {"beside the resource time", none, Both(Flip(kResource + 4), Flip(kResource + 8)), Result::kDiffers, {}},
      {"signed again, longer", Sign(24, 1), Sign(40, 2), Result::kEqualButStamps, {Stamp::kSignature}},
      {"signed, and before unsigned", none, Sign(24, 1), Result::kEqualButStamps, {Stamp::kSignature}},
      {"signed again, code changed", Sign(24, 1), Both(Flip(kCode + 9), Sign(24, 2)), Result::kDiffers, {}},
      {"every stamp at once", Sign(24, 1),
       Both(Both(Both(Flip(kCoff + 5), Flip(kOpt + 64)), Both(Flip(kDebug + 6), Flip(kRsds + 10))),
            Both(Both(Flip(kExport + 4), Flip(kResource + 4)), Sign(32, 3))),
       Result::kEqualButStamps,
       {Stamp::kLinkTime, Stamp::kChecksum, Stamp::kDebugTime, Stamp::kDebugSignature, Stamp::kExportTime,
        Stamp::kResourceTime, Stamp::kSignature}},
      {"one byte of code", none, Flip(kCode + 100), Result::kDiffers, {}},
      {"a byte appended", none, [](std::vector<std::uint8_t>& b) { b.push_back(0); }, Result::kDiffers, {}},
      {"a truncated header", none, [](std::vector<std::uint8_t>& b) { b.resize(kOpt + 100); },
       Result::kNotPortableExecutable, {}},
      {"not a PE file", none, [](std::vector<std::uint8_t>& b) { b.assign(kEnd, 'x'); },
       Result::kNotPortableExecutable, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> older = Linked(), newer = Linked();
    c.old(older);
    c.changed(newer);
    const pe::StampComparison got = pe::CompareBuildStamps(older, newer);
    EXPECT_EQ(got.result, c.result) << c.what << ": " << got.why;
    EXPECT_EQ(pe::StampNames(got.differed), pe::StampNames(c.differed)) << c.what;
  }
}

// Every byte of the image changed in turn: one outside the stamps never
// passes for a relinked file (the patch would leave out a real change), one
// inside a stamp always does; every truncation is read without going past
// the end (the sanitizer builds check that).
TEST(BuildStamps, EveryByteOutsideTheStampsIsAChange) {
  const std::vector<std::uint8_t> linked = Linked();
  const auto layout = pe::LocateStamps(linked, nullptr);
  ASSERT_TRUE(layout);
  for (std::size_t at = 0; at < linked.size(); ++at) {
    const auto range = std::find_if(layout->ranges.begin(), layout->ranges.end(), [&](const pe::StampRange& r) {
      return at >= r.offset && at < r.offset + r.length;
    });
    std::vector<std::uint8_t> changed = linked;
    changed[at] ^= 0x01;
    const auto result = pe::CompareBuildStamps(linked, changed).result;
    if (range == layout->ranges.end()) {
      EXPECT_NE(result, Result::kEqualButStamps) << "byte " << at;
    } else if (range->stamp != Stamp::kSignature) {
      EXPECT_EQ(result, Result::kEqualButStamps) << "byte " << at;
    }
  }
  for (std::size_t length = 0; length < linked.size(); ++length) {
    const std::vector<std::uint8_t> cut(linked.begin(), linked.begin() + length);
    EXPECT_NE(pe::CompareBuildStamps(linked, cut).result, Result::kEqualButStamps) << "cut at " << length;
  }
}

}  // namespace
