// Ids of the localised string table and loading one text by id.
#pragma once

#include <cstdint>
#include <string>

#include "platform/resources.h"

namespace hotfix {

inline constexpr std::uint32_t kMsgInstallFailed = 300;
inline constexpr std::uint32_t kMsgInstallSucceeded = 301;
inline constexpr std::uint32_t kMsgUpToDate = 306;
inline constexpr std::uint32_t kMsgProductNotFound = 307;
inline constexpr std::uint32_t kMsgWrongVersion = 308;
inline constexpr std::uint32_t kMsgBadCommandLine = 309;
inline constexpr std::uint32_t kMsgNoPatchList = 310;
inline constexpr std::uint32_t kCaptionError = 311;
inline constexpr std::uint32_t kCaptionSuccess = 312;
inline constexpr std::uint32_t kCaptionUnnecessary = 313;
inline constexpr std::uint32_t kMsgProgramsRunning = 315;
inline constexpr std::uint32_t kMsgFilesInUse = 316;
inline constexpr std::uint32_t kStrPatchedVersion = 700;
inline constexpr std::uint32_t kStrApplicableVersions = 900;

// Every caller loads through a buffer of 256 units: at most 255 arrive.
inline constexpr int kStringCapacity = 256;

// Replaces text with string id of module (empty when the id has no text in
// the language chosen) and returns the number of units loaded, 0 on failure.
int LoadStringText(ModuleResources& resources, ModuleHandle module, std::uint32_t id,
                   std::u16string& text, int capacity);

}  // namespace hotfix
