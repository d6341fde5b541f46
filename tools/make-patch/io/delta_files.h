// Which changed files travel as deltas: the installer applies a delta to
// the installed copy (the PatchFiles action, through the platform's
// ApplyPatchToFileW), so a file of which little changed ships as little.
// Deltas pay file by file, and the patch as a whole is never larger for
// them: their Patch rows and sequence rows cost bytes too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "msi/patch_plan.h"
#include "io/content_store.h"

namespace makepatch {

// How one changed or new file of a pair travels, and why.
struct DeltaDecision {
  enum class Reason {
    kNew,          // no old copy to make a delta against
    kEmptyOld,     // the old copy is empty: the platform cannot map it
    kOverWindow,   // the old copy is beyond the 32 MiB a delta reaches
    kUnencodable,  // the pair is beyond what the delta format holds
    kNoGain,       // the delta is no smaller than the file compressed
    kDelta,        // travels as a delta
    kPatchLarger,  // a delta paid, but the patch with deltas did not
  };
  std::size_t pair = 0;  // index into the pairs
  std::string key;       // File key
  std::uint64_t size = 0;
  Reason reason = Reason::kNew;
  std::uint64_t deltaSize = 0;    // when a delta was made
  std::uint64_t wholeSize = 0;    // the file compressed, when weighed
  std::uint64_t withDeltas = 0;   // kPatchLarger: the two patches' sizes
  std::uint64_t withoutDeltas = 0;
};

// For every pair, makes the delta of each changed file against the old
// package's copy, and keeps it (in pair.deltas) when it is smaller than the
// file compressed whole; the others travel whole as before. The old copies
// are read again for this, only those of the changed files that the
// decoder can take. Returns a decision for every file whose bytes a pair
// keeps. Throws PatchError when a package cannot be read.
std::vector<DeltaDecision> PlanDeltas(std::vector<PackagePair>& pairs, ContentStore& store);

// Writes withDeltas (the plan of pairs with their deltas) to output, unless
// the same patch with every file whole is no larger: then that one, and the
// pairs' deltas are dropped. Prints one line per file the patch carries on
// standard error: how it travels and why. Throws PatchError.
void WriteSmallerPatch(const PatchPlan& withDeltas, std::vector<PackagePair>& pairs,
                       std::vector<DeltaDecision> decisions, const PatchOptions& options,
                       const std::string& output, ContentStore& store);

// "big.bin (50 MiB): whole, over the 32 MiB a delta reaches"; pairs: how
// many there are (the pair is named when there are several).
std::string DescribeDecision(const DeltaDecision& decision, std::size_t pairs);

}  // namespace makepatch
