// The name /p derives from any target text.
#include <cstddef>
#include <cstdint>

#include "payload/patch_list.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace hotfix;
  const std::u16string name = PatchListNameFor(fuzz::AsText(data, size));

  const std::u16string stem = u"patchlist";
  const std::u16string extension = u".txt";
  FUZZ_CHECK(name.size() >= stem.size() + extension.size());
  FUZZ_CHECK(name.compare(0, stem.size(), stem) == 0);
  FUZZ_CHECK(name.compare(name.size() - extension.size(), extension.size(), extension) == 0);
  const std::u16string code =
      name.substr(stem.size(), name.size() - stem.size() - extension.size());
  FUZZ_CHECK(code.size() <= 4);
  // The name must name a plain file in the current folder: no separator,
  // drive or stream colon, wildcard, quote, pipe or control character.
  for (char16_t c : code) {
    FUZZ_CHECK(c >= 0x20 && std::u16string(u"\\/:*?\"<>|").find(c) == std::u16string::npos);
  }
  return 0;
}
