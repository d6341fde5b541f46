// Command line splitting as the system does it, next to the portable
// splitter that the core uses where there is no system to ask.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/command_line.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_services.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

constexpr const char* kSplitUsage =
    "split-command-lines FILE: one JSON line per line of the UTF-8 FILE with its native, "
    "adapter and portable split";
constexpr const char* kOwnUsage =
    "own-command-line [ANYTHING...]: this process's command line and its splits";

std::optional<std::vector<std::u16string>> SystemSplit(const std::u16string& commandLine) {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(win32::Wide(commandLine), &count);
  if (arguments == nullptr) return std::nullopt;
  std::vector<std::u16string> list;
  for (int i = 0; i < count; ++i) list.push_back(win32::FromWide(arguments[i]));
  LocalFree(arguments);
  return list;
}

std::u16string ModulePath() {
  std::u16string path(32768, u'\0');
  DWORD length = GetModuleFileNameW(nullptr, win32::Wide(path.data()),
                                    static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// One JSON object: the command line, the system's split (null when it
// fails), the adapter's and the portable one.
std::string Splits(const std::u16string& commandLine) {
  win32::Win32CommandLine adapter;
  return "\"input\":" + JsonString(commandLine) +
         ",\"native\":" + JsonStrings(SystemSplit(commandLine)) +
         ",\"adapter\":" + JsonStrings(adapter.CommandLineToArgvW(commandLine)) +
         ",\"portable\":" + JsonStrings(SplitCommandLine(commandLine, ModulePath()));
}

int SplitCommandLines(const Args& args) {
  if (args.size() != 1) return UsageError(kSplitUsage);
  std::optional<std::string> bytes = ReadFileBytes(args[0]);
  if (!bytes) {
    WriteErrorLine("probe: cannot read " + Utf8(args[0]));
    return kExitUsage;
  }
  // Every line is a case, the empty one too; a final line feed ends the last
  // line rather than starting another.
  size_t start = 0;
  int number = 0;
  while (start < bytes->size()) {
    size_t end = bytes->find('\n', start);
    if (end == std::string::npos) end = bytes->size();
    std::string_view line(bytes->data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    std::optional<std::u16string> commandLine = Utf16(line);
    if (!commandLine) {
      WriteErrorLine("probe: line " + std::to_string(number) + " is not UTF-8");
      return kExitUsage;
    }
    WriteLine("{\"line\":" + std::to_string(number) + "," + Splits(*commandLine) + "}");
    start = end + 1;
  }
  return kExitDone;
}

int OwnCommandLine(const Args&) {
  win32::Win32CommandLine adapter;
  std::u16string commandLine = adapter.GetCommandLineW();
  WriteLine("{" + Splits(commandLine) + "}");
  return kExitDone;
}

}  // namespace

HOTFIX_PROBE_COMMAND("split-command-lines", kSplitUsage, SplitCommandLines)
HOTFIX_PROBE_COMMAND("own-command-line", kOwnUsage, OwnCommandLine)

}  // namespace hotfix::probe
