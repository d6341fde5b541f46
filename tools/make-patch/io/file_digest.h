// SHA-256 through the system's libcrypto, given a file's bytes piece by
// piece, so that no file has to be in memory whole to be compared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/patch_plan.h"

struct evp_md_ctx_st;

namespace makepatch {

class FileDigest {
 public:
  FileDigest();
  ~FileDigest();
  FileDigest(const FileDigest&) = delete;
  FileDigest& operator=(const FileDigest&) = delete;

  void Add(const void* data, std::size_t size);
  Digest Finish();

 private:
  evp_md_ctx_st* context_;
};

}  // namespace makepatch
