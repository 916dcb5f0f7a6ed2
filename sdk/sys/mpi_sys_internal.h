// State and helpers shared by the source files of the SYS module; not part of its interface.
#pragma once

#include <mutex>

#include "sdk/common/mk_dev.h"
#include "sdk/common/mk_type.h"

namespace mk::sys {

struct SysModule {
    // Descriptors, each closed (-1) until first use.
    DevSlot sys;  // /dev/sys: requests and cached mappings
    DevSlot mem;  // /dev/mem: uncached mappings
    DevSlot log;  // /dev/logmpp
    DevSlot mmz;  // /dev/mmz_userdev, used under mmzMutex
    // Zone operations run whole under this lock, so allocation and map (or unmap and free) pair up.
    std::mutex mmzMutex;
};

// The module's state; never destroyed.
SysModule& Module();

// Opens /dev/sys if needed: 0, or errno after "open sys" through perror.
MK_S32 OpenSys();
// One request on /dev/sys: the driver's answer, or errno when the node cannot be opened.
MK_S32 SysIoctl(unsigned long request, void* arg);

constexpr MK_S32 kErrNull = MK_ERR(MK_ID_SYS, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrPerm = MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
constexpr MK_S32 kErrNotReady = MK_ERR(MK_ID_SYS, MK_ERR_SYS_NOTREADY);

}  // namespace mk::sys
