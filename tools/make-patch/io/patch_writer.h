// Writing a planned patch: the patch's own database through msitools'
// library (patch class, tables, summary information, cabinet streams), the
// cabinets through libgcab, and the whole compound file, transforms as
// substorages of the transform class, through libgsf.
#pragma once

#include <string>

#include "msi/patch_plan.h"

namespace makepatch {

// Writes to a temporary name beside output and renames it at the end, so a
// failure leaves no half-written patch behind. Throws PatchError.
void WritePatch(const PatchPlan& plan, const std::string& output);

}  // namespace makepatch
