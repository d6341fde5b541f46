// The process-wide switches and the program's own module handle.
#pragma once

#include <string>

#include "platform/types.h"

namespace hotfix {

struct RunOptionsRecord {
  bool quiet = false;
  bool install = true;
  bool extract = false;
  std::u16string extractPath;
  bool patchList = false;
  std::u16string patchListPath;
  bool listProducts = false;
};

// Filled once by ParseCommandLine; read by the entry point and ReportMessage.
extern RunOptionsRecord RunOptions;

// Stored first thing at start-up; every resource lookup passes it.
extern ModuleHandle ModuleInstance;

}  // namespace hotfix
