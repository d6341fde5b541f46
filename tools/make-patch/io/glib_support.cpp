#include "io/glib_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace makepatch {
namespace {

constexpr char kScratchPrefix[] = ".make-patch-";

// An exclusive lock on the folder itself, taken without waiting: -1 when
// another run holds it (or the folder is gone).
int LockFolder(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return -1;
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// Whether the locked descriptor is still the folder at path: a sweeping run
// may have taken the lock between the folder's making and ours, and removed it.
bool StillThere(int descriptor, const std::string& path) {
  struct stat held {}, named {};
  return fstat(descriptor, &held) == 0 && held.st_nlink > 0 && stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

// The small folders of the system's temporary folder (a code page export) are
// locked and swept like the scratch beside the output, so a killed run's are
// cleared by the next one there too.
TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(g_get_tmp_dir()) {}

TemporaryDirectory::TemporaryDirectory(const std::string& parent) {
  RemoveDeadScratchFolders(parent);
  for (int attempt = 0; attempt < 100 && lock_ < 0; ++attempt) {
    std::string pattern = parent + "/" + kScratchPrefix + "XXXXXX";
    if (g_mkdtemp(pattern.data()) == nullptr) throw PatchError("cannot make a temporary folder in " + parent);
    lock_ = LockFolder(pattern);
    if (lock_ >= 0 && !StillThere(lock_, pattern)) {
      close(lock_);
      lock_ = -1;
    }
    if (lock_ < 0) {
      std::error_code ignored;
      std::filesystem::remove(pattern, ignored);  // empty, or already gone
    }
    path_ = pattern;
  }
  if (lock_ < 0) throw PatchError("cannot lock a temporary folder in " + parent);
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  if (lock_ >= 0) close(lock_);
}

void RemoveDeadScratchFolders(const std::string& parent) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kScratchPrefix, 0) != 0 || !entry.is_directory(error) || entry.is_symlink(error)) continue;
    const int lock = LockFolder(entry.path().string());
    if (lock < 0) continue;  // a live run's, or not ours to open
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
    close(lock);
  }
}

}  // namespace makepatch
