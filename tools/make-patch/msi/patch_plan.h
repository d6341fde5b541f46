// What a patch holds, decided from pairs of product packages (the version a
// machine has, the version it should have): one transform per pair from the
// old database to the new one, one patch transform per pair that brings the
// patch's own media, the cabinets of changed files, and the patch's tables and
// summary information. Pure: the packages arrive already read, the result is
// written by the patch writer.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "msi/database.h"
#include "msi/package_streams.h"
#include "msi/table_diff.h"
#include "msi/transform_encoding.h"

namespace makepatch {

// A 128-bit digest of a file's bytes: what tells whether a file changed,
// without keeping the bytes of a product in memory.
using Digest = std::array<std::uint8_t, 16>;

// The bytes of a file that a patch carries: in memory when small, otherwise
// a file on disk (the image's own, or a copy in a spill folder) whose
// owner keeps it until the patch is written.
struct FileContent {
  Bytes bytes;
  std::string path;  // when not empty, the bytes are in this file
};

// Of a portable executable: the digest of its bytes with its build stamps
// zeroed and its signature left out, and of each kind of stamp by name, in
// one order for every file (tools/pe/build_stamps.h says which they are).
struct BuildStampDigests {
  Digest unstamped{};
  std::vector<std::pair<std::string, Digest>> stamps;
};

// One file of a package's File table.
struct PackageFile {
  std::uint64_t size = 0;
  Digest digest{};
  // Only for the files the reader was asked to keep.
  std::shared_ptr<const FileContent> content;
  // Only for a file that parses as a portable executable.
  std::optional<BuildStampDigests> buildStamps = {};

  bool SameBytes(const PackageFile& other) const { return size == other.size && digest == other.digest; }
};

// What the plan needs of one package.
struct Package {
  std::string path;  // for messages
  Database database;
  std::string summaryTemplate;  // "x64;1033": platform and languages
  std::int32_t pageCount = 0;   // minimum installer version, e.g. 200
  // Every file of the File table, by File key.
  std::map<std::string, PackageFile> files;
  LooseStreams loose;
};

// A changed file that travels as a delta against the old package's copy
// (a "PA19" patch that the installer's PatchFiles action applies to the
// installed file) instead of whole.
struct CarriedDelta {
  std::shared_ptr<const FileContent> content;  // the patch, as the cabinet carries it
  std::uint64_t size = 0;
  Digest digest{};
  Bytes header;  // the patch's header alone, for the Patch row
};

struct PackagePair {
  Package older;
  Package newer;
  // By File key: the changed files of this pair that travel as deltas.
  std::map<std::string, CarriedDelta> deltas = {};
};

// Whether the patch may be uninstalled: by default when nothing it adds
// rules that out; asked for explicitly, a patch that cannot be removable is
// refused.
enum class Removal { kWhenPossible, kRequired, kNever };

struct PatchOptions {
  std::string patchCode;  // "{GUID}", upper-case hexadecimal
  std::string title;      // shown as the patch's name; default from the product
  std::string description;
  std::string manufacturer;  // default: the new package's Manufacturer
  std::string classification = "Hotfix";
  std::string family;  // patch family; default from the patch code
  std::string moreInfoUrl;
  Removal removal = Removal::kWhenPossible;
  // Supersedes every earlier patch of its family; the patch then targets
  // the product as first installed (MinorUpdateTargetRTM).
  bool supersede = false;
  std::int64_t creationTime = 0;  // seconds since 1970, UTC
};

// Summary information properties by id; absent ones are not written.
struct SummaryInfo {
  std::uint32_t codepage = 0;
  std::map<std::uint32_t, std::string> texts;
  std::map<std::uint32_t, std::int32_t> integers;
  std::map<std::uint32_t, std::int64_t> times;  // seconds since 1970, UTC
};

inline constexpr std::uint32_t kPidCodepage = 1;
inline constexpr std::uint32_t kPidTitle = 2;
inline constexpr std::uint32_t kPidSubject = 3;
inline constexpr std::uint32_t kPidAuthor = 4;
inline constexpr std::uint32_t kPidComments = 6;
inline constexpr std::uint32_t kPidTemplate = 7;
inline constexpr std::uint32_t kPidLastSavedBy = 8;
inline constexpr std::uint32_t kPidRevisionNumber = 9;
inline constexpr std::uint32_t kPidCreateTime = 12;
inline constexpr std::uint32_t kPidLastSaveTime = 13;
inline constexpr std::uint32_t kPidPageCount = 14;
inline constexpr std::uint32_t kPidWordCount = 15;
inline constexpr std::uint32_t kPidCharacterCount = 16;
inline constexpr std::uint32_t kPidCreatingApplication = 18;
inline constexpr std::uint32_t kPidSecurity = 19;

// Character Count of a transform: validation flags in the high word (the
// product code, the installed version equal to the old one in major, minor
// and update, the upgrade code), error conditions to ignore in the low word
// (adding an existing row or table, deleting a missing row or table,
// updating a missing row).
inline constexpr std::int32_t kTransformValidation = 0x0922;
inline constexpr std::int32_t kTransformErrorConditions = 0x001F;
inline constexpr std::int32_t kTransformCharacterCount =
    (kTransformValidation << 16) | kTransformErrorConditions;

inline constexpr std::uint16_t kFileAttributePatchAdded = 0x1000;
// MsiPatchSequence.Attributes: the patch supersedes the earlier patches of
// its family.
inline constexpr std::int32_t kSequenceSupersedeEarlier = 0x1;

struct PlannedTransform {
  std::string name;  // substorage name, e.g. "T1" or "#T1"
  std::uint32_t codepage = 0;
  std::vector<TableChange> changes;
  SummaryInfo summary;
};

struct PlannedCabinet {
  std::string streamName;  // a stream of the patch, named in Media.Cabinet after "#"
  // Files in the order of their sequence numbers, named by File key.
  std::vector<std::pair<std::string, std::shared_ptr<const FileContent>>> files;
};

struct PatchPlan {
  std::uint32_t codepage = 0;  // of the patch's own tables and summary
  SummaryInfo summary;
  std::vector<PlannedTransform> transforms;  // in the order they are applied
  std::vector<PlannedCabinet> cabinets;
  // MsiPatchMetadata rows of the standard properties (Company null).
  std::vector<std::pair<std::string, std::string>> metadata;
  // One row per family and product, the table's key.
  struct SequenceRow {
    std::string family;
    std::string productCode;
    std::string sequence;
    std::int32_t attributes = 0;
  };
  std::vector<SequenceRow> sequence;
  // What the release engineer should know, though the patch can be made.
  std::vector<std::string> warnings;
  // By pair: the File keys the patch carries, whole or as deltas.
  std::vector<std::vector<std::string>> carriedFiles;
};

// The patch's media identity, derived from its patch code as Microsoft's
// patch tools do, since no two patches may share a media source property:
// "_" and the code's 32 hexadecimal digits; cabinets add "_<n>.cab".
std::string MediaSourceProperty(const std::string& patchCode);
std::string CabinetStreamName(const std::string& patchCode, std::size_t number);

// A version of up to four numbers of 0 to 65535; nothing when text is not one.
std::optional<std::vector<std::uint32_t>> ParseProductVersion(const std::string& text);

// The rows changes add to a table of Microsoft's "Uninstallable Patches",
// each as a sentence that starts with label and names the table and the row.
std::vector<std::string> RowsThatBlockRemoval(const std::vector<TableChange>& changes, const std::string& label);

// Checks the pairs and decides the patch. encoderFor gives the code page
// encoder of a code page. Throws PatchError with a message naming the
// packages when the pairs cannot make a patch (for a pair that breaks
// Windows Installer's patching rules: one line per broken rule).
PatchPlan PlanPatch(const std::vector<PackagePair>& pairs, const PatchOptions& options,
                    const std::function<CodepageEncoder(std::uint32_t)>& encoderFor);

}  // namespace makepatch
