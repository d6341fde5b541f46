#include "messages/string_table.h"

#include <algorithm>
#include <new>
#include <vector>

namespace hotfix {

int LoadStringText(ModuleResources& resources, ModuleHandle module, std::uint32_t id,
                   std::u16string& text, int capacity) {
  // LoadStringW with a capacity of 0 hands out a pointer into the resource
  // instead of copying; no caller wants that, so it is never asked for.
  if (capacity <= 0) {
    text.clear();
    return 0;
  }
  try {
    std::vector<char16_t> buffer(static_cast<std::size_t>(capacity), u'\0');
    const int count = resources.LoadStringW(module, id, buffer.data(), capacity);
    if (count <= 0) {
      text.clear();
    } else {
      // Up to the terminator, and never past the buffer even if none came.
      const auto terminator = std::find(buffer.begin(), buffer.end(), u'\0');
      text.assign(buffer.begin(), terminator);
    }
    return count;
  } catch (const std::bad_alloc&) {
    // Out of memory counts as a string that could not be loaded.
    text.clear();
    return 0;
  }
}

}  // namespace hotfix
