#include "payload/patch_targets.h"

#include <algorithm>
#include <array>
#include <new>
#include <vector>

namespace hotfix {
namespace {

constexpr std::uint32_t kFirstReadCapacity = 2048;  // units, terminator included
// The most a second read may ask for, in units without the terminator: some
// 27,000 product codes of 38 units and their separators. A damaged or hostile
// package must not make the program ask for gigabytes.
constexpr std::uint32_t kMaxTargetsLength = 1u << 20;

// One read of the Template property into a zeroed buffer, so that a read
// that succeeds without writing any text leaves an empty text behind.
std::uint32_t ReadTemplate(Installer& installer, MsiHandle summary,
                           std::vector<char16_t>& buffer, std::uint32_t& length) {
  std::uint32_t dataType = 0;
  std::int32_t intValue = 0;
  InstallerFileTime fileTime;
  return installer.MsiSummaryInfoGetPropertyW(summary, kPidTemplate, &dataType, &intValue,
                                              &fileTime, buffer.data(), &length);
}

}  // namespace

MsiHandle OpenPatchSummary(const Platform& platform, std::u16string packagePath) {
  if (packagePath.empty()) return 0;
  std::array<char16_t, kMaxPath> full{};
  const std::uint32_t length =
      platform.files.GetFullPathNameW(packagePath, kMaxPath, full.data());
  // 0: no full form; kMaxPath or more: it did not fit with its terminator.
  if (length == 0 || length >= kMaxPath) return 0;
  full[length] = u'\0';

  MsiHandle summary = 0;
  if (platform.installer.MsiGetSummaryInformationW(0, full.data(), 0, &summary) != kErrorSuccess) {
    return 0;
  }
  return summary;
}

bool GetPatchTargets(const Platform& platform, std::u16string packagePath,
                     std::u16string& targets) {
  UniqueMsiHandle summary(platform.installer, OpenPatchSummary(platform, std::move(packagePath)));
  if (summary.get() == 0) return false;

  // Without memory for the text the read fails like any other, so that every
  // caller takes its own way out (the driver's 300, /p's default name, the
  // empty /i box) rather than none.
  try {
    std::vector<char16_t> buffer(kFirstReadCapacity, u'\0');
    std::uint32_t length = kFirstReadCapacity;
    std::uint32_t result = ReadTemplate(platform.installer, summary.get(), buffer, length);
    if (result == kErrorMoreData) {
      // length now holds the units needed without the terminator.
      if (length > kMaxTargetsLength) return false;
      const std::uint32_t capacity = length + 1;
      buffer.assign(capacity, u'\0');
      length = capacity;
      result = ReadTemplate(platform.installer, summary.get(), buffer, length);
    }
    if (result != kErrorSuccess) return false;

    // Up to the terminator, never past the buffer.
    targets.assign(buffer.begin(), std::find(buffer.begin(), buffer.end(), u'\0'));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace hotfix
