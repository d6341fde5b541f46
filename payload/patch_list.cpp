#include "payload/patch_list.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

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

constexpr char16_t kBlockType[] = u"TXT";
constexpr std::uint32_t kFirstBlockId = 206;
// Resource ids are 16 bits wide; "#65536" would name no block.
constexpr std::uint32_t kLastBlockId = 0xFFFF;

constexpr char kSeparator[] = "*****\r\n";
constexpr std::uint32_t kSeparatorSize = sizeof(kSeparator) - 1;
constexpr char kLineEnd[] = "\r\n";
constexpr std::uint32_t kLineEndSize = sizeof(kLineEnd) - 1;

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
  if (!ExtractPatch(platform, package)) return;
  if (!GetPatchTargets(platform, package, fileName)) return;

  if (const auto colon = fileName.find(u':'); colon != std::u16string::npos) {
    fileName.erase(0, colon + 1);
  }
  const auto dash = fileName.find(u'-');
  const std::u16string code = dash == std::u16string::npos
                                  ? fileName.substr(0, kCodeCharacters)
                                  : fileName.substr(dash + 1, kCodeCharacters);
  fileName = kPatchListStem + code + kPatchListExtension;
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

bool WritePatchList(const Platform& platform, std::u16string& fileName) {
  if (fileName.empty()) ChoosePatchListName(platform, fileName);

  const std::unique_ptr<SharedFile> file = platform.files.OpenForAppending(fileName);
  if (!file) {
    ReportMessage(platform, kMsgNoPatchList);
    return false;
  }
  file->SeekToEnd();

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
