// A patch of only part of a product: the changes of some components
// (--component), or of all but some (--exclude-component). A component's
// changes are its Component row, every row of a table whose Component_
// column names it, the rows keyed by its files (MsiFileHash, Font, SelfReg,
// BindImage, Patch, and any table with a File_ column), and its files'
// bytes. The product's new version (Property ProductVersion) and the
// tables' validation rows always go in.
//
// The filter works on the pair before the plan: what it leaves out, the new
// package gets back as the old package has it, so the rules of patching
// judge exactly what the patch carries.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "msi/patch_plan.h"

namespace makepatch {

struct ComponentFilter {
  enum class Mode { kEverything, kOnly, kAllBut };
  Mode mode = Mode::kEverything;
  std::set<std::string> components;
};

// The component a row belongs to, if any, given each file's component.
std::optional<std::string> ComponentOfRow(const Table& table, const Row& row,
                                          const std::map<std::string, std::string>& componentOfFile);

// Applies the filter to the pair and returns one line per change left out
// (table and key, and its component). Throws PatchError for a component
// that is in neither package, and for a carried row that needs a row the
// filter leaves out or that the old package lacks (a new component's new
// directory or feature, a shortcut's new icon), naming both rows.
std::vector<std::string> ApplyComponentFilter(PackagePair& pair, const ComponentFilter& filter);

}  // namespace makepatch
