// Shows a message box through the real adapter, for the dialog robot's tests
// and for trying out box styles.
#include "platform/win32/win32_services.h"
#include "tests/tools/probe.h"

namespace hotfix::probe {
namespace {

constexpr const char* kUsage =
    "messagebox STYLE TEXT CAPTION: shows the box with no owner; prints {\"result\":ID} and "
    "exits with the id of the button pressed (0 when the box failed)";

int ShowMessageBox(const Args& args) {
  if (args.size() != 3) return UsageError(kUsage);
  std::optional<std::uint32_t> style = ParseNumber(args[0]);
  if (!style) return UsageError(kUsage);
  win32::Win32MessageBoxes boxes;
  int result = boxes.MessageBoxW(args[1], args[2], *style);
  WriteLine("{\"result\":" + std::to_string(result) + "}");
  return result;
}

}  // namespace

HOTFIX_PROBE_COMMAND("messagebox", kUsage, ShowMessageBox)

}  // namespace hotfix::probe
