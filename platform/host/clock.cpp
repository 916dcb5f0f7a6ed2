#include "platform/host/clock.h"

#include <atomic>

namespace varnelle::host {
namespace {

std::atomic<int64_t> g_offsetUs{0};

int64_t HostWallUs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

timeval WallNow() {
    int64_t us = HostWallUs() + g_offsetUs.load(std::memory_order_relaxed);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    if (tv.tv_usec < 0) {
        tv.tv_usec += 1000000;
        tv.tv_sec -= 1;
    }
    return tv;
}

time_t WallSeconds() { return WallNow().tv_sec; }

int SetWallClock(const timeval& t) {
    int64_t want = static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
    g_offsetUs.store(want - HostWallUs(), std::memory_order_relaxed);
    return 0;
}

int64_t WallOffsetUs() { return g_offsetUs.load(std::memory_order_relaxed); }

uint64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t MonotonicMs() { return MonotonicUs() / 1000u; }

}  // namespace varnelle::host
