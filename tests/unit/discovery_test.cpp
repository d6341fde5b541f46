#include "install/discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/process_state.h"
#include "install/product_list.h"
#include "tests/fakes/fake_installer.h"

namespace hotfix {
namespace {

using testing::FakeInstaller;
using testing::Narrow;

constexpr char16_t kCodeA[] = u"{11111111-1111-0409-1111-111111111111}";
constexpr char16_t kCodeB[] = u"{22222222-2222-0407-2222-222222222222}";
constexpr char16_t kCodeC[] = u"{33333333-3333-0410-3333-333333333333}";

FakeInstaller::Product MakeProduct(const std::u16string& tag, int state = kInstallStateDefault) {
  FakeInstaller::Product product;
  product.state = state;
  product.properties = {{u"VersionString", u"5.2.0." + tag},
                        {u"LocalPackage", u"C:\\Windows\\Installer\\" + tag + u".msi"},
                        {u"ProductName", u"Quorvel " + tag},
                        {u"Language", u"10" + tag}};
  return product;
}

// A service that writes more than it reports, without a terminator.
class OverwritingInstaller : public FakeInstaller {
 public:
  std::u16string written;
  std::uint32_t reportedLength = 0;
  std::uint32_t result = 0;
  std::uint32_t MsiGetProductInfoW(const char16_t*, const char16_t*, char16_t* buffer,
                                   std::uint32_t* length) override {
    std::copy(written.begin(), written.end(), buffer);
    *length = reportedLength;
    return result;
  }
};

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }
  void TearDown() override { ResetProcessState(); }
};

TEST_F(DiscoveryTest, OnlyAdvertisedAndDefaultCountAsInstalled) {
  struct Case {
    int state;
    bool installed;
    const char* why;
  };
  const Case cases[] = {
      {-1, false, "unknown product"},  {0, false, "broken"},  {1, true, "advertised"},
      {2, false, "absent"},            {3, false, "local"},   {4, false, "source"},
      {5, true, "default (installed)"}, {6, false, "any other value"},
  };
  for (const Case& c : cases) {
    FakeInstaller installer;
    installer.products[kCodeA] = MakeProduct(u"1", c.state);
    EXPECT_EQ(IsProductInstalled(installer, kCodeA), c.installed) << c.why;
  }
  FakeInstaller installer;
  EXPECT_FALSE(IsProductInstalled(installer, kCodeA)) << "a code the service does not know";
}

TEST_F(DiscoveryTest, PropertyTextIsBoundedByBufferAndByWhatWasWritten) {
  struct Case {
    std::u16string value;
    std::u16string expected;
    const char* why;
  };
  const std::u16string exact(1023, u'x');
  const std::u16string longer(1500, u'y');
  const Case cases[] = {
      {u"Quorvel", u"Quorvel", "plain text"},
      {u"", u"", "empty property"},
      {exact, exact, "1023 units fit whole"},
      {std::u16string(1024, u'z'), std::u16string(1023, u'z'), "1024 units arrive cut"},
      {longer, longer.substr(0, 1023), "a long property arrives cut to 1023"},
  };
  for (const Case& c : cases) {
    FakeInstaller installer;
    installer.products[kCodeA].properties[u"ProductName"] = c.value;
    EXPECT_EQ(QueryProductProperty(installer, kCodeA, u"ProductName"), c.expected) << c.why;
    ASSERT_EQ(installer.calls.size(), 1u);
    EXPECT_EQ(installer.calls[0], "MsiGetProductInfoW " + Narrow(kCodeA) + " ProductName 1024")
        << c.why;
  }

  FakeInstaller installer;
  installer.products[kCodeA] = MakeProduct(u"1");
  EXPECT_EQ(QueryProductProperty(installer, kCodeA, u"NoSuchProperty"), u"")
      << "a failed read gives the zeroed buffer";
  EXPECT_EQ(QueryProductProperty(installer, kCodeB, u"ProductName"), u"")
      << "an unknown product gives an empty text";
}

TEST_F(DiscoveryTest, PropertyTextNeverGoesBeyondTheReportedLength) {
  struct Case {
    std::u16string written;
    std::uint32_t reportedLength;
    std::uint32_t result;
    std::u16string expected;
    const char* why;
  };
  const Case cases[] = {
      {u"ABCDEF", 3, 0, u"ABC", "no terminator after the reported length"},
      {u"AB", 5, 0, u"AB", "zero before the reported length ends the text"},
      {std::u16string(1024, u'q'), 5000, kErrorMoreData, std::u16string(1023, u'q'),
       "a length beyond the buffer is bounded by the buffer"},
      {u"", 1024, 1608, u"", "nothing written, length left alone"},
  };
  for (const Case& c : cases) {
    OverwritingInstaller installer;
    installer.written = c.written;
    installer.reportedLength = c.reportedLength;
    installer.result = c.result;
    EXPECT_EQ(QueryProductProperty(installer, kCodeA, u"Language"), c.expected) << c.why;
  }
}

TEST_F(DiscoveryTest, WalksTheTargetTextInOrder) {
  struct Case {
    std::u16string targets;
    std::vector<std::u16string> installed;  // codes the service knows as installed
    std::vector<std::u16string> expected;   // codes of the entries, in order
    const char* why;
  };
  const std::u16string a = kCodeA, b = kCodeB, c = kCodeC;
  const Case cases[] = {
      {a + u";" + b, {a, b}, {a, b}, "two codes, both installed, in the text's order"},
      {b + u";" + a, {a, b}, {b, a}, "order follows the text, not the service"},
      {a + u";" + b + u";", {a, b}, {a, b}, "a trailing separator changes nothing"},
      {u"", {a}, {}, "empty text"},
      {u";" + a, {a}, {}, "a leading separator ends the walk at once"},
      {a + u";;" + b, {a, b}, {a}, "a doubled separator ends the walk"},
      {a + u";" + a, {a}, {a, a}, "duplicates are kept"},
      {a + u";" + c + u";" + b, {a, b}, {a, b}, "a code not installed is dropped"},
      {u"not a code;" + b, {b}, {b}, "text that is not a code is dropped"},
      {u" " + a, {a}, {}, "elements are not trimmed"},
      {a + u";" + b, {}, {}, "nothing installed"},
  };
  for (const Case& tc : cases) {
    ResetProcessState();
    FakeInstaller installer;
    for (const auto& code : tc.installed) installer.products[code] = MakeProduct(code.substr(1, 1));
    installer.products[kCodeC] = MakeProduct(u"3", 2);  // known but absent
    DiscoverProducts(installer, tc.targets, u"5.2.1.0", u"5.2.0.0,");
    std::vector<std::u16string> codes;
    for (const ProductEntry& entry : ProductList) codes.push_back(entry.productCode);
    EXPECT_EQ(codes, tc.expected) << tc.why;
  }
}

TEST_F(DiscoveryTest, FillsEveryFieldReadingPropertiesInOrder) {
  FakeInstaller installer;
  installer.products[kCodeA] = MakeProduct(u"1");
  installer.products[kCodeB] = MakeProduct(u"2", kInstallStateAdvertised);
  DiscoverProducts(installer, std::u16string(kCodeA) + u";" + kCodeB, u"5.2.1.0", u"5.2.0.0,");

  ASSERT_EQ(ProductList.size(), 2u);
  ProductEntry first;
  first.productCode = kCodeA;
  first.patchedVersion = u"5.2.1.0";
  first.productName = u"Quorvel 1";
  first.language = u"101";
  first.applicableVersions = u"5.2.0.0,";
  first.installedVersion = u"5.2.0.1";
  first.localPackage = u"C:\\Windows\\Installer\\1.msi";
  EXPECT_EQ(ProductList[0], first);
  EXPECT_EQ(ProductList[1].productName, u"Quorvel 2");
  EXPECT_TRUE(ProductList[1].installCommandLine.empty());

  const std::string a = Narrow(kCodeA);
  const std::vector<std::string> expected = {
      "MsiQueryProductStateW " + a,
      "MsiGetProductInfoW " + a + " VersionString 1024",
      "MsiGetProductInfoW " + a + " LocalPackage 1024",
      "MsiGetProductInfoW " + a + " ProductName 1024",
      "MsiGetProductInfoW " + a + " Language 1024",
  };
  ASSERT_GE(installer.calls.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(installer.calls.begin(), installer.calls.begin() + 5),
            expected);
  EXPECT_EQ(installer.calls.size(), 10u);
}

TEST_F(DiscoveryTest, AppendsToWhatTheListHolds) {
  FakeInstaller installer;
  installer.products[kCodeA] = MakeProduct(u"1");
  ProductEntry earlier;
  earlier.productCode = u"earlier";
  ProductList.push_back(earlier);
  DiscoverProducts(installer, kCodeA, u"5.2.1.0", u"5.2.0.0,");
  ASSERT_EQ(ProductList.size(), 2u);
  EXPECT_EQ(ProductList[0].productCode, u"earlier");
  EXPECT_EQ(ProductList[1].productCode, kCodeA);
}

}  // namespace
}  // namespace hotfix
