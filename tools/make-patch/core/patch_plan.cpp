#include "core/patch_plan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "core/patch_error.h"
#include "core/patch_rules.h"

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

// Versions compare part by part; missing parts count as 0.
int CompareVersions(std::vector<std::uint32_t> a, std::vector<std::uint32_t> b) {
  a.resize(4, 0);
  b.resize(4, 0);
  return a < b ? -1 : (a == b ? 0 : 1);
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
  facts.newVersionParts = *newParts;
  if (older.database.codepage != newer.database.codepage) {
    throw PatchError(label + ": the packages have different code pages (" +
                     std::to_string(older.database.codepage) + " and " +
                     std::to_string(newer.database.codepage) + ")");
  }
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

std::int32_t IntegerAt(const Table& table, const Row& row, const std::string& column) {
  const auto index = table.ColumnIndex(column);
  if (!index || row[*index].kind != Value::Kind::kInteger) return 0;
  return row[*index].integer;
}

// Files whose bytes differ, and files that are new, in the order of their
// sequence numbers in the new package.
std::vector<std::string> CarriedFiles(const PackagePair& pair) {
  const Table& files = *pair.newer.database.FindTable("File");
  std::vector<std::pair<std::int32_t, std::string>> carried;
  for (const Row& row : files.rows) {
    const std::string key = row[0].KeyText();
    const auto newBytes = pair.newer.files.find(key);
    if (newBytes == pair.newer.files.end()) {
      throw PatchError(pair.newer.path + ": file " + key + " is not in any cabinet of the package");
    }
    const auto oldBytes = pair.older.files.find(key);
    if (oldBytes == pair.older.files.end() || oldBytes->second != newBytes->second) {
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

// The patch transform of a pair: the patch's media, the new sequence numbers
// and the patch-added mark of the files it carries, and its PatchPackage row.
std::vector<TableChange> PatchTransformChanges(const PackagePair& pair,
                                               const std::vector<std::string>& carried,
                                               const std::string& cabinet,
                                               const std::string& patchCode) {
  const Database& older = pair.older.database;
  const Table& oldMedia = *older.FindTable("Media");
  const Table& newFiles = *pair.newer.database.FindTable("File");
  std::int32_t lastDisk = 0;
  std::int32_t lastSequence = 0;
  for (const Row& row : oldMedia.rows) {
    lastDisk = std::max(lastDisk, IntegerAt(oldMedia, row, "DiskId"));
    lastSequence = std::max(lastSequence, IntegerAt(oldMedia, row, "LastSequence"));
  }
  for (const Row& row : older.FindTable("File")->rows) {
    lastSequence = std::max(lastSequence, IntegerAt(*older.FindTable("File"), row, "Sequence"));
  }
  const std::int32_t diskId = lastDisk + 1;

  std::vector<TableChange> changes;
  TableChange files{TableChange::Kind::kRows, "File", newFiles.columns, {}};
  const auto attributes = newFiles.ColumnIndex("Attributes");
  const auto sequence = newFiles.ColumnIndex("Sequence");
  if (!attributes || !sequence) throw PatchError(pair.newer.path + ": the File table lacks Attributes or Sequence");
  std::int32_t next = lastSequence;
  for (const std::string& key : carried) {
    Row row = *newFiles.FindRow({Value::Text(key)});
    const std::int32_t old = row[*attributes].IsNull() ? 0 : row[*attributes].integer;
    row[*attributes] = Value::Integer(old | kFileAttributePatchAdded);
    row[*sequence] = Value::Integer(++next);
    std::vector<bool> changed(row.size(), false);
    changed[*attributes] = changed[*sequence] = true;
    files.rows.push_back({RowChange::Kind::kUpdate, std::move(row), std::move(changed)});
  }
  if (!files.rows.empty()) changes.push_back(std::move(files));

  std::map<std::string, Value> media = {{"DiskId", Value::Integer(diskId)},
                                        {"LastSequence", Value::Integer(next)},
                                        {"Source", Value::Text(kMediaSourceProperty)}};
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

PatchPlan PlanPatch(const std::vector<PackagePair>& pairs, const PatchOptions& options,
                    const std::function<CodepageEncoder(std::uint32_t)>& encoderFor) {
  if (pairs.empty()) throw PatchError("no pair of packages given");
  if (!IsGuid(options.patchCode)) {
    throw PatchError("the patch code " + options.patchCode +
                     " is not a GUID in braces with upper-case hexadecimal digits");
  }

  std::vector<PairFacts> facts;
  std::set<std::string> targeted;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    facts.push_back(CheckPair(pairs[i], i + 1));
    if (!targeted.insert(facts.back().productCode).second) {
      throw PatchError("product " + facts.back().productCode + " is the old package of two pairs");
    }
  }

  PatchPlan plan;
  for (PairFacts& pair : facts) {
    plan.warnings.insert(plan.warnings.end(), pair.warnings.begin(), pair.warnings.end());
  }
  plan.codepage = pairs.front().newer.database.codepage;
  const CodepageEncoder encode = encoderFor(plan.codepage);
  const PairFacts& first = facts.front();
  const std::string manufacturer = options.manufacturer.empty() ? first.manufacturer : options.manufacturer;
  std::vector<std::uint32_t> highest = first.newVersionParts;
  for (const PairFacts& pair : facts) {
    if (CompareVersions(pair.newVersionParts, highest) > 0) highest = pair.newVersionParts;
  }
  const std::string title =
      options.title.empty() ? first.productName + " " + VersionText(highest) : options.title;
  std::string family = options.family;
  if (family.empty()) {
    family = "P";
    for (char c : options.patchCode) {
      if (c != '{' && c != '}' && c != '-') family += c;
    }
  }
  if (!IsIdentifier(family)) {
    throw PatchError("the patch family " + family +
                     " is not an identifier (a letter or _, then letters, digits, _ or .)");
  }

  // The cabinets: pairs that carry the same files with the same bytes share one.
  std::map<std::vector<std::pair<std::string, Bytes>>, std::string> cabinetOf;
  std::string transformList;
  std::string targets;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const PackagePair& pair = pairs[i];
    const PairFacts& pairFacts = facts[i];
    const std::vector<std::string> carried = CarriedFiles(pair);
    std::vector<std::pair<std::string, Bytes>> contents;
    for (const std::string& key : carried) contents.emplace_back(key, pair.newer.files.at(key));
    std::string cabinet;
    if (!contents.empty()) {
      auto [found, added] = cabinetOf.emplace(contents, "");
      if (added) {
        found->second = "Patch" + std::to_string(cabinetOf.size()) + ".cab";
        plan.cabinets.push_back({found->second, contents});
      }
      cabinet = found->second;
    }

    const std::uint32_t codepage = pair.older.database.codepage;
    SummaryInfo summary;
    summary.codepage = codepage;
    summary.texts[kPidTitle] = "Transform";
    if (!manufacturer.empty()) summary.texts[kPidAuthor] = manufacturer;
    summary.texts[kPidTemplate] = pair.older.summaryTemplate;
    summary.texts[kPidLastSavedBy] = pair.newer.summaryTemplate;
    summary.texts[kPidRevisionNumber] = pairFacts.productCode + pairFacts.oldVersion + ";" +
                                        pairFacts.productCode + pairFacts.newVersion + ";" +
                                        pairFacts.upgradeCode;
    summary.texts[kPidCreatingApplication] = kCreatingApplication;
    summary.times[kPidCreateTime] = options.creationTime;
    summary.integers[kPidPageCount] = std::max(pair.older.pageCount, pair.newer.pageCount);
    summary.integers[kPidCharacterCount] = kTransformCharacterCount;
    summary.integers[kPidSecurity] = kSecurityEnforcedReadOnly;
    const CodepageEncoder pairEncode = encoderFor(codepage);
    for (const auto& [pid, text] : summary.texts) {
      RequireEncodable(pairEncode, codepage, "transform summary text", text);
    }

    const std::string name = "T" + std::to_string(i + 1);
    plan.transforms.push_back({name, codepage, DiffDatabases(pair.older.database, pair.newer.database), summary});
    plan.transforms.push_back({"#" + name, codepage,
                               PatchTransformChanges(pair, carried, cabinet, options.patchCode), summary});
    transformList += (transformList.empty() ? ":" : ";:") + name + ";:#" + name;
    targets += (targets.empty() ? "" : ";") + pairFacts.productCode;
    plan.sequence.push_back({family, pairFacts.productCode, VersionText(highest)});
  }

  SummaryInfo& summary = plan.summary;
  summary.codepage = plan.codepage;
  summary.texts[kPidTitle] = "Patch";
  summary.texts[kPidSubject] = title;
  if (!manufacturer.empty()) summary.texts[kPidAuthor] = manufacturer;
  summary.texts[kPidComments] =
      "This patch contains the logic and data required to install " + first.productName + ".";
  summary.texts[kPidTemplate] = targets;
  summary.texts[kPidLastSavedBy] = transformList;
  summary.texts[kPidRevisionNumber] = options.patchCode;
  summary.texts[kPidCreatingApplication] = kCreatingApplication;
  summary.times[kPidCreateTime] = options.creationTime;
  summary.times[kPidLastSaveTime] = options.creationTime;
  summary.integers[kPidWordCount] = kPatchWordCountInstaller30;
  summary.integers[kPidSecurity] = kSecurityEnforcedReadOnly;
  for (const auto& [pid, text] : summary.texts) RequireEncodable(encode, plan.codepage, "summary text", text);

  plan.metadata = {{"AllowRemoval", options.allowRemoval ? "1" : "0"},
                   {"Classification", options.classification},
                   {"CreationTimeUTC", MetadataTime(options.creationTime)},
                   {"DisplayName", title},
                   {"TargetProductName", first.productName}};
  if (!options.description.empty()) plan.metadata.emplace_back("Description", options.description);
  if (!manufacturer.empty()) plan.metadata.emplace_back("ManufacturerName", manufacturer);
  if (!options.moreInfoUrl.empty()) plan.metadata.emplace_back("MoreInfoURL", options.moreInfoUrl);
  for (const auto& [property, value] : plan.metadata) {
    if (value.empty()) throw PatchError("the patch's " + property + " must not be empty");
    RequireEncodable(encode, plan.codepage, property, value);
  }
  return plan;
}

}  // namespace makepatch
