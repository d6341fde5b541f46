// The message formatter with any template, any arguments and any buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "messages/format.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  FuzzedDataProvider input(data, size);
  const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
  std::vector<FormatArgument> arguments;
  const int count = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    if (input.ConsumeBool()) {
      arguments.emplace_back(input.ConsumeIntegral<std::int32_t>());
    } else {
      arguments.emplace_back(fuzz::TakeText(input, 600));
    }
  }
  const std::u16string pattern = fuzz::RemainingText(input);

  const FormattedText result = FormatTemplate(pattern, arguments, capacity);
  // Never beyond the buffer, terminator included.
  FUZZ_CHECK(result.text.size() + 1 <= (capacity == 0 ? 1 : capacity));
  // With room to spare nothing can have been left out.
  if (result.text.size() + 1 < capacity) FUZZ_CHECK(!result.truncated);
  return 0;
}
