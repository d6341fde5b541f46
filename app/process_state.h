// The process-wide state in one place, so that a test can start afresh.
#pragma once

namespace hotfix {

// Resets RunOptions, ModuleInstance, CurrentProductName, ProductList and the
// counter of temporary names to their state at process start.
void ResetProcessState();

}  // namespace hotfix
