// The list of running processes, the case-insensitive name comparison and
// a pause between two looks at the list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hotfix {

struct ProcessEntry {
  std::uint32_t processId = 0;
  std::u16string exeFile;  // image file name without folder
};

class Processes {
 public:
  virtual ~Processes() = default;
  // One snapshot of the processes, in the order the system delivers them;
  // nothing when the snapshot cannot be taken.
  virtual std::optional<std::vector<ProcessEntry>> SnapshotProcesses() = 0;
  // lstrcmpiW: 0 when the names are equal ignoring letter case.
  virtual int CompareNamesIgnoringCase(const std::u16string& a, const std::u16string& b) = 0;
  // Sleep: suspends the thread for about that many milliseconds before the
  // processes are looked at again.
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

}  // namespace hotfix
