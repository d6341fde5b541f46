// Message reporting over the real platform: ReportMessage and LoadStringText
// with the program's own string table, under a chosen thread locale (and,
// to show that the locale decides, a different thread UI language).
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "messages/current_product_name.h"
#include "messages/report_message.h"
#include "messages/string_table.h"
#include "platform/win32/dll_search.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_platform.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

constexpr const char* kReportUsage =
    "report --locale LCID [--ui-language LANGID] [--quiet] [--last-error N] [--product NAME] "
    "ID...: sets the thread locale (and UI language), CurrentProductName and RunOptions.quiet, "
    "prints {\"threadLocale\":L,\"uiLanguage\":U,\"quiet\":B,\"product\":NAME}, then for "
    "each ID sets the last-error value to N (when given) right before ReportMessage and prints "
    "{\"id\":ID,\"lastErrorAfter\":E} once it returned";
constexpr const char* kLoadStringUsage =
    "load-string --locale LCID [--ui-language LANGID] [--last-error N] ID...: prints "
    "{\"threadLocale\":L,\"uiLanguage\":U}, then for each ID {\"id\":ID,\"count\":N,"
    "\"text\":T,\"lastErrorAfter\":E,\"system\":S}: LoadStringText with capacity 256 (the "
    "last-error value set to N right before it, when given, and read right after it), and what "
    "LoadStringW itself gives";

// The options both commands take; the rest are ids.
struct Options {
  std::uint32_t locale = 0;
  std::optional<std::uint32_t> uiLanguage;
  bool quiet = false;
  std::optional<std::uint32_t> lastError;
  std::optional<std::u16string> product;
  std::vector<std::uint32_t> ids;
};

// Nothing on a usage error. allowReportOptions: --quiet and --product are
// accepted.
std::optional<Options> ParseOptions(const Args& args, bool allowReportOptions) {
  Options options;
  bool haveLocale = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == u"--locale" && hasValue) {
      auto value = ParseNumber(args[++i]);
      if (!value) return std::nullopt;
      options.locale = *value;
      haveLocale = true;
    } else if (arg == u"--ui-language" && hasValue) {
      options.uiLanguage = ParseNumber(args[++i]);
      if (!options.uiLanguage || *options.uiLanguage > 0xFFFF) return std::nullopt;
    } else if (allowReportOptions && arg == u"--quiet") {
      options.quiet = true;
    } else if (arg == u"--last-error" && hasValue) {
      options.lastError = ParseNumber(args[++i]);
      if (!options.lastError) return std::nullopt;
    } else if (allowReportOptions && arg == u"--product" && hasValue) {
      options.product = args[++i];
    } else {
      auto id = ParseNumber(arg);
      if (!id) return std::nullopt;
      options.ids.push_back(*id);
    }
  }
  if (!haveLocale || options.ids.empty()) return std::nullopt;
  return options;
}

// Sets the thread's locale as the installation driver does (through the
// adapter) and the UI language that current Windows would pick strings by.
// False when a setting failed.
bool PrepareThread(ThreadState& thread, const Options& options) {
  if (!thread.SetThreadLocale(options.locale)) {
    WriteErrorLine("probe: SetThreadLocale(" + std::to_string(options.locale) +
                   ") failed: " + std::to_string(GetLastError()));
    return false;
  }
  if (options.uiLanguage &&
      SetThreadUILanguage(static_cast<LANGID>(*options.uiLanguage)) == 0) {
    WriteErrorLine("probe: SetThreadUILanguage(" + std::to_string(*options.uiLanguage) +
                   ") failed: " + std::to_string(GetLastError()));
    return false;
  }
  return true;
}

// What the thread holds once prepared, as the first members of a JSON line.
std::string ThreadJson() {
  return "\"threadLocale\":" + std::to_string(GetThreadLocale()) +
         ",\"uiLanguage\":" + std::to_string(GetThreadUILanguage());
}

// As the program's entry point does it, before the adapters load anything.
void PrepareProcess() {
  ModuleInstance = GetModuleHandleW(nullptr);
  win32::RestrictDllSearchToSystemDirectory();
}

int ReportCommand(const Args& args) {
  const std::optional<Options> options = ParseOptions(args, true);
  if (!options) return UsageError(kReportUsage);
  PrepareProcess();
  win32::Win32Platform real;
  const Platform platform = real.platform();
  if (!PrepareThread(platform.thread, *options)) return kExitCheckFailed;
  RunOptions.quiet = options->quiet;
  CurrentProductName = options->product.value_or(u"");
  WriteLine("{" + ThreadJson() + ",\"quiet\":" + (RunOptions.quiet ? "true" : "false") +
            ",\"product\":" + JsonString(CurrentProductName) + "}");

  for (std::uint32_t id : options->ids) {
    // Nothing may run between setting the value and the call: the message
    // prints what the thread holds on entry.
    if (options->lastError) platform.thread.SetLastError(*options->lastError);
    ReportMessage(platform, id);
    const DWORD after = GetLastError();
    WriteLine("{\"id\":" + std::to_string(id) + ",\"lastErrorAfter\":" + std::to_string(after) +
              "}");
  }
  return kExitDone;
}

int LoadStringCommand(const Args& args) {
  const std::optional<Options> options = ParseOptions(args, false);
  if (!options) return UsageError(kLoadStringUsage);
  PrepareProcess();
  win32::Win32Resources resources;
  win32::Win32ThreadState thread;
  if (!PrepareThread(thread, *options)) return kExitCheckFailed;
  WriteLine("{" + ThreadJson() + "}");

  for (std::uint32_t id : options->ids) {
    std::u16string text;
    if (options->lastError) thread.SetLastError(*options->lastError);
    const int count = LoadStringText(resources, ModuleInstance, id, text, kStringCapacity);
    const DWORD after = GetLastError();
    // The platform's own choice of language, for comparison.
    wchar_t system[kStringCapacity] = {};
    const int systemCount = ::LoadStringW(GetModuleHandleW(nullptr), id, system, kStringCapacity);
    const std::u16string systemText =
        systemCount > 0 ? win32::FromWide(system, static_cast<std::size_t>(systemCount)) : u"";
    WriteLine("{\"id\":" + std::to_string(id) + ",\"count\":" + std::to_string(count) +
              ",\"text\":" + JsonString(text) + ",\"lastErrorAfter\":" + std::to_string(after) +
              ",\"system\":" + JsonString(systemText) + "}");
  }
  return kExitDone;
}

}  // namespace

HOTFIX_PROBE_COMMAND("report", kReportUsage, ReportCommand)
HOTFIX_PROBE_COMMAND("load-string", kLoadStringUsage, LoadStringCommand)

}  // namespace hotfix::probe
