// One run of inspect-patch: the arguments, the files read, the report
// written. Errors are one line naming the file and what is wrong.
#pragma once

#include <string>
#include <vector>

#include "patch_report.h"

namespace inspectpatch {

// Reads a patch (.msp) or a hotfix.exe from its bytes. Throws
// makepatch::PatchError naming `name` when it is neither.
struct ReadPatch {
  PatchReport report;
  StorageTree storage;
};
ReadPatch ReadPatchBytes(const Bytes& bytes, const std::string& name);

// The command line without the program's name; returns the exit code.
// version: what --version prints after the tool's name.
int Run(const std::vector<std::string>& arguments, const std::string& version);

}  // namespace inspectpatch
