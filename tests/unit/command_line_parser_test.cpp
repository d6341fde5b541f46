#include "app/command_line_parser.h"

#include <gtest/gtest.h>

#include <new>
#include <ostream>
#include <string>

#include "app/process_state.h"
#include "app/run_options.h"
#include "tests/fakes/fake_installer.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::Narrow;

struct Expected {
  bool quiet = false;
  bool install = true;
  bool extract = false;
  std::u16string extractPath = {};
  bool patchList = false;
  std::u16string patchListPath = {};
  bool listProducts = false;
};

std::string Show(const RunOptionsRecord& o) {
  return std::string("quiet=") + (o.quiet ? "1" : "0") + " install=" + (o.install ? "1" : "0") +
         " extract=" + (o.extract ? "1" : "0") + " extractPath=[" + Narrow(o.extractPath) +
         "] patchList=" + (o.patchList ? "1" : "0") + " patchListPath=[" +
         Narrow(o.patchListPath) + "] listProducts=" + (o.listProducts ? "1" : "0");
}

RunOptionsRecord AsRecord(const Expected& e) {
  RunOptionsRecord r;
  r.quiet = e.quiet;
  r.install = e.install;
  r.extract = e.extract;
  r.extractPath = e.extractPath;
  r.patchList = e.patchList;
  r.patchListPath = e.patchListPath;
  r.listProducts = e.listProducts;
  return r;
}

bool Same(const RunOptionsRecord& a, const RunOptionsRecord& b) {
  return a.quiet == b.quiet && a.install == b.install && a.extract == b.extract &&
         a.extractPath == b.extractPath && a.patchList == b.patchList &&
         a.patchListPath == b.patchListPath && a.listProducts == b.listProducts;
}

struct ParseCase {
  const char* reason;
  std::u16string commandLine;
  Expected expected;
};

// Names the case by its reason in test output.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.reason; }

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { ResetProcessState(); }
  void TearDown() override { ResetProcessState(); }
};

TEST_P(ParseCommandLineTest, FillsRunOptions) {
  const ParseCase& c = GetParam();
  testing::FakeCommandLine commandLine;
  commandLine.commandLine = c.commandLine;
  ParseCommandLine(commandLine);
  const RunOptionsRecord want = AsRecord(c.expected);
  EXPECT_TRUE(Same(RunOptions, want)) << c.reason << "\n  line: [" << Narrow(c.commandLine)
                                      << "]\n  got:  " << Show(RunOptions)
                                      << "\n  want: " << Show(want);
}

const ParseCase kParseCases[] = {
    {"no arguments: the default mode", u"C:\\hotfix.exe", {}},
    {"/q alone silences and keeps the default mode", u"hotfix.exe /q", {.quiet = true}},
    {"upper-case switches act like lower-case ones",
     u"hotfix.exe /Q /E a.msp /P list.txt /I",
     {.quiet = true, .install = false, .extract = true, .extractPath = u"a.msp",
      .patchList = true, .patchListPath = u"list.txt", .listProducts = true}},
    {"a dash, a longer word or a bare letter is no switch",
     u"hotfix.exe -q /quiet q /e2 /ee /i: //i", {}},
    {"only A to Z fold: a dotless capital I is not /i", u"hotfix.exe /\u0130 /\u0131", {}},
    {"the program path is never examined, even when it looks like a switch", u"/i", {}},
    {"/e last: extraction with an empty path", u"hotfix.exe /e",
     {.install = false, .extract = true}},
    {"/e takes a following switch as its path", u"hotfix.exe /e /q",
     {.install = false, .extract = true, .extractPath = u"/q"}},
    {"an empty argument after /e replaces an earlier path",
     u"hotfix.exe /e first.msp /e \"\"", {.install = false, .extract = true}},
    {"/e with no path after it keeps the earlier path",
     u"hotfix.exe /e first.msp /e",
     {.install = false, .extract = true, .extractPath = u"first.msp"}},
    {"two /e: the second path wins", u"hotfix.exe /e one.msp /e two.msp",
     {.install = false, .extract = true, .extractPath = u"two.msp"}},
    {"/p takes its path the same way", u"hotfix.exe /p /i",
     {.install = false, .patchList = true, .patchListPath = u"/i"}},
    {"a quoted path with blanks", u"hotfix.exe /p \"C:\\My Lists\\p.txt\"",
     {.install = false, .patchList = true, .patchListPath = u"C:\\My Lists\\p.txt"}},
    {"/i stops the walk: nothing after it counts", u"hotfix.exe /i /e out.msp /q",
     {.install = false, .listProducts = true}},
    {"/q, /p path, /i, /q: the second /q is never looked at",
     u"hotfix.exe /q /p list.txt /i /q",
     {.quiet = true, .install = false, .patchList = true, .patchListPath = u"list.txt",
      .listProducts = true}},
    {"an unrecognised argument between switches changes nothing",
     u"hotfix.exe /q junk /e out.msp",
     {.quiet = true, .install = false, .extract = true, .extractPath = u"out.msp"}},
    {"an unrecognised argument right after /p is its path", u"hotfix.exe /p junk",
     {.install = false, .patchList = true, .patchListPath = u"junk"}},
    {"switches in any order select the same flows", u"hotfix.exe /i /p x",
     {.install = false, .listProducts = true}},
};

INSTANTIATE_TEST_SUITE_P(Switches, ParseCommandLineTest, ::testing::ValuesIn(kParseCases));

// A command line source whose split cannot be made.
class ThrowingCommandLine : public CommandLineSource {
 public:
  std::u16string GetCommandLineW() override { return u"hotfix.exe /e out.msp"; }
  std::optional<std::vector<std::u16string>> CommandLineToArgvW(const std::u16string&) override {
    throw std::bad_alloc();
  }
};

TEST(ParseCommandLineFailures, ASplitThatFailsLeavesTheDefaultMode) {
  ResetProcessState();
  // Values from an earlier parse must not survive into this one.
  RunOptions.quiet = true;
  RunOptions.install = false;
  RunOptions.extract = true;
  RunOptions.extractPath = u"stale";

  testing::FakeCommandLine commandLine;
  commandLine.commandLine = u"hotfix.exe /q /e out.msp";
  commandLine.splitFails = true;
  ParseCommandLine(commandLine);
  EXPECT_TRUE(Same(RunOptions, RunOptionsRecord{})) << Show(RunOptions);

  ThrowingCommandLine throwing;
  ParseCommandLine(throwing);
  EXPECT_TRUE(Same(RunOptions, RunOptionsRecord{})) << Show(RunOptions);
  ResetProcessState();
}

}  // namespace
}  // namespace hotfix
