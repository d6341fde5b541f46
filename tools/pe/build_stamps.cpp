#include "pe/build_stamps.h"

#include <algorithm>
#include <cstring>

namespace pe {
namespace {

constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugTypeCodeView = 2;
constexpr std::uint32_t kCodeViewRecordSize = 24;  // "RSDS", GUID, age; the PDB path follows
constexpr std::uint32_t kExportDirectorySize = 40;
constexpr std::uint32_t kDirectoryEntrySize = 8;
// A linker writes a handful of debug entries; this bounds the work on hostile bytes.
constexpr std::uint32_t kMaxDebugEntries = 64;

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

struct Locator {
  const Image& image;
  Bytes bytes;
  StampLayout layout;
  std::string* why;

  bool Add(Stamp stamp, std::uint64_t offset, std::uint64_t length) {
    if (!Fits(bytes, offset, length)) return Fail(why, "a build stamp lies outside the file");
    layout.ranges.push_back({stamp, offset, length});
    return true;
  }

  bool Debug() {
    auto directory = image.Directory(kDebugDirectory);
    if (!directory) return true;
    if (directory->size % kDebugEntrySize != 0 || directory->size / kDebugEntrySize > kMaxDebugEntries)
      return Fail(why, "the debug directory is not a whole number of entries");
    auto table = image.FileOffset(directory->address, directory->size);
    if (!table || !Fits(bytes, *table, directory->size)) return Fail(why, "the debug directory lies outside the file");
    for (std::uint32_t at = 0; at < directory->size; at += kDebugEntrySize) {
      const std::uint64_t entry = *table + at;
      if (!Add(Stamp::kDebugTime, entry + 4, 4)) return false;
      const std::uint32_t type = *ReadU32(bytes, entry + 12);
      const std::uint32_t size = *ReadU32(bytes, entry + 16);
      const std::uint32_t raw = *ReadU32(bytes, entry + 24);
      if (type != kDebugTypeCodeView || size < kCodeViewRecordSize) continue;
      if (!Fits(bytes, raw, size)) return Fail(why, "a CodeView record lies outside the file");
      if (std::memcmp(bytes.data() + raw, "RSDS", 4) != 0) continue;  // an older kind, without GUID and age
      if (!Add(Stamp::kDebugSignature, raw + 4, 20)) return false;
    }
    return true;
  }

  bool Export() {
    auto directory = image.Directory(kExportDirectory);
    if (!directory) return true;
    auto table = image.FileOffset(directory->address, kExportDirectorySize);
    if (!table) return Fail(why, "the export directory lies outside the file");
    return Add(Stamp::kExportTime, *table + 4, 4);
  }

  bool Resources() {
    auto tree = ReadResources(image, bytes, why);
    if (!tree) return false;
    for (std::uint64_t table : tree->directoryOffsets) {
      if (!Add(Stamp::kResourceTime, table + 4, 4)) return false;
    }
    return true;
  }

  // Authenticode puts the certificate table at the end of the file, after
  // everything the loader maps; one elsewhere is left to the byte comparison.
  void Certificate() {
    layout.unsignedLength = bytes.size();
    if (image.directories.size() <= kCertificateDirectory) return;
    const DataDirectory& entry = image.directories[kCertificateDirectory];
    std::uint64_t sectionsEnd = image.sizeOfHeaders;
    for (const Section& section : image.sections) {
      sectionsEnd = std::max<std::uint64_t>(sectionsEnd, std::uint64_t{section.rawOffset} + section.rawSize);
    }
    const bool signedAtEnd =
        entry.size != 0 && entry.address >= sectionsEnd && std::uint64_t{entry.address} + entry.size == bytes.size();
    if (entry.size != 0 && !signedAtEnd) return;
    layout.ranges.push_back({Stamp::kSignature, entry.entryOffset, kDirectoryEntrySize});
    if (signedAtEnd) {
      layout.unsignedLength = entry.address;
      layout.ranges.push_back({Stamp::kSignature, entry.address, entry.size});
    }
  }

  bool Finish() {
    std::sort(layout.ranges.begin(), layout.ranges.end(), [](const StampRange& a, const StampRange& b) {
      return a.offset != b.offset ? a.offset < b.offset : a.length < b.length;
    });
    // A subdirectory shared by two entries of the resource tree is one table.
    layout.ranges.erase(std::unique(layout.ranges.begin(), layout.ranges.end(),
                                    [](const StampRange& a, const StampRange& b) {
                                      return a.offset == b.offset && a.length == b.length && a.stamp == b.stamp;
                                    }),
                        layout.ranges.end());
    for (std::size_t i = 1; i < layout.ranges.size(); ++i) {
      if (layout.ranges[i - 1].offset + layout.ranges[i - 1].length > layout.ranges[i].offset)
        return Fail(why, "two build stamps overlap");
    }
    return true;
  }
};

bool IsCertificateTable(const StampLayout& layout, const StampRange& range) {
  return range.stamp == Stamp::kSignature && range.offset == layout.unsignedLength && range.length > 0;
}

}  // namespace

const char* StampName(Stamp stamp) {
  switch (stamp) {
    case Stamp::kLinkTime: return "link time";
    case Stamp::kChecksum: return "checksum";
    case Stamp::kDebugTime: return "debug time";
    case Stamp::kDebugSignature: return "debug signature";
    case Stamp::kExportTime: return "export time";
    case Stamp::kResourceTime: return "resource time";
    case Stamp::kSignature: return "signature";
  }
  return "stamp";
}

std::string StampNames(const std::vector<Stamp>& stamps) {
  std::vector<Stamp> sorted = stamps;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::string text;
  for (Stamp stamp : sorted) text += (text.empty() ? "" : ", ") + std::string(StampName(stamp));
  return text;
}

std::optional<StampLayout> LocateStamps(Bytes bytes, std::string* why) {
  auto image = ParseImage(bytes, why);
  if (!image) return std::nullopt;
  Locator locator{*image, bytes, {}, why};
  if (!locator.Add(Stamp::kLinkTime, image->timeDateStampOffset, 4) ||
      !locator.Add(Stamp::kChecksum, image->checkSumOffset, 4) || !locator.Debug() || !locator.Export() ||
      !locator.Resources())
    return std::nullopt;
  locator.Certificate();
  if (!locator.Finish()) return std::nullopt;
  return std::move(locator.layout);
}

void ForEachUnstampedPiece(Bytes bytes, const StampLayout& layout, const std::function<void(Bytes)>& piece) {
  static const std::uint8_t kZeros[64] = {};
  std::uint64_t at = 0;
  for (const StampRange& range : layout.ranges) {
    if (IsCertificateTable(layout, range)) break;
    if (range.offset > at) piece(bytes.subspan(at, range.offset - at));
    for (std::uint64_t left = range.length; left > 0;) {
      const std::uint64_t part = std::min<std::uint64_t>(left, sizeof kZeros);
      piece(Bytes(kZeros, part));
      left -= part;
    }
    at = range.offset + range.length;
  }
  if (layout.unsignedLength > at) piece(bytes.subspan(at, layout.unsignedLength - at));
}

void ForEachStampPiece(Bytes bytes, const StampLayout& layout, const std::function<void(Stamp, Bytes)>& piece) {
  for (const StampRange& range : layout.ranges) piece(range.stamp, bytes.subspan(range.offset, range.length));
}

StampComparison CompareBuildStamps(Bytes older, Bytes newer) {
  StampComparison comparison;
  std::string why;
  const auto oldLayout = LocateStamps(older, &why);
  const auto newLayout = oldLayout ? LocateStamps(newer, &why) : std::nullopt;
  if (!oldLayout || !newLayout) {
    comparison.result = StampComparison::Result::kNotPortableExecutable;
    comparison.why = (oldLayout ? "the new file: " : "the old file: ") + why;
    return comparison;
  }
  // Stamps at other places mean headers that differ; then so do the files.
  const auto sameRanges = [&](std::size_t i) {
    const StampRange& a = oldLayout->ranges[i];
    const StampRange& b = newLayout->ranges[i];
    return a.stamp == b.stamp && a.offset == b.offset &&
           (a.length == b.length || (IsCertificateTable(*oldLayout, a) && IsCertificateTable(*newLayout, b)));
  };
  bool same = oldLayout->unsignedLength == newLayout->unsignedLength;
  // One file signed and the other not: the one certificate table has no partner.
  std::size_t oldCount = oldLayout->ranges.size(), newCount = newLayout->ranges.size();
  const bool oldSigned = oldCount && IsCertificateTable(*oldLayout, oldLayout->ranges.back());
  const bool newSigned = newCount && IsCertificateTable(*newLayout, newLayout->ranges.back());
  if (oldSigned && !newSigned) --oldCount;
  if (newSigned && !oldSigned) --newCount;
  same = same && oldCount == newCount;
  for (std::size_t i = 0; same && i < oldCount; ++i) same = sameRanges(i);
  std::uint64_t at = 0;
  for (std::size_t i = 0; same && i <= oldCount; ++i) {
    const bool last = i == oldCount || IsCertificateTable(*oldLayout, oldLayout->ranges[i]);
    const std::uint64_t end = last ? oldLayout->unsignedLength : oldLayout->ranges[i].offset;
    same = std::equal(older.begin() + at, older.begin() + end, newer.begin() + at);
    if (last) break;
    at = end + oldLayout->ranges[i].length;
  }
  if (!same) return comparison;

  comparison.result = StampComparison::Result::kEqualButStamps;
  for (std::size_t i = 0; i < oldCount; ++i) {
    const StampRange& a = oldLayout->ranges[i];
    const StampRange& b = newLayout->ranges[i];
    if (!std::equal(older.begin() + a.offset, older.begin() + a.offset + a.length, newer.begin() + b.offset,
                    newer.begin() + b.offset + b.length))
      comparison.differed.push_back(a.stamp);
  }
  if (oldSigned != newSigned) comparison.differed.push_back(Stamp::kSignature);
  std::sort(comparison.differed.begin(), comparison.differed.end());
  comparison.differed.erase(std::unique(comparison.differed.begin(), comparison.differed.end()),
                            comparison.differed.end());
  return comparison;
}

}  // namespace pe
