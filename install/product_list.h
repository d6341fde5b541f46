// The installed target products of this run.
#pragma once

#include <string>
#include <vector>

namespace hotfix {

struct ProductEntry {
  std::u16string productCode;
  std::u16string patchedVersion;
  std::u16string productName;
  std::u16string language;
  std::u16string installCommandLine;
  std::u16string applicableVersions;
  std::u16string installedVersion;
  std::u16string localPackage;

  bool operator==(const ProductEntry&) const = default;
};

// Filled by DiscoverProducts, read by RunInstallation, emptied at the end of
// every run by the entry point.
extern std::vector<ProductEntry> ProductList;

}  // namespace hotfix
