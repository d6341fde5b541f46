#include "app/entry_point.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_options.h"
#include "install/product_list.h"
#include "tests/fakes/fake_installer.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::Narrow;

const ModuleHandle kModule = reinterpret_cast<ModuleHandle>(0x140000000);
const std::u16string kTemp = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
const std::u16string kWork = u"C:\\work\\";
const std::u16string kTargets =
    u"{1A2B3C4D-6007-0409-0000-00000000A001};{1A2B3C4D-6007-0407-0000-00000000A001}";
const std::u16string kInstalledCode = u"{1A2B3C4D-6007-0409-0000-00000000A001}";
const std::string kPackage = "MSP package bytes";

// What the flows did, in order: files written or appended to, boxes shown.
using Events = std::vector<std::string>;

class RecordingFiles : public testing::FakeFileSystem {
 public:
  explicit RecordingFiles(Events& events) : events_(events) {}
  std::unique_ptr<WritableFile> OpenForWriting(const std::u16string& path) override {
    events_.push_back("write " + Narrow(path));
    return FakeFileSystem::OpenForWriting(path);
  }
  std::unique_ptr<SharedFile> OpenForAppending(const std::u16string& path) override {
    events_.push_back("append " + Narrow(path));
    return FakeFileSystem::OpenForAppending(path);
  }

 private:
  Events& events_;
};

class RecordingBoxes : public testing::FakeMessageBoxes {
 public:
  RecordingBoxes(testing::FakeThreadState& thread, Events& events)
      : FakeMessageBoxes(thread), events_(events) {}
  int MessageBoxW(const std::u16string& text, const std::u16string& caption,
                  std::uint32_t style) override {
    events_.push_back("box " + Narrow(caption) + ": " + Narrow(text));
    return FakeMessageBoxes::MessageBoxW(text, caption, style);
  }

 private:
  Events& events_;
};

// Notes, for every package the service is asked to read, whether the
// program held it at that moment.
class HoldCheckingInstaller : public testing::FakeInstaller {
 public:
  const testing::FakeFileSystem* files = nullptr;
  std::vector<bool> heldAtRead;
  std::uint32_t MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                          std::uint32_t updateCount, MsiHandle* summary) override {
    heldAtRead.push_back(files->IsHeld(path));
    return FakeInstaller::MsiGetSummaryInformationW(database, path, updateCount, summary);
  }
};

// A machine with the hotfix's resources, a patch whose summary names two
// products, and, when asked for, one of them installed at 5.2.0.0.
struct World {
  Events events;
  HoldCheckingInstaller installer;
  testing::FakeThreadState thread;
  testing::FakeResources resources{thread};
  RecordingBoxes boxes{thread, events};
  RecordingFiles files{events};
  testing::FakeProcesses processes;
  testing::FakeCommandLine commandLine;
  testing::FakeMachineLocks locks{thread};

  World() {
    installer.files = &files;
    resources.expectedModule = kModule;
    resources.AddResource(u"MSP", u"IDR_MSP", kPackage);
    resources.AddResource(u"TXT", u"#206", "ProductCode=x\r\n");
    resources.AddString(1033, 300, u"failed %d");
    resources.AddString(1033, 301, u"installed");
    resources.AddString(1033, 307, u"no product");
    resources.AddString(1033, 310, u"no list");
    resources.AddString(1033, 311, u"Installation Error");
    resources.AddString(1033, 312, u"Installation Successful");
    resources.AddString(1033, 316, u"close them");
    resources.AddString(1033, 700, u"5.2.1.0");
    resources.AddString(1033, 900, u"5.2.0.0,");
    files.directories = {kTemp, kWork, u"C:\\"};
    // Every temporary copy the flows may make carries the same summary.
    for (int n = 2; n < 8; ++n) {
      installer.summaries[kTemp + u"MSP" + static_cast<char16_t>(u'0' + n)] = {kTargets};
    }
  }

  void InstallProduct(std::uint32_t configureResult) {
    testing::FakeInstaller::Product product;
    product.properties = {{u"ProductName", u"Quorvel 2024"},
                          {u"Language", u"1033"},
                          {u"VersionString", u"5.2.0.0"},
                          {u"LocalPackage", u"C:\\Windows\\Installer\\1a2b.msi"}};
    product.configureResults = {configureResult};
    installer.products[kInstalledCode] = product;
  }

  Platform platform() {
    return Platform{installer, resources, thread, boxes, files, processes, commandLine, locks};
  }
};

struct RunCase {
  const char* reason;
  std::u16string arguments;
  Events expected;
};

// Names the case by its reason in test output.
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.reason; }

class RunHotfixTest : public ::testing::TestWithParam<RunCase> {
 protected:
  void SetUp() override {
    ResetProcessState();
    ModuleInstance = kModule;
  }
  void TearDown() override { ResetProcessState(); }
};

std::string Show(const Events& events) {
  std::string out;
  for (const auto& e : events) out += "\n    " + e;
  return out;
}

const std::string kWriteTemp2 = "write " + Narrow(kTemp) + "MSP2";
const std::string kProductBox = "box List of Products: " + Narrow(kTargets);

TEST_P(RunHotfixTest, RunsTheSelectedFlowsInTheirFixedOrder) {
  const RunCase& c = GetParam();
  World world;
  world.commandLine.commandLine = u"\"C:\\Downloads\\hotfix.exe\"" + c.arguments;
  EXPECT_EQ(RunHotfix(world.platform()), 0) << c.reason;
  EXPECT_EQ(world.events, c.expected) << c.reason << "\n  got:" << Show(world.events)
                                      << "\n  want:" << Show(c.expected);
  EXPECT_TRUE(ProductList.empty()) << c.reason;
  // Every temporary copy is held while the service reads it, and no longer
  // once the flows are done.
  EXPECT_EQ(world.installer.heldAtRead, std::vector<bool>(world.installer.heldAtRead.size(), true))
      << c.reason;
  EXPECT_TRUE(world.files.held.empty()) << c.reason;
  // Only the default mode keeps a second run out.
  EXPECT_EQ(world.locks.names.size(), RunOptions.install ? 1u : 0u) << c.reason;
  EXPECT_EQ(world.locks.held, 0) << c.reason;
}

const RunCase kRunCases[] = {
    {"no arguments: the default mode, which finds no product", u"",
     {kWriteTemp2, "box Installation Error: no product"}},
    {"only unrecognised arguments: the default mode", u" -q /x extra",
     {kWriteTemp2, "box Installation Error: no product"}},
    {"/q alone: the default mode, silent", u" /q", {kWriteTemp2}},
    {"/e without a path: a temporary file, and no installation", u" /e", {kWriteTemp2}},
    {"/e with a path writes there", u" /e C:\\work\\out.msp", {"write C:\\work\\out.msp"}},
    {"/p before /e: extraction still comes first", u" /p C:\\work\\list.txt /e C:\\work\\out.msp",
     {"write C:\\work\\out.msp", "append C:\\work\\list.txt"}},
    {"/p without a name extracts a copy to name the list after the targets", u" /p",
     {kWriteTemp2, "append patchlist6007.txt"}},
    {"/i first: nothing after it runs", u" /i /e C:\\work\\out.msp /p C:\\work\\list.txt",
     {kWriteTemp2, kProductBox}},
    {"/e, /p and /i last: all three in order",
     u" /i2 /e C:\\work\\out.msp /p C:\\work\\list.txt /i",
     {"write C:\\work\\out.msp", "append C:\\work\\list.txt", kWriteTemp2, kProductBox}},
    {"/q does not silence the /i box", u" /q /i", {kWriteTemp2, kProductBox}},
    {"a failing /e does not stop /p and /i", u" /e C:\\nowhere\\out.msp /p C:\\work\\list.txt /i",
     {"write C:\\nowhere\\out.msp", "append C:\\work\\list.txt", kWriteTemp2, kProductBox}},
    {"/p takes a following /i as its file name, so the /i flow does not run", u" /p /i",
     {"append /i", "box Installation Error: no list"}},
};

INSTANTIATE_TEST_SUITE_P(Modes, RunHotfixTest, ::testing::ValuesIn(kRunCases));

class RunHotfixOutcomes : public RunHotfixTest {};

TEST_F(RunHotfixOutcomes, TheProductListBoxHasNoIconAndItsCopyStays) {
  World world;
  world.commandLine.commandLine = u"hotfix.exe /i";
  EXPECT_EQ(RunHotfix(world.platform()), 0);
  ASSERT_EQ(world.boxes.shown.size(), 1u);
  EXPECT_EQ(world.boxes.shown[0].text, kTargets);
  EXPECT_EQ(world.boxes.shown[0].caption, u"List of Products");
  EXPECT_EQ(world.boxes.shown[0].style, 0x50000u);
  EXPECT_TRUE(world.files.deleted.empty());
  EXPECT_EQ(world.files.files.at(kTemp + u"MSP2"), kPackage);
}

TEST_F(RunHotfixOutcomes, ExtractPatchListAndProductListRunWhileAnInstallationRuns) {
  World world;
  world.locks.result = LockResult::kTaken;
  world.commandLine.commandLine = u"hotfix.exe /e C:\\work\\out.msp /p C:\\work\\list.txt /i";
  EXPECT_EQ(RunHotfix(world.platform()), 0);
  EXPECT_EQ(world.events, (Events{"write C:\\work\\out.msp", "append C:\\work\\list.txt",
                                  kWriteTemp2, kProductBox}))
      << Show(world.events);
}

TEST_F(RunHotfixOutcomes, APackageThatCannotBeExtractedOrReadGivesAnEmptyBox) {
  struct Failure {
    const char* reason;
    bool withResource;
    bool changedBeforeHold = false;  // another process writes first; its summary is readable
  };
  const Failure failures[] = {
      {"no package resource: nothing is written, so nothing can be read", false},
      {"a package whose summary cannot be read", true},
      {"a copy changed before it could be held is not read", true, true},
  };
  for (const Failure& f : failures) {
    ResetProcessState();
    ModuleInstance = kModule;
    World world;
    if (!f.withResource) world.resources.entries.clear();
    if (f.changedBeforeHold) {
      world.files.beforeHold = [](testing::FakeFileSystem& fs, const std::u16string& path) {
        fs.files[path] = "another package";
      };
    } else {
      world.installer.summaries.clear();
    }
    world.commandLine.commandLine = u"hotfix.exe /i";
    EXPECT_EQ(RunHotfix(world.platform()), 0) << f.reason;
    ASSERT_EQ(world.boxes.shown.size(), 1u) << f.reason;
    EXPECT_EQ(world.boxes.shown[0].text, u"") << f.reason;
    EXPECT_EQ(world.boxes.shown[0].caption, u"List of Products") << f.reason;
  }
}

TEST_F(RunHotfixOutcomes, ExitCodeIsZeroAndTheListIsEmptiedWhateverTheInstallationGave) {
  struct Outcome {
    const char* reason;
    std::uint32_t configureResult;
    std::string box;
  };
  const Outcome outcomes[] = {
      {"a successful installation", 0, "box Installation Successful: installed"},
      {"a failed installation", 1603, "box Installation Error: failed 1603"},
  };
  for (const Outcome& o : outcomes) {
    ResetProcessState();
    ModuleInstance = kModule;
    World world;
    world.InstallProduct(o.configureResult);
    world.commandLine.commandLine = u"hotfix.exe";
    EXPECT_EQ(RunHotfix(world.platform()), 0) << o.reason;
    EXPECT_EQ(world.installer.configureCalls.size(), 1u) << o.reason;
    ASSERT_FALSE(world.events.empty()) << o.reason;
    EXPECT_EQ(world.events.back(), o.box) << o.reason << Show(world.events);
    // The driver filled it for the one product; start-up empties it.
    EXPECT_TRUE(ProductList.empty()) << o.reason;
  }
}

}  // namespace
}  // namespace hotfix
