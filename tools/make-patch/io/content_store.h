// Where make-patch keeps what it reads and writes beyond the tables: the
// bytes of the files a patch carries until the patch is written, and the
// scratch files of the writer. Small contents stay in memory; large ones go
// to a folder beside the patch (not the system's temporary folder, which
// may be memory), removed with the store.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "msi/patch_plan.h"
#include "io/glib_support.h"

namespace makepatch {

class ContentStore {
 public:
  // The folder is made inside the folder of besidePath.
  explicit ContentStore(const std::string& besidePath);

  // A copy of size bytes at data: in memory up to kInMemory, otherwise a
  // file of the store. Throws PatchError when it cannot be written.
  std::shared_ptr<const FileContent> Keep(const std::uint8_t* data, std::size_t size);
  // A file that stays where it is (a file of an administrative image).
  static std::shared_ptr<const FileContent> Refer(const std::string& path);

  // A new file name in the store's folder, for scratch files.
  std::string ScratchFile(const std::string& stem);

  static constexpr std::size_t kInMemory = 4 << 20;

 private:
  TemporaryDirectory folder_;
  std::uint64_t count_ = 0;
};

}  // namespace makepatch
