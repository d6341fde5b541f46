// Read access to the program's own module resources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/types.h"

namespace hotfix {

// A non-owning view of resource bytes; valid for the life of the process.
struct ResourceBytes {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// Where a resource lookup stopped, in the order the steps are made.
enum class ResourceStatus {
  kFound,
  kMissing,     // FindResourceW gave nothing
  kSizeZero,    // SizeofResource gave 0
  kLoadFailed,  // LoadResource gave nothing
  kLockFailed,  // LockResource gave nothing
};

// The bytes of one resource, read in pieces into the caller's memory, so that
// a resource of hundreds of megabytes is never resident whole.
class ResourceReader {
 public:
  virtual ~ResourceReader() = default;
  virtual std::size_t Size() const = 0;
  // Copies up to size bytes from offset (counted from the resource's start)
  // into data: the number copied, which may be fewer than asked and is 0
  // only at or past the end; nothing when the read fails.
  virtual std::optional<std::size_t> ReadAt(std::size_t offset, void* data, std::size_t size) = 0;
};

// A reader over bytes already in memory.
class MemoryResourceReader : public ResourceReader {
 public:
  explicit MemoryResourceReader(ResourceBytes bytes) : bytes_(bytes) {}
  std::size_t Size() const override { return bytes_.size; }
  std::optional<std::size_t> ReadAt(std::size_t offset, void* data, std::size_t size) override;

 private:
  ResourceBytes bytes_;
};

class ModuleResources {
 public:
  virtual ~ModuleResources() = default;

  // FindResourceW, SizeofResource, LoadResource, LockResource in turn. name and
  // type are texts; "#206" names the numeric id 206, as FindResourceW reads it.
  // No language is named.
  virtual ResourceStatus FindResourceBytes(ModuleHandle module, const std::u16string& name,
                                           const std::u16string& type, ResourceBytes& bytes) = 0;

  // The same lookup, with the same outcomes, for a resource that is read in
  // pieces (the patch package). On kFound, reader reads its bytes; this
  // default reads them from the view FindResourceBytes gives.
  virtual ResourceStatus OpenResource(ModuleHandle module, const std::u16string& name,
                                      const std::u16string& type,
                                      std::unique_ptr<ResourceReader>& reader);

  // LoadStringW: copies at most capacity - 1 characters and a terminator into
  // buffer and returns the number copied, 0 when the text is missing or empty.
  // The language is the calling thread's locale (LOCALE_USER_DEFAULT and
  // LOCALE_SYSTEM_DEFAULT resolved) where the table carries it, else the
  // carried variant of the same language (see StandInLanguage), else the
  // platform's choice. The last-error value is left as it was, except when
  // nothing arrives from the platform's choice: then it says why.
  virtual int LoadStringW(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                          int capacity) = 0;
};

}  // namespace hotfix
