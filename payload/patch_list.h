// Appending the patch description blocks (type "TXT", ids from 206) to a
// patch list file.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// fileName: in and out; when empty, the name is chosen ("patchlist" + four
// characters of the first target code + ".txt", or "patchlist.txt"), which
// leaves a temporary copy of the package behind. Each block is appended as
// "*****\r\n", its bytes, "\r\n"; the file is never truncated. Reports 310
// when the file cannot be opened or block 206 is missing, 300 when a block
// cannot be loaded. Returns false only when the file cannot be opened or
// created.
bool WritePatchList(const Platform& platform, std::u16string& fileName);

}  // namespace hotfix
