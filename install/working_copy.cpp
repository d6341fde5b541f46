#include "install/working_copy.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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

// Both kinds of copy share this start of the name.
constexpr std::u16string_view kCopyNameStart = u".hotfix-";

}  // namespace

bool IsCopyName(std::u16string_view name, std::u16string_view packageName,
                std::u16string_view infix) {
  const std::size_t stem = packageName.size() + infix.size();
  if (packageName.empty() || name.size() <= stem) return false;
  return EqualIgnoringAsciiCase(name.substr(0, packageName.size()), packageName) &&
         EqualIgnoringAsciiCase(name.substr(packageName.size(), infix.size()), infix) &&
         IsNumber(name.substr(stem));
}

WorkingCopy::WorkingCopy(FileSystem& files, std::u16string package)
    : files_(files), package_(std::move(package)) {}

WorkingCopy::~WorkingCopy() {
  if (owned_) files_.DeleteFileW(path_);
}

std::u16string WorkingCopy::NameFor(std::u16string_view infix) const {
  return package_ + std::u16string(infix) + Decimal(number_);
}

bool WorkingCopy::RestoreReadyCopy(const std::u16string& folder,
                                   const std::u16string& packageName) {
  for (const std::u16string& name :
       files_.FindFileNames(package_ + std::u16string(kReadyCopyInfix) + u"*")) {
    if (IsCopyName(name, packageName, kReadyCopyInfix) &&
        files_.MoveFileExW(folder + name, package_))
      return true;
  }
  return false;
}

bool WorkingCopy::Make() {
  const std::size_t nameStart = NameStart(package_);
  const std::u16string folder = package_.substr(0, nameStart);
  const std::u16string packageName = package_.substr(nameStart);

  PathProbe package = files_.ProbePath(package_);
  if (package == PathProbe::kAbsent && RestoreReadyCopy(folder, packageName))
    package = files_.ProbePath(package_);
  // Without the package, a copy beside it may be all that is left of it.
  if (package != PathProbe::kExists) return false;

  // A run that was ended while it worked on a copy left it behind. It never
  // holds more than the package does, or will once the patch is applied.
  for (const std::u16string& name :
       files_.FindFileNames(package_ + std::u16string(kCopyNameStart) + u"*")) {
    if (IsCopyName(name, packageName, kWorkingCopyInfix) ||
        IsCopyName(name, packageName, kReadyCopyInfix))
      files_.DeleteFileW(folder + name);
  }

  for (number_ = 1; number_ <= kLastCopyNumber; ++number_) {
    std::u16string candidate = NameFor(kWorkingCopyInfix);
    const std::u16string ready = NameFor(kReadyCopyInfix);
    // Paths are formed in 260 units, terminator included.
    if (ready.size() >= kMaxPath) return false;
    if (files_.ProbePath(candidate) != PathProbe::kAbsent ||
        files_.ProbePath(ready) != PathProbe::kAbsent)
      continue;
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
  // machine go off just then; and only a copy that is whole may be named
  // ready.
  if (!files_.FlushFileBuffers(path_)) return false;
  const std::u16string ready = NameFor(kReadyCopyInfix);
  if (!files_.MoveFileExW(path_, ready)) return false;
  path_ = ready;
  if (!files_.ReplaceFileW(package_, path_) && !files_.MoveFileExW(path_, package_)) {
    // ReplaceFileW may have moved the package away before it failed; then
    // the ready copy is all that is left of it, and it stays unless the
    // package is certainly there.
    if (files_.ProbePath(package_) != PathProbe::kExists) owned_ = false;
    return false;
  }
  owned_ = false;
  return true;
}

}  // namespace hotfix
