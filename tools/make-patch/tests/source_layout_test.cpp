#include "msi/source_layout.h"

#include <gtest/gtest.h>

#include "msi/patch_error.h"
#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

Value T(const char* text) { return Value::Text(text); }

// TARGETDIR (SourceDir) > ProgramFiles64Folder (".") > KORVANTA (Korvanta,
// source name "Vendor" in short and long form) > INSTALLDIR
// (QUORVE~1|Quorvel Pro); quor.exe in Main, a.txt with the given
// attributes in Data (in INSTALLDIR too).
Database Package(std::int32_t dataAttributes) {
  Database db;
  db.tables["Directory"] = {"Directory",
                            {{"Directory", kKeyText}, {"Directory_Parent", kText}, {"DefaultDir", kText}},
                            {{T("TARGETDIR"), {}, T("SourceDir")},
                             {T("ProgramFiles64Folder"), T("TARGETDIR"), T(".")},
                             {T("KORVANTA"), T("ProgramFiles64Folder"), T("Korvanta:VENDOR|Vendor Files")},
                             {T("INSTALLDIR"), T("KORVANTA"), T("QUORVE~1|Quorvel Pro")}}};
  db.tables["Component"] = {"Component",
                            {{"Component", kKeyText}, {"Directory_", kText}},
                            {{T("Main"), T("INSTALLDIR")}, {T("Data"), T("INSTALLDIR")}}};
  db.tables["File"] = {"File",
                       {{"File", kKeyText}, {"Component_", kText}, {"FileName", kText}, {"Attributes", kShort}},
                       {{T("quor.exe"), T("Main"), T("quor.exe"), Value::Integer(512)},
                        {T("a.txt"), T("Data"), T("ALONGN~1.TXT|a long name.txt"), Value::Integer(dataAttributes)}}};
  return db;
}

TEST(PlanSourceLayoutTest, WhereEachFileIs) {
  struct Case {
    const char* what;
    std::int32_t wordCount;
    std::int32_t dataAttributes;
    std::set<std::string> compressed;
    std::vector<UncompressedFile> uncompressed;
  };
  const std::vector<std::string> quorLong = {"Vendor Files/Quorvel Pro/quor.exe", "VENDOR/QUORVE~1/quor.exe"};
  const std::vector<std::string> dataLong = {"Vendor Files/Quorvel Pro/a long name.txt",
                                             "VENDOR/QUORVE~1/ALONGN~1.TXT"};
  const Case cases[] = {
      {"compressed package: every file in a cabinet", 2, 0, {"a.txt", "quor.exe"}, {}},
      {"compressed package, a file marked uncompressed: at the root", 2, kFileAttributeNoncompressed, {"quor.exe"},
       {{"a.txt", {"a long name.txt", "ALONGN~1.TXT"}}}},
      {"uncompressed package, long names: the source tree", 0, 0, {},
       {{"quor.exe", quorLong}, {"a.txt", dataLong}}},
      {"uncompressed package, short names: short names first", 1, 0, {},
       {{"quor.exe", {quorLong[1], quorLong[0]}}, {"a.txt", {dataLong[1], dataLong[0]}}}},
      {"uncompressed package, a file marked compressed: in a cabinet", 0, kFileAttributeCompressed, {"a.txt"},
       {{"quor.exe", quorLong}}},
      {"administrative image: every file in the tree whatever its attributes", 4, kFileAttributeCompressed, {},
       {{"quor.exe", quorLong}, {"a.txt", dataLong}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SourceLayout layout = PlanSourceLayout(Package(c.dataAttributes), c.wordCount);
    EXPECT_EQ(layout.compressed, c.compressed);
    ASSERT_EQ(layout.uncompressed.size(), c.uncompressed.size());
    for (std::size_t i = 0; i < c.uncompressed.size(); ++i) {
      EXPECT_EQ(layout.uncompressed[i].key, c.uncompressed[i].key);
      EXPECT_EQ(layout.uncompressed[i].paths, c.uncompressed[i].paths);
    }
  }
}

TEST(PlanSourceLayoutTest, ABrokenTreeIsRefused) {
  Database missing = Package(0);
  missing.tables.at("Component").rows[1][1] = T("NOWHERE");
  EXPECT_THROW(PlanSourceLayout(missing, 0), PatchError);
  Database loop = Package(0);
  loop.tables.at("Directory").rows[1][1] = T("INSTALLDIR");
  try {
    PlanSourceLayout(loop, 0);
    ADD_FAILURE() << "a loop of parents was accepted";
  } catch (const PatchError& error) {
    EXPECT_NE(std::string(error.what()).find("form a loop"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace makepatch
