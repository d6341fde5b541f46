// Keeping DLLs planted beside the program (a Downloads folder) out of reach.
#pragma once

namespace hotfix::win32 {

// Restricts the search of every later DLL load to the system directory and
// takes the current directory out of it. Returns false when the system
// cannot restrict the default search (the explicit loads of the program
// still name the system directory).
bool RestrictDllSearchToSystemDirectory();

}  // namespace hotfix::win32
