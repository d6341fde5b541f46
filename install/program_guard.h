// Waiting until the product's program ("quor.exe") is closed.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// True when a process with that image file name runs, or when the process
// list cannot be taken.
bool IsProcessRunning(Processes& processes, const std::u16string& imageName);

// Checks for "quor.exe" and, while it runs, asks to close it with Retry and
// Cancel. True when it is not running; false when the user cancelled.
// Shown under /q as well. A prompt that cannot be shown counts as Retry,
// after a pause of a second.
bool EnsureProductClosed(const Platform& platform);

}  // namespace hotfix
