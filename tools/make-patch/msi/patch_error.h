// The one kind of failure make-patch reports: a message a release engineer
// can act on ("package B is version 5.2.0.0, the same as A").
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace makepatch {

class PatchError : public std::runtime_error {
 public:
  explicit PatchError(const std::string& message) : std::runtime_error(message) {}
};

// A file from outside that is not what it should be, told in one line: the
// file, the part of it that is damaged, what is wrong there, and what kind
// of file it should have been:
//   "m.msi: its string pool is damaged (...): the file is damaged, or not a
//   Windows Installer package"
// part: "its compound file", "its string pool", "table File", "stream
// Binary.Icon", "cabinet product.cab", "its summary information".
class DamagedFile : public PatchError {
 public:
  DamagedFile(const std::string& file, const std::string& part, const std::string& detail, const std::string& kind)
      : PatchError(file + ": " + part + " is damaged (" + detail + "): the file is damaged, or not a " + kind) {}
};

// 4294967040 as "4,294,967,040": the figures of a refusal are read by people.
inline std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

inline constexpr const char* kPackageKind = "Windows Installer package";
inline constexpr const char* kPatchKind = "Windows Installer patch";
inline constexpr const char* kCabinetKind = "cabinet";

}  // namespace makepatch
