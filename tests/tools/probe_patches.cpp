// The patches the installer service has registered for a product: what the
// Wine tests check after a hotfix run, through functions the program itself
// never calls (so they are bound here, from the system's msi.dll).
#include <windows.h>

#include <string>

#include "platform/win32/text.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

constexpr const char* kPatchesUsage =
    "patches CODE: one JSON line {\"patches\":[{\"code\":GUID,\"state\":TEXT,\"transforms\":TEXT},...]}: "
    "MsiEnumPatchesW of CODE, and MsiGetPatchInfoExW(\"State\") of each patch for the machine";

constexpr DWORD kContextMachine = 4;  // MSIINSTALLCONTEXT_MACHINE

using EnumPatches = UINT(WINAPI*)(LPCWSTR, DWORD, LPWSTR, LPWSTR, LPDWORD);
using GetPatchInfoEx = UINT(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPCWSTR, LPWSTR, LPDWORD);

int Patches(const Args& args) {
  if (args.size() != 1) return UsageError(kPatchesUsage);
  HMODULE msi = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto enumPatches = msi ? reinterpret_cast<EnumPatches>(reinterpret_cast<void*>(
                               GetProcAddress(msi, "MsiEnumPatchesW")))
                         : nullptr;
  auto patchInfo = msi ? reinterpret_cast<GetPatchInfoEx>(reinterpret_cast<void*>(
                             GetProcAddress(msi, "MsiGetPatchInfoExW")))
                       : nullptr;
  if (enumPatches == nullptr || patchInfo == nullptr) {
    WriteErrorLine("probe: msi.dll has no MsiEnumPatchesW or MsiGetPatchInfoExW");
    return kExitCheckFailed;
  }
  std::string out = "{\"patches\":[";
  for (DWORD index = 0;; ++index) {
    wchar_t code[39] = {};
    wchar_t transforms[1024] = {};
    DWORD length = 1024;
    if (enumPatches(win32::Wide(args[0]), index, code, transforms, &length) != ERROR_SUCCESS) break;
    wchar_t state[64] = {};
    DWORD stateLength = 64;
    if (patchInfo(code, win32::Wide(args[0]), nullptr, kContextMachine, L"State", state, &stateLength) !=
        ERROR_SUCCESS) {
      state[0] = L'\0';
    }
    out += std::string(index ? "," : "") + "{\"code\":" + JsonString(win32::FromWide(code)) +
           ",\"state\":" + JsonString(win32::FromWide(state)) +
           ",\"transforms\":" + JsonString(win32::FromWide(transforms)) + "}";
  }
  WriteLine(out + "]}");
  FreeLibrary(msi);
  return kExitDone;
}

}  // namespace

HOTFIX_PROBE_COMMAND("patches", kPatchesUsage, Patches)

}  // namespace hotfix::probe
