#include "platform/host/clock.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/env.h"

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

namespace {

// The last second of the year 9999: later times would overflow the microsecond arithmetic.
constexpr time_t kLastWallSecond = 253402300799;

// What a person would read with `date` on the board: the local time the clock now shows, written to
// $VARNELLE_TRACE/clock-<chip>.txt when tracing is on.
void TraceClock() {
    const char* dir = std::getenv("VARNELLE_TRACE");
    if (dir == nullptr || *dir == '\0') return;
    time_t now = WallSeconds();
    tm local{};
    localtime_r(&now, &local);
    char line[64];
    size_t n = strftime(line, sizeof(line), "%Y-%m-%d %H:%M:%S %Z\n", &local);
    std::string path = std::string(dir) + "/clock-" + std::to_string(ChipId()) + ".txt";
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) return;
    std::fwrite(line, 1, n, f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

}  // namespace

int SetWallClock(const timeval& t) {
    if (t.tv_sec < 0 || t.tv_sec > kLastWallSecond || t.tv_usec < 0 || t.tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    int64_t want = static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
    g_offsetUs.store(want - HostWallUs(), std::memory_order_relaxed);
    TraceClock();
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
