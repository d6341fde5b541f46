// Everything the core needs of the operating system, passed explicitly.
#pragma once

#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/installer.h"
#include "platform/machine_lock.h"
#include "platform/message_box.h"
#include "platform/processes.h"
#include "platform/resources.h"
#include "platform/thread_state.h"

namespace hotfix {

struct Platform {
  Installer& installer;
  ModuleResources& resources;
  ThreadState& thread;
  MessageBoxes& boxes;
  FileSystem& files;
  Processes& processes;
  CommandLineSource& commandLine;
  MachineLocks& locks;
};

}  // namespace hotfix
