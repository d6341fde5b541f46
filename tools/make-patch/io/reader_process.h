// Reading outside files through libraries that may crash or hang on damaged
// input (msitools' library, libgsf, libgcab), in a process of their own:
// their fault becomes one line the tool reports, never the tool's own death.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace makepatch {

// Runs read in a child process made by fork (no exec: it shares the code
// and the state of the moment, a KeepFile's lookups included). There the
// libraries' logging is silenced and standard error goes nowhere. Returns
// the bytes read returned.
//
// A PatchError in the child is thrown again here with its message. A death
// of the child, or a child that says nothing for kQuietLimit seconds, is
// thrown as DamagedFile(file, the part last named by ReadingStage, ..., kind).
std::vector<std::uint8_t> ReadInReaderProcess(const std::string& file, const std::string& kind,
                                              const std::function<std::vector<std::uint8_t>()>& read);

// In the reader process: what of the file is being read now ("table File",
// "cabinet product.cab"), so that its death names it; it also counts as a
// sign of life. Outside one: nothing.
void ReadingStage(const std::string& part);

// The longest the reader process may go without naming a stage.
inline constexpr int kQuietLimit = 600;

}  // namespace makepatch
