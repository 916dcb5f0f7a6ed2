// Test helpers for the audio modules' threads: waiting on what other threads make true, and counting
// the process's threads to see that every one started is gone again.
#pragma once

#include <dirent.h>

#include <chrono>
#include <functional>
#include <thread>

namespace varnelle::audiotest {

// Waits for a condition that other threads make true; false after ten seconds.
inline bool WaitFor(const std::function<bool()>& cond) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// Threads of the process; a joined thread leaves the list a moment after the join returns.
inline int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

}  // namespace varnelle::audiotest
