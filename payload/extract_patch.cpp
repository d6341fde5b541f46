#include "payload/extract_patch.h"

#include <array>
#include <cstring>
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
constexpr std::size_t kCompareChunk = 16384;  // bytes read through the hold at a time

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

// True when the held file holds exactly the package: the same bytes and not
// one more.
bool HoldsExactly(HeldFile& file, const ResourceBytes& package) {
  std::array<unsigned char, kCompareChunk> chunk;
  std::size_t compared = 0;
  for (;;) {
    const std::optional<std::size_t> read = file.Read(chunk.data(), chunk.size());
    if (!read || *read > chunk.size()) return false;
    if (*read == 0) return compared == package.size;
    if (*read > package.size - compared ||
        std::memcmp(chunk.data(), package.data + compared, *read) != 0) {
      return false;
    }
    compared += *read;
  }
}

ExtractResult Extract(const Platform& platform, std::u16string& path, PackageHold* hold) {
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
  // Closed on both outcomes. The stream buffers the last bytes, so only the
  // close tells whether they reached the disk.
  const bool closed = file->Close();
  file.reset();
  if (written < package.size) return ExtractResult::kShortWrite;
  if (!closed) return ExtractResult::kCloseFailed;
  if (hold == nullptr) return ExtractResult::kWritten;

  // Any process of the user could change the file while it was open for
  // writing and until now; from now on nobody can, so what the hold reads is
  // what the service will read.
  PackageHold held = platform.files.OpenAndHold(path);
  if (!held) return ExtractResult::kHoldFailed;
  if (!HoldsExactly(*held, package)) return ExtractResult::kNotThePackage;
  *hold = std::move(held);
  return ExtractResult::kWritten;
}

}  // namespace

ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path) {
  return Extract(platform, path, nullptr);
}

bool ExtractPatch(const Platform& platform, std::u16string& path) {
  return Extract(platform, path, nullptr) == ExtractResult::kWritten;
}

ExtractResult ExtractPatchDetailed(const Platform& platform, std::u16string& path,
                                   PackageHold& hold) {
  hold.reset();
  return Extract(platform, path, &hold);
}

bool ExtractPatch(const Platform& platform, std::u16string& path, PackageHold& hold) {
  return ExtractPatchDetailed(platform, path, hold) == ExtractResult::kWritten;
}

}  // namespace hotfix
