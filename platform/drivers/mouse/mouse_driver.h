// /dev/mouse: the simulated mouse. A read of at least 4 bytes gives one packet {buttons, dx, dy,
// wheel} and blocks until there is one; with O_NONBLOCK an empty device gives EAGAIN. An unplugged
// mouse fails every read with ENODEV, including reads already waiting, and drops what was queued.
// A descriptor is readable while packets wait (and while the mouse is unplugged, when a read returns
// at once). Nothing comes from the device by itself: tests inject the packets.
//
// Packets queue in the device, at most kMaxQueued; more are dropped and counted. No requests:
// ioctl answers ENOTTY. Besides the seam's open and request faults, reads can be made to fail.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

// Registers the driver for /dev/mouse (once).
void InstallMouseDriver();

class MouseDriver : public dev::Driver {
public:
    static constexpr size_t kPacketSize = 4;
    static constexpr size_t kMaxQueued = 1024;

    MouseDriver();
    // The registered driver (installs it on first use).
    static std::shared_ptr<MouseDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    void Release(dev::File& file) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    ssize_t Read(dev::File& file, void* buf, size_t count) override;
    // The mouse is not media state: the media system's exit leaves it.
    void Reset() {}

    // Test view.
    // Queues a packet; false when unplugged or full (then counted as dropped).
    bool Inject(const uint8_t packet[kPacketSize]);
    bool Inject(uint8_t buttons, int8_t dx, int8_t dy, int8_t wheel);
    void Unplug();
    void Plug();
    bool Plugged() const;
    size_t Queued() const;
    uint64_t Delivered() const;
    uint64_t Dropped() const;
    // Reads blocked in the device now.
    int Waiting() const;
    // Waits until at least n reads are blocked in the device; false on time-out.
    bool WaitForWaiting(int n, std::chrono::milliseconds timeout);
    // The next `times` reads fail with err.
    void FailRead(int err, int times = 1);

private:
    class MouseFile;
    void UpdateReadableLocked();

    mutable std::mutex m_mutex;          // guards everything below
    std::condition_variable m_changed;  // packets, plugging, closes and waiting readers
    std::deque<std::vector<uint8_t>> m_queue;
    std::vector<MouseFile*> m_files;
    bool m_plugged = true;
    uint64_t m_delivered = 0;
    uint64_t m_dropped = 0;
    int m_waiting = 0;
    int m_readFaultErr = 0;
    int m_readFaultTimes = 0;
};

}  // namespace varnelle::drivers
