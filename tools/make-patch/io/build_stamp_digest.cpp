#include "io/build_stamp_digest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/file_digest.h"
#include "pe/build_stamps.h"

namespace makepatch {

std::optional<BuildStampDigests> DigestBuildStamps(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const pe::Bytes bytes(data, size);
  const auto layout = pe::LocateStamps(bytes, nullptr);
  if (!layout) return std::nullopt;
  BuildStampDigests digests;
  FileDigest unstamped;
  pe::ForEachUnstampedPiece(bytes, *layout, [&](pe::Bytes piece) { unstamped.Add(piece.data(), piece.size()); });
  digests.unstamped = unstamped.Finish();
  constexpr pe::Stamp kinds[] = {pe::Stamp::kLinkTime,       pe::Stamp::kChecksum,   pe::Stamp::kDebugTime,
                                 pe::Stamp::kDebugSignature, pe::Stamp::kExportTime, pe::Stamp::kResourceTime,
                                 pe::Stamp::kSignature};
  for (pe::Stamp kind : kinds) {
    FileDigest stamp;
    pe::ForEachStampPiece(bytes, *layout, [&](pe::Stamp of, pe::Bytes piece) {
      if (of == kind) stamp.Add(piece.data(), piece.size());
    });
    digests.stamps.emplace_back(pe::StampName(kind), stamp.Finish());
  }
  return digests;
}

std::optional<BuildStampDigests> DigestBuildStampsOfFile(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  struct stat status{};
  char magic[2] = {};
  std::optional<BuildStampDigests> digests;
  if (fstat(descriptor, &status) == 0 && status.st_size >= 2 && pread(descriptor, magic, 2, 0) == 2 &&
      magic[0] == 'M' && magic[1] == 'Z') {
    const auto size = static_cast<std::size_t>(status.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (map != MAP_FAILED) {
      // Read front to back once: the kernel may drop the pages behind.
      madvise(map, size, MADV_SEQUENTIAL);
      digests = DigestBuildStamps(static_cast<const std::uint8_t*>(map), size);
      munmap(map, size);
    }
  }
  close(descriptor);
  return digests;
}

}  // namespace makepatch
