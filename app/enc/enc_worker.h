// A thread of the capture module that can be told to stop: its waits end at once when it is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct EncWorker {
    std::thread thread;  // started and joined under the owner's start lock
    std::mutex mutex;
    std::condition_variable cv;
    bool bStop = false;  // guarded by mutex

    // Waits up to `us` microseconds; true when told to stop.
    bool WaitUs(long long us) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::microseconds(us), [&] { return bStop; });
    }
    bool Wait(int ms) { return WaitUs(1000LL * ms); }
    bool Stopping() {
        std::lock_guard<std::mutex> lock(mutex);
        return bStop;
    }
    // Tells the thread to stop and joins it; it may be started again afterwards. Not from the thread.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            bStop = true;
        }
        cv.notify_all();
        if (thread.joinable()) thread.join();
        std::lock_guard<std::mutex> lock(mutex);
        bStop = false;
    }
};
