// Reading a compound file through libgsf into a StorageTree.
#pragma once

#include <string>

#include "storage_tree.h"

namespace inspectpatch {

// bytes: the whole file. what names it in messages. Throws
// makepatch::PatchError ("what: not a compound file") when libgsf cannot
// read it, or when a stream claims more bytes than the file has.
StorageTree ReadStorage(const Bytes& bytes, const std::string& what);

}  // namespace inspectpatch
