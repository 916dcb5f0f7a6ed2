// Runs the slave program as a child process on a private bus, for the process-level tests and
// benchmarks. Only the process started here is ever signalled.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnelle::testing {

// Makes a private bus directory under /dev/shm, sets $VARNELLE_BUS to it and returns its path.
std::string MakePrivateBus(const char* tag);
// Removes what MakePrivateBus made.
void RemoveBus(const std::string& bus);
// A data partition for the program under `bus` (its $VARNELLE_ROOT) with the title font
// /data/Fonts/DejaVuSans.ttf: its path, or "" when the font could not be copied.
std::string MakeSlaveRoot(const std::string& bus);

class SlaveProcess {
public:
    SlaveProcess() = default;
    ~SlaveProcess() { Kill(); }
    SlaveProcess(const SlaveProcess&) = delete;
    SlaveProcess& operator=(const SlaveProcess&) = delete;

    // Starts `program` (with `args`) as chip `chip` on `bus`, its output line-buffered into `logPath`.
    bool Start(const std::string& program, const std::string& bus, const std::string& logPath, int chip = 1,
               const std::vector<std::string>& args = {});
    // Waits for the process to end by itself: its exit status, or -1 after `timeoutMs` (it keeps
    // running).
    int WaitExit(int timeoutMs);
    bool Alive();
    // SIGKILL and reap; nothing when not running.
    void Kill();
    pid_t pid() const { return m_pid; }

    std::string Log() const;
    size_t CountInLog(const std::string& text) const;
    // Waits until `text` appeared at least `count` times; false after `timeoutMs`.
    bool WaitForLog(const std::string& text, size_t count, int timeoutMs) const;

private:
    pid_t m_pid = -1;
    std::string m_log;
};

}  // namespace varnelle::testing
