// The string lookup the program makes itself, before any platform choice:
// over small blocks made here, and over the compiled table it ships, for
// every language variant the sample patch targets.
#include "messages/string_lookup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/fake_installer.h"
#include "tests/fakes/res_file.h"
#include "tests/unit/shipped_resources.h"

namespace hotfix {
namespace {

using testing::CompiledResources;
using testing::FindString;
using testing::Narrow;
using testing::ResEntry;
using testing::ResId;

constexpr std::uint16_t kPlatformChooses = 0;

// The bytes of a block holding the given entries (the rest empty).
std::string BlockBytes(const std::vector<std::u16string>& entries) {
  std::string bytes;
  auto unit = [&bytes](std::uint32_t value) {
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
  };
  for (int i = 0; i < kStringsPerBlock; ++i) {
    const std::u16string text = i < static_cast<int>(entries.size()) ? entries[i] : u"";
    unit(static_cast<std::uint32_t>(text.size()));
    for (char16_t c : text) unit(c);
  }
  return bytes;
}

ResourceBytes View(const std::string& bytes) {
  return ResourceBytes{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

TEST(StringLookup, BlockAndEntryOfAnId) {
  const std::pair<std::uint32_t, std::uint16_t> kCases[] = {
      {0, 1}, {15, 1}, {16, 2}, {300, 19}, {316, 20}, {700, 44}, {900, 57}, {0xFFFF, 4096},
      {0x1012C, 19},  // like LoadStringW, only the low 16 bits count
  };
  for (const auto& [id, block] : kCases) EXPECT_EQ(StringBlockId(id), block) << "id " << id;
}

TEST(StringLookup, CopiesOneEntryWithinBlockAndBuffer) {
  const std::string block = BlockBytes({u"zero", u"", u"two units"});
  struct Case {
    std::string bytes;
    std::uint32_t id;
    int capacity;
    int count;
    std::u16string text;
    const char* reason;
  };
  const Case kCases[] = {
      {block, 0, 256, 4, u"zero", "the first entry"},
      {block, 2, 256, 9, u"two units", "walks past the entries before it"},
      {block, 0x12, 256, 9, u"two units", "the entry is the id modulo 16"},
      {block, 1, 256, 0, u"", "an empty entry"},
      {block, 15, 256, 0, u"", "the last entry of the block"},
      {block, 2, 4, 3, u"two", "capacity - 1 units and a terminator"},
      {block, 2, 1, 0, u"", "room for the terminator only"},
      {block.substr(0, 2 + 8 + 2 + 2 + 6), 2, 256, 3, u"two", "a block cut inside the entry"},
      {block.substr(0, 9), 2, 256, 0, u"", "a block cut before the entry"},
      {block.substr(0, 2 + 8 + 1), 0, 256, 4, u"zero", "an odd byte at the end is no unit"},
      {std::string(), 0, 256, 0, u"", "no bytes at all"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.reason);
    std::vector<char16_t> buffer(static_cast<std::size_t>(c.capacity) + 1, u'#');
    EXPECT_EQ(CopyStringFromBlock(View(c.bytes), c.id, buffer.data(), c.capacity), c.count);
    EXPECT_EQ(std::u16string(buffer.data()), c.text);
    EXPECT_EQ(buffer[c.capacity], u'#') << "written past the capacity";
  }

  char16_t untouched = u'#';
  EXPECT_EQ(CopyStringFromBlock(View(block), 0, &untouched, 0), 0);
  EXPECT_EQ(untouched, u'#') << "no room: nothing written";
}

TEST(StringLookup, LanguageOfTheLocale) {
  struct Case {
    LookupLocales locales;
    std::uint16_t language;
    const char* reason;
  };
  const Case kCases[] = {
      {{1031, 1041, 2052}, 1031, "the thread's own"},
      {{0x00010407, 1041, 2052}, 1031, "sort bits do not count"},
      {{0x0400, 3082, 1033}, 3082, "LOCALE_USER_DEFAULT is the user's default"},
      {{0x0800, 3082, 2070}, 2070, "LOCALE_SYSTEM_DEFAULT is the system's default"},
      {{0x0400, 0x00010407, 1033}, 1031, "the default's sort bits do not count either"},
  };
  for (const Case& c : kCases) EXPECT_EQ(LookupLanguage(c.locales), c.language) << c.reason;
}

TEST(StringLookup, StandInOfALanguage) {
  struct Case {
    std::uint16_t language;
    std::optional<std::uint16_t> standIn;
    const char* reason;
  };
  const Case kCases[] = {
      {3082, 1034, "Spanish, modern sort: Spanish"},
      {2070, 1046, "Portuguese, Portugal: Portuguese, Brazil"},
      {5127, 1031, "German, Liechtenstein: German"},
      {4108, 1036, "French, Switzerland: French"},
      {2057, 1033, "English, United Kingdom: English, United States"},
      {3076, 1028, "Chinese, Hong Kong: traditional"},
      {5124, 1028, "Chinese, Macao: traditional"},
      {0x7C04, 1028, "Chinese, traditional"},
      {4100, 2052, "Chinese, Singapore: simplified"},
      {0x0004, 2052, "Chinese, simplified"},
      {1028, std::nullopt, "Taiwan is the traditional variant itself"},
      {1031, std::nullopt, "German is its own variant"},
      {1055, std::nullopt, "Turkish is its own variant"},
      {2067, 1043, "Dutch, Belgium: Dutch, whether carried or not"},
      {0x081A, std::nullopt, "Serbian, Latin: Croatian stands in for no other language"},
      {0x0400, std::nullopt, "no primary language"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(StandInLanguage(c.language), c.standIn) << c.language << ": " << c.reason;
  }
}

// Looks up over the compiled table, recording which (block, language) pairs
// were asked for.
struct ShippedTable {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> asked;

  std::optional<int> LookUp(const LookupLocales& locales, std::uint32_t id, char16_t* buffer,
                            int capacity) {
    const StringBlockFinder find = [this](std::uint16_t blockId, std::uint16_t language) {
      asked.emplace_back(blockId, language);
      const ResEntry* entry = CompiledResources().Find(ResId::Number(testing::kResTypeString),
                                                       ResId::Number(blockId), language);
      std::optional<ResourceBytes> bytes;
      if (entry != nullptr) bytes = View(entry->bytes);
      return bytes;
    };
    return LookUpString(find, locales, id, buffer, capacity);
  }
};

struct VariantCase {
  LookupLocales locales;
  std::uint16_t tableLanguage;  // kPlatformChooses: the table lacks it and its stand-in
  const char* reason;
};

// What the user of each variant must read. The first 21 rows are the
// variants the sample patch targets, in the order of its Template.
const VariantCase kVariants[] = {
    {{1033}, 1033, "English"},
    {{1031}, 1031, "German"},
    {{1036}, 1036, "French"},
    {{1040}, 1040, "Italian"},
    {{3082}, 1034, "Spanish, modern sort: the Spanish of the table"},
    {{1041}, 1041, "Japanese"},
    {{1042}, 1042, "Korean"},
    {{1028}, 1028, "Chinese, Taiwan"},
    {{2052}, 2052, "Chinese, PRC"},
    {{1029}, 1029, "Czech"},
    {{1038}, 1038, "Hungarian"},
    {{1045}, 1045, "Polish"},
    {{1046}, 1046, "Portuguese, Brazil"},
    {{1049}, 1049, "Russian"},
    {{1030}, kPlatformChooses, "Danish is not carried"},
    {{1043}, kPlatformChooses, "Dutch is not carried"},
    {{1053}, kPlatformChooses, "Swedish is not carried"},
    {{1044}, kPlatformChooses, "Norwegian is not carried"},
    {{1035}, kPlatformChooses, "Finnish is not carried"},
    {{2070}, 1046, "Portuguese, Portugal: the Portuguese of the table"},
    {{1055}, kPlatformChooses, "Turkish is not carried"},
    // Further variants and the defaults.
    {{1034}, 1034, "Spanish, traditional sort, carried as it is"},
    {{2055}, 1031, "German, Switzerland"},
    {{3079}, 1031, "German, Austria"},
    {{4103}, 1031, "German, Luxembourg"},
    {{2060}, 1036, "French, Belgium"},
    {{3084}, 1036, "French, Canada"},
    {{5132}, 1036, "French, Luxembourg"},
    {{2064}, 1040, "Italian, Switzerland"},
    {{3076}, 1028, "Chinese, Hong Kong: traditional script"},
    {{5124}, 1028, "Chinese, Macao: traditional script"},
    {{4100}, 2052, "Chinese, Singapore: simplified script"},
    {{0x00010407}, 1031, "German with another sort order"},
    {{0x0400, 3082, 1033}, 1034, "the user's default, itself a variant"},
    {{0x0800, 1033, 2070}, 1046, "the system's default, itself a variant"},
    {{0x0400, 1043, 1031}, kPlatformChooses, "a default the table lacks"},
};

// Ids of the messages that are looked up in a product's language.
const std::uint32_t kMessageIds[] = {300, 301, 306, 307, 308, 309, 310,
                                     311, 312, 313, 315, 316};

TEST(StringLookup, EveryVariantReadsItsTableLanguage) {
  for (const VariantCase& c : kVariants) {
    SCOPED_TRACE("locale " + std::to_string(c.locales.thread) + ": " + c.reason);
    for (std::uint32_t id : kMessageIds) {
      ShippedTable table;
      char16_t buffer[256] = {};
      const std::optional<int> count = table.LookUp(c.locales, id, buffer, 256);
      if (c.tableLanguage == kPlatformChooses) {
        EXPECT_FALSE(count.has_value()) << "id " << id << ": " << Narrow(buffer);
        continue;
      }
      const std::optional<std::u16string> expected =
          FindString(CompiledResources(), c.tableLanguage, id);
      ASSERT_TRUE(expected.has_value()) << "id " << id;
      ASSERT_TRUE(count.has_value()) << "id " << id;
      EXPECT_EQ(*count, static_cast<int>(expected->size())) << "id " << id;
      EXPECT_TRUE(std::u16string(buffer) == *expected) << "id " << id << ": " << Narrow(buffer);
    }
  }
}

TEST(StringLookup, AsksForTheStandInOnlyWhenTheLanguageIsMissing) {
  struct Case {
    std::uint32_t locale;
    std::vector<std::uint16_t> languagesAsked;
    const char* reason;
  };
  const Case kCases[] = {
      {1031, {1031}, "a carried language: as before, nothing else is asked"},
      {2055, {2055, 1031}, "the variant, then German"},
      {1055, {1055}, "Turkish has no other variant to ask for"},
      {2067, {2067, 1043}, "Dutch of Belgium, then Dutch, which the table lacks too"},
      {0x0C00, {}, "a custom default names no language of the table"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.reason);
    ShippedTable table;
    char16_t buffer[256];
    table.LookUp({c.locale, 1033, 1033}, 301, buffer, 256);
    std::vector<std::pair<std::uint16_t, std::uint16_t>> expected;
    for (std::uint16_t language : c.languagesAsked) expected.emplace_back(19, language);
    EXPECT_EQ(table.asked, expected);
  }
}

}  // namespace
}  // namespace hotfix
