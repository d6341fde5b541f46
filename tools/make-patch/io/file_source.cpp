#include "io/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "msi/patch_error.h"

namespace makepatch {

FileSource::FileSource(const std::string& path) {
  descriptor_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor_ < 0) throw PatchError(path + ": cannot be read (" + std::strerror(errno) + ")");
  struct stat status {};
  std::string why;
  if (fstat(descriptor_, &status) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    why = "not a file";
  }
  if (!why.empty()) {
    close(descriptor_);
    descriptor_ = -1;
    throw PatchError(path + ": cannot be read (" + why + ")");
  }
  size_ = static_cast<std::uint64_t>(status.st_size);
}

FileSource::~FileSource() {
  if (descriptor_ >= 0) close(descriptor_);
}

FileSource::FileSource(FileSource&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), size_(other.size_) {}

FileSource& FileSource::operator=(FileSource&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
    size_ = other.size_;
  }
  return *this;
}

bool FileSource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const {
  if (offset > size_ || size > size_ - offset) return false;
  auto* into = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t got = pread(descriptor_, into, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    // 0: the file became shorter since it was opened.
    if (got <= 0) return false;
    into += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace makepatch
