#include "app/command_line_parser.h"

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_options.h"

namespace hotfix {
namespace {

constexpr std::u16string_view kSwitchQuiet = u"/q";
constexpr std::u16string_view kSwitchExtract = u"/e";
constexpr std::u16string_view kSwitchPatchList = u"/p";
constexpr std::u16string_view kSwitchListProducts = u"/i";

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

// Whole-argument match; only A to Z fold, so that no locale can make some
// other character equal a switch letter.
bool IsSwitch(const std::u16string& argument, std::u16string_view name) {
  if (argument.size() != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (FoldAscii(argument[i]) != FoldAscii(name[i])) return false;
  }
  return true;
}

// A split that fails, for lack of memory too, leaves no arguments, and so
// the default mode.
std::vector<std::u16string> SplitProcessCommandLine(CommandLineSource& commandLine) {
  try {
    std::optional<std::vector<std::u16string>> arguments =
        commandLine.CommandLineToArgvW(commandLine.GetCommandLineW());
    if (arguments) return std::move(*arguments);
  } catch (const std::bad_alloc&) {
  }
  return {};
}

}  // namespace

void ParseCommandLine(CommandLineSource& commandLine) {
  const std::vector<std::u16string> arguments = SplitProcessCommandLine(commandLine);
  const std::size_t count = arguments.size();

  RunOptions.quiet = false;
  RunOptions.extract = false;
  RunOptions.patchList = false;
  RunOptions.extractPath.clear();
  RunOptions.patchListPath.clear();
  RunOptions.install = true;

  // Element 0 is the program path and never a switch.
  for (std::size_t index = 1; index < count; ++index) {
    const std::u16string& argument = arguments[index];
    if (IsSwitch(argument, kSwitchQuiet)) {
      RunOptions.quiet = true;
    } else if (IsSwitch(argument, kSwitchExtract) || IsSwitch(argument, kSwitchPatchList)) {
      const bool extract = IsSwitch(argument, kSwitchExtract);
      (extract ? RunOptions.extract : RunOptions.patchList) = true;
      RunOptions.install = false;
      // The next argument is the path whatever it says, even a switch.
      if (index + 1 < count) {
        ++index;
        try {
          (extract ? RunOptions.extractPath : RunOptions.patchListPath) = arguments[index];
        } catch (const std::bad_alloc&) {
          // Out of memory: the switches read so far stand.
          break;
        }
      }
    } else if (IsSwitch(argument, kSwitchListProducts)) {
      RunOptions.install = false;
      RunOptions.listProducts = true;
      break;  // nothing after /i is looked at
    }
    // Anything else is ignored without a word: there is no usage message.
  }
}

}  // namespace hotfix
