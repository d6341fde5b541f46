#include "payload/patch_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

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
constexpr char16_t kTemp[] = u"C:\\Temp\\";
constexpr char16_t kWorkDir[] = u"C:\\work\\";
constexpr char kSeparator[] = "*****\r\n";
constexpr std::uint32_t kStyleError = 0x50010;

const std::string kBlock1 = "ProductCode={90120000-6007-0409-0000-0000000FF1CE}\r\nPatchSize=073216\r\n";
const std::string kBlock2 = "PatchDesc=second block\r\n";
const std::string kBlock3 = "PatchDescLocation=third\r\n";
constexpr char kPackageLiteral[] = "\xD0\xCF\x11\xE0package\0bytes";
const std::string kPackageBytes(kPackageLiteral, sizeof(kPackageLiteral) - 1);

std::string Layout(const std::string& block) { return kSeparator + block + "\r\n"; }

std::u16string Codes21() {
  std::u16string text;
  for (int i = 0; i < 21; ++i) {
    if (i > 0) text += u';';
    text += u"{90120000-6007-04" + std::u16string(1, u'0' + i % 10) + u"9-0000-0000000FF1CE}";
  }
  return text;
}

void Prepare(FakePlatform& f) {
  ResetProcessState();
  f.resources.expectedModule = &kModuleTag;
  ModuleInstance = &kModuleTag;
  f.files.directories.insert(kTemp);
  f.files.directories.insert(kWorkDir);
  f.files.tempPath = kTemp;
  f.files.currentDirectory = kWorkDir;
  f.resources.AddResource(u"MSP", u"IDR_MSP", kPackageBytes);
  f.resources.AddResource(u"TXT", u"#206", kBlock1);
  f.resources.AddString(1033, 300, u"A problem. \n\n Error Code: %d");
  f.resources.AddString(1033, 310, u"You must supply a patch list.");
  f.resources.AddString(1033, 311, u"Installation Error");
  f.thread.lastError = 5;
}

std::vector<std::string> BoxTexts(const FakePlatform& f) {
  std::vector<std::string> texts;
  for (const auto& box : f.boxes.shown) {
    EXPECT_EQ(Narrow(box.caption), "Installation Error");
    EXPECT_EQ(box.style, kStyleError);
    texts.push_back(Narrow(box.text));
  }
  return texts;
}

class PatchListTest : public ::testing::Test {
 protected:
  void SetUp() override { Prepare(fake); }
  FakePlatform fake;
};

struct BlockCase {
  const char* reason;
  std::function<void(FakePlatform&)> setup;
  std::string expected;                // the file's content afterwards
  std::vector<std::string> boxes;      // texts shown
};

TEST_F(PatchListTest, AppendsEachBlockBehindItsSeparator) {
  auto entry = [](FakePlatform& f, const char16_t* name) -> auto& {
    return f.resources.entries[{u"TXT", name}];
  };
  auto threeBlocks = [](FakePlatform& f) {
    f.resources.AddResource(u"TXT", u"#207", kBlock2);
    f.resources.AddResource(u"TXT", u"#208", kBlock3);
  };
  const BlockCase cases[] = {
      {"one block: separator, bytes unchanged, CR LF", [](FakePlatform&) {}, Layout(kBlock1), {}},
      {"consecutive ids in order; the first missing one ends quietly", threeBlocks,
       Layout(kBlock1) + Layout(kBlock2) + Layout(kBlock3), {}},
      {"a gap ends the sequence: 208 after a missing 207 is not read",
       [](FakePlatform& f) { f.resources.AddResource(u"TXT", u"#208", kBlock3); },
       Layout(kBlock1), {}},
      {"block 206 missing: 310, nothing written",
       [](FakePlatform& f) { f.resources.entries.erase({u"TXT", u"#206"}); }, "",
       {"You must supply a patch list."}},
      {"block 206 of size 0: 300 with the last error",
       [&](FakePlatform& f) { entry(f, u"#206").bytes.clear(); }, "",
       {"A problem. \n\n Error Code: 5"}},
      {"block 207 cannot be loaded: 300, 208 never written",
       [&](FakePlatform& f) {
         threeBlocks(f);
         entry(f, u"#207").status = ResourceStatus::kLoadFailed;
       },
       Layout(kBlock1), {"A problem. \n\n Error Code: 5"}},
      {"block 207 cannot be locked: 300",
       [&](FakePlatform& f) {
         threeBlocks(f);
         entry(f, u"#207").status = ResourceStatus::kLockFailed;
       },
       Layout(kBlock1), {"A problem. \n\n Error Code: 5"}},
      {"separator write fails: that block left out, the next still written",
       [&](FakePlatform& f) {
         threeBlocks(f);
         f.files.failingSharedWrites = {0};
       },
       Layout(kBlock2) + Layout(kBlock3), {}},
      {"block write fails: its separator stays, no CR LF after it",
       [&](FakePlatform& f) {
         threeBlocks(f);
         f.files.failingSharedWrites = {1};
       },
       kSeparator + Layout(kBlock2) + Layout(kBlock3), {}},
      {"CR LF write fails: separator and block stay",
       [&](FakePlatform& f) {
         threeBlocks(f);
         f.files.failingSharedWrites = {2};
       },
       kSeparator + kBlock1 + Layout(kBlock2) + Layout(kBlock3), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    Prepare(f);
    c.setup(f);
    std::u16string name = u"list.txt";
    EXPECT_TRUE(WritePatchList(f.platform(), name));
    EXPECT_EQ(Narrow(name), "list.txt") << "a given name is used unchanged";
    ASSERT_EQ(f.files.files.count(u"C:\\work\\list.txt"), 1u) << "opened (created) in any case";
    EXPECT_EQ(f.files.files.at(u"C:\\work\\list.txt"), c.expected);
    EXPECT_EQ(BoxTexts(f), c.boxes);
    EXPECT_EQ(f.files.openFiles, 0);
  }
}

TEST_F(PatchListTest, AppendsToWhatTheFileHolds) {
  const std::u16string path = u"C:\\work\\list.txt";
  fake.files.files[path] = "older entry without line break";
  std::u16string name = path;
  ASSERT_TRUE(WritePatchList(fake.platform(), name));
  ASSERT_TRUE(WritePatchList(fake.platform(), name));
  EXPECT_EQ(fake.files.files.at(path),
            "older entry without line break" + Layout(kBlock1) + Layout(kBlock1));
  EXPECT_EQ(fake.files.files.at(path).size(), 30 + 2 * (7 + kBlock1.size() + 2));
}

TEST_F(PatchListTest, GivenNameNeedsNoExtraction) {
  std::u16string name = u"C:\\work\\given.txt";
  ASSERT_TRUE(WritePatchList(fake.platform(), name));
  EXPECT_TRUE(fake.installer.calls.empty());
  EXPECT_TRUE(fake.files.probed.empty()) << "no temporary name was made";
  EXPECT_EQ(fake.files.files.size(), 1u);
}

struct OpenCase {
  const char* reason;
  std::u16string name;
  bool quiet;
  bool seekFails = false;  // the list exists, but its end cannot be found
};

TEST_F(PatchListTest, UnopenableFileReports310AndFails) {
  const OpenCase cases[] = {
      {"folder does not exist", u"C:\\nowhere\\list.txt", false},
      {"the name is a directory", u"C:\\work\\sub", false},
      {"access refused", u"C:\\work\\locked.txt", false},
      {"quiet: the same outcome without a box", u"C:\\nowhere\\list.txt", true},
      {"the end of the list cannot be found: nothing is written over its start",
       u"C:\\work\\big.txt", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    Prepare(f);
    RunOptions.quiet = c.quiet;
    f.files.directories.insert(u"C:\\work\\sub\\");
    f.files.accessDenied.insert(u"C:\\work\\locked.txt");
    f.files.seekFails = c.seekFails;
    if (c.seekFails) f.files.files[c.name] = "earlier entries";
    std::u16string name = c.name;
    EXPECT_FALSE(WritePatchList(f.platform(), name));
    if (c.seekFails) {
      EXPECT_EQ(f.files.files.at(c.name), "earlier entries");
    } else {
      EXPECT_EQ(f.files.files.count(c.name), 0u);
    }
    EXPECT_EQ(f.files.openFiles, 0);
    EXPECT_EQ(BoxTexts(f), c.quiet ? std::vector<std::string>{}
                                   : std::vector<std::string>{"You must supply a patch list."});
    EXPECT_EQ(f.resources.resourceLookups, 0) << "no block is read";
  }
}

TEST_F(PatchListTest, QuietShowsNothingAndWritesTheSame) {
  RunOptions.quiet = true;
  fake.resources.AddResource(u"TXT", u"#207", kBlock2);
  fake.resources.entries[{u"TXT", u"#207"}].status = ResourceStatus::kLoadFailed;
  std::u16string name = u"list.txt";
  EXPECT_TRUE(WritePatchList(fake.platform(), name));
  EXPECT_EQ(fake.files.files.at(u"C:\\work\\list.txt"), Layout(kBlock1));
  EXPECT_TRUE(fake.boxes.shown.empty());
  EXPECT_EQ(fake.thread.lastError, 5u);

  fake.resources.entries.erase({u"TXT", u"#206"});
  std::u16string second = u"second.txt";
  EXPECT_TRUE(WritePatchList(fake.platform(), second));
  EXPECT_TRUE(fake.boxes.shown.empty());
}

struct NameCase {
  const char* reason;
  std::function<void(FakePlatform&)> setup;
  std::string expectedName;
  bool temporaryCopyStays;
};

TEST_F(PatchListTest, ChoosesTheNameFromTheTargetCodes) {
  const std::u16string copy = std::u16string(kTemp) + u"MSP2";
  auto targets = [copy](std::u16string text) {
    return [copy, text](FakePlatform& f) { f.installer.summaries[copy].templateText = text; };
  };
  const NameCase cases[] = {
      {"shipped form: the four characters after the first '-'", targets(Codes21()),
       "patchlist6007.txt", true},
      {"the part after the first ':' is searched", targets(u"x-1111:{90120000-6007-0409}"),
       "patchlist6007.txt", true},
      {"no '-': the first four characters", targets(u"ABCDEFG"), "patchlistABCD.txt", true},
      {"fewer than four after '-': those that remain", targets(u"{AB-12"), "patchlist12.txt",
       true},
      {"no '-' and fewer than four characters", targets(u"AB"), "patchlistAB.txt", true},
      {"empty text: nothing between stem and extension", targets(u""), "patchlist.txt", true},
      {"'-' at the very end", targets(u"ABC-"), "patchlist.txt", true},
      {"a stream colon among the four characters: the default", targets(u"x:{AB-c:de}"),
       "patchlist.txt", true},
      {"a folder separator among them: the default", targets(u"{AB-..\\x}"), "patchlist.txt",
       true},
      {"a wildcard or pipe among them: the default", targets(u"{AB-a|b*}"), "patchlist.txt",
       true},
      {"a control character among them: the default",
       targets(u"{AB-9B\t\x01}"), "patchlist.txt", true},
      {"package cannot be extracted: the default",
       [](FakePlatform& f) { f.resources.entries.erase({u"MSP", u"IDR_MSP"}); },
       "patchlist.txt", false},
      {"targets cannot be read: the default", [](FakePlatform&) {}, "patchlist.txt", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    FakePlatform f;
    Prepare(f);
    c.setup(f);
    std::u16string name;
    EXPECT_TRUE(WritePatchList(f.platform(), name));
    EXPECT_EQ(Narrow(name), c.expectedName);
    const std::u16string full = kWorkDir + std::u16string(c.expectedName.begin(), c.expectedName.end());
    ASSERT_EQ(f.files.files.count(full), 1u);
    EXPECT_EQ(f.files.files.at(full), Layout(kBlock1));
    EXPECT_EQ(f.files.files.count(copy), c.temporaryCopyStays ? 1u : 0u);
    if (c.temporaryCopyStays) {
      EXPECT_EQ(f.files.files.at(copy), kPackageBytes);
    }
    EXPECT_TRUE(f.installer.OpenHandles().empty());
    EXPECT_TRUE(f.boxes.shown.empty());
  }
}

#if defined(__unix__)
// A block beyond what one WriteFile call can take, backed by reserved but
// never touched memory: the writer must hand it over in pieces, whole.
class HugeBlockResources : public ModuleResources {
 public:
  HugeBlockResources(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  ResourceStatus FindResourceBytes(ModuleHandle, const std::u16string& name,
                                   const std::u16string& type, ResourceBytes& bytes) override {
    if (type != u"TXT" || name != u"#206") return ResourceStatus::kMissing;
    bytes = {data_, size_};
    return ResourceStatus::kFound;
  }
  int LoadStringW(ModuleHandle, std::uint32_t, char16_t* buffer, int capacity) override {
    if (capacity > 0) buffer[0] = u'\0';
    return 0;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

TEST_F(PatchListTest, BlockBeyond4GiBIsWrittenWhole) {
  const std::size_t size = (std::size_t{1} << 32) + 10;
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  const auto* data = static_cast<const unsigned char*>(mapped);
  HugeBlockResources resources(data, size);
  RecordingFileSystem files;
  const Platform platform{fake.installer, resources,      fake.thread,      fake.boxes,
                          files,          fake.processes, fake.commandLine, fake.locks};
  std::u16string name = u"list.txt";
  EXPECT_TRUE(WritePatchList(platform, name));
  munmap(mapped, size);

  ASSERT_EQ(files.writes.size(), 4u);
  EXPECT_EQ(files.writes[0].size, 7u);
  EXPECT_EQ(files.writes[1].data, static_cast<const void*>(data));
  EXPECT_EQ(files.writes[1].size, 0xFFFFFFFFu);
  EXPECT_EQ(files.writes[2].data, static_cast<const void*>(data + 0xFFFFFFFFu));
  EXPECT_EQ(files.writes[2].size, 11u);
  EXPECT_EQ(files.writes[3].size, 2u);
}
#endif

}  // namespace
}  // namespace hotfix
