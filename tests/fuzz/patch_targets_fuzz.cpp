// GetPatchTargets against a service that answers any text and any lengths:
// any result code, any needed length with 234, text with or without its
// terminator, written within the buffer it is given.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "app/process_state.h"
#include "payload/patch_targets.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr hotfix::MsiHandle kSummary = 7;

class AnyAnswerInstaller : public hotfix::fuzz::FuzzedInstaller {
 public:
  using FuzzedInstaller::FuzzedInstaller;

  std::uint32_t MsiGetSummaryInformationW(hotfix::MsiHandle, const char16_t*, std::uint32_t,
                                          hotfix::MsiHandle* summary) override {
    const std::uint32_t result = input_.ConsumeBool() ? 0 : input_.ConsumeIntegral<std::uint32_t>();
    if (result == 0) {
      *summary = kSummary;
      ++opened;
    }
    return result;
  }

  std::uint32_t MsiSummaryInfoGetPropertyW(hotfix::MsiHandle summary, std::uint32_t,
                                           std::uint32_t*, std::int32_t*,
                                           hotfix::InstallerFileTime*, char16_t* buffer,
                                           std::uint32_t* length) override {
    FUZZ_CHECK(summary == kSummary);
    capacities.push_back(*length);
    const std::u16string text = hotfix::fuzz::TakeText(input_, 4096);
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), *length), buffer);
    switch (input_.ConsumeIntegralInRange(0, 2)) {
      case 0: *length = static_cast<std::uint32_t>(text.size()); return 0;
      case 1: *length = input_.ConsumeIntegral<std::uint32_t>(); return 234;
      default: *length = input_.ConsumeIntegral<std::uint32_t>(); return input_.ConsumeIntegral<std::uint32_t>();
    }
  }

  std::uint32_t MsiCloseHandle(hotfix::MsiHandle handle) override {
    FUZZ_CHECK(handle == kSummary);
    ++closed;
    return 0;
  }

  int opened = 0;
  int closed = 0;
  std::vector<std::uint32_t> capacities;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  FuzzedDataProvider input(data, size);
  testing::FakePlatform fake;
  AnyAnswerInstaller installer(input);
  const Platform platform{installer,      fake.resources, fake.thread,      fake.boxes,
                          fake.files,     fake.processes, fake.commandLine, fake.locks};
  const std::u16string path = fuzz::TakeText(input, 300);
  const std::u16string before = u"targets before the call";
  std::u16string targets = before;

  const bool ok = GetPatchTargets(platform, path, targets);

  FUZZ_CHECK(installer.closed == installer.opened);  // closed once, if opened
  FUZZ_CHECK(installer.capacities.size() <= 2);       // no third attempt
  if (ok) {
    FUZZ_CHECK(!installer.capacities.empty());
    // Only what the buffer held: all of it at most, when the service left out
    // the terminator.
    FUZZ_CHECK(targets.size() <= installer.capacities.back());
  } else {
    FUZZ_CHECK(targets == before);
  }
  return 0;
}
