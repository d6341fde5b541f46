#include "io/content_store.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace makepatch {
namespace {

std::string FolderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

}  // namespace

ContentStore::ContentStore(const std::string& besidePath) : folder_(FolderOf(besidePath)) {}

std::shared_ptr<const FileContent> ContentStore::Keep(const std::uint8_t* data, std::size_t size) {
  auto content = std::make_shared<FileContent>();
  if (size <= kInMemory) {
    content->bytes.assign(data, data + size);
    return content;
  }
  content->path = ScratchFile("file");
  FILE* out = std::fopen(content->path.c_str(), "wb");
  const bool written = out != nullptr && std::fwrite(data, 1, size, out) == size;
  if (out == nullptr || std::fclose(out) != 0 || !written) {
    throw PatchError("cannot write " + content->path + " (is the disk full?)");
  }
  return content;
}

std::shared_ptr<const FileContent> ContentStore::Refer(const std::string& path) {
  auto content = std::make_shared<FileContent>();
  content->path = path;
  return content;
}

// Made, not only named: reader processes keep files here too, each with its
// own copy of the count.
std::string ContentStore::ScratchFile(const std::string& stem) {
  std::string name = folder_.File(stem + "-" + std::to_string(++count_) + "-XXXXXX");
  const int descriptor = mkstemp(name.data());
  if (descriptor < 0) throw PatchError("cannot make a file in " + folder_.path() + " (is the disk full?)");
  close(descriptor);
  return name;
}

}  // namespace makepatch
