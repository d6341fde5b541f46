#include "msi/patch_plan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "msi/codepage_pair.h"
#include "msi/patch_error.h"
#include "msi/patch_rules.h"

namespace makepatch {
namespace {

constexpr char kCreatingApplication[] = "make-patch";
constexpr std::int32_t kSecurityEnforcedReadOnly = 4;
// A patch that carries MsiPatchSequence needs Windows Installer 3.0.
constexpr std::int32_t kPatchWordCountInstaller30 = 4;
constexpr std::size_t kMaxIdentifier = 72;

bool IsGuid(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const char c = text[i];
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || text.size() > kMaxIdentifier) return false;
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(text[0])) return false;
  return std::all_of(text.begin(), text.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '.'; });
}

std::string VersionText(const std::vector<std::uint32_t>& parts) {
  std::string text;
  for (std::uint32_t part : parts) text += (text.empty() ? "" : ".") + std::to_string(part);
  return text;
}

// Versions compare part by part; missing parts count as 0. Fields: how many
// parts count (Windows Installer compares three for product versions).
int CompareVersions(std::vector<std::uint32_t> a, std::vector<std::uint32_t> b, std::size_t fields = 4) {
  a.resize(fields, 0);
  b.resize(fields, 0);
  return a < b ? -1 : (a == b ? 0 : 1);
}

// The tables of Microsoft's "Uninstallable Patches": a patch that adds a row
// to any of them cannot be removed from a product.
const std::set<std::string>& TablesThatBlockRemoval() {
  static const std::set<std::string> tables = {
      "BindImage", "Class", "Complus", "CreateFolder", "DuplicateFile", "Environment", "Extension", "Font",
      "IniFile", "IsolatedComponent", "LockPermissions", "MIME", "MoveFile", "MsiLockPermissionsEx",
      "MsiServiceConfig", "MsiServiceConfigFailureActions", "ODBCAttribute", "ODBCDataSource", "ODBCDriver",
      "ODBCSourceAttribute", "ODBCTranslator", "ProgId", "PublishComponent", "RemoveIniFile", "SelfReg",
      "ServiceControl", "ServiceInstall", "TypeLib", "Verb"};
  return tables;
}

std::string DescribeKey(const Table& table, const Row& row) {
  std::string text;
  for (const Value& value : table.KeyOf(row)) text += (text.empty() ? "" : ", ") + value.KeyText();
  return "(" + text + ")";
}

std::string HexDigitsOf(const std::string& guid) {
  std::string digits;
  for (char c : guid) {
    if (c != '{' && c != '}' && c != '-') digits += c;
  }
  return digits;
}

std::string RequireProperty(const Package& package, const std::string& name) {
  std::optional<std::string> value = package.database.Property(name);
  if (!value || value->empty()) {
    throw PatchError(package.path + " has no " + name + " property");
  }
  return *value;
}

// "mm-dd-yy HH:MM", as MsiPatchMetadata writes creation times.
std::string MetadataTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d-%02d %02d:%02d", utc.tm_mon + 1, utc.tm_mday,
                utc.tm_year % 100, utc.tm_hour, utc.tm_min);
  return text;
}

// What one pair contributes, after its checks.
struct PairFacts {
  std::string productCode;
  std::string upgradeCode;
  std::string oldVersion;
  std::string newVersion;
  std::vector<std::uint32_t> oldVersionParts;
  std::vector<std::uint32_t> newVersionParts;
  std::string productName;
  std::string manufacturer;
  std::vector<std::string> warnings;
};

// Windows Installer's rules for what a patch may change: refusals end the
// plan with every broken rule of the pair, warnings travel with the plan.
void CheckRules(const PackagePair& pair, const std::string& label, std::vector<std::string>& warnings) {
  std::vector<std::string> refusals;
  for (const RuleFinding& finding : CheckPatchingRules(pair.older.database, pair.newer.database)) {
    (finding.kind == RuleFinding::Kind::kWarning ? warnings : refusals).push_back(label + ": " + finding.message);
  }
  if (refusals.empty()) return;
  std::string message = refusals.front();
  for (std::size_t i = 1; i < refusals.size(); ++i) message += "\n" + refusals[i];
  throw PatchError(message);
}

PairFacts CheckPair(const PackagePair& pair, std::size_t number) {
  const Package& older = pair.older;
  const Package& newer = pair.newer;
  const std::string label = "pair " + std::to_string(number) + " (" + older.path + ", " + newer.path + ")";
  PairFacts facts;
  facts.productCode = RequireProperty(older, "ProductCode");
  const std::string newCode = RequireProperty(newer, "ProductCode");
  if (newCode != facts.productCode) {
    throw PatchError(label + ": the product codes differ (" + facts.productCode + " and " + newCode +
                     "); a patch updates one product, it cannot turn it into another");
  }
  facts.upgradeCode = RequireProperty(older, "UpgradeCode");
  const std::string newUpgrade = RequireProperty(newer, "UpgradeCode");
  if (newUpgrade != facts.upgradeCode) {
    throw PatchError(label + ": the upgrade codes differ (" + facts.upgradeCode + " and " + newUpgrade + ")");
  }
  facts.oldVersion = RequireProperty(older, "ProductVersion");
  facts.newVersion = RequireProperty(newer, "ProductVersion");
  const auto oldParts = ParseProductVersion(facts.oldVersion);
  const auto newParts = ParseProductVersion(facts.newVersion);
  if (!oldParts) throw PatchError(older.path + ": ProductVersion " + facts.oldVersion + " is not a version");
  if (!newParts) throw PatchError(newer.path + ": ProductVersion " + facts.newVersion + " is not a version");
  const int order = CompareVersions(*oldParts, *newParts);
  if (order == 0) {
    throw PatchError(newer.path + " is version " + facts.newVersion + ", the same as " + older.path +
                     ": the new package of a pair must have a higher version");
  }
  if (order > 0) {
    throw PatchError(newer.path + " is version " + facts.newVersion + ", lower than " + older.path +
                     " at " + facts.oldVersion + ": a patch cannot go back");
  }
  if (CompareVersions(*oldParts, *newParts, 3) == 0) {
    throw PatchError(newer.path + " is version " + facts.newVersion + " and " + older.path + " " +
                     facts.oldVersion + ": they differ only in the fourth field, which Windows Installer "
                     "does not compare, so a patch cannot tell them apart; raise the major, minor or update "
                     "field of the new version");
  }
  facts.oldVersionParts = *oldParts;
  facts.newVersionParts = *newParts;
  if (older.database.FindTable("File") == nullptr || newer.database.FindTable("File") == nullptr ||
      older.database.FindTable("Media") == nullptr) {
    throw PatchError(label + ": a package without File or Media table cannot be patched");
  }
  CheckRules(pair, label, facts.warnings);
  facts.productName = RequireProperty(newer, "ProductName");
  facts.manufacturer = newer.database.Property("Manufacturer").value_or("");
  return facts;
}

// The diff of every table except Media: the new package's media describe
// its own cabinets, which the patch does not ship; File.Sequence stays the
// old one for the same reason (files the patch carries get theirs from the
// patch transform).
std::vector<TableChange> DiffDatabases(const Database& older, const Database& newer) {
  std::set<std::string> names;
  for (const auto& [name, table] : older.tables) names.insert(name);
  for (const auto& [name, table] : newer.tables) names.insert(name);
  names.erase("Media");
  std::vector<TableChange> changes;
  for (const std::string& name : names) {
    if (auto change = DiffTable(older.FindTable(name), newer.FindTable(name), {"File.Sequence"})) {
      changes.push_back(std::move(*change));
    }
  }
  return changes;
}

// Default file versioning keeps an installed versioned file unless the new
// one has a higher version: a changed file whose version did not go up would
// be reported as patched and stay as it was. An unversioned old file, or a
// Version column that names a companion file, leaves the decision to hashes
// and sizes.
void RequireHigherFileVersion(const PackagePair& pair, const Table& oldFiles, const Row& oldRow,
                              const Table& newFiles, const Row& newRow) {
  const std::string oldText = TextAt(oldFiles, oldRow, "Version");
  const std::string newText = TextAt(newFiles, newRow, "Version");
  const auto oldVersion = ParseProductVersion(oldText);
  if (!oldVersion) return;
  const auto newVersion = ParseProductVersion(newText);
  if (!newText.empty() && !newVersion) return;
  if (newVersion && CompareVersions(*newVersion, *oldVersion) > 0) return;
  // Relinked files are left out before the plan: one that got here has changed code.
  const bool examined = pair.older.files.contains(newRow[0].KeyText()) &&
                        pair.older.files.at(newRow[0].KeyText()).buildStamps &&
                        pair.newer.files.at(newRow[0].KeyText()).buildStamps;
  const std::string component = TextAt(newFiles, newRow, "Component_");
  throw PatchError("file " + newRow[0].KeyText() + " differs between " + pair.older.path + " and " +
                   pair.newer.path + (examined ? " beyond its build stamps" : "") + ", but its version is " +
                   (newText.empty() ? "none" : newText) + " in the new package and " + oldText +
                   " in the old one: Windows Installer would keep the installed copy; give the new file a "
                   "higher version, or leave its component " + component + " out of the patch "
                   "(--exclude-component " + component + ")");
}

// Files whose bytes differ, and files that are new, in the order of their
// sequence numbers in the new package.
std::vector<std::string> CarriedFiles(const PackagePair& pair) {
  const Table& files = *pair.newer.database.FindTable("File");
  const Table& oldFiles = *pair.older.database.FindTable("File");
  std::vector<std::pair<std::int32_t, std::string>> carried;
  for (const Row& row : files.rows) {
    const std::string key = row[0].KeyText();
    const auto newBytes = pair.newer.files.find(key);
    if (newBytes == pair.newer.files.end()) {
      throw PatchError(pair.newer.path + ": file " + key + " is not in any cabinet of the package");
    }
    const auto oldBytes = pair.older.files.find(key);
    if (oldBytes == pair.older.files.end() || !oldBytes->second.SameBytes(newBytes->second)) {
      if (!newBytes->second.content) {
        throw PatchError(pair.newer.path + ": file " + key + " changed, but its bytes were not kept to be carried");
      }
      if (oldBytes != pair.older.files.end()) {
        if (const Row* oldRow = oldFiles.FindRow({row[0]})) RequireHigherFileVersion(pair, oldFiles, *oldRow, files, row);
      }
      carried.emplace_back(IntegerAt(files, row, "Sequence"), key);
    }
  }
  std::stable_sort(carried.begin(), carried.end());
  std::vector<std::string> keys;
  for (auto& [sequence, key] : carried) keys.push_back(std::move(key));
  return keys;
}

const std::vector<Column>& PatchPackageColumns() {
  static const std::vector<Column> columns = {
      {"PatchId", kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 38},
      {"Media_", kColumnNotBinary | kColumnValid | 2},
  };
  return columns;
}

Row RowOf(const Table& table, const std::map<std::string, Value>& values) {
  Row row(table.columns.size());
  for (const auto& [column, value] : values) {
    const auto index = table.ColumnIndex(column);
    if (!index) throw PatchError("the " + table.name + " table has no column " + column);
    row[*index] = value;
  }
  return row;
}

// Where the media of a pair's patch transform go: a disk and a range of
// file sequence numbers that no old package of its product uses, and that
// the product's other pairs do not use either, so that their media stay
// apart whichever of them an installer applies.
struct MediaSlot {
  std::int32_t diskId = 1;
  std::int32_t lastSequenceBefore = 0;  // the files get the numbers after it
};

MediaSlot FirstFreeMedia(const Database& older) {
  const Table& media = *older.FindTable("Media");
  const Table& files = *older.FindTable("File");
  MediaSlot slot;
  std::int32_t lastDisk = 0;
  for (const Row& row : media.rows) {
    lastDisk = std::max(lastDisk, IntegerAt(media, row, "DiskId"));
    slot.lastSequenceBefore = std::max(slot.lastSequenceBefore, IntegerAt(media, row, "LastSequence"));
  }
  for (const Row& row : files.rows) {
    slot.lastSequenceBefore = std::max(slot.lastSequenceBefore, IntegerAt(files, row, "Sequence"));
  }
  slot.diskId = lastDisk + 1;
  return slot;
}

// The installer's tables for delta patches of files, as the patch
// transform creates them in a product that has none.
std::vector<Column> PatchColumns(std::uint16_t sequenceWidth) {
  return {{"File_", kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 72},
          {"Sequence", static_cast<std::uint16_t>(kColumnKey | kColumnNotBinary | kColumnValid | sequenceWidth)},
          {"PatchSize", kColumnNotBinary | kColumnValid | 4},
          {"Attributes", kColumnNotBinary | kColumnValid | 2},
          {"Header", kColumnNullable | kColumnString | kColumnValid},
          {"StreamRef_", kColumnNullable | kColumnNotBinary | kColumnString | kColumnValid | 72}};
}
std::vector<Column> PatchHeadersColumns() {
  return {{"StreamRef", kColumnKey | kColumnNotBinary | kColumnString | kColumnValid | 72},
          {"Header", kColumnString | kColumnValid}};
}
// Where the installer runs PatchFiles in the standard sequences.
constexpr std::int32_t kPatchFilesSequence = 4090;

// The rows of a table the patch transform adds to: a change of the table
// the old package has, or the table itself when it has none.
TableChange AddedRows(const Database& older, const std::string& table, const std::vector<Column>& columns) {
  const Table* existing = older.FindTable(table);
  return {existing ? TableChange::Kind::kRows : TableChange::Kind::kCreated, table,
          existing ? existing->columns : columns, {}};
}

bool FitsStreamName(const std::string& name) {
  try {
    EncodeStreamName(name, false);
    return true;
  } catch (const PatchError&) {
    return false;
  }
}

// The Patch row of a file that travels as a delta. Its header goes into the
// row when the stream that holds it can be named ("Patch.<file>.<sequence>"
// within the 31 characters of a compound file), otherwise into a row of
// MsiPatchHeaders that the Patch row refers to.
void AddDeltaRows(const std::string& key, std::int32_t sequence, const CarriedDelta& delta, TableChange& patch,
                  TableChange& headers) {
  Row row(patch.columns.size());
  row[0] = Value::Text(key);
  row[1] = Value::Integer(sequence);
  row[2] = Value::Integer(static_cast<std::int32_t>(delta.size));
  row[3] = Value::Integer(0);  // failing to apply it is fatal: never a wrong file
  if (FitsStreamName("Patch." + key + "." + std::to_string(sequence))) {
    row[4] = Value::Binary(delta.header);
  } else {
    const std::string reference = "PH" + std::to_string(sequence);
    row[5] = Value::Text(reference);
    headers.rows.push_back({RowChange::Kind::kInsert, {Value::Text(reference), Value::Binary(delta.header)}, {}});
  }
  patch.rows.push_back({RowChange::Kind::kInsert, std::move(row), {}});
}

// PatchFiles where a sequence of the product lacks it: without it no delta
// is applied.
void AddPatchFilesAction(const Database& older, std::vector<TableChange>& changes) {
  for (const char* sequenceTable : {"InstallExecuteSequence", "AdminExecuteSequence"}) {
    const Table* table = older.FindTable(sequenceTable);
    if (table == nullptr || table->FindRow({Value::Text("PatchFiles")}) != nullptr) continue;
    changes.push_back({TableChange::Kind::kRows, sequenceTable, table->columns,
                       {{RowChange::Kind::kInsert,
                         RowOf(*table, {{"Action", Value::Text("PatchFiles")},
                                        {"Sequence", Value::Integer(kPatchFilesSequence)}}),
                         {}}}});
  }
}

// The patch transform of a pair: the patch's media, the new sequence numbers
// and the patch-added mark of the files it carries whole, the Patch rows of
// those it carries as deltas, and its PatchPackage row.
std::vector<TableChange> PatchTransformChanges(const PackagePair& pair,
                                               const std::vector<std::string>& carried,
                                               const std::string& cabinet,
                                               const std::string& patchCode, const MediaSlot& slot) {
  const Database& older = pair.older.database;
  const Table& oldMedia = *older.FindTable("Media");
  const Table& newFiles = *pair.newer.database.FindTable("File");
  const std::int32_t diskId = slot.diskId;

  std::vector<TableChange> changes;
  TableChange files{TableChange::Kind::kRows, "File", newFiles.columns, {}};
  const auto attributes = newFiles.ColumnIndex("Attributes");
  const auto sequence = newFiles.ColumnIndex("Sequence");
  if (!attributes || !sequence) throw PatchError(pair.newer.path + ": the File table lacks Attributes or Sequence");
  const auto sequenceColumn = std::find_if(newFiles.columns.begin(), newFiles.columns.end(),
                                           [](const Column& column) { return column.name == "Sequence"; });
  TableChange patchRows = AddedRows(older, "Patch", PatchColumns(sequenceColumn->IntegerWidth()));
  TableChange headerRows = AddedRows(older, "MsiPatchHeaders", PatchHeadersColumns());
  std::int32_t next = slot.lastSequenceBefore;
  for (const std::string& key : carried) {
    // A delta applies to the installed file: the file stays on the
    // product's own media, and the patch's media carry the delta.
    if (const auto delta = pair.deltas.find(key); delta != pair.deltas.end()) {
      AddDeltaRows(key, ++next, delta->second, patchRows, headerRows);
      continue;
    }
    Row row = *newFiles.FindRow({Value::Text(key)});
    const std::int32_t old = row[*attributes].IsNull() ? 0 : row[*attributes].integer;
    row[*attributes] = Value::Integer(old | kFileAttributePatchAdded);
    row[*sequence] = Value::Integer(++next);
    std::vector<bool> changed(row.size(), false);
    changed[*attributes] = changed[*sequence] = true;
    files.rows.push_back({RowChange::Kind::kUpdate, std::move(row), std::move(changed)});
  }
  if (!files.rows.empty()) changes.push_back(std::move(files));
  if (!patchRows.rows.empty()) {
    changes.push_back(std::move(patchRows));
    if (!headerRows.rows.empty()) changes.push_back(std::move(headerRows));
    AddPatchFilesAction(older, changes);
  }

  std::map<std::string, Value> media = {{"DiskId", Value::Integer(diskId)},
                                        {"LastSequence", Value::Integer(next)},
                                        {"Source", Value::Text(MediaSourceProperty(patchCode))}};
  if (!cabinet.empty()) media["Cabinet"] = Value::Text("#" + cabinet);
  changes.push_back({TableChange::Kind::kRows, "Media", oldMedia.columns,
                     {{RowChange::Kind::kInsert, RowOf(oldMedia, media), {}}}});

  const Row patchPackage = {Value::Text(patchCode), Value::Integer(diskId)};
  const bool hasTable = older.FindTable("PatchPackage") != nullptr;
  changes.push_back({hasTable ? TableChange::Kind::kRows : TableChange::Kind::kCreated, "PatchPackage",
                     hasTable ? older.FindTable("PatchPackage")->columns : PatchPackageColumns(),
                     {{RowChange::Kind::kInsert, patchPackage, {}}}});
  return changes;
}

void RequireEncodable(const CodepageEncoder& encode, std::uint32_t codepage, const std::string& what,
                      const std::string& text) {
  if (!encode(text)) {
    throw PatchError("the " + what + " \"" + text + "\" does not fit code page " + std::to_string(codepage) +
                     " of the patch's summary information");
  }
}

// Several pairs may target one product when machines have it at several
// versions (a cumulative patch); each pair's transforms validate their own
// old version, so the old versions must differ where Windows Installer
// looks (major, minor, update), and all lead to one new version.
void CheckPairsOfOneProduct(const std::vector<PackagePair>& pairs, const std::vector<PairFacts>& facts) {
  for (std::size_t i = 0; i < facts.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (facts[i].productCode != facts[j].productCode) continue;
      const std::string both = pairs[j].older.path + " and " + pairs[i].older.path;
      if (CompareVersions(facts[i].newVersionParts, facts[j].newVersionParts) != 0) {
        throw PatchError("the new packages of product " + facts[i].productCode + " have different versions (" +
                         facts[j].newVersion + " in " + pairs[j].newer.path + ", " + facts[i].newVersion +
                         " in " + pairs[i].newer.path + "): a patch brings a product to one version");
      }
      if (CompareVersions(facts[i].oldVersionParts, facts[j].oldVersionParts) == 0) {
        throw PatchError("product " + facts[i].productCode + " at " + facts[i].oldVersion +
                         " is the old package of two pairs (" + both + ")");
      }
      if (CompareVersions(facts[i].oldVersionParts, facts[j].oldVersionParts, 3) == 0) {
        throw PatchError("product " + facts[i].productCode + " has old packages at " + facts[j].oldVersion +
                         " and " + facts[i].oldVersion + " (" + both +
                         "), which differ only in the fourth field: Windows Installer cannot tell them apart "
                         "when it chooses a pair's transforms");
      }
    }
  }
}

}  // namespace

// The rows a transform adds to a table of "Uninstallable Patches", each as
// a sentence naming the table and the row.
std::vector<std::string> RowsThatBlockRemoval(const std::vector<TableChange>& changes, const std::string& label) {
  std::vector<std::string> found;
  for (const TableChange& change : changes) {
    if (change.kind == TableChange::Kind::kDropped || !TablesThatBlockRemoval().contains(change.table)) continue;
    const Table shape{change.table, change.columns, {}};
    for (const RowChange& row : change.rows) {
      if (row.kind != RowChange::Kind::kInsert) continue;
      found.push_back(label + " adds the row " + DescribeKey(shape, row.row) + " to the " + change.table +
                      " table, and a patch that adds rows to " + change.table + " cannot be uninstalled");
    }
  }
  return found;
}

namespace {

SummaryInfo TransformSummary(const PackagePair& pair, const std::string& manufacturer, const PatchOptions& options,
                             const std::string& revisionNumber) {
  SummaryInfo summary;
  summary.codepage = pair.older.database.codepage;
  summary.texts[kPidTitle] = "Transform";
  if (!manufacturer.empty()) summary.texts[kPidAuthor] = manufacturer;
  summary.texts[kPidTemplate] = pair.older.summaryTemplate;
  summary.texts[kPidLastSavedBy] = pair.newer.summaryTemplate;
  summary.texts[kPidRevisionNumber] = revisionNumber;
  summary.texts[kPidCreatingApplication] = kCreatingApplication;
  summary.times[kPidCreateTime] = options.creationTime;
  summary.integers[kPidPageCount] = std::max(pair.older.pageCount, pair.newer.pageCount);
  summary.integers[kPidCharacterCount] = kTransformCharacterCount;
  summary.integers[kPidSecurity] = kSecurityEnforcedReadOnly;
  return summary;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> ParseProductVersion(const std::string& text) {
  std::vector<std::uint32_t> parts;
  std::size_t at = 0;
  while (true) {
    std::size_t end = at;
    std::uint32_t value = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 6) {
      value = value * 10 + static_cast<std::uint32_t>(text[end] - '0');
      ++end;
    }
    if (end == at || value > 65535) return std::nullopt;
    parts.push_back(value);
    if (end == text.size()) break;
    if (text[end] != '.' || parts.size() == 4) return std::nullopt;
    at = end + 1;
  }
  return parts;
}

std::string MediaSourceProperty(const std::string& patchCode) { return "_" + HexDigitsOf(patchCode); }

std::string CabinetStreamName(const std::string& patchCode, std::size_t number) {
  return "_" + HexDigitsOf(patchCode) + "_" + std::to_string(number) + ".cab";
}

PatchPlan PlanPatch(const std::vector<PackagePair>& pairs, const PatchOptions& options,
                    const std::function<CodepageEncoder(std::uint32_t)>& encoderFor) {
  if (pairs.empty()) throw PatchError("no pair of packages given");
  if (!IsGuid(options.patchCode)) {
    throw PatchError("the patch code " + options.patchCode +
                     " is not a GUID in braces with upper-case hexadecimal digits");
  }

  std::vector<PairFacts> facts;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const PackagePair& pair = pairs[i];
    const std::string label = "pair " + std::to_string(i + 1) + " (" + pair.older.path + ", " + pair.newer.path + ")";
    facts.push_back(CheckPair(pair, i + 1));
    RequireCompatibleCodepages(pair, label, encoderFor);
    std::string loose;
    for (const std::string& change : LooseStreamChanges(pair.older.loose, pair.newer.loose)) {
      loose += (loose.empty() ? "" : "\n") + label + ": " + change;
    }
    if (!loose.empty()) throw PatchError(loose);
  }
  CheckPairsOfOneProduct(pairs, facts);

  PatchPlan plan;
  for (PairFacts& pair : facts) {
    plan.warnings.insert(plan.warnings.end(), pair.warnings.begin(), pair.warnings.end());
  }
  // The old package's: the installed database keeps its code page.
  plan.codepage = pairs.front().older.database.codepage;
  const CodepageEncoder encode = encoderFor(plan.codepage);
  const PairFacts& first = facts.front();
  const std::string manufacturer = options.manufacturer.empty() ? first.manufacturer : options.manufacturer;
  std::vector<std::uint32_t> highest = first.newVersionParts;
  for (const PairFacts& pair : facts) {
    if (CompareVersions(pair.newVersionParts, highest) > 0) highest = pair.newVersionParts;
  }
  const std::string title =
      options.title.empty() ? first.productName + " " + VersionText(highest) : options.title;
  const std::string family = options.family.empty() ? "P" + HexDigitsOf(options.patchCode) : options.family;
  if (!IsIdentifier(family)) {
    throw PatchError("the patch family " + family +
                     " is not an identifier (a letter or _, then letters, digits, _ or .)");
  }

  // The first free media of each product, past every old package of it.
  std::map<std::string, MediaSlot> slotOf;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const MediaSlot free = FirstFreeMedia(pairs[i].older.database);
    auto [slot, added] = slotOf.emplace(facts[i].productCode, free);
    slot->second.diskId = std::max(slot->second.diskId, free.diskId);
    slot->second.lastSequenceBefore = std::max(slot->second.lastSequenceBefore, free.lastSequenceBefore);
  }

  // The cabinets: pairs that carry the same files with the same bytes share one.
  std::map<std::vector<std::pair<std::string, Digest>>, std::string> cabinetOf;
  std::vector<std::string> removalBlockers;
  std::string transformList;
  std::vector<std::string> targets;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const PackagePair& pair = pairs[i];
    const PairFacts& pairFacts = facts[i];
    const std::vector<std::string> carried = CarriedFiles(pair);
    plan.carriedFiles.push_back(carried);
    // What the cabinet holds under each file's key: the delta, or the file.
    std::vector<std::pair<std::string, Digest>> contents;
    std::vector<std::pair<std::string, std::shared_ptr<const FileContent>>> cabinetFiles;
    for (const std::string& key : carried) {
      const auto delta = pair.deltas.find(key);
      const PackageFile& file = pair.newer.files.at(key);
      contents.emplace_back(key, delta != pair.deltas.end() ? delta->second.digest : file.digest);
      cabinetFiles.emplace_back(key, delta != pair.deltas.end() ? delta->second.content : file.content);
    }
    std::vector<TableChange> diff;
    try {
      diff = DiffDatabases(pair.older.database, pair.newer.database);
    } catch (const PatchError& error) {
      // Say which packages: a table reshaped by damage looks like any other.
      throw PatchError("pair " + std::to_string(i + 1) + " (" + pair.older.path + ", " + pair.newer.path +
                       "): " + error.what());
    }
    std::string cabinet;
    // A transform's streams (a changed Binary or Icon row) live in the
    // patch's storage, which Wine keeps open only for media with a cabinet:
    // such a pair gets a cabinet even when it carries no file.
    if (!contents.empty() || ChangesAStream(diff)) {
      auto [found, added] = cabinetOf.emplace(contents, "");
      if (added) {
        found->second = CabinetStreamName(options.patchCode, cabinetOf.size());
        plan.cabinets.push_back({found->second, std::move(cabinetFiles)});
      }
      cabinet = found->second;
    }

    // The patch transform applies after its partner: its base is the state
    // the partner leaves, the new version.
    const std::string newState = pairFacts.productCode + pairFacts.newVersion;
    const SummaryInfo summary =
        TransformSummary(pair, manufacturer, options,
                         pairFacts.productCode + pairFacts.oldVersion + ";" + newState + ";" + pairFacts.upgradeCode);
    const SummaryInfo patchSummary =
        TransformSummary(pair, manufacturer, options, newState + ";" + newState + ";" + pairFacts.upgradeCode);
    const CodepageEncoder pairEncode = encoderFor(summary.codepage);
    for (const SummaryInfo* info : {&summary, &patchSummary}) {
      for (const auto& [pid, text] : info->texts) {
        RequireEncodable(pairEncode, summary.codepage, "transform summary text", text);
      }
    }

    const std::string name = "T" + std::to_string(i + 1);
    const std::string label = "pair " + std::to_string(i + 1) + " (" + pair.older.path + ", " + pair.newer.path + ")";
    for (std::string& blocker : RowsThatBlockRemoval(diff, label)) removalBlockers.push_back(std::move(blocker));
    MediaSlot& slot = slotOf.at(pairFacts.productCode);
    plan.transforms.push_back({name, summary.codepage, std::move(diff), summary});
    plan.transforms.push_back({"#" + name, summary.codepage,
                               PatchTransformChanges(pair, carried, cabinet, options.patchCode, slot),
                               patchSummary});
    slot.diskId += 1;
    slot.lastSequenceBefore += static_cast<std::int32_t>(carried.size());
    transformList += (transformList.empty() ? ":" : ";:") + name + ";:#" + name;
    if (std::find(targets.begin(), targets.end(), pairFacts.productCode) == targets.end()) {
      targets.push_back(pairFacts.productCode);
      plan.sequence.push_back({family, pairFacts.productCode, VersionText(pairFacts.newVersionParts),
                               options.supersede ? kSequenceSupersedeEarlier : 0});
    }
  }

  std::string removable = "1";
  if (options.removal == Removal::kNever) {
    removable = "0";
  } else if (!removalBlockers.empty()) {
    if (options.removal == Removal::kRequired) {
      throw PatchError(removalBlockers.front() + "; leave out --allow-removal, or move that change to a "
                       "full release of the product");
    }
    removable = "0";
    for (const std::string& blocker : removalBlockers) {
      plan.warnings.push_back(blocker + "; the patch is marked as not removable");
    }
  }

  SummaryInfo& summary = plan.summary;
  summary.codepage = plan.codepage;
  summary.texts[kPidTitle] = "Patch";
  summary.texts[kPidSubject] = title;
  if (!manufacturer.empty()) summary.texts[kPidAuthor] = manufacturer;
  summary.texts[kPidComments] =
      "This patch contains the logic and data required to install " + first.productName + ".";
  std::string targetList;
  for (const std::string& code : targets) targetList += (targetList.empty() ? "" : ";") + code;
  summary.texts[kPidTemplate] = targetList;
  summary.texts[kPidLastSavedBy] = transformList;
  summary.texts[kPidRevisionNumber] = options.patchCode;
  summary.texts[kPidCreatingApplication] = kCreatingApplication;
  summary.times[kPidCreateTime] = options.creationTime;
  summary.times[kPidLastSaveTime] = options.creationTime;
  summary.integers[kPidWordCount] = kPatchWordCountInstaller30;
  summary.integers[kPidSecurity] = kSecurityEnforcedReadOnly;
  for (const auto& [pid, text] : summary.texts) RequireEncodable(encode, plan.codepage, "summary text", text);

  plan.metadata = {{"AllowRemoval", removable},
                   {"Classification", options.classification},
                   {"CreationTimeUTC", MetadataTime(options.creationTime)},
                   {"DisplayName", title},
                   {"TargetProductName", first.productName}};
  if (!options.description.empty()) plan.metadata.emplace_back("Description", options.description);
  if (!manufacturer.empty()) plan.metadata.emplace_back("ManufacturerName", manufacturer);
  // A patch that supersedes the earlier ones of its family is built from
  // the first release's packages: it applies to the product as first
  // installed, not on top of the patches it replaces.
  if (options.supersede) plan.metadata.emplace_back("MinorUpdateTargetRTM", "1");
  if (!options.moreInfoUrl.empty()) plan.metadata.emplace_back("MoreInfoURL", options.moreInfoUrl);
  for (const auto& [property, value] : plan.metadata) {
    if (value.empty()) throw PatchError("the patch's " + property + " must not be empty");
    RequireEncodable(encode, plan.codepage, property, value);
  }
  return plan;
}

}  // namespace makepatch
