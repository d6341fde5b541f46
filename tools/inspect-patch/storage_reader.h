// Reading a compound file, checked whole by our own reader, into a
// StorageTree.
#pragma once

#include <string>

#include "storage_tree.h"

namespace inspectpatch {

// bytes: the whole file. what names it in messages. Throws
// makepatch::DamagedFile ("what: its compound file is damaged (...): the
// file is damaged, or not a Windows Installer patch") when its structure is
// damaged, nests deeper than a patch's, or its streams claim more bytes than
// the file has.
StorageTree ReadStorage(const Bytes& bytes, const std::string& what);

}  // namespace inspectpatch
