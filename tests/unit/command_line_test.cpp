#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/fakes/fake_installer.h"

namespace hotfix {
namespace {

using testing::Narrow;

std::string Show(const std::vector<std::u16string>& arguments) {
  std::string out = "{";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i) out += ", ";
    out += "[" + Narrow(arguments[i]) + "]";
  }
  return out + "}";
}

struct SplitCase {
  const char* reason;
  std::u16string commandLine;
  std::vector<std::u16string> expected;
};

// Names the case by its reason in test output.
void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.reason; }

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, MatchesTheSystemSplitter) {
  const SplitCase& c = GetParam();
  const std::vector<std::u16string> actual = SplitCommandLine(c.commandLine, u"C:\\self.exe");
  EXPECT_EQ(actual, c.expected) << c.reason << "\n  line: [" << Narrow(c.commandLine)
                                << "]\n  got:  " << Show(actual)
                                << "\n  want: " << Show(c.expected);
}

const SplitCase kSplitCases[] = {
    {"an empty line gives the program's own path", u"", {u"C:\\self.exe"}},
    {"a program name alone", u"hotfix.exe", {u"hotfix.exe"}},
    {"blanks after the last argument give nothing", u"hotfix.exe /q  \t ", {u"hotfix.exe", u"/q"}},
    {"runs of blanks and tabs separate once", u"exe a  \t b\tc", {u"exe", u"a", u"b", u"c"}},
    {"a tab ends an unquoted program name", u"exe\t/q", {u"exe", u"/q"}},
    {"only blank and tab separate: CR and LF are text",
     u"exe a\rb\nc", {u"exe", u"a\rb\nc"}},
    {"a quoted program name keeps its blanks",
     u"\"C:\\Program Files\\hotfix.exe\" /e out.msp",
     {u"C:\\Program Files\\hotfix.exe", u"/e", u"out.msp"}},
    {"backslashes in the program name are not escapes, even before a quote",
     u"\"C:\\dir\\\" /q", {u"C:\\dir\\", u"/q"}},
    {"an unquoted program name keeps its quotes and ends at a blank",
     u"exe\"file\"path arg1", {u"exe\"file\"path", u"arg1"}},
    {"a quoted program name ends at its second quote even without a blank",
     u"\"exe\"arg\" one\" two", {u"exe", u"arg one", u"two"}},
    {"an unclosed quoted program name runs to the end", u"\"spaced exe", {u"spaced exe"}},
    {"a leading blank gives an empty program name", u" /q", {u"", u"/q"}},
    {"a pair of quotes is an empty argument", u"exe /e \"\"", {u"exe", u"/e", u""}},
    {"a lone quote at the end is an empty argument", u"exe a \"", {u"exe", u"a", u""}},
    {"an unclosed quoted argument is kept", u"exe \"a b", {u"exe", u"a b"}},
    {"quoted stretches join with the text around them",
     u"exe a\"b c\"d", {u"exe", u"ab cd"}},
    {"backslashes not before a quote are literal", u"exe a\\\\b c\\", {u"exe", u"a\\\\b", u"c\\"}},
    {"2n backslashes and a quote give n backslashes and open quoting",
     u"exe a\\\\\"b c\"", {u"exe", u"a\\b c"}},
    {"2n+1 backslashes and a quote give n backslashes and a literal quote",
     u"exe a\\\\\\\"b c", {u"exe", u"a\\\"b", u"c"}},
    {"one backslash escapes a quote", u"exe \\\"x", {u"exe", u"\"x"}},
    {"a quoted path ending in one backslash swallows its closing quote",
     u"exe /e \"C:\\temp\\\" /q", {u"exe", u"/e", u"C:\\temp\" /q"}},
    {"a quoted path ending in two backslashes keeps one",
     u"exe /e \"C:\\temp\\\\\" /q", {u"exe", u"/e", u"C:\\temp\\", u"/q"}},
    {"inside quotes \"\" gives one quote and ends the quoted stretch",
     u"exe \"two\"\" next", {u"exe", u"two\"", u"next"}},
    {"inside quotes \"\" gives one quote and the text goes on unquoted",
     u"exe \"two\"\"quotes next", {u"exe", u"two\"quotes", u"next"}},
    {"inside quotes \"\"\" gives one quote and stays quoted",
     u"exe \"three\"\"\" quotes\" next", {u"exe", u"three\" quotes", u"next"}},
    {"outside quotes \"\" opens and closes: nothing", u"exe two\"\"quotes next",
     {u"exe", u"twoquotes", u"next"}},
    {"outside quotes \"\"\" gives one quote", u"exe three\"\"\"quotes next",
     {u"exe", u"three\"quotes", u"next"}},
    {"outside quotes \"\"\"\" gives one quote and opens quoting",
     u"exe four\"\"\"\" quotes\" next", {u"exe", u"four\" quotes", u"next"}},
    {"escaped quotes next to quote runs",
     u"exe \"the crazy \\\\\"\"\"\\\\\" quotes", {u"exe", u"the crazy \\\"\\", u"quotes"}},
    {"a closing quote right after the quoted program name opens an argument",
     u"\"two\"\" arg1 ", {u"two", u" arg1 "}},
};

INSTANTIATE_TEST_SUITE_P(Rules, SplitCommandLineTest, ::testing::ValuesIn(kSplitCases));

}  // namespace
}  // namespace hotfix
