#include "msi/patch_rules.h"

#include <gtest/gtest.h>

#include <functional>

#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

constexpr std::uint16_t kKeyShort = kColumnKey | kColumnNotBinary | kColumnValid | 2;
constexpr std::uint16_t kRef = kKeyText & ~kColumnKey;
constexpr std::uint16_t kNullableRef = kRef | kColumnNullable;

Value T(const char* text) { return Value::Text(text); }
Value I(std::int32_t value) { return Value::Integer(value); }

// A product of two features, Main and its child Extras: Core (key file
// core.exe) and Data (data.arx, notes.txt, a registry value) in Main,
// Plugin in Extras, Shared in both.
Database Product() {
  Database db;
  db.tables["Feature"] = {"Feature",
                          {{"Feature", kKeyText}, {"Feature_Parent", kNullableRef}, {"Title", kText},
                           {"Attributes", kShort}},
                          {{T("Main"), {}, T("Quorvel"), I(0)}, {T("Extras"), T("Main"), T("Extras"), I(0)}}};
  db.tables["Component"] = {"Component",
                            {{"Component", kKeyText}, {"ComponentId", kText}, {"Directory_", kRef},
                             {"Attributes", kShort}, {"KeyPath", kNullableRef}},
                            {{T("Core"), T("{00000000-0000-0000-0000-000000000001}"), T("INSTALLDIR"), I(256), T("core.exe")},
                             {T("Data"), T("{8E6F1A2B-0000-0000-0000-000000000002}"), T("INSTALLDIR"), I(256), T("data.arx")},
                             {T("Plugin"), T("{00000000-0000-0000-0000-000000000003}"), T("INSTALLDIR"), I(256), T("plugin.dll")},
                             {T("Shared"), T("{00000000-0000-0000-0000-000000000004}"), T("INSTALLDIR"), I(256), T("shared.dll")}}};
  db.tables["FeatureComponents"] = {"FeatureComponents",
                                    {{"Feature_", kKeyText}, {"Component_", kKeyText}},
                                    {{T("Main"), T("Core")}, {T("Main"), T("Data")}, {T("Extras"), T("Plugin")},
                                     {T("Main"), T("Shared")}, {T("Extras"), T("Shared")}}};
  db.tables["File"] = {"File",
                       {{"File", kKeyText}, {"Component_", kRef}, {"FileName", kText}, {"Sequence", kLong}},
                       {{T("core.exe"), T("Core"), T("core.exe"), I(1)},
                        {T("data.arx"), T("Data"), T("data.arx"), I(2)},
                        {T("notes.txt"), T("Data"), T("NOTES~1.TXT|release notes.txt"), I(3)},
                        {T("plugin.dll"), T("Plugin"), T("plugin.dll"), I(4)},
                        {T("shared.dll"), T("Shared"), T("shared.dll"), I(5)}}};
  db.tables["Registry"] = {"Registry",
                           {{"Registry", kKeyText}, {"Root", kShort}, {"Key", kText}, {"Name", kText},
                            {"Value", kText}, {"Component_", kRef}},
                           {{T("channel"), I(2), T("Software\\Korvanta"), T("Channel"), T("stable"), T("Data")}}};
  return db;
}

Table& Tab(Database& db, const char* name) { return db.tables.at(name); }

Row* RowOf(Database& db, const char* table, std::vector<Value> key) {
  Table& t = Tab(db, table);
  for (Row& row : t.rows) {
    if (t.KeyOf(row) == key) return &row;
  }
  return nullptr;
}

void Set(Database& db, const char* table, const char* key, const char* column, Value value) {
  (*RowOf(db, table, {T(key)}))[*Tab(db, table).ColumnIndex(column)] = std::move(value);
}

void Erase(Database& db, const char* table, std::vector<Value> key) {
  Table& t = Tab(db, table);
  std::erase_if(t.rows, [&](const Row& row) { return t.KeyOf(row) == key; });
}

void Add(Database& db, const char* table, Row row) { Tab(db, table).rows.push_back(std::move(row)); }

void AddRemoveFile(Database& db, Row row) {
  db.tables["RemoveFile"] = {"RemoveFile",
                             {{"FileKey", kKeyText}, {"Component_", kRef}, {"FileName", kText},
                              {"DirProperty", kRef}, {"InstallMode", kKeyShort & ~kColumnKey}},
                             {std::move(row)}};
}

// Renames a feature everywhere it is named.
void RenameFeature(Database& db, const char* from, const char* to) {
  Set(db, "Feature", from, "Feature", T(to));
  for (Row& row : Tab(db, "Feature").rows) {
    if (row[1].KeyText() == from) row[1] = T(to);
  }
  for (Row& row : Tab(db, "FeatureComponents").rows) {
    if (row[0].KeyText() == from) row[0] = T(to);
  }
}

TEST(CheckPatchingRulesTest, OneRowPerRule) {
  using Kind = RuleFinding::Kind;
  struct Case {
    const char* change;
    std::function<void(Database&)> apply;
    // Nothing: the change keeps the rules. Otherwise the one finding.
    std::optional<Kind> kind;
    const char* message = "";
  };
  const Case cases[] = {
      {"no change", [](Database&) {}, std::nullopt},
      {"a new file in an existing component",
       [](Database& db) { Add(db, "File", {T("readme.txt"), T("Data"), T("readme.txt"), I(6)}); }, std::nullopt},
      {"a new component in an existing feature",
       [](Database& db) {
         Add(db, "Component", {T("Help"), T("{00000000-0000-0000-0000-000000000005}"), T("INSTALLDIR"), I(256), T("help.chm")});
         Add(db, "FeatureComponents", {T("Main"), T("Help")});
         Add(db, "File", {T("help.chm"), T("Help"), T("help.chm"), I(6)});
       },
       std::nullopt},
      {"a new child feature that follows its installed parent",
       [](Database& db) { Add(db, "Feature", {T("Tools"), T("Main"), T("Tools"), I(2 | 16)}); }, std::nullopt},
      {"a feature removed with its components (Extras holds Plugin alone; Shared stays in Main)",
       [](Database& db) {
         Erase(db, "Feature", {T("Extras")});
         Erase(db, "FeatureComponents", {T("Extras"), T("Plugin")});
         Erase(db, "FeatureComponents", {T("Extras"), T("Shared")});
         Erase(db, "Component", {T("Plugin")});
         Erase(db, "File", {T("plugin.dll")});
       },
       std::nullopt},
      {"a file removed with a RemoveFile row (wildcard, long name)",
       [](Database& db) {
         Erase(db, "File", {T("notes.txt")});
         AddRemoveFile(db, {T("rmnotes"), T("Data"), T("release*.TXT"), T("INSTALLDIR"), I(1)});
       },
       std::nullopt},
      {"a file removed without a RemoveFile row",
       [](Database& db) { Erase(db, "File", {T("notes.txt")}); }, Kind::kRefusal,
       "File row notes.txt (release notes.txt) is removed from component Data, which stays"},
      {"a file removed with a RemoveFile row that acts only on removal",
       [](Database& db) {
         Erase(db, "File", {T("notes.txt")});
         AddRemoveFile(db, {T("rmnotes"), T("Data"), T("NOTES~1.TXT"), T("INSTALLDIR"), I(2)});
       },
       Kind::kRefusal, "add a RemoveFile row for it (Component_ Data, FileName release notes.txt, DirProperty INSTALLDIR"},
      {"a component removed from a feature that stays (its file and its value)",
       [](Database& db) {
         Erase(db, "FeatureComponents", {T("Main"), T("Data")});
         Erase(db, "Component", {T("Data")});
         Erase(db, "File", {T("data.arx")});
         Erase(db, "File", {T("notes.txt")});
         Erase(db, "Registry", {T("channel")});
       },
       Kind::kRefusal, "FeatureComponents row Main, Data: component Data is removed from feature Main, which stays"},
      {"a component moved to another feature",
       [](Database& db) {
         Erase(db, "FeatureComponents", {T("Main"), T("Data")});
         Add(db, "FeatureComponents", {T("Extras"), T("Data")});
       },
       Kind::kRefusal, "component Data moved from feature Main to Extras: a patch must not move a component"},
      {"a ComponentId changed, same files",
       [](Database& db) { Set(db, "Component", "Data", "ComponentId", T("{00000000-0000-0000-0000-0000000000AA}")); },
       Kind::kRefusal,
       "Component row Data: its ComponentId changed from {8E6F1A2B-0000-0000-0000-000000000002} to "
       "{00000000-0000-0000-0000-0000000000AA}"},
      {"a ComponentId written in lower case is the same code",
       [](Database& db) { Set(db, "Component", "Data", "ComponentId", T("{8e6f1a2b-0000-0000-0000-000000000002}")); },
       std::nullopt},
      {"a key path changed to another file",
       [](Database& db) { Set(db, "Component", "Data", "KeyPath", T("notes.txt")); }, Kind::kRefusal,
       "Component row Data: its key path changed from File row data.arx to File row notes.txt"},
      {"a key path changed to a registry value of the same key",
       [](Database& db) { Set(db, "Component", "Data", "Attributes", I(256 | 4)); }, Kind::kRefusal,
       "Component row Data: its key path changed from File row data.arx to Registry row data.arx"},
      {"a key file renamed",
       [](Database& db) { Set(db, "File", "data.arx", "FileName", T("data2.arx")); }, Kind::kRefusal,
       "File row data.arx: the key file of component Data is renamed from data.arx to data2.arx"},
      {"an existing feature moved under another feature",
       [](Database& db) {
         Add(db, "Feature", {T("Tools"), T("Main"), T("Tools"), I(2)});
         Set(db, "Feature", "Extras", "Feature_Parent", T("Tools"));
       },
       Kind::kRefusal, "Feature row Extras: its parent changed from Main to Tools"},
      {"an existing child feature made top-level",
       [](Database& db) { Set(db, "Feature", "Extras", "Feature_Parent", {}); }, Kind::kRefusal,
       "its parent changed from Main to the top level"},
      {"a parent feature removed while its child stays",
       [](Database& db) {
         Erase(db, "Feature", {T("Main")});
         Set(db, "Feature", "Extras", "Feature_Parent", {});
         std::erase_if(Tab(db, "FeatureComponents").rows, [](const Row& row) { return row[0].KeyText() == "Main"; });
       },
       Kind::kRefusal, "Feature row Main is removed while its child feature Extras stays"},
      {"a File key changed",
       [](Database& db) { Set(db, "File", "notes.txt", "File", T("notes2.txt")); }, Kind::kRefusal,
       "File row notes.txt has the key notes2.txt in the new package"},
      {"a Component key changed",
       [](Database& db) {
         Set(db, "Component", "Plugin", "Component", T("Plugin2"));
         Set(db, "File", "plugin.dll", "Component_", T("Plugin2"));
         for (Row& row : Tab(db, "FeatureComponents").rows) {
           if (row[1].KeyText() == "Plugin") row[1] = T("Plugin2");
         }
       },
       Kind::kRefusal, "Component row Plugin has the key Plugin2 in the new package"},
      {"a Feature key changed", [](Database& db) { RenameFeature(db, "Extras", "Extras2"); }, Kind::kRefusal,
       "Feature row Extras has the key Extras2 in the new package"},
      {"a new top-level feature",
       [](Database& db) { Add(db, "Feature", {T("Tools"), {}, T("Tools"), I(2)}); }, Kind::kWarning,
       "Feature row Tools is a new top-level feature: a patch does not install it"},
      {"a new child feature that does not follow its parent",
       [](Database& db) {
         Add(db, "Feature", {T("Tools"), T("Main"), T("Tools"), I(0)});
         Add(db, "Feature", {T("Tools2"), T("Tools"), T("Tools 2"), I(2)});
       },
       Kind::kWarning, "Feature row Tools is new under Main without the attribute msidbFeatureAttributesFollowParent"},
      {"a file added to a component two features share",
       [](Database& db) { Add(db, "File", {T("shared2.dll"), T("Shared"), T("shared2.dll"), I(6)}); },
       Kind::kWarning, "Component row Shared is shared by features Extras, Main and the new package changes what it "
                       "holds (File shared2.dll added)"},
      {"a registry value removed from a component that stays",
       [](Database& db) { Erase(db, "Registry", {T("channel")}); }, Kind::kWarning,
       "Registry row channel is removed from component Data, which stays"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    Database newer = Product();
    c.apply(newer);
    const std::vector<RuleFinding> findings = CheckPatchingRules(Product(), newer);
    if (!c.kind) {
      for (const RuleFinding& finding : findings) ADD_FAILURE() << "unexpected: " << finding.message;
      continue;
    }
    ASSERT_EQ(findings.size(), 1u) << (findings.empty() ? "no finding" : findings[1].message);
    EXPECT_EQ(findings[0].kind, *c.kind);
    EXPECT_NE(findings[0].message.find(c.message), std::string::npos) << findings[0].message;
  }
}

TEST(CheckPatchingRulesTest, ARefusalSaysWhatToDoInstead) {
  Database newer = Product();
  Set(newer, "Component", "Core", "ComponentId", T("{00000000-0000-0000-0000-0000000000BB}"));
  const std::vector<RuleFinding> findings = CheckPatchingRules(Product(), newer);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].message.find("ship a major upgrade instead: a new product code and a full package"),
            std::string::npos);
}

}  // namespace
}  // namespace makepatch
