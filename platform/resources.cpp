#include "platform/resources.h"

#include <algorithm>
#include <cstring>

namespace hotfix {

std::optional<std::size_t> MemoryResourceReader::ReadAt(std::size_t offset, void* data,
                                                        std::size_t size) {
  if (offset >= bytes_.size) return 0;
  const std::size_t count = std::min(size, bytes_.size - offset);
  std::memcpy(data, bytes_.data + offset, count);
  return count;
}

ResourceStatus ModuleResources::OpenResource(ModuleHandle module, const std::u16string& name,
                                             const std::u16string& type,
                                             std::unique_ptr<ResourceReader>& reader) {
  ResourceBytes bytes;
  const ResourceStatus status = FindResourceBytes(module, name, type, bytes);
  if (status != ResourceStatus::kFound) return status;
  if (bytes.size == 0) return ResourceStatus::kSizeZero;
  if (bytes.data == nullptr) return ResourceStatus::kLockFailed;
  reader = std::make_unique<MemoryResourceReader>(bytes);
  return ResourceStatus::kFound;
}

}  // namespace hotfix
