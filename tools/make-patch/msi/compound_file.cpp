#include "msi/compound_file.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "msi/transform_decoding.h"

namespace makepatch {
namespace {

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;
constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint32_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kEntrySize = 128;
constexpr std::uint32_t kHeaderDifatEntries = 109;
constexpr const char* kCompoundPart = "its compound file";

// "1 sector", "3 sectors".
std::string Sectors(std::uint64_t count, bool mini) {
  return Grouped(count) + (mini ? " mini sector" : " sector") + (count == 1 ? "" : "s");
}

std::string Hex(std::uint32_t value, int digits = 8) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// A stored name as a reader knows it: decoded, and kept to one printable
// line whatever a damaged directory holds.
std::string ReadableName(const std::u16string& stored, bool* isTable) {
  std::u16string clean;
  for (char16_t c : stored) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
      for (const char* p = escaped; *p != '\0'; ++p) clean.push_back(static_cast<char16_t>(*p));
    } else {
      clean.push_back(c);
    }
  }
  const StreamName decoded = DecodeStreamName(clean);
  if (isTable != nullptr) *isTable = decoded.isTable;
  return decoded.name;
}

// Sectors (or mini sectors) already taken by some chain: a second claim on
// one is a loop or two owners, and ends the walk, so that every walk stays
// within the number of sectors the file has.
class SectorSet {
 public:
  explicit SectorSet(std::uint64_t count) : bits_((count + 63) / 64, 0) {}
  bool Has(std::uint32_t sector) const { return (bits_[sector / 64] >> (sector % 64)) & 1; }
  void Add(std::uint32_t sector) { bits_[sector / 64] |= std::uint64_t{1} << (sector % 64); }

 private:
  std::vector<std::uint64_t> bits_;
};

}  // namespace

// Open's work, with the state that is only needed while checking: the
// allocation tables, the sectors already claimed, the entries already seen.
class CompoundFile::Loader {
 public:
  Loader(CompoundFile& out, const ByteSource& source) : out_(out), source_(source) {}

  void Load() {
    ReadHeader();
    ReadDifat();
    ReadFat();
    ReadDirectoryChain();
    ReadRootAndMiniStream();
    ReadMiniFat();
    out_.root_.id = 0;
    out_.places_.emplace_back();  // the root's: it is a storage
    LoadStorage(rootEntry_.child, out_.root_, 0, "");
  }

 private:
  [[noreturn]] void Fail(const std::string& part, const std::string& detail) const {
    throw DamagedFile(out_.file_, part, detail, out_.kind_);
  }
  [[noreturn]] void Fail(const std::string& detail) const { Fail(kCompoundPart, detail); }

  std::uint32_t SectorSize() const { return 1u << out_.sectorShift_; }
  std::uint64_t SectorOffset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) << out_.sectorShift_;
  }
  // The whole sector, or the first `size` bytes of it.
  void ReadSector(std::uint32_t sector, std::uint8_t* into, std::size_t size, const std::string& what) const {
    if (!source_.ReadAt(SectorOffset(sector), into, size)) {
      Fail(what + " is cut short at sector " + std::to_string(sector) + " (the file holds " + Grouped(fileSize_) +
           " bytes)");
    }
  }

  void ReadHeader() {
    fileSize_ = source_.Size();
    std::uint8_t header[512];
    if (fileSize_ < sizeof header) {
      Fail("the file is " + Grouped(fileSize_) + " bytes, shorter than a compound file's header of 512");
    }
    if (!source_.ReadAt(0, header, sizeof header)) Fail("its header cannot be read");
    if (!std::equal(std::begin(kSignature), std::end(kSignature), header)) {
      Fail("it does not begin with a compound file's signature");
    }
    const std::uint16_t major = Le16(header + 26);
    if (major != 3 && major != 4) Fail("version " + std::to_string(major) + ", not 3 or 4");
    version_ = major;
    const std::uint16_t byteOrder = Le16(header + 28);
    if (byteOrder != 0xFFFE) Fail("byte order mark " + Hex(byteOrder, 4) + ", not 0xFFFE");
    const std::uint16_t shift = Le16(header + 30);
    const std::uint16_t expected = major == 3 ? 9 : 12;
    if (shift != expected) {
      Fail("sector shift " + std::to_string(shift) + " in a version " + std::to_string(major) + " file, not " +
           std::to_string(expected));
    }
    out_.sectorShift_ = shift;
    if (Le16(header + 32) != 6) Fail("mini sector shift " + std::to_string(Le16(header + 32)) + ", not 6");
    if (Le32(header + 56) != kMiniStreamCutoff) {
      Fail("mini stream cutoff " + Grouped(Le32(header + 56)) + ", not 4,096");
    }
    if (fileSize_ < SectorSize()) {
      Fail("the file is " + Grouped(fileSize_) + " bytes, shorter than its header sector of " + Grouped(SectorSize()));
    }
    // A last sector cut short still counts: what a stream needs of it is checked on its own.
    const std::uint64_t sectors = (fileSize_ - SectorSize() + SectorSize() - 1) >> out_.sectorShift_;
    sectorCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, kMaxRegularSector + 1ull));
    fatCount_ = Le32(header + 44);
    firstDirectory_ = Le32(header + 48);
    firstMiniFat_ = Le32(header + 60);
    firstDifat_ = Le32(header + 68);
    difatCount_ = Le32(header + 72);
    if (fatCount_ == 0) Fail("its header counts no FAT sectors");
    if (fatCount_ > sectorCount_) {
      Fail("its header counts " + Grouped(fatCount_) + " FAT sectors, the file holds " + Grouped(sectorCount_) +
           " sectors");
    }
    if (difatCount_ > sectorCount_) {
      Fail("its header counts " + Grouped(difatCount_) + " DIFAT sectors, the file holds " + Grouped(sectorCount_) +
           " sectors");
    }
    const std::uint32_t inHeader = std::min(fatCount_, kHeaderDifatEntries);
    for (std::uint32_t i = 0; i < inHeader; ++i) headerDifat_.push_back(Le32(header + 76 + 4 * i));
    taken_ = SectorSet(sectorCount_);
  }

  // Claims a sector of the FAT or the DIFAT itself.
  void ClaimTableSector(std::uint32_t sector, const std::string& what) {
    if (sector >= sectorCount_) {
      Fail(what + " is sector " + Grouped(sector) + ", past the end of the file, which holds " + Grouped(sectorCount_) +
           " sectors");
    }
    if (taken_.Has(sector)) Fail(what + " is sector " + Grouped(sector) + ", which its " + OwnerOf(sector) + " holds");
    taken_.Add(sector);
  }

  void ReadDifat() {
    fatSectors_.reserve(fatCount_);
    for (std::uint32_t sector : headerDifat_) {
      ClaimTableSector(sector, "FAT sector " + std::to_string(fatSectors_.size()));
      fatSectors_.push_back(sector);
    }
    const std::uint32_t perSector = SectorSize() / 4 - 1;
    std::vector<std::uint8_t> buffer(SectorSize());
    std::uint32_t next = firstDifat_;
    while (fatSectors_.size() < fatCount_) {
      if (next > kMaxRegularSector) {
        Fail("its DIFAT ends after " + Grouped(fatSectors_.size()) + " of its " + Grouped(fatCount_) + " FAT sectors");
      }
      if (difatSectors_.size() == difatCount_) {
        Fail("its header counts " + Grouped(difatCount_) + " DIFAT sectors, too few for " + Grouped(fatCount_) +
             " FAT sectors");
      }
      if (next < sectorCount_ && taken_.Has(next) &&
          std::find(difatSectors_.begin(), difatSectors_.end(), next) != difatSectors_.end()) {
        Fail("its DIFAT loops back to sector " + Grouped(next));
      }
      ClaimTableSector(next, "DIFAT sector " + std::to_string(difatSectors_.size()));
      difatSectors_.push_back(next);
      ReadSector(next, buffer.data(), buffer.size(), "its DIFAT");
      for (std::uint32_t i = 0; i < perSector && fatSectors_.size() < fatCount_; ++i) {
        const std::uint32_t sector = Le32(buffer.data() + 4 * i);
        ClaimTableSector(sector, "FAT sector " + std::to_string(fatSectors_.size()));
        fatSectors_.push_back(sector);
      }
      next = Le32(buffer.data() + 4 * perSector);
    }
  }

  void ReadFat() {
    // Entries past the file's last sector can never be reached: not kept.
    const std::uint32_t perSector = SectorSize() / 4;
    fatLimit_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(fatCount_) * perSector, sectorCount_));
    fat_.assign(fatLimit_, 0);
    std::vector<std::uint8_t> buffer;
    // FAT sectors mostly lie together: read runs of them in one piece.
    constexpr std::uint32_t kRunSectors = 256;
    for (std::uint32_t first = 0; first * static_cast<std::uint64_t>(perSector) < fatLimit_;) {
      std::uint32_t count = 1;
      while (first + count < fatSectors_.size() && count < kRunSectors &&
             (first + count) * static_cast<std::uint64_t>(perSector) < fatLimit_ &&
             fatSectors_[first + count] == fatSectors_[first] + count) {
        ++count;
      }
      const std::uint64_t entries =
          std::min<std::uint64_t>(static_cast<std::uint64_t>(count) * perSector,
                                  fatLimit_ - static_cast<std::uint64_t>(first) * perSector);
      buffer.resize(entries * 4);
      ReadSector(fatSectors_[first], buffer.data(), buffer.size(), "its FAT");
      for (std::uint64_t i = 0; i < entries; ++i) {
        fat_[static_cast<std::uint64_t>(first) * perSector + i] = Le32(buffer.data() + 4 * i);
      }
      first += count;
    }
  }

  // Follows a chain through the FAT (or the mini FAT), claiming each sector:
  // every sector in range, none taken before, at least `need` of them.
  std::vector<std::uint32_t> WalkChain(std::uint32_t start, bool mini, std::uint64_t need, const std::string& part,
                                       const std::string& what) {
    const std::vector<std::uint32_t>& table = mini ? miniFat_ : fat_;
    const std::uint32_t limit = mini ? miniLimit_ : fatLimit_;
    SectorSet& taken = mini ? miniTaken_ : taken_;
    const char* unit = mini ? "mini sector " : "sector ";
    std::vector<std::uint32_t> chain;
    chain.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(need, limit)));
    const auto after = [&] { return " after " + Sectors(chain.size(), mini); };
    for (std::uint32_t sector = start; sector != kEndOfChain; sector = table[sector]) {
      if (sector > kMaxRegularSector) {
        Fail(part, what + " is broken" + after() + " (" + Hex(sector) + ", not a sector)");
      }
      if (sector >= limit) {
        const bool pastFile = mini ? sector >= miniSectorCount_ : sector >= sectorCount_;
        if (pastFile) {
          Fail(part, what + " leads to " + unit + Grouped(sector) + after() + ", past the end of " +
                         (mini ? "the mini stream, which holds " + Sectors(miniSectorCount_, true)
                               : "the file, which holds " + Sectors(sectorCount_, false)));
        }
        Fail(part, what + " leads to " + unit + Grouped(sector) + after() + ", which its " +
                       (mini ? "mini FAT" : "FAT") + " does not cover");
      }
      if (taken.Has(sector)) {
        if (std::find(chain.begin(), chain.end(), sector) != chain.end()) {
          Fail(part, what + " loops back to " + unit + Grouped(sector) + after());
        }
        Fail(part, what + " runs into " + unit + Grouped(sector) + ", which " + (mini ? MiniOwnerOf(sector)
                                                                                    : "its " + OwnerOf(sector)) +
                       " holds");
      }
      taken.Add(sector);
      chain.push_back(sector);
    }
    if (chain.size() < need) {
      const std::uint64_t unitSize = mini ? kMiniSectorSize : SectorSize();
      Fail(part, what + " ends after " + Sectors(chain.size(), mini) + " (" + Grouped(chain.size() * unitSize) +
                     " bytes), it claims " + Grouped(needBytes_) + " bytes");
    }
    return chain;
  }

  // The chain's sectors all hold what they should: a file cut short inside
  // its last sector still has the part a stream needs of it.
  void CheckPresent(const std::vector<std::uint32_t>& chain, bool mini, std::uint64_t size, const std::string& part) {
    if (chain.empty() || size == 0) return;
    const std::uint64_t unitSize = mini ? kMiniSectorSize : SectorSize();
    const std::uint64_t container = mini ? miniStreamSize_ : fileSize_;
    const std::uint64_t used = (size - 1) / unitSize;  // index of the last sector holding bytes
    const std::uint64_t tail = size - used * unitSize;
    for (std::uint64_t i = 0; i <= used; ++i) {
      const std::uint64_t start = mini ? static_cast<std::uint64_t>(chain[i]) * kMiniSectorSize
                                       : SectorOffset(chain[i]);
      if (start + (i == used ? tail : unitSize) > container) {
        Fail(part, std::string(mini ? "its mini sector " : "its sector ") + Grouped(chain[i]) + " is cut short (" +
                       (mini ? "the mini stream holds " : "the file holds ") + Grouped(container) + " bytes)");
      }
    }
  }

  void ReadDirectoryChain() {
    needBytes_ = 0;
    directory_ = WalkChain(firstDirectory_, false, 1, kCompoundPart, "its directory's chain");
    CheckPresent(directory_, false, static_cast<std::uint64_t>(directory_.size()) * SectorSize(), kCompoundPart);
    entryCount_ = static_cast<std::uint64_t>(directory_.size()) * (SectorSize() / kEntrySize);
    if (entryCount_ > kNoStream) entryCount_ = kNoStream;
    seen_ = SectorSet(entryCount_);
  }

  struct Entry {
    std::u16string name;
    std::uint8_t type = 0;
    std::uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    std::array<std::uint8_t, 16> classId{};
    std::uint32_t start = 0;
    std::uint64_t size = 0;
  };

  // One directory entry, its fields checked; `where` names it in messages.
  Entry ReadEntry(std::uint32_t id, const std::string& where) {
    std::uint8_t raw[kEntrySize];
    const std::uint32_t perSector = SectorSize() / kEntrySize;
    const std::uint64_t offset = SectorOffset(directory_[id / perSector]) + (id % perSector) * kEntrySize;
    if (!source_.ReadAt(offset, raw, sizeof raw)) Fail("its directory cannot be read at entry " + Grouped(id));
    Entry entry;
    const std::uint16_t length = Le16(raw + 64);
    const auto named = [&] { return "directory entry " + Grouped(id) + " (" + where + ")"; };
    if (length < 2 || length > 64 || length % 2 != 0) {
      Fail(named() + " has a name of " + std::to_string(length) + " bytes, not an even count from 2 to 64");
    }
    for (std::uint16_t i = 0; i + 2 < length; i += 2) {
      const char16_t c = Le16(raw + i);
      if (c == 0) Fail(named() + " has a NUL inside its name");
      entry.name.push_back(c);
    }
    if (Le16(raw + length - 2) != 0) Fail(named() + " has a name that does not end in NUL");
    entry.type = raw[66];
    entry.left = Le32(raw + 68);
    entry.right = Le32(raw + 72);
    entry.child = Le32(raw + 76);
    for (std::uint32_t link : {entry.left, entry.right, entry.child}) {
      if (link != kNoStream && link >= entryCount_) {
        Fail(named() + " links to entry " + Grouped(link) + ", the directory holds " + Grouped(entryCount_));
      }
    }
    std::copy(raw + 80, raw + 96, entry.classId.begin());
    entry.start = Le32(raw + 116);
    // Version 3 files were written by some with garbage in the high half.
    entry.size = version_ == 3 ? Le32(raw + 120) : Le64(raw + 120);
    return entry;
  }

  void ReadRootAndMiniStream() {
    seen_.Add(0);
    const Entry root = ReadEntry(0, "the root");
    if (root.type != 5) Fail("its first directory entry is of type " + std::to_string(root.type) + ", not the root");
    rootEntry_ = root;
    out_.root_.type = CompoundEntry::Type::kStorage;
    out_.root_.name = root.name;
    out_.root_.classId = root.classId;
    miniStreamSize_ = root.size;
    if (miniStreamSize_ > fileSize_) {
      Fail("its mini stream claims " + Grouped(miniStreamSize_) + " bytes, the file holds " + Grouped(fileSize_));
    }
    miniSectorCount_ = static_cast<std::uint32_t>((miniStreamSize_ + kMiniSectorSize - 1) / kMiniSectorSize);
    if (miniStreamSize_ > 0) {
      needBytes_ = miniStreamSize_;
      out_.miniStream_ = WalkChain(root.start, false, (miniStreamSize_ + SectorSize() - 1) >> out_.sectorShift_,
                                   kCompoundPart, "its mini stream's chain");
      CheckPresent(out_.miniStream_, false, miniStreamSize_, kCompoundPart);
    }
    miniTaken_ = SectorSet(miniSectorCount_);
  }

  void ReadMiniFat() {
    // Some writers mark "no mini FAT" as free rather than as an end.
    if (firstMiniFat_ == kEndOfChain || firstMiniFat_ == kFreeSector) return;
    needBytes_ = 0;
    const std::vector<std::uint32_t> chain = WalkChain(firstMiniFat_, false, 0, kCompoundPart, "its mini FAT's chain");
    miniFatSectors_ = chain;
    const std::uint32_t perSector = SectorSize() / 4;
    miniLimit_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(chain.size()) * perSector, miniSectorCount_));
    miniFat_.assign(miniLimit_, 0);
    std::vector<std::uint8_t> buffer(SectorSize());
    for (std::size_t i = 0; i * perSector < miniLimit_; ++i) {
      const std::uint64_t entries = std::min<std::uint64_t>(perSector, miniLimit_ - i * perSector);
      ReadSector(chain[i], buffer.data(), entries * 4, "its mini FAT");
      for (std::uint64_t j = 0; j < entries; ++j) miniFat_[i * perSector + j] = Le32(buffer.data() + 4 * j);
    }
  }

  // The entries of one storage: its tree of siblings, walked without
  // recursion (a hostile tree may be a list a million deep), each entry once.
  void Siblings(std::uint32_t top, const std::string& where, std::vector<Entry>& entries) {
    const std::string in = "in " + where;
    std::vector<std::uint32_t> pending;
    if (top != kNoStream) pending.push_back(top);
    while (!pending.empty()) {
      const std::uint32_t id = pending.back();
      pending.pop_back();
      if (seen_.Has(id)) Fail("its directory reaches entry " + Grouped(id) + " twice (in " + where + ")");
      seen_.Add(id);
      if (++reached_ > kMaxEntries) Fail("its directory holds more than " + Grouped(kMaxEntries) + " entries");
      Entry entry = ReadEntry(id, in);
      if (entry.type != 1 && entry.type != 2) {
        Fail("directory entry " + Grouped(id) + " (in " + where + ") is of type " + std::to_string(entry.type) +
             ", not a storage or a stream");
      }
      if (entry.left != kNoStream) pending.push_back(entry.left);
      if (entry.right != kNoStream) pending.push_back(entry.right);
      entries.push_back(std::move(entry));
    }
  }

  // top: the storage's child link, the top of its tree of entries.
  void LoadStorage(std::uint32_t top, CompoundEntry& storage, int depth, const std::string& path) {
    const std::string where = path.empty() ? "the root storage" : "storage " + path;
    std::vector<Entry> entries;
    Siblings(top, where, entries);
    for (Entry& entry : entries) {
      CompoundEntry child;
      child.name = entry.name;
      bool isTable = false;
      const std::string name = ReadableName(entry.name, &isTable);
      const std::string childPath = path.empty() ? name : path + "/" + name;
      if (entry.type == 1) {
        if (depth + 1 > kMaxDepth) {
          Fail("its storages nest deeper than " + std::to_string(kMaxDepth) + " levels (at " + childPath + ")");
        }
        child.type = CompoundEntry::Type::kStorage;
        child.classId = entry.classId;
        child.id = static_cast<std::uint32_t>(out_.places_.size());
        out_.places_.emplace_back();
        LoadStorage(entry.child, child, depth + 1, childPath);
      } else {
        child.type = CompoundEntry::Type::kStream;
        child.size = entry.size;
        child.id = static_cast<std::uint32_t>(out_.places_.size());
        out_.places_.push_back(LoadStream(entry, name, isTable, path));
      }
      storage.children.push_back(std::move(child));
    }
    std::sort(storage.children.begin(), storage.children.end(),
              [](const CompoundEntry& a, const CompoundEntry& b) { return a.name < b.name; });
    for (std::size_t i = 1; i < storage.children.size(); ++i) {
      if (storage.children[i].name == storage.children[i - 1].name) {
        Fail(where + " holds two entries named " + ReadableName(storage.children[i].name, nullptr));
      }
    }
  }

  StreamPlace LoadStream(const Entry& entry, const std::string& name, bool isTable, const std::string& storage) {
    StreamPlace place;
    place.isStream = true;
    if (entry.name == u"\x05SummaryInformation") {
      place.part = storage.empty() ? "its summary information" : "the summary information of storage " + storage;
    } else {
      place.part = (isTable ? "table " : "stream ") + name + (storage.empty() ? "" : " of storage " + storage);
    }
    place.size = entry.size;
    // Checked before anything is allocated for it.
    if (entry.size > fileSize_) {
      Fail(place.part, "it claims " + Grouped(entry.size) + " bytes, the file holds " + Grouped(fileSize_));
    }
    if (entry.size == 0) return place;  // its first sector means nothing
    place.mini = entry.size < kMiniStreamCutoff;
    needBytes_ = entry.size;
    const std::uint64_t unit = place.mini ? kMiniSectorSize : SectorSize();
    place.sectors = WalkChain(entry.start, place.mini, (entry.size + unit - 1) / unit, place.part, "its chain");
    CheckPresent(place.sectors, place.mini, entry.size, place.part);
    return place;
  }

  // Who holds a sector, for the message that two chains claim it (only
  // ever searched once, on the way out).
  std::string OwnerOf(std::uint32_t sector) const {
    const auto holds = [sector](const std::vector<std::uint32_t>& chain) {
      return std::find(chain.begin(), chain.end(), sector) != chain.end();
    };
    if (holds(fatSectors_)) return "FAT";
    if (holds(difatSectors_)) return "DIFAT";
    if (holds(directory_)) return "directory";
    if (holds(out_.miniStream_)) return "mini stream";
    if (holds(miniFatSectors_)) return "mini FAT";
    for (const StreamPlace& place : out_.places_) {
      if (!place.mini && holds(place.sectors)) return place.part;
    }
    return "another chain";
  }
  std::string MiniOwnerOf(std::uint32_t sector) const {
    for (const StreamPlace& place : out_.places_) {
      if (place.mini && std::find(place.sectors.begin(), place.sectors.end(), sector) != place.sectors.end()) {
        return place.part;
      }
    }
    return "another chain";
  }

  CompoundFile& out_;
  const ByteSource& source_;
  std::uint64_t fileSize_ = 0;
  unsigned version_ = 3;
  std::uint32_t sectorCount_ = 0;
  std::uint32_t fatCount_ = 0, difatCount_ = 0;
  std::uint32_t firstDirectory_ = 0, firstMiniFat_ = 0, firstDifat_ = 0;
  std::vector<std::uint32_t> headerDifat_;
  std::vector<std::uint32_t> fatSectors_, difatSectors_, directory_, miniFatSectors_;
  std::vector<std::uint32_t> fat_, miniFat_;
  std::uint32_t fatLimit_ = 0, miniLimit_ = 0;
  std::uint64_t miniStreamSize_ = 0;
  std::uint32_t miniSectorCount_ = 0;
  std::uint64_t entryCount_ = 0;
  std::uint64_t needBytes_ = 0;  // the size a chain is walked for, for its message
  std::uint32_t reached_ = 0;
  SectorSet taken_{0}, miniTaken_{0}, seen_{0};
  Entry rootEntry_;
};

CompoundFile CompoundFile::Open(const ByteSource& source, const std::string& file, const std::string& kind) {
  CompoundFile out;
  out.source_ = &source;
  out.file_ = file;
  out.kind_ = kind;
  Loader(out, source).Load();
  return out;
}

const CompoundEntry& CompoundFile::Root() const { return root_; }

const CompoundFile::StreamPlace& CompoundFile::PlaceOf(const CompoundEntry& stream) const {
  if (stream.id >= places_.size() || !places_[stream.id].isStream || places_[stream.id].size != stream.size) {
    throw std::invalid_argument("not a stream of this compound file");
  }
  return places_[stream.id];
}

std::uint64_t CompoundFile::OffsetOf(const StreamPlace& place, std::size_t index) const {
  const std::uint32_t sector = place.sectors[index];
  if (!place.mini) return (static_cast<std::uint64_t>(sector) + 1) << sectorShift_;
  const std::uint64_t inMini = static_cast<std::uint64_t>(sector) * kMiniSectorSize;
  const std::uint64_t mask = (std::uint64_t{1} << sectorShift_) - 1;
  return ((static_cast<std::uint64_t>(miniStream_[inMini >> sectorShift_]) + 1) << sectorShift_) + (inMini & mask);
}

bool CompoundFile::ReadStreamAt(const CompoundEntry& stream, std::uint64_t offset, void* out,
                                std::size_t size) const {
  const StreamPlace& place = PlaceOf(stream);
  if (offset > place.size || size > place.size - offset) return false;
  const unsigned shift = place.mini ? 6 : sectorShift_;
  const std::uint64_t unit = std::uint64_t{1} << shift;
  auto* into = static_cast<std::uint8_t*>(out);
  while (size > 0) {
    std::size_t index = static_cast<std::size_t>(offset >> shift);
    const std::uint64_t start = OffsetOf(place, index) + (offset & (unit - 1));
    std::uint64_t length = std::min<std::uint64_t>(size, unit - (offset & (unit - 1)));
    // Sectors that follow each other in the file are one read.
    for (++index; length < size && OffsetOf(place, index) == start + length; ++index) {
      length += std::min<std::uint64_t>(size - length, unit);
    }
    if (!source_->ReadAt(start, into, static_cast<std::size_t>(length))) return false;
    into += length;
    offset += length;
    size -= static_cast<std::size_t>(length);
  }
  return true;
}

std::vector<std::uint8_t> CompoundFile::ReadStream(const CompoundEntry& stream) const {
  const StreamPlace& place = PlaceOf(stream);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(place.size));
  if (!ReadStreamAt(stream, 0, bytes.data(), bytes.size())) {
    throw DamagedFile(file_, place.part, "its bytes cannot be read", kind_);
  }
  return bytes;
}

}  // namespace makepatch
