#include "platform/drivers/mouse/mouse_driver.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "platform/drivers/core/kernel.h"

namespace varnelle::drivers {

class MouseDriver::MouseFile : public dev::File {
public:
    bool closed = false;  // guarded by the driver's mutex
};

MouseDriver::MouseDriver() : Driver("/dev/mouse") {}

std::shared_ptr<MouseDriver> MouseDriver::Get() {
    InstallMouseDriver();
    return dev::Registry::Get<MouseDriver>("/dev/mouse");
}

void InstallMouseDriver() {
    InstallDriverOnce<MouseDriver>();
}

std::unique_ptr<dev::File> MouseDriver::Open(int) {
    auto file = std::make_unique<MouseFile>();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.push_back(file.get());
    return file;
}

void MouseDriver::Release(dev::File& file) {
    auto& f = static_cast<MouseFile&>(file);
    std::lock_guard<std::mutex> lock(m_mutex);
    f.closed = true;
    m_files.erase(std::remove(m_files.begin(), m_files.end(), &f), m_files.end());
    m_changed.notify_all();
}

int MouseDriver::Ioctl(dev::File&, unsigned long, void*) {
    return dev::Fail(ENOTTY);
}

void MouseDriver::UpdateReadableLocked() {
    // A read returns at once while a packet waits or the mouse is away.
    const bool readable = !m_queue.empty() || !m_plugged;
    for (MouseFile* f : m_files) f->SetReadable(readable);
}

ssize_t MouseDriver::Read(dev::File& file, void* buf, size_t count) {
    auto& f = static_cast<MouseFile&>(file);
    if (buf == nullptr) return dev::Fail(EFAULT);
    if (count < kPacketSize) return dev::Fail(EINVAL);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_readFaultTimes > 0) {
        --m_readFaultTimes;
        return dev::Fail(m_readFaultErr);
    }
    for (;;) {
        if (f.closed) return dev::Fail(EBADF);
        if (!m_plugged) return dev::Fail(ENODEV);
        if (!m_queue.empty()) break;
        if (f.flags() & O_NONBLOCK) return dev::Fail(EAGAIN);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock);
        --m_waiting;
    }
    std::memcpy(buf, m_queue.front().data(), kPacketSize);
    m_queue.pop_front();
    ++m_delivered;
    UpdateReadableLocked();
    return static_cast<ssize_t>(kPacketSize);
}

bool MouseDriver::Inject(const uint8_t packet[kPacketSize]) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_plugged) return false;
    if (m_queue.size() >= kMaxQueued) {
        ++m_dropped;
        return false;
    }
    m_queue.emplace_back(packet, packet + kPacketSize);
    UpdateReadableLocked();
    m_changed.notify_all();
    return true;
}

bool MouseDriver::Inject(uint8_t buttons, int8_t dx, int8_t dy, int8_t wheel) {
    const uint8_t packet[kPacketSize] = {buttons, static_cast<uint8_t>(dx), static_cast<uint8_t>(dy),
                                         static_cast<uint8_t>(wheel)};
    return Inject(packet);
}

void MouseDriver::Unplug() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plugged = false;
    m_queue.clear();
    UpdateReadableLocked();
    m_changed.notify_all();
}

void MouseDriver::Plug() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plugged = true;
    UpdateReadableLocked();
    m_changed.notify_all();
}

bool MouseDriver::Plugged() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugged;
}

size_t MouseDriver::Queued() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

uint64_t MouseDriver::Delivered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

uint64_t MouseDriver::Dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

int MouseDriver::Waiting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting;
}

bool MouseDriver::WaitForWaiting(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_waiting >= n; });
}

void MouseDriver::FailRead(int err, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readFaultErr = err;
    m_readFaultTimes = times;
}

}  // namespace varnelle::drivers
