#include "msi/relinked_files.h"

#include <gtest/gtest.h>

#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

PackageFile Linked(std::uint8_t code, std::uint8_t linkTime, std::uint8_t signature) {
  PackageFile file{100, {code, linkTime, signature}, nullptr};
  file.buildStamps = BuildStampDigests{{code}, {{"link time", {linkTime}}, {"signature", {signature}}}};
  return file;
}

TEST(RelinkedFiles, LeavesOutAFileThatDiffersOnlyInItsStamps) {
  const struct {
    const char* what;
    PackageFile older, newer;
    const char* line;  // nullptr: carried
  } cases[] = {
      {"relinked", Linked(1, 1, 1), Linked(1, 2, 1), "a.dll: only its build stamps differ (link time): not carried"},
      {"relinked and signed again", Linked(1, 1, 1), Linked(1, 2, 2),
       "a.dll: only its build stamps differ (link time, signature): not carried"},
      {"changed code", Linked(1, 1, 1), Linked(2, 1, 1), nullptr},
      {"not a portable executable", PackageFile{100, {1}, nullptr}, PackageFile{100, {2}, nullptr}, nullptr},
  };
  for (const auto& c : cases) {
    PackagePair pair;
    for (Package* package : {&pair.older, &pair.newer}) {
      const bool old = package == &pair.older;
      package->files["a.dll"] = old ? c.older : c.newer;
      package->database.tables["File"] = {"File", {{"File", kKeyText}, {"FileSize", kLong}},
                                          {{Value::Text("a.dll"), Value::Integer(old ? 100 : 101)}}};
      package->database.tables["MsiFileHash"] = {"MsiFileHash", {{"File_", kKeyText}, {"HashPart1", kLong}},
                                                 {{Value::Text("a.dll"), Value::Integer(old ? 1 : 2)}}};
    }
    const std::vector<std::string> lines = LeaveOutRelinkedFiles(pair);
    EXPECT_EQ(lines, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{}) << c.what;
    // Left out, the file's rows are the old package's: the installed copy stays.
    for (const char* table : {"File", "MsiFileHash"}) {
      EXPECT_EQ(pair.newer.database.tables[table].rows == pair.older.database.tables[table].rows, c.line != nullptr)
          << c.what << ": " << table;
    }
    EXPECT_EQ(pair.newer.files.at("a.dll").SameBytes(pair.older.files.at("a.dll")), c.line != nullptr) << c.what;
  }
}

}  // namespace
}  // namespace makepatch
