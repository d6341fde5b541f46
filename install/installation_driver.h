// The default mode: apply the embedded patch to every applicable installed
// target product and report each outcome in that product's language.
#pragma once

#include "platform/platform.h"

namespace hotfix {

// True when the product loop ran to its end; false on every early exit.
bool RunInstallation(const Platform& platform);

}  // namespace hotfix
