#include "app/dec/dec_clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/host/clock.h"

namespace {

std::atomic<uint64_t (*)()> g_pfnNow{nullptr};
std::atomic<void (*)(uint64_t)> g_pfnSleepUntil{nullptr};

}  // namespace

uint64_t DecNowUs() {
    uint64_t (*pfn)() = g_pfnNow.load();
    return pfn != nullptr ? pfn() : varnelle::host::MonotonicUs();
}

void DecSleepUntilUs(uint64_t u64DeadlineUs) {
    if (void (*pfn)(uint64_t) = g_pfnSleepUntil.load()) {
        pfn(u64DeadlineUs);
        return;
    }
    // An absolute deadline on the clock MonotonicUs reads: a late wake-up is not carried into the next.
    timespec ts;
    ts.tv_sec = static_cast<time_t>(u64DeadlineUs / 1000000u);
    ts.tv_nsec = static_cast<long>(u64DeadlineUs % 1000000u) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void DecSleepUs(uint64_t u64Us) {
    DecSleepUntilUs(DecNowUs() + u64Us);
}

void DecSetClock(uint64_t (*pfnNow)(), void (*pfnSleepUntil)(uint64_t)) {
    g_pfnNow = pfnNow;
    g_pfnSleepUntil = pfnSleepUntil;
}
