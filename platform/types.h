// Basic types shared by the core and the platform adapters.
#pragma once

#include <cstdint>
#include <string>

namespace hotfix {

// The program's own module (the base of its image). Opaque to the core; only
// the resource adapter knows what it points at.
using ModuleHandle = const void*;

// A 32-bit Windows Installer handle; 0 means none.
using MsiHandle = std::uint32_t;

// Windows error codes the core names.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFilenameExcedRange = 206;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorFunctionFailed = 1627;
inline constexpr std::uint32_t kErrorInstallFailure = 1603;
inline constexpr std::uint32_t kErrorInstallAlreadyRunning = 1618;
inline constexpr std::uint32_t kErrorSuccessRebootInitiated = 1641;
inline constexpr std::uint32_t kErrorSuccessRebootRequired = 3010;

}  // namespace hotfix
