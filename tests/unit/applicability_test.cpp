#include "install/applicability.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/fakes/fake_installer.h"

namespace hotfix {

std::ostream& operator<<(std::ostream& out, const FourPartVersion& v) {
  return out << v.major << '.' << v.minor << '.' << v.build << '.' << v.revision;
}

namespace {

using testing::Narrow;

TEST(DecimalValueTest, FollowsTheStandardConversion) {
  struct Case {
    std::u16string text;
    std::int32_t expected;
    const char* why;
  };
  const Case cases[] = {
      {u"1033", 1033, "plain digits"},
      {u"", 0, "empty"},
      {u"abc", 0, "no leading digits"},
      {u"12abc", 12, "stops at the first non-digit"},
      {u"  \t\n\v\f\r42", 42, "leading white space is skipped"},
      {u"\u00a042", 0, "a no-break space is not C-locale white space"},
      {u"+7", 7, "plus sign"},
      {u"-1", -1, "minus sign"},
      {u"- 1", 0, "no blank between sign and digits"},
      {u"+-1", 0, "only one sign"},
      {u"2147483647", 2147483647, "largest value"},
      {u"2147483648", 2147483647, "saturates at the top"},
      {u"99999999999999999999", 2147483647, "far beyond saturates too"},
      {u"-2147483648", -2147483647 - 1, "smallest value"},
      {u"-2147483649", -2147483647 - 1, "saturates at the bottom"},
      {u"0007", 7, "leading zeros"},
      {u"\uff11", 0, "only ASCII digits count"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecimalValue(c.text), c.expected) << c.why;
}

TEST(ParseFourPartVersionTest, ReadsEveryPartUpToTheFourth) {
  struct Case {
    std::u16string text;
    FourPartVersion expected;
    const char* why;
  };
  const Case cases[] = {
      {u"5.2.1.0", {5, 2, 1, 0}, "four parts"},
      {u"5,2,1,0", {5, 2, 1, 0}, "commas count as full stops"},
      {u"5.2,1.0", {5, 2, 1, 0}, "mixed separators"},
      {u"5.2.1", {5, 2, 1, 0}, "three parts, as installer versions often have"},
      {u"5,2,1", {5, 2, 1, 0}, "three parts with commas"},
      {u"5.2", {5, 2, 0, 0}, "two parts"},
      {u"5", {5, 0, 0, 0}, "no full stop at all"},
      {u"5.2.", {5, 2, 0, 0}, "an empty third part"},
      {u"", {0, 0, 0, 0}, "empty text"},
      {u"5.2.1.0.7", {5, 2, 1, 0}, "the fourth part stops at its full stop"},
      {u"5.2.1.0 beta", {5, 2, 1, 0}, "trailing words are ignored"},
      {u" 5.x.1.0", {5, 0, 1, 0}, "leading blank skipped, letters give 0"},
      {u"70000.-1.65536.65537", {4464, 65535, 0, 1}, "low 16 bits are kept"},
      {u"99999999999.0.0.0", {65535, 0, 0, 0}, "saturated value, low 16 bits"},
      {u"...", {0, 0, 0, 0}, "empty parts are 0"},
      {u"1.2.3.4", {1, 2, 3, 4}, "fields keep their order"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParseFourPartVersion(c.text), c.expected) << c.why << " [" << Narrow(c.text) << "]";
}

TEST(DecideApplicabilityTest, WalksTheListFromTheFront) {
  using V = ApplicabilityVerdict;
  struct Case {
    std::u16string installed;
    std::u16string patched;
    std::u16string list;
    ApplicabilityVerdict expected;
    const char* why;
  };
  const Case cases[] = {
      {u"5.2.1.0", u"5.2.1.0", u"5.2.0.0,", V::InstalledIsPatched, "already patched"},
      {u"5.2.1.0", u"5.2.1.0", u"", V::InstalledIsPatched, "the list is not looked at"},
      {u"5,2,1,0", u"5.2.1.0", u"5.2.1.0,", V::InstalledIsPatched, "equal after parsing"},
      {u"5.2.0.0", u"5.2.1.0", u"5.2.0.0,", V::InstalledListed, "the shipped case"},
      {u"5.1.0.0", u"5.2.1.0", u"5.2.0.0,", V::NotListed, "not in the list"},
      {u"5.2.7", u"5.2.1.0", u"5.2.0.0,", V::NotListed, "5.2.7 is not a listed 5.2.0.0"},
      {u"5.2.1", u"5.2.1.0", u"5.2.0.0,", V::InstalledIsPatched, "5.2.1 is the patched 5.2.1.0"},
      {u"5.2.0", u"5.2.1", u"5.2,", V::InstalledListed, "three-part texts everywhere"},
      {u"5.2.0.0", u"5.2.1.0", u"5.2.0.0", V::NotListed, "no comma: nothing listed"},
      {u"5.2.0.0", u"5.2.1.0", u"5.2.1.0,5.2.0.0,", V::PatchedListedFirst, "patched first"},
      {u"5.2.0.0", u"5.2.1.0", u"5.2.0.0,5.2.1.0,", V::InstalledListed, "installed first"},
      {u"", u"5.2.1.0", u",5.2.0.0,", V::InstalledListed, "empty element is 0.0.0.0"},
      {u"5.2.0.0", u"5.2.1.0", u",,5.2.0.0,", V::InstalledListed, "empty elements are skipped"},
      {u"5.2.0.0", u"5.2.1.0", u"", V::NotListed, "empty list"},
      {u"5.2.0.0", u"5.2.1.0", u"5.1.0.0,5.2.0.0,", V::InstalledListed, "second element"},
      {u"5.2.0.0", u"5.2.1.0", u"5.1.0.0,5.2.0.0", V::NotListed, "after the last comma"},
      {u"5.3.0.0", u"5.2.1.0", u"5.1.0.0,5.2.1.0,", V::PatchedListedFirst, "patched later on"},
      {u"5.2.0.0", u"5.2.1", u"5.2.0.0,", V::InstalledListed, "a three-part patched version"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecideApplicability(c.installed, c.patched, c.list), c.expected)
        << c.why << " [" << Narrow(c.installed) << " | " << Narrow(c.list) << "]";
  }
}

}  // namespace
}  // namespace hotfix
