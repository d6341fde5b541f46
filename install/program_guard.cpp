#include "install/program_guard.h"

#include <cstdint>

#include "app/run_options.h"
#include "messages/format.h"
#include "messages/string_table.h"

namespace hotfix {
namespace {

constexpr char16_t kWatchedImageName[] = u"quor.exe";
// The list of programs the prompt names: the product, on a line of its own.
constexpr char16_t kRunningProgramList[] = u"Quorvel\n";
// Room the formatted prompt gets beyond its template.
constexpr std::size_t kPromptExtraCapacity = 512;
constexpr std::uint32_t kPromptStyle = kMbRetryCancel | kMbIconHand | kMbSetForeground | kMbTopmost;
// The pause before the next check when the prompt could not be shown.
constexpr std::uint32_t kFailedPromptPauseMs = 1000;

}  // namespace

bool IsProcessRunning(Processes& processes, const std::u16string& imageName) {
  const auto snapshot = processes.SnapshotProcesses();
  // Without a process list the program may be running: ask rather than patch
  // files that may be in use.
  if (!snapshot) return true;
  for (const ProcessEntry& entry : *snapshot) {
    if (entry.processId == 0) continue;  // the idle process, whatever its name
    if (processes.CompareNamesIgnoringCase(entry.exeFile, imageName) == 0) return true;
  }
  return false;
}

bool EnsureProductClosed(const Platform& platform) {
  std::u16string caption;
  std::u16string promptTemplate;
  LoadStringText(platform.resources, ModuleInstance, kCaptionError, caption, kStringCapacity);
  LoadStringText(platform.resources, ModuleInstance, kMsgProgramsRunning, promptTemplate,
                 kStringCapacity);
  const std::u16string prompt =
      FormatTemplate(promptTemplate, {std::u16string(kRunningProgramList), std::u16string()},
                     promptTemplate.size() + kPromptExtraCapacity)
          .text;

  // Checked before every prompt, so no box appears once the program is gone;
  // any answer but Cancel (a failed box included) checks again.
  while (IsProcessRunning(platform.processes, kWatchedImageName)) {
    const int answer = platform.boxes.MessageBoxW(prompt, caption, kPromptStyle);
    if (answer == kIdCancel) return false;
    // A box that cannot be shown answers at once: without a pause the loop
    // would spin a core for as long as the program runs.
    if (answer == 0) platform.processes.Sleep(kFailedPromptPauseMs);
  }
  return true;
}

}  // namespace hotfix
