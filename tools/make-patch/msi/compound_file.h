// The compound file (structured storage) that installer packages, patches
// and transforms are stored in, read by our own bounded reader: the header,
// the allocation tables and the directory are checked whole before anything
// is read from them, so that a damaged or hostile file is refused by name
// instead of being handed to a library that may crash or hang on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "msi/byte_source.h"
#include "msi/patch_error.h"

namespace makepatch {

struct CompoundEntry {
  enum class Type { kStorage, kStream };
  Type type = Type::kStream;
  std::u16string name;                     // as stored (installer names are encoded)
  std::uint64_t size = 0;                  // streams only
  std::array<std::uint8_t, 16> classId{};  // storages only
  std::vector<CompoundEntry> children;     // storages only, in the code-unit order of their stored names
  std::uint32_t id = 0;                    // the reader's own index of the entry
};

class CompoundFile {
 public:
  // No file: an empty root, until an opened one is moved in.
  CompoundFile() = default;

  // Reads and checks the header, the allocation tables (FAT, DIFAT, mini
  // FAT) and the directory of source, and that every stream's sector chain
  // stays in the file, has no loop, is no other's and fits the stream's
  // size. Throws DamagedFile (file, part "its compound file", "stream NAME",
  // "table NAME" or "its summary information", names decoded; kind) naming
  // what is wrong. Reads no stream's bytes; time and memory stay in
  // proportion to the file's count of sectors.
  // source must outlive the CompoundFile.
  static CompoundFile Open(const ByteSource& source, const std::string& file, const std::string& kind);

  const CompoundEntry& Root() const;
  // stream: an entry of this file's tree (std::invalid_argument otherwise).
  // A stream's bytes, whole. Throws DamagedFile (part "stream NAME") when
  // the source can no longer give them (a file cut short since Open).
  std::vector<std::uint8_t> ReadStream(const CompoundEntry& stream) const;
  // size bytes at offset within a stream; false past its end or when the
  // source cannot give them. Sectors that lie together in the file are read
  // in one piece.
  bool ReadStreamAt(const CompoundEntry& stream, std::uint64_t offset, void* out, std::size_t size) const;

  // Storages nest no deeper than this below the root: no installer file
  // comes near it, and it keeps a hostile file's tree from exhausting the stack.
  static constexpr int kMaxDepth = 32;
  // Entries reachable from the root, at most: a directory of a million
  // entries is already 128 MB, far beyond any installer file.
  static constexpr std::uint32_t kMaxEntries = 1u << 20;

 private:
  class Loader;

  // Where a stream's bytes lie: its sectors (of the file, or of the mini
  // stream when the stream is shorter than the cutoff), in order.
  struct StreamPlace {
    std::string part;  // "stream NAME", as messages name it
    std::uint64_t size = 0;
    bool mini = false;
    bool isStream = false;
    std::vector<std::uint32_t> sectors;
  };

  const StreamPlace& PlaceOf(const CompoundEntry& stream) const;
  std::uint64_t OffsetOf(const StreamPlace& place, std::size_t index) const;

  const ByteSource* source_ = nullptr;
  std::string file_;
  std::string kind_;
  unsigned sectorShift_ = 9;
  CompoundEntry root_;
  std::vector<StreamPlace> places_;          // by CompoundEntry::id
  std::vector<std::uint32_t> miniStream_;    // the root's sectors, which hold the mini stream
};

// A stream of a compound file as a ByteSource (a cabinet inside a package).
class CompoundStreamSource final : public ByteSource {
 public:
  CompoundStreamSource(const CompoundFile& file, const CompoundEntry& stream) : file_(file), stream_(stream) {}
  std::uint64_t Size() const override { return stream_.size; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const override {
    return file_.ReadStreamAt(stream_, offset, out, size);
  }

 private:
  const CompoundFile& file_;
  const CompoundEntry& stream_;
};

}  // namespace makepatch
