#include "payload/patch_targets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakeInstaller;
using testing::FakePlatform;
using testing::Narrow;

constexpr char16_t kPackage[] = u"C:\\Temp\\MSP2";
constexpr std::uint32_t kFunctionFailed = 1627;

// n product codes of 38 units joined by ";": 38n + n - 1 units.
std::u16string Codes(int n) {
  std::u16string text;
  for (int i = 0; i < n; ++i) {
    if (i > 0) text += u';';
    text += u"{90120000-6007-0409-0000-0000000FF1CE}";
  }
  return text;
}

class PatchTargetsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }

  // Whatever happened, the summary handle was closed once and only once.
  static void ExpectClosedOnce(const FakeInstaller& installer) {
    EXPECT_TRUE(installer.OpenHandles().empty());
    EXPECT_EQ(installer.badCloses(), 0);
    EXPECT_EQ(installer.CountCalls("MsiCloseHandle"), installer.handlesOpened());
  }
};

struct ReadCase {
  const char* reason;
  std::u16string stored;
  std::vector<std::uint32_t> readLengths;  // in/out length passed to each read
};

TEST_F(PatchTargetsTest, ReadsTheTemplateInOneOrTwoAttempts) {
  const ReadCase cases[] = {
      {"the shipped form, 21 codes (818 units)", Codes(21), {2048}},
      {"empty text", u"", {2048}},
      {"2047 units fit the first buffer with its terminator", std::u16string(2047, u'a'), {2048}},
      {"2048 units need a second read into 2049", std::u16string(2048, u'b'), {2048, 2049}},
      {"a long list is read into exactly its length plus one", Codes(200), {2048, 7799 + 1}},
      {"2^20 units, the most a package may ask for, come whole",
       std::u16string(1u << 20, u'e'), {2048, (1u << 20) + 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    f.installer.summaries[kPackage].templateText = c.stored;
    std::u16string targets = u"previous";
    EXPECT_TRUE(GetPatchTargets(f.platform(), kPackage, targets));
    EXPECT_EQ(targets.size(), c.stored.size());
    EXPECT_TRUE(targets == c.stored);
    EXPECT_EQ(f.installer.propertyReadLengths, c.readLengths);
    EXPECT_EQ(f.installer.CountCalls("MsiSummaryInfoGetPropertyW 7"),
              static_cast<int>(c.readLengths.size()));
    ExpectClosedOnce(f.installer);
  }
}

struct FailureCase {
  const char* reason;
  std::function<void(FakePlatform&)> setup;
  std::u16string path;
  int summaryOpens;  // calls of MsiGetSummaryInformationW expected
  int reads;         // calls of MsiSummaryInfoGetPropertyW expected
};

TEST_F(PatchTargetsTest, FailureLeavesTargetsAsTheyWere) {
  const FailureCase cases[] = {
      {"not a package the service can open", [](FakePlatform&) {}, kPackage, 1, 0},
      {"empty path: no full form, the service is not asked", [](FakePlatform&) {}, u"", 0, 0},
      {"full form of 260 units does not fit with its terminator",
       [](FakePlatform& f) {
         f.installer.summaries[u"C:\\" + std::u16string(257, u'p')].templateText = u"x";
       },
       u"C:\\" + std::u16string(257, u'p'), 0, 0},
      {"first read fails with another error: no second attempt",
       [](FakePlatform& f) {
         f.installer.summaries[kPackage].templateText = u"x";
         f.installer.forcedResults["MsiSummaryInfoGetPropertyW"] = {kFunctionFailed};
       },
       kPackage, 1, 1},
      {"second read says more data again: no third attempt",
       [](FakePlatform& f) {
         f.installer.summaries[kPackage].templateText = u"x";
         f.installer.forcedResults["MsiSummaryInfoGetPropertyW"] = {kErrorMoreData,
                                                                    kErrorMoreData};
       },
       kPackage, 1, 2},
      {"a text said to need more than 2^20 units: refused without a second read",
       [](FakePlatform& f) {
         f.installer.summaries[kPackage].templateText = std::u16string((1u << 20) + 1, u'f');
       },
       kPackage, 1, 1},
      {"second read fails",
       [](FakePlatform& f) {
         f.installer.summaries[kPackage].templateText = std::u16string(3000, u'c');
         f.installer.forcedResults["MsiSummaryInfoGetPropertyW"] = {kErrorMoreData,
                                                                    kFunctionFailed};
       },
       kPackage, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    c.setup(f);
    std::u16string targets = u"{kept}";
    EXPECT_FALSE(GetPatchTargets(f.platform(), c.path, targets));
    EXPECT_EQ(Narrow(targets), "{kept}");
    EXPECT_EQ(f.installer.CountCalls("MsiGetSummaryInformationW"), c.summaryOpens);
    EXPECT_EQ(f.installer.CountCalls("MsiSummaryInfoGetPropertyW"), c.reads);
    ExpectClosedOnce(f.installer);
  }
}

TEST_F(PatchTargetsTest, OpensTheFullPathReadOnlyWithoutADatabase) {
  struct PathCase {
    const char* reason;
    std::u16string given;
    std::u16string full;
  };
  const PathCase cases[] = {
      {"relative path resolved against the current directory", u"pkg\\MSP2",
       u"C:\\work\\pkg\\MSP2"},
      {"absolute path used as it is", kPackage, kPackage},
      {"a full form of 259 units fits", u"C:\\" + std::u16string(256, u'q'),
       u"C:\\" + std::u16string(256, u'q')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    f.installer.summaries[c.full].templateText = u"{A}";
    const MsiHandle summary = OpenPatchSummary(f.platform(), c.given);
    EXPECT_NE(summary, 0u);
    ASSERT_EQ(f.installer.calls.size(), 1u);
    EXPECT_EQ(f.installer.calls[0], "MsiGetSummaryInformationW " + Narrow(c.full) + " 0 0");
    f.installer.MsiCloseHandle(summary);
  }
}

// GetFullPathNameW that fills the whole buffer and reports its size: a full
// path with no room for its terminator.
class FullBufferFileSystem : public testing::FakeFileSystem {
 public:
  std::uint32_t GetFullPathNameW(const std::u16string&, std::uint32_t bufferLength,
                                 char16_t* buffer) override {
    std::fill(buffer, buffer + bufferLength, u'f');
    return bufferLength;
  }
};

TEST_F(PatchTargetsTest, FullPathFillingTheWholeBufferIsRefused) {
  FakePlatform f;
  FullBufferFileSystem files;
  const Platform platform{f.installer, f.resources,  f.thread,      f.boxes,
                          files,       f.processes, f.commandLine, f.locks};
  std::u16string targets = u"{kept}";
  EXPECT_EQ(OpenPatchSummary(platform, kPackage), 0u);
  EXPECT_FALSE(GetPatchTargets(platform, kPackage, targets));
  EXPECT_EQ(Narrow(targets), "{kept}");
  EXPECT_TRUE(f.installer.calls.empty());
}

TEST_F(PatchTargetsTest, PackageWithoutTemplateGivesEmptyText) {
  FakePlatform f;
  f.installer.summaries[kPackage].hasTemplate = false;
  std::u16string targets = u"previous";
  EXPECT_TRUE(GetPatchTargets(f.platform(), kPackage, targets));
  EXPECT_TRUE(targets.empty());
  ExpectClosedOnce(f.installer);
}

}  // namespace
}  // namespace hotfix
