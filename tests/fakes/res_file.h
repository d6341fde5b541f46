// Reads a compiled Win32 resource file (.res) and serves it as the module
// resources of a test, so the tests see exactly the texts the program ships.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "messages/string_lookup.h"
#include "platform/resources.h"

namespace hotfix::testing {

inline constexpr std::uint16_t kResTypeIcon = 3;
inline constexpr std::uint16_t kResTypeString = 6;
inline constexpr std::uint16_t kResTypeGroupIcon = 14;
inline constexpr std::uint16_t kResTypeVersion = 16;
inline constexpr std::uint16_t kResTypeManifest = 24;
inline constexpr std::uint16_t kLanguageEnglishUs = 1033;

// A resource type or name: a number, or a text as stored (windres stores
// names in upper case).
struct ResId {
  std::optional<std::uint16_t> number;
  std::u16string text;

  static ResId Number(std::uint16_t value) { return ResId{value, {}}; }
  static ResId Text(std::u16string value) { return ResId{std::nullopt, std::move(value)}; }
  // How FindResourceW reads a lookup text: "#206" is the number 206, any
  // other text is a name.
  static ResId FromLookupText(const std::u16string& text);

  bool IsNumber() const { return number.has_value(); }
  // Numbers by value, texts ignoring ASCII letter case, as Windows compares
  // resource names.
  bool Matches(const ResId& other) const;
  bool operator==(const ResId& other) const = default;
};

// Printable form for failure messages: "6" or "\"IDR_MSP\"".
std::string Describe(const ResId& id);

struct ResEntry {
  ResId type;
  ResId name;
  std::uint16_t language = 0;
  std::uint16_t memoryFlags = 0;
  std::string bytes;
};

struct ResFile {
  std::vector<ResEntry> entries;  // in file order

  // Every entry of that type and name, in file order.
  std::vector<const ResEntry*> FindAll(const ResId& type, const ResId& name) const;
  std::vector<const ResEntry*> FindAllOfType(const ResId& type) const;
  const ResEntry* Find(const ResId& type, const ResId& name, std::uint16_t language) const;
};

// Parses the bytes of a .res file: a sequence of DWORD-aligned entries, each a
// RESOURCEHEADER followed by its data. The empty entry that opens every .res
// file is dropped. On malformed input returns nothing and, when error is
// given, says where parsing stopped.
std::optional<ResFile> ParseResFile(std::string_view bytes, std::string* error = nullptr);

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);
std::optional<ResFile> LoadResFile(const std::string& path, std::string* error = nullptr);

// The sixteen strings of one block (each a length in 16-bit units followed by
// that many units, no terminator); nothing when the block is cut short.
std::optional<std::array<std::u16string, kStringsPerBlock>> DecodeStringBlock(
    std::string_view bytes);
// The non-empty strings of the table, by (language, id). Blocks that cannot
// be decoded are left out.
std::map<std::pair<std::uint16_t, std::uint32_t>, std::u16string> CollectStrings(
    const ResFile& file);
// One string in one language; nothing when its block is absent in that
// language or the string is empty there.
std::optional<std::u16string> FindString(const ResFile& file, std::uint16_t language,
                                         std::uint32_t id);

// ModuleResources over a loaded .res file.
//
// Strings are looked up as the program's own adapter does (LookUpString),
// with English (1033) as the platform's choice where the table carries
// neither the current language nor its stand-in; a string that is empty in
// the chosen block is not looked for elsewhere. Other resources are
// looked up by type and name; of several language entries the current
// language's is preferred, then the neutral one, then English, then the first.
//
// Bytes handed out point into the entries and stay valid until the entries
// are changed.
class ResFileResources : public ModuleResources {
 public:
  explicit ResFileResources(ResFile file) : file_(std::move(file)) {}

  // The calling thread's locale (for instance a FakeThreadState's). Only its
  // low 16 bits, the language, count; kLocaleUserDefault means
  // userDefaultLanguage, 0x0800 systemDefaultLanguage. Unset means English.
  std::function<std::uint32_t()> currentLanguage;
  std::uint16_t userDefaultLanguage = kLanguageEnglishUs;
  std::uint16_t systemDefaultLanguage = kLanguageEnglishUs;
  // When set, lookups through any other module find nothing.
  std::optional<ModuleHandle> expectedModule;
  // Forced failure points by (type, name), both as passed to FindResourceBytes.
  std::map<std::pair<std::u16string, std::u16string>, ResourceStatus> forcedStatus;

  // What was asked for, in order.
  std::vector<std::pair<std::u16string, std::u16string>> lookups;  // (type, name)
  std::vector<std::uint32_t> loadedIds;

  ResFile& file() { return file_; }
  const ResFile& file() const { return file_; }
  // The language strings are looked up in right now.
  std::uint16_t EffectiveLanguage() const;

  ResourceStatus FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                   const std::u16string& type, ResourceBytes& bytes) override;
  int LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) override;

 private:
  bool ModuleMatches(ModuleHandle module) const;
  LookupLocales Locales() const;

  ResFile file_;
};

}  // namespace hotfix::testing
