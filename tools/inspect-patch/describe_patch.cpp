#include <algorithm>
#include <set>

#include "msi/cabinet_check.h"
#include "msi/patch_error.h"
#include "msi/patch_plan.h"
#include "msi/standard_schema.h"
#include "msi/summary_information.h"
#include "patch_report.h"

namespace inspectpatch {
namespace {

using makepatch::Bytes;
using makepatch::Database;
using makepatch::PatchError;
using makepatch::RowChange;
using makepatch::Table;
using makepatch::TableChange;
using makepatch::Value;

const std::u16string kSummaryStream = u"\u0005SummaryInformation";

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(separator, start), text.size());
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::uint32_t Le(const Bytes& bytes, std::size_t at, unsigned width) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

// The files of a cabinet, from the same bounded check make-patch runs
// before extracting one: a damaged cabinet is told in its problem.
void ReadCabinet(const Bytes& bytes, CabinetReport& cabinet) {
  cabinet.size = bytes.size();
  try {
    const makepatch::CabinetShape shape =
        makepatch::CheckCabinet(makepatch::MemorySource(bytes), "", cabinet.name, makepatch::kCabinetKind);
    for (const makepatch::CabinetEntry& entry : shape.files) {
      cabinet.files.push_back(CarriedFile{entry.name, entry.size});
    }
  } catch (const makepatch::DamagedCabinet& damage) {
    cabinet.problem = damage.detail();
  }
}

std::string Text(const Table& table, const makepatch::Row& row, const char* column) {
  return makepatch::TextAt(table, row, column);
}

// The code page a storage's string pool names (its texts are in it).
std::uint32_t PoolCodepage(const std::map<std::u16string, Bytes>& streams) {
  const auto found = streams.find(makepatch::EncodeStreamName("_StringPool", true));
  if (found == streams.end() || found->second.size() < 4) return 0;
  return Le(found->second, 0, 2) | ((Le(found->second, 2, 2) & 0x7FFF) << 16);
}

// A TableChange as a Table of its rows, to read columns by name.
Table Shape(const TableChange& change) { return Table{change.table, change.columns, {}}; }

}  // namespace

std::string PatchReport::Metadata(const std::string& property) const {
  for (const auto& [name, value] : metadata) {
    if (name == property) return value;
  }
  return {};
}

std::vector<std::string> ValidationWords(std::int32_t flags) {
  static const std::pair<std::int32_t, const char*> words[] = {
      {0x0001, "language"},
      {0x0002, "product code"},
      {0x0004, "platform"},
      {0x0008, "major version"},
      {0x0010, "minor version"},
      {0x0020, "update version"},
      {0x0040, "installed version lower than the base"},
      {0x0080, "installed version lower than or equal to the base"},
      {0x0100, "installed version equal to the base"},
      {0x0200, "installed version greater than or equal to the base"},
      {0x0400, "installed version greater than the base"},
      {0x0800, "upgrade code"},
  };
  std::vector<std::string> out;
  for (const auto& [bit, word] : words) {
    if ((flags & bit) != 0) out.push_back(word);
  }
  return out;
}

std::vector<std::string> ErrorConditionWords(std::int32_t conditions) {
  static const std::pair<std::int32_t, const char*> words[] = {
      {0x0001, "adding an existing row"},   {0x0002, "deleting a missing row"},
      {0x0004, "adding an existing table"}, {0x0008, "deleting a missing table"},
      {0x0010, "updating a missing row"},   {0x0020, "a different code page"},
  };
  std::vector<std::string> out;
  for (const auto& [bit, word] : words) {
    if ((conditions & bit) != 0) out.push_back(word);
  }
  return out;
}

PatchReport DescribePatch(const StorageTree& storage, const std::string& file, std::uint64_t fileSize,
                          const std::function<makepatch::CodepageDecoder(std::uint32_t)>& decoderFor) {
  if (storage.classId == kDatabaseClassId) {
    throw PatchError(file + ": a product package (.msi), not a patch; name the patch first, then its old packages");
  }
  if (storage.classId == kTransformClassId) throw PatchError(file + ": a transform (.mst), not a patch");
  if (storage.classId != kPatchClassId) {
    throw PatchError(file + ": a compound file, but not a Windows Installer patch (its storage class is not a "
                     "patch's)");
  }
  PatchReport report;
  report.file = file;
  report.fileSize = fileSize;
  const auto summaryStream = storage.streams.find(kSummaryStream);
  if (summaryStream == storage.streams.end()) throw PatchError(file + ": a patch without summary information");
  makepatch::SummaryInfo summary;
  try {
    summary = makepatch::ParseSummaryInformation(summaryStream->second, decoderFor);
  } catch (const PatchError& error) {
    throw PatchError(file + ": " + error.what());
  }
  const auto text = [&](std::uint32_t pid) {
    const auto found = summary.texts.find(pid);
    return found == summary.texts.end() ? std::string() : found->second;
  };
  const std::vector<std::string> codes = Split(text(makepatch::kPidRevisionNumber), '}');
  for (std::size_t i = 0; i < codes.size(); ++i) {
    (i == 0 ? report.patchCode : report.obsoletes.emplace_back()) = codes[i] + "}";
  }
  report.title = text(makepatch::kPidTitle);
  report.subject = text(makepatch::kPidSubject);
  report.author = text(makepatch::kPidAuthor);
  report.comments = text(makepatch::kPidComments);
  if (summary.times.contains(makepatch::kPidCreateTime)) report.created = summary.times.at(makepatch::kPidCreateTime);
  if (summary.integers.contains(makepatch::kPidWordCount)) {
    report.wordCount = summary.integers.at(makepatch::kPidWordCount);
  }
  if (report.patchCode.size() != 38) report.problems.push_back("its Revision Number names no patch code");

  // The patch's own tables.
  try {
    std::vector<std::pair<std::string, std::string>> unreadable;
    const Database tables =
        makepatch::DecodeDatabase(storage.streams, decoderFor(PoolCodepage(storage.streams)), &unreadable);
    for (const auto& [table, why] : unreadable) report.problems.push_back("its " + table + " table: " + why);
    if (const Table* metadata = tables.FindTable("MsiPatchMetadata")) {
      for (const makepatch::Row& row : metadata->rows) {
        if (!Text(*metadata, row, "Company").empty()) continue;
        report.metadata.emplace_back(Text(*metadata, row, "Property"), Text(*metadata, row, "Value"));
      }
    }
    if (const Table* sequence = tables.FindTable("MsiPatchSequence")) {
      for (const makepatch::Row& row : sequence->rows) {
        report.sequence.push_back({Text(*sequence, row, "PatchFamily"), Text(*sequence, row, "ProductCode"),
                                   Text(*sequence, row, "Sequence"),
                                   makepatch::IntegerAt(*sequence, row, "Attributes")});
      }
    }
  } catch (const PatchError& error) {
    report.problems.push_back(std::string("its own tables: ") + error.what());
  }

  // The transforms, in the order the patch lists them.
  for (std::string name : Split(text(makepatch::kPidLastSavedBy), ';')) {
    if (!name.empty() && name.front() == ':') name.erase(0, 1);
    if (name.empty()) continue;
    TransformReport transform;
    transform.name = name;
    transform.patchTransform = name.front() == '#';
    const auto found = storage.storages.find(name);
    if (found == storage.storages.end()) {
      transform.problem = "the patch lists it, but does not hold it";
      report.problems.push_back("transform " + name + ": " + transform.problem);
      report.transforms.push_back(std::move(transform));
      continue;
    }
    try {
      const auto stream = found->second.streams.find(kSummaryStream);
      if (stream == found->second.streams.end()) throw PatchError("it has no summary information");
      const makepatch::SummaryInfo info = makepatch::ParseSummaryInformation(stream->second, decoderFor);
      const auto infoText = [&](std::uint32_t pid) {
        const auto at = info.texts.find(pid);
        return at == info.texts.end() ? std::string() : at->second;
      };
      const std::vector<std::string> states = Split(infoText(makepatch::kPidRevisionNumber), ';');
      const auto codeOf = [](const std::string& state) { return state.substr(0, std::min<std::size_t>(38, state.size())); };
      const auto versionOf = [](const std::string& state) { return state.size() > 38 ? state.substr(38) : ""; };
      if (!states.empty()) transform.oldProductCode = codeOf(states[0]), transform.oldVersion = versionOf(states[0]);
      if (states.size() > 1) transform.newProductCode = codeOf(states[1]), transform.newVersion = versionOf(states[1]);
      if (states.size() > 2) transform.upgradeCode = states[2];
      transform.oldTemplate = infoText(makepatch::kPidTemplate);
      transform.newTemplate = infoText(makepatch::kPidLastSavedBy);
      if (info.integers.contains(makepatch::kPidCharacterCount)) {
        const auto count = static_cast<std::uint32_t>(info.integers.at(makepatch::kPidCharacterCount));
        transform.validation = static_cast<std::int32_t>(count >> 16);
        transform.errorConditions = static_cast<std::int32_t>(count & 0xFFFF);
      }
      transform.content = makepatch::DecodeTransform(found->second.streams, makepatch::StandardColumns,
                                                     decoderFor(PoolCodepage(found->second.streams)));
      for (const auto& [table, why] : transform.content.unreadable) {
        report.problems.push_back("transform " + name + ", table " + table + ": " + why);
      }
    } catch (const PatchError& error) {
      transform.problem = error.what();
      report.problems.push_back("transform " + name + ": " + transform.problem);
    }
    report.transforms.push_back(std::move(transform));
  }

  // The targets: the products of Template, each with its pairs.
  for (const std::string& code : Split(text(makepatch::kPidTemplate), ';')) {
    TargetReport target{code, {}};
    for (std::size_t i = 0; i < report.transforms.size(); ++i) {
      const TransformReport& t = report.transforms[i];
      if (!t.patchTransform && t.oldProductCode == code) {
        target.transforms.push_back(i);
        if (i + 1 < report.transforms.size() && report.transforms[i + 1].patchTransform) target.transforms.push_back(i + 1);
      }
    }
    report.targets.push_back(std::move(target));
  }

  // Media, cabinets and the files they carry; what rules out removal.
  std::set<std::string> deltas;
  std::vector<std::string> cabinets;  // in the order of their Media rows
  for (const TransformReport& transform : report.transforms) {
    for (const TableChange& change : transform.content.changes) {
      const Table shape = Shape(change);
      for (const RowChange& row : change.rows) {
        if (row.kind == RowChange::Kind::kDelete) continue;
        if (change.table == "Media") {
          const std::string source = Text(shape, row.row, "Source");
          if (!source.empty() && std::find(report.mediaSources.begin(), report.mediaSources.end(), source) ==
                                     report.mediaSources.end()) {
            report.mediaSources.push_back(source);
          }
          std::string cabinet = Text(shape, row.row, "Cabinet");
          if (!cabinet.empty() && cabinet.front() == '#' &&
              std::find(cabinets.begin(), cabinets.end(), cabinet.substr(1)) == cabinets.end()) {
            cabinets.push_back(cabinet.substr(1));
          }
        } else if (change.table == "Patch") {
          deltas.insert(Text(shape, row.row, "File_"));
        }
      }
    }
    if (!transform.patchTransform) {
      for (std::string& blocker : makepatch::RowsThatBlockRemoval(transform.content.changes, "transform " + transform.name)) {
        report.removalBlockers.push_back(std::move(blocker));
      }
    }
  }
  for (const std::string& name : cabinets) {
    CabinetReport cabinet{name, 0, {}, {}};
    std::u16string encoded;
    try {
      encoded = makepatch::EncodeStreamName(name, false);
    } catch (const PatchError&) {
    }
    const auto stream = storage.streams.find(encoded);
    if (stream == storage.streams.end()) {
      cabinet.problem = "its Media row names it, but the patch does not hold it";
    } else {
      ReadCabinet(stream->second, cabinet);
      for (CarriedFile& carried : cabinet.files) carried.delta = deltas.contains(carried.key);
    }
    if (!cabinet.problem.empty()) report.problems.push_back("cabinet " + name + ": " + cabinet.problem);
    report.cabinets.push_back(std::move(cabinet));
  }
  return report;
}

}  // namespace inspectpatch
