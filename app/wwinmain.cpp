// The Windows entry point: a few lines around RunHotfix, so the tests link
// the code that ships.
#include <windows.h>

#include "app/entry_point.h"
#include "app/run_options.h"
#include "platform/win32/dll_search.h"
#include "platform/win32/win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  hotfix::ModuleInstance = instance;
  // Before any DLL is loaded: the program is typically started from a
  // Downloads folder, where anyone may have left a DLL of a system name.
  hotfix::win32::RestrictDllSearchToSystemDirectory();
  hotfix::win32::Win32Platform platform;
  return hotfix::RunHotfix(platform.platform());
}
