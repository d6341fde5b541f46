// Appending the patch description blocks (type "TXT", ids from 206) to a
// patch list file.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// fileName: in and out; when empty, the name is chosen ("patchlist" + four
// characters of the first target code + ".txt", or "patchlist.txt"). Returns
// false only when the file cannot be opened or created.
bool WritePatchList(const Platform& platform, std::u16string& fileName);

}  // namespace hotfix
