#include "io/build_stamp_digest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "io/file_digest.h"
#include "pe/build_stamps.h"

namespace makepatch {
namespace {

// The unstamped bytes are digested in slices of this size; after each, a
// mapped file lets go of the pages it has read.
constexpr std::size_t kSlice = 8u << 20;

std::optional<BuildStampDigests> DigestStamps(const std::uint8_t* data, std::size_t size,
                                        const std::function<void(const std::uint8_t* end)>& consumed) {
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const pe::Bytes bytes(data, size);
  const auto layout = pe::LocateStamps(bytes, nullptr);
  if (!layout) return std::nullopt;
  BuildStampDigests digests;
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
  FileDigest unstamped;
  pe::ForEachUnstampedPiece(bytes, *layout, [&](pe::Bytes piece) {
    for (std::size_t at = 0; at < piece.size(); at += kSlice) {
      const std::size_t length = std::min(kSlice, piece.size() - at);
      unstamped.Add(piece.data() + at, length);
      if (consumed) consumed(piece.data() + at + length);
    }
  });
  digests.unstamped = unstamped.Finish();
  return digests;
}

}  // namespace

std::optional<BuildStampDigests> DigestBuildStamps(const std::uint8_t* data, std::size_t size) {
  return DigestStamps(data, size, nullptr);
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
      const auto* base = static_cast<const std::uint8_t*>(map);
      const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
      std::size_t dropped = 0;
      // The pages read stay in the page cache, not in this process: a file
      // of gigabytes costs no more memory than a slice of it.
      digests = DigestStamps(base, size, [&](const std::uint8_t* end) {
        if (end < base || end > base + size) return;  // the zeros that stand for a stamp
        const std::size_t upto = static_cast<std::size_t>(end - base) / page * page;
        if (upto <= dropped) return;
        madvise(const_cast<std::uint8_t*>(base) + dropped, upto - dropped, MADV_DONTNEED);
        dropped = upto;
      });
      munmap(map, size);
    }
  }
  close(descriptor);
  return digests;
}

}  // namespace makepatch
