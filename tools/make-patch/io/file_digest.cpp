#include "io/file_digest.h"

#include <xxhash.h>

#include "msi/patch_error.h"

namespace makepatch {

FileDigest::FileDigest() : state_(XXH3_createState()) {
  if (state_ == nullptr || XXH3_128bits_reset(state_) != XXH_OK) {
    XXH3_freeState(state_);
    throw PatchError("cannot compute file digests (libxxhash)");
  }
}

FileDigest::~FileDigest() { XXH3_freeState(state_); }

void FileDigest::Add(const void* data, std::size_t size) {
  if (size > 0 && XXH3_128bits_update(state_, data, size) != XXH_OK) throw PatchError("cannot compute a file digest");
}

Digest FileDigest::Finish() {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_));
  Digest digest{};
  static_assert(sizeof canonical.digest == sizeof(Digest));
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = canonical.digest[i];
  return digest;
}

}  // namespace makepatch
