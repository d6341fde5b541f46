// Applies delta patches through the platform's patch-application interface,
// the way the installer's PatchFiles action does: mspatcha.dll, loaded from
// the system directory, and its ApplyPatchToFileW.
//
//   apply_delta.exe COMMAND... with COMMAND one of
//     apply PATCH OLD NEW   ApplyPatchToFileW(PATCH, OLD, NEW, 0)
//     test PATCH OLD        TestApplyPatchToFileW(PATCH, OLD, 0): whether
//                           PATCH (or its header alone) applies to OLD
//
// Prints a line for each: "apply NEW: ok" or "apply NEW: error N" (N the
// last Windows error), "test OLD: ..." likewise. Exit code 0 when every
// command ran, whatever its result; 2 for a bad command line; 3 when the
// interface cannot be loaded.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/tools/tool_support.h"

namespace {

using ApplyPatchToFileFn = BOOL(WINAPI*)(LPCWSTR patch, LPCWSTR oldFile, LPCWSTR newFile, ULONG flags);
using TestApplyPatchToFileFn = BOOL(WINAPI*)(LPCWSTR patch, LPCWSTR oldFile, ULONG flags);

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void Report(const char* verb, const wchar_t* subject, BOOL ok) {
  const DWORD error = GetLastError();
  const std::string name = hotfix::tools::Utf8(std::wstring_view(subject));
  if (ok) {
    std::printf("%s %s: ok\n", verb, name.c_str());
  } else {
    std::printf("%s %s: error %lu\n", verb, name.c_str(), static_cast<unsigned long>(error));
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 3;
  const HMODULE mspatcha = LoadLibraryW((std::wstring(system, length) + L"\\mspatcha.dll").c_str());
  if (mspatcha == nullptr) return 3;
  const auto apply = Entry<ApplyPatchToFileFn>(mspatcha, "ApplyPatchToFileW");
  const auto test = Entry<TestApplyPatchToFileFn>(mspatcha, "TestApplyPatchToFileW");
  if (apply == nullptr || test == nullptr) return 3;

  for (int i = 1; i < argc;) {
    const std::wstring verb = argv[i];
    if (verb == L"apply" && i + 3 < argc) {
      Report("apply", argv[i + 3], apply(argv[i + 1], argv[i + 2], argv[i + 3], 0));
      i += 4;
    } else if (verb == L"test" && i + 2 < argc) {
      Report("test", argv[i + 2], test(argv[i + 1], argv[i + 2], 0));
      i += 3;
    } else {
      std::fprintf(stderr, "usage: apply_delta.exe (apply PATCH OLD NEW | test PATCH OLD)...\n");
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
