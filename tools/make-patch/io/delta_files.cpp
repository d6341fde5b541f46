#include "io/delta_files.h"

#include <gio/gio.h>

#include <cstdio>
#include <map>
#include <set>

#include "delta/delta_patch.h"
#include "io/file_digest.h"
#include "io/glib_support.h"
#include "io/package_reader.h"

namespace makepatch {
namespace {

// A file the decoder can take as the old one: not empty (it is mapped), and
// within the largest window.
bool CanBeDeltaBase(const PackageFile& old) { return old.size > 0 && old.size <= kLzxDeltaMaxReferenceSize; }

bool IsChanged(const PackagePair& pair, const std::string& key, const PackageFile& newer) {
  const auto older = pair.older.files.find(key);
  return newer.content && older != pair.older.files.end() && !older->second.SameBytes(newer) &&
         CanBeDeltaBase(older->second);
}

Bytes Load(const FileContent& content) {
  if (content.path.empty()) return content.bytes;
  FILE* in = std::fopen(content.path.c_str(), "rb");
  if (in == nullptr) throw PatchError("cannot read " + content.path);
  Bytes bytes;
  std::uint8_t buffer[1 << 16];
  for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + read);
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) throw PatchError("cannot read " + content.path);
  return bytes;
}

// The size of the file compressed whole, as a cabinet's MSZIP (deflate)
// folder would hold it, give or take its block headers.
std::uint64_t DeflatedSize(const Bytes& bytes) {
  GObjectPtr<GZlibCompressor> compressor(g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_RAW, -1));
  std::uint8_t out[1 << 16];
  std::uint64_t total = 0;
  std::size_t at = 0;
  for (;;) {
    gsize read = 0;
    gsize written = 0;
    ErrorSlot error;
    const GConverterResult result = g_converter_convert(
        G_CONVERTER(compressor.get()), bytes.data() + at, bytes.size() - at, out, sizeof out,
        G_CONVERTER_INPUT_AT_END, &read, &written, error.out());
    if (result == G_CONVERTER_ERROR) error.Throw("cannot compress a file to weigh its delta");
    at += read;
    total += written;
    if (result == G_CONVERTER_FINISHED) return total;
  }
}

}  // namespace

void PlanDeltas(std::vector<PackagePair>& pairs, ContentStore& store) {
  // The old copies to read again, by old package.
  std::map<std::string, std::set<std::string>> wanted;
  for (const PackagePair& pair : pairs) {
    for (const auto& [key, file] : pair.newer.files) {
      if (IsChanged(pair, key, file)) wanted[pair.older.path].insert(key);
    }
  }
  std::map<std::string, Package> reread;
  for (const auto& [path, keys] : wanted) {
    // By pointer: clang 14 cannot capture structured bindings.
    const std::set<std::string>* kept = &keys;
    const KeepFile keep = [kept](const std::string& key, const PackageFile&) { return kept->contains(key); };
    reread.emplace(path, ReadPackage(path, keep, store));
  }

  for (PackagePair& pair : pairs) {
    const auto old = reread.find(pair.older.path);
    if (old == reread.end()) continue;
    for (const auto& [key, file] : pair.newer.files) {
      if (!IsChanged(pair, key, file)) continue;
      const PackageFile& oldFile = old->second.files.at(key);
      if (!oldFile.content || !oldFile.SameBytes(pair.older.files.at(key))) {
        throw PatchError(pair.older.path + ": file " + key + " read differently the second time");
      }
      const Bytes oldBytes = Load(*oldFile.content);
      const Bytes newBytes = Load(*file.content);
      const std::optional<DeltaPatch> delta = MakeDeltaPatch(oldBytes, newBytes);
      if (!delta || delta->bytes.size() >= DeflatedSize(newBytes)) continue;
      FileDigest digest;
      digest.Add(delta->bytes.data(), delta->bytes.size());
      pair.deltas[key] = {store.Keep(delta->bytes.data(), delta->bytes.size()), delta->bytes.size(), digest.Finish(),
                          delta->header};
    }
  }
}

}  // namespace makepatch
