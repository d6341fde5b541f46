// Whether the patch applies to an installed version: pure logic over texts.
#pragma once

#include <cstdint>
#include <string>

namespace hotfix {

struct FourPartVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
  bool operator==(const FourPartVersion&) const = default;
};

enum class ApplicabilityVerdict {
  InstalledIsPatched,
  InstalledListed,
  PatchedListedFirst,
  NotListed,
};

// Never fails: any text yields a version (see the rules in the source).
FourPartVersion ParseFourPartVersion(std::u16string text);

ApplicabilityVerdict DecideApplicability(const std::u16string& installedVersion,
                                         const std::u16string& patchedVersion,
                                         const std::u16string& applicableVersions);

// The standard decimal conversion: leading white space, optional sign,
// digits; saturates at the signed 32-bit limits; 0 without digits.
std::int32_t DecimalValue(const std::u16string& text);

}  // namespace hotfix
