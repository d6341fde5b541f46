// The installed-product steps over the real platform: discovery, the
// running-program guard and the cached package edits, plus the installer and
// process queries the Wine tests use to set up and check them.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "install/cached_package.h"
#include "install/discovery.h"
#include "install/product_list.h"
#include "install/program_guard.h"
#include "payload/extract_patch.h"
#include "payload/patch_targets.h"
#include "platform/win32/dll_search.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_platform.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

// What the shipped hotfix passes: strings 700 and 900.
constexpr char16_t kDefaultPatchedVersion[] = u"5.2.1.0";
constexpr char16_t kDefaultApplicableVersions[] = u"5.2.0.0,";

constexpr const char* kDiscoverUsage =
    "discover (--embedded | --patch MSP | --targets TEXT) [PATCHED [APPLICABLE]]: "
    "DiscoverProducts over the Template of the embedded patch (extracted to a temporary file "
    "as the hotfix does, deleted afterwards), of MSP, or over TEXT, with PATCHED (default "
    "5.2.1.0) and APPLICABLE (default \"5.2.0.0,\"); one JSON line per ProductList entry, "
    "every field";
constexpr const char* kGuardUsage =
    "guard: EnsureProductClosed; prints {\"result\":true|false}";
constexpr const char* kAdjustUsage =
    "adjust PATH: AdjustCachedPackage on PATH; prints {\"adjusted\":PATH} once it returned";
constexpr const char* kQueryUsage =
    "query PATH FIELDS SQL...: opens the database PATH read-only with MsiOpenDatabaseW and runs "
    "each SQL in turn; one JSON line {\"query\":I,\"row\":[...]} per row, I counting the SQL "
    "from 0 and the row its fields 1 to FIELDS as strings; exit code 1, after "
    "{\"failed\":STEP,\"result\":N}, when the open (STEP open), a view, its execution, or a "
    "fetch or read fails";
constexpr const char* kProductInfoUsage =
    "product-info CODE PROPERTY: QueryProductProperty; prints the text as it is (UTF-8), one line";
constexpr const char* kProductStateUsage =
    "product-state CODE: prints {\"state\":N,\"installed\":true|false} (MsiQueryProductStateW, "
    "IsProductInstalled)";
constexpr const char* kProcessesUsage =
    "processes: one JSON line {\"pid\":N,\"exeFile\":NAME} per process of the snapshot the "
    "guard takes; exit code 1 when it cannot be taken";
constexpr const char* kHoldUsage =
    "hold PATH READY STOP: opens PATH for reading, sharing it for reading only (so nobody can "
    "write it), creates READY, and closes it once STOP exists (at most 120 s); exit code 1 "
    "when PATH cannot be opened";
constexpr const char* kConfigureUsage =
    "configure CODE COMMAND_LINE: MsiConfigureProductExW(CODE, default level, default state, "
    "COMMAND_LINE) as the hotfix calls it; prints {\"result\":N}";
constexpr const char* kRunningUsage =
    "running NAME: IsProcessRunning; prints {\"running\":true|false}, exit code 0 when running, "
    "1 when not";

// As the program's entry point does it, before the adapters load anything.
// Idempotent, so every command can call it.
void PrepareProcess() {
  ModuleInstance = GetModuleHandleW(nullptr);
  win32::RestrictDllSearchToSystemDirectory();
}

const char* JsonBool(bool value) { return value ? "true" : "false"; }

std::string EntryJson(std::size_t index, const ProductEntry& entry) {
  return "{\"index\":" + std::to_string(index) +
         ",\"productCode\":" + JsonString(entry.productCode) +
         ",\"patchedVersion\":" + JsonString(entry.patchedVersion) +
         ",\"productName\":" + JsonString(entry.productName) +
         ",\"language\":" + JsonString(entry.language) +
         ",\"installCommandLine\":" + JsonString(entry.installCommandLine) +
         ",\"applicableVersions\":" + JsonString(entry.applicableVersions) +
         ",\"installedVersion\":" + JsonString(entry.installedVersion) +
         ",\"localPackage\":" + JsonString(entry.localPackage) + "}";
}

int Discover(const Args& args) {
  if (args.empty()) return UsageError(kDiscoverUsage);
  const bool embedded = args[0] == u"--embedded";
  const std::size_t first = embedded ? 1 : 2;  // of the version texts
  if (args.size() < first || args.size() > first + 2) return UsageError(kDiscoverUsage);
  std::u16string patchedVersion = args.size() > first ? args[first] : kDefaultPatchedVersion;
  std::u16string applicableVersions =
      args.size() > first + 1 ? args[first + 1] : kDefaultApplicableVersions;

  PrepareProcess();
  win32::Win32Platform real;
  const Platform platform = real.platform();
  std::u16string targets;
  if (embedded) {
    std::u16string extracted;
    if (!ExtractPatch(platform, extracted)) {
      WriteErrorLine("probe: cannot extract the embedded patch to " + Utf8(extracted));
      if (!extracted.empty()) platform.files.DeleteFileW(extracted);
      return kExitCheckFailed;
    }
    const bool read = GetPatchTargets(platform, extracted, targets);
    platform.files.DeleteFileW(extracted);
    if (!read) {
      WriteErrorLine("probe: no Template read from the embedded patch");
      return kExitCheckFailed;
    }
  } else if (args[0] == u"--patch") {
    if (!GetPatchTargets(platform, args[1], targets)) {
      WriteErrorLine("probe: no Template read from " + Utf8(args[1]));
      return kExitCheckFailed;
    }
  } else if (args[0] == u"--targets") {
    targets = args[1];
  } else {
    return UsageError(kDiscoverUsage);
  }

  ProductList.clear();
  DiscoverProducts(platform.installer, targets, patchedVersion, applicableVersions);
  for (std::size_t i = 0; i < ProductList.size(); ++i) WriteLine(EntryJson(i, ProductList[i]));
  ProductList.clear();
  return kExitDone;
}

int Guard(const Args& args) {
  if (!args.empty()) return UsageError(kGuardUsage);
  PrepareProcess();
  win32::Win32Platform real;
  bool closed = EnsureProductClosed(real.platform());
  WriteLine(std::string("{\"result\":") + JsonBool(closed) + "}");
  return kExitDone;
}

int Adjust(const Args& args) {
  if (args.size() != 1) return UsageError(kAdjustUsage);
  PrepareProcess();
  win32::Win32Platform real;
  AdjustCachedPackage(real.installer, real.files, args[0]);
  WriteLine("{\"adjusted\":" + JsonString(args[0]) + "}");
  return kExitDone;
}

constexpr std::uintptr_t kMsiDbOpenReadOnly = 0;
constexpr std::uint32_t kErrorNoMoreItems = 259;

int QueryFailed(const char* step, std::uint32_t result) {
  WriteLine(std::string("{\"failed\":\"") + step + "\",\"result\":" + std::to_string(result) + "}");
  return kExitCheckFailed;
}

// One SELECT over an open database, its rows printed as they come.
int PrintRows(Installer& installer, MsiHandle database, std::size_t index, std::uint32_t fields,
              const std::u16string& sql) {
  UniqueMsiHandle view(installer);
  std::uint32_t result = installer.MsiDatabaseOpenViewW(database, sql.c_str(), view.put());
  if (result != kErrorSuccess) return QueryFailed("view", result);
  result = installer.MsiViewExecute(view.get(), 0);
  if (result != kErrorSuccess) return QueryFailed("execute", result);
  for (;;) {
    UniqueMsiHandle record(installer);
    result = installer.MsiViewFetch(view.get(), record.put());
    if (result == kErrorNoMoreItems) return kExitDone;
    if (result != kErrorSuccess) return QueryFailed("fetch", result);
    std::vector<std::u16string> row;
    for (std::uint32_t field = 1; field <= fields; ++field) {
      std::u16string value(256, u'\0');
      std::uint32_t length = static_cast<std::uint32_t>(value.size());
      result = installer.MsiRecordGetStringW(record.get(), field, value.data(), &length);
      if (result == kErrorMoreData) {
        value.assign(length + 1, u'\0');
        length = static_cast<std::uint32_t>(value.size());
        result = installer.MsiRecordGetStringW(record.get(), field, value.data(), &length);
      }
      if (result != kErrorSuccess) return QueryFailed("read", result);
      value.resize(length);
      row.push_back(value);
    }
    WriteLine("{\"query\":" + std::to_string(index) + ",\"row\":" + JsonStrings(row) + "}");
  }
}

int Query(const Args& args) {
  if (args.size() < 3) return UsageError(kQueryUsage);
  const std::optional<std::uint32_t> fields = ParseNumber(args[1]);
  if (!fields || *fields == 0) return UsageError(kQueryUsage);
  PrepareProcess();
  win32::Win32Platform real;
  UniqueMsiHandle database(real.installer);
  const std::uint32_t result =
      real.installer.MsiOpenDatabaseW(args[0].c_str(), kMsiDbOpenReadOnly, database.put());
  if (result != kErrorSuccess) return QueryFailed("open", result);
  for (std::size_t i = 2; i < args.size(); ++i) {
    const int printed = PrintRows(real.installer, database.get(), i - 2, *fields, args[i]);
    if (printed != kExitDone) return printed;
  }
  return kExitDone;
}

int ProductInfo(const Args& args) {
  if (args.size() != 2) return UsageError(kProductInfoUsage);
  PrepareProcess();
  win32::Win32Platform real;
  WriteLine(Utf8(QueryProductProperty(real.installer, args[0], args[1])));
  return kExitDone;
}

int ProductState(const Args& args) {
  if (args.size() != 1) return UsageError(kProductStateUsage);
  PrepareProcess();
  win32::Win32Platform real;
  int state = real.installer.MsiQueryProductStateW(args[0].c_str());
  bool installed = IsProductInstalled(real.installer, args[0]);
  WriteLine("{\"state\":" + std::to_string(state) + ",\"installed\":" + JsonBool(installed) + "}");
  return kExitDone;
}

int Running(const Args& args) {
  if (args.size() != 1) return UsageError(kRunningUsage);
  PrepareProcess();
  win32::Win32Processes processes;
  bool running = IsProcessRunning(processes, args[0]);
  WriteLine(std::string("{\"running\":") + JsonBool(running) + "}");
  return running ? kExitDone : kExitCheckFailed;
}

int Processes(const Args& args) {
  if (!args.empty()) return UsageError(kProcessesUsage);
  PrepareProcess();
  win32::Win32Processes processes;
  const auto snapshot = processes.SnapshotProcesses();
  if (!snapshot) {
    WriteErrorLine("probe: no process snapshot");
    return kExitCheckFailed;
  }
  for (const ProcessEntry& entry : *snapshot) {
    WriteLine("{\"pid\":" + std::to_string(entry.processId) +
              ",\"exeFile\":" + JsonString(entry.exeFile) + "}");
  }
  return kExitDone;
}

int Configure(const Args& args) {
  if (args.size() != 2) return UsageError(kConfigureUsage);
  PrepareProcess();
  win32::Win32Platform real;
  std::uint32_t result = real.installer.MsiConfigureProductExW(
      args[0].c_str(), kInstallLevelDefault, kInstallStateDefault, args[1].c_str());
  WriteLine("{\"result\":" + std::to_string(result) + "}");
  return kExitDone;
}

bool Exists(const std::u16string& path) {
  return GetFileAttributesW(win32::Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

int Hold(const Args& args) {
  if (args.size() != 3) return UsageError(kHoldUsage);
  constexpr ULONGLONG kHoldLimitMs = 120000;
  constexpr DWORD kPollMs = 20;
  HANDLE file = CreateFileW(win32::Wide(args[0]), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    WriteErrorLine("probe: cannot open " + Utf8(args[0]) + ": " + std::to_string(GetLastError()));
    return kExitCheckFailed;
  }
  HANDLE ready = CreateFileW(win32::Wide(args[1]), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  const ULONGLONG deadline = GetTickCount64() + kHoldLimitMs;
  while (!Exists(args[2]) && GetTickCount64() < deadline) Sleep(kPollMs);
  CloseHandle(file);
  WriteLine("{\"held\":" + JsonString(args[0]) + "}");
  return kExitDone;
}

}  // namespace

HOTFIX_PROBE_COMMAND("discover", kDiscoverUsage, Discover)
HOTFIX_PROBE_COMMAND("guard", kGuardUsage, Guard)
HOTFIX_PROBE_COMMAND("adjust", kAdjustUsage, Adjust)
HOTFIX_PROBE_COMMAND("query", kQueryUsage, Query)
HOTFIX_PROBE_COMMAND("product-info", kProductInfoUsage, ProductInfo)
HOTFIX_PROBE_COMMAND("product-state", kProductStateUsage, ProductState)
HOTFIX_PROBE_COMMAND("processes", kProcessesUsage, Processes)
HOTFIX_PROBE_COMMAND("running", kRunningUsage, Running)
HOTFIX_PROBE_COMMAND("hold", kHoldUsage, Hold)
HOTFIX_PROBE_COMMAND("configure", kConfigureUsage, Configure)

}  // namespace hotfix::probe
