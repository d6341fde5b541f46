// The real platform: every Win32 service and the Windows Installer service.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_installer.h"
#include "platform/win32/win32_services.h"

namespace hotfix::win32 {

// Construct only after the DLL search is restricted: the installer service
// is loaded here.
struct Win32Platform {
  Win32Installer installer;
  Win32Resources resources;
  Win32ThreadState thread;
  Win32MessageBoxes boxes;
  Win32FileSystem files;
  Win32Processes processes;
  Win32CommandLine commandLine;
  Win32MachineLocks locks;

  Platform platform() {
    return Platform{installer, resources, thread, boxes, files, processes, commandLine, locks};
  }
};

}  // namespace hotfix::win32
