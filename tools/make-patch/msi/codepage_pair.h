// Packages of one product built by different authoring tools often label
// the same texts with different code pages: the neutral 0 of one tool, 1252
// or 65001 of another. Such a pair can be patched when every text of both
// packages means the same in either code page; the patch and its transforms
// then keep the old package's code page, so the installed database keeps it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "msi/patch_plan.h"

namespace makepatch {

// Throws PatchError when the pair's code pages differ and a text of either
// package does not fit both; the message names the two code pages and the
// first such text by package, table, row and column.
void RequireCompatibleCodepages(const PackagePair& pair, const std::string& label,
                                const std::function<CodepageEncoder(std::uint32_t)>& encoderFor);

}  // namespace makepatch
