#include "payload/extract_patch.h"

#include <memory>
#include <optional>
#include <vector>

#include "app/run_options.h"
#include "payload/temp_name.h"

namespace hotfix {
namespace {

constexpr std::uint32_t kTempPathCapacity = 1024;  // units
constexpr char16_t kTempPrefix[] = u"MSP";
constexpr char16_t kPatchResourceName[] = u"IDR_MSP";
constexpr char16_t kPatchResourceType[] = u"MSP";

ExtractResult FromResourceStatus(ResourceStatus status) {
  switch (status) {
    case ResourceStatus::kFound: return ExtractResult::kWritten;
    case ResourceStatus::kMissing: return ExtractResult::kResourceMissing;
    case ResourceStatus::kSizeZero: return ExtractResult::kResourceSizeZero;
    case ResourceStatus::kLoadFailed: return ExtractResult::kResourceLoadFailed;
    case ResourceStatus::kLockFailed: return ExtractResult::kResourceLockFailed;
  }
  return ExtractResult::kResourceMissing;
}

// The temporary directory, taken as exactly the units the query reports: at
// the limit the buffer is full and holds no terminator.
std::optional<std::u16string> QueryTempPath(FileSystem& files) {
  std::vector<char16_t> buffer(kTempPathCapacity, u'\0');
  const std::uint32_t length = files.GetTempPathW(kTempPathCapacity, buffer.data());
  if (length == 0 || length > kTempPathCapacity) return std::nullopt;
  return std::u16string(buffer.data(), length);
}

}  // namespace

ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path) {
  if (path.empty()) {
    const auto directory = QueryTempPath(platform.files);
    if (!directory) return ExtractResult::kTempPathFailed;
    auto name = MakeTempName(platform.files, *directory, kTempPrefix);
    if (!name) return ExtractResult::kNoTempName;
    path = std::move(*name);
  }

  ResourceBytes package;
  const ResourceStatus status = platform.resources.FindResourceBytes(
      ModuleInstance, kPatchResourceName, kPatchResourceType, package);
  if (status != ResourceStatus::kFound) return FromResourceStatus(status);
  if (package.size == 0) return ExtractResult::kResourceSizeZero;
  if (package.data == nullptr) return ExtractResult::kResourceLockFailed;

  std::unique_ptr<WritableFile> file = platform.files.OpenForWriting(path);
  if (!file) return ExtractResult::kOpenFailed;
  // Straight from the resource memory, in one write: the package is never
  // copied.
  const std::size_t written = file->Write(package.data, package.size);
  file.reset();  // closed on both outcomes; the result of the close is not examined
  return written < package.size ? ExtractResult::kShortWrite : ExtractResult::kWritten;
}

bool ExtractPatch(const Platform& platform, std::u16string& path) {
  return ExtractPatchDetailed(platform, path) == ExtractResult::kWritten;
}

}  // namespace hotfix
