#include "msi/cabinet_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace makepatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Load(const std::string& name) {
  std::ifstream in(std::string(CABINET_FIXTURE) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t Get(const Bytes& b, std::size_t at, unsigned width) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= std::uint32_t{b.at(at + i)} << (8 * i);
  return value;
}

void Put(Bytes& b, std::size_t at, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where the fields of gcab's cabinets lie (no reserve, no neighbours): one
// folder at 36, its first block at its coffCabStart, the file entries at
// coffFiles, the second entry after the first's name "big.dat".
constexpr std::size_t kFolder = 36;
std::size_t Files(const Bytes& b) { return Get(b, 16, 4); }
std::size_t SecondFile(const Bytes& b) { return Files(b) + 16 + 8; }
std::size_t FirstBlock(const Bytes& b) { return Get(b, kFolder, 4); }

// A gcab cabinet of one folder rebuilt with reserve areas of the given
// sizes and the names of its neighbours in a set, as a signing tool or a
// cabinet set's writer leaves them: the offsets move, the shape must not.
Bytes WithReserveAndNeighbours(const Bytes& b, std::uint16_t header, std::uint8_t folder, std::uint8_t block) {
  const std::size_t files = Files(b), data = FirstBlock(b);
  Bytes out(b.begin(), b.begin() + 36);
  Put(out, 30, 2, Get(b, 30, 2) | 0x0007);
  out.insert(out.end(), {static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8), folder, block});
  out.insert(out.end(), header, 0xAA);
  for (const char* name : {"prev.cab", "Disk 1", "next.cab", "Disk 3"}) {
    out.insert(out.end(), name, name + std::strlen(name) + 1);
  }
  const std::size_t folderAt = out.size();
  out.insert(out.end(), b.begin() + kFolder, b.begin() + kFolder + 8);
  out.insert(out.end(), folder, 0xBB);
  Put(out, 16, 4, static_cast<std::uint32_t>(out.size()));
  out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(files), b.begin() + static_cast<std::ptrdiff_t>(data));
  Put(out, folderAt, 4, static_cast<std::uint32_t>(out.size()));
  for (std::size_t at = data, n = 0; n < Get(b, kFolder + 4, 2); ++n) {
    const std::size_t stored = Get(b, at + 4, 2);
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 8));
    out.insert(out.end(), block, 0xCC);
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 8),
               b.begin() + static_cast<std::ptrdiff_t>(at + 8 + stored));
    at += 8 + stored;
  }
  Put(out, 8, 4, static_cast<std::uint32_t>(out.size()));
  return out;
}

TEST(CabinetCheck, ShapeOfGcabCabinets) {
  const auto size = [](const char* name) {
    return std::filesystem::file_size(std::string(CABINET_FIXTURE) + "/" + name);
  };
  for (const char* cabinet : {"stored.cab", "mszip.cab", "reserve"}) {
    SCOPED_TRACE(cabinet);
    const Bytes bytes = cabinet == std::string("reserve") ? WithReserveAndNeighbours(Load("mszip.cab"), 6, 3, 5)
                                                          : Load(cabinet);
    ASSERT_FALSE(bytes.empty());
    const CabinetShape shape = CheckCabinet(MemorySource(bytes), "p.msp", cabinet, kCabinetKind);
    ASSERT_EQ(shape.files.size(), 2u);
    EXPECT_EQ(shape.files[0].name, "big.dat");
    EXPECT_EQ(shape.files[0].size, size("big.dat"));
    EXPECT_EQ(shape.files[0].offset, 0u);
    EXPECT_EQ(shape.files[1].name, "small.txt");
    EXPECT_EQ(shape.files[1].size, size("small.txt"));
    EXPECT_EQ(shape.files[1].offset, size("big.dat"));
    EXPECT_EQ(shape.files[1].folder, 0u);
    EXPECT_EQ(shape.uncompressed, size("big.dat") + size("small.txt"));
  }
}

TEST(CabinetCheck, RefusesEachDamagedPart) {
  struct Case {
    const char* why;
    const char* cabinet;
    std::function<void(Bytes&)> damage;
    const char* detail;
  };
  const Case cases[] = {
      {"signature", "stored.cab", [](Bytes& b) { b[0] = 'X'; }, "it does not begin with MSCF"},
      {"shorter than a header", "stored.cab", [](Bytes& b) { b.resize(20); }, "fewer than its 36-byte header"},
      {"version", "stored.cab", [](Bytes& b) { b[24] = 2; }, "version 1.2, not 1.3"},
      {"cbCabinet past the end", "stored.cab", [](Bytes& b) { Put(b, 8, 4, Get(b, 8, 4) + 1); },
       "but holds 100,131: it is cut short"},
      {"cut short inside the blocks", "mszip.cab",
       [](Bytes& b) {
         b.resize(b.size() - 40);
         Put(b, 8, 4, static_cast<std::uint32_t>(b.size()));
       },
       "of folder 1 at"},
      {"absurd folder count", "stored.cab", [](Bytes& b) { Put(b, 26, 2, 65535); }, "65,535 folders of 8 bytes"},
      {"files without a folder", "stored.cab", [](Bytes& b) { Put(b, 26, 2, 0); }, "lists 2 files but no folder"},
      {"coffFiles past the end", "stored.cab", [](Bytes& b) { Put(b, 16, 4, 0xFFFFFF00); },
       "its 2 file entries at 4,294,967,040 run past"},
      {"coffFiles inside the folders", "stored.cab", [](Bytes& b) { Put(b, 16, 4, 40); }, "inside its header"},
      {"coffCabStart in the entries", "stored.cab", [](Bytes& b) { Put(b, kFolder, 4, 10); },
       "folder 1's blocks start at 10"},
      {"cCFData too large", "stored.cab", [](Bytes& b) { Put(b, kFolder + 4, 2, 65535); },
       "folder 1 claims 65,535 blocks"},
      {"unknown compression", "stored.cab", [](Bytes& b) { Put(b, kFolder + 6, 2, 4); }, "compression 0x0004"},
      {"LZX window too large", "stored.cab", [](Bytes& b) { Put(b, kFolder + 6, 2, 0x1603); }, "compression 0x1603"},
      {"cbUncomp 65535", "mszip.cab", [](Bytes& b) { Put(b, FirstBlock(b) + 6, 2, 65535); },
       "block 1 of folder 1 holds 65,535 bytes, more than a block's 32,768"},
      {"stored block of another size", "stored.cab", [](Bytes& b) { Put(b, FirstBlock(b) + 4, 2, 100); },
       "stores 100 bytes for 32,768 in a folder without compression"},
      {"compressed block too large", "mszip.cab", [](Bytes& b) { Put(b, FirstBlock(b) + 4, 2, 40000); },
       "stores 40,000 bytes, more than a block's 38,912"},
      {"file claiming gigabytes", "mszip.cab", [](Bytes& b) { Put(b, Files(b), 4, 0xFFFFFFFF); },
       "file big.dat claims 4,294,967,295 bytes at 0 of folder 1, whose blocks hold 100,005"},
      {"file past its folder", "stored.cab", [](Bytes& b) { Put(b, SecondFile(b) + 4, 4, 100001); },
       "file small.txt claims 5 bytes at 100,001 of folder 1"},
      {"file in a folder not there", "stored.cab", [](Bytes& b) { Put(b, SecondFile(b) + 8, 2, 1); },
       "file small.txt names folder 2, but the cabinet has 1"},
      {"file continued into the next cabinet", "stored.cab", [](Bytes& b) { Put(b, SecondFile(b) + 8, 2, 0xFFFE); },
       "file small.txt continues into another cabinet"},
      {"name without NUL", "stored.cab",
       [](Bytes& b) { std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(Files(b) + 16), 300, 'a'); },
       "the name of file entry 1 at 60 is longer than 255 bytes"},
      {"empty name", "stored.cab", [](Bytes& b) { b[Files(b) + 16] = 0; }, "file entry 1 has no name"},
      {"unknown flags", "stored.cab", [](Bytes& b) { Put(b, 30, 2, 0x0010); }, "its flags 0x0010 are unknown"},
      // Found by fuzzing inspect-patch: the raw name made its JSON invalid UTF-8.
      {"name not UTF-8", "mszip.cab",
       [](Bytes& b) {
         b[Files(b) + 17] = 0xCD;
         Put(b, Files(b), 4, 0xFFFFFFFF);
       },
       "file b\xEF\xBF\xBDg.dat claims 4,294,967,295 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Bytes bytes = Load(c.cabinet);
    ASSERT_FALSE(bytes.empty());
    c.damage(bytes);
    try {
      CheckCabinet(MemorySource(bytes), "p.msp", "patch.cab", kPatchKind);
      ADD_FAILURE() << "accepted";
    } catch (const DamagedCabinet& e) {
      EXPECT_NE(std::string(e.what()).find("p.msp: cabinet patch.cab is damaged ("), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("): the file is damaged, or not a Windows Installer patch"),
                std::string::npos)
          << e.what();
      EXPECT_NE(e.detail().find(c.detail), std::string::npos) << e.detail();
    }
  }
}

}  // namespace
}  // namespace makepatch
