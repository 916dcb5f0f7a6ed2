// Test helpers for the audio modules' threads: waiting on what other threads make true, and counting
// the process's threads to see that every one started is gone again.
#pragma once

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
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

// Threads of the process with one of `names` (a thread's name as prctl set it); a joined thread leaves
// the list a moment after the join returns. Counting by name leaves out the runtime's own threads (a
// sanitizer's, for one).
inline int ThreadCount(std::initializer_list<const char*> names) {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string comm;
        std::getline(f, comm);
        for (const char* name : names) n += comm == name ? 1 : 0;
    }
    closedir(d);
    return n;
}

}  // namespace varnelle::audiotest
