#include <algorithm>
#include <set>

#include "msi/patch_error.h"
#include "msi/patch_plan.h"
#include "msi/patch_rules.h"
#include "msi/standard_schema.h"
#include "patch_report.h"

namespace inspectpatch {
namespace {

using makepatch::Database;
using makepatch::PatchError;
using makepatch::Row;
using makepatch::RowChange;
using makepatch::Table;
using makepatch::TableChange;
using makepatch::Value;

constexpr std::int32_t kValidateLanguage = 0x0001;
constexpr std::int32_t kValidateProduct = 0x0002;
constexpr std::int32_t kValidatePlatform = 0x0004;
constexpr std::int32_t kValidateMajor = 0x0008;
constexpr std::int32_t kValidateMinor = 0x0010;
constexpr std::int32_t kValidateUpdate = 0x0020;
constexpr std::int32_t kValidateLess = 0x0040;
constexpr std::int32_t kValidateLessEqual = 0x0080;
constexpr std::int32_t kValidateEqual = 0x0100;
constexpr std::int32_t kValidateGreaterEqual = 0x0200;
constexpr std::int32_t kValidateGreater = 0x0400;
constexpr std::int32_t kValidateUpgradeCode = 0x0800;

std::string PropertyOf(const Database& database, const std::string& name) {
  return database.Property(name).value_or("");
}

// The part of "x64;1033" before or after the ";".
std::string TemplatePart(const std::string& text, bool platform) {
  const auto semicolon = text.find(';');
  if (semicolon == std::string::npos) return platform ? text : "";
  return platform ? text.substr(0, semicolon) : text.substr(semicolon + 1);
}

int Compare(const std::string& a, const std::string& b, std::size_t fields) {
  std::vector<std::uint32_t> x = makepatch::ParseProductVersion(a).value_or(std::vector<std::uint32_t>{});
  std::vector<std::uint32_t> y = makepatch::ParseProductVersion(b).value_or(std::vector<std::uint32_t>{});
  x.resize(fields, 0);
  y.resize(fields, 0);
  return x < y ? -1 : (x == y ? 0 : 1);
}

// The columns of a table as the database has them, else as documented.
makepatch::SchemaLookup SchemaOf(const Database& database) {
  return [&database](const std::string& table) -> std::optional<std::vector<makepatch::Column>> {
    if (const Table* found = database.FindTable(table)) return found->columns;
    return makepatch::StandardColumns(table);
  };
}

std::string LongName(const std::string& name) {
  const auto bar = name.find('|');
  return bar == std::string::npos ? name : name.substr(bar + 1);
}

// The folder a Directory row stands for: its parents' names joined, from the
// root's well-known property.
std::string FolderOf(const Database& database, std::string directory) {
  const Table* table = database.FindTable("Directory");
  if (table == nullptr) return "[" + directory + "]";
  std::vector<std::string> parts;
  for (int depth = 0; depth < 64 && !directory.empty(); ++depth) {
    const Row* row = table->FindRow({Value::Text(directory)});
    if (row == nullptr) break;
    const std::string parent = makepatch::TextAt(*table, *row, "Directory_Parent");
    std::string name = makepatch::TextAt(*table, *row, "DefaultDir");
    name = LongName(name.substr(0, name.find(':')));
    if (parent.empty() || parent == directory) break;
    const Row* parentRow = table->FindRow({Value::Text(parent)});
    if (parentRow != nullptr && makepatch::TextAt(*table, *parentRow, "Directory_Parent").empty() &&
        directory.find("Folder") != std::string::npos) {
      // A well-known folder under the root (ProgramFilesFolder): its property names it.
      parts.push_back("[" + directory + "]");
      directory.clear();
      break;
    }
    if (name != ".") parts.push_back(name);
    directory = parent;
  }
  if (!directory.empty() && (parts.empty() || parts.back().front() != '[')) parts.push_back("[" + directory + "]");
  std::string path;
  for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
    path += *part;
    if (part->front() != '[' || part + 1 == parts.rend()) path += "\\";
  }
  return path;
}

std::string ComponentFolder(const Database& database, const std::string& component) {
  const Table* table = database.FindTable("Component");
  if (table == nullptr) return {};
  const Row* row = table->FindRow({Value::Text(component)});
  return row == nullptr ? std::string() : FolderOf(database, makepatch::TextAt(*table, *row, "Directory_"));
}

std::string RootName(std::int32_t root) {
  switch (root) {
    case -1: return "HKMU";
    case 0: return "HKCR";
    case 1: return "HKCU";
    case 2: return "HKLM";
    case 3: return "HKU";
    default: return "root " + std::to_string(root);
  }
}

std::string FileLine(const Database& database, const Table& files, const Row& row) {
  std::string line = ComponentFolder(database, makepatch::TextAt(files, row, "Component_")) +
                     LongName(makepatch::TextAt(files, row, "FileName"));
  line += " (" + makepatch::TextAt(files, row, "FileSize") + " bytes";
  const std::string version = makepatch::TextAt(files, row, "Version");
  if (!version.empty() && version.find_first_not_of("0123456789.") == std::string::npos) line += ", version " + version;
  return line + ")";
}

// What changed from old to patched, as a person reads it.
std::vector<ChangeLine> Story(const Database& old, const Database& patched, const std::set<std::string>& deltas) {
  std::set<std::string> names;
  for (const auto& [name, table] : old.tables) names.insert(name);
  for (const auto& [name, table] : patched.tables) names.insert(name);
  // Tables of the patch's own bookkeeping: told in the patch's summary.
  static const std::set<std::string> bookkeeping = {"Media", "PatchPackage", "Patch", "MsiPatchHeaders",
                                                    "_Validation"};
  std::vector<ChangeLine> lines;
  std::set<std::string> replaced;
  for (const std::string& name : names) {
    if (bookkeeping.contains(name)) continue;
    const Table* before = old.FindTable(name);
    const Table* after = patched.FindTable(name);
    std::optional<TableChange> change;
    try {
      change = makepatch::DiffTable(before, after);
    } catch (const PatchError& error) {
      lines.push_back({"table changed", name + ": its columns change (" + error.what() + ")"});
      continue;
    }
    if (!change) continue;
    if (change->kind == TableChange::Kind::kCreated) lines.push_back({"table added", name});
    if (change->kind == TableChange::Kind::kDropped) {
      lines.push_back({"table removed", name});
      continue;
    }
    const Table shape{name, change->columns, {}};
    const auto at = [&](const Row& row, const char* column) { return makepatch::TextAt(shape, row, column); };
    std::size_t added = 0, changed = 0, removed = 0;
    for (const RowChange& row : change->rows) {
      const bool insert = row.kind == RowChange::Kind::kInsert;
      const bool remove = row.kind == RowChange::Kind::kDelete;
      const Row* previous = before != nullptr ? before->FindRow(shape.KeyOf(row.row)) : nullptr;
      if (name == "File") {
        if (insert) lines.push_back({"file added", FileLine(patched, shape, row.row)});
        else if (remove) lines.push_back({"file removed", FileLine(old, shape, row.row)});
        else {
          std::string line = FileLine(patched, shape, row.row);
          replaced.insert(at(row.row, "File"));
          if (deltas.contains(at(row.row, "File"))) line += ", as a delta against the installed file";
          if (previous != nullptr) {
            const std::string from = makepatch::TextAt(*before, *previous, "Version");
            const std::string to = at(row.row, "Version");
            if (from != to && !from.empty()) line += ", was version " + from;
          }
          lines.push_back({"file replaced", line});
        }
      } else if (name == "Registry") {
        const std::string where = RootName(makepatch::IntegerAt(shape, row.row, "Root")) + "\\" + at(row.row, "Key");
        const std::string value = at(row.row, "Name").empty() ? "(Default)" : at(row.row, "Name");
        if (remove) lines.push_back({"registry value removed", where + ": " + value});
        else lines.push_back({"registry value written", where + ": " + value + " = " + at(row.row, "Value")});
      } else if (name == "RemoveRegistry" && !remove) {
        lines.push_back({"registry value removed", RootName(makepatch::IntegerAt(shape, row.row, "Root")) + "\\" +
                                                       at(row.row, "Key") + ": " + at(row.row, "Name")});
      } else if (name == "Shortcut" && insert) {
        lines.push_back({"shortcut added", FolderOf(patched, at(row.row, "Directory_")) + LongName(at(row.row, "Name")) +
                                               " -> " + at(row.row, "Target")});
      } else if (name == "ServiceInstall" && insert) {
        lines.push_back({"service added", at(row.row, "Name") + " (" + at(row.row, "DisplayName") + ")"});
      } else if (name == "Feature" && insert) {
        lines.push_back({"feature added", at(row.row, "Feature") + " (" + at(row.row, "Title") + ")"});
      } else if (name == "Component" && insert) {
        lines.push_back({"component added", at(row.row, "Component") + " " + at(row.row, "ComponentId") + " in " +
                                                FolderOf(patched, at(row.row, "Directory_"))});
      } else if (name == "Property") {
        const std::string property = at(row.row, "Property");
        const std::string from = previous != nullptr ? makepatch::TextAt(*before, *previous, "Value") : "";
        if (insert) lines.push_back({"property added", property + " = " + at(row.row, "Value")});
        else if (remove) lines.push_back({"property removed", property + " (was " + from + ")"});
        else lines.push_back({"property changed", property + ": " + from + " -> " + at(row.row, "Value")});
      } else {
        (insert ? added : remove ? removed : changed) += 1;
      }
    }
    if (added + changed + removed > 0) {
      const auto rows = [](std::size_t count, const char* what) {
        return " " + std::to_string(count) + (count == 1 ? " row " : " rows ") + what;
      };
      std::string text = name + ":";
      if (added) text += rows(added, "added");
      if (changed) text += std::string(added ? "," : "") + rows(changed, "changed");
      if (removed) text += std::string(added || changed ? "," : "") + rows(removed, "removed");
      lines.push_back({"rows changed", text});
    }
  }
  // A file that travels as a delta keeps its File row: its Patch row tells.
  const Table* files = patched.FindTable("File");
  for (const std::string& key : deltas) {
    const Row* row = files != nullptr ? files->FindRow({Value::Text(key)}) : nullptr;
    if (row == nullptr || replaced.contains(key)) continue;
    lines.insert(lines.begin(), {"file replaced", FileLine(patched, *files, *row) + ", as a delta against the installed file"});
  }
  return lines;
}

}  // namespace

std::string ValidationFailure(const TransformReport& t, const Database& old, const std::string& oldTemplate) {
  const std::int32_t flags = t.validation;
  if ((flags & kValidateProduct) != 0 && PropertyOf(old, "ProductCode") != t.oldProductCode) {
    return "it is for product " + t.oldProductCode + ", the package is " + PropertyOf(old, "ProductCode");
  }
  if ((flags & kValidateUpgradeCode) != 0 && PropertyOf(old, "UpgradeCode") != t.upgradeCode) {
    return "its upgrade code is " + t.upgradeCode + ", the package's " + PropertyOf(old, "UpgradeCode");
  }
  if ((flags & kValidateLanguage) != 0 && PropertyOf(old, "ProductLanguage") != TemplatePart(t.oldTemplate, false)) {
    return "it is for language " + TemplatePart(t.oldTemplate, false) + ", the package is " +
           PropertyOf(old, "ProductLanguage");
  }
  if ((flags & kValidatePlatform) != 0 && TemplatePart(oldTemplate, true) != TemplatePart(t.oldTemplate, true)) {
    return "it is for platform " + TemplatePart(t.oldTemplate, true) + ", the package is " +
           TemplatePart(oldTemplate, true);
  }
  const std::size_t fields = (flags & kValidateUpdate) != 0 ? 3 : (flags & kValidateMinor) != 0 ? 2
                             : (flags & kValidateMajor) != 0 ? 1 : 0;
  if (fields > 0) {
    const std::string installed = PropertyOf(old, "ProductVersion");
    const int order = Compare(installed, t.oldVersion, fields);
    struct Relation {
      std::int32_t flag;
      bool holds;
      const char* words;
    };
    const Relation relations[] = {{kValidateLess, order < 0, "lower than"},
                                  {kValidateLessEqual, order <= 0, "at most"},
                                  {kValidateEqual, order == 0, "at"},
                                  {kValidateGreaterEqual, order >= 0, "at least"},
                                  {kValidateGreater, order > 0, "higher than"}};
    for (const Relation& relation : relations) {
      if ((flags & relation.flag) != 0 && !relation.holds) {
        return std::string("it applies to the product ") + relation.words + " " + t.oldVersion + " (" +
               std::to_string(fields) + " fields compared), the package is at " + installed;
      }
    }
  }
  return {};
}

PackageVerdict JudgePackage(const PatchReport& patch, const StorageTree& storage, const Database& old,
                            const std::string& oldTemplate, const std::string& path,
                            const std::function<makepatch::CodepageDecoder(std::uint32_t)>& decoderFor) {
  PackageVerdict verdict;
  verdict.path = path;
  verdict.productCode = PropertyOf(old, "ProductCode");
  verdict.productName = PropertyOf(old, "ProductName");
  verdict.productVersion = PropertyOf(old, "ProductVersion");
  verdict.upgradeCode = PropertyOf(old, "UpgradeCode");
  std::vector<std::string> otherProducts;

  for (std::size_t i = 0; i < patch.transforms.size(); ++i) {
    const TransformReport& t = patch.transforms[i];
    if (t.patchTransform || !t.problem.empty()) continue;
    const std::string failure = ValidationFailure(t, old, oldTemplate);
    if (!failure.empty()) {
      // The pairs for this product say why; the others only that they are for another.
      (t.oldProductCode == verdict.productCode ? verdict.failures : otherProducts)
          .push_back("transform " + t.name + ": " + failure);
      continue;
    }
    verdict.applies = true;
    verdict.transformPair = t.name;
    verdict.newVersion = t.newVersion;
    std::vector<std::string> conflicts;
    const auto decode = [&](const std::string& name, const Database& base) {
      const StorageTree& sub = storage.storages.at(name);
      const auto pool = sub.streams.find(makepatch::EncodeStreamName("_StringPool", true));
      const std::uint32_t codepage =
          pool != sub.streams.end() && pool->second.size() >= 2 ? (pool->second[0] | (pool->second[1] << 8)) : 0;
      makepatch::DecodedTransform content = makepatch::DecodeTransform(sub.streams, SchemaOf(base), decoderFor(codepage));
      for (const auto& [table, why] : content.unreadable) {
        verdict.findings.push_back("transform " + name + ", table " + table + ": " + why);
      }
      return content;
    };
    try {
      const makepatch::DecodedTransform main = decode(t.name, old);
      const Database afterMain = makepatch::ApplyTransform(old, main.changes, &conflicts);
      Database patched = afterMain;
      std::set<std::string> deltas;
      if (i + 1 < patch.transforms.size() && patch.transforms[i + 1].patchTransform &&
          storage.storages.contains(patch.transforms[i + 1].name)) {
        verdict.transformPair += ", " + patch.transforms[i + 1].name;
        const makepatch::DecodedTransform media = decode(patch.transforms[i + 1].name, afterMain);
        patched = makepatch::ApplyTransform(afterMain, media.changes, &conflicts);
        for (const TableChange& change : media.changes) {
          if (change.table != "Patch") continue;
          const Table shape{change.table, change.columns, {}};
          for (const RowChange& row : change.rows) deltas.insert(makepatch::TextAt(shape, row.row, "File_"));
        }
      }
      for (const std::string& conflict : conflicts) verdict.findings.push_back("transform " + t.name + ": " + conflict);
      for (const makepatch::RuleFinding& finding : makepatch::CheckPatchingRules(old, afterMain)) {
        verdict.findings.push_back(finding.message);
      }
      verdict.changes = Story(old, patched, deltas);
    } catch (const PatchError& error) {
      verdict.findings.push_back("transform " + t.name + ": " + error.what());
    }
    break;
  }
  if (!verdict.applies && verdict.failures.empty()) {
    verdict.failures.push_back("the patch is not for product " + verdict.productCode + " (its transforms are for " +
                               std::to_string(otherProducts.size()) + " other products)");
  }
  return verdict;
}

}  // namespace inspectpatch
