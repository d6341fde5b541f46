// The fixed edits made to a product's cached installer database before the
// patch is applied.
#pragma once

#include <string>

#include "platform/installer.h"

namespace hotfix {

// Rewrites the conditions of eight InstallExecuteSequence actions and moves
// two Registry rows to another component, committing each set on its own.
// Reports nothing; every handle it opens is closed when it returns.
void AdjustCachedPackage(Installer& installer, const std::u16string& localPackage);

}  // namespace hotfix
