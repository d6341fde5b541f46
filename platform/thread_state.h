// Per-thread state the program reads and steers: the last-error value and the
// thread locale that selects the language of strings loaded afterwards.
#pragma once

#include <cstdint>

namespace hotfix {

inline constexpr std::uint32_t kLocaleUserDefault = 0x0400;

class ThreadState {
 public:
  virtual ~ThreadState() = default;
  virtual std::uint32_t GetLastError() = 0;
  virtual void SetLastError(std::uint32_t code) = 0;
  // The result is never examined by the program.
  virtual bool SetThreadLocale(std::uint32_t locale) = 0;
};

}  // namespace hotfix
