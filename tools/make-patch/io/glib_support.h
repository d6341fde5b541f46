// Owners for the GLib objects the readers and writers use, and GError to
// PatchError.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <string>

#include "msi/patch_error.h"

namespace makepatch {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GString8 = std::unique_ptr<char, GFreeDeleter>;

// Collects a GError and turns it into a PatchError that says what failed.
class ErrorSlot {
 public:
  ErrorSlot() = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  ~ErrorSlot() { g_clear_error(&error_); }

  GError** out() {
    g_clear_error(&error_);
    return &error_;
  }
  // A library's refusal of a damaged file: DamagedFile with what failed,
  // and the library's own words, as the detail.
  [[noreturn]] void ThrowDamaged(const std::string& file, const std::string& part, const std::string& what,
                                 const std::string& kind) {
    throw DamagedFile(file, part, Said(what), kind);
  }
  [[noreturn]] void Throw(const std::string& what) { throw PatchError(Said(what)); }

 private:
  // what, then the library's own words if it gave any; the error is spent.
  std::string Said(const std::string& what) {
    std::string message = what;
    if (error_ != nullptr && error_->message != nullptr && *error_->message != '\0') {
      message += ": " + std::string(error_->message);
    }
    g_clear_error(&error_);
    return message;
  }

  GError* error_ = nullptr;
};

// A directory under the system's temporary folder, or inside parent, removed
// with all it holds. One inside parent (".make-patch-XXXXXX", beside the
// output) is locked for the life of the run, so that a run that was killed
// can be told from one still going: making one first removes the folders
// there whose run is gone.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  explicit TemporaryDirectory(const std::string& parent);
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  int lock_ = -1;  // an open descriptor of the folder, flock()ed while it lives
};

// Removes every ".make-patch-*" folder in parent whose run is no longer
// alive (its lock is free); the folders of live runs stay.
void RemoveDeadScratchFolders(const std::string& parent);

}  // namespace makepatch
