// Which changed files travel as deltas: the installer applies a delta to
// the installed copy (the PatchFiles action, through the platform's
// ApplyPatchToFileW), so a file of which little changed ships as little.
#pragma once

#include <vector>

#include "msi/patch_plan.h"
#include "io/content_store.h"

namespace makepatch {

// For every pair, makes the delta of each changed file against the old
// package's copy, and keeps it (in pair.deltas) when it is smaller than the
// file compressed whole; the others travel whole as before. The old copies
// are read again for this, only those of the changed files that the
// decoder can take. Throws PatchError when a package cannot be read.
void PlanDeltas(std::vector<PackagePair>& pairs, ContentStore& store);

}  // namespace makepatch
