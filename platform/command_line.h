// The process command line, and the portable splitter that follows the rules
// of CommandLineToArgvW.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace hotfix {

class CommandLineSource {
 public:
  virtual ~CommandLineSource() = default;
  // GetCommandLineW: the full command line, program path included.
  virtual std::u16string GetCommandLineW() = 0;
  // CommandLineToArgvW (the array is released with GlobalFree inside): the
  // arguments, element 0 the program path; nothing when the split fails.
  virtual std::optional<std::vector<std::u16string>> CommandLineToArgvW(
      const std::u16string& commandLine) = 0;
};

// Splits a command line the way CommandLineToArgvW does: blanks and tabs
// separate arguments, double quotes group them, 2n backslashes before a quote
// give n backslashes and an open or close, 2n+1 give n and a literal quote, a
// doubled quote inside a quoted stretch gives one quote, and the program name
// (element 0) is taken up to the next quote or blank with no escapes.
std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine,
                                             const std::u16string& programPathWhenEmpty = u"");

}  // namespace hotfix
