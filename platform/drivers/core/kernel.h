// Kernel-side media state shared by the simulated drivers: what the system driver's exit resets.
#pragma once

#include <functional>

namespace varnelle::drivers {

// Registers a hook that drops a driver's kernel-side media state (channels, pools, bindings).
void RegisterResetHook(std::function<void()> hook);
// Runs every hook, in registration order.
void ResetMediaState();

}  // namespace varnelle::drivers
