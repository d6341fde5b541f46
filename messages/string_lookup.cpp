#include "messages/string_lookup.h"

#include <algorithm>
#include <cstddef>

namespace hotfix {
namespace {

constexpr std::uint16_t kUserDefaultLanguage = 0x0400;
constexpr std::uint16_t kSystemDefaultLanguage = 0x0800;
constexpr std::uint16_t kSublanguageDefault = 1;
constexpr std::uint16_t kPrimaryChinese = 0x04;
constexpr std::uint16_t kChineseTraditional = 0x0404;  // Taiwan
constexpr std::uint16_t kChineseSimplified = 0x0804;   // PRC
// Croatian, Serbian and Bosnian share one primary language id: its default
// sublanguage is Croatian, which stands in for none of the others.
constexpr std::uint16_t kPrimaryCroatianSerbianBosnian = 0x1A;

std::uint16_t PrimaryLanguage(std::uint16_t language) { return language & 0x3FF; }
std::uint16_t Sublanguage(std::uint16_t language) { return language >> 10; }
std::uint16_t MakeLanguage(std::uint16_t primary, std::uint16_t sub) {
  return static_cast<std::uint16_t>((sub << 10) | primary);
}

// The variant of the same script: the sublanguages are Taiwan 1, PRC 2,
// Hong Kong 3, Singapore 4, Macao 5, and "traditional" 0x1F; 0 is
// "simplified".
std::optional<std::uint16_t> ChineseOfTheSameScript(std::uint16_t language) {
  switch (Sublanguage(language)) {
    case 0x01:
    case 0x03:
    case 0x05:
    case 0x1F:
      return kChineseTraditional;
    case 0x00:
    case 0x02:
    case 0x04:
      return kChineseSimplified;
    default:
      return std::nullopt;
  }
}

// Reads the 16-bit unit at an index of the block, whatever its alignment.
std::uint16_t UnitAt(const ResourceBytes& block, std::size_t index) {
  return static_cast<std::uint16_t>(block.data[2 * index] | (block.data[2 * index + 1] << 8));
}

}  // namespace

std::uint16_t StringBlockId(std::uint32_t id) {
  return static_cast<std::uint16_t>(((id & 0xFFFF) / kStringsPerBlock) + 1);
}

std::uint16_t LookupLanguage(const LookupLocales& locales) {
  const auto language = static_cast<std::uint16_t>(locales.thread & 0xFFFF);
  // GetThreadLocale may report the defaults as they were set rather than
  // what they stand for.
  if (language == kUserDefaultLanguage) {
    return static_cast<std::uint16_t>(locales.userDefault & 0xFFFF);
  }
  if (language == kSystemDefaultLanguage) {
    return static_cast<std::uint16_t>(locales.systemDefault & 0xFFFF);
  }
  return language;
}

std::optional<std::uint16_t> StandInLanguage(std::uint16_t language) {
  const std::uint16_t primary = PrimaryLanguage(language);
  std::optional<std::uint16_t> standIn;
  if (primary == kPrimaryChinese) {
    standIn = ChineseOfTheSameScript(language);
  } else if (primary != 0 && primary != kPrimaryCroatianSerbianBosnian) {
    standIn = MakeLanguage(primary, kSublanguageDefault);
  }
  if (standIn == language) return std::nullopt;
  return standIn;
}

int CopyStringFromBlock(const ResourceBytes& block, std::uint32_t id, char16_t* buffer,
                        int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  const std::size_t units = block.data == nullptr ? 0 : block.size / 2;
  // Sixteen counted strings one after another; walk to the id's own.
  std::size_t at = 0;
  for (std::uint32_t entry = 0; entry < (id % kStringsPerBlock) && at < units; ++entry) {
    at += 1 + UnitAt(block, at);
  }
  std::size_t length = 0;
  if (at < units) length = std::min<std::size_t>(UnitAt(block, at), units - at - 1);
  const std::size_t count = std::min(length, static_cast<std::size_t>(capacity - 1));
  for (std::size_t i = 0; i < count; ++i) {
    buffer[i] = static_cast<char16_t>(UnitAt(block, at + 1 + i));
  }
  buffer[count] = u'\0';
  return static_cast<int>(count);
}

std::optional<int> LookUpString(const StringBlockFinder& findBlock, const LookupLocales& locales,
                                std::uint32_t id, char16_t* buffer, int capacity) {
  const std::uint16_t language = LookupLanguage(locales);
  // A language without a primary language (a default left unresolved, a
  // custom locale) names no block of the table.
  if (PrimaryLanguage(language) == 0) return std::nullopt;
  const std::uint16_t blockId = StringBlockId(id);
  std::optional<ResourceBytes> block = findBlock(blockId, language);
  if (!block) {
    const std::optional<std::uint16_t> standIn = StandInLanguage(language);
    if (standIn) block = findBlock(blockId, *standIn);
  }
  if (!block) return std::nullopt;
  return CopyStringFromBlock(*block, id, buffer, capacity);
}

}  // namespace hotfix
