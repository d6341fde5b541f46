// The build stamps of a portable executable: what a linker (and a signing
// tool) writes anew every time it makes a file from the same code. Two files
// that differ only there are the same program linked twice, and a patch need
// not carry the new one.
//
// Every stamp is located by parsing the headers, never at a guessed offset.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pe/pe_image.h"

namespace pe {

enum class Stamp : std::uint8_t {
  kLinkTime,        // the COFF header's TimeDateStamp
  kChecksum,        // the optional header's CheckSum
  kDebugTime,       // each debug directory entry's TimeDateStamp
  kDebugSignature,  // a CodeView (RSDS) record's GUID and age
  kExportTime,      // the export directory's TimeDateStamp
  kResourceTime,    // each resource directory table's TimeDateStamp
  kSignature,       // the certificate table and its data directory entry
};

// "link time", "checksum", "debug time", "debug signature", "export time",
// "resource time", "signature".
const char* StampName(Stamp stamp);
// The names joined by ", ", in the order of the enumeration.
std::string StampNames(const std::vector<Stamp>& stamps);

struct StampRange {
  Stamp stamp;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct StampLayout {
  // Sorted by offset and apart from one another; the certificate table, when
  // there is one, is the last and reaches the end of the file.
  std::vector<StampRange> ranges;
  // Where the file ends once the certificate table is set aside.
  std::uint64_t unsignedLength = 0;
};

// The stamps of a file the parser reads, or nothing (and why).
std::optional<StampLayout> LocateStamps(Bytes bytes, std::string* why);

// The file's bytes with every stamp zeroed and the certificate table left
// out, in order and in pieces: what two links of the same code share. Lets a
// caller digest it without a copy of the file.
void ForEachUnstampedPiece(Bytes bytes, const StampLayout& layout, const std::function<void(Bytes)>& piece);

// The stamps' own bytes, one piece per range, for telling which stamps differ.
void ForEachStampPiece(Bytes bytes, const StampLayout& layout, const std::function<void(Stamp, Bytes)>& piece);

struct StampComparison {
  enum class Result { kEqualButStamps, kDiffers, kNotPortableExecutable };
  Result result = Result::kDiffers;
  std::vector<Stamp> differed;  // with kEqualButStamps: the stamps whose bytes differ, each once
  std::string why;              // with kNotPortableExecutable: what the parser could not read
};

// Whether newer is older linked again: equal but for stamps (then which
// differed), different anywhere else, or not a file the parser reads. Two
// identical files are equal but for no stamps.
StampComparison CompareBuildStamps(Bytes older, Bytes newer);

}  // namespace pe
