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

// The copies of "C:\Windows\Installer\1a2b3c.msi", in the package's own
// folder (so that a rename can put one in its place) and named as the
// service never names a file there: "1a2b3c.msi.hotfix-edit-<n>" while the
// edits are made on it, "1a2b3c.msi.hotfix-ready-<n>" once it is closed, on
// the disk and about to replace the package.
inline constexpr std::u16string_view kWorkingCopyInfix = u".hotfix-edit-";
inline constexpr std::u16string_view kReadyCopyInfix = u".hotfix-ready-";
// Numbers of copies, from 1. Copies that earlier runs left are removed
// first, so a number above 1 is used only beside one that could not be.
inline constexpr unsigned kLastCopyNumber = 99;

// True when name (without folder) is that of a copy of the package file
// packageName (without folder): packageName, the infix, and a number from 1
// to 99999 without leading zeros. Letters compare ignoring ASCII case, as the
// file system compares names.
bool IsCopyName(std::u16string_view name, std::u16string_view packageName,
                std::u16string_view infix);

// One copy. Destroyed, on every way out, it deletes the copy it made, unless
// the copy has taken the package's place or is all that is left of it.
class WorkingCopy {
 public:
  WorkingCopy(FileSystem& files, std::u16string package);
  ~WorkingCopy();
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;

  // What an earlier run left is dealt with first. Where the package is
  // gone and a ready copy is there (that run ended between the steps of a
  // replace that is not one step on every system), the ready copy is put in
  // its place: it is the package with all the edits. Where the package is
  // there, every copy beside it goes. Then the package is copied to the
  // first free number. False, with nothing made on disk, when the package
  // cannot be copied.
  bool Make();
  const std::u16string& path() const { return path_; }

  // Puts the copy, closed and complete, in the package's place: its bytes to
  // the disk, its ready name, then ReplaceFileW, which keeps the package's
  // attributes and security, or, where that is refused, MoveFileExW over the
  // package. True when the package now is the copy; otherwise the package
  // is as it was, except when the system lost it in a failed replace and the
  // copy could not take its place either: then the ready copy stays for the
  // next run.
  bool Replace();

 private:
  std::u16string NameFor(std::u16string_view infix) const;
  bool RestoreReadyCopy(const std::u16string& folder, const std::u16string& packageName);

  FileSystem& files_;
  std::u16string package_;
  std::u16string path_;
  unsigned number_ = 0;
  bool owned_ = false;  // a copy of ours is at path_ and is to be deleted
};

}  // namespace hotfix
