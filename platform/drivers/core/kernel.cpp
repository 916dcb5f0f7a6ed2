#include "platform/drivers/core/kernel.h"

#include <mutex>
#include <vector>

namespace varnelle::drivers {
namespace {

std::mutex& HookMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<std::function<void()>>& Hooks() {
    static auto* h = new std::vector<std::function<void()>>;
    return *h;
}

}  // namespace

void RegisterResetHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(HookMutex());
    Hooks().push_back(std::move(hook));
}

void ResetMediaState() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> lock(HookMutex());
        hooks = Hooks();
    }
    for (auto& hook : hooks) hook();
}

}  // namespace varnelle::drivers
