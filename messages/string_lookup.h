// Looking one string up in the program's string table (resource type 6),
// given the bytes of its blocks: which block and entry hold an id, which
// language the thread's locale asks for, and which carried variant of that
// language stands in when the table lacks it. The platform only finds the
// blocks; nothing here touches Windows or the last-error value.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/resources.h"

namespace hotfix {

inline constexpr int kStringsPerBlock = 16;

// String id n lives in block n / 16 + 1, entry n % 16. Like LoadStringW,
// only the low 16 bits of the id count.
std::uint16_t StringBlockId(std::uint32_t id);

// The locales a lookup starts from: the calling thread's, and the defaults
// that LOCALE_USER_DEFAULT (0x0400) and LOCALE_SYSTEM_DEFAULT (0x0800)
// stand for.
struct LookupLocales {
  std::uint32_t thread = 0;
  std::uint32_t userDefault = 0;
  std::uint32_t systemDefault = 0;
};

// The language the thread's locale names, 0x0400 and 0x0800 resolved to the
// user's and the system's default. Sort bits do not count.
std::uint16_t LookupLanguage(const LookupLocales& locales);

// The variant that stands in for a language the table does not carry: the
// same primary language in its default sublanguage (3082 Spanish, modern
// sort -> 1034; 2070 Portuguese, Portugal -> 1046; 2055 German,
// Switzerland -> 1031), and for Chinese the variant of the same script
// (Hong Kong and Macao -> 1028 traditional, Singapore -> 2052 simplified).
// Nothing when that is the language itself or no variant is close enough.
std::optional<std::uint16_t> StandInLanguage(std::uint16_t language);

// Finds one block of the table in exactly the language given; nothing when
// the table has no such block. The bytes must stay valid while in use.
using StringBlockFinder =
    std::function<std::optional<ResourceBytes>(std::uint16_t blockId, std::uint16_t language)>;

// Copies the id's entry of a block into buffer: at most capacity - 1 units
// and a terminator, never reading past the block's bytes. Returns the number
// of units copied (0 for an empty entry, and nothing written when capacity
// is not positive).
int CopyStringFromBlock(const ResourceBytes& block, std::uint32_t id, char16_t* buffer,
                        int capacity);

// The block of the locale's language, else that of its stand-in: copies the
// id's entry from the first that exists and returns the count, as
// CopyStringFromBlock does. Nothing when the table has neither block: the
// platform then chooses the language.
std::optional<int> LookUpString(const StringBlockFinder& findBlock, const LookupLocales& locales,
                                std::uint32_t id, char16_t* buffer, int capacity);

}  // namespace hotfix
