// What every fuzz target needs: the fuzz bytes as the program's UTF-16 text,
// and a check that stops the run when a property of the code under test does
// not hold (libFuzzer then keeps the input as a finding).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fakes/fake_installer.h"

#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (false)

namespace hotfix::fuzz {

// Two bytes a unit, low byte first; an odd last byte is dropped.
inline std::u16string AsText(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// A text of at most maxUnits units taken from the front of the input.
inline std::u16string TakeText(FuzzedDataProvider& input, std::size_t maxUnits) {
  const std::size_t units = input.ConsumeIntegralInRange<std::size_t>(0, maxUnits);
  const std::string bytes = input.ConsumeBytesAsString(units * 2);
  return AsText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

inline std::u16string RemainingText(FuzzedDataProvider& input) {
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  return AsText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The scripted installer, with the operations a target overrides answering
// from the fuzz input.
class FuzzedInstaller : public testing::FakeInstaller {
 public:
  explicit FuzzedInstaller(FuzzedDataProvider& input) : input_(input) {}

 protected:
  FuzzedDataProvider& input_;
};

}  // namespace hotfix::fuzz
