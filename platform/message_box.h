// Modal message boxes with no owner window.
#pragma once

#include <cstdint>
#include <string>

namespace hotfix {

inline constexpr std::uint32_t kMbOk = 0x0;
inline constexpr std::uint32_t kMbRetryCancel = 0x5;
inline constexpr std::uint32_t kMbIconHand = 0x10;
inline constexpr std::uint32_t kMbIconInformation = 0x40;
inline constexpr std::uint32_t kMbSetForeground = 0x10000;
inline constexpr std::uint32_t kMbTopmost = 0x40000;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows the box and returns the button chosen (0 when the box failed).
  virtual int MessageBoxW(const std::u16string& text, const std::u16string& caption,
                          std::uint32_t style) = 0;
};

}  // namespace hotfix
