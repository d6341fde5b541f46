// What inspect-patch tells about a patch, as plain data: read from the
// patch's storage (DescribePatch), judged against old packages
// (JudgePackage), and written as text, JSON or HTML (report_writers.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hotfix_resources.h"
#include "msi/transform_decoding.h"
#include "storage_tree.h"

namespace inspectpatch {

struct CarriedFile {
  std::string key;  // the file's key in the File table, the name in the cabinet
  std::uint64_t size = 0;
  bool delta = false;  // a delta against the installed file, not the file whole
};

struct CabinetReport {
  std::string name;  // as Media.Cabinet names it, without "#"
  std::uint64_t size = 0;
  std::vector<CarriedFile> files;
  std::string problem;  // what could not be read of it
};

struct TransformReport {
  std::string name;  // its substorage, "T1" or "#T1"
  bool patchTransform = false;  // "#": the patch's own media and files
  std::string oldProductCode, oldVersion, newProductCode, newVersion, upgradeCode;
  std::string oldTemplate, newTemplate;  // "x64;1033": platform and language
  std::int32_t validation = 0;       // MSITRANSFORM_VALIDATE_* flags
  std::int32_t errorConditions = 0;  // MSITRANSFORM_ERROR_* it ignores
  makepatch::DecodedTransform content;
  std::string problem;  // when nothing of it could be read
};

// One product the patch targets and the pairs of transforms that bring it
// from an old version to the new one.
struct TargetReport {
  std::string productCode;
  std::vector<std::size_t> transforms;  // indices into PatchReport::transforms
};

struct SequenceReport {
  std::string family, productCode, sequence;
  std::int32_t attributes = 0;
};

// A change told as a person reads it.
struct ChangeLine {
  std::string kind;    // "file replaced", "registry value written", ...
  std::string text;    // the change itself
};

// The patch measured against one old package.
struct PackageVerdict {
  std::string path;
  std::string productCode, productName, productVersion, upgradeCode;
  bool applies = false;
  std::string transformPair;  // the pair that validates ("T1, #T1")
  std::vector<std::string> failures;  // why each pair does not apply
  std::string newVersion;
  std::vector<ChangeLine> changes;
  std::vector<std::string> findings;  // the patching rules broken, conflicts
};

struct PatchReport {
  std::string file;
  std::uint64_t fileSize = 0;
  std::string patchCode;
  std::vector<std::string> obsoletes;  // patch codes of the patches it replaces
  std::string title, subject, author, comments;
  std::optional<std::int64_t> created;  // seconds since 1970, UTC
  std::int32_t wordCount = 0;
  std::vector<std::pair<std::string, std::string>> metadata;  // MsiPatchMetadata, Property -> Value
  std::vector<SequenceReport> sequence;
  std::vector<std::string> removalBlockers;
  std::vector<std::string> mediaSources;  // Media.Source of its media
  std::vector<CabinetReport> cabinets;
  std::vector<TransformReport> transforms;
  std::vector<TargetReport> targets;
  std::vector<std::string> problems;  // what could not be read, said plainly
  std::optional<HotfixResources> hotfix;
  std::vector<PackageVerdict> packages;

  // A row of MsiPatchMetadata, or "".
  std::string Metadata(const std::string& property) const;
};

// Reads the patch's storage. Throws makepatch::PatchError, naming file,
// when it is not a patch at all; what is damaged inside is in problems.
PatchReport DescribePatch(const StorageTree& storage, const std::string& file, std::uint64_t fileSize,
                          const std::function<makepatch::CodepageDecoder(std::uint32_t)>& decoderFor);

// The validation flags and error conditions in words.
std::vector<std::string> ValidationWords(std::int32_t flags);
std::vector<std::string> ErrorConditionWords(std::int32_t conditions);

// Why a transform does not validate against a package as its flags ask
// (product code, upgrade code, language, platform, the version compared in
// as many fields as they say); "" when it does.
std::string ValidationFailure(const TransformReport& transform, const makepatch::Database& old,
                              const std::string& oldTemplate);

// The transforms decoded once more with the old package's own schema,
// applied to it, and what changes told in words. decode as for DescribePatch.
PackageVerdict JudgePackage(const PatchReport& patch, const StorageTree& storage, const makepatch::Database& old,
                            const std::string& oldTemplate, const std::string& path,
                            const std::function<makepatch::CodepageDecoder(std::uint32_t)>& decoderFor);

}  // namespace inspectpatch
