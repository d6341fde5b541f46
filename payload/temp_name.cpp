#include "payload/temp_name.h"

#include <cstdint>
#include <string>

namespace hotfix {
namespace {

constexpr std::uint32_t kFirstTempNumber = 2;
// A process makes at most a handful of names; the limit only keeps a
// temporary directory full of leftovers (or one whose every probe is
// refused) from turning the search into an endless loop.
constexpr std::uint32_t kLastTempNumber = 99999;

std::uint32_t nextTempNumber = kFirstTempNumber;

std::u16string Decimal(std::uint32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string ChooseDirectory(FileSystem& files, const std::u16string& directory) {
  if (const auto tmp = files.GetEnvironmentVariableW(u"TMP"); tmp && !tmp->empty() &&
                                                              files.IsDirectory(*tmp)) {
    return *tmp;
  }
  if (!directory.empty() && files.IsDirectory(directory)) return directory;
  if (const auto root = files.CurrentDriveRoot(); root && !root->empty()) return *root;
  return {};  // the current directory: a bare relative name
}

}  // namespace

std::optional<std::u16string> MakeTempName(FileSystem& files, const std::u16string& directory,
                                           const std::u16string& prefix) {
  std::u16string stem = ChooseDirectory(files, directory);
  if (!stem.empty() && stem.back() != u'\\' && stem.back() != u'/') stem += u'\\';
  stem += prefix;

  while (nextTempNumber <= kLastTempNumber) {
    std::u16string name = stem + Decimal(nextTempNumber++);
    const PathProbe probe = files.ProbePath(name);
    if (probe == PathProbe::kAbsent) return name;
  }
  return std::nullopt;
}

void ResetTempNameCounter() { nextTempNumber = kFirstTempNumber; }

}  // namespace hotfix
