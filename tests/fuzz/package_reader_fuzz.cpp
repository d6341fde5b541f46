// make-patch's reading of a product package, on damaged bytes: our own
// judging of the compound file, the string pool, the tables, the summary and
// the cabinets never crashes, hangs or reads out of bounds, and what it lets
// through reaches the libraries only in a reader process, whose death is a
// refusal. Either the package is read, or it is refused with one line that
// names the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/package_reader.h"
#include "msi/byte_source.h"
#include "msi/package_check.h"
#include "msi/patch_error.h"

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgsf-1.so\nleak:libgio-2.0.so\n";
}

namespace {

void RequireOneLine(const makepatch::PatchError& error, const std::string& file) {
  const std::string message = error.what();
  if (message.rfind(file, 0) != 0 || message.find('\n') != std::string::npos) {
    std::fprintf(stderr, "bad refusal: %s\n", message.c_str());
    std::abort();
  }
}

// One file for the whole run, in a folder of its own: the reader process
// reads the package from disk, as make-patch does.
const std::string& InputPath() {
  static const std::string path = [] {
    char folder[] = "/tmp/package-reader-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    return std::string(folder) + "/input.msi";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const makepatch::MemorySource source(data, size);
  try {
    makepatch::CheckPackage(source, "input.msi", true, [](const std::string&) { return makepatch::BesideFile{}; });
  } catch (const makepatch::PatchError& error) {
    RequireOneLine(error, "input.msi");
    return 0;
  }
  // What our judging accepts goes on to the libraries, as make-patch's
  // reading of a package does.
  const std::string& path = InputPath();
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) std::abort();
  try {
    makepatch::ReadPackageDatabase(path);
  } catch (const makepatch::PatchError& error) {
    RequireOneLine(error, path);
  }
  return 0;
}
