#include "install/working_copy.h"

#include <cstddef>
#include <string>
#include <utility>

namespace hotfix {
namespace {

constexpr std::size_t kMaxNumberDigits = 5;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsNumber(std::u16string_view digits) {
  if (digits.empty() || digits.size() > kMaxNumberDigits || digits[0] == u'0') return false;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

// Where the folder part of a path ends: after its last separator.
std::size_t NameStart(const std::u16string& path) {
  const std::size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? 0 : separator + 1;
}

std::u16string Decimal(unsigned value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

bool IsWorkingCopyName(std::u16string_view name, std::u16string_view packageName) {
  const std::size_t stem = packageName.size() + kWorkingCopyInfix.size();
  if (packageName.empty() || name.size() <= stem) return false;
  return EqualIgnoringAsciiCase(name.substr(0, packageName.size()), packageName) &&
         EqualIgnoringAsciiCase(name.substr(packageName.size(), kWorkingCopyInfix.size()),
                                kWorkingCopyInfix) &&
         IsNumber(name.substr(stem));
}

WorkingCopy::WorkingCopy(FileSystem& files, std::u16string package)
    : files_(files), package_(std::move(package)) {}

WorkingCopy::~WorkingCopy() {
  if (owned_) files_.DeleteFileW(path_);
}

bool WorkingCopy::Make() {
  if (files_.ProbePath(package_) != PathProbe::kExists) return false;

  // A run that was ended while it worked on a copy left it behind. It never
  // holds more than the package does, or will once the patch is applied.
  const std::size_t nameStart = NameStart(package_);
  const std::u16string folder = package_.substr(0, nameStart);
  const std::u16string packageName = package_.substr(nameStart);
  for (const std::u16string& name :
       files_.FindFileNames(package_ + std::u16string(kWorkingCopyInfix) + u"*")) {
    if (IsWorkingCopyName(name, packageName)) files_.DeleteFileW(folder + name);
  }

  for (unsigned number = 1; number <= kLastWorkingCopyNumber; ++number) {
    std::u16string candidate = package_ + std::u16string(kWorkingCopyInfix) + Decimal(number);
    // Paths are formed in 260 units, terminator included.
    if (candidate.size() >= kMaxPath) return false;
    if (files_.ProbePath(candidate) != PathProbe::kAbsent) continue;
    if (!files_.CopyFileW(package_, candidate)) return false;
    path_ = std::move(candidate);
    owned_ = true;
    return true;
  }
  return false;
}

bool WorkingCopy::Replace() {
  if (!owned_) return false;
  // Renamed before its bytes are on the disk, a copy could take the
  // package's place as a file of the right size holding nothing, should the
  // machine go off just then.
  if (!files_.FlushFileBuffers(path_)) return false;
  if (!files_.ReplaceFileW(package_, path_) && !files_.MoveFileExW(path_, package_)) {
    // ReplaceFileW may have moved the package away before it failed; then
    // the copy, whole and edited, is all that is left of it, and it stays
    // unless the package is certainly there.
    if (files_.ProbePath(package_) != PathProbe::kExists) owned_ = false;
    return false;
  }
  owned_ = false;
  return true;
}

}  // namespace hotfix
