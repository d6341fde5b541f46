// Files of a new build that were only linked again: their bytes differ from
// the old copy's in build stamps alone (link time, checksum, debug
// signature, signature...), so the installed copy is as good as the new one
// and a patch need not carry it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "msi/patch_plan.h"

namespace makepatch {

// The stamps that differ ("link time, checksum, debug signature") when
// newer is older linked again; nothing when the bytes differ elsewhere, or
// when either is not a portable executable the parser reads. Bytes that are
// the same give nothing too: there is nothing to leave out.
std::optional<std::string> OnlyBuildStampsDiffer(const PackageFile& older, const PackageFile& newer);

// Leaves every relinked file of the pair out of the patch: the new package
// keeps the old copy's digest, and the rows that describe its bytes (File
// FileSize, Version, Language; MsiFileHash) as the old package has them,
// since the installed copy stays the old one. One line per file left out,
// saying why.
std::vector<std::string> LeaveOutRelinkedFiles(PackagePair& pair);

}  // namespace makepatch
