#include "report_writers.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace inspectpatch {
namespace {

using makepatch::RowChange;
using makepatch::TableChange;
using makepatch::Value;

std::string ValueText(const Value& value) {
  switch (value.kind) {
    case Value::Kind::kNull: return "(null)";
    case Value::Kind::kInteger: return std::to_string(value.integer);
    case Value::Kind::kText: return value.text;
    case Value::Kind::kBinary: return "<" + std::to_string(value.bytes.size()) + " bytes>";
  }
  return {};
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

std::string TimeText(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string Removable(const PatchReport& report) {
  const std::string allow = report.Metadata("AllowRemoval");
  if (allow == "1") return "yes (AllowRemoval 1)";
  if (allow == "0") {
    if (report.removalBlockers.empty()) return "no (AllowRemoval 0, as its maker marked it; no row of its transforms rules removal out)";
    return "no (AllowRemoval 0): " + report.removalBlockers.front();
  }
  return "not said (no AllowRemoval): Windows Installer treats it as not removable";
}

std::string Supersedes(const PatchReport& report) {
  bool any = false;
  for (const SequenceReport& row : report.sequence) any = any || (row.attributes & 1) != 0;
  return any ? "yes, every earlier patch of its family" : "no";
}

// One line per family and sequence, with how many products it holds for.
std::vector<std::string> FamilyLines(const PatchReport& report) {
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;
  for (const SequenceReport& row : report.sequence) {
    const std::string head = row.family + ", sequence " + row.sequence;
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == head; });
    if (group == groups.end()) group = groups.insert(groups.end(), {head, {}});
    if (!row.productCode.empty()) group->second.push_back(row.productCode);
  }
  std::vector<std::string> lines;
  for (const auto& [head, products] : groups) {
    lines.push_back(head + (products.empty()      ? ", for any product"
                            : products.size() == 1 ? " for " + products.front()
                                                   : " for " + std::to_string(products.size()) + " products"));
  }
  return lines;
}

// The cabinets in a line each, or in one line when they all carry the same
// files (a patch for many language variants of one product).
std::vector<std::string> CabinetLines(const PatchReport& report) {
  const auto filesOf = [](const CabinetReport& cabinet) {
    std::vector<std::string> files;
    for (const CarriedFile& file : cabinet.files) {
      files.push_back(file.key + " (" + std::to_string(file.size) + " bytes, " + (file.delta ? "delta" : "whole") + ")");
    }
    return files.empty() ? std::string("no files") : Join(files, ", ");
  };
  std::vector<std::string> lines;
  if (report.cabinets.empty()) return {"none (the patch carries no files)"};
  bool same = report.cabinets.size() > 2;
  std::uint64_t smallest = report.cabinets.front().size, largest = smallest;
  for (const CabinetReport& cabinet : report.cabinets) {
    same = same && filesOf(cabinet) == filesOf(report.cabinets.front()) && cabinet.problem.empty();
    smallest = std::min(smallest, cabinet.size);
    largest = std::max(largest, cabinet.size);
  }
  if (same) {
    return {std::to_string(report.cabinets.size()) + " cabinets, " + report.cabinets.front().name + " to " +
            report.cabinets.back().name + " (" + std::to_string(smallest) +
            (largest != smallest ? " to " + std::to_string(largest) : "") + " bytes), each with " +
            filesOf(report.cabinets.front())};
  }
  for (const CabinetReport& cabinet : report.cabinets) {
    lines.push_back(cabinet.name + " (" + std::to_string(cabinet.size) + " bytes): " + filesOf(cabinet));
  }
  return lines;
}

std::string Pair(const PatchReport& report, const TargetReport& target, std::size_t i) {
  const TransformReport& t = report.transforms[target.transforms[i]];
  std::string text = "at " + (t.oldVersion.empty() ? std::string("?") : t.oldVersion) + " -> " +
                     (t.newVersion.empty() ? std::string("?") : t.newVersion) + " (transforms " + t.name;
  if (i + 1 < target.transforms.size() && report.transforms[target.transforms[i + 1]].patchTransform) {
    text += ", " + report.transforms[target.transforms[i + 1]].name;
  }
  return text + ")";
}

// ------------------------------------------------------------------ JSON

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Json(items[i]);
  return out + "]";
}

// An object written field by field.
class JsonObject {
 public:
  JsonObject& Raw(const std::string& name, const std::string& json) {
    body_ += (body_.empty() ? "" : ", ") + Json(name) + ": " + json;
    return *this;
  }
  JsonObject& Text(const std::string& name, const std::string& value) { return Raw(name, Json(value)); }
  JsonObject& Number(const std::string& name, std::int64_t value) { return Raw(name, std::to_string(value)); }
  JsonObject& Bool(const std::string& name, bool value) { return Raw(name, value ? "true" : "false"); }
  std::string str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

template <typename T, typename Fn>
std::string JsonArray(const std::vector<T>& items, Fn&& fn) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ",\n " : "") + fn(items[i]);
  return out + "]";
}

// ------------------------------------------------------------------ HTML

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Row2(const std::string& name, const std::string& value) {
  return "<tr><th>" + Html(name) + "</th><td>" + Html(value) + "</td></tr>\n";
}

}  // namespace

std::vector<TransformLine> TransformLines(const TransformReport& transform) {
  std::vector<TransformLine> lines;
  for (const TableChange& change : transform.content.changes) {
    if (change.kind == TableChange::Kind::kDropped) {
      lines.push_back({change.table, "table removed", "", ""});
      continue;
    }
    if (change.kind == TableChange::Kind::kCreated) {
      std::vector<std::string> columns;
      for (const auto& column : change.columns) columns.push_back(column.name);
      lines.push_back({change.table, "table added", "", "columns " + Join(columns, ", ")});
    }
    for (const RowChange& row : change.rows) {
      std::vector<std::string> keys, fields;
      for (std::size_t i = 0; i < change.columns.size() && i < row.row.size(); ++i) {
        if (change.columns[i].IsKey()) {
          keys.push_back(ValueText(row.row[i]));
        } else if (row.kind == RowChange::Kind::kInsert ||
                   (row.kind == RowChange::Kind::kUpdate && i < row.changed.size() && row.changed[i])) {
          fields.push_back(change.columns[i].name + " = " + ValueText(row.row[i]));
        }
      }
      const char* kind = row.kind == RowChange::Kind::kInsert   ? "added"
                         : row.kind == RowChange::Kind::kUpdate ? "changed"
                                                                : "removed";
      std::string text = Join(fields, ", ");
      if (change.table == "File" && row.kind != RowChange::Kind::kDelete) {
        const makepatch::Table shape{change.table, change.columns, {}};
        const std::string name = makepatch::TextAt(shape, row.row, "FileName");
        if (!name.empty()) text = "file " + name.substr(name.find('|') == std::string::npos ? 0 : name.find('|') + 1) +
                                  (text.empty() ? "" : ": " + text);
      }
      lines.push_back({change.table, kind, "(" + Join(keys, ", ") + ")", text});
    }
  }
  return lines;
}

std::string TextReport(const PatchReport& report) {
  std::string out;
  const auto line = [&](const std::string& name, const std::string& value) {
    if (!value.empty()) out += "  " + name + ":" + std::string(name.size() < 15 ? 15 - name.size() : 1, ' ') + value + "\n";
  };
  out += "Patch " + report.patchCode + " in " + report.file + " (" + std::to_string(report.fileSize) + " bytes)\n";
  line("Title", report.Metadata("DisplayName").empty() ? report.subject : report.Metadata("DisplayName"));
  line("Description", report.Metadata("Description").empty() ? report.comments : report.Metadata("Description"));
  line("Classification", report.Metadata("Classification"));
  line("Manufacturer", report.Metadata("ManufacturerName").empty() ? report.author : report.Metadata("ManufacturerName"));
  if (report.created) line("Created", TimeText(*report.created));
  line("Removable", Removable(report));
  for (std::size_t i = 1; i < report.removalBlockers.size(); ++i) line("", report.removalBlockers[i]);
  for (const std::string& family : FamilyLines(report)) line("Family", family);
  line("Supersedes", Supersedes(report) + (report.Metadata("MinorUpdateTargetRTM") == "1"
                                               ? "; it applies to the product as first released (MinorUpdateTargetRTM)"
                                               : ""));
  if (!report.obsoletes.empty()) line("Obsoletes", Join(report.obsoletes, ", "));
  line("Media source", Join(report.mediaSources, ", "));
  for (const std::string& cabinet : CabinetLines(report)) line("Cabinets", cabinet);
  if (report.hotfix) {
    const HotfixResources& hotfix = *report.hotfix;
    line("Hotfix patches", Join(hotfix.applicableVersions, ", "));
    line("Hotfix brings", hotfix.patchedVersion);
    std::vector<std::string> languages;
    for (std::uint16_t id : hotfix.languages) languages.push_back(LanguageTag(id));
    line("Messages in", std::to_string(languages.size()) + " languages: " + Join(languages, ", "));
  }
  out += "Targets: " + std::to_string(report.targets.size()) + (report.targets.size() == 1 ? " product\n" : " products\n");
  for (const TargetReport& target : report.targets) {
    out += "  " + target.productCode + "\n";
    for (std::size_t i = 0; i < target.transforms.size(); ++i) {
      const TransformReport& t = report.transforms[target.transforms[i]];
      if (!t.patchTransform) {
        out += "    " + Pair(report, target, i) + "\n";
        out += "      validates: " + Join(ValidationWords(t.validation), ", ") + "\n";
      }
      for (const TransformLine& change : TransformLines(t)) {
        out += "      " + t.name + " " + change.table + " " + change.kind +
               (change.key.empty() ? "" : " " + change.key) + (change.text.empty() ? "" : ": " + change.text) + "\n";
      }
    }
    if (target.transforms.empty()) out += "    no transform of the patch is for this product\n";
  }
  for (const PackageVerdict& package : report.packages) {
    out += "Against " + package.path + " (" + package.productName + " " + package.productVersion + ", " +
           package.productCode + "):\n";
    if (!package.applies) {
      out += "  does not apply:\n";
      for (const std::string& failure : package.failures) out += "    " + failure + "\n";
      continue;
    }
    out += "  applies (transforms " + package.transformPair + "), brings it to " + package.newVersion + "\n";
    for (const ChangeLine& change : package.changes) out += "    " + change.kind + ": " + change.text + "\n";
    for (const std::string& finding : package.findings) out += "  ! " + finding + "\n";
  }
  for (const std::string& problem : report.problems) out += "Could not read: " + problem + "\n";
  // Texts of a damaged patch may hold any bytes; a report is UTF-8.
  return makepatch::ValidUtf8(out);
}

std::string JsonReport(const PatchReport& report) {
  JsonObject root;
  root.Text("file", report.file).Number("size", static_cast<std::int64_t>(report.fileSize));
  root.Text("patchCode", report.patchCode).Raw("obsoletes", JsonList(report.obsoletes));
  root.Text("title", report.Metadata("DisplayName").empty() ? report.subject : report.Metadata("DisplayName"));
  root.Text("description", report.Metadata("Description").empty() ? report.comments : report.Metadata("Description"));
  root.Text("classification", report.Metadata("Classification"));
  root.Text("manufacturer", report.Metadata("ManufacturerName").empty() ? report.author : report.Metadata("ManufacturerName"));
  root.Raw("created", report.created ? std::to_string(*report.created) : "null");
  const std::string allow = report.Metadata("AllowRemoval");
  root.Raw("removable", allow == "1" ? "true" : "false").Raw("removalBlockers", JsonList(report.removalBlockers));
  JsonObject metadata;
  for (const auto& [name, value] : report.metadata) metadata.Text(name, value);
  root.Raw("metadata", metadata.str());
  root.Raw("sequence", JsonArray(report.sequence, [](const SequenceReport& row) {
             return JsonObject()
                 .Text("family", row.family)
                 .Text("productCode", row.productCode)
                 .Text("sequence", row.sequence)
                 .Bool("supersedesEarlier", (row.attributes & 1) != 0)
                 .str();
           }));
  root.Bool("minorUpdateTargetRTM", report.Metadata("MinorUpdateTargetRTM") == "1");
  root.Raw("media", JsonObject()
                        .Raw("sources", JsonList(report.mediaSources))
                        .Raw("cabinets", JsonArray(report.cabinets, [](const CabinetReport& cabinet) {
                               return JsonObject()
                                   .Text("name", cabinet.name)
                                   .Number("size", static_cast<std::int64_t>(cabinet.size))
                                   .Raw("files", JsonArray(cabinet.files, [](const CarriedFile& file) {
                                          return JsonObject()
                                              .Text("key", file.key)
                                              .Number("size", static_cast<std::int64_t>(file.size))
                                              .Bool("delta", file.delta)
                                              .str();
                                        }))
                                   .Raw("problem", cabinet.problem.empty() ? "null" : Json(cabinet.problem))
                                   .str();
                             }))
                        .str());
  root.Raw("targets", JsonArray(report.targets, [&](const TargetReport& target) {
             std::vector<const TransformReport*> transforms;
             for (std::size_t i : target.transforms) transforms.push_back(&report.transforms[i]);
             return JsonObject()
                 .Text("productCode", target.productCode)
                 .Raw("transforms", JsonArray(transforms, [](const TransformReport* t) {
                        return JsonObject()
                            .Text("name", t->name)
                            .Bool("patchTransform", t->patchTransform)
                            .Raw("appliesTo", JsonObject().Text("productCode", t->oldProductCode).Text("version", t->oldVersion).str())
                            .Raw("brings", JsonObject().Text("productCode", t->newProductCode).Text("version", t->newVersion).str())
                            .Text("upgradeCode", t->upgradeCode)
                            .Number("validationFlags", t->validation)
                            .Raw("validation", JsonList(ValidationWords(t->validation)))
                            .Raw("ignores", JsonList(ErrorConditionWords(t->errorConditions)))
                            .Raw("changes", JsonArray(TransformLines(*t), [](const TransformLine& line) {
                                   return JsonObject()
                                       .Text("table", line.table)
                                       .Text("kind", line.kind)
                                       .Text("key", line.key)
                                       .Text("text", line.text)
                                       .str();
                                 }))
                            .Raw("problem", t->problem.empty() ? "null" : Json(t->problem))
                            .str();
                      }))
                 .str();
           }));
  if (report.hotfix) {
    const HotfixResources& hotfix = *report.hotfix;
    root.Raw("hotfix", JsonObject()
                           .Text("patchedVersion", hotfix.patchedVersion)
                           .Raw("applicableVersions", JsonList(hotfix.applicableVersions))
                           .Raw("languages", JsonArray(hotfix.languages, [](std::uint16_t id) {
                                  return JsonObject().Number("id", id).Text("tag", LanguageTag(id)).str();
                                }))
                           .Raw("descriptions", JsonList(hotfix.descriptions))
                           .str());
  } else {
    root.Raw("hotfix", "null");
  }
  root.Raw("packages", JsonArray(report.packages, [](const PackageVerdict& package) {
             return JsonObject()
                 .Text("path", package.path)
                 .Text("productCode", package.productCode)
                 .Text("productName", package.productName)
                 .Text("productVersion", package.productVersion)
                 .Bool("applies", package.applies)
                 .Text("transforms", package.transformPair)
                 .Text("newVersion", package.newVersion)
                 .Raw("failures", JsonList(package.failures))
                 .Raw("changes", JsonArray(package.changes, [](const ChangeLine& line) {
                        return JsonObject().Text("kind", line.kind).Text("text", line.text).str();
                      }))
                 .Raw("findings", JsonList(package.findings))
                 .str();
           }));
  root.Raw("problems", JsonList(report.problems));
  return makepatch::ValidUtf8(root.str() + "\n");
}

std::string HtmlReport(const PatchReport& report) {
  const std::string title = report.Metadata("DisplayName").empty() ? report.subject : report.Metadata("DisplayName");
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" + Html(title) +
      "</title>\n<style>\n"
      "body{font-family:sans-serif;margin:1.5em;color:#222;max-width:70em}\n"
      "h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #ccc}\n"
      "table{border-collapse:collapse;margin:.5em 0;width:100%}\n"
      "th,td{border:1px solid #bbb;padding:.25em .5em;text-align:left;vertical-align:top;font-size:.9em}\n"
      "th{background:#eef1f5;width:14em}td.k{white-space:nowrap}\n"
      ".warn{color:#a40000}.ok{color:#0a6b0a}code{font-size:.95em}\n"
      "</style></head><body>\n";
  out += "<h1>" + Html(title) + "</h1>\n<table>\n";
  out += Row2("Patch code", report.patchCode);
  out += Row2("File", report.file + " (" + std::to_string(report.fileSize) + " bytes)");
  out += Row2("Description", report.Metadata("Description").empty() ? report.comments : report.Metadata("Description"));
  out += Row2("Classification", report.Metadata("Classification"));
  out += Row2("Manufacturer", report.Metadata("ManufacturerName").empty() ? report.author : report.Metadata("ManufacturerName"));
  if (report.created) out += Row2("Created", TimeText(*report.created));
  out += Row2("Removable", Removable(report));
  for (const std::string& family : FamilyLines(report)) out += Row2("Family", family);
  out += Row2("Supersedes", Supersedes(report));
  out += Row2("Media source", Join(report.mediaSources, ", "));
  for (const std::string& cabinet : CabinetLines(report)) out += Row2("Cabinets", cabinet);
  if (report.hotfix) {
    out += Row2("Hotfix patches versions", Join(report.hotfix->applicableVersions, ", "));
    out += Row2("Hotfix brings version", report.hotfix->patchedVersion);
    std::vector<std::string> languages;
    for (std::uint16_t id : report.hotfix->languages) languages.push_back(LanguageTag(id));
    out += Row2("Messages in", Join(languages, ", "));
  }
  out += "</table>\n";
  for (const TargetReport& target : report.targets) {
    out += "<h2>Product " + Html(target.productCode) + "</h2>\n<table>\n";
    for (std::size_t i = 0; i < target.transforms.size(); ++i) {
      const TransformReport& t = report.transforms[target.transforms[i]];
      if (t.patchTransform) continue;
      out += Row2("Applies", Pair(report, target, i));
      out += Row2("Validates", Join(ValidationWords(t.validation), ", "));
    }
    for (const PackageVerdict& package : report.packages) {
      if (package.productCode != target.productCode) continue;
      const std::string head = package.path + " (" + package.productVersion + ")";
      if (!package.applies) {
        out += "<tr><th>" + Html(head) + "</th><td class=\"warn\">does not apply: " +
               Html(Join(package.failures, "; ")) + "</td></tr>\n";
        continue;
      }
      out += "<tr><th>" + Html(head) + "</th><td class=\"ok\">applies (" + Html(package.transformPair) +
             "), brings it to " + Html(package.newVersion) + "</td></tr>\n";
      for (const ChangeLine& change : package.changes) out += Row2(change.kind, change.text);
      for (const std::string& finding : package.findings) {
        out += "<tr><th>finding</th><td class=\"warn\">" + Html(finding) + "</td></tr>\n";
      }
    }
    for (std::size_t i : target.transforms) {
      const TransformReport& t = report.transforms[i];
      for (const TransformLine& change : TransformLines(t)) {
        const std::string text = change.key + (!change.key.empty() && !change.text.empty() ? ": " : "") + change.text;
        out += "<tr><td class=\"k\">" + Html(t.name + " " + change.table + " " + change.kind) + "</td><td>" +
               Html(text) + "</td></tr>\n";
      }
    }
    out += "</table>\n";
  }
  for (const PackageVerdict& package : report.packages) {
    bool targeted = false;
    for (const TargetReport& target : report.targets) targeted = targeted || target.productCode == package.productCode;
    if (targeted) continue;
    out += "<h2>" + Html(package.path) + "</h2>\n<p class=\"warn\">not a target of this patch: " +
           Html(Join(package.failures, "; ")) + "</p>\n";
  }
  if (!report.problems.empty()) {
    out += "<h2>Could not read</h2>\n<ul>\n";
    for (const std::string& problem : report.problems) out += "<li>" + Html(problem) + "</li>\n";
    out += "</ul>\n";
  }
  return makepatch::ValidUtf8(out + "</body></html>\n");
}

}  // namespace inspectpatch
