#include "install/discovery.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "install/product_list.h"

namespace hotfix {
namespace {

// Product properties are read through this many units, terminator included.
constexpr std::uint32_t kPropertyBufferLength = 1024;

constexpr char16_t kTargetSeparator = u';';

}  // namespace

bool IsProductInstalled(Installer& installer, const std::u16string& productCode) {
  const int state = installer.MsiQueryProductStateW(productCode.c_str());
  return state == kInstallStateAdvertised || state == kInstallStateDefault;
}

std::u16string QueryProductProperty(Installer& installer, const std::u16string& productCode,
                                    const std::u16string& property) {
  std::array<char16_t, kPropertyBufferLength> buffer{};
  std::uint32_t length = kPropertyBufferLength;
  // The result is not examined: a property that cannot be read leaves the
  // zeroed buffer, that is an empty text.
  installer.MsiGetProductInfoW(productCode.c_str(), property.c_str(), buffer.data(), &length);

  // Never read beyond what the service says it wrote, nor past the last unit
  // that can hold text; a longer property (more data) arrives cut.
  const std::size_t limit =
      std::min<std::size_t>(length, kPropertyBufferLength - 1);
  const auto end = std::find(buffer.begin(), buffer.begin() + limit, u'\0');
  return std::u16string(buffer.begin(), end);
}

void DiscoverProducts(Installer& installer, const std::u16string& targets,
                      const std::u16string& patchedVersion,
                      const std::u16string& applicableVersions) {
  // The appended separator ends the last element of a text without a trailing
  // one; an empty element (leading or doubled separator) ends the walk.
  std::u16string remaining = targets + kTargetSeparator;
  for (;;) {
    const std::size_t separator = remaining.find(kTargetSeparator);
    if (separator == std::u16string::npos || separator == 0) return;
    const std::u16string code = remaining.substr(0, separator);

    if (IsProductInstalled(installer, code)) {
      ProductEntry entry;
      entry.productCode = code;
      entry.patchedVersion = patchedVersion;
      entry.applicableVersions = applicableVersions;
      entry.installedVersion = QueryProductProperty(installer, code, u"VersionString");
      entry.localPackage = QueryProductProperty(installer, code, u"LocalPackage");
      entry.productName = QueryProductProperty(installer, code, u"ProductName");
      entry.language = QueryProductProperty(installer, code, u"Language");
      ProductList.push_back(std::move(entry));
    }
    remaining.erase(0, separator + 1);
  }
}

}  // namespace hotfix
