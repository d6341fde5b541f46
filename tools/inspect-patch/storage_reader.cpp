#include "storage_reader.h"

#include "msi/byte_source.h"
#include "msi/compound_file.h"
#include "msi/patch_error.h"
#include "msi/transform_decoding.h"

namespace inspectpatch {
namespace {

using makepatch::CompoundEntry;
using makepatch::CompoundFile;
using makepatch::DamagedFile;
using makepatch::kPatchKind;

// A patch holds transforms, and nothing in a patch nests deeper.
constexpr int kMaxDepth = 3;

void ReadChildren(const CompoundFile& file, const CompoundEntry& storage, StorageTree& tree, const Bytes& bytes,
                  const std::string& what, int depth, std::size_t& total) {
  for (const CompoundEntry& child : storage.children) {
    if (child.type == CompoundEntry::Type::kStorage) {
      if (depth >= kMaxDepth) {
        throw DamagedFile(what, "its compound file", "its storages nest deeper than a patch's", kPatchKind);
      }
      StorageTree& sub = tree.storages[makepatch::Utf16ToUtf8(child.name)];
      sub.classId = child.classId;
      ReadChildren(file, child, sub, bytes, what, depth + 1, total);
      continue;
    }
    // The reader keeps streams from sharing sectors; this bounds what a
    // patch can make the inspector hold, whatever its tables say.
    if (total + child.size > 2 * bytes.size() + 65536) {
      throw DamagedFile(what, "stream " + makepatch::DecodeStreamName(child.name).name,
                        "its streams together claim more than the file holds", kPatchKind);
    }
    Bytes content = file.ReadStream(child);
    total += content.size();
    tree.streams[child.name] = std::move(content);
  }
}

}  // namespace

StorageTree ReadStorage(const Bytes& bytes, const std::string& what) {
  const makepatch::MemorySource source(bytes);
  const CompoundFile file = CompoundFile::Open(source, what, kPatchKind);
  StorageTree tree;
  tree.classId = file.Root().classId;
  std::size_t total = 0;
  ReadChildren(file, file.Root(), tree, bytes, what, 1, total);
  return tree;
}

}  // namespace inspectpatch
