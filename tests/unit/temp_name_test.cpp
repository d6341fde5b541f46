#include "payload/temp_name.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/process_state.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakeFileSystem;
using testing::Narrow;

constexpr char16_t kTemp[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\";

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class TempNameTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }
  FakeFileSystem files;
};

struct DirectoryCase {
  const char* reason;
  std::function<void(FakeFileSystem&)> setup;
  std::u16string directory;
  std::u16string expected;
};

TEST_F(TempNameTest, ChoosesTheDirectory) {
  const DirectoryCase cases[] = {
      {"given directory exists",
       [](FakeFileSystem& fs) { fs.directories.insert(kTemp); }, kTemp,
       std::u16string(kTemp) + u"MSP2"},
      {"TMP naming an existing directory wins over the given one",
       [](FakeFileSystem& fs) {
         fs.directories.insert(kTemp);
         fs.directories.insert(u"D:\\scratch\\");
         fs.environment[u"TMP"] = u"D:\\scratch";
       },
       kTemp, u"D:\\scratch\\MSP2"},
      {"TMP naming no directory is passed over",
       [](FakeFileSystem& fs) {
         fs.directories.insert(kTemp);
         fs.environment[u"TMP"] = u"D:\\gone";
       },
       kTemp, std::u16string(kTemp) + u"MSP2"},
      {"empty TMP is passed over",
       [](FakeFileSystem& fs) {
         fs.directories.insert(kTemp);
         fs.environment[u"TMP"] = u"";
       },
       kTemp, std::u16string(kTemp) + u"MSP2"},
      {"neither exists: root of the current drive",
       [](FakeFileSystem&) {}, kTemp, u"C:\\MSP2"},
      {"no drive root either: a bare name in the current directory",
       [](FakeFileSystem& fs) { fs.driveRoot.reset(); }, kTemp, u"MSP2"},
      {"directory without a closing separator gets a backslash",
       [](FakeFileSystem& fs) { fs.directories.insert(u"C:\\t\\"); }, u"C:\\t",
       u"C:\\t\\MSP2"},
      {"directory ending in a slash gets no backslash",
       [](FakeFileSystem& fs) { fs.directories.insert(u"C:\\t/"); }, u"C:\\t/",
       u"C:\\t/MSP2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ResetTempNameCounter();
    FakeFileSystem fs;
    c.setup(fs);
    const auto name = MakeTempName(fs, c.directory, u"MSP");
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(Narrow(*name), Narrow(c.expected));
  }
}

struct SkipCase {
  const char* reason;
  std::function<void(FakeFileSystem&)> setup;
  std::u16string expected;
};

TEST_F(TempNameTest, SkipsNamesThatExistOrCannotBeTested) {
  const std::u16string temp = kTemp;
  const SkipCase cases[] = {
      {"nothing there: the first number is 2", [](FakeFileSystem&) {}, temp + u"MSP2"},
      {"an existing file is skipped",
       [&](FakeFileSystem& fs) { fs.files[temp + u"MSP2"] = "x"; }, temp + u"MSP3"},
      {"an existing directory is skipped",
       [&](FakeFileSystem& fs) { fs.directories.insert(temp + u"MSP2\\"); }, temp + u"MSP3"},
      {"a refused probe is skipped",
       [&](FakeFileSystem& fs) { fs.accessDenied.insert(temp + u"MSP2"); }, temp + u"MSP3"},
      {"a probe that cannot tell (a sharing violation, a network error) is skipped",
       [&](FakeFileSystem& fs) { fs.undetermined.insert(temp + u"MSP2"); }, temp + u"MSP3"},
      {"a run of leftovers is walked past",
       [&](FakeFileSystem& fs) {
         for (int n = 2; n <= 11; ++n) fs.files[temp + u"MSP" + Wide(std::to_string(n))] = "";
       },
       temp + u"MSP12"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ResetTempNameCounter();
    FakeFileSystem fs;
    fs.directories.insert(kTemp);
    c.setup(fs);
    const auto name = MakeTempName(fs, kTemp, u"MSP");
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(Narrow(*name), Narrow(c.expected));
    EXPECT_EQ(fs.files.count(c.expected), 0u) << "making a name must create nothing";
  }
}

TEST_F(TempNameTest, NumbersAreNeverReusedWithinAProcess) {
  files.directories.insert(kTemp);
  files.files[std::u16string(kTemp) + u"MSP3"] = "";
  const std::u16string temp = kTemp;
  // The first call takes 2; the second tries 3 (taken) and settles on 4,
  // even though 2 is still free on disk.
  EXPECT_EQ(MakeTempName(files, kTemp, u"MSP"), temp + u"MSP2");
  EXPECT_EQ(MakeTempName(files, kTemp, u"MSP"), temp + u"MSP4");
  EXPECT_EQ(MakeTempName(files, kTemp, u"MSP"), temp + u"MSP5");
  ResetTempNameCounter();
  EXPECT_EQ(MakeTempName(files, kTemp, u"MSP"), temp + u"MSP2") << "a fresh process starts at 2";
}

// Every probe answers "exists": the search must give up rather than spin.
class CrowdedFileSystem : public FakeFileSystem {
 public:
  int probes = 0;
  PathProbe ProbePath(const std::u16string&) override {
    ++probes;
    return PathProbe::kExists;
  }
};

TEST_F(TempNameTest, GivesUpWhenTheNumbersRunOut) {
  CrowdedFileSystem crowded;
  crowded.directories.insert(kTemp);
  EXPECT_FALSE(MakeTempName(crowded, kTemp, u"MSP").has_value());
  EXPECT_EQ(crowded.probes, 99999 - 2 + 1) << "numbers 2 to 99999 each tried once";
  EXPECT_FALSE(MakeTempName(crowded, kTemp, u"MSP").has_value());
  EXPECT_EQ(crowded.probes, 99999 - 2 + 1) << "once used up, no further probing";
}

}  // namespace
}  // namespace hotfix
