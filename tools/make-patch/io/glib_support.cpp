#include "io/glib_support.h"

#include <filesystem>

namespace makepatch {

TemporaryDirectory::TemporaryDirectory() {
  ErrorSlot error;
  GString8 path(g_dir_make_tmp("make-patch-XXXXXX", error.out()));
  if (!path) error.Throw("cannot make a temporary folder");
  path_ = path.get();
}

TemporaryDirectory::TemporaryDirectory(const std::string& parent) {
  std::string pattern = parent + "/.make-patch-XXXXXX";
  if (g_mkdtemp(pattern.data()) == nullptr) throw PatchError("cannot make a temporary folder in " + parent);
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace makepatch
