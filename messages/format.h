// printf-style formatting of message templates: %d (signed 32-bit decimal)
// and %s (text), %% for a percent sign, as wsprintfW does. A placeholder
// without an argument is copied as it stands and never reads anything; the
// result is cut to fit its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace hotfix {

using FormatArgument = std::variant<std::int32_t, std::u16string>;

struct FormattedText {
  std::u16string text;
  bool truncated = false;  // the full result did not fit
};

// capacity: the buffer size in 16-bit units, terminator included, so the text
// holds at most capacity - 1 units.
FormattedText FormatTemplate(const std::u16string& pattern,
                             const std::vector<FormatArgument>& arguments, std::size_t capacity);

}  // namespace hotfix
