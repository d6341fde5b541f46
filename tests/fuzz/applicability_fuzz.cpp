// ParseFourPartVersion and DecideApplicability with any version texts.
#include <cstddef>
#include <cstdint>

#include "install/applicability.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  FuzzedDataProvider input(data, size);
  const std::u16string installed = fuzz::TakeText(input, 64);
  const std::u16string patched = fuzz::TakeText(input, 64);
  const std::u16string applicable = fuzz::RemainingText(input);

  const FourPartVersion installedVersion = ParseFourPartVersion(installed);
  const FourPartVersion patchedVersion = ParseFourPartVersion(patched);
  const ApplicabilityVerdict verdict = DecideApplicability(installed, patched, applicable);

  // Equal versions are patched whatever the list says; otherwise an element
  // that names neither version cannot decide anything.
  FUZZ_CHECK((verdict == ApplicabilityVerdict::InstalledIsPatched) ==
             (installedVersion == patchedVersion));
  if (verdict == ApplicabilityVerdict::InstalledListed ||
      verdict == ApplicabilityVerdict::PatchedListedFirst) {
    FUZZ_CHECK(applicable.find(u',') != std::u16string::npos);
  }
  // A comma is a full stop inside a version.
  std::u16string dotted = installed;
  for (char16_t& c : dotted) {
    if (c == u',') c = u'.';
  }
  FUZZ_CHECK(ParseFourPartVersion(dotted) == installedVersion);
  return 0;
}
