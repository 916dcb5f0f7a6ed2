#include "sdk/common/mk_dev.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"

namespace mk {

namespace dev = varnelle::dev;

DevSlot::Result DevSlot::Ensure(const char* path, int flags, unsigned long bindRequest, uint32_t bindWord,
                                bool ignoreBindResult, bool retryEintr, int* bindResult) {
    if (IsOpen()) return kReady;
    std::lock_guard<std::mutex> lock(m_openMutex);
    if (IsOpen()) return kReady;
    int fd = dev::Open(path, flags);
    if (fd < 0) return kOpenFailed;
    if (bindRequest != 0) {
        uint32_t word = bindWord;
        int ret = retryEintr ? IoctlRetryEintr(fd, bindRequest, &word) : dev::Ioctl(fd, bindRequest, &word);
        if (bindResult != nullptr) *bindResult = ret;
        if (ret != 0 && !ignoreBindResult) {
            int saved = errno;
            dev::Close(fd);
            errno = saved;
            return kBindFailed;
        }
    }
    m_fd.store(fd, std::memory_order_release);
    return kReady;
}

int DevSlot::Close() {
    std::lock_guard<std::mutex> lock(m_openMutex);
    int fd = m_fd.exchange(-1);
    if (fd < 0) return 0;
    return dev::Close(fd);
}

bool DevSlot::NodeIsDevice(const char* path) {
    struct stat st;
    if (dev::Stat(path, &st) != 0) {
        int err = errno;
        std::fprintf(stderr, "Cannot identify '%s': %d, %s\n", path, err, std::strerror(err));
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        std::fprintf(stderr, "%s is no device\n", path);
        return false;
    }
    return true;
}

int IoctlRetryEintr(int fd, unsigned long request, void* arg) {
    int ret;
    do {
        ret = dev::Ioctl(fd, request, arg);
    } while (ret == -1 && errno == EINTR);
    return ret;
}

bool MapPhysPages(int fd, uint32_t phys, uint32_t size, PhysMapping* out) {
    const uint32_t offset = phys & 0xFFFu;
    const size_t length = ((static_cast<size_t>(size == 0 ? 1 : size) - 1 + offset) & ~size_t{0xFFF}) + 0x1000;
    void* base = dev::Mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(phys - offset));
    if (base == MAP_FAILED) return false;
    *out = PhysMapping{base, length, static_cast<uint8_t*>(base) + offset};
    return true;
}

int UnmapPhysPages(const PhysMapping& mapping) {
    if (mapping.base == nullptr) return 0;
    return dev::Munmap(mapping.base, mapping.length);
}

}  // namespace mk
