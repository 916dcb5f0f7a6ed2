#include "platform/dev/dev.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dev/driver.h"
#include "platform/dev/journal.h"

namespace varnelle::dev {

std::shared_ptr<File> FindFile(int fd);  // driver.cpp

namespace {

constexpr const char* kChipNodes[] = {
    "/dev/sys",  "/dev/vb",   "/dev/mmz_userdev", "/dev/logmpp", "/dev/mem",   "/dev/rgn",
    "/dev/vda",  "/dev/vdec", "/dev/vi",          "/dev/vo",     "/dev/vpss",  "/dev/venc",
    "/dev/hdmi", "/dev/mk_tde", "/dev/jpeg",      "/dev/pciv",   "/dev/adec",  "/dev/aenc",
    "/dev/ai",   "/dev/ao",   "/dev/mcc_userdev", "/dev/fb0",    "/dev/fb1",   "/dev/fb2",
    "/dev/fb3",
    "/dev/mouse",
};

}  // namespace

bool IsChipNode(const char* path) {
    if (path == nullptr) return false;
    for (const char* node : kChipNodes) {
        if (std::strcmp(node, path) == 0) return true;
    }
    return false;
}

int Open(const char* path, int flags, mode_t mode) {
    if (path == nullptr) return Fail(EFAULT);
    if (auto driver = Registry::Find(path)) return Registry::OpenSimulated(*driver, flags);
    if (IsChipNode(path)) return Fail(ENODEV);
    return ::open(path, flags, mode);
}

int Close(int fd) {
    if (FindFile(fd)) return Registry::CloseSimulated(fd);
    return ::close(fd);
}

int Ioctl(int fd, unsigned long request, void* arg) {
    std::shared_ptr<File> file = FindFile(fd);
    if (!file) return ::ioctl(fd, request, arg);
    int result = 0;
    if (!Registry::TakeRequestFault(file->driver(), request, &result))
        result = file->driver().Ioctl(*file, request, arg);
    if (JournalActive()) {
        int err = errno;
        JournalRecord(file->driver().path(), request, file->BoundObject(), result);
        errno = err;
    }
    return result;
}

void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    std::shared_ptr<File> file = FindFile(fd);
    if (!file) return ::mmap(addr, length, prot, flags, fd, offset);
    if (length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return file->driver().Mmap(*file, addr, length, prot, flags, offset);
}

int Munmap(void* addr, size_t length) { return ::munmap(addr, length); }

ssize_t Read(int fd, void* buf, size_t count) {
    std::shared_ptr<File> file = FindFile(fd);
    if (!file) return ::read(fd, buf, count);
    return file->driver().Read(*file, buf, count);
}

ssize_t Write(int fd, const void* buf, size_t count) {
    std::shared_ptr<File> file = FindFile(fd);
    if (!file) return ::write(fd, buf, count);
    return file->driver().Write(*file, buf, count);
}

int Stat(const char* path, struct stat* st) {
    if (path == nullptr || st == nullptr) return Fail(EFAULT);
    if (Registry::Find(path)) {
        // A simulated node looks like a character device, as the SDK checks before it opens one.
        std::memset(st, 0, sizeof(*st));
        st->st_mode = S_IFCHR | 0666;
        st->st_rdev = makedev(10, 0);
        return 0;
    }
    if (IsChipNode(path)) return Fail(ENOENT);
    return ::stat(path, st);
}

}  // namespace varnelle::dev
