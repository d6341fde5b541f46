#include "storage_reader.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>

#include <cstring>

#include "io/glib_support.h"

namespace inspectpatch {
namespace {

using makepatch::ErrorSlot;
using makepatch::GObjectPtr;
using makepatch::PatchError;

// A patch holds transforms, and nothing in a patch nests deeper.
constexpr int kMaxDepth = 3;

void ReadChildren(GsfInfile* storage, StorageTree& tree, const Bytes& file, const std::string& what, int depth,
                  std::size_t& total) {
  const int count = gsf_infile_num_children(storage);
  for (int i = 0; i < count; ++i) {
    const char* name = gsf_infile_name_by_index(storage, i);
    GObjectPtr<GsfInput> child(gsf_infile_child_by_index(storage, i));
    if (name == nullptr || !child) throw PatchError(what + ": an entry of its storage cannot be read");
    if (GSF_IS_INFILE_MSOLE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
      if (depth >= kMaxDepth) throw PatchError(what + ": its storages nest deeper than a patch's");
      StorageTree& sub = tree.storages[name];
      gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child.get()), sub.classId.data());
      ReadChildren(GSF_INFILE(child.get()), sub, file, what, depth + 1, total);
      continue;
    }
    const gsf_off_t size = gsf_input_size(child.get());
    // Streams share the file's bytes: together they cannot hold more.
    if (size < 0 || static_cast<std::uint64_t>(size) > file.size() || total + size > 2 * file.size() + 65536) {
      throw PatchError(what + ": its stream " + name + " claims " + std::to_string(size) + " bytes, more than the "
                       "file holds");
    }
    Bytes bytes(static_cast<std::size_t>(size));
    if (size > 0 && gsf_input_read(child.get(), bytes.size(), bytes.data()) == nullptr) {
      throw PatchError(what + ": its stream " + name + " cannot be read");
    }
    total += bytes.size();
    try {
      tree.streams[makepatch::Utf8ToUtf16(name)] = std::move(bytes);
    } catch (const PatchError&) {
      throw PatchError(what + ": a stream's name is damaged");
    }
  }
}

}  // namespace

StorageTree ReadStorage(const Bytes& bytes, const std::string& what) {
  GObjectPtr<GsfInput> input(gsf_input_memory_new(bytes.data(), static_cast<gsf_off_t>(bytes.size()), FALSE));
  if (!input) throw PatchError(what + ": cannot be read");
  ErrorSlot error;
  GObjectPtr<GsfInfile> storage(gsf_infile_msole_new(input.get(), error.out()));
  if (!storage) throw PatchError(what + ": not a Windows Installer patch (not a compound file)");
  StorageTree tree;
  gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage.get()), tree.classId.data());
  std::size_t total = 0;
  ReadChildren(storage.get(), tree, bytes, what, 1, total);
  return tree;
}

}  // namespace inspectpatch
