// Probe commands: small programs-within-a-program that the Wine tests run to
// see what the real platform adapters and Win32 do. Each probe_*.cpp file
// registers its own commands; probe.cpp picks one by its first argument:
//
//   probe COMMAND ARGS...     probe list     (names and usage of all commands)
//
// A command gets the arguments after its name and returns the exit code.
// Convention: 0 done, 1 a check inside the probe failed, 2 usage error;
// commands that report a Win32 result as their exit code say so in usage.
// Output goes to stdout as UTF-8 lines (one JSON object a line, as a rule).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hotfix::probe {

using Args = std::vector<std::u16string>;
using CommandFunction = int (*)(const Args& args);

// Registers a command at static initialisation; use HOTFIX_PROBE_COMMAND.
struct CommandRegistration {
  CommandRegistration(const char* name, const char* usage, CommandFunction function);
};

inline constexpr int kExitDone = 0;
inline constexpr int kExitCheckFailed = 1;
inline constexpr int kExitUsage = 2;

// Writes one line (a line feed is added) to stdout or stderr, as UTF-8 bytes
// straight to the handle, so nothing is converted on the way.
void WriteLine(std::string_view utf8);
void WriteErrorLine(std::string_view utf8);

std::string Utf8(std::u16string_view text);
// Nothing when the bytes are not valid UTF-8.
std::optional<std::u16string> Utf16(std::string_view utf8);

// JSON literals: a string (every unit that is not printable ASCII escaped as
// \uXXXX, lone surrogates included, so the output shows exact code units),
// an array of strings, and an array or null.
std::string JsonString(std::u16string_view text);
std::string JsonStrings(const std::vector<std::u16string>& texts);
std::string JsonStrings(const std::optional<std::vector<std::u16string>>& texts);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::u16string& path);

// "0x1F", "31" or "0"; nothing for anything else or above 32 bits.
std::optional<std::uint32_t> ParseNumber(std::u16string_view text);

// Writes "usage: probe USAGE" to stderr and returns kExitUsage.
int UsageError(const char* usage);

}  // namespace hotfix::probe

#define HOTFIX_PROBE_COMMAND(name, usage, function)                          \
  namespace {                                                                \
  const ::hotfix::probe::CommandRegistration probeRegistration_##function{ \
      name, usage, function};                                                \
  }
