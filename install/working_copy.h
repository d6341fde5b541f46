// The copy of a cached package that its edits are made on, beside it, and
// the one step that puts the edited copy in the package's place.
//
// The cached package is the only copy of the product's database that the
// installer service keeps: written in place, a process ended in the middle
// of a commit leaves it unreadable, and the product can then be neither
// repaired, patched nor removed. A copy is written instead; until it has
// taken the package's place in one step, the package is as it was.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"

namespace hotfix {

// A working copy of "C:\Windows\Installer\1a2b3c.msi" is
// "C:\Windows\Installer\1a2b3c.msi.hotfix-edit-<n>": in the package's own
// folder, so that a rename can put it in place, and named as the service
// never names a file there.
inline constexpr std::u16string_view kWorkingCopyInfix = u".hotfix-edit-";
// Numbers of working copies, from 1. Copies that earlier runs left are
// removed first, so a number above 1 is used only beside one that could not be.
inline constexpr unsigned kLastWorkingCopyNumber = 99;

// True when name (without folder) is that of a working copy of the package
// file packageName (without folder): packageName, the infix, and a number
// from 1 to 99999 without leading zeros. Letters compare ignoring ASCII case,
// as the file system compares names.
bool IsWorkingCopyName(std::u16string_view name, std::u16string_view packageName);

// One working copy. Destroyed, on every way out, it deletes the copy it made,
// unless the copy has taken the package's place or is all that is left of it.
class WorkingCopy {
 public:
  WorkingCopy(FileSystem& files, std::u16string package);
  ~WorkingCopy();
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;

  // Deletes the working copies of the package that earlier runs left (only
  // while the package itself is there: otherwise one may be all that is left
  // of it), then copies the package to the first free number. False, with
  // nothing made on disk, when the package cannot be copied.
  bool Make();
  const std::u16string& path() const { return path_; }

  // Puts the copy, closed and complete, in the package's place: its bytes to
  // the disk first, then ReplaceFileW, which keeps the package's attributes
  // and security, or, where that is refused, MoveFileExW over the package.
  // True when the package now is the copy; otherwise the package is as it
  // was, except when the system lost it in a failed replace and the copy
  // could not take its place either: then the copy stays.
  bool Replace();

 private:
  FileSystem& files_;
  std::u16string package_;
  std::u16string path_;
  bool owned_ = false;  // a copy of ours is at path_ and is to be deleted
};

}  // namespace hotfix
