#include "platform/mem/ram.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/env.h"

namespace varnelle::mem {

std::string RamPath(int chip) { return host::BusDir() + "/ram-" + std::to_string(chip); }

Ram& Ram::Local() {
    // Never destroyed: drivers and detached threads keep mappings until the process ends.
    static Ram* ram = [] {
        int chip = host::ChipId();
        ::mkdir(host::BusDir().c_str(), 0777);
        return new Ram(RamPath(chip), chip, RamSizeOfChip(chip), true);
    }();
    return *ram;
}

Ram* Ram::Remote(int chip) {
    static std::mutex mutex;
    static auto* opened = new std::map<std::string, Ram*>;
    std::lock_guard<std::mutex> lock(mutex);
    std::string path = RamPath(chip);
    auto it = opened->find(path);
    if (it != opened->end()) return it->second;
    auto* ram = new Ram(path, chip, RamSizeOfChip(chip), false);
    if (!ram->ok()) {
        delete ram;
        return nullptr;
    }
    opened->emplace(path, ram);
    return ram;
}

Ram::Ram(const std::string& path, int chip, uint64_t size, bool create)
    : m_path(path), m_chip(chip), m_size(size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) return;
    if (create) {
        // Truncating to 0 first drops what an earlier run left in the pages.
        if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            ::close(fd);
            return;
        }
    } else {
        struct stat st;
        if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < size) {
            ::close(fd);
            return;
        }
    }
    m_fd = fd;
}

Ram::~Ram() {
    if (m_fd >= 0) ::close(m_fd);
}

bool Ram::Contains(uint64_t phys, uint64_t length) const {
    uint64_t len = length == 0 ? 1 : length;
    return phys >= kRamBase && phys - kRamBase <= m_size && len <= m_size - (phys - kRamBase);
}

void* Ram::Map(uint32_t phys, size_t length) const {
    if (m_fd < 0 || !Contains(phys, length)) {
        errno = EINVAL;
        return nullptr;
    }
    uint64_t start = PageStart(phys);
    uint64_t span = PageSpan(phys, length);
    if (start - kRamBase + span > m_size) span = m_size - (start - kRamBase);
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd,
                     static_cast<off_t>(start - kRamBase));
    if (p == MAP_FAILED) return nullptr;
    return static_cast<char*>(p) + (phys - start);
}

int Ram::Unmap(void* ptr, size_t length) {
    auto addr = reinterpret_cast<uintptr_t>(ptr);
    return ::munmap(reinterpret_cast<void*>(PageStart(addr)), PageSpan(addr, length));
}

void* Ram::MapMirror(uint32_t phys, size_t length) const {
    if (m_fd < 0 || length == 0 || (phys % kPageSize) != 0 || (length % kPageSize) != 0 ||
        !Contains(phys, length)) {
        errno = EINVAL;
        return nullptr;
    }
    void* area = ::mmap(nullptr, 2 * length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    auto off = static_cast<off_t>(phys - kRamBase);
    char* first = static_cast<char*>(area);
    if (::mmap(first, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_fd, off) == MAP_FAILED ||
        ::mmap(first + length, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_fd, off) ==
            MAP_FAILED) {
        int saved = errno;
        ::munmap(area, 2 * length);
        errno = saved;
        return nullptr;
    }
    return area;
}

int Ram::UnmapMirror(void* ptr, size_t length) { return ::munmap(ptr, 2 * length); }

bool Ram::Read(uint32_t phys, void* dst, size_t length) const {
    if (m_fd < 0 || !Contains(phys, length)) return false;
    auto* out = static_cast<char*>(dst);
    off_t off = static_cast<off_t>(phys - kRamBase);
    while (length > 0) {
        ssize_t n = ::pread(m_fd, out, length, off);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        out += n;
        off += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool Ram::Write(uint32_t phys, const void* src, size_t length) const {
    if (m_fd < 0 || !Contains(phys, length)) return false;
    const auto* in = static_cast<const char*>(src);
    off_t off = static_cast<off_t>(phys - kRamBase);
    while (length > 0) {
        ssize_t n = ::pwrite(m_fd, in, length, off);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        in += n;
        off += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace varnelle::mem
