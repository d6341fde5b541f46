#include "install/cached_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/fake_installer.h"

namespace hotfix {
namespace {

using testing::FakeInstaller;
using testing::Narrow;

constexpr char16_t kPackage[] = u"C:\\Windows\\Installer\\1a2b3c.msi";
constexpr char16_t kOldCondition[] = u"NOT Installed";
constexpr char16_t kOldComponent[] = u"QUORE.core";

// A row by its key and the column the edits rewrite.
struct Row {
  std::u16string key;
  std::u16string value;
};

FakeInstaller::Table SequenceTable(const std::vector<Row>& rows) {
  FakeInstaller::Table table;
  table.columns = {u"Action", u"Condition", u"Sequence"};
  int sequence = 100;
  for (const Row& row : rows) {
    const std::string number = std::to_string(sequence += 10);
    table.rows.push_back({row.key, row.value, std::u16string(number.begin(), number.end())});
  }
  return table;
}

FakeInstaller::Table RegistryTable(const std::vector<Row>& rows) {
  FakeInstaller::Table table;
  table.columns = {u"Registry", u"Root", u"Key", u"Name", u"Value", u"Component_"};
  for (const Row& row : rows)
    table.rows.push_back({row.key, u"2", u"Software\\Korvanta", row.key, u"1", row.value});
  return table;
}

// The table as it should read after the edits: rows named in changed carry
// their list value, all others are as before.
FakeInstaller::Table Edited(FakeInstaller::Table table, std::size_t valueColumn,
                            const std::vector<std::u16string>& changed) {
  for (auto& row : table.rows) {
    if (std::find(changed.begin(), changed.end(), row[0]) == changed.end()) continue;
    for (const ColumnEdit& edit : SequenceConditionEdits)
      if (row[0] == edit.key) row[valueColumn] = edit.value;
    for (const ColumnEdit& edit : RegistryComponentEdits)
      if (row[0] == edit.key) row[valueColumn] = edit.value;
  }
  return table;
}

// What one pass did, read from the calls made between its view's opening and
// the next pass's.
struct PassCounts {
  int fetches = 0;
  int replaces = 0;  // MsiViewModify mode 4
  int updates = 0;   // MsiViewModify mode 2
  int commits = 0;
  int viewCloses = 0;
  bool operator==(const PassCounts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PassCounts& c) {
  return out << "{fetches " << c.fetches << ", replaces " << c.replaces << ", updates "
             << c.updates << ", commits " << c.commits << ", view closes " << c.viewCloses << "}";
}

PassCounts CountPass(const std::vector<std::string>& calls, const char16_t* query) {
  PassCounts counts;
  const std::string opening = "MsiDatabaseOpenViewW " + Narrow(query);
  auto at = std::find(calls.begin(), calls.end(), opening);
  if (at == calls.end()) return counts;
  for (++at; at != calls.end() && at->rfind("MsiDatabaseOpenViewW", 0) != 0; ++at) {
    if (*at == "MsiViewFetch") ++counts.fetches;
    if (at->rfind("MsiViewModify 4 ", 0) == 0) ++counts.replaces;
    if (at->rfind("MsiViewModify 2 ", 0) == 0) ++counts.updates;
    if (*at == "MsiDatabaseCommit") ++counts.commits;
    if (*at == "MsiCloseHandle view") ++counts.viewCloses;
  }
  return counts;
}

// Every sequence action of the list, scattered among others.
std::vector<Row> AllEightScattered() {
  return {{u"InstallInitialize", u""},
          {u"HarvestInstallSelection", kOldCondition},
          {u"CostInitialize", u""},
          {u"ResolveSourceDir", kOldCondition},
          {u"SetMergeManufacturerMDBCD", kOldCondition},
          {u"FileCost", u""},
          {u"MergeManufacturerMDBCD", kOldCondition},
          {u"SetMergeManufacturerMDBCDEX", kOldCondition},
          {u"MergeManufacturerMDBCDEX", u"REMOVE"},
          {u"InstallFiles", u""},
          {u"SetUncabManufacturerCD", kOldCondition},
          {u"UncabManufacturerCD", kOldCondition},
          {u"InstallFinalize", u""}};
}

std::vector<std::u16string> AllEightActions() {
  std::vector<std::u16string> keys;
  for (const ColumnEdit& edit : SequenceConditionEdits) keys.emplace_back(edit.key);
  return keys;
}

const std::vector<std::u16string> kBothRegistryRows = {u"registry461",
                                                       u"QUORMiniDump_SendAppArgs"};

TEST(CachedPackageTextsTest, ConditionsAreExact) {
  EXPECT_EQ(kSourceCondition.size(), 121u);
  EXPECT_EQ(kSharedSupportCondition.size(), 146u);
  EXPECT_EQ(kMaintenanceCondition.size(), 32u);
  EXPECT_EQ(std::u16string(kSharedSupportCondition),
            u"(" + std::u16string(kSourceCondition) + u") AND SHAREDSUPPORT<>\"1\"");
  EXPECT_NE(kSourceCondition.find(u"REMOVE <>\"ALL\""), std::u16string_view::npos);
  EXPECT_NE(kSourceCondition.find(u"QUOR_SECONDARY_INSTALL <>\"1\")"), std::u16string_view::npos);

  const std::vector<std::pair<std::u16string_view, std::u16string_view>> sequence = {
      {u"ResolveSourceDir", kSourceCondition},
      {u"SetMergeManufacturerMDBCD", kSharedSupportCondition},
      {u"MergeManufacturerMDBCD", kSharedSupportCondition},
      {u"SetMergeManufacturerMDBCDEX", kSharedSupportCondition},
      {u"MergeManufacturerMDBCDEX", kSharedSupportCondition},
      {u"SetUncabManufacturerCD", kSharedSupportCondition},
      {u"UncabManufacturerCD", kSharedSupportCondition},
      {u"HarvestInstallSelection", kMaintenanceCondition}};
  ASSERT_EQ(SequenceConditionEdits.size(), sequence.size());
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    EXPECT_EQ(SequenceConditionEdits[i].key, sequence[i].first) << i;
    EXPECT_EQ(SequenceConditionEdits[i].value, sequence[i].second) << i;
  }
  ASSERT_EQ(RegistryComponentEdits.size(), 2u);
  EXPECT_EQ(RegistryComponentEdits[0].key, u"registry461");
  EXPECT_EQ(RegistryComponentEdits[1].key, u"QUORMiniDump_SendAppArgs");
  for (const ColumnEdit& edit : RegistryComponentEdits)
    EXPECT_EQ(edit.value, u"QUORE.arx.9A0AD67F_1899_4E39_B406_AAD935BD48BE");
}

TEST(AdjustCachedPackageTest, EditsCommitsAndClosesOnEveryPath) {
  struct Case {
    const char* why;
    std::vector<Row> sequence;
    std::optional<std::vector<Row>> registry;  // nothing: the package has no Registry table
    std::function<void(FakeInstaller::Database&)> tweak;
    std::vector<std::u16string> sequenceChanged;  // rows whose committed value is new
    std::vector<std::u16string> registryChanged;
    PassCounts sequencePass;
    PassCounts registryPass;
  };
  const std::vector<Row> registryBothFirst = {{u"registry461", kOldComponent},
                                              {u"QUORMiniDump_SendAppArgs", kOldComponent},
                                              {u"registry462", kOldComponent},
                                              {u"registry463", kOldComponent}};
  const std::vector<Row> otherActions = {{u"InstallInitialize", u""}, {u"FileCost", u""}};
  const std::u16string longKey = u"ResolveSourceDir" + std::u16string(300, u'x');
  const std::u16string longestKey = u"registry461" + std::u16string(248, u'y');  // 259 units

  const Case cases[] = {
      {"all eight actions wherever they stand; registry rows first",
       AllEightScattered(), registryBothFirst, nullptr, AllEightActions(), kBothRegistryRows,
       {14, 8, 0, 1, 1}, {2, 2, 0, 1, 1}},
      {"Wine refuses mode 4 with 1627: the same rows are written with mode 2",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.modifyResults = {{kMsiModifyReplace, 1627}}; },
       AllEightActions(), kBothRegistryRows, {14, 8, 8, 1, 1}, {2, 2, 2, 1, 1}},
      {"another refusal of mode 4 is not retried, and the row still counts",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.modifyResults = {{kMsiModifyReplace, 87}}; },
       {}, {}, {14, 8, 0, 1, 1}, {2, 2, 0, 1, 1}},
      {"none of the eight actions, no listed registry row: both passes still commit",
       otherActions, std::vector<Row>{{u"registry1", kOldComponent}}, nullptr, {}, {},
       {3, 0, 0, 1, 1}, {2, 0, 0, 1, 1}},
      {"only exact, case-sensitive, whole names match",
       {{u"resolveSourceDir", u""}, {u"ResolveSourceDirs", u""}, {u"ResolveSourceDi", u""},
        {u" ResolveSourceDir", u""}, {u"UNCABMANUFACTURERCD", u""}},
       std::vector<Row>{{u"Registry461", kOldComponent}, {u"registry4610", kOldComponent},
                        {u"QUORMiniDump_SendAppArgs ", kOldComponent}},
       nullptr, {}, {}, {6, 0, 0, 1, 1}, {4, 0, 0, 1, 1}},
      {"a condition that already reads as the new one is written and counted",
       {{u"ResolveSourceDir", std::u16string(kSourceCondition)}},
       std::vector<Row>{{u"registry461", std::u16string(kSharedRegistryComponent)},
                        {u"QUORMiniDump_SendAppArgs", kOldComponent}},
       nullptr, {u"ResolveSourceDir"}, kBothRegistryRows, {2, 1, 0, 1, 1}, {2, 2, 0, 1, 1}},
      {"registry rows apart: the pass stops right after the second, later rows unread",
       otherActions,
       std::vector<Row>{{u"a", kOldComponent}, {u"QUORMiniDump_SendAppArgs", kOldComponent},
                        {u"b", kOldComponent}, {u"registry461", kOldComponent},
                        {u"c", kOldComponent}, {u"d", kOldComponent}},
       nullptr, {}, kBothRegistryRows, {3, 0, 0, 1, 1}, {4, 2, 0, 1, 1}},
      {"one registry row only: it moves and the whole table is read",
       otherActions,
       std::vector<Row>{{u"a", kOldComponent}, {u"b", kOldComponent},
                        {u"registry461", kOldComponent}},
       nullptr, {}, {u"registry461"}, {3, 0, 0, 1, 1}, {4, 1, 0, 1, 1}},
      {"no Registry table: only the sequence pass commits",
       AllEightScattered(), std::nullopt, nullptr, AllEightActions(), {},
       {14, 8, 0, 1, 1}, {0, 0, 0, 0, 0}},
      {"the sequence view is refused: no commit there, the registry pass runs",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.openViewResults[kSequenceQuery] = 1615; },
       {}, kBothRegistryRows, {0, 0, 0, 0, 0}, {2, 2, 0, 1, 1}},
      {"the sequence execute fails: commit and close, no fetch",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.executeResults[kSequenceQuery] = 1627; },
       {}, kBothRegistryRows, {0, 0, 0, 1, 1}, {2, 2, 0, 1, 1}},
      {"the first registry fetch fails: commit and close",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.failingFetch[kRegistryQuery] = 0; },
       AllEightActions(), {}, {14, 8, 0, 1, 1}, {1, 0, 0, 1, 1}},
      {"a later fetch fails: the rows read so far are edited and committed",
       AllEightScattered(), registryBothFirst,
       [](FakeInstaller::Database& db) { db.failingFetch[kSequenceQuery] = 4; },
       {u"HarvestInstallSelection", u"ResolveSourceDir"}, kBothRegistryRows,
       {5, 2, 0, 1, 1}, {2, 2, 0, 1, 1}},
      {"keys too long for the buffer, or filling it, match nothing",
       {{longKey, u""}, {u"ResolveSourceDir", u""}},
       std::vector<Row>{{longestKey, kOldComponent}, {u"registry461", kOldComponent}},
       nullptr, {u"ResolveSourceDir"}, {u"registry461"}, {3, 1, 0, 1, 1}, {3, 1, 0, 1, 1}},
      {"empty tables", {}, std::vector<Row>{}, nullptr, {}, {}, {1, 0, 0, 1, 1},
       {1, 0, 0, 1, 1}},
  };

  for (const Case& c : cases) {
    FakeInstaller installer;
    FakeInstaller::Database& db = installer.databases[kPackage];
    db.tables[u"InstallExecuteSequence"] = SequenceTable(c.sequence);
    if (c.registry) db.tables[u"Registry"] = RegistryTable(*c.registry);
    if (c.tweak) c.tweak(db);
    const auto before = db.tables;

    AdjustCachedPackage(installer, kPackage);

    const auto& after = installer.databases.at(kPackage).tables;
    EXPECT_EQ(after.at(u"InstallExecuteSequence"),
              Edited(before.at(u"InstallExecuteSequence"), 1, c.sequenceChanged))
        << c.why;
    if (c.registry) {
      EXPECT_EQ(after.at(u"Registry"), Edited(before.at(u"Registry"), 5, c.registryChanged))
          << c.why;
    } else {
      EXPECT_EQ(after.count(u"Registry"), 0u) << c.why;
    }
    EXPECT_EQ(CountPass(installer.calls, kSequenceQuery), c.sequencePass) << c.why;
    EXPECT_EQ(CountPass(installer.calls, kRegistryQuery), c.registryPass) << c.why;

    ASSERT_FALSE(installer.calls.empty());
    EXPECT_EQ(installer.calls.front(), "MsiOpenDatabaseW " + Narrow(kPackage) + " 1") << c.why;
    EXPECT_EQ(installer.calls.back(), "MsiCloseHandle database") << c.why;
    EXPECT_EQ(installer.CountCalls("MsiDatabaseOpenViewW"), 2) << c.why;
    EXPECT_EQ(installer.CountCalls("MsiRecordGetStringW 1 260"),
              installer.CountCalls("MsiRecordGetStringW"))
        << c.why << ": every read of the key offers 260 units";
    EXPECT_EQ(installer.CountCalls("MsiRecordSetStringW"),
              c.sequencePass.replaces + c.registryPass.replaces)
        << c.why << ": one new value per row written";
    EXPECT_TRUE(installer.OpenHandles().empty()) << c.why;
    EXPECT_EQ(installer.badCloses(), 0) << c.why;
    EXPECT_EQ(installer.CountCalls("MsiCloseHandle"), installer.handlesOpened())
        << c.why << ": each handle closed exactly once";
  }
}

TEST(AdjustCachedPackageTest, ClosesEachRecordBeforeTheNextFetchAndCommitsBeforeClosingTheView) {
  FakeInstaller installer;
  FakeInstaller::Database& db = installer.databases[kPackage];
  db.tables[u"InstallExecuteSequence"] =
      SequenceTable({{u"CostInitialize", u""}, {u"ResolveSourceDir", kOldCondition}});
  db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent},
                                          {u"QUORMiniDump_SendAppArgs", kOldComponent},
                                          {u"registry9", kOldComponent}});

  AdjustCachedPackage(installer, kPackage);

  const std::string source = Narrow(std::u16string(kSourceCondition));
  const std::string component = Narrow(std::u16string(kSharedRegistryComponent));
  const std::vector<std::string> expected = {
      "MsiOpenDatabaseW " + Narrow(kPackage) + " 1",
      "MsiDatabaseOpenViewW SELECT Action,Condition FROM InstallExecuteSequence",
      "MsiViewExecute 0",
      "MsiViewFetch",
      "MsiRecordGetStringW 1 260",
      "MsiCloseHandle record",
      "MsiViewFetch",
      "MsiRecordGetStringW 1 260",
      "MsiRecordSetStringW 2 " + source,
      "MsiViewModify 4 ResolveSourceDir",
      "MsiCloseHandle record",
      "MsiViewFetch",
      "MsiDatabaseCommit",
      "MsiCloseHandle view",
      "MsiDatabaseOpenViewW SELECT Registry,Component_ FROM Registry",
      "MsiViewExecute 0",
      "MsiViewFetch",
      "MsiRecordGetStringW 1 260",
      "MsiRecordSetStringW 2 " + component,
      "MsiViewModify 4 registry461",
      "MsiCloseHandle record",
      "MsiViewFetch",
      "MsiRecordGetStringW 1 260",
      "MsiRecordSetStringW 2 " + component,
      "MsiViewModify 4 QUORMiniDump_SendAppArgs",
      "MsiCloseHandle record",
      "MsiDatabaseCommit",
      "MsiCloseHandle view",
      "MsiCloseHandle database",
  };
  EXPECT_EQ(installer.calls, expected);
}

TEST(AdjustCachedPackageTest, APackageThatCannotBeOpenedIsLeftAlone) {
  struct Case {
    std::u16string path;
    std::uint32_t openResult;
    const char* why;
  };
  const Case cases[] = {
      {kPackage, 110, "open refused (locked, not writable)"},
      {u"C:\\Windows\\Installer\\missing.msi", 0, "no such package"},
      {u"", 0, "empty path"},
  };
  for (const Case& c : cases) {
    FakeInstaller installer;
    FakeInstaller::Database& db = installer.databases[kPackage];
    db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
    db.openResult = c.openResult;
    const auto before = db.tables;

    AdjustCachedPackage(installer, c.path);

    EXPECT_EQ(installer.calls,
              std::vector<std::string>{"MsiOpenDatabaseW " + Narrow(c.path) + " 1"})
        << c.why;
    EXPECT_EQ(installer.databases.at(kPackage).tables, before) << c.why;
    EXPECT_EQ(installer.handlesOpened(), 0) << c.why;
  }
}

TEST(AdjustCachedPackageTest, EditsReachTheFileOnlyThroughTheCommit) {
  FakeInstaller installer;
  FakeInstaller::Database& db = installer.databases[kPackage];
  db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
  db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent}});
  const auto before = db.tables;
  // Both commits fail: the edits stay in the working copy, which closing drops.
  installer.forcedResults["MsiDatabaseCommit"] = {1627, 1627};

  AdjustCachedPackage(installer, kPackage);

  EXPECT_EQ(installer.databases.at(kPackage).tables, before);
  EXPECT_EQ(installer.CountCalls("MsiViewModify 4"), 9);
  EXPECT_EQ(installer.CountCalls("MsiDatabaseCommit"), 2) << "a failed commit is not retried";
  EXPECT_TRUE(installer.OpenHandles().empty());
}

// A service that, for a key too long for the buffer, leaves a list key in it
// before reporting more data.
class MisleadingReadInstaller : public FakeInstaller {
 public:
  std::uint32_t MsiRecordGetStringW(MsiHandle record, std::uint32_t field, char16_t* buffer,
                                    std::uint32_t* length) override {
    const std::uint32_t result = FakeInstaller::MsiRecordGetStringW(record, field, buffer, length);
    if (result == kErrorMoreData) {
      const std::u16string key = u"registry461";
      std::copy(key.begin(), key.end(), buffer);
      buffer[key.size()] = u'\0';
    }
    return result;
  }
};

TEST(AdjustCachedPackageTest, AKeyThatDidNotFitIsNeverCompared) {
  MisleadingReadInstaller installer;
  FakeInstaller::Database& db = installer.databases[kPackage];
  db.tables[u"InstallExecuteSequence"] = SequenceTable({});
  db.tables[u"Registry"] = RegistryTable({{std::u16string(400, u'r'), kOldComponent}});
  const auto before = db.tables;

  AdjustCachedPackage(installer, kPackage);

  EXPECT_EQ(installer.databases.at(kPackage).tables, before);
  EXPECT_EQ(installer.CountCalls("MsiViewModify"), 0);
  EXPECT_EQ(installer.CountCalls("MsiRecordSetStringW"), 0);
  EXPECT_TRUE(installer.OpenHandles().empty());
}

}  // namespace
}  // namespace hotfix
