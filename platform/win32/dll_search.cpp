#include "platform/win32/dll_search.h"

#include <windows.h>

namespace hotfix::win32 {

bool RestrictDllSearchToSystemDirectory() {
  // Removes the current directory from the search of LoadLibrary.
  SetDllDirectoryW(L"");
  // Resolved at run time: systems without the update that brought it refuse
  // to start a program that imports it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                 GetProcAddress(kernel, "SetDefaultDllDirectories")))
                           : nullptr;
  return setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

}  // namespace hotfix::win32
