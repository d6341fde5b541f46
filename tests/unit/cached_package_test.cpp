#include "install/cached_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "install/working_copy.h"
#include "tests/fakes/fake_installer.h"
#include "tests/fakes/fake_platform.h"

namespace hotfix {
namespace {

using testing::FakeFileSystem;
using testing::FakeInstaller;
using testing::Narrow;

constexpr char16_t kInstallerFolder[] = u"C:\\Windows\\Installer\\";
constexpr char16_t kPackage[] = u"C:\\Windows\\Installer\\1a2b3c.msi";
constexpr char16_t kCopy[] = u"C:\\Windows\\Installer\\1a2b3c.msi.hotfix-edit-1";
constexpr char16_t kReady[] = u"C:\\Windows\\Installer\\1a2b3c.msi.hotfix-ready-1";
constexpr char16_t kOldCondition[] = u"NOT Installed";
constexpr char16_t kOldComponent[] = u"QUORE.core";

// The installer folder on a disk that the edits copy, replace and delete
// files on; each database of installer is a file there.
struct Disk {
  explicit Disk(FakeInstaller& installer) : installer(installer) {
    files.installer = &installer;
    files.directories.insert(kInstallerFolder);
  }
  FakeInstaller::Database& AddPackage(const std::u16string& path = kPackage) {
    files.files[path] = "package";
    return installer.databases[path];
  }
  void Adjust(const std::u16string& path = kPackage) {
    AdjustCachedPackage(installer, files, path);
  }
  std::vector<std::u16string> FileNames() const {
    std::vector<std::u16string> names;
    for (const auto& [path, bytes] : files.files) names.push_back(path.substr(path.rfind(u'\\') + 1));
    return names;
  }

  FakeInstaller& installer;
  FakeFileSystem files;
};

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

// Both tables with every edit made.
std::map<std::u16string, FakeInstaller::Table> AllEdited(
    std::map<std::u16string, FakeInstaller::Table> tables) {
  tables[u"InstallExecuteSequence"] = Edited(tables.at(u"InstallExecuteSequence"), 1, AllEightActions());
  tables[u"Registry"] = Edited(tables.at(u"Registry"), 5, kBothRegistryRows);
  return tables;
}

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
    Disk disk(installer);
    FakeInstaller::Database& db = disk.AddPackage();
    db.tables[u"InstallExecuteSequence"] = SequenceTable(c.sequence);
    if (c.registry) db.tables[u"Registry"] = RegistryTable(*c.registry);
    if (c.tweak) c.tweak(db);
    const auto before = db.tables;

    disk.Adjust();

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
    EXPECT_EQ(installer.calls.front(), "MsiOpenDatabaseW " + Narrow(kCopy) + " 1") << c.why;
    EXPECT_EQ(installer.calls.back(), "MsiCloseHandle database") << c.why;
    EXPECT_EQ(disk.FileNames(), std::vector<std::u16string>{u"1a2b3c.msi"})
        << c.why << ": the copy took the package's place";
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
  Disk disk(installer);
  FakeInstaller::Database& db = disk.AddPackage();
  db.tables[u"InstallExecuteSequence"] =
      SequenceTable({{u"CostInitialize", u""}, {u"ResolveSourceDir", kOldCondition}});
  db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent},
                                          {u"QUORMiniDump_SendAppArgs", kOldComponent},
                                          {u"registry9", kOldComponent}});

  disk.Adjust();

  const std::string source = Narrow(std::u16string(kSourceCondition));
  const std::string component = Narrow(std::u16string(kSharedRegistryComponent));
  const std::vector<std::string> expected = {
      "MsiOpenDatabaseW " + Narrow(kCopy) + " 1",
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
    std::vector<std::string> calls;
    const char* why;
  };
  const Case cases[] = {
      {kPackage, 110, {"MsiOpenDatabaseW " + Narrow(kCopy) + " 1"},
       "its copy cannot be opened (no database, not writable)"},
      {u"C:\\Windows\\Installer\\missing.msi", 0, {}, "no such package: nothing to copy"},
      {u"", 0, {}, "empty path"},
  };
  for (const Case& c : cases) {
    FakeInstaller installer;
    Disk disk(installer);
    FakeInstaller::Database& db = disk.AddPackage();
    db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
    db.openResult = c.openResult;
    const auto before = db.tables;

    disk.Adjust(c.path);

    EXPECT_EQ(installer.calls, c.calls) << c.why;
    EXPECT_EQ(installer.databases.at(kPackage).tables, before) << c.why;
    EXPECT_EQ(installer.handlesOpened(), 0) << c.why;
    EXPECT_EQ(disk.FileNames(), std::vector<std::u16string>{u"1a2b3c.msi"}) << c.why;
  }
}

TEST(AdjustCachedPackageTest, EditsReachTheFileOnlyThroughTheCommit) {
  FakeInstaller installer;
  Disk disk(installer);
  FakeInstaller::Database& db = disk.AddPackage();
  db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
  db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent}});
  const auto before = db.tables;
  // Both commits fail: the edits stay in the working copy, which closing drops.
  installer.forcedResults["MsiDatabaseCommit"] = {1627, 1627};

  disk.Adjust();

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
  Disk disk(installer);
  FakeInstaller::Database& db = disk.AddPackage();
  db.tables[u"InstallExecuteSequence"] = SequenceTable({});
  db.tables[u"Registry"] = RegistryTable({{std::u16string(400, u'r'), kOldComponent}});
  const auto before = db.tables;

  disk.Adjust();

  EXPECT_EQ(installer.databases.at(kPackage).tables, before);
  EXPECT_EQ(installer.CountCalls("MsiViewModify"), 0);
  EXPECT_EQ(installer.CountCalls("MsiRecordSetStringW"), 0);
  EXPECT_TRUE(installer.OpenHandles().empty());
}

TEST(AdjustCachedPackageTest, ThePackageIsReplacedWholeOrKeptAsItWas) {
  using Failure = FakeFileSystem::ReplaceFailure;
  enum class After { kEdited, kAsItWas, kGone };
  struct Case {
    const char* why;
    std::function<void(Disk&)> tweak;
    After package;
    std::vector<std::string> operations;  // of the file system, after the copy
    bool readyStays;                      // with the edits, when the package is gone
  };
  const std::string copy = Narrow(kCopy);
  const std::string ready = Narrow(kReady);
  const std::string package = Narrow(kPackage);
  const std::vector<std::string> named = {"flush " + copy, "move " + copy + " " + ready};
  std::vector<std::string> replaced = named;
  replaced.push_back("replace " + package + " " + ready);
  std::vector<std::string> moved = replaced;
  moved.push_back("move " + ready + " " + package);
  const Case cases[] = {
      {"the closed copy replaces the package, which keeps its attributes and security",
       nullptr, After::kEdited, replaced, false},
      {"ReplaceFileW refused: a rename over the package instead",
       [](Disk& d) { d.files.replaceFailure = Failure::kRefused; }, After::kEdited, moved, false},
      {"both refused: the package as it was",
       [](Disk& d) {
         d.files.replaceFailure = Failure::kRefused;
         d.files.refusedMoveTargets = {kPackage};
       },
       After::kAsItWas, moved, false},
      {"ReplaceFileW lost the package: the rename puts the copy in its place",
       [](Disk& d) { d.files.replaceFailure = Failure::kLostTarget; }, After::kEdited, moved,
       false},
      {"ReplaceFileW lost the package and the rename fails: the ready copy is all that is left",
       [](Disk& d) {
         d.files.replaceFailure = Failure::kLostTarget;
         d.files.refusedMoveTargets = {kPackage};
       },
       After::kGone, moved, true},
      {"another process holds the package: the package as it was",
       [](Disk& d) { d.files.held[kPackage] = 1; }, After::kAsItWas, moved, false},
      {"the copy's bytes cannot be flushed to the disk: it is not put in place",
       [](Disk& d) { d.files.flushFails = true; }, After::kAsItWas, {"flush " + copy}, false},
      {"the copy cannot be named ready: it is not put in place",
       [](Disk& d) { d.files.refusedMoveTargets = {kReady}; }, After::kAsItWas, named, false},
      {"the second commit fails: the copy may be half-written and is not put in place",
       [](Disk& d) { d.installer.forcedResults["MsiDatabaseCommit"] = {0, 1627}; },
       After::kAsItWas, {}, false},
      {"no pass committed (neither view opened): nothing to put in place",
       [](Disk& d) {
         auto& db = d.installer.databases.at(kPackage);
         db.openViewResults = {{kSequenceQuery, 1615}, {kRegistryQuery, 1615}};
       },
       After::kAsItWas, {}, false},
      {"the copy cannot be made (a full disk): nothing is opened",
       [](Disk& d) { d.files.copyFails = true; }, After::kAsItWas, {}, false},
  };

  for (const Case& c : cases) {
    FakeInstaller installer;
    Disk disk(installer);
    FakeInstaller::Database& db = disk.AddPackage();
    db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
    db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent}});
    const auto before = db.tables;
    const auto edited = AllEdited(before);
    if (c.tweak) c.tweak(disk);

    disk.Adjust();

    ASSERT_FALSE(disk.files.operations.empty()) << c.why;
    EXPECT_EQ(disk.files.operations.front(), "copy " + package + " " + copy) << c.why;
    EXPECT_EQ(std::vector<std::string>(disk.files.operations.begin() + 1,
                                       disk.files.operations.end()),
              c.operations)
        << c.why;
    const auto& databases = installer.databases;
    switch (c.package) {
      case After::kEdited:
        EXPECT_EQ(databases.at(kPackage).tables, edited) << c.why;
        break;
      case After::kAsItWas:
        EXPECT_EQ(databases.at(kPackage).tables, before) << c.why;
        break;
      case After::kGone:
        EXPECT_EQ(databases.count(kPackage), 0u) << c.why;
        break;
    }
    std::vector<std::u16string> files = {u"1a2b3c.msi"};
    if (c.readyStays) {
      files = {u"1a2b3c.msi.hotfix-ready-1"};
      EXPECT_EQ(databases.at(kReady).tables, edited) << c.why;
    } else if (c.package == After::kGone) {
      files.clear();
    }
    EXPECT_EQ(disk.FileNames(), files) << c.why;
    EXPECT_TRUE(installer.OpenHandles().empty()) << c.why;
  }
}

TEST(AdjustCachedPackageTest, WhatEarlierRunsLeftIsRemovedOrPutInPlace) {
  const std::vector<std::u16string> unfinished = {
      u"1a2b3c.msi.hotfix-edit-1", u"1a2b3c.msi.hotfix-edit-7", u"1A2B3C.MSI.Hotfix-Edit-12",
      u"1a2b3c.msi.hotfix-edit-99999"};
  const std::vector<std::u16string> ready = {u"1a2b3c.msi.hotfix-ready-3",
                                             u"1a2b3c.msi.hotfix-ready-4"};
  // Not copies of this package: the service's files, ours of other packages, near misses.
  const std::vector<std::u16string> others = {
      u"9f9f.msi", u"9f9f.msi.hotfix-edit-1", u"9f9f.msi.hotfix-ready-1", u"MSI1A2B.tmp",
      u"1a2b3c.msi.hotfix-edit-", u"1a2b3c.msi.hotfix-edit-01", u"1a2b3c.msi.hotfix-edit-1x",
      u"1a2b3c.msi.hotfix-edit-100000", u"x1a2b3c.msi.hotfix-edit-1", u"1a2b3c.msi.hotfix-1",
      u"1a2b3c.msi.hotfix-edit-1.tmp", u"1a2b3c.msi.hotfix-done-1"};
  const auto sorted = [](std::vector<std::u16string> names) {
    std::sort(names.begin(), names.end());
    return names;
  };
  struct Case {
    const char* why;
    bool packageThere;
    bool readyThere;
    std::set<std::u16string> undeletable;
    std::vector<std::u16string> left;  // copies still there afterwards
    std::string firstOperation;        // "" when nothing is done
  };
  const std::string copy2 = Narrow(kPackage) + ".hotfix-edit-2";
  const Case cases[] = {
      {"every copy of this package goes before the new one is made", true, true, {}, {},
       "copy " + Narrow(kPackage) + " " + Narrow(kCopy)},
      {"one that cannot be deleted stays, and its number is not used", true, false,
       {std::u16string(kInstallerFolder) + u"1a2b3c.msi.hotfix-edit-1"},
       {u"1a2b3c.msi.hotfix-edit-1"}, "copy " + Narrow(kPackage) + " " + copy2},
      {"without the package an unfinished copy may be all that is left of it: all stay", false,
       false, {}, unfinished, ""},
      {"without the package a ready copy takes its place, and the run goes on", false, true, {},
       {}, "move " + Narrow(kInstallerFolder) + "1a2b3c.msi.hotfix-ready-3 " + Narrow(kPackage)},
  };
  for (const Case& c : cases) {
    FakeInstaller installer;
    Disk disk(installer);
    FakeInstaller::Database& db = disk.AddPackage();
    db.tables[u"InstallExecuteSequence"] = SequenceTable(AllEightScattered());
    db.tables[u"Registry"] = RegistryTable({{u"registry461", kOldComponent}});
    const auto edited = AllEdited(db.tables);
    for (const auto& name : unfinished) disk.files.files[kInstallerFolder + name] = "unfinished";
    if (c.readyThere) {
      for (const auto& name : ready) {
        disk.files.files[kInstallerFolder + name] = "ready";
        installer.databases[kInstallerFolder + name].tables = edited;
      }
    }
    for (const auto& name : others) disk.files.files[kInstallerFolder + name] = "other";
    disk.files.undeletable = c.undeletable;
    if (!c.packageThere) {
      disk.files.files.erase(kPackage);
      installer.databases.erase(kPackage);
    }

    disk.Adjust();

    std::vector<std::u16string> expected = others;
    expected.insert(expected.end(), c.left.begin(), c.left.end());
    if (!c.firstOperation.empty()) expected.push_back(u"1a2b3c.msi");
    EXPECT_EQ(sorted(disk.FileNames()), sorted(expected)) << c.why;
    if (c.firstOperation.empty()) {
      EXPECT_TRUE(disk.files.operations.empty()) << c.why;
      continue;
    }
    ASSERT_FALSE(disk.files.operations.empty()) << c.why;
    EXPECT_EQ(disk.files.operations.front(), c.firstOperation) << c.why;
    EXPECT_EQ(installer.databases.at(kPackage).tables, edited) << c.why;
  }
}

TEST(AdjustCachedPackageTest, ACopyWhosePathWouldNotFitIsNotMade) {
  // 260 units with the terminator; the ready name adds 15 to the package's path.
  for (const std::size_t length : {std::size_t{244}, std::size_t{245}}) {
    FakeInstaller installer;
    Disk disk(installer);
    const std::u16string package =
        kInstallerFolder + std::u16string(length - 4 - std::u16string(kInstallerFolder).size(), u'p') +
        u".msi";
    disk.AddPackage(package).tables[u"InstallExecuteSequence"] = SequenceTable({});
    disk.Adjust(package);
    EXPECT_EQ(installer.CountCalls("MsiOpenDatabaseW"), length == 244 ? 1 : 0) << length;
    EXPECT_EQ(disk.files.files.size(), 1u) << length;
  }
}

}  // namespace
}  // namespace hotfix
