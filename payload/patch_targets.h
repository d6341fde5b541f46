// Reading the target product codes (the Template summary property) of a
// patch package file.
#pragma once

#include <string>

#include "platform/platform.h"

namespace hotfix {

// The summary information of the package, opened read-only; 0 when it cannot
// be opened (also for a path whose full form does not fit 260 units,
// terminator included, or an empty one). The caller closes the handle.
MsiHandle OpenPatchSummary(const Platform& platform, std::u16string packagePath);

// True: targets holds exactly the Template text (empty when the package has
// no such text). False: targets unchanged. A text of 2048 units or more is
// read in a second attempt sized to fit it; there is no third. A text said to
// need more than 1,048,576 units is refused as a failed read.
bool GetPatchTargets(const Platform& platform, std::u16string packagePath,
                     std::u16string& targets);

}  // namespace hotfix
