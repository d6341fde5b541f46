#include "payload/patch_list.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "app/run_options.h"
#include "messages/report_message.h"
#include "messages/string_table.h"
#include "payload/extract_patch.h"
#include "payload/patch_targets.h"

namespace hotfix {
namespace {

constexpr char16_t kDefaultPatchListName[] = u"patchlist.txt";
constexpr char16_t kPatchListStem[] = u"patchlist";
constexpr char16_t kPatchListExtension[] = u".txt";
constexpr std::size_t kCodeCharacters = 4;
// Characters that cannot stand in a file name: a folder, a drive or stream
// (":"), wildcards, quotes, redirections.
constexpr std::u16string_view kNotInFileNames = u"\\/:*?\"<>|";

constexpr char16_t kBlockType[] = u"TXT";
constexpr std::uint32_t kFirstBlockId = 206;
// Resource ids are 16 bits wide; "#65536" would name no block.
constexpr std::uint32_t kLastBlockId = 0xFFFF;

constexpr char kSeparator[] = "*****\r\n";
constexpr std::uint32_t kSeparatorSize = sizeof(kSeparator) - 1;
constexpr char kLineEnd[] = "\r\n";
constexpr std::uint32_t kLineEndSize = sizeof(kLineEnd) - 1;

bool CanStandInFileName(const std::u16string& characters) {
  return std::none_of(characters.begin(), characters.end(), [](char16_t c) {
    return c < u' ' || kNotInFileNames.find(c) != std::u16string_view::npos;
  });
}

std::u16string BlockName(std::uint32_t id) {
  const std::string digits = std::to_string(id);
  return u"#" + std::u16string(digits.begin(), digits.end());
}

// "patchlist" + the four characters after the first "-" of the first target
// code (all codes of a patch share them), or "patchlist.txt" when the codes
// cannot be had.
void ChoosePatchListName(const Platform& platform, std::u16string& fileName) {
  fileName = kDefaultPatchListName;
  std::u16string package;  // a temporary copy; it stays behind
  PackageHold hold;        // until the service has read it
  if (!ExtractPatch(platform, package, hold)) return;
  std::u16string targets;
  if (!GetPatchTargets(platform, package, targets)) return;
  fileName = PatchListNameFor(targets);
}

// WriteFile takes a 32-bit count; a larger block goes out in pieces rather
// than cut short.
bool WriteBlock(SharedFile& file, const ResourceBytes& block) {
  const unsigned char* data = block.data;
  std::size_t remaining = block.size;
  while (remaining > 0) {
    const std::uint32_t piece = static_cast<std::uint32_t>(
        std::min<std::size_t>(remaining, std::numeric_limits<std::uint32_t>::max()));
    if (!file.Write(data, piece)) return false;
    data += piece;
    remaining -= piece;
  }
  return true;
}

}  // namespace

std::u16string PatchListNameFor(std::u16string targets) {
  if (const auto colon = targets.find(u':'); colon != std::u16string::npos) {
    targets.erase(0, colon + 1);
  }
  const auto dash = targets.find(u'-');
  const std::u16string code = dash == std::u16string::npos
                                  ? targets.substr(0, kCodeCharacters)
                                  : targets.substr(dash + 1, kCodeCharacters);
  // Characters from a damaged or hostile package could otherwise name
  // another folder, a drive or a stream of some file.
  if (!CanStandInFileName(code)) return kDefaultPatchListName;
  return kPatchListStem + code + kPatchListExtension;
}

bool WritePatchList(const Platform& platform, std::u16string& fileName) {
  if (fileName.empty()) ChoosePatchListName(platform, fileName);

  std::unique_ptr<SharedFile> file = platform.files.OpenForAppending(fileName);
  // Without its end the blocks would be written over the start of the list:
  // such a list counts as one that cannot be opened.
  if (file && !file->SeekToEnd()) file.reset();
  if (!file) {
    ReportMessage(platform, kMsgNoPatchList);
    return false;
  }

  for (std::uint32_t id = kFirstBlockId; id <= kLastBlockId; ++id) {
    ResourceBytes block;
    const ResourceStatus status =
        platform.resources.FindResourceBytes(ModuleInstance, BlockName(id), kBlockType, block);
    if (status == ResourceStatus::kMissing) {
      if (id == kFirstBlockId) ReportMessage(platform, kMsgNoPatchList);
      break;
    }
    if (status != ResourceStatus::kFound || block.size == 0 || block.data == nullptr) {
      ReportMessage(platform, kMsgInstallFailed);
      break;
    }
    // A failed write cuts this block's layout short, silently; the next
    // block is still tried.
    if (!file->Write(kSeparator, kSeparatorSize)) continue;
    if (!WriteBlock(*file, block)) continue;
    file->Write(kLineEnd, kLineEndSize);
  }
  return true;
}

}  // namespace hotfix
