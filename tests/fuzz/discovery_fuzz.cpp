// The discovery walk of any target text, against a service that reports any
// install state and answers property reads with any text and any length.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "app/process_state.h"
#include "install/discovery.h"
#include "install/product_list.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

class AnyAnswerInstaller : public hotfix::fuzz::FuzzedInstaller {
 public:
  using FuzzedInstaller::FuzzedInstaller;

  int MsiQueryProductStateW(const char16_t*) override {
    return input_.ConsumeIntegralInRange(-3, 6);
  }

  // Writes within the buffer it is given, as any service must, but with or
  // without a terminator, and reports any length and any result.
  std::uint32_t MsiGetProductInfoW(const char16_t*, const char16_t*, char16_t* buffer,
                                   std::uint32_t* length) override {
    const std::u16string text = hotfix::fuzz::TakeText(input_, 1100);
    const std::size_t room = length ? *length : 0;
    std::copy_n(text.begin(), std::min(text.size(), room), buffer);
    if (length) *length = input_.ConsumeIntegral<std::uint32_t>();
    return input_.ConsumeIntegral<std::uint32_t>();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  FuzzedDataProvider input(data, size);
  const std::u16string targets = fuzz::TakeText(input, 2048);
  AnyAnswerInstaller installer(input);
  ResetProcessState();

  DiscoverProducts(installer, targets, u"5.2.1.0", u"5.2.0.0,");

  const std::size_t elements = std::count(targets.begin(), targets.end(), u';') + 1;
  FUZZ_CHECK(ProductList.size() <= elements);
  for (const ProductEntry& entry : ProductList) {
    FUZZ_CHECK(!entry.productCode.empty());
    FUZZ_CHECK(entry.productCode.find(u';') == std::u16string::npos);
    FUZZ_CHECK(targets.find(entry.productCode) != std::u16string::npos);
    for (const std::u16string* field : {&entry.installedVersion, &entry.localPackage,
                                        &entry.productName, &entry.language}) {
      FUZZ_CHECK(field->size() <= 1023);  // what a 1024-unit buffer holds
    }
  }
  ProductList.clear();
  return 0;
}
