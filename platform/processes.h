// The list of running processes and the case-insensitive name comparison.
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
};

}  // namespace hotfix
