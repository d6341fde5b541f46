#include "msi/component_filter.h"

#include <gtest/gtest.h>

#include <functional>

#include "msi/patch_error.h"
#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;
constexpr std::uint16_t kRefText = kKeyText & ~kColumnKey;

// Components A and B in INSTALLDIR, a file and a registry value each; the
// new package changes both files, both values and the product version.
Package Build(const std::string& version, const std::string& change) {
  Package package;
  package.path = version + ".msi";
  const auto t = [](const std::string& text) { return Value::Text(text); };
  auto& tables = package.database.tables;
  tables["Property"] = {"Property", {{"Property", kKeyText}, {"Value", kText}},
                        {{t("ProductVersion"), t(version)}, {t("Edition"), t("Pro" + change)}}};
  tables["Directory"] = {"Directory", {{"Directory", kKeyText}, {"Directory_Parent", kRefText}},
                         {{t("INSTALLDIR"), {}}}};
  tables["Component"] = {"Component", {{"Component", kKeyText}, {"Directory_", kRefText}},
                         {{t("A"), t("INSTALLDIR")}, {t("B"), t("INSTALLDIR")}}};
  tables["File"] = {"File", {{"File", kKeyText}, {"Component_", kRefText}, {"FileSize", kLong}, {"Sequence", kLong}},
                    {{t("a.dll"), t("A"), Value::Integer(1 + int(change.size())), Value::Integer(1)},
                     {t("b.dll"), t("B"), Value::Integer(2 + int(change.size())), Value::Integer(2)}}};
  tables["MsiFileHash"] = {"MsiFileHash", {{"File_", kKeyText}, {"HashPart1", kLong}},
                           {{t("a.dll"), Value::Integer(static_cast<int>(change.size()))}}};
  tables["Registry"] = {"Registry", {{"Registry", kKeyText}, {"Component_", kRefText}, {"Value", kText}},
                        {{t("RegA"), t("A"), t("a" + change)}, {t("RegB"), t("B"), t("b" + change)}}};
  for (const char* key : {"a.dll", "b.dll"}) {
    PackageFile file{1, {}, nullptr};
    file.digest[0] = static_cast<std::uint8_t>(change.size());
    package.files[key] = file;
  }
  return package;
}

using Edit = std::function<void(Database&)>;

TEST(ComponentFilter, CarriesOnlyTheChangesOfTheComponentsItNames) {
  const Edit none = [](Database&) {};
  // A new component C in a new directory NEWDIR.
  const Edit newComponent = [](Database& db) {
    db.tables["Directory"].rows.push_back({Value::Text("NEWDIR"), Value::Text("INSTALLDIR")});
    db.tables["Component"].rows.push_back({Value::Text("C"), Value::Text("NEWDIR")});
  };
  const Edit removeRegB = [](Database& db) { db.tables["Registry"].rows.pop_back(); };
  const struct {
    const char* what;
    ComponentFilter filter;
    Edit edit;
    std::vector<std::string> leftOut;  // empty with a refusal
    std::string refusal;
  } cases[] = {
      {"only A", {ComponentFilter::Mode::kOnly, {"A"}}, none,
       {"left out: File b.dll (changed, component B)", "left out: Property Edition (changed)",
        "left out: Registry RegB (changed, component B)", "left out: the bytes of file b.dll (changed, component B)"},
       ""},
      {"all but A", {ComponentFilter::Mode::kAllBut, {"A"}}, none,
       {"left out: File a.dll (changed, component A)", "left out: MsiFileHash a.dll (changed, component A)",
        "left out: Registry RegA (changed, component A)", "left out: the bytes of file a.dll (changed, component A)"},
       ""},
      {"a removal left out", {ComponentFilter::Mode::kAllBut, {"B"}}, removeRegB,
       {"left out: File b.dll (changed, component B)", "left out: Registry RegB (removed, component B)",
        "left out: the bytes of file b.dll (changed, component B)"},
       ""},
      {"a new component without its new directory", {ComponentFilter::Mode::kOnly, {"A", "C"}}, newComponent, {},
       "Component C of component C, which the patch carries, needs Directory NEWDIR, which the component filter "
       "leaves out and the old package lacks; make the patch without a filter"},
      {"a component of neither package", {ComponentFilter::Mode::kOnly, {"D"}}, none, {},
       "there is no component D in 1.0.msi or 1.1.msi"},
  };
  for (const auto& c : cases) {
    PackagePair pair{Build("1.0", ""), Build("1.1", "x"), {}};
    c.edit(pair.newer.database);
    const Database before = pair.newer.database;
    try {
      const std::vector<std::string> lines = ApplyComponentFilter(pair, c.filter);
      EXPECT_EQ(lines, c.leftOut) << c.what;
      EXPECT_TRUE(c.refusal.empty()) << c.what << ": not refused";
    } catch (const PatchError& error) {
      EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos) << c.what << ": " << error.what();
      EXPECT_FALSE(c.refusal.empty()) << c.what << ": " << error.what();
      continue;
    }
    // What is left out is as the old package has it; the rest as the new one.
    const Database& after = pair.newer.database;
    EXPECT_EQ(*after.Property("ProductVersion"), "1.1") << c.what;
    const bool keepsA = c.filter.components.contains("A") == (c.filter.mode == ComponentFilter::Mode::kOnly);
    const Table& registry = after.tables.at("Registry");
    EXPECT_EQ(TextAt(registry, *registry.FindRow({Value::Text("RegA")}), "Value"), keepsA ? "ax" : "a") << c.what;
    EXPECT_EQ(pair.newer.files.at("a.dll").SameBytes(pair.older.files.at("a.dll")), !keepsA) << c.what;
    EXPECT_EQ(registry.rows.size(), 2u) << c.what;
  }
}

}  // namespace
}  // namespace makepatch
