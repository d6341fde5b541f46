#include "messages/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fakes/fake_installer.h"

namespace hotfix {
namespace {

using testing::Narrow;

struct FormatCase {
  const char* reason;
  std::u16string pattern;
  std::vector<FormatArgument> arguments;
  std::size_t capacity;
  std::u16string expected;
  bool truncated;
};

// Names the case by its reason in test output.
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.reason; }

class FormatTemplateTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTemplateTest, FormatsLikeWsprintf) {
  const FormatCase& c = GetParam();
  const FormattedText result = FormatTemplate(c.pattern, c.arguments, c.capacity);
  EXPECT_EQ(result.text, c.expected) << c.reason << "\n  got:  [" << Narrow(result.text)
                                     << "]\n  want: [" << Narrow(c.expected) << "]";
  EXPECT_EQ(result.truncated, c.truncated) << c.reason;
}

constexpr std::size_t kRoomy = 1024;
constexpr std::int32_t kMinInt = INT32_MIN;

const FormatCase kFormatCases[] = {
    {"plain text is copied", u"Installation Error", {}, kRoomy, u"Installation Error", false},
    {"%d prints decimal without leading zeros", u"Error Code: %d", {std::int32_t{1603}}, kRoomy,
     u"Error Code: 1603", false},
    {"%d of a code of 2^31 or more prints negative",
     u"%d", {static_cast<std::int32_t>(0x80000000u)}, kRoomy, u"-2147483648", false},
    {"%d of 0xFFFFFFFF is -1", u"%d", {static_cast<std::int32_t>(0xFFFFFFFFu)}, kRoomy, u"-1",
     false},
    {"%i is %d", u"%i", {std::int32_t{-7}}, kRoomy, u"-7", false},
    {"%u reads the bits unsigned", u"%u", {std::int32_t{-1}}, kRoomy, u"4294967295", false},
    {"%x and %X in hexadecimal", u"%x %X %#x", {std::int32_t{0xBEEF}, std::int32_t{0xBEEF},
     std::int32_t{255}}, kRoomy, u"beef BEEF 0xff", false},
    {"width, zero padding and left alignment", u"[%5d][%-5d][%05d][%05d]",
     {std::int32_t{42}, std::int32_t{42}, std::int32_t{42}, std::int32_t{-42}}, kRoomy,
     u"[   42][42   ][00042][-0042]", false},
    {"precision on a number gives at least that many digits", u"%.4d", {std::int32_t{7}}, kRoomy,
     u"0007", false},
    {"%hd reads 16 bits", u"%hd %hu", {std::int32_t{0x18000}, std::int32_t{-1}}, kRoomy,
     u"-32768 65535", false},
    {"%ld is %d", u"%ld", {kMinInt}, kRoomy, u"-2147483648", false},
    {"%s takes a text", u"Your version of %s is up-to-date", {std::u16string(u"Quorvel 2024")},
     kRoomy, u"Your version of Quorvel 2024 is up-to-date", false},
    {"an empty text leaves the blanks on either side", u"of %s is", {std::u16string()}, kRoomy,
     u"of  is", false},
    {"%ls, %ws, %S and %hs all print the wide text", u"%ls|%ws|%S|%hs",
     {std::u16string(u"a"), std::u16string(u"b"), std::u16string(u"c"), std::u16string(u"d")},
     kRoomy, u"a|b|c|d", false},
    {"width and precision on a text", u"[%6s][%-6s][%.2s]",
     {std::u16string(u"abc"), std::u16string(u"abc"), std::u16string(u"abc")}, kRoomy,
     u"[   abc][abc   ][ab]", false},
    {"%c prints one unit", u"%c%c", {std::int32_t{0x41}, std::int32_t{0x00FC}}, kRoomy,
     u"A\u00FC", false},
    {"%% is one percent sign and takes no argument", u"100%% %d", {std::int32_t{5}}, kRoomy,
     u"100% 5", false},
    {"non-ASCII text passes unchanged", u"Fehlercode: %d \u00E4\u00F6\u00FC",
     {std::int32_t{5}}, kRoomy, u"Fehlercode: 5 \u00E4\u00F6\u00FC", false},
    {"a placeholder without an argument is copied as written", u"Zainstalowano %s.", {}, kRoomy,
     u"Zainstalowano %s.", false},
    {"more placeholders than arguments: the rest stay as written", u"%s\n%s",
     {std::u16string(u"quor.exe")}, kRoomy, u"quor.exe\n%s", false},
    {"a text placeholder given a number is copied, the number not read as text",
     u"Code %s", {std::int32_t{1603}}, kRoomy, u"Code %s", false},
    {"a number placeholder given a text is copied", u"Code %-4d!",
     {std::u16string(u"x")}, kRoomy, u"Code %-4d!", false},
    {"placeholders take the arguments in turn, one each", u"%s %d",
     {std::int32_t{1}, std::int32_t{2}}, kRoomy, u"%s 2", false},
    {"a 64-bit placeholder is never performed", u"%I64d|%d", {std::int32_t{3}}, kRoomy,
     u"%I64d|3", false},
    {"an unknown letter is copied and takes no argument", u"%q %d", {std::int32_t{3}}, kRoomy,
     u"%q 3", false},
    {"a percent sign at the end stays", u"50%", {}, kRoomy, u"50%", false},
    {"an unfinished placeholder at the end stays", u"x %-08", {std::int32_t{1}}, kRoomy,
     u"x %-08", false},
    {"the result is cut to capacity - 1 units", u"abcdef", {}, 4, u"abc", true},
    {"a result that exactly fits is not cut", u"abc", {}, 4, u"abc", false},
    {"an argument is cut at the limit too", u"[%s]", {std::u16string(u"0123456789")}, 6,
     u"[0123", true},
    {"a huge width cannot grow the output past the buffer", u"%999999999d",
     {std::int32_t{1}}, 8, u"       ", true},
    {"capacity 1 holds only the terminator", u"x", {}, 1, u"", true},
    {"capacity 0 holds nothing", u"", {}, 0, u"", false},
};

INSTANTIATE_TEST_SUITE_P(Placeholders, FormatTemplateTest, ::testing::ValuesIn(kFormatCases));

}  // namespace
}  // namespace hotfix
