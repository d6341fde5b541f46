// The three forms of a report: text for a person at a terminal, one JSON
// document for deployment tools, one self-contained HTML page (no scripts,
// nothing loaded from elsewhere) for a change board.
#pragma once

#include <string>
#include <vector>

#include "patch_report.h"

namespace inspectpatch {

// What a transform says, row by row, as lines: "added", "changed",
// "removed" rows per table, files by their names.
struct TransformLine {
  std::string table;
  std::string kind;  // "added", "changed", "removed", "table added", "table removed"
  std::string key;
  std::string text;  // the columns it writes, "Column = value, ..."
};
std::vector<TransformLine> TransformLines(const TransformReport& transform);

std::string TextReport(const PatchReport& report);
std::string JsonReport(const PatchReport& report);
std::string HtmlReport(const PatchReport& report);

}  // namespace inspectpatch
