#include "io/file_digest.h"

#include <openssl/evp.h>

#include "core/patch_error.h"

namespace makepatch {

FileDigest::FileDigest() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw PatchError("cannot compute SHA-256 digests (libcrypto)");
  }
}

FileDigest::~FileDigest() { EVP_MD_CTX_free(context_); }

void FileDigest::Add(const void* data, std::size_t size) {
  if (size > 0 && EVP_DigestUpdate(context_, data, size) != 1) throw PatchError("cannot compute a SHA-256 digest");
}

Digest FileDigest::Finish() {
  Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != digest.size()) {
    throw PatchError("cannot compute a SHA-256 digest");
  }
  return digest;
}

}  // namespace makepatch
