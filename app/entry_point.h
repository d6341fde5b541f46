// Start-up after ModuleInstance is stored and DLL loading is restricted:
// read the switches, run the selected flows, clean up.
#pragma once

#include "platform/platform.h"

namespace hotfix {

// Parses the command line, runs RunInstallation alone or the /e, /p and /i
// flows in that fixed order, empties ProductList, and returns the exit code,
// which is always 0.
int RunHotfix(const Platform& platform);

// The /i flow: the target product codes of the patch in a message box.
void ShowProductList(const Platform& platform);

}  // namespace hotfix
