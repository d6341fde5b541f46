#include "messages/report_message.h"

#include <new>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "messages/current_product_name.h"
#include "messages/format.h"
#include "messages/string_table.h"

namespace hotfix {
namespace {

constexpr std::uint32_t kStyleFailure = kMbOk | kMbIconHand | kMbSetForeground | kMbTopmost;
constexpr std::uint32_t kStyleSuccess =
    kMbOk | kMbIconInformation | kMbSetForeground | kMbTopmost;

// Room for the argument beyond the template itself, terminator included.
constexpr std::size_t kArgumentRoom = 512;

enum class Argument { kNone, kLastError, kProductName };

struct MessageKind {
  Argument argument;
  std::uint32_t caption;
  std::uint32_t style;
};

MessageKind KindOf(std::uint32_t id) {
  switch (id) {
    case kMsgInstallFailed:
      return {Argument::kLastError, kCaptionError, kStyleFailure};
    case kMsgInstallSucceeded:
      return {Argument::kNone, kCaptionSuccess, kStyleSuccess};
    case kMsgUpToDate:
      return {Argument::kProductName, kCaptionUnnecessary, kStyleFailure};
    case kMsgProductNotFound:
    case kMsgNoPatchList:
      return {Argument::kNone, kCaptionError, kStyleFailure};
    case kMsgWrongVersion:
      return {Argument::kProductName, kCaptionError, kStyleFailure};
    default:
      // No flow reports any other id. Should one ever be passed, it is shown
      // as a failure (the error caption, the stop sign, no argument) rather
      // than in a box without caption or icon that the user cannot place.
      return {Argument::kNone, kCaptionError, kStyleFailure};
  }
}

}  // namespace

void ReportMessage(const Platform& platform, std::uint32_t id) {
  if (RunOptions.quiet) return;

  // First of all: loading strings may change the last-error value.
  const std::uint32_t lastError = platform.thread.GetLastError();

  try {
    std::u16string pattern;
    LoadStringText(platform.resources, ModuleInstance, id, pattern, kStringCapacity);

    const MessageKind kind = KindOf(id);
    std::vector<FormatArgument> arguments;
    if (kind.argument == Argument::kLastError) {
      // %d reads the code as a signed 32-bit value, so codes of 2^31 and
      // above print negative.
      arguments.emplace_back(static_cast<std::int32_t>(lastError));
    } else if (kind.argument == Argument::kProductName) {
      arguments.emplace_back(CurrentProductName);
    }
    // A result longer than the buffer (only a product name of some 500
    // units could make one) is cut to it.
    const FormattedText text =
        FormatTemplate(pattern, arguments, pattern.size() + kArgumentRoom);

    // Loaded on the same thread right after the text, so from the same
    // language.
    std::u16string caption;
    LoadStringText(platform.resources, ModuleInstance, kind.caption, caption, kStringCapacity);

    platform.boxes.MessageBoxW(text.text, caption, kind.style);
  } catch (const std::bad_alloc&) {
    // Without memory for the text there is nothing to show; the caller
    // carries on as if the box had been dismissed.
  }
}

}  // namespace hotfix
