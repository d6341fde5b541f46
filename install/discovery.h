// Finding the installed products among the patch's target codes.
#pragma once

#include <string>

#include "platform/installer.h"

namespace hotfix {

// True for the install states advertised (1) and default (5) only.
bool IsProductInstalled(Installer& installer, const std::u16string& productCode);

// The property's text as the service wrote it, at most 1023 units.
std::u16string QueryProductProperty(Installer& installer, const std::u16string& productCode,
                                    const std::u16string& property);

// Appends one ProductEntry per installed code of targets (";"-separated) to
// ProductList, in the order of the text. Reports nothing.
void DiscoverProducts(Installer& installer, const std::u16string& targets,
                      const std::u16string& patchedVersion,
                      const std::u16string& applicableVersions);

}  // namespace hotfix
