#include "tests/fakes/res_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace hotfix::testing {

namespace {

constexpr std::uint16_t kOrdinalMarker = 0xFFFF;
constexpr std::uint16_t kLanguageNeutral = 0;
// DataSize, HeaderSize, two ordinals, then DataVersion, MemoryFlags,
// LanguageId, Version, Characteristics.
constexpr std::size_t kSmallestHeader = 32;

std::size_t AlignToDword(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

char16_t UpperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c; }

// Little-endian reads within [0, end) of the bytes.
class Reader {
 public:
  Reader(std::string_view bytes, std::size_t end) : bytes_(bytes), end_(end) {}

  bool Word(std::size_t& offset, std::uint16_t& value) const {
    if (offset + 2 > end_) return false;
    value = static_cast<std::uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
    offset += 2;
    return true;
  }

  bool Dword(std::size_t& offset, std::uint32_t& value) const {
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    if (!Word(offset, low) || !Word(offset, high)) return false;
    value = low | (static_cast<std::uint32_t>(high) << 16);
    return true;
  }

  // A type or name field: 0xFFFF and a number, or a zero-terminated text.
  bool Id(std::size_t& offset, ResId& id) const {
    std::uint16_t first = 0;
    if (!Word(offset, first)) return false;
    if (first == kOrdinalMarker) {
      std::uint16_t number = 0;
      if (!Word(offset, number)) return false;
      id = ResId::Number(number);
      return true;
    }
    std::u16string text;
    for (std::uint16_t unit = first; unit != 0;) {
      text.push_back(static_cast<char16_t>(unit));
      if (!Word(offset, unit)) return false;
    }
    id = ResId::Text(std::move(text));
    return true;
  }

 private:
  unsigned Byte(std::size_t offset) const { return static_cast<unsigned char>(bytes_[offset]); }

  std::string_view bytes_;
  std::size_t end_;
};

bool Fail(std::string* error, std::size_t offset, const char* what) {
  if (error != nullptr) {
    std::ostringstream message;
    message << "entry at offset " << offset << ": " << what;
    *error = message.str();
  }
  return false;
}

bool ParseEntry(std::string_view bytes, std::size_t& offset, std::optional<ResEntry>& entry,
                std::string* error) {
  const std::size_t start = offset;
  Reader whole(bytes, bytes.size());
  std::uint32_t dataSize = 0;
  std::uint32_t headerSize = 0;
  std::size_t at = start;
  if (!whole.Dword(at, dataSize) || !whole.Dword(at, headerSize)) {
    return Fail(error, start, "header cut short");
  }
  if (headerSize < kSmallestHeader || headerSize > bytes.size() - start) {
    return Fail(error, start, "header size out of range");
  }
  if (dataSize > bytes.size() - start - headerSize) {
    return Fail(error, start, "data runs past the end of the file");
  }

  const std::size_t headerEnd = start + headerSize;
  Reader header(bytes, headerEnd);
  ResEntry parsed;
  std::uint32_t dataVersion = 0;
  std::uint32_t version = 0;
  std::uint32_t characteristics = 0;
  if (!header.Id(at, parsed.type) || !header.Id(at, parsed.name)) {
    return Fail(error, start, "type or name runs past the header");
  }
  at = AlignToDword(at);
  if (!header.Dword(at, dataVersion) || !header.Word(at, parsed.memoryFlags) ||
      !header.Word(at, parsed.language) || !header.Dword(at, version) ||
      !header.Dword(at, characteristics)) {
    return Fail(error, start, "fixed fields run past the header");
  }
  parsed.bytes.assign(bytes.substr(headerEnd, dataSize));
  offset = AlignToDword(headerEnd + dataSize);

  // Every .res file opens with an empty entry of type 0 and name 0 that
  // only marks the format.
  const bool marker = dataSize == 0 && parsed.type == ResId::Number(0) &&
                      parsed.name == ResId::Number(0);
  entry.reset();
  if (!marker) entry = std::move(parsed);
  return true;
}

}  // namespace

ResId ResId::FromLookupText(const std::u16string& text) {
  if (text.size() > 1 && text[0] == u'#') {
    std::uint32_t value = 0;
    bool digits = true;
    for (std::size_t i = 1; i < text.size() && digits; ++i) {
      digits = text[i] >= u'0' && text[i] <= u'9';
      value = value * 10 + static_cast<std::uint32_t>(text[i] - u'0');
      digits = digits && value <= 0xFFFF;
    }
    if (digits) return Number(static_cast<std::uint16_t>(value));
  }
  return Text(text);
}

bool ResId::Matches(const ResId& other) const {
  if (IsNumber() || other.IsNumber()) return number == other.number;
  return std::equal(text.begin(), text.end(), other.text.begin(), other.text.end(),
                    [](char16_t a, char16_t b) { return UpperAscii(a) == UpperAscii(b); });
}

std::string Describe(const ResId& id) {
  if (id.IsNumber()) return std::to_string(*id.number);
  std::string text = "\"";
  for (char16_t unit : id.text) {
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text + "\"";
}

std::vector<const ResEntry*> ResFile::FindAll(const ResId& type, const ResId& name) const {
  std::vector<const ResEntry*> found;
  for (const ResEntry& entry : entries) {
    if (entry.type.Matches(type) && entry.name.Matches(name)) found.push_back(&entry);
  }
  return found;
}

std::vector<const ResEntry*> ResFile::FindAllOfType(const ResId& type) const {
  std::vector<const ResEntry*> found;
  for (const ResEntry& entry : entries) {
    if (entry.type.Matches(type)) found.push_back(&entry);
  }
  return found;
}

const ResEntry* ResFile::Find(const ResId& type, const ResId& name,
                              std::uint16_t language) const {
  for (const ResEntry* entry : FindAll(type, name)) {
    if (entry->language == language) return entry;
  }
  return nullptr;
}

std::optional<ResFile> ParseResFile(std::string_view bytes, std::string* error) {
  ResFile file;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    // Padding after the last entry is not another entry.
    if (std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end(),
                    [](char c) { return c == 0; })) {
      break;
    }
    std::optional<ResEntry> entry;
    if (!ParseEntry(bytes, offset, entry, error)) return std::nullopt;
    if (entry) file.entries.push_back(std::move(*entry));
  }
  return file;
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::optional<ResFile> LoadResFile(const std::string& path, std::string* error) {
  std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) {
    if (error != nullptr) *error = "cannot read " + path;
    return std::nullopt;
  }
  return ParseResFile(*bytes, error);
}

std::optional<std::array<std::u16string, kStringsPerBlock>> DecodeStringBlock(
    std::string_view bytes) {
  std::array<std::u16string, kStringsPerBlock> strings;
  Reader reader(bytes, bytes.size());
  std::size_t offset = 0;
  for (std::u16string& text : strings) {
    std::uint16_t length = 0;
    if (!reader.Word(offset, length)) return std::nullopt;
    for (std::uint16_t i = 0; i < length; ++i) {
      std::uint16_t unit = 0;
      if (!reader.Word(offset, unit)) return std::nullopt;
      text.push_back(static_cast<char16_t>(unit));
    }
  }
  return strings;
}

std::map<std::pair<std::uint16_t, std::uint32_t>, std::u16string> CollectStrings(
    const ResFile& file) {
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::u16string> strings;
  for (const ResEntry* entry : file.FindAllOfType(ResId::Number(kResTypeString))) {
    if (!entry->name.IsNumber() || *entry->name.number == 0) continue;
    auto block = DecodeStringBlock(entry->bytes);
    if (!block) continue;
    const std::uint32_t first = (static_cast<std::uint32_t>(*entry->name.number) - 1) *
                                kStringsPerBlock;
    for (int i = 0; i < kStringsPerBlock; ++i) {
      if (!(*block)[i].empty()) strings[{entry->language, first + i}] = (*block)[i];
    }
  }
  return strings;
}

std::optional<std::u16string> FindString(const ResFile& file, std::uint16_t language,
                                         std::uint32_t id) {
  const ResEntry* entry = file.Find(ResId::Number(kResTypeString),
                                    ResId::Number(StringBlockId(id)), language);
  if (entry == nullptr) return std::nullopt;
  auto block = DecodeStringBlock(entry->bytes);
  if (!block || (*block)[id % kStringsPerBlock].empty()) return std::nullopt;
  return (*block)[id % kStringsPerBlock];
}

LookupLocales ResFileResources::Locales() const {
  return LookupLocales{currentLanguage ? currentLanguage() : kLanguageEnglishUs,
                       userDefaultLanguage, systemDefaultLanguage};
}

std::uint16_t ResFileResources::EffectiveLanguage() const { return LookupLanguage(Locales()); }

bool ResFileResources::ModuleMatches(ModuleHandle module) const {
  return !expectedModule || *expectedModule == module;
}

ResourceStatus ResFileResources::FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                                   const std::u16string& type,
                                                   ResourceBytes& bytes) {
  lookups.emplace_back(type, name);
  bytes = ResourceBytes{};
  if (auto forced = forcedStatus.find({type, name}); forced != forcedStatus.end()) {
    return forced->second;
  }
  if (!ModuleMatches(module)) return ResourceStatus::kMissing;

  const std::vector<const ResEntry*> candidates =
      file_.FindAll(ResId::FromLookupText(type), ResId::FromLookupText(name));
  if (candidates.empty()) return ResourceStatus::kMissing;
  const ResEntry* chosen = candidates.front();
  for (std::uint16_t language : {EffectiveLanguage(), kLanguageNeutral, kLanguageEnglishUs}) {
    auto match = std::find_if(candidates.begin(), candidates.end(),
                              [language](const ResEntry* e) { return e->language == language; });
    if (match != candidates.end()) {
      chosen = *match;
      break;
    }
  }
  if (chosen->bytes.empty()) return ResourceStatus::kSizeZero;
  bytes.data = reinterpret_cast<const unsigned char*>(chosen->bytes.data());
  bytes.size = chosen->bytes.size();
  return ResourceStatus::kFound;
}

int ResFileResources::LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                                  int capacity) {
  loadedIds.push_back(id);
  if (buffer == nullptr || capacity <= 0 || !ModuleMatches(module) || id > 0xFFFF) return 0;

  const ResId type = ResId::Number(kResTypeString);
  const StringBlockFinder findBlock = [this, &type](std::uint16_t blockId,
                                                    std::uint16_t language) {
    const ResEntry* entry = file_.Find(type, ResId::Number(blockId), language);
    std::optional<ResourceBytes> bytes;
    if (entry != nullptr) {
      bytes = ResourceBytes{reinterpret_cast<const unsigned char*>(entry->bytes.data()),
                            entry->bytes.size()};
    }
    return bytes;
  };
  if (std::optional<int> count = LookUpString(findBlock, Locales(), id, buffer, capacity)) {
    return *count;
  }
  // The platform's choice. Like LoadStringW, a block that is not there
  // leaves the buffer untouched.
  std::optional<ResourceBytes> english = findBlock(StringBlockId(id), kLanguageEnglishUs);
  if (!english) return 0;
  return CopyStringFromBlock(*english, id, buffer, capacity);
}

}  // namespace hotfix::testing
