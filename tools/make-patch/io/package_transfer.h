// A package as the reader process hands it over: its tables, summary, files
// (sizes, digests, kept contents) and loose streams, in bytes and back.
#pragma once

#include <cstdint>
#include <vector>

#include "msi/patch_plan.h"

namespace makepatch {

std::vector<std::uint8_t> EncodePackage(const Package& package);
// Throws PatchError when the bytes are cut short or not an encoded package.
Package DecodePackage(const std::vector<std::uint8_t>& bytes);

}  // namespace makepatch
