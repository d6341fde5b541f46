// The embedded payload over the real platform: extraction of the program's own
// patch resource, the Template of a package through the real msi.dll, and
// where msi.dll was loaded from.
#include <windows.h>
#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "payload/extract_patch.h"
#include "payload/patch_targets.h"
#include "platform/win32/dll_search.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_platform.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

constexpr const char* kExtractUsage =
    "extract PATH: ExtractPatch to PATH (\"\" for a temporary name); prints "
    "{\"ok\":B,\"result\":NAME,\"path\":AFTER,\"pathChanged\":B}";
constexpr const char* kExtractTempUsage =
    "extract-temp N [--delete]: N extractions with empty paths in one process, with --delete "
    "removing each file before the next; prints {\"tempPath\":GetTempPathW,\"tmp\":TMP or "
    "null}, then one {\"index\":I,\"ok\":B,\"result\":NAME,\"path\":P[,\"deleted\":B]} a "
    "line";
constexpr const char* kTargetsUsage =
    "targets PATH: GetPatchTargets on PATH with targets preset to a marker; prints "
    "{\"ok\":B,\"length\":N,\"targets\":T,\"untouched\":B,\"opened\":[FULL],"
    "\"reads\":[{\"capacity\":C,\"status\":S,\"length\":L}],\"handlesLeftOpen\":N}";
constexpr const char* kDllCheckUsage =
    "dll-check [MODE]: loads msi.dll one way and prints {\"mode\":MODE,\"restricted\":B or null,"
    "\"available\":B or null,\"loadError\":N or null,\"state\":N or null,\"msiModules\":[every loaded module named "
    "msi.dll]}. MODE program (default): the DLL search restricted, then the real platform, which "
    "asks MsiQueryProductStateW about an unknown code; adapter-only: the platform without the "
    "restriction; restriction-only: the restriction, then a plain LoadLibraryW(\"msi.dll\")";
constexpr const char* kTamperUsage =
    "tamper PATH [COPY]: what another process of the user can do to PATH, in this order: "
    "overwrite it (open it for writing and write over its start), rename it (to PATH.swapped), "
    "delete it, read it as the installer service does (read access, others may read); prints "
    "{\"overwrite\":E,\"rename\":E,\"delete\":E,\"read\":E,\"bytesRead\":N}, each E the "
    "Windows error of that attempt, 0 when it worked; the bytes read go to COPY";

// What targets holds before the call, so a failed call shows it kept it.
constexpr char16_t kTargetsMarker[] = u"<targets before the call>";
constexpr char16_t kNoSuchProduct[] = u"{00000000-0000-0000-0000-000000000000}";

const char* JsonBool(bool value) { return value ? "true" : "false"; }

// As the program's entry point does it, before the adapters load anything.
bool PrepareProcess() {
  ModuleInstance = GetModuleHandleW(nullptr);
  return win32::RestrictDllSearchToSystemDirectory();
}

const char* ResultName(ExtractResult result) {
  switch (result) {
    case ExtractResult::kWritten: return "written";
    case ExtractResult::kTempPathFailed: return "temp-path-failed";
    case ExtractResult::kNoTempName: return "no-temp-name";
    case ExtractResult::kResourceMissing: return "resource-missing";
    case ExtractResult::kResourceSizeZero: return "resource-size-zero";
    case ExtractResult::kResourceLoadFailed: return "resource-load-failed";
    case ExtractResult::kResourceLockFailed: return "resource-lock-failed";
    case ExtractResult::kOpenFailed: return "open-failed";
    case ExtractResult::kShortWrite: return "short-write";
    case ExtractResult::kCloseFailed: return "close-failed";
    case ExtractResult::kHoldFailed: return "hold-failed";
    case ExtractResult::kNotThePackage: return "not-the-package";
    case ExtractResult::kResourceReadFailed: return "resource-read-failed";
  }
  return "unknown";
}

// Passes every call to the real service and records what the target list
// asked of it: the paths it opened, each property read, and the handles it
// left open.
class RecordingInstaller : public Installer {
 public:
  struct Read {
    std::uint32_t capacity;
    std::uint32_t status;
    std::uint32_t length;
  };

  explicit RecordingInstaller(Installer& real) : real_(real) {}

  std::vector<std::u16string> opened;
  std::vector<Read> reads;
  std::vector<MsiHandle> open;

  std::uint32_t MsiGetSummaryInformationW(MsiHandle database, const char16_t* path,
                                          std::uint32_t updateCount, MsiHandle* summary) override {
    opened.emplace_back(path != nullptr ? path : u"");
    const std::uint32_t result = real_.MsiGetSummaryInformationW(database, path, updateCount,
                                                                 summary);
    if (result == kErrorSuccess && summary != nullptr && *summary != 0) open.push_back(*summary);
    return result;
  }
  std::uint32_t MsiSummaryInfoGetPropertyW(MsiHandle summary, std::uint32_t property,
                                           std::uint32_t* dataType, std::int32_t* intValue,
                                           InstallerFileTime* fileTime, char16_t* buffer,
                                           std::uint32_t* length) override {
    const std::uint32_t capacity = length != nullptr ? *length : 0;
    const std::uint32_t result = real_.MsiSummaryInfoGetPropertyW(summary, property, dataType,
                                                                  intValue, fileTime, buffer,
                                                                  length);
    reads.push_back(Read{capacity, result, length != nullptr ? *length : 0});
    return result;
  }
  int MsiQueryProductStateW(const char16_t* product) override {
    return real_.MsiQueryProductStateW(product);
  }
  std::uint32_t MsiGetProductInfoW(const char16_t* product, const char16_t* property,
                                   char16_t* buffer, std::uint32_t* length) override {
    return real_.MsiGetProductInfoW(product, property, buffer, length);
  }
  std::uint32_t MsiOpenDatabaseW(const char16_t* path, std::uintptr_t persist,
                                 MsiHandle* database) override {
    return real_.MsiOpenDatabaseW(path, persist, database);
  }
  std::uint32_t MsiDatabaseOpenViewW(MsiHandle database, const char16_t* query,
                                     MsiHandle* view) override {
    return real_.MsiDatabaseOpenViewW(database, query, view);
  }
  std::uint32_t MsiViewExecute(MsiHandle view, MsiHandle parameters) override {
    return real_.MsiViewExecute(view, parameters);
  }
  std::uint32_t MsiViewFetch(MsiHandle view, MsiHandle* record) override {
    return real_.MsiViewFetch(view, record);
  }
  std::uint32_t MsiRecordGetStringW(MsiHandle record, std::uint32_t field, char16_t* buffer,
                                    std::uint32_t* length) override {
    return real_.MsiRecordGetStringW(record, field, buffer, length);
  }
  std::uint32_t MsiRecordSetStringW(MsiHandle record, std::uint32_t field,
                                    const char16_t* value) override {
    return real_.MsiRecordSetStringW(record, field, value);
  }
  std::uint32_t MsiViewModify(MsiHandle view, int mode, MsiHandle record) override {
    return real_.MsiViewModify(view, mode, record);
  }
  std::uint32_t MsiDatabaseCommit(MsiHandle database) override {
    return real_.MsiDatabaseCommit(database);
  }
  std::uint32_t MsiCloseHandle(MsiHandle handle) override {
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (*it == handle) {
        open.erase(it);
        break;
      }
    }
    return real_.MsiCloseHandle(handle);
  }
  std::uint32_t MsiConfigureProductExW(const char16_t* product, int installLevel,
                                       int installState, const char16_t* commandLine) override {
    return real_.MsiConfigureProductExW(product, installLevel, installState, commandLine);
  }

 private:
  Installer& real_;
};

std::string NullableString(const std::optional<std::u16string>& text) {
  return text ? JsonString(*text) : "null";
}

// Every module of this process whose file name is msi.dll, with its full path.
std::vector<std::u16string> LoadedMsiModules() {
  std::vector<std::u16string> paths;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return paths;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szModule, L"msi.dll") == 0) {
      paths.push_back(win32::FromWide(entry.szExePath));
    }
  }
  CloseHandle(snapshot);
  return paths;
}

int Extract(const Args& args) {
  if (args.size() != 1) return UsageError(kExtractUsage);
  PrepareProcess();
  win32::Win32Platform real;
  std::u16string path = args[0];
  const ExtractResult result = ExtractPatchDetailed(real.platform(), path);
  WriteLine(std::string("{\"ok\":") + JsonBool(result == ExtractResult::kWritten) +
            ",\"result\":\"" + ResultName(result) + "\",\"path\":" + JsonString(path) +
            ",\"pathChanged\":" + JsonBool(path != args[0]) + "}");
  return kExitDone;
}

int ExtractTemp(const Args& args) {
  if (args.empty() || args.size() > 2) return UsageError(kExtractTempUsage);
  const bool deleteEach = args.size() == 2;
  if (deleteEach && args[1] != u"--delete") return UsageError(kExtractTempUsage);
  const std::optional<std::uint32_t> count = ParseNumber(args[0]);
  if (!count || *count == 0 || *count > 100) return UsageError(kExtractTempUsage);
  PrepareProcess();
  win32::Win32Platform real;
  const Platform platform = real.platform();

  char16_t temp[1024] = {};
  const std::uint32_t tempLength = real.files.GetTempPathW(1024, temp);
  const std::u16string tempPath = tempLength > 0 && tempLength < 1024
                                      ? std::u16string(temp, tempLength)
                                      : std::u16string();
  WriteLine("{\"tempPath\":" + JsonString(tempPath) +
            ",\"tmp\":" + NullableString(real.files.GetEnvironmentVariableW(u"TMP")) + "}");

  for (std::uint32_t i = 0; i < *count; ++i) {
    // The path starts empty each time, as every caller passes it.
    std::u16string path;
    const ExtractResult result = ExtractPatchDetailed(platform, path);
    std::string line = "{\"index\":" + std::to_string(i) + ",\"ok\":" +
                       JsonBool(result == ExtractResult::kWritten) + ",\"result\":\"" +
                       ResultName(result) + "\",\"path\":" + JsonString(path);
    // Frees the name again: the next one must still be new.
    if (deleteEach) line += std::string(",\"deleted\":") + JsonBool(real.files.DeleteFileW(path));
    WriteLine(line + "}");
  }
  return kExitDone;
}

int Targets(const Args& args) {
  if (args.size() != 1) return UsageError(kTargetsUsage);
  PrepareProcess();
  win32::Win32Platform real;
  RecordingInstaller recording(real.installer);
  const Platform platform{recording,  real.resources, real.thread,      real.boxes,
                          real.files, real.processes, real.commandLine, real.locks};

  std::u16string targets = kTargetsMarker;
  const bool ok = GetPatchTargets(platform, args[0], targets);

  std::string reads = "[";
  for (std::size_t i = 0; i < recording.reads.size(); ++i) {
    const auto& read = recording.reads[i];
    if (i) reads += ",";
    reads += "{\"capacity\":" + std::to_string(read.capacity) +
             ",\"status\":" + std::to_string(read.status) +
             ",\"length\":" + std::to_string(read.length) + "}";
  }
  reads += "]";
  WriteLine(std::string("{\"ok\":") + JsonBool(ok) + ",\"length\":" +
            std::to_string(targets.size()) + ",\"targets\":" + JsonString(targets) +
            ",\"untouched\":" + JsonBool(targets == kTargetsMarker) +
            ",\"opened\":" + JsonStrings(recording.opened) + ",\"reads\":" + reads +
            ",\"handlesLeftOpen\":" + std::to_string(recording.open.size()) + "}");
  return kExitDone;
}

// A swap as any process of the same user could try it, while the program
// runs: every attempt that works changes the file, as an attacker would.
int Tamper(const Args& args) {
  if (args.empty() || args.size() > 2) return UsageError(kTamperUsage);
  const std::u16string& path = args[0];
  auto errorOf = [](bool ok) { return ok ? DWORD{0} : GetLastError(); };

  DWORD overwrite = 0;
  HANDLE writer = CreateFileW(win32::Wide(path), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (writer == INVALID_HANDLE_VALUE) {
    overwrite = GetLastError();
  } else {
    static const char kSwapped[] = "a package of another process";
    DWORD written = 0;
    overwrite = errorOf(WriteFile(writer, kSwapped, sizeof kSwapped - 1, &written, nullptr));
    CloseHandle(writer);
  }
  const std::u16string moved = path + u".swapped";
  const DWORD rename = errorOf(MoveFileExW(win32::Wide(path), win32::Wide(moved), 0));
  const DWORD remove = errorOf(DeleteFileW(win32::Wide(path)));

  const std::optional<std::string> bytes = ReadFileBytes(path);
  const DWORD read = bytes ? 0 : GetLastError();
  if (bytes && args.size() == 2) {
    HANDLE copy = CreateFileW(win32::Wide(args[1]), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (copy == INVALID_HANDLE_VALUE ||
        !WriteFile(copy, bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr)) {
      WriteErrorLine("probe tamper: cannot write the copy");
      if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
      return kExitCheckFailed;
    }
    CloseHandle(copy);
  }
  WriteLine("{\"overwrite\":" + std::to_string(overwrite) + ",\"rename\":" +
            std::to_string(rename) + ",\"delete\":" + std::to_string(remove) +
            ",\"read\":" + std::to_string(read) + ",\"bytesRead\":" +
            std::to_string(bytes ? bytes->size() : 0) + "}");
  return kExitDone;
}

// Each safeguard on its own must keep a planted msi.dll out; the program
// relies on both.
int DllCheck(const Args& args) {
  if (args.size() > 1) return UsageError(kDllCheckUsage);
  const std::u16string mode = args.empty() ? std::u16string(u"program") : args[0];
  std::string restricted = "null";
  std::string available = "null";
  std::string state = "null";
  std::string loadError = "null";
  std::vector<std::u16string> modules;
  if (mode == u"program" || mode == u"adapter-only") {
    if (mode == u"program") {
      restricted = JsonBool(PrepareProcess());
    } else {
      ModuleInstance = GetModuleHandleW(nullptr);
    }
    win32::Win32Platform real;
    available = JsonBool(real.installer.available());
    loadError = std::to_string(real.installer.loadError());
    state = std::to_string(real.installer.MsiQueryProductStateW(kNoSuchProduct));
    modules = LoadedMsiModules();
  } else if (mode == u"restriction-only") {
    restricted = JsonBool(PrepareProcess());
    HMODULE msi = LoadLibraryW(L"msi.dll");
    modules = LoadedMsiModules();
    if (msi != nullptr) FreeLibrary(msi);
  } else {
    return UsageError(kDllCheckUsage);
  }
  WriteLine("{\"mode\":" + JsonString(mode) + ",\"restricted\":" + restricted +
            ",\"available\":" + available + ",\"loadError\":" + loadError +
            ",\"state\":" + state +
            ",\"msiModules\":" + JsonStrings(modules) + "}");
  return kExitDone;
}

}  // namespace

HOTFIX_PROBE_COMMAND("extract", kExtractUsage, Extract)
HOTFIX_PROBE_COMMAND("extract-temp", kExtractTempUsage, ExtractTemp)
HOTFIX_PROBE_COMMAND("targets", kTargetsUsage, Targets)
HOTFIX_PROBE_COMMAND("dll-check", kDllCheckUsage, DllCheck)
HOTFIX_PROBE_COMMAND("tamper", kTamperUsage, Tamper)

}  // namespace hotfix::probe
