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
// created, or its end cannot be found (nothing is written then).
bool WritePatchList(const Platform& platform, std::u16string& fileName);

// The name chosen from a target text: "patchlist", the (at most) four
// characters after the first "-" of the part after the first ":" (its
// first four when there is no "-"), ".txt"; "patchlist.txt" when those
// characters cannot stand in a file name (control characters or any of
// \ / : * ? " < > |).
std::u16string PatchListNameFor(std::u16string targets);

}  // namespace hotfix
