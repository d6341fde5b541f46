#include <gtest/gtest.h>

#include "patch_report.h"

namespace inspectpatch {
namespace {

using makepatch::Column;
using makepatch::Database;
using makepatch::Value;

constexpr char kProduct[] = "{7C4A19E2-6007-0409-9B3D-4E81A6F25C07}";
constexpr char kUpgrade[] = "{11111111-2222-3333-4444-555555555555}";

Database Package(const std::string& version, const std::string& product = kProduct) {
  Database database;
  database.tables["Property"] = {
      "Property",
      {Column{"Property", makepatch::kColumnKey | makepatch::kColumnString | makepatch::kColumnValid | 72},
       Column{"Value", makepatch::kColumnString | makepatch::kColumnValid}},
      {{Value::Text("ProductCode"), Value::Text(product)},
       {Value::Text("UpgradeCode"), Value::Text(kUpgrade)},
       {Value::Text("ProductLanguage"), Value::Text("1033")},
       {Value::Text("ProductVersion"), Value::Text(version)}}};
  return database;
}

TEST(ValidationFailureTest, AsTheFlagsAsk) {
  struct Case {
    std::int32_t flags;
    const char* installed;
    const char* base;
    const char* why;
    const char* failure;  // "" when the transform validates
  };
  // 0x0922: product code, update version, equal, upgrade code (make-patch's and WiX's).
  const Case cases[] = {
      {0x0922, "5.2.0.0", "5.2.0.0", "the version it was made for", ""},
      {0x0922, "5.2.0.7", "5.2.0.0", "the fourth field is not compared", ""},
      {0x0922, "5.2.1.0", "5.2.0.0", "another update", "at 5.2.0.0 (3 fields compared), the package is at 5.2.1.0"},
      {0x0912, "5.2.1.0", "5.2.0.0", "minor version: two fields", ""},
      {0x090A, "5.3.0.0", "5.2.0.0", "major version: one field", ""},
      {0x0A22, "5.2.1.0", "5.2.0.0", "at least the base", ""},
      {0x0A22, "5.1.9.0", "5.2.0.0", "below the base", "at least 5.2.0.0"},
      {0x0C22, "5.2.0.0", "5.2.0.0", "greater than the base", "higher than 5.2.0.0"},
      {0x0802, "9.9.9.9", "5.2.0.0", "no version flag: any version", ""},
      {0x0001, "5.2.0.0", "5.2.0.0", "language 1031 asked", "language 1031"},
  };
  for (const Case& c : cases) {
    TransformReport transform;
    transform.validation = c.flags;
    transform.oldProductCode = kProduct;
    transform.oldVersion = c.base;
    transform.upgradeCode = kUpgrade;
    transform.oldTemplate = "x64;1031";
    const std::string failure = ValidationFailure(transform, Package(c.installed), "x64;1033");
    if (*c.failure == '\0') {
      EXPECT_EQ(failure, "") << c.why;
    } else {
      EXPECT_NE(failure.find(c.failure), std::string::npos) << c.why << ": " << failure;
    }
  }
}

TEST(ValidationFailureTest, CodesAndPlatform) {
  TransformReport transform;
  transform.validation = 0x0806;  // product code, platform, upgrade code
  transform.oldProductCode = kProduct;
  transform.upgradeCode = kUpgrade;
  transform.oldTemplate = "Intel;1033";
  EXPECT_NE(ValidationFailure(transform, Package("1.0", "{00000000-0000-0000-0000-000000000000}"), "Intel;1033")
                .find("it is for product " + std::string(kProduct)),
            std::string::npos);
  EXPECT_NE(ValidationFailure(transform, Package("1.0"), "x64;1033").find("platform Intel"), std::string::npos);
  transform.upgradeCode = "{99999999-2222-3333-4444-555555555555}";
  EXPECT_NE(ValidationFailure(transform, Package("1.0"), "Intel;1033").find("upgrade code"), std::string::npos);
}

}  // namespace
}  // namespace inspectpatch
