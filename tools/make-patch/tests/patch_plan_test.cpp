#include "msi/patch_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "msi/patch_error.h"
#include "column_types.h"

namespace makepatch {
namespace {

using namespace testing;

const char kPatchCode[] = "{D3F58B26-A41C-4E97-B062-91C7E5A83F14}";
const char kUpgradeCode[] = "{5E0C3A71-2B9D-4F68-A1C4-93D7E2B60F15}";

std::string Code(const char* language) { return std::string("{7C4A19E2-6007-") + language + "-9B3D-4E81A6F25C07}"; }

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A product with two files: quor.exe (sequence 1) and quore.arx (2), both
// in cabinet #product.cab of disk 1.
Package Product(const std::string& code, const std::string& version, std::map<std::string, Bytes> files) {
  Package package;
  package.path = "product-" + version + ".msi";
  package.summaryTemplate = "x64;1033";
  package.pageCount = 200;
  package.database.codepage = 1252;
  Table property{"Property", {{"Property", kKeyText}, {"Value", kText}}, {}};
  for (const auto& [name, value] : std::map<std::string, std::string>{{"ProductCode", code},
                                                                       {"ProductVersion", version},
                                                                       {"UpgradeCode", kUpgradeCode},
                                                                       {"ProductName", "Quorvel"},
                                                                       {"Manufacturer", "Korvanta"}}) {
    property.rows.push_back({Value::Text(name), Value::Text(value)});
  }
  Table file{"File",
             {{"File", kKeyText}, {"Component_", kKeyText & ~kColumnKey}, {"FileName", kText},
              {"FileSize", kLong}, {"Version", kText}, {"Language", kText}, {"Attributes", kShort},
              {"Sequence", kLong}},
             {}};
  int sequence = 0;
  for (const auto& [key, bytes] : files) {
    file.rows.push_back({Value::Text(key), Value::Text("C"), Value::Text(key),
                         Value::Integer(static_cast<int>(bytes.size())), {}, {}, Value::Integer(512),
                         Value::Integer(++sequence)});
  }
  Table media{"Media",
              {{"DiskId", kColumnKey | kColumnNotBinary | kColumnValid | 2}, {"LastSequence", kLong},
               {"DiskPrompt", kText}, {"Cabinet", kText}, {"VolumeLabel", kText}, {"Source", kText}},
              {{Value::Integer(1), Value::Integer(sequence), {}, Value::Text("#product.cab"), {}, {}}}};
  package.database.tables = {{"Property", property}, {"File", file}, {"Media", media}};
  for (const auto& [key, bytes] : files) {
    // The reader's digest is a hash; the short texts here can stand for theirs.
    PackageFile file{bytes.size(), {}, std::make_shared<const FileContent>(FileContent{bytes, {}})};
    std::copy_n(bytes.begin(), std::min(bytes.size(), file.digest.size()), file.digest.begin());
    package.files.emplace(key, std::move(file));
  }
  return package;
}

PackagePair Pair(const std::string& code, const std::string& newArx) {
  return {Product(code, "5.2.0.0", {{"quor.exe", B("MZ")}, {"quore.arx", B("5.2.0.0")}}),
          Product(code, "5.2.1.0", {{"quor.exe", B("MZ")}, {"quore.arx", B(newArx)}})};
}

std::function<CodepageEncoder(std::uint32_t)> AsciiOnly() {
  return [](std::uint32_t) {
    return [](std::string_view text) -> std::optional<std::string> {
      for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
      }
      return std::string(text);
    };
  };
}

PatchOptions Options() {
  PatchOptions options;
  options.patchCode = kPatchCode;
  options.title = "Quorvel QF0523118";
  options.creationTime = 1300000000;
  return options;
}

const TableChange* Find(const PlannedTransform& transform, const std::string& table) {
  for (const TableChange& change : transform.changes) {
    if (change.table == table) return &change;
  }
  return nullptr;
}

TEST(PlanPatchTest, OneTransformAndOnePatchTransformPerPair) {
  const std::vector<PackagePair> pairs = {Pair(Code("0407"), "5.2.1.0"), Pair(Code("0409"), "5.2.1.0"),
                                          Pair(Code("040C"), "5.2.1.0 fr")};
  const PatchPlan plan = PlanPatch(pairs, Options(), AsciiOnly());

  EXPECT_EQ(plan.summary.texts.at(kPidTemplate), Code("0407") + ";" + Code("0409") + ";" + Code("040C"));
  EXPECT_EQ(plan.summary.texts.at(kPidLastSavedBy), ":T1;:#T1;:T2;:#T2;:T3;:#T3");
  EXPECT_EQ(plan.summary.texts.at(kPidRevisionNumber), kPatchCode);
  EXPECT_EQ(plan.summary.integers.at(kPidWordCount), 4);
  ASSERT_EQ(plan.transforms.size(), 6u);

  const PlannedTransform& diff = plan.transforms[0];
  EXPECT_EQ(diff.name, "T1");
  EXPECT_EQ(diff.summary.texts.at(kPidRevisionNumber),
            Code("0407") + "5.2.0.0;" + Code("0407") + "5.2.1.0;" + kUpgradeCode);
  EXPECT_EQ(diff.summary.integers.at(kPidCharacterCount), 0x0922001F);
  EXPECT_EQ(diff.summary.texts.at(kPidTemplate), "x64;1033");
  ASSERT_NE(Find(diff, "Property"), nullptr) << "the version changes";
  EXPECT_EQ(Find(diff, "Media"), nullptr) << "the new package's media are not the patch's";

  // The patch transform: the changed file after the old last sequence,
  // marked patch-added, on a new disk with the patch's cabinet.
  const PlannedTransform& own = plan.transforms[1];
  EXPECT_EQ(own.name, "#T1");
  EXPECT_EQ(own.summary.texts.at(kPidRevisionNumber),
            Code("0407") + "5.2.1.0;" + Code("0407") + "5.2.1.0;" + kUpgradeCode)
      << "its base is the state its partner leaves";
  EXPECT_EQ(own.summary.integers, diff.summary.integers) << "validated like its partner";
  const TableChange* files = Find(own, "File");
  ASSERT_NE(files, nullptr);
  ASSERT_EQ(files->rows.size(), 1u) << "quor.exe did not change";
  EXPECT_EQ(files->rows[0].row[0].text, "quore.arx");
  EXPECT_EQ(files->rows[0].row[6].integer, 512 | 0x1000);
  EXPECT_EQ(files->rows[0].row[7].integer, 3);
  const TableChange* media = Find(own, "Media");
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(media->rows.at(0).row,
            (Row{Value::Integer(2), Value::Integer(3), {}, Value::Text("#_D3F58B26A41C4E97B06291C7E5A83F14_1.cab"),
                 {}, Value::Text("_D3F58B26A41C4E97B06291C7E5A83F14")}));
  const TableChange* patchPackage = Find(own, "PatchPackage");
  ASSERT_NE(patchPackage, nullptr);
  EXPECT_EQ(patchPackage->kind, TableChange::Kind::kCreated);
  EXPECT_EQ(patchPackage->rows.at(0).row, (Row{Value::Text(kPatchCode), Value::Integer(2)}));

  // Pairs that carry the same bytes share a cabinet.
  ASSERT_EQ(plan.cabinets.size(), 2u);
  ASSERT_EQ(plan.cabinets[0].files.size(), 1u);
  EXPECT_EQ(plan.cabinets[0].files[0].first, "quore.arx");
  EXPECT_EQ(plan.cabinets[0].files[0].second->bytes, B("5.2.1.0"));
  EXPECT_EQ(Find(plan.transforms[3], "Media")->rows.at(0).row[3].text, "#_D3F58B26A41C4E97B06291C7E5A83F14_1.cab");
  EXPECT_EQ(Find(plan.transforms[5], "Media")->rows.at(0).row[3].text, "#_D3F58B26A41C4E97B06291C7E5A83F14_2.cab");

  EXPECT_EQ(plan.sequence.size(), 3u);
  EXPECT_EQ(plan.sequence[0].sequence, "5.2.1.0");
  EXPECT_EQ(plan.sequence[0].family, "PD3F58B26A41C4E97B06291C7E5A83F14");
  EXPECT_EQ(plan.sequence[0].attributes, 0);
  EXPECT_EQ(plan.metadata.at(0), (std::pair<std::string, std::string>{"AllowRemoval", "1"}));
  EXPECT_TRUE(plan.warnings.empty());
}

// A cumulative hotfix: machines have the product at 5.2.0.0 or 5.2.1.0.
TEST(PlanPatchTest, PairsForSeveralOldVersionsOfOneProduct) {
  const std::string code = Code("0407");
  PackagePair fromFirst = {Product(code, "5.2.0.0", {{"quor.exe", B("MZ")}, {"quore.arx", B("5.2.0.0")}}),
                           Product(code, "5.2.2.0", {{"quor.exe", B("MZ2")}, {"quore.arx", B("5.2.2.0")}})};
  PackagePair fromSecond = {Product(code, "5.2.1.0", {{"quor.exe", B("MZ")}, {"quore.arx", B("5.2.1.0")}}),
                            fromFirst.newer};
  PatchOptions options = Options();
  options.family = "QuorvelHotfixes";
  options.supersede = true;
  const PatchPlan plan = PlanPatch({fromFirst, fromSecond}, options, AsciiOnly());

  EXPECT_EQ(plan.summary.texts.at(kPidTemplate), code) << "each product once";
  EXPECT_EQ(plan.summary.texts.at(kPidLastSavedBy), ":T1;:#T1;:T2;:#T2");
  EXPECT_EQ(plan.transforms[2].summary.texts.at(kPidRevisionNumber),
            code + "5.2.1.0;" + code + "5.2.2.0;" + kUpgradeCode);
  ASSERT_EQ(plan.sequence.size(), 1u) << "one row per family and product";
  EXPECT_EQ(plan.sequence[0].family, "QuorvelHotfixes");
  EXPECT_EQ(plan.sequence[0].sequence, "5.2.2.0");
  EXPECT_EQ(plan.sequence[0].attributes, kSequenceSupersedeEarlier);
  EXPECT_NE(std::find(plan.metadata.begin(), plan.metadata.end(),
                      std::pair<std::string, std::string>{"MinorUpdateTargetRTM", "1"}),
            plan.metadata.end());

  // Each pair's media on a disk and sequence range of its own, so that the
  // two never overlap whichever pairs an installer applies.
  const auto& first = Find(plan.transforms[1], "Media")->rows.at(0).row;
  const auto& second = Find(plan.transforms[3], "Media")->rows.at(0).row;
  EXPECT_EQ(first[0].integer, 2);
  EXPECT_EQ(first[1].integer, 4) << "quor.exe and quore.arx after sequence 2";
  EXPECT_EQ(second[0].integer, 3);
  EXPECT_EQ(second[1].integer, 6);
  EXPECT_EQ(Find(plan.transforms[3], "File")->rows.at(0).row[7].integer, 5);
  EXPECT_EQ(plan.cabinets.size(), 1u) << "both pairs carry the same two files";
}

// A changed file that travels as a delta stays on the product's own media;
// the patch's media carry its delta, which a Patch row names and PatchFiles
// applies. A key too long to name the header's stream puts the header into
// MsiPatchHeaders.
TEST(PlanPatchTest, ADeltaTravelsAsAPatchRow) {
  struct Case {
    std::string key;
    bool headerInRow;
  };
  for (const Case& c : {Case{"quore.arx", true}, Case{"quorvel_add_in_registry_of_this_edition_for_every_language.arx", false}}) {
    const std::string code = Code("0407");
    PackagePair pair = {Product(code, "5.2.0.0", {{"quor.exe", B("MZ")}, {c.key, B("5.2.0.0")}}),
                        Product(code, "5.2.1.0", {{"quor.exe", B("MZ")}, {c.key, B("5.2.1.0")}})};
    Table sequence{"InstallExecuteSequence", {{"Action", kKeyText}, {"Condition", kText}, {"Sequence", kShort}},
                   {{Value::Text("InstallFiles"), {}, Value::Integer(4000)}}};
    pair.older.database.tables.emplace(sequence.name, sequence);
    pair.newer.database.tables.emplace(sequence.name, sequence);
    const auto delta = std::make_shared<const FileContent>(FileContent{B("PA19 delta"), {}});
    pair.deltas[c.key] = {delta, 10, Digest{1}, B("PA19 head")};
    const PatchPlan plan = PlanPatch({pair}, Options(), AsciiOnly());

    const PlannedTransform& own = plan.transforms[1];
    EXPECT_EQ(Find(own, "File"), nullptr) << c.key << ": the file stays on the product's media";
    const TableChange* patch = Find(own, "Patch");
    ASSERT_NE(patch, nullptr) << c.key;
    EXPECT_EQ(patch->kind, TableChange::Kind::kCreated);
    const Row& row = patch->rows.at(0).row;
    EXPECT_EQ(row[0].text, c.key);
    EXPECT_EQ(row[1].integer, 3) << "after the product's last sequence, in the patch's media";
    EXPECT_EQ(row[2].integer, 10) << "PatchSize";
    EXPECT_EQ(Find(own, "Media")->rows.at(0).row[1].integer, 3) << "the media's LastSequence";
    const TableChange* headers = Find(own, "MsiPatchHeaders");
    if (c.headerInRow) {
      EXPECT_EQ(row[4].bytes, B("PA19 head"));
      EXPECT_EQ(headers, nullptr);
    } else {
      EXPECT_TRUE(row[4].IsNull());
      ASSERT_NE(headers, nullptr);
      EXPECT_EQ(headers->rows.at(0).row, (Row{row[5], Value::Binary(B("PA19 head"))}));
    }
    const TableChange* actions = Find(own, "InstallExecuteSequence");
    ASSERT_NE(actions, nullptr) << "the product has no PatchFiles action";
    EXPECT_EQ(actions->rows.at(0).row, (Row{Value::Text("PatchFiles"), {}, Value::Integer(4090)}));
    EXPECT_EQ(plan.cabinets.at(0).files.at(0).second, delta) << "the cabinet carries the delta";
  }
}

TEST(PlanPatchTest, RemovalFollowsWhatTheTransformsAdd) {
  struct Case {
    Removal removal;
    bool addsCreateFolder;
    const char* allowRemoval;  // nullptr: refused
    std::size_t warnings;
    const char* why;
  };
  const Case cases[] = {
      {Removal::kWhenPossible, false, "1", 0, "removable by default"},
      {Removal::kNever, false, "0", 0, "--no-removal"},
      {Removal::kRequired, false, "1", 0, "--allow-removal on a patch that can be removed"},
      {Removal::kWhenPossible, true, "0", 1, "a CreateFolder row makes it not removable, with a warning"},
      {Removal::kNever, true, "0", 0, "not removable anyway: nothing to warn about"},
      {Removal::kRequired, true, nullptr, 0, "--allow-removal refuses what cannot be removed"},
  };
  for (const Case& c : cases) {
    PackagePair pair = Pair(Code("0407"), "5.2.1.0");
    Table createFolder{"CreateFolder", {{"Directory_", kKeyText}, {"Component_", kKeyText}}, {}};
    pair.older.database.tables.emplace("CreateFolder", createFolder);
    if (c.addsCreateFolder) createFolder.rows.push_back({Value::Text("LOGS"), Value::Text("C")});
    pair.newer.database.tables.emplace("CreateFolder", createFolder);
    PatchOptions options = Options();
    options.removal = c.removal;
    try {
      const PatchPlan plan = PlanPatch({pair}, options, AsciiOnly());
      EXPECT_NE(c.allowRemoval, nullptr) << c.why;
      EXPECT_EQ(plan.metadata.at(0).second, c.allowRemoval ? c.allowRemoval : "") << c.why;
      ASSERT_EQ(plan.warnings.size(), c.warnings) << c.why;
      if (c.warnings > 0) {
        EXPECT_NE(plan.warnings[0].find("adds the row (LOGS, C) to the CreateFolder table"), std::string::npos)
            << plan.warnings[0];
      }
    } catch (const PatchError& error) {
      EXPECT_EQ(c.allowRemoval, nullptr) << c.why << ": " << error.what();
      EXPECT_NE(std::string(error.what()).find("cannot be uninstalled"), std::string::npos) << error.what();
    }
  }
}

TEST(PlanPatchTest, ANewFileIsCarriedToo) {
  PackagePair pair = Pair(Code("0407"), "5.2.0.0");
  pair.newer = Product(Code("0407"), "5.2.1.0",
                       {{"quor.exe", B("MZ")}, {"quore.arx", B("5.2.0.0")}, {"readme.txt", B("new")}});
  const PatchPlan plan = PlanPatch({pair}, Options(), AsciiOnly());
  const TableChange* inserted = Find(plan.transforms[0], "File");
  ASSERT_NE(inserted, nullptr);
  EXPECT_EQ(inserted->rows.at(0).kind, RowChange::Kind::kInsert);
  ASSERT_EQ(plan.cabinets.size(), 1u);
  EXPECT_EQ(plan.cabinets[0].files.at(0).first, "readme.txt");
}

TEST(PlanPatchTest, RuleWarningsTravelWithThePlan) {
  PackagePair pair = Pair(Code("0407"), "5.2.1.0");
  pair.newer.database.tables["Feature"] = {
      "Feature", {{"Feature", kKeyText}, {"Feature_Parent", kText}}, {{Value::Text("Tools"), {}}}};
  const PatchPlan plan = PlanPatch({pair}, Options(), AsciiOnly());
  ASSERT_EQ(plan.warnings.size(), 1u);
  EXPECT_EQ(plan.warnings[0].rfind("pair 1 (product-5.2.0.0.msi, product-5.2.1.0.msi): Feature row Tools is a new "
                                   "top-level feature", 0), 0u) << plan.warnings[0];
}

// Wine reads a transform's streams from the patch's storage, which it keeps
// open only for media with a cabinet: a pair that changes a Binary row and
// no file gets an empty one.
TEST(PlanPatchTest, AChangedStreamTravelsWithACabinet) {
  PackagePair pair = Pair(Code("0407"), "5.2.0.0");
  for (auto [package, script] : {std::pair{&pair.older, "first"}, std::pair{&pair.newer, "second"}}) {
    package->database.tables["Binary"] = {
        "Binary", {{"Name", kKeyText}, {"Data", kStream}}, {{Value::Text("Script"), Value::Binary(B(script))}}};
  }
  const PatchPlan plan = PlanPatch({pair}, Options(), AsciiOnly());
  ASSERT_EQ(plan.cabinets.size(), 1u);
  EXPECT_TRUE(plan.cabinets[0].files.empty());
  const TableChange* media = Find(plan.transforms[1], "Media");
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(TextAt(Table{"Media", media->columns, {}}, media->rows.at(0).row, "Cabinet"),
            "#" + plan.cabinets[0].streamName);
}

// Packages of other authoring tools: the neutral code page against a real
// one is no change while every text fits both; the patch keeps the old one.
TEST(PlanPatchTest, CodepagesDifferOnlyWhereEveryTextFitsBoth) {
  const auto neutralIsAscii = [](std::uint32_t codepage) -> CodepageEncoder {
    return [codepage](std::string_view text) -> std::optional<std::string> {
      if (codepage == 0 && std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) {
        return std::nullopt;
      }
      return std::string(text);
    };
  };
  struct Case {
    std::uint32_t oldPage, newPage;
    const char* productName;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {0, 1252, "Quorvel", nullptr},
      {65001, 0, "Quorvel", nullptr},
      {0, 1252, "Quorvel B\xc3\xbcro",
       "pair 1 (product-5.2.0.0.msi, product-5.2.1.0.msi): the packages have different code pages (0 and 1252), and "
       "the text \"Quorvel B\xc3\xbcro\" of product-5.2.1.0.msi (table Property, row (ProductName), column Value) "
       "does not fit code page 0"},
  };
  for (const Case& c : cases) {
    PackagePair pair = Pair(Code("0407"), "5.2.1.0");
    pair.older.database.codepage = c.oldPage;
    pair.newer.database.codepage = c.newPage;
    for (Row& row : pair.newer.database.tables.at("Property").rows) {
      if (row[0].text == "ProductName") row[1] = Value::Text(c.productName);
    }
    try {
      const PatchPlan plan = PlanPatch({pair}, Options(), neutralIsAscii);
      EXPECT_EQ(c.refusal, nullptr) << "accepted " << c.productName;
      EXPECT_EQ(plan.codepage, c.oldPage);
      for (const PlannedTransform& transform : plan.transforms) EXPECT_EQ(transform.codepage, c.oldPage);
    } catch (const PatchError& error) {
      ASSERT_NE(c.refusal, nullptr) << error.what();
      EXPECT_EQ(std::string(error.what()).rfind(c.refusal, 0), 0u) << error.what();
    }
  }
}

TEST(PlanPatchTest, RefusesPairsThatCannotMakeAPatch) {
  struct Case {
    std::function<void(std::vector<PackagePair>&, PatchOptions&)> spoil;
    const char* message;
  };
  const auto features = [](Package& package, std::vector<Row> rows) {
    package.database.tables["Feature"] = {"Feature", {{"Feature", kKeyText}, {"Feature_Parent", kText}}, std::move(rows)};
  };
  const auto setProperty = [](Package& package, const char* name, const char* value) {
    for (Row& row : package.database.tables.at("Property").rows) {
      if (row[0].text == name) row[1] = Value::Text(value);
    }
  };
  const Case cases[] = {
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "ProductCode", "{00000000-0000-0000-0000-000000000000}"); },
       "the product codes differ"},
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "UpgradeCode", "{00000000-0000-0000-0000-000000000000}"); },
       "the upgrade codes differ"},
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "ProductVersion", "5.2.0.0"); },
       "is version 5.2.0.0, the same as"},
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "ProductVersion", "5.1"); }, "a patch cannot go back"},
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "ProductVersion", "5.2.x"); }, "is not a version"},
      {[&](auto& pairs, auto&) { setProperty(pairs[0].newer, "ProductVersion", "5.2.0.7"); },
       "differ only in the fourth field"},
      {[&](auto& pairs, auto&) { pairs.push_back(pairs[0]); }, "is the old package of two pairs"},
      {[&](auto& pairs, auto&) {
         pairs.push_back(pairs[0]);
         setProperty(pairs[1].older, "ProductVersion", "5.2.0.3");
       },
       "Windows Installer cannot tell them apart"},
      {[&](auto& pairs, auto&) {
         pairs.push_back(pairs[0]);
         setProperty(pairs[1].older, "ProductVersion", "5.1.0.0");
         setProperty(pairs[1].newer, "ProductVersion", "5.2.2.0");
       },
       "have different versions"},
      {[&](auto& pairs, auto&) {
         for (Package* package : {&pairs[0].older, &pairs[0].newer}) {
           for (Row& row : package->database.tables.at("File").rows) {
             if (row[0].text == "quore.arx") row[4] = Value::Text("1.0.0.0");
           }
         }
       },
       "Windows Installer would keep the installed copy"},
      {[&](auto& pairs, auto&) { pairs[0].newer.files.erase("quore.arx"); }, "is not in any cabinet"},
      {[&](auto& pairs, auto&) {
         features(pairs[0].older, {{Value::Text("Main"), {}}, {Value::Text("Extras"), Value::Text("Main")}});
         features(pairs[0].newer, {{Value::Text("Extras"), {}}});
       },
       "pair 1 (product-5.2.0.0.msi, product-5.2.1.0.msi): Feature row Main is removed while its child feature"},
      {[&](auto&, auto& options) { options.patchCode = "{d3f58b26-a41c-4e97-b062-91c7e5a83f14}"; },
       "upper-case hexadecimal"},
      {[&](auto&, auto& options) { options.title = "Quorvel B\xc3\xbcro"; }, "does not fit code page 1252"},
      {[&](auto&, auto& options) { options.family = "1st"; }, "is not an identifier"},
      {[&](auto& pairs, auto&) { pairs[0].older.loose.storages["1033"] = {}; },
       "pair 1 (product-5.2.0.0.msi, product-5.2.1.0.msi): the substorage (an embedded transform or package) 1033 "
       "is gone from the new package"},
  };
  for (const Case& c : cases) {
    std::vector<PackagePair> pairs = {Pair(Code("0407"), "5.2.1.0")};
    PatchOptions options = Options();
    c.spoil(pairs, options);
    try {
      PlanPatch(pairs, options, AsciiOnly());
      ADD_FAILURE() << "accepted, expected: " << c.message;
    } catch (const PatchError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace makepatch
