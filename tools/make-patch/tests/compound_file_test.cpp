// The compound file reader: real installer files read as an independent
// reader reads them, and a small file of our own damaged one structure at a
// time, each refused with one line that names what is wrong.
#include "msi/compound_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "io/file_source.h"
#include "msi/transform_encoding.h"

namespace makepatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; }
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct TestStream {
  std::u16string name;
  Bytes data;
};

// A compound file laid out plainly: FAT, directory, mini FAT, mini stream,
// then the large streams, whose sectors alternate while two remain.
struct Built {
  Bytes bytes;
  std::uint32_t sectorSize = 512;
  std::uint32_t miniFatSector = 0;
  std::vector<std::uint32_t> start;  // each stream's first sector (or mini sector)

  std::size_t Sector(std::uint32_t n) const { return (static_cast<std::size_t>(n) + 1) * sectorSize; }
  std::size_t Entry(std::uint32_t id) const { return Sector(dirSector) + id * 128; }
  std::size_t Fat(std::uint32_t n) const { return Sector(n / (sectorSize / 4)) + (n % (sectorSize / 4)) * 4; }
  std::size_t MiniFat(std::uint32_t n) const { return Sector(miniFatSector) + n * 4; }
  std::uint32_t dirSector = 0;
};

Built Build(unsigned version, const std::vector<TestStream>& streams) {
  Built out;
  out.sectorSize = version == 3 ? 512 : 4096;
  const std::uint32_t s = out.sectorSize;
  std::uint32_t mini = 0;
  std::vector<std::uint32_t> big;  // sectors each large stream needs
  for (const TestStream& stream : streams) {
    if (stream.data.size() < 4096) mini += (stream.data.size() + 63) / 64;
    if (stream.data.size() >= 4096) big.push_back((stream.data.size() + s - 1) / s);
  }
  const std::uint32_t dirSectors = ((streams.size() + 1) * 128 + s - 1) / s;
  const std::uint32_t miniFatSectors = (mini * 4 + s - 1) / s;
  const std::uint32_t miniSectors = (mini * 64 + s - 1) / s;
  std::uint32_t bigTotal = 0;
  for (std::uint32_t n : big) bigTotal += n;
  std::uint32_t fat = 1;
  while (fat * (s / 4) < fat + dirSectors + miniFatSectors + miniSectors + bigTotal) ++fat;
  EXPECT_LE(fat, 109u);
  const std::uint32_t total = fat + dirSectors + miniFatSectors + miniSectors + bigTotal;
  out.bytes.assign(static_cast<std::size_t>(total + 1) * s, 0);
  Bytes& b = out.bytes;
  const std::uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(signature, signature + 8, b.begin());
  Put16(b, 24, 0x3E), Put16(b, 26, version), Put16(b, 28, 0xFFFE), Put16(b, 30, version == 3 ? 9 : 12);
  Put16(b, 32, 6), Put32(b, 44, fat), Put32(b, 56, 4096), Put32(b, 72, 0), Put32(b, 68, kEnd);
  if (version == 4) Put32(b, 40, dirSectors);
  for (std::uint32_t i = 0; i < 109; ++i) Put32(b, 76 + 4 * i, i < fat ? i : kFree);
  out.dirSector = fat;
  out.miniFatSector = fat + dirSectors;
  const std::uint32_t miniStreamSector = out.miniFatSector + miniFatSectors;
  Put32(b, 48, out.dirSector);
  Put32(b, 60, miniFatSectors ? out.miniFatSector : kEnd), Put32(b, 64, miniFatSectors);
  for (std::uint32_t n = 0; n < fat * (s / 4); ++n) Put32(b, out.Fat(n), n < fat ? kFatSector : kFree);
  const auto chain = [&](std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) Put32(b, out.Fat(first + i), i + 1 < count ? first + i + 1 : kEnd);
  };
  chain(out.dirSector, dirSectors), chain(out.miniFatSector, miniFatSectors), chain(miniStreamSector, miniSectors);
  // The large streams' sectors, handed out in turn.
  std::vector<std::vector<std::uint32_t>> bigChains(big.size());
  for (std::uint32_t next = miniStreamSector + miniSectors; next < total;) {
    for (std::size_t k = 0; k < big.size(); ++k) {
      if (bigChains[k].size() < big[k]) bigChains[k].push_back(next++);
    }
  }
  const auto entry = [&](std::uint32_t id, const std::u16string& name, std::uint8_t type, std::uint32_t start,
                         std::uint64_t size) {
    const std::size_t at = out.Entry(id);
    for (std::size_t i = 0; i < name.size(); ++i) Put16(b, at + 2 * i, name[i]);
    Put16(b, at + 64, (name.size() + 1) * 2);
    b[at + 66] = type, b[at + 67] = 1;
    Put32(b, at + 68, kFree), Put32(b, at + 72, kFree), Put32(b, at + 76, kFree);
    Put32(b, at + 116, start), Put32(b, at + 120, size & 0xFFFFFFFF), Put32(b, at + 124, size >> 32);
  };
  entry(0, u"Root Entry", 5, miniSectors ? miniStreamSector : kEnd, mini * 64);
  if (!streams.empty()) Put32(b, out.Entry(0) + 76, 1);
  std::uint32_t nextMini = 0;
  std::size_t nextBig = 0;
  for (std::uint32_t i = 0; i < streams.size(); ++i) {
    const Bytes& data = streams[i].data;
    std::uint32_t start = kEnd;
    if (data.size() >= 4096) {
      const std::vector<std::uint32_t>& sectors = bigChains[nextBig++];
      start = sectors[0];
      for (std::size_t k = 0; k < sectors.size(); ++k) {
        Put32(b, out.Fat(sectors[k]), k + 1 < sectors.size() ? sectors[k + 1] : kEnd);
        const std::size_t from = k * s;
        std::copy_n(data.begin() + from, std::min<std::size_t>(s, data.size() - from),
                    b.begin() + out.Sector(sectors[k]));
      }
    } else if (!data.empty()) {
      start = nextMini;
      const std::uint32_t count = (data.size() + 63) / 64;
      for (std::uint32_t k = 0; k < count; ++k) {
        Put32(b, out.MiniFat(start + k), k + 1 < count ? start + k + 1 : kEnd);
      }
      std::copy(data.begin(), data.end(), b.begin() + out.Sector(miniStreamSector) + start * 64);
      nextMini += count;
    }
    out.start.push_back(start);
    entry(i + 1, streams[i].name, 2, start, data.size());
    if (i + 1 < streams.size()) Put32(b, out.Entry(i + 1) + 72, i + 2);  // a list down the right
  }
  for (std::uint32_t n = nextMini; n < miniFatSectors * (s / 4); ++n) Put32(b, out.MiniFat(n), kFree);
  return out;
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 2654435761u + seed) >> 13);
  return bytes;
}

// Streams 1..3: the summary (mini), table File (mini), Binary.Icon (large).
Built Sample(unsigned version = 3, std::size_t iconSize = 5000) {
  return Build(version, {{u"\x05SummaryInformation", Pattern(200, 1)},
                         {EncodeStreamName("File", true), Pattern(300, 2)},
                         {EncodeStreamName("Binary.Icon", false), Pattern(iconSize, 3)}});
}

const CompoundEntry* Find(const CompoundEntry& storage, const std::u16string& name) {
  for (const CompoundEntry& child : storage.children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

TEST(CompoundFileTest, DamagedStructuresAreRefusedByName) {
  struct Case {
    const char* why;
    std::function<void(Built&)> damage;
    const char* says;  // "" for a file that must be read
    std::size_t iconSize = 5000;
    unsigned version = 3;
  };
  const Case cases[] = {
      {"the signature", [](Built& f) { f.bytes[0] = 0; }, "its compound file is damaged (it does not begin with"},
      {"a sector shift", [](Built& f) { Put16(f.bytes, 30, 10); }, "sector shift 10 in a version 3 file, not 9"},
      {"a version 4 header with small sectors", [](Built& f) { Put16(f.bytes, 30, 9); },
       "sector shift 9 in a version 4 file, not 12", 5000, 4},
      {"the byte order", [](Built& f) { Put16(f.bytes, 28, 0xFEFF); }, "byte order mark 0xFEFF, not 0xFFFE"},
      {"the mini stream cutoff", [](Built& f) { Put32(f.bytes, 56, 2048); }, "mini stream cutoff 2,048, not 4,096"},
      {"a FAT sector past the end", [](Built& f) { Put32(f.bytes, 76, 5000); },
       "FAT sector 0 is sector 5,000, past the end of the file"},
      {"a FAT entry past the end", [](Built& f) { Put32(f.bytes, f.Fat(f.start[2]), 100000); },
       "stream Binary.Icon is damaged (its chain leads to sector 100,000 after 1 sector, past the end of the file"},
      {"a FAT loop", [](Built& f) { Put32(f.bytes, f.Fat(f.start[2] + 3), f.start[2] + 1); },
       "stream Binary.Icon is damaged (its chain loops back to sector"},
      {"a chain too short", [](Built& f) { Put32(f.bytes, f.Fat(f.start[2] + 8), kEnd); },
       "its chain ends after 9 sectors (4,608 bytes), it claims 5,000 bytes"},
      {"a chain through a free sector", [](Built& f) { Put32(f.bytes, f.Fat(f.start[2] + 8), kFree); },
       "its chain is broken after 9 sectors (0xFFFFFFFF, not a sector)"},
      {"a DIFAT loop",
       [](Built& f) {
         // 300 FAT sectors claimed: 109 in the header, the rest in one DIFAT
         // sector that names itself as the next.
         const std::uint32_t difat = f.start[2] + 10;
         Put32(f.bytes, 44, 300), Put32(f.bytes, 68, difat), Put32(f.bytes, 72, 2);
         for (std::uint32_t i = 1; i < 109; ++i) Put32(f.bytes, 76 + 4 * i, f.start[2] + 20 + i);
         for (std::uint32_t i = 0; i < 127; ++i) Put32(f.bytes, f.Sector(difat) + 4 * i, f.start[2] + 200 + i);
         Put32(f.bytes, f.Sector(difat) + 508, difat);
       },
       "its DIFAT loops back to sector", 200 * 1024},
      {"a directory loop", [](Built& f) { Put32(f.bytes, f.Entry(3) + 68, 1); }, "reaches entry 1 twice"},
      {"a directory link out of range", [](Built& f) { Put32(f.bytes, f.Entry(2) + 76, 1000); },
       "links to entry 1,000, the directory holds 4"},
      {"an entry of no known type", [](Built& f) { f.bytes[f.Entry(2) + 66] = 3; }, "is of type 3, not a storage"},
      {"a name longer than 64 bytes", [](Built& f) { Put16(f.bytes, f.Entry(1) + 64, 66); },
       "has a name of 66 bytes, not an even count from 2 to 64"},
      {"a name without its NUL", [](Built& f) { Put16(f.bytes, f.Entry(1) + 64, 8); }, "does not end in NUL"},
      {"a stream claiming gigabytes", [](Built& f) { Put32(f.bytes, f.Entry(3) + 120, 0xFFFFFF00); },
       "t.msi: stream Binary.Icon is damaged (it claims 4,294,967,040 bytes, the file holds 8,192)"},
      {"a version 3 size's high half is not read", [](Built& f) { Put32(f.bytes, f.Entry(3) + 124, 0xDEADBEEF); }, ""},
      {"a version 4 size's high half is", [](Built& f) { Put32(f.bytes, f.Entry(3) + 124, 1); },
       "it claims 4,294,972,296 bytes", 5000, 4},
      {"a mini stream entry out of range", [](Built& f) { Put32(f.bytes, f.MiniFat(f.start[1]), 5000); },
       "table File is damaged (its chain leads to mini sector 5,000 after 1 mini sector, past the end of the mini "
       "stream, which holds 9 mini sectors)"},
      {"two streams sharing a mini sector", [](Built& f) { Put32(f.bytes, f.Entry(2) + 116, f.start[0]); },
       "table File is damaged (its chain runs into mini sector 0, which its summary information holds)"},
      {"the mini stream past the file", [](Built& f) { Put32(f.bytes, f.Entry(0) + 120, 1 << 20); },
       "its mini stream claims 1,048,576 bytes, the file holds"},
      {"two streams of one name",
       [](Built& f) {
         for (std::uint32_t id : {1, 2}) Put16(f.bytes, f.Entry(id), 'x'), Put16(f.bytes, f.Entry(id) + 2, 0),
                                         Put16(f.bytes, f.Entry(id) + 64, 4);
       },
       "the root storage holds two entries named x"},
      {"cut inside the header", [](Built& f) { f.bytes.resize(300); }, "the file is 300 bytes, shorter than"},
      {"cut inside the FAT's reach", [](Built& f) { f.bytes.resize(f.Sector(f.start[2] + 4)); },
       "stream Binary.Icon is damaged (its chain leads to sector 9 after 4 sectors, past the end of the file, which "
       "holds 9 sectors)"},
      {"cut inside the last sector", [](Built& f) { f.bytes.resize(f.bytes.size() - 200); },
       "its sector 14 is cut short (the file holds 7,992 bytes)"},
      {"cut after the needed bytes of the last sector", [](Built& f) { f.bytes.resize(f.bytes.size() - 120); }, ""},
      {"cut before the directory", [](Built& f) { f.bytes.resize(f.Sector(f.dirSector)); },
       "its directory's chain leads to sector 1 after 0 sectors, past the end of the file, which holds 1 sector"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Built file = Sample(c.version, c.iconSize);
    c.damage(file);
    const MemorySource source(file.bytes);
    if (*c.says == '\0') {
      const CompoundFile read = CompoundFile::Open(source, "t.msi", kPackageKind);
      const CompoundEntry* icon = Find(read.Root(), EncodeStreamName("Binary.Icon", false));
      ASSERT_NE(icon, nullptr);
      EXPECT_EQ(read.ReadStream(*icon), Pattern(c.iconSize, 3));
      continue;
    }
    try {
      CompoundFile::Open(source, "t.msi", kPackageKind);
      ADD_FAILURE() << "read without complaint";
    } catch (const DamagedFile& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_EQ(message.rfind("t.msi: ", 0), 0u) << message;
      const std::string tail = ": the file is damaged, or not a Windows Installer package";
      EXPECT_EQ(message.substr(message.size() - std::min(message.size(), tail.size())), tail) << message;
    }
  }
}

// FNV-1a over each stream (by path, in code-unit order): its path in
// UTF-16LE, its size as 8 bytes, its bytes. The figures were made with
// Debian's olefile 0.46 from the same files.
std::uint64_t Fnv(std::uint64_t hash, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

void Walk(const CompoundFile& file, const CompoundEntry& storage, const std::u16string& path,
          std::vector<std::pair<std::u16string, const CompoundEntry*>>& out) {
  for (const CompoundEntry& child : storage.children) {
    const std::u16string name = path.empty() ? child.name : path + u"/" + child.name;
    if (child.type == CompoundEntry::Type::kStorage) {
      Walk(file, child, name, out);
    } else {
      out.emplace_back(name, &child);
    }
  }
}

TEST(CompoundFileTest, ReadsInstallerFilesAsAnotherReaderDoes) {
  struct Case {
    const char* path;
    std::size_t streams;
    std::uint64_t bytes;
    std::uint64_t digest;
  } cases[] = {
      {"tests/patch_checker/testdata/prodAv100.msi", 20, 9715, 0xc04eab111b7ac6c0ull},
      {"resources/sample/sample.msp", 322, 31514, 0x3fdeb3be8b04253eull},
      {"tests/patch_checker/testdata/PatchAv101.msp", 20, 2713, 0x2ac27c13b631d1aeull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const FileSource source(std::string(HOTFIX_SOURCE_DIR) + "/" + c.path);
    const CompoundFile file = CompoundFile::Open(source, c.path, kPackageKind);
    std::vector<std::pair<std::u16string, const CompoundEntry*>> streams;
    Walk(file, file.Root(), u"", streams);
    std::sort(streams.begin(), streams.end());
    std::uint64_t digest = 0xcbf29ce484222325ull, total = 0;
    for (const auto& [path, stream] : streams) {
      const Bytes bytes = file.ReadStream(*stream);
      ASSERT_EQ(bytes.size(), stream->size);
      for (char16_t unit : path) {
        const std::uint8_t le[2] = {static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)};
        digest = Fnv(digest, le, 2);
      }
      std::uint8_t size[8];
      for (int i = 0; i < 8; ++i) size[i] = static_cast<std::uint8_t>(std::uint64_t{bytes.size()} >> (8 * i));
      digest = Fnv(Fnv(digest, size, 8), bytes.data(), bytes.size());
      total += bytes.size();
    }
    EXPECT_EQ(streams.size(), c.streams);
    EXPECT_EQ(total, c.bytes);
    EXPECT_EQ(digest, c.digest);
  }
}

// 64 MB in 4 KB sectors, written out and read in place: two streams whose
// sectors alternate for a stretch, then run on together.
TEST(CompoundFileTest, ReadsScatteredPiecesOfALargeStreamInPlace) {
  const Bytes big = Pattern(48u << 20, 7), other = Pattern(16u << 20, 9);
  const Built built = Build(4, {{u"big", big}, {u"other", other}, {u"small", Pattern(1000, 5)}});
  char path[] = "/tmp/compound-file-test-XXXXXX";
  const int descriptor = mkstemp(path);
  ASSERT_GE(descriptor, 0);
  ASSERT_EQ(write(descriptor, built.bytes.data(), built.bytes.size()), static_cast<ssize_t>(built.bytes.size()));
  close(descriptor);
  const FileSource source(path);
  unlink(path);
  const CompoundFile file = CompoundFile::Open(source, "big.msi", kPackageKind);
  const CompoundEntry* stream = Find(file.Root(), u"big");
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->size, big.size());
  const CompoundStreamSource piece(file, *stream);
  std::uint64_t at = 12345;
  for (int i = 0; i < 2000; ++i) {
    at = (at * 6364136223846793005ull + 1442695040888963407ull);
    const std::size_t size = 1 + (at >> 40) % 20000;
    const std::uint64_t offset = (at >> 8) % (big.size() - size + 1);
    Bytes got(size);
    ASSERT_TRUE(piece.ReadAt(offset, got.data(), size)) << offset;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), big.begin() + offset)) << offset << "+" << size;
  }
  Bytes tail(10);
  EXPECT_TRUE(piece.ReadAt(big.size() - 10, tail.data(), 10));
  EXPECT_FALSE(piece.ReadAt(big.size() - 9, tail.data(), 10));
  EXPECT_EQ(file.ReadStream(*Find(file.Root(), u"other")), other);
  EXPECT_EQ(file.ReadStream(*Find(file.Root(), u"small")), Pattern(1000, 5));
}

}  // namespace
}  // namespace makepatch
