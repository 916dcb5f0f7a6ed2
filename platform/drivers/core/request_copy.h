// Copying a request's record in or out, checked the way a kernel driver checks what the caller's
// request number claims. Every driver copies the records of the requests it takes through these.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

// True when the request carries `size` bytes in direction `dir` (_IOC_WRITE: to the driver,
// _IOC_READ: back to the caller).
inline bool RequestCarries(unsigned long request, unsigned dir, size_t size) {
    return (_IOC_DIR(request) & dir) != 0 && _IOC_SIZE(request) == size;
}

// The request must carry data in the copy's direction and its size must match the record, else
// -1/EINVAL; a null argument gives -1/EFAULT.
template <typename T>
int CopyRequestIn(unsigned long request, const void* arg, T* out) {
    if (!RequestCarries(request, _IOC_WRITE, sizeof(T))) return dev::Fail(EINVAL);
    return dev::CopyIn(out, arg);
}
template <typename T>
int CopyRequestOut(unsigned long request, void* arg, const T& value) {
    if (!RequestCarries(request, _IOC_READ, sizeof(T))) return dev::Fail(EINVAL);
    return dev::CopyOut(arg, value);
}

// The same for records a driver keeps as bytes.
inline int CopyRequestInBytes(unsigned long request, const void* arg, void* dst, size_t size) {
    if (!RequestCarries(request, _IOC_WRITE, size)) return dev::Fail(EINVAL);
    if (arg == nullptr) return dev::Fail(EFAULT);
    std::memcpy(dst, arg, size);
    return 0;
}
inline int CopyRequestOutBytes(unsigned long request, void* arg, const void* src, size_t size) {
    if (!RequestCarries(request, _IOC_READ, size)) return dev::Fail(EINVAL);
    if (arg == nullptr) return dev::Fail(EFAULT);
    std::memcpy(arg, src, size);
    return 0;
}

// A request that carries no record.
inline int CheckNoRecord(unsigned long request) {
    return _IOC_DIR(request) == _IOC_NONE ? 0 : dev::Fail(EINVAL);
}

}  // namespace varnelle::drivers
