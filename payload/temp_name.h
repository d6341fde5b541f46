// Temporary file names "<dir>\MSP<n>", made the same way on every runtime:
// a counter shared by the process, starting at 2, skipping names that exist
// or cannot be tested. Making a name creates nothing on disk.
#pragma once

#include <optional>
#include <string>

#include "platform/files.h"

namespace hotfix {

// directory: the preferred directory (the temporary directory). TMP is used
// instead when it names an existing directory; when neither exists, the root
// of the current drive, failing that the current directory (an empty prefix).
// A backslash separates directory and prefix unless the directory already
// ends in one or in a slash. Every name tried uses up one number, so no two
// calls in a process return the same name. Nothing once the numbers up to
// 99999 are used up.
std::optional<std::u16string> MakeTempName(FileSystem& files, const std::u16string& directory,
                                           const std::u16string& prefix);

// Back to the state of a fresh process (the next name ends in 2).
void ResetTempNameCounter();

}  // namespace hotfix
