#include "payload/extract_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_options.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakeFileSystem;
using testing::FakePlatform;
using testing::Narrow;
using testing::RecordingFileSystem;

const char kModuleTag = 0;
constexpr char16_t kTemp[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\";

// Bytes a text-mode stream would mangle: CR LF, a lone LF, NUL, Ctrl-Z.
std::string SamplePackage() {
  std::string bytes("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1\r\n\n\0\x1A", 13);
  for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>(i * 7));
  return bytes;
}

Platform With(FakePlatform& fake, FileSystem& files) {
  return Platform{fake.installer, fake.resources, fake.thread,      fake.boxes,
                  files,          fake.processes, fake.commandLine, fake.locks};
}

class ExtractPatchTest : public ::testing::Test {
 protected:
  void SetUp() override { Prepare(fake); }

  static void Prepare(FakePlatform& f) {
    ResetProcessState();
    f.resources.expectedModule = &kModuleTag;
    ModuleInstance = &kModuleTag;
    f.files.directories.insert(kTemp);
    f.files.directories.insert(u"C:\\out\\");
    f.resources.AddResource(u"MSP", u"IDR_MSP", SamplePackage());
  }

  FakePlatform fake;
};

struct Case {
  const char* reason;
  std::function<void(FakePlatform&)> setup;
  std::u16string path;
  ExtractResult expected;
  std::u16string expectedPath;
  std::optional<std::string> expectedFile;  // content under expectedPath; nothing: no file
  bool held = false;  // the copy for the installer service: written, then held
};

TEST_F(ExtractPatchTest, EachStepSucceedsOrStopsWhereTheTableSays) {
  const std::string package = SamplePackage();
  const std::u16string temp2 = std::u16string(kTemp) + u"MSP2";
  auto entry = [](FakePlatform& f) -> auto& { return f.resources.entries[{u"MSP", u"IDR_MSP"}]; };
  const Case cases[] = {
      {"empty path: a fresh temporary name, then the package bytes unchanged",
       [](FakePlatform&) {}, u"", ExtractResult::kWritten, temp2, package},
      {"given path to an existing file: truncated, then exactly the package",
       [](FakePlatform& f) { f.files.files[u"C:\\out\\p.msp"] = std::string(100000, 'x'); },
       u"C:\\out\\p.msp", ExtractResult::kWritten, u"C:\\out\\p.msp", package},
      {"temporary-directory query fails: path stays empty",
       [](FakePlatform& f) { f.files.tempPathResult = 0; }, u"",
       ExtractResult::kTempPathFailed, u"", std::nullopt},
      {"temporary-directory query needs 1025 units: refused",
       [](FakePlatform& f) { f.files.tempPathResult = 1025; }, u"",
       ExtractResult::kTempPathFailed, u"", std::nullopt},
      {"resource missing: the name is kept, no file",
       [&](FakePlatform& f) { f.resources.entries.clear(); }, u"",
       ExtractResult::kResourceMissing, temp2, std::nullopt},
      {"resource looked up through the program's own module only",
       [](FakePlatform&) { ModuleInstance = nullptr; }, u"", ExtractResult::kResourceMissing,
       temp2, std::nullopt},
      {"resource of size 0", [&](FakePlatform& f) { entry(f).bytes.clear(); }, u"",
       ExtractResult::kResourceSizeZero, temp2, std::nullopt},
      {"resource cannot be loaded",
       [&](FakePlatform& f) { entry(f).status = ResourceStatus::kLoadFailed; }, u"",
       ExtractResult::kResourceLoadFailed, temp2, std::nullopt},
      {"resource cannot be locked",
       [&](FakePlatform& f) { entry(f).status = ResourceStatus::kLockFailed; }, u"",
       ExtractResult::kResourceLockFailed, temp2, std::nullopt},
      {"given path in a folder that does not exist: path unchanged, no file",
       [](FakePlatform&) {}, u"C:\\nowhere\\p.msp", ExtractResult::kOpenFailed,
       u"C:\\nowhere\\p.msp", std::nullopt},
      {"temporary name in a root that cannot be written: the name is kept",
       [](FakePlatform& f) { f.files.directories.erase(kTemp); }, u"",
       ExtractResult::kOpenFailed, u"C:\\MSP2", std::nullopt},
      {"short write: the partial file stays",
       [](FakePlatform& f) { f.files.writeLimit = 100; }, u"", ExtractResult::kShortWrite,
       temp2, package.substr(0, 100)},
      {"the close fails (the last buffered bytes on a full disk): a failure, the file stays",
       [](FakePlatform& f) { f.files.closeFails = true; }, u"", ExtractResult::kCloseFailed,
       temp2, package},
      {"the package read in short pieces: written and compared whole", [](FakePlatform& f) {
         f.resources.readPiece = 1000;
       },
       u"", ExtractResult::kWritten, temp2, package, true},
      {"a read fails part way through: the partial file stays, closed", [](FakePlatform& f) {
         f.resources.readPiece = 1000;
         f.resources.readFailsAt = 2000;
       },
       u"", ExtractResult::kResourceReadFailed, temp2, package.substr(0, 2000)},
      {"held: the package cannot be read again to compare it, so it is not held",
       [](FakePlatform& f) {
         f.resources.readPiece = 1000;
         f.resources.readFailsAt = 0;
         f.resources.readFailsAfter = 5;  // the five reads of the writing succeed
       },
       u"", ExtractResult::kResourceReadFailed, temp2, package, true},
      {"held: written, then held until released", [](FakePlatform&) {}, u"",
       ExtractResult::kWritten, temp2, package, true},
      {"held: changed by another process before the hold", [](FakePlatform& f) {
         f.files.beforeHold = [](FakeFileSystem& fs, const std::u16string& p) { fs.files[p][20] ^= 1; };
       },
       u"", ExtractResult::kNotThePackage, temp2, [&] {
         std::string changed = package;
         changed[20] ^= 1;
         return changed;
       }(), true},
      {"held: the package with more bytes behind it is not the package", [](FakePlatform& f) {
         f.files.beforeHold = [](FakeFileSystem& fs, const std::u16string& p) { fs.files[p] += 'x'; };
       },
       u"", ExtractResult::kNotThePackage, temp2, package + 'x', true},
      {"held: deleted before the hold", [](FakePlatform& f) {
         f.files.beforeHold = [](FakeFileSystem& fs, const std::u16string& p) { fs.files.erase(p); };
       },
       u"", ExtractResult::kHoldFailed, temp2, std::nullopt, true},
      {"held: open for writing elsewhere, so it cannot be held",
       [](FakePlatform& f) { f.files.holdFails = true; }, u"", ExtractResult::kHoldFailed, temp2,
       package, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    Prepare(f);
    c.setup(f);
    std::u16string path = c.path;
    PackageHold hold;
    EXPECT_EQ(c.held ? ExtractPatchDetailed(f.platform(), path, hold)
                     : ExtractPatchDetailed(f.platform(), path),
              c.expected);
    EXPECT_EQ(Narrow(path), Narrow(c.expectedPath));
    const bool holding = c.held && c.expected == ExtractResult::kWritten;
    EXPECT_EQ(hold != nullptr, holding);
    EXPECT_EQ(f.files.IsHeld(path), holding);
    if (holding) {
      EXPECT_FALSE(f.files.DeleteFileW(path)) << "nobody can delete a held copy";
    }
    hold.reset();
    EXPECT_EQ(f.files.openFiles, 0) << "the file is closed on every path";
    if (c.expected == ExtractResult::kTempPathFailed) {
      EXPECT_TRUE(f.files.probed.empty());
      EXPECT_EQ(f.resources.resourceLookups, 0);
    }
    if (c.expectedFile) {
      ASSERT_EQ(f.files.files.count(c.expectedPath), 1u);
      EXPECT_TRUE(f.files.files.at(c.expectedPath) == *c.expectedFile) << "bytes differ";
    } else {
      EXPECT_EQ(f.files.files.count(c.expectedPath), 0u);
    }
  }
}

TEST_F(ExtractPatchTest, TwoExtractionsGetDifferentNames) {
  std::u16string first;
  std::u16string second;
  ASSERT_TRUE(ExtractPatch(fake.platform(), first));
  ASSERT_TRUE(ExtractPatch(fake.platform(), second));
  EXPECT_EQ(Narrow(first), Narrow(std::u16string(kTemp) + u"MSP2"));
  EXPECT_EQ(Narrow(second), Narrow(std::u16string(kTemp) + u"MSP3"));
}

// GetTempPathW that fills the whole buffer and reports exactly its size,
// leaving no room for a terminator.
class FullTempPathFileSystem : public FakeFileSystem {
 public:
  std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) override {
    std::copy(tempPath.begin(), tempPath.begin() + std::min<std::size_t>(tempPath.size(), bufferLength),
              buffer);
    return static_cast<std::uint32_t>(tempPath.size());
  }
};

TEST_F(ExtractPatchTest, TemporaryDirectoryOfExactly1024UnitsIsTakenWhole) {
  FullTempPathFileSystem files;
  files.tempPath = u"C:\\" + std::u16string(1020, u'd') + u"\\";
  ASSERT_EQ(files.tempPath.size(), 1024u);
  files.directories.insert(files.tempPath);
  std::u16string path;
  EXPECT_EQ(ExtractPatchDetailed(With(fake, files), path), ExtractResult::kWritten);
  EXPECT_EQ(Narrow(path), Narrow(files.tempPath + u"MSP2"));
}

class CrowdedFileSystem : public FakeFileSystem {
 public:
  PathProbe ProbePath(const std::u16string&) override { return PathProbe::kAccessDenied; }
};

TEST_F(ExtractPatchTest, NoFreeTemporaryNameLeavesPathEmpty) {
  CrowdedFileSystem files;
  files.directories.insert(kTemp);
  std::u16string path;
  EXPECT_EQ(ExtractPatchDetailed(With(fake, files), path), ExtractResult::kNoTempName);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(fake.resources.resourceLookups, 0);
}

TEST_F(ExtractPatchTest, WritesALargePackageInPartsThroughOneBuffer) {
  // 2.5 MiB, read a MiB at a time and written in parts of 64 KiB: however
  // large the package, the program holds one piece of it at a time.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  constexpr std::size_t kPart = std::size_t{64} << 10;
  fake.resources.AddResource(u"MSP", u"IDR_MSP", std::string(kPiece * 5 / 2, 'p'));
  RecordingFileSystem files;
  files.directories.insert(kTemp);
  std::u16string path;
  ASSERT_TRUE(ExtractPatch(With(fake, files), path));
  ASSERT_EQ(files.writes.size(), 40u);
  const auto* buffer = static_cast<const unsigned char*>(files.writes[0].data);
  for (std::size_t i = 0; i < files.writes.size(); ++i) {
    EXPECT_EQ(files.writes[i].size, kPart);
    EXPECT_EQ(files.writes[i].data, buffer + (i % 16) * kPart) << "one buffer, in order";
  }
}

}  // namespace
}  // namespace hotfix
