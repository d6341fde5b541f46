// Reading the switches of the process command line into RunOptions.
#pragma once

#include "platform/command_line.h"

namespace hotfix {

// Fills RunOptions from the command line of the process. Never fails: a
// command line that cannot be split leaves the default mode selected.
void ParseCommandLine(CommandLineSource& commandLine);

}  // namespace hotfix
