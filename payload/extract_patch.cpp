#include "payload/extract_patch.h"

#include <algorithm>
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
// Bytes read from the resource at a time, and written in parts of 64 KiB,
// the size a copy of a file writes. Measured under Wine with a 256 MiB
// package: writes of 1 or 4 MiB each took up to three times as long, nearly
// all of it in the kernel filling the file cache, and reads of 64 KiB were
// no faster than reads of 1 MiB.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;
constexpr std::size_t kWriteSize = std::size_t{64} << 10;
// To compare, the held file is read in pieces as above and each is compared
// against the package read in these smaller parts, so that the comparison
// adds little to what the writing needs in memory.
constexpr std::size_t kComparePart = std::size_t{256} << 10;

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

// Reads exactly size bytes from offset, in as many reads as the reader
// needs; false when one fails or the resource ends first.
bool ReadExactly(ResourceReader& package, std::size_t offset, unsigned char* data,
                 std::size_t size) {
  while (size > 0) {
    const std::optional<std::size_t> read = package.ReadAt(offset, data, size);
    if (!read || *read == 0 || *read > size) return false;
    offset += *read;
    data += *read;
    size -= *read;
  }
  return true;
}

enum class Comparison { kSame, kDifferent, kPackageUnreadable };

// Whether the held file holds exactly the package: the same bytes and not
// one more.
Comparison HoldsExactly(HeldFile& file, ResourceReader& package, std::vector<unsigned char>& held,
                        std::vector<unsigned char>& expected) {
  const std::size_t size = package.Size();
  std::size_t compared = 0;
  for (;;) {
    const std::optional<std::size_t> read = file.Read(held.data(), held.size());
    if (!read || *read > held.size()) return Comparison::kDifferent;
    if (*read == 0) return compared == size ? Comparison::kSame : Comparison::kDifferent;
    if (*read > size - compared) return Comparison::kDifferent;
    for (std::size_t done = 0; done < *read;) {
      const std::size_t part = std::min(expected.size(), *read - done);
      if (!ReadExactly(package, compared + done, expected.data(), part)) {
        return Comparison::kPackageUnreadable;
      }
      if (std::memcmp(held.data() + done, expected.data(), part) != 0) {
        return Comparison::kDifferent;
      }
      done += part;
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

  std::unique_ptr<ResourceReader> package;
  const ResourceStatus status = platform.resources.OpenResource(
      ModuleInstance, kPatchResourceName, kPatchResourceType, package);
  if (status != ResourceStatus::kFound) return FromResourceStatus(status);
  if (!package || package->Size() == 0) return ExtractResult::kResourceSizeZero;

  std::unique_ptr<WritableFile> file = platform.files.OpenForWriting(path);
  if (!file) return ExtractResult::kOpenFailed;
  // Piece by piece through one buffer: the package is never resident whole,
  // whatever its size.
  std::vector<unsigned char> piece(std::min(kPieceSize, package->Size()));
  const std::size_t size = package->Size();
  std::size_t written = 0;
  bool readFailed = false;
  while (written < size) {
    const std::optional<std::size_t> read =
        package->ReadAt(written, piece.data(), std::min(piece.size(), size - written));
    if (!read || *read == 0 || *read > piece.size()) {
      readFailed = true;
      break;
    }
    std::size_t put = 0;
    while (put < *read) {
      const std::size_t part = std::min(kWriteSize, *read - put);
      const std::size_t done = file->Write(piece.data() + put, part);
      put += std::min(done, part);
      if (done < part) break;
    }
    written += put;
    if (put < *read) break;
  }
  // Closed on every outcome. The stream buffers the last bytes, so only the
  // close tells whether they reached the disk.
  const bool closed = file->Close();
  file.reset();
  if (readFailed) return ExtractResult::kResourceReadFailed;
  if (written < size) return ExtractResult::kShortWrite;
  if (!closed) return ExtractResult::kCloseFailed;
  if (hold == nullptr) return ExtractResult::kWritten;

  // Any process of the user could change the file while it was open for
  // writing and until now; from now on nobody can, so what the hold reads is
  // what the service will read.
  PackageHold held = platform.files.OpenAndHold(path);
  if (!held) return ExtractResult::kHoldFailed;
  std::vector<unsigned char> expected(std::min(kComparePart, piece.size()));
  switch (HoldsExactly(*held, *package, piece, expected)) {
    case Comparison::kSame: break;
    case Comparison::kDifferent: return ExtractResult::kNotThePackage;
    case Comparison::kPackageUnreadable: return ExtractResult::kResourceReadFailed;
  }
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
