// The compiled resource file that is linked into hotfix.exe, read once for
// the tests that check the texts the program ships.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/fakes/res_file.h"

namespace hotfix::testing {

inline const ResFile& CompiledResources() {
  static const ResFile file = [] {
    std::string error;
    std::optional<ResFile> loaded = LoadResFile(HOTFIX_RESOURCE_FILE, &error);
    if (!loaded) {
      ADD_FAILURE() << HOTFIX_RESOURCE_FILE << ": " << error;
      return ResFile{};
    }
    return *loaded;
  }();
  return file;
}

}  // namespace hotfix::testing
