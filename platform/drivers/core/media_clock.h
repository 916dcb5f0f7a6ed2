// The clock the simulated media hardware runs on, and the thread that paces it.
//
// MediaClock reads the platform clock (host::MonotonicUs, and host::WallNow for the time of day) unless
// a test has stopped it: then it stands still and moves only when the test advances it. Advancing
// first lets every PacedThread finish what is due at the present time (a tick running, a Wake not yet
// served), then moves the clock and waits until every PacedThread has done what fell due by the new
// time. So when Advance returns, the frames due by then have been made and handed on: a test steps
// capture and display frame by frame and asserts at once, without sleeping.
//
// PacedThread runs one driver's timed work: its tick function gets the media clock's time, does
// whatever fell due (make a frame, compose a screen) and answers when it wants to run next; the thread
// sleeps until then on the media clock, or until Wake() says that something changed (a channel was
// enabled, a bind made).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace varnelle::drivers {

class MediaClock {
public:
    // Microseconds on the media clock (monotonic).
    static uint64_t NowUs();
    // The time of day that goes with NowUs(), in microseconds since the epoch (platform wall clock).
    static int64_t WallUs();

    // Test hooks. UseManual stops the clock at `monoUs` (wall time `wallUs`); Advance moves it on as
    // described above (giving up the waits after a few seconds of real time, should a tick never
    // settle); Settle only waits for what is due now; UseReal goes back to the platform clock. Any
    // thread but a tick's may call them.
    static void UseManual(uint64_t monoUs, int64_t wallUs);
    static void Advance(uint64_t us);
    static void Settle();
    static void UseReal();
    static bool IsManual();
};

class PacedThread {
public:
    static constexpr uint64_t kIdle = UINT64_MAX;  // a tick's answer: run again only after Wake()

    // `tick(now)` runs on the thread with no lock of this object held; it returns the media-clock time
    // at which it wants to run again (kIdle: not before Wake()). The thread starts at once.
    PacedThread(std::string name, std::function<uint64_t(uint64_t nowUs)> tick);
    // Stops and joins; a tick in progress finishes first. Must not be called from the tick itself.
    ~PacedThread();
    PacedThread(const PacedThread&) = delete;
    PacedThread& operator=(const PacedThread&) = delete;

    // Runs the tick again as soon as possible. Any thread, the tick included.
    void Wake();
    // Ticks run so far, and the thread's CPU time in microseconds (test and benchmark views).
    uint64_t Rounds() const;
    uint64_t CpuUs() const;

private:
    friend class MediaClock;
    void Loop();
    void Notify();  // called by MediaClock::Advance
    // Waits (real time, at most until `deadline`) until no tick runs or is due at `nowUs`; false when
    // there was nothing to wait for.
    bool WaitSettled(uint64_t nowUs, std::chrono::steady_clock::time_point deadline);

    const std::string m_name;
    const std::function<uint64_t(uint64_t)> m_tick;
    mutable std::mutex m_mutex;  // guards the members below
    std::condition_variable m_cv;  // the loop's waits, and waits for it to settle
    bool m_stop = false;
    bool m_woken = true;
    bool m_running = false;      // a tick runs
    uint64_t m_next = kIdle;     // what the last tick asked for
    uint64_t m_rounds = 0;
    std::thread m_thread;
};

}  // namespace varnelle::drivers
