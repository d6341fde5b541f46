// Reading a product package (.msi) through msitools' library: its tables,
// summary information and the bytes of its files, from its cabinets (in the
// package or beside it) and from the folder tree of an uncompressed package
// or an administrative image.
#pragma once

#include <functional>
#include <string>

#include "msi/patch_plan.h"
#include "io/content_store.h"

namespace makepatch {

// Throws PatchError when path is not an installer database, or when a file
// of its File table is in none of its cabinets or not in its folder tree
// (the message names the paths tried).
//
// Each file is read once, as a stream: the package knows every file's size
// and digest, and keeps the bytes only of those keep asks for (given the
// key, the size and the digest), in store.
using KeepFile = std::function<bool(const std::string& key, const PackageFile& file)>;
Package ReadPackage(const std::string& path, const KeepFile& keep, ContentStore& store);

// The tables and summary of a package without its files (files stays
// empty): what describing a patch against it needs.
Package ReadPackageDatabase(const std::string& path);

}  // namespace makepatch
