#include "pe/pe_image.h"

#include <algorithm>

namespace pe {
namespace {

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kCoffHeaderSize = 20;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxDirectories = 16;
// Windows loads no image with more; it also bounds the work on hostile bytes.
constexpr std::uint32_t kMaxSections = 96;
constexpr std::uint32_t kResourceTableSize = 16;
constexpr std::uint32_t kResourceEntrySize = 8;
constexpr std::uint32_t kHighBit = 0x80000000u;
// Entries of one tree may share subdirectories, so a small file can describe
// an enormous tree; real programs have a few hundred leaves.
constexpr std::size_t kMaxResourceEntries = 100000;

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

struct ResourceWalk {
  const Image& image;
  Bytes bytes;
  std::uint32_t rootRva;
  ResourceTree tree;
  std::size_t entriesSeen = 0;
  std::string* why;

  std::optional<std::uint64_t> At(std::uint32_t relative, std::uint32_t length) const {
    if (relative > UINT32_MAX - rootRva) return std::nullopt;
    auto offset = image.FileOffset(rootRva + relative, length);
    if (!offset || !Fits(bytes, *offset, length)) return std::nullopt;
    return offset;
  }

  bool ReadKey(std::uint32_t field, ResourceKey& key) const {
    if (!(field & kHighBit)) {
      key.id = static_cast<std::uint16_t>(field);
      return true;
    }
    auto lengthAt = At(field & ~kHighBit, 2);
    if (!lengthAt) return Fail(why, "a resource name lies outside the file");
    std::uint16_t length = *ReadU16(bytes, *lengthAt);
    auto textAt = At((field & ~kHighBit) + 2, 2u * length);
    if (!textAt) return Fail(why, "a resource name runs past the end of the file");
    for (std::uint16_t i = 0; i < length; ++i) key.name.push_back(static_cast<char16_t>(*ReadU16(bytes, *textAt + 2u * i)));
    return true;
  }

  // level 0: types, 1: names, 2: languages, whose entries point at data.
  bool Walk(std::uint32_t relative, int level, Resource path) {
    auto table = At(relative, kResourceTableSize);
    if (!table) return Fail(why, "a resource directory lies outside the file");
    tree.directoryOffsets.push_back(*table);
    std::uint32_t count = std::uint32_t{*ReadU16(bytes, *table + 12)} + *ReadU16(bytes, *table + 14);
    auto entries = At(relative + kResourceTableSize, count * kResourceEntrySize);
    if (!entries) return Fail(why, "a resource directory's entries run past the end of the file");
    for (std::uint32_t i = 0; i < count; ++i) {
      if (++entriesSeen > kMaxResourceEntries) return Fail(why, "the resource tree has too many entries");
      std::uint64_t entry = *entries + std::uint64_t{i} * kResourceEntrySize;
      std::uint32_t nameField = *ReadU32(bytes, entry);
      std::uint32_t target = *ReadU32(bytes, entry + 4);
      bool isDirectory = (target & kHighBit) != 0;
      if (isDirectory != (level < 2)) return Fail(why, "the resource tree is not three levels deep");
      Resource leaf = path;
      if (level == 2) {
        if (nameField & kHighBit) return Fail(why, "a resource language is given by name");
        leaf.language = static_cast<std::uint16_t>(nameField);
        auto dataEntry = At(target, 16);
        if (!dataEntry) return Fail(why, "a resource data entry lies outside the file");
        leaf.dataRva = *ReadU32(bytes, *dataEntry);
        leaf.size = *ReadU32(bytes, *dataEntry + 4);
        auto data = image.FileOffset(leaf.dataRva, leaf.size);
        if (!data || !Fits(bytes, *data, leaf.size)) return Fail(why, "a resource's data lies outside the file");
        leaf.fileOffset = *data;
        tree.resources.push_back(std::move(leaf));
        continue;
      }
      if (!ReadKey(nameField, level == 0 ? leaf.type : leaf.name)) return false;
      if (!Walk(target & ~kHighBit, level + 1, std::move(leaf))) return false;
    }
    return true;
  }
};

}  // namespace

bool Fits(Bytes bytes, std::uint64_t offset, std::uint64_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

std::optional<std::uint16_t> ReadU16(Bytes bytes, std::uint64_t offset) {
  if (!Fits(bytes, offset, 2)) return std::nullopt;
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::optional<std::uint32_t> ReadU32(Bytes bytes, std::uint64_t offset) {
  if (!Fits(bytes, offset, 4)) return std::nullopt;
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::optional<DataDirectory> Image::Directory(unsigned index) const {
  if (index >= directories.size() || directories[index].size == 0) return std::nullopt;
  return directories[index];
}

std::optional<std::uint64_t> Image::FileOffset(std::uint32_t rva, std::uint32_t length) const {
  std::uint64_t end = std::uint64_t{rva} + length;
  if (end <= sizeOfHeaders) return rva;
  for (const Section& section : sections) {
    if (rva < section.virtualAddress) continue;
    std::uint64_t into = rva - section.virtualAddress;
    std::uint64_t extent = section.virtualSize ? std::min(section.virtualSize, section.rawSize) : section.rawSize;
    if (into + length <= extent) return section.rawOffset + into;
  }
  return std::nullopt;
}

std::optional<Image> ParseImage(Bytes bytes, std::string* why) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return Fail(why, "no MZ header"), std::nullopt;
  std::uint32_t peOffset = *ReadU32(bytes, 0x3C);
  if (!Fits(bytes, peOffset, 4 + kCoffHeaderSize) || bytes[peOffset] != 'P' || bytes[peOffset + 1] != 'E' ||
      bytes[peOffset + 2] != 0 || bytes[peOffset + 3] != 0)
    return Fail(why, "no PE signature where the MZ header points"), std::nullopt;

  Image image;
  image.coffOffset = peOffset + 4u;
  image.machine = *ReadU16(bytes, image.coffOffset);
  std::uint16_t sectionCount = *ReadU16(bytes, image.coffOffset + 2);
  image.timeDateStampOffset = image.coffOffset + 4;
  std::uint16_t optionalSize = *ReadU16(bytes, image.coffOffset + 16);
  image.characteristics = *ReadU16(bytes, image.coffOffset + 18);
  image.optionalHeaderOffset = image.coffOffset + kCoffHeaderSize;
  if (!Fits(bytes, image.optionalHeaderOffset, optionalSize) || optionalSize < 2)
    return Fail(why, "the optional header runs past the end of the file"), std::nullopt;

  std::uint16_t magic = *ReadU16(bytes, image.optionalHeaderOffset);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return Fail(why, "an optional header of unknown kind"), std::nullopt;
  image.pe32Plus = magic == kPe32PlusMagic;
  std::uint32_t countField = image.pe32Plus ? 108 : 92;
  if (optionalSize < countField + 4) return Fail(why, "the optional header is too short"), std::nullopt;
  const std::uint64_t opt = image.optionalHeaderOffset;
  image.sectionAlignment = *ReadU32(bytes, opt + 32);
  image.fileAlignment = *ReadU32(bytes, opt + 36);
  image.sizeOfHeaders = *ReadU32(bytes, opt + 60);
  image.checkSumOffset = opt + 64;
  image.subsystem = *ReadU16(bytes, opt + 68);
  std::uint32_t directoryCount = std::min(*ReadU32(bytes, opt + countField), kMaxDirectories);
  if (countField + 4 + directoryCount * 8 > optionalSize)
    return Fail(why, "the data directories run past the optional header"), std::nullopt;
  for (std::uint32_t i = 0; i < directoryCount; ++i) {
    std::uint64_t entry = opt + countField + 4 + 8u * i;
    image.directories.push_back({*ReadU32(bytes, entry), *ReadU32(bytes, entry + 4), entry});
  }

  if (sectionCount > kMaxSections) return Fail(why, "more sections than Windows loads"), std::nullopt;
  std::uint64_t table = opt + optionalSize;
  if (!Fits(bytes, table, std::uint64_t{sectionCount} * kSectionHeaderSize))
    return Fail(why, "the section table runs past the end of the file"), std::nullopt;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    std::uint64_t header = table + std::uint64_t{i} * kSectionHeaderSize;
    Section section;
    for (int c = 0; c < 8 && bytes[header + c]; ++c) section.name.push_back(static_cast<char>(bytes[header + c]));
    section.virtualSize = *ReadU32(bytes, header + 8);
    section.virtualAddress = *ReadU32(bytes, header + 12);
    section.rawSize = *ReadU32(bytes, header + 16);
    section.rawOffset = *ReadU32(bytes, header + 20);
    image.sections.push_back(std::move(section));
  }
  return image;
}

std::optional<ResourceTree> ReadResources(const Image& image, Bytes bytes, std::string* why) {
  auto directory = image.Directory(kResourceDirectory);
  if (!directory) return ResourceTree{};
  ResourceWalk walk{image, bytes, directory->address, {}, 0, why};
  if (!walk.Walk(0, 0, Resource{})) return std::nullopt;
  return std::move(walk.tree);
}

}  // namespace pe
