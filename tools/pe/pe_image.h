// The layout of a portable executable (EXE, DLL, OCX, SYS, ... 32- or 64-bit),
// read from its bytes on any machine: the headers, the sections, the data
// directories and the resource tree. Every field is located by parsing, never
// at a guessed offset, and every read is bounds-checked: the bytes come from
// outside (a release build, a hotfix.exe handed to the inspector).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pe {

using Bytes = std::span<const std::uint8_t>;

// Indices into the optional header's data directories.
enum DirectoryIndex : unsigned {
  kExportDirectory = 0,
  kImportDirectory = 1,
  kResourceDirectory = 2,
  kExceptionDirectory = 3,
  kCertificateDirectory = 4,  // its address is a file offset, not an RVA
  kRelocationDirectory = 5,
  kDebugDirectory = 6,
};

struct Section {
  std::string name;  // up to 8 characters, trailing NULs dropped
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;  // PointerToRawData
  std::uint32_t rawSize = 0;    // SizeOfRawData
};

struct DataDirectory {
  std::uint32_t address = 0;  // an RVA, or a file offset for the certificate table
  std::uint32_t size = 0;
  std::uint64_t entryOffset = 0;  // file offset of this directory's 8-byte entry in the header
};

struct Image {
  bool pe32Plus = false;  // the 64-bit optional header
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;  // IMAGE_FILE_DLL is 0x2000
  std::uint16_t subsystem = 0;
  std::uint64_t coffOffset = 0;            // file offset of the COFF file header
  std::uint64_t timeDateStampOffset = 0;   // COFF TimeDateStamp, 4 bytes
  std::uint64_t optionalHeaderOffset = 0;
  std::uint64_t checkSumOffset = 0;        // optional header CheckSum, 4 bytes
  std::uint32_t fileAlignment = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::vector<DataDirectory> directories;  // as many as NumberOfRvaAndSizes says (at most 16)
  std::vector<Section> sections;

  // The directory at `index`, or nothing when the header has none there or it is empty.
  std::optional<DataDirectory> Directory(unsigned index) const;
  // The file offset of `length` bytes at `rva`, when they lie wholly in one
  // section's raw data (or in the headers); nothing otherwise.
  std::optional<std::uint64_t> FileOffset(std::uint32_t rva, std::uint32_t length) const;
};

// Parses the headers of `bytes`. On failure returns nothing and says why in
// `why` ("no MZ header", "the section table runs past the end of the file").
std::optional<Image> ParseImage(Bytes bytes, std::string* why);

// One leaf of the resource tree: type, name and language, as the three levels
// of the directory give them. A name given by string has `id` unset.
struct ResourceKey {
  std::optional<std::uint16_t> id;
  std::u16string name;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  std::uint16_t language = 0;
  std::uint32_t dataRva = 0;
  std::uint32_t size = 0;
  std::uint64_t fileOffset = 0;  // where the data lies in the file
};

struct ResourceTree {
  std::vector<Resource> resources;
  // File offsets of every directory table of the tree, root first; each
  // table's TimeDateStamp is 4 bytes at its offset + 4.
  std::vector<std::uint64_t> directoryOffsets;
};

// Walks the resource directory (three levels: type, name, language). An image
// without one gives an empty tree; a tree that points outside the file, loops
// or nests deeper than three levels gives nothing and says why.
std::optional<ResourceTree> ReadResources(const Image& image, Bytes bytes, std::string* why);

// Whether `length` bytes at `offset` lie within `bytes`, without overflow.
bool Fits(Bytes bytes, std::uint64_t offset, std::uint64_t length);

// Little-endian integers at a file offset, or nothing past the end.
std::optional<std::uint16_t> ReadU16(Bytes bytes, std::uint64_t offset);
std::optional<std::uint32_t> ReadU32(Bytes bytes, std::uint64_t offset);

}  // namespace pe
