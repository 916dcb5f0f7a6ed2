// The platform clock. The host's own clock is never set: setting the time moves an offset that every
// wall-clock read of the system applies. The monotonic tick never jumps and never wraps.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

namespace varnelle::host {

// Wall-clock time with the offset applied.
timeval WallNow();
time_t WallSeconds();

// Makes the wall clock read `t` from now on: 0, or -1/EINVAL for a time before 1970 or after the year
// 9999. With $VARNELLE_TRACE set, the local time the clock then shows is written to
// $VARNELLE_TRACE/clock-<chip>.txt.
int SetWallClock(const timeval& t);

// Current offset in microseconds (wall clock minus host clock).
int64_t WallOffsetUs();

// Monotonic time since an arbitrary start.
uint64_t MonotonicUs();
uint64_t MonotonicMs();

}  // namespace varnelle::host
