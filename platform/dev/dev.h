// The device seam: the one way the SDK and the program reach device nodes. It mirrors the system
// calls. Paths of the chip's nodes dispatch to the simulated driver registered for them; every other
// path goes to the real system call. A chip node with no driver registered fails with ENODEV, so the
// host's own devices of the same names are never touched.
//
// Results follow the kernel: 0 or a value on success, an SDK error code passed through unchanged
// (codes lie below -4095), or -1 with errno.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace varnelle::dev {

int Open(const char* path, int flags, mode_t mode = 0);
int Close(int fd);
int Ioctl(int fd, unsigned long request, void* arg = nullptr);
void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int Munmap(void* addr, size_t length);
ssize_t Read(int fd, void* buf, size_t count);
ssize_t Write(int fd, const void* buf, size_t count);
int Stat(const char* path, struct stat* st);

// True when `path` names one of the chip's device nodes.
bool IsChipNode(const char* path);

}  // namespace varnelle::dev
