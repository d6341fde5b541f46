#include "hotfix_resources.h"

#include <algorithm>
#include <map>
#include <set>

#include "msi/patch_error.h"
#include "pe/pe_image.h"

namespace inspectpatch {
namespace {

using makepatch::PatchError;

constexpr std::uint16_t kStringResource = 6;  // RT_STRING
constexpr std::uint16_t kFirstDescription = 206;
constexpr std::uint16_t kPatchedVersionString = 700;
constexpr std::uint16_t kApplicableVersionsString = 900;

bool NamedAs(const pe::ResourceKey& key, std::u16string_view name) { return !key.id && key.name == name; }

pe::Bytes Data(const Bytes& bytes, const pe::Resource& resource) {
  // The tree walk found the data inside the file.
  return pe::Bytes(bytes.data() + resource.fileOffset, resource.size);
}

// String id of a string table: block id - 1 times 16 plus its index; each
// string is a 16-bit length and as many UTF-16 units.
std::optional<std::u16string> StringOf(const Bytes& bytes, const std::vector<pe::Resource>& blocks,
                                       std::uint16_t id) {
  for (const pe::Resource& block : blocks) {
    if (!block.name.id || *block.name.id != id / 16 + 1) continue;
    const pe::Bytes data = Data(bytes, block);
    std::size_t at = 0;
    for (unsigned index = 0; index < 16; ++index) {
      const auto length = pe::ReadU16(data, at);
      if (!length || data.size() - at - 2 < 2u * *length) return std::nullopt;
      at += 2;
      if (index == id % 16) {
        std::u16string text;
        for (unsigned i = 0; i < *length; ++i) text.push_back(static_cast<char16_t>(*pe::ReadU16(data, at + 2 * i)));
        return text;
      }
      at += 2u * *length;
    }
  }
  return std::nullopt;
}

}  // namespace

bool LooksLikeProgram(const Bytes& bytes) { return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z'; }

HotfixResources ReadHotfixResources(const Bytes& bytes, const std::string& what) {
  std::string why;
  const pe::Bytes view(bytes.data(), bytes.size());
  const std::optional<pe::Image> image = pe::ParseImage(view, &why);
  if (!image) throw PatchError(what + ": not a program that can be read (" + why + ")");
  const std::optional<pe::ResourceTree> tree = pe::ReadResources(*image, view, &why);
  if (!tree) throw PatchError(what + ": its resources are damaged (" + why + ")");

  HotfixResources out;
  bool found = false;
  std::map<std::uint16_t, std::string> descriptions;
  std::set<std::uint16_t> languages;
  std::vector<pe::Resource> strings;
  for (const pe::Resource& resource : tree->resources) {
    if (resource.fileOffset > bytes.size() || bytes.size() - resource.fileOffset < resource.size) continue;
    if (NamedAs(resource.type, u"MSP") && NamedAs(resource.name, u"IDR_MSP")) {
      const pe::Bytes data = Data(bytes, resource);
      out.patch.assign(data.begin(), data.end());
      found = true;
    } else if (NamedAs(resource.type, u"TXT") && resource.name.id && *resource.name.id >= kFirstDescription) {
      const pe::Bytes data = Data(bytes, resource);
      descriptions[*resource.name.id] = std::string(data.begin(), data.end());
    } else if (resource.type.id && *resource.type.id == kStringResource) {
      languages.insert(resource.language);
      strings.push_back(resource);
    }
  }
  if (!found) throw PatchError(what + ": a program, but not a hotfix: it carries no patch (no MSP resource IDR_MSP)");
  for (auto& [id, text] : descriptions) out.descriptions.push_back(std::move(text));
  out.languages.assign(languages.begin(), languages.end());
  if (auto text = StringOf(bytes, strings, kPatchedVersionString)) {
    out.patchedVersion = makepatch::Utf16ToUtf8(*text);
  }
  if (auto text = StringOf(bytes, strings, kApplicableVersionsString)) {
    std::string list = makepatch::Utf16ToUtf8(*text);
    for (std::size_t start = 0; start < list.size();) {
      const std::size_t comma = std::min(list.find(',', start), list.size());
      if (comma > start) out.applicableVersions.push_back(list.substr(start, comma - start));
      start = comma + 1;
    }
  }
  return out;
}

std::string LanguageTag(std::uint16_t language) {
  static const std::map<std::uint16_t, std::string> tags = {
      {1028, "zh-TW"}, {1029, "cs-CZ"}, {1030, "da-DK"}, {1031, "de-DE"}, {1033, "en-US"}, {1034, "es-ES"},
      {1035, "fi-FI"}, {1036, "fr-FR"}, {1038, "hu-HU"}, {1040, "it-IT"}, {1041, "ja-JP"}, {1042, "ko-KR"},
      {1043, "nl-NL"}, {1044, "nb-NO"}, {1045, "pl-PL"}, {1046, "pt-BR"}, {1049, "ru-RU"}, {1053, "sv-SE"},
      {1055, "tr-TR"}, {2052, "zh-CN"}, {2070, "pt-PT"}, {3082, "es-ES"}};
  const auto found = tags.find(language);
  if (found != tags.end()) return found->second;
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", language);
  return text;
}

}  // namespace inspectpatch
