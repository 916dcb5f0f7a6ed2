// Copying a request's record in or out, checked the way a kernel driver checks what the caller's
// request number claims.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

// The request must carry data in the copy's direction and its size must match the record, else
// -1/EINVAL; a null argument gives -1/EFAULT.
template <typename T>
int CopyRequestIn(unsigned long request, const void* arg, T* out) {
    if (!(_IOC_DIR(request) & _IOC_WRITE) || _IOC_SIZE(request) != sizeof(T)) return dev::Fail(EINVAL);
    return dev::CopyIn(out, arg);
}
template <typename T>
int CopyRequestOut(unsigned long request, void* arg, const T& value) {
    if (!(_IOC_DIR(request) & _IOC_READ) || _IOC_SIZE(request) != sizeof(T)) return dev::Fail(EINVAL);
    return dev::CopyOut(arg, value);
}

}  // namespace varnelle::drivers
