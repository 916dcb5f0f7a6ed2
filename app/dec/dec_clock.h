// The clock the decode module paces frames by: the platform's monotonic clock, never the wall clock
// (the master sets that, and pacing must not jump with it). Tests put a clock of their own in.
#pragma once

#include <cstdint>

// Microseconds on the clock.
uint64_t DecNowUs();
// Sleeps until the clock reads `u64DeadlineUs` (at once when it has passed).
void DecSleepUntilUs(uint64_t u64DeadlineUs);
void DecSleepUs(uint64_t u64Us);

// A clock of the test's own: `pfnNow` reads it, `pfnSleepUntil` waits for it. Null for both puts the
// platform clock back. Set it while no decode thread runs.
void DecSetClock(uint64_t (*pfnNow)(), void (*pfnSleepUntil)(uint64_t));
