#include "platform/command_line.h"

#include <cstddef>

namespace hotfix {
namespace {

constexpr char16_t kQuote = u'"';
constexpr char16_t kBackslash = u'\\';

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Quote state of the argument walk. After a run of quotes the count is
// brought back to 0 (outside) or 1 (inside); 2 only exists in the middle of
// a run, and reaching 3 emits one literal quote and goes back to 0. This is
// how the system splitter treats doubled and tripled quotes: inside a quoted
// stretch "" gives one quote and closes the stretch, """ outside gives one
// quote and stays outside.
struct QuoteState {
  int count = 0;
  bool Inside() const { return count != 0; }
};

}  // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine,
                                             const std::u16string& programPathWhenEmpty) {
  std::vector<std::u16string> arguments;
  if (commandLine.empty()) {
    arguments.push_back(programPathWhenEmpty);
    return arguments;
  }

  const std::size_t end = commandLine.size();
  std::size_t at = 0;

  // The program name: no escapes at all. Quoted, it runs to the next quote
  // whatever follows it; unquoted, to the next blank, quotes included.
  std::u16string program;
  if (commandLine[0] == kQuote) {
    at = 1;
    while (at < end && commandLine[at] != kQuote) program.push_back(commandLine[at++]);
    if (at < end) ++at;  // the closing quote
  } else {
    while (at < end && !IsBlank(commandLine[at])) program.push_back(commandLine[at++]);
  }
  arguments.push_back(std::move(program));

  while (at < end && IsBlank(commandLine[at])) ++at;
  if (at == end) return arguments;

  std::u16string current;
  QuoteState quotes;
  std::size_t backslashes = 0;  // backslashes just copied, not yet resolved
  while (at < end) {
    const char16_t c = commandLine[at];
    if (IsBlank(c) && !quotes.Inside()) {
      arguments.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (at < end && IsBlank(commandLine[at])) ++at;
      if (at == end) return arguments;
      continue;
    }
    if (c == kBackslash) {
      current.push_back(c);
      ++backslashes;
      ++at;
      continue;
    }
    if (c == kQuote) {
      // The backslashes before it were copied as they came; half of them
      // stay. An even run leaves the quote to open or close; an odd run
      // spends its last backslash on a literal quote.
      current.resize(current.size() - backslashes / 2);
      if (backslashes % 2 == 0) {
        ++quotes.count;
      } else {
        current.back() = kQuote;
      }
      backslashes = 0;
      ++at;
      while (at < end && commandLine[at] == kQuote) {
        if (++quotes.count == 3) {
          current.push_back(kQuote);
          quotes.count = 0;
        }
        ++at;
      }
      if (quotes.count == 2) quotes.count = 0;
      continue;
    }
    current.push_back(c);
    backslashes = 0;
    ++at;
  }
  arguments.push_back(std::move(current));
  return arguments;
}

}  // namespace hotfix
