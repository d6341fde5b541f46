// Checks the compiled resource script: the message table in every language,
// the manifest, the icon group and the embedded payload, read from the very
// .res file that is linked into hotfix.exe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/res_file.h"
#include "tests/unit/shipped_resources.h"

namespace hotfix::testing {
namespace {

constexpr std::uint16_t kLanguages[] = {1028, 1029, 1031, 1033, 1034, 1036, 1038,
                                        1040, 1041, 1042, 1045, 1046, 1049, 2052};
constexpr std::uint16_t kPayloadLanguage = 1046;
// Every caller loads through 256 units, terminator included.
constexpr std::size_t kMaxLoadedUnits = 255;
constexpr std::uint32_t kPatchedVersionId = 700;
constexpr std::uint32_t kApplicableVersionsId = 900;

const std::string kSamplePackage = std::string(HOTFIX_PATCH_FILE);
const std::string kSampleDescription =
    std::string(HOTFIX_DESCRIPTION_FILE);

struct MessageCase {
  std::uint32_t id;
  std::u16string placeholders;  // the conversions in order, as written
  std::u16string english;
};

const MessageCase kMessages[] = {
    {300, u"%d",
     u"A problem prevented the hotfix from being installed. Contact your system administrator. "
     u"\n\n Error Code: %d"},
    {301, u"", u"The hotfix has been successfully installed."},
    {306, u"%s", u"Your version of %s is up-to-date and this hotfix is not necessary"},
    {307, u"",
     u"The hotfix could not be installed because the expected Korvanta product could not be "
     u"located on your computer.\nMake sure that you are using the correct hotfix for the "
     u"product."},
    {308, u"%s",
     u"This hotfix could not be installed because it is not designed for the version of %s that "
     u"is installed on your computer."},
    {309, u"", u"The command line that you supplied is incorrect. Please check it for errors."},
    {310, u"",
     u"You must supply a patch list with the command line to install this hotfix installation."},
    {311, u"", u"Installation Error"},
    {312, u"", u"Installation Successful"},
    {313, u"", u"Installation Unnecessary"},
    {315, u"%s%s",
     u"The installer has detected that the following programs\nare running.\n\n%s\nIn order to "
     u"complete installation, these programs must\nbe closed.\n%s"},
    {316, u"", u"The following applications should be closed before continuing the install:"},
};

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Every "%" with the character after it, in order: "%s%s" for 315. Anything
// but %d and %s (including "%%") would make wsprintfW read or print something
// the caller never meant.
std::u16string Conversions(const std::u16string& text) {
  std::u16string found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') continue;
    found.push_back(u'%');
    if (i + 1 < text.size()) found.push_back(text[++i]);
  }
  return found;
}

std::size_t Count(const std::u16string& text, char16_t unit) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), unit));
}

std::vector<std::u16string> Lines(const std::u16string& text) {
  std::vector<std::u16string> lines(1);
  for (char16_t unit : text) {
    if (unit == u'\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(unit);
    }
  }
  return lines;
}

const ResFile& Compiled() { return CompiledResources(); }

std::string ReadOrFail(const std::string& path) {
  std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) ADD_FAILURE() << "cannot read " << path;
  return bytes.value_or(std::string{});
}

TEST(StringTable, EnglishTextsAreExact) {
  for (const MessageCase& message : kMessages) {
    SCOPED_TRACE("id " + std::to_string(message.id));
    std::optional<std::u16string> text = FindString(Compiled(), kLanguageEnglishUs, message.id);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(Utf8(*text), Utf8(message.english));
  }
}

TEST(StringTable, EveryLanguageCarriesEveryMessageWithItsPlaceholders) {
  for (std::uint16_t language : kLanguages) {
    for (const MessageCase& message : kMessages) {
      SCOPED_TRACE("language " + std::to_string(language) + ", id " + std::to_string(message.id));
      std::optional<std::u16string> text = FindString(Compiled(), language, message.id);
      ASSERT_TRUE(text.has_value()) << "missing or empty";
      EXPECT_LE(text->size(), kMaxLoadedUnits) << "would arrive cut short";
      EXPECT_EQ(Utf8(Conversions(*text)), Utf8(message.placeholders)) << Utf8(*text);
      // Line breaks are part of the layout of a message box.
      EXPECT_EQ(Count(*text, u'\n'), Count(message.english, u'\n')) << Utf8(*text);
      EXPECT_EQ(Count(*text, u'\r'), 0u) << Utf8(*text);
    }
  }
}

struct TextRule {
  std::uint32_t id;
  const char* reason;
  std::function<bool(const std::u16string&)> holds;
};

const TextRule kTextRules[] = {
    {307, "names the maker with the same word as English",
     [](const std::u16string& t) { return t.find(u"Korvanta") != std::u16string::npos; }},
    {316, "travels inside a quoted installer property, which a quote would end",
     [](const std::u16string& t) { return Count(t, u'"') == 0; }},
    {315, "the programs found stand on their own line after an empty one; the text ends "
          "with a line feed and the empty second argument",
     [](const std::u16string& t) {
       const std::vector<std::u16string> lines = Lines(t);
       return lines.size() == 7 && !lines[0].empty() && !lines[1].empty() && lines[2].empty() &&
              lines[3] == u"%s" && !lines[4].empty() && !lines[5].empty() && lines[6] == u"%s";
     }},
    {300, "the error code follows after an empty line",
     [](const std::u16string& t) {
       const std::vector<std::u16string> lines = Lines(t);
       return lines.size() == 3 && !lines[0].empty() && lines[1].empty() &&
              lines[2].find(u"%d") != std::u16string::npos;
     }},
};

TEST(StringTable, TranslationsKeepWhatTheCallersRelyOn) {
  for (const TextRule& rule : kTextRules) {
    for (std::uint16_t language : kLanguages) {
      SCOPED_TRACE("language " + std::to_string(language) + ", id " + std::to_string(rule.id));
      std::optional<std::u16string> text = FindString(Compiled(), language, rule.id);
      ASSERT_TRUE(text.has_value());
      EXPECT_TRUE(rule.holds(*text)) << rule.reason << ": " << Utf8(*text);
    }
  }
}

TEST(StringTable, CarriesNoOtherIdsOrLanguages) {
  std::set<std::pair<std::uint16_t, std::uint32_t>> expected;
  for (std::uint16_t language : kLanguages) {
    for (const MessageCase& message : kMessages) expected.insert({language, message.id});
  }
  expected.insert({kLanguageEnglishUs, kPatchedVersionId});
  expected.insert({kLanguageEnglishUs, kApplicableVersionsId});

  std::set<std::pair<std::uint16_t, std::uint32_t>> carried;
  for (const auto& [key, text] : CollectStrings(Compiled())) carried.insert(key);
  EXPECT_EQ(carried, expected);

  // A block that does not decode would be skipped above and hidden.
  for (const ResEntry* entry : Compiled().FindAllOfType(ResId::Number(kResTypeString))) {
    EXPECT_TRUE(DecodeStringBlock(entry->bytes).has_value())
        << "block " << Describe(entry->name) << " language " << entry->language;
  }
}

TEST(StringTable, VersionTextsAreFoundWhateverTheLanguage) {
  ResFileResources resources(Compiled());
  for (std::uint16_t language : kLanguages) {
    SCOPED_TRACE("language " + std::to_string(language));
    resources.currentLanguage = [language] { return language; };
    for (std::uint32_t id : {kPatchedVersionId, kApplicableVersionsId}) {
      char16_t buffer[256] = {};
      EXPECT_GT(resources.LoadStringW(nullptr, id, buffer, 256), 0) << "id " << id;
      if (language != kLanguageEnglishUs) {
        EXPECT_FALSE(FindString(Compiled(), language, id).has_value())
            << "id " << id << " exists in English only";
      }
    }
  }
}

TEST(StringTable, ManifestAsksForTheHighestAvailablePrivileges) {
  const std::vector<const ResEntry*> manifests =
      Compiled().FindAllOfType(ResId::Number(kResTypeManifest));
  ASSERT_EQ(manifests.size(), 1u);
  EXPECT_EQ(manifests[0]->name, ResId::Number(1));
  EXPECT_EQ(manifests[0]->language, kLanguageEnglishUs);

  struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    int depth;
  };
  // The start tags with their nesting depth; text between tags must be blank.
  std::vector<Element> elements;
  const std::string& xml = manifests[0]->bytes;
  int depth = 0;
  bool wellFormed = true;
  std::size_t at = 0;
  while (wellFormed && at < xml.size()) {
    const std::size_t open = xml.find('<', at);
    const std::string between = xml.substr(at, open == std::string::npos ? open : open - at);
    wellFormed = between.find_first_not_of(" \t\r\n") == std::string::npos;
    if (open == std::string::npos) break;
    const std::string_view rest = std::string_view(xml).substr(open);
    if (rest.starts_with("<?")) {
      at = xml.find("?>", open);
      at = at == std::string::npos ? xml.size() : at + 2;
      continue;
    }
    const std::size_t close = xml.find('>', open);
    if (close == std::string::npos || rest.starts_with("<!")) {
      wellFormed = false;
      break;
    }
    at = close + 1;
    std::string tag = xml.substr(open + 1, close - open - 1);
    if (tag.starts_with("/")) {
      --depth;
      continue;
    }
    const bool selfClosing = tag.ends_with("/");
    if (selfClosing) tag.pop_back();
    Element element{tag.substr(0, tag.find_first_of(" \t\r\n")), {}, depth};
    static const std::regex kAttribute(R"re(\s+([A-Za-z:]+)="([^"]*)")re");
    const std::string attributes = tag.substr(element.name.size());
    for (std::sregex_iterator it(attributes.begin(), attributes.end(), kAttribute), end;
         it != end; ++it) {
      element.attributes[(*it)[1]] = (*it)[2];
    }
    elements.push_back(element);
    if (!selfClosing) ++depth;
  }
  EXPECT_TRUE(wellFormed);
  EXPECT_EQ(depth, 0) << "unbalanced tags";

  const std::vector<Element> expected = {
      {"assembly",
       {{"xmlns", "urn:schemas-microsoft-com:asm.v1"}, {"manifestVersion", "1.0"}},
       0},
      {"trustInfo", {{"xmlns", "urn:schemas-microsoft-com:asm.v2"}}, 1},
      {"security", {}, 2},
      {"requestedPrivileges", {}, 3},
      {"requestedExecutionLevel", {{"level", "highestAvailable"}, {"uiAccess", "False"}}, 4},
  };
  ASSERT_EQ(elements.size(), expected.size()) << xml;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(elements[i].name, expected[i].name);
    EXPECT_EQ(elements[i].attributes, expected[i].attributes) << expected[i].name;
    EXPECT_EQ(elements[i].depth, expected[i].depth) << expected[i].name;
  }
}

std::uint32_t Little(const std::string& bytes, std::size_t offset, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes.at(offset + i));
  }
  return value;
}

TEST(StringTable, IconGroupListsNineImagesInOrder) {
  struct Image {
    std::uint32_t size;
    std::uint32_t bits;
    std::uint32_t colourCount;  // 0 for 256 colours and more
  };
  const Image kImages[] = {{48, 4, 16}, {32, 4, 16}, {16, 4, 16}, {48, 8, 0}, {32, 8, 0},
                           {16, 8, 0},  {48, 24, 0}, {32, 24, 0}, {16, 24, 0}};

  const std::vector<const ResEntry*> groups =
      Compiled().FindAllOfType(ResId::Number(kResTypeGroupIcon));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]->name, ResId::Text(u"IDR_MAINFRAME")) << "looked up by its text";
  EXPECT_EQ(groups[0]->language, kLanguageEnglishUs);

  const std::string& group = groups[0]->bytes;
  ASSERT_EQ(group.size(), 6u + 14u * std::size(kImages));
  EXPECT_EQ(Little(group, 0, 2), 0u);
  EXPECT_EQ(Little(group, 2, 2), 1u) << "an icon, not a cursor";
  EXPECT_EQ(Little(group, 4, 2), std::size(kImages));
  EXPECT_EQ(Compiled().FindAllOfType(ResId::Number(kResTypeIcon)).size(), std::size(kImages));

  for (std::size_t i = 0; i < std::size(kImages); ++i) {
    SCOPED_TRACE("image " + std::to_string(i + 1));
    const std::size_t entry = 6 + 14 * i;
    EXPECT_EQ(Little(group, entry + 0, 1), kImages[i].size);
    EXPECT_EQ(Little(group, entry + 1, 1), kImages[i].size);
    EXPECT_EQ(Little(group, entry + 2, 1), kImages[i].colourCount);
    EXPECT_EQ(Little(group, entry + 4, 2), 1u) << "planes";
    EXPECT_EQ(Little(group, entry + 6, 2), kImages[i].bits);
    const std::uint32_t id = Little(group, entry + 12, 2);
    EXPECT_EQ(id, i + 1);

    const ResEntry* icon = Compiled().Find(ResId::Number(kResTypeIcon),
                                           ResId::Number(static_cast<std::uint16_t>(id)),
                                           kLanguageEnglishUs);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(Little(group, entry + 8, 4), icon->bytes.size());
    ASSERT_GE(icon->bytes.size(), 40u);
    EXPECT_EQ(Little(icon->bytes, 0, 4), 40u) << "BITMAPINFOHEADER";
    EXPECT_EQ(Little(icon->bytes, 4, 4), kImages[i].size);
    EXPECT_EQ(Little(icon->bytes, 8, 4), 2 * kImages[i].size) << "colour bitmap and mask";
    EXPECT_EQ(Little(icon->bytes, 14, 2), kImages[i].bits);
  }
}

TEST(StringTable, CarriesNoVersionInformation) {
  EXPECT_TRUE(Compiled().FindAllOfType(ResId::Number(kResTypeVersion)).empty());
}

TEST(StringTable, PayloadIsTheCommittedSample) {
  struct Payload {
    ResId type;
    ResId name;
    std::string file;
  };
  const Payload kPayloads[] = {
      {ResId::Text(u"MSP"), ResId::Text(u"IDR_MSP"), kSamplePackage},
      {ResId::Text(u"TXT"), ResId::Number(206), kSampleDescription},
  };
  for (const Payload& payload : kPayloads) {
    SCOPED_TRACE(Describe(payload.type) + "/" + Describe(payload.name));
    const std::vector<const ResEntry*> entries = Compiled().FindAll(payload.type, payload.name);
    ASSERT_EQ(entries.size(), 1u) << "one language entry, so a lookup naming none finds it";
    EXPECT_EQ(entries[0]->language, kPayloadLanguage);
    EXPECT_TRUE(entries[0]->bytes == ReadOrFail(payload.file)) << "differs from " << payload.file;
  }
  EXPECT_TRUE(Compiled().FindAll(ResId::Text(u"TXT"), ResId::Number(207)).empty())
      << "the sample has one description block";
}

TEST(StringTable, SamplePackageIsACompoundFile) {
  const std::string package = ReadOrFail(kSamplePackage);
  EXPECT_TRUE(package.starts_with("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"));
  EXPECT_EQ(package.size() % 512, 0u);
}

TEST(StringTable, DescriptionBlockHasItsLayout) {
  const std::string block = ReadOrFail(kSampleDescription);
  ASSERT_TRUE(block.ends_with("\r\n"));
  EXPECT_FALSE(block.starts_with("\xEF\xBB\xBF")) << "no byte-order mark";
  for (char c : block) {
    ASSERT_TRUE(static_cast<unsigned char>(c) < 0x80 && c != '\0') << "8-bit ASCII text";
  }

  std::vector<std::string> lines;
  for (std::size_t at = 0; at < block.size();) {
    const std::size_t end = block.find("\r\n", at);
    lines.push_back(block.substr(at, end - at));
    at = end + 2;
  }
  const std::string guid = R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})";
  // Doubled backslashes: four before the server, two between the names.
  const std::string share = R"(\\\\\\\\\w+(\\\\\w+)+\\\\)";
  const std::string ftp = R"(ftp://\w+(/\w+)+/)";
  struct Line {
    std::string key;
    std::string valueForm;
    const char* reason;
  };
  const Line kLines[] = {
      {"ProductCode", guid, "the first code of the package's Template"},
      {"ProductVersionCandidate", R"(\d+\.\d+\.\d+\.\d+)", "the version after patching"},
      {"PatchTitle", R"(Quorvel .+ (19|20)\d\d [A-Z]{2}\d{7})", "product, edition, year, id"},
      {"PatchGUID", guid, "the patch's own code"},
      {"PatchFileLocation", share + R"(\w+\.exe or )" + ftp + R"(\w+\.exe)",
       "where the hotfix is published"},
      {"PatchSize", R"([1-9]\d*)", "a number of bytes"},
      {"PatchDesc", R"(.*Quorvel.*)", "names the product"},
      {"PatchDescLocation", share + R"(\w+\.html or )" + ftp + R"(\w+\.html)", "the readme page"},
  };
  ASSERT_EQ(lines.size(), std::size(kLines));
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < std::size(kLines); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos) << "a bare CR or LF";
    const std::string prefix = kLines[i].key + "=";
    ASSERT_TRUE(lines[i].starts_with(prefix)) << "expected key " << kLines[i].key;
    const std::string value = lines[i].substr(prefix.size());
    EXPECT_TRUE(std::regex_match(value, std::regex(kLines[i].valueForm))) << kLines[i].reason;
    values[kLines[i].key] = value;
  }

  std::optional<std::u16string> patched =
      FindString(Compiled(), kLanguageEnglishUs, kPatchedVersionId);
  ASSERT_TRUE(patched.has_value());
  EXPECT_EQ(values["ProductVersionCandidate"], Utf8(*patched)) << "the same text as string 700";
  EXPECT_EQ(values["PatchSize"], std::to_string(ReadOrFail(kSamplePackage).size()))
      << "the real size of the package it describes";
}

// The reader serves other tests too: the language it picks must follow the
// rules of LoadStringW.
TEST(StringTableReader, LoadsInTheThreadLanguageOrFallsBackToEnglish) {
  struct Case {
    std::uint32_t locale;
    std::uint16_t userDefault;
    std::uint32_t id;
    std::uint16_t expectedLanguage;
    const char* reason;
  };
  const Case kCases[] = {
      {1031, 1033, 300, 1031, "a carried language is used"},
      {0x00010407, 1033, 301, 1031, "sort bits of the locale do not matter"},
      {1055, 1033, 300, 1033, "Turkish is not carried: English"},
      {0x0400, 1036, 311, 1036, "LOCALE_USER_DEFAULT means the user's language"},
      {2052, 1033, 316, 2052, "the sublanguage tells the two Chinese tables apart"},
      {1041, 1033, 700, 1033, "version texts exist in English only"},
  };
  ResFileResources resources(Compiled());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.reason);
    resources.currentLanguage = [&c] { return c.locale; };
    resources.userDefaultLanguage = c.userDefault;
    std::optional<std::u16string> expected = FindString(Compiled(), c.expectedLanguage, c.id);
    ASSERT_TRUE(expected.has_value());
    char16_t buffer[256];
    const int count = resources.LoadStringW(nullptr, c.id, buffer, 256);
    EXPECT_EQ(count, static_cast<int>(expected->size()));
    EXPECT_EQ(Utf8(std::u16string(buffer)), Utf8(*expected));
  }
}

TEST(StringTableReader, CutsToTheCapacityAndReportsMissingIds) {
  ResFileResources resources(Compiled());
  char16_t buffer[8];
  EXPECT_EQ(resources.LoadStringW(nullptr, 311, buffer, 8), 7) << "capacity - 1 units";
  EXPECT_EQ(std::u16string(buffer), u"Install");
  EXPECT_EQ(resources.LoadStringW(nullptr, 314, buffer, 8), 0) << "in a block, but empty";
  EXPECT_EQ(resources.LoadStringW(nullptr, 5000, buffer, 8), 0) << "no such block";
  EXPECT_EQ(resources.LoadStringW(nullptr, 311, buffer, 0), 0) << "no room at all";
}

TEST(StringTableReader, FindsResourcesByTypeAndName) {
  struct Case {
    std::u16string name;
    std::u16string type;
    ResourceStatus expected;
    const char* reason;
  };
  const Case kCases[] = {
      {u"IDR_MSP", u"MSP", ResourceStatus::kFound, "named entry in a named type"},
      {u"idr_msp", u"msp", ResourceStatus::kFound, "names ignore letter case"},
      {u"#206", u"TXT", ResourceStatus::kFound, "#206 is the numeric id 206"},
      {u"#207", u"TXT", ResourceStatus::kMissing, "the first missing block ends the list"},
      {u"206", u"TXT", ResourceStatus::kMissing, "without # it is a name, not a number"},
      {u"IDR_MSP", u"TXT", ResourceStatus::kMissing, "right name, wrong type"},
  };
  ResFileResources resources(Compiled());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.reason);
    ResourceBytes bytes;
    EXPECT_EQ(resources.FindResourceBytes(nullptr, c.name, c.type, bytes), c.expected);
    EXPECT_EQ(bytes.size == 0, c.expected != ResourceStatus::kFound);
  }

  ResourceBytes bytes;
  ASSERT_EQ(resources.FindResourceBytes(nullptr, u"#206", u"TXT", bytes), ResourceStatus::kFound);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data), bytes.size),
            ReadOrFail(kSampleDescription));

  int module = 0;
  resources.expectedModule = &module;
  EXPECT_EQ(resources.FindResourceBytes(nullptr, u"IDR_MSP", u"MSP", bytes),
            ResourceStatus::kMissing)
      << "another module's resources are not this program's";
  resources.forcedStatus[{u"MSP", u"IDR_MSP"}] = ResourceStatus::kLockFailed;
  EXPECT_EQ(resources.FindResourceBytes(&module, u"IDR_MSP", u"MSP", bytes),
            ResourceStatus::kLockFailed);
}

}  // namespace
}  // namespace hotfix::testing
