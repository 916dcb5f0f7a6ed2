// Kernel-side media state shared by the simulated drivers: what the system driver's exit resets.
#pragma once

#include <functional>
#include <memory>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

// Registers a hook that drops a driver's kernel-side media state (channels, pools, bindings).
void RegisterResetHook(std::function<void()> hook);
// Runs every hook, in registration order.
void ResetMediaState();

// Registers one driver of type D for the process (later calls do nothing) and, when it took its
// path, a reset hook that calls its Reset(). A path already taken keeps its driver, with no hook.
template <typename D>
void InstallDriverOnce() {
    static const bool installed = [] {
        auto driver = std::make_shared<D>();
        if (!dev::Registry::Register(driver)) return false;
        RegisterResetHook([driver] { driver->Reset(); });
        return true;
    }();
    (void)installed;
}

}  // namespace varnelle::drivers
