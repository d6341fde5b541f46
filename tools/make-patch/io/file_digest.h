// XXH3-128 through the system's libxxhash, given a file's bytes piece by
// piece, so that no file has to be in memory whole to be compared. It tells
// whether a file of the release engineer's own two builds changed; it is no
// defence against someone who crafts files to collide, and needs none here.
// Fast enough (many GB/s) that reading a product stays the only cost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "msi/patch_plan.h"

struct XXH3_state_s;

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
  XXH3_state_s* state_;
};

}  // namespace makepatch
