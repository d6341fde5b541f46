// What our own bounded readers can judge of a product package before any
// library reads it: the compound file, the string pool, _Tables and
// _Columns, every table's stream, the summary information, and each cabinet
// its Media table names. A damaged package is refused here by name, in one
// line, instead of crashing a library or being read as something else.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "msi/byte_source.h"

namespace makepatch {

// A cabinet beside the package, by the name its Media row gives: its bytes
// (nullptr when there is none: the reader then says it is missing) and its
// path, for messages.
struct BesideFile {
  std::unique_ptr<ByteSource> source;
  std::string path;
};
using OpenBeside = std::function<BesideFile(const std::string& name)>;

// Throws DamagedFile (kind kPackageKind; for a cabinet beside the package,
// that file with kind kCabinetKind) or PatchError for a storage that is not
// an installer database. With cabinets, checks every cabinet of the Media
// table too (what reading a package's files needs).
void CheckPackage(const ByteSource& source, const std::string& file, bool cabinets, const OpenBeside& openBeside);

}  // namespace makepatch
