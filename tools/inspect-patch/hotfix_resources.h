// What a hotfix.exe carries in its resources, read from its bytes without
// running it: the patch (type "MSP", name "IDR_MSP"), the description blocks
// (type "TXT", ids from 206), the patched version (string 700), the
// versions it applies to (string 900, each followed by a comma) and the
// languages of its messages (those its string table comes in).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage_tree.h"

namespace inspectpatch {

struct HotfixResources {
  Bytes patch;
  std::vector<std::string> descriptions;  // each block as it stands (UTF-8), by id
  std::string patchedVersion;
  std::vector<std::string> applicableVersions;
  std::vector<std::uint16_t> languages;  // language ids, ascending
};

// Whether the bytes start like a Windows program ("MZ").
bool LooksLikeProgram(const Bytes& bytes);

// Throws makepatch::PatchError, naming `what`, when the program's resources
// are unreadable or hold no patch.
HotfixResources ReadHotfixResources(const Bytes& bytes, const std::string& what);

// "de-DE" for 1031, or the id in hexadecimal for one not known here.
std::string LanguageTag(std::uint16_t language);

}  // namespace inspectpatch
