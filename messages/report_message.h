// Showing a result message: text, caption and icon follow from its id.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace hotfix {

// Shows message id (300, 301, 306, 307, 308 or 310) in a modal box and
// returns when it is dismissed; shows nothing when RunOptions.quiet is set.
// Message 300 prints the thread's last-error value as it was on entry.
void ReportMessage(const Platform& platform, std::uint32_t id);

}  // namespace hotfix
