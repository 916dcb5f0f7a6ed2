// A lazily opened descriptor slot of a device node: closed (-1) until the first call that needs it,
// then opened, bound to its object with the module's bind request and kept. The open is guarded by
// the slot's lock so that threads reaching a closed slot together open and bind it once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace mk {

class DevSlot {
public:
    enum Result { kReady = 0, kOpenFailed, kBindFailed };

    DevSlot() = default;
    DevSlot(const DevSlot&) = delete;
    DevSlot& operator=(const DevSlot&) = delete;

    int fd() const { return m_fd.load(std::memory_order_acquire); }
    bool IsOpen() const { return fd() >= 0; }

    // Opens `path` if the slot is closed. With a bind request, sends it with `bindWord`; a refused
    // bind closes the descriptor again (unless `ignoreBindResult`). After kOpenFailed errno holds the
    // open's error. `retryEintr` repeats a bind interrupted by a signal. `bindResult`, when given,
    // receives the bind request's result of this call (untouched when nothing was opened).
    Result Ensure(const char* path, int flags, unsigned long bindRequest = 0, uint32_t bindWord = 0,
                  bool ignoreBindResult = false, bool retryEintr = false, int* bindResult = nullptr);

    // Closes an open slot; returns the close's result (0 when it was closed already).
    int Close();

    // True when `path` names a character device, as the modules that check before they open require;
    // otherwise writes "Cannot identify '%s': %d, %s\n" (stat failed) or "%s is no device\n" to
    // standard error and gives false.
    static bool NodeIsDevice(const char* path);

private:
    std::mutex m_openMutex;  // serialises open, bind and close
    std::atomic<int> m_fd{-1};
};

// ioctl on a device descriptor through the seam, repeating calls interrupted by a signal.
int IoctlRetryEintr(int fd, unsigned long request, void* arg);

// A physical range mapped through a memory descriptor: the whole pages that hold it, shared and
// read-write. `user` is the address of the range's first byte; `base` and `length` are what to unmap.
struct PhysMapping {
    void* base = nullptr;
    size_t length = 0;
    uint8_t* user = nullptr;
};
// Maps [phys, phys + size) (size at least 1) through `fd`; false with errno when the map fails.
bool MapPhysPages(int fd, uint32_t phys, uint32_t size, PhysMapping* out);
// Unmaps what MapPhysPages mapped: the munmap's result; a mapping with no base unmaps nothing.
int UnmapPhysPages(const PhysMapping& mapping);

}  // namespace mk
