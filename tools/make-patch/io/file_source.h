// A file read in place, at offsets: a package of gigabytes is checked and
// read without ever being held in memory.
#pragma once

#include <cstdint>
#include <string>

#include "msi/byte_source.h"

namespace makepatch {

class FileSource final : public ByteSource {
 public:
  // Opens path read-only. Throws PatchError ("PATH: cannot be read (...)")
  // when it cannot be opened or is not a regular file.
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(FileSource&& other) noexcept;
  FileSource& operator=(FileSource&& other) noexcept;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // The size when the file was opened.
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const override;

 private:
  int descriptor_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace makepatch
