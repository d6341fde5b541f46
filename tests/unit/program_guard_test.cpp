#include "install/program_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/process_state.h"
#include "app/run_options.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakePlatform;
using testing::FakeProcesses;

constexpr char16_t kPromptTemplate[] =
    u"The installer has detected that the following programs\nare running.\n\n%s\nIn order to "
    u"complete installation, these programs must\nbe closed.\n%s";
constexpr char16_t kExpectedPrompt[] =
    u"The installer has detected that the following programs\nare running.\n\nQuorvel\n\nIn order "
    u"to complete installation, these programs must\nbe closed.\n";
constexpr std::uint32_t kPromptStyle = 0x50015;

// Records each comparison, so a test can see where the walk stopped.
class RecordingProcesses : public FakeProcesses {
 public:
  std::vector<std::pair<std::u16string, std::u16string>> compared;
  int CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) override {
    compared.emplace_back(a, b);
    return FakeProcesses::CompareNamesIgnoringCase(a, b);
  }
};

TEST(IsProcessRunningTest, StopsAtTheFirstMatchAndSkipsProcessZero) {
  struct Case {
    std::vector<ProcessEntry> running;
    bool snapshotFails;
    bool expected;
    std::vector<std::u16string> comparedNames;  // exeFile of each comparison, in order
    const char* why;
  };
  const Case cases[] = {
      {{}, false, false, {}, "nothing runs"},
      {{{4, u"a.exe"}, {8, u"b.exe"}}, false, false, {u"a.exe", u"b.exe"}, "other programs"},
      {{{4, u"a.exe"}, {8, u"quor.exe"}, {12, u"quor.exe"}},
       false, true, {u"a.exe", u"quor.exe"}, "the walk ends at the first match"},
      {{{4, u"QUOR.EXE"}}, false, true, {u"QUOR.EXE"}, "letter case is ignored"},
      {{{0, u"quor.exe"}}, false, false, {}, "process id 0 never counts"},
      {{{0, u"quor.exe"}, {9, u"quor.exe"}}, false, true, {u"quor.exe"}, "id 0 skipped only"},
      {{{4, u"quor.exe.bak"}}, false, false, {u"quor.exe.bak"}, "whole names only"},
      {{{4, u"quor.exe"}}, true, true, {}, "no snapshot counts as running"},
  };
  for (const Case& c : cases) {
    RecordingProcesses processes;
    processes.running = c.running;
    processes.snapshotFails = c.snapshotFails;
    EXPECT_EQ(IsProcessRunning(processes, u"quor.exe"), c.expected) << c.why;
    std::vector<std::u16string> names;
    for (const auto& [entryName, imageName] : processes.compared) {
      names.push_back(entryName);
      EXPECT_EQ(imageName, u"quor.exe") << c.why << ": the image name is compared second";
    }
    EXPECT_EQ(names, c.comparedNames) << c.why;
    EXPECT_EQ(processes.snapshots, 1) << c.why;
  }
}

// What the user does at one prompt.
struct Reply {
  int button;
  bool programCloses = false;     // the program ends before the button is pressed
  bool snapshotRecovers = false;  // the next snapshot succeeds
};

// A platform with the guard's strings in English and German, and a user who
// gives the scripted replies in turn. A prompt beyond them fails the test and
// cancels, so a guard that loops too often cannot hang.
class GuardScene {
 public:
  explicit GuardScene(std::vector<Reply> replies) : replies_(std::move(replies)) {
    fake.resources.AddString(1033, 311, u"Installation Error");
    fake.resources.AddString(1033, 315, kPromptTemplate);
    fake.resources.AddString(1031, 311, u"Installationsfehler");
    fake.resources.AddString(1031, 315, u"Programme laufen:\n%s\nBitte schlie\u00dfen.%s");
    fake.boxes.answer = [this](const testing::FakeMessageBoxes::Box&) {
      if (next_ >= replies_.size()) {
        ADD_FAILURE() << "more prompts than scripted";
        return kIdCancel;
      }
      const Reply reply = replies_[next_++];
      if (reply.programCloses) fake.processes.running.clear();
      if (reply.snapshotRecovers) fake.processes.snapshotFails = false;
      return reply.button;
    };
  }

  FakePlatform fake;

 private:
  std::vector<Reply> replies_;
  std::size_t next_ = 0;
};

class EnsureProductClosedTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }
  void TearDown() override { ResetProcessState(); }
};

TEST_F(EnsureProductClosedTest, ChecksBeforeEveryPrompt) {
  struct Case {
    std::vector<ProcessEntry> running;
    bool snapshotFails;
    bool quiet;
    std::vector<Reply> replies;
    bool expected;
    int prompts;
    const char* why;
    std::vector<std::uint32_t> pauses = {};  // milliseconds, one per failed box
  };
  const std::vector<ProcessEntry> one = {{40, u"quor.exe"}};
  const std::vector<ProcessEntry> three = {{40, u"quor.exe"}, {41, u"Quor.exe"}, {42, u"quor.exe"}};
  const Case cases[] = {
      {{}, false, false, {}, true, 0, "not running: no box"},
      {{{0, u"quor.exe"}}, false, false, {}, true, 0, "process id 0 is not the program"},
      {one, false, false, {{kIdCancel}}, false, 1, "cancel"},
      {{{40, u"QUOR.EXE"}}, false, false, {{kIdCancel}}, false, 1, "case differs, still it"},
      {three, false, false, {{kIdRetry}, {kIdCancel}}, false, 2, "one prompt per check"},
      {one, false, false, {{kIdRetry, true}}, true, 1, "closed, then Retry"},
      {one, false, false, {{kIdRetry}, {kIdRetry}, {kIdRetry, true}}, true, 3, "Retry repeats"},
      {one, false, false, {{kIdCancel, true}}, false, 1, "cancel even after closing"},
      {one, false, false, {{0}, {kIdOk, true}}, true, 2, "failed box and OK act as Retry",
       {1000}},
      {one, false, false, {{0}, {0}, {kIdCancel}}, false, 3,
       "a box that keeps failing: a second's pause before each next check", {1000, 1000}},
      {{}, true, false, {{kIdRetry, false, true}}, true, 1, "no snapshot prompts"},
      {{}, true, false, {{kIdRetry}, {kIdCancel}}, false, 2, "no snapshot, then cancel"},
      {one, false, true, {{kIdRetry, true}}, true, 1, "shown under /q as well"},
  };
  for (const Case& c : cases) {
    GuardScene scene(c.replies);
    FakePlatform& fake = scene.fake;
    fake.processes.running = c.running;
    fake.processes.snapshotFails = c.snapshotFails;
    RunOptions.quiet = c.quiet;

    EXPECT_EQ(EnsureProductClosed(fake.platform()), c.expected) << c.why;
    ASSERT_EQ(fake.boxes.shown.size(), static_cast<std::size_t>(c.prompts)) << c.why;
    for (const auto& box : fake.boxes.shown) {
      EXPECT_EQ(box.text, kExpectedPrompt) << c.why;
      EXPECT_EQ(box.caption, u"Installation Error") << c.why;
      EXPECT_EQ(box.style, kPromptStyle) << c.why;
    }
    EXPECT_EQ(fake.processes.snapshots, c.expected ? c.prompts + 1 : c.prompts)
        << c.why << ": one check before each prompt and one that ends the wait";
    EXPECT_EQ(fake.processes.sleeps, c.pauses) << c.why;
  }
}

TEST_F(EnsureProductClosedTest, LoadsItsTextsOnceInTheThreadsLanguage) {
  GuardScene scene({{kIdRetry}, {kIdRetry, true}});
  FakePlatform& fake = scene.fake;
  fake.thread.locale = 1031;
  fake.processes.running = {{40, u"quor.exe"}};
  EXPECT_TRUE(EnsureProductClosed(fake.platform()));
  ASSERT_EQ(fake.boxes.shown.size(), 2u);
  EXPECT_EQ(fake.boxes.shown[0].text, u"Programme laufen:\nQuorvel\n\nBitte schlie\u00dfen.");
  EXPECT_EQ(fake.boxes.shown[0].caption, u"Installationsfehler");
  EXPECT_EQ(fake.resources.loadedIds, (std::vector<std::uint32_t>{311, 315}))
      << "loaded once per call, not once per prompt";
  EXPECT_TRUE(fake.thread.localeCalls.empty()) << "the guard never changes the locale";
}

}  // namespace
}  // namespace hotfix
