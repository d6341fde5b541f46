#include "msi/codepage_pair.h"

#include "msi/patch_error.h"

namespace makepatch {
namespace {

std::string KeyOf(const Table& table, const Row& row) {
  std::string text;
  for (const Value& value : table.KeyOf(row)) text += (text.empty() ? "" : ", ") + value.KeyText();
  return "(" + text + ")";
}

}  // namespace

void RequireCompatibleCodepages(const PackagePair& pair, const std::string& label,
                                const std::function<CodepageEncoder(std::uint32_t)>& encoderFor) {
  const std::uint32_t oldPage = pair.older.database.codepage;
  const std::uint32_t newPage = pair.newer.database.codepage;
  if (oldPage == newPage) return;
  const CodepageEncoder fitsOld = encoderFor(oldPage);
  const CodepageEncoder fitsNew = encoderFor(newPage);
  for (const Package* package : {&pair.older, &pair.newer}) {
    for (const auto& [name, table] : package->database.tables) {
      for (const Row& row : table.rows) {
        for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
          const Value& value = row[i];
          if (value.kind != Value::Kind::kText) continue;
          const bool inOld = fitsOld(value.text).has_value();
          if (inOld && fitsNew(value.text)) continue;
          throw PatchError(label + ": the packages have different code pages (" + std::to_string(oldPage) + " and " +
                           std::to_string(newPage) + "), and the text \"" + value.text + "\" of " + package->path +
                           " (table " + name + ", row " + KeyOf(table, row) + ", column " + table.columns[i].name +
                           ") does not fit code page " + std::to_string(inOld ? newPage : oldPage) +
                           "; build both packages with the same code page");
        }
      }
    }
  }
}

}  // namespace makepatch
