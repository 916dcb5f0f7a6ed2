#include "sdk/vi/mpi_vi.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kViPath = "/dev/vi";
constexpr int kSlotsPerDev = 4;  // the device functions use the first

struct ViModule {
    // Descriptors: per device (the device functions and the module parameters use slot 0 of a device),
    // and per channel.
    mk::DevSlot devFd[VIU_MAX_DEV_NUM][kSlotsPerDev];
    mk::DevSlot chnFd[VIU_MAX_CHN_NUM];
};

ViModule& Vi() {
    static auto* m = new ViModule;  // never destroyed: other threads may still call in at exit
    return *m;
}

#define VI_TRACE(func, fmt, ...) \
    std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:" fmt, func, __LINE__, ##__VA_ARGS__)

bool DevInRange(const char* func, VI_DEV dev) {
    if (static_cast<MK_U32>(dev) < VIU_MAX_DEV_NUM) return true;
    VI_TRACE(func, "ViPortId(%d) is invalid\r\n", dev);
    return false;
}

bool ChnInRange(const char* func, VI_CHN chn) {
    if (static_cast<MK_U32>(chn) < VIU_MAX_CHN_NUM) return true;
    VI_TRACE(func, "VIChnID(%d) is invalid\r\n", chn);
    return false;
}

bool NotNull(const char* func, const void* p) {
    if (p != nullptr) return true;
    VI_TRACE(func, "NULL point \r\n");
    return false;
}

// Opens and binds a device's descriptor: its fd, or -1 after the failure's message.
int OpenDev(VI_DEV dev) {
    mk::DevSlot& slot = Vi().devFd[dev][0];
    mk::DevSlot::Result r = slot.Ensure(kViPath, O_RDONLY, mk::vi::kBind, VI_DEV_WORD(dev));
    if (r == mk::DevSlot::kOpenFailed) std::printf("open vi(%d,%d) err, ret:%d \n", dev, 0, -1);
    return r == mk::DevSlot::kReady ? slot.fd() : -1;
}

int OpenChn(VI_CHN chn) {
    mk::DevSlot& slot = Vi().chnFd[chn];
    mk::DevSlot::Result r = slot.Ensure(kViPath, O_RDONLY, mk::vi::kBind, VI_CHN_WORD(chn));
    if (r == mk::DevSlot::kOpenFailed) std::printf("open chn %d err, ret:%d \n", chn, -1);
    return r == mk::DevSlot::kReady ? slot.fd() : -1;
}

constexpr MK_S32 kErrDev = MK_ERR(MK_ID_VIU, MK_ERR_INVALID_DEVID);
constexpr MK_S32 kErrChn = MK_ERR(MK_ID_VIU, MK_ERR_INVALID_CHNID);
constexpr MK_S32 kErrNull = MK_ERR(MK_ID_VIU, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrNotReady = MK_ERR(MK_ID_VIU, MK_ERR_SYS_NOTREADY);
constexpr MK_S32 kErrBusy = MK_ERR(MK_ID_VIU, MK_ERR_BUSY);

// The wrapper pattern: range check, null check, lazy open and bind, one request.
MK_S32 DevRequest(const char* func, VI_DEV dev, unsigned long request, void* arg, bool checkNull) {
    if (!DevInRange(func, dev)) return kErrDev;
    if (checkNull && !NotNull(func, arg)) return kErrNull;
    int fd = OpenDev(dev);
    if (fd < 0) return kErrNotReady;
    return dev::Ioctl(fd, request, arg);
}

MK_S32 ChnRequest(const char* func, VI_CHN chn, unsigned long request, void* arg, bool checkNull) {
    if (!ChnInRange(func, chn)) return kErrChn;
    if (checkNull && !NotNull(func, arg)) return kErrNull;
    int fd = OpenChn(chn);
    if (fd < 0) return kErrNotReady;
    return dev::Ioctl(fd, request, arg);
}

// The module parameters go through device 0's descriptor, opened before the null check.
MK_S32 ModRequest(const char* func, unsigned long request, void* arg) {
    int fd = OpenDev(0);
    if (fd < 0) return kErrNotReady;
    if (!NotNull(func, arg)) return kErrNull;
    return dev::Ioctl(fd, request, arg);
}

// Argument forms of the one-request members.
#define VI_ARG_NONE nullptr, false
#define VI_ARG_VALUE &value, false
#define VI_ARG_IN const_cast<void*>(static_cast<const void*>(pstAttr)), true
#define VI_ARG_IN_RAW const_cast<void*>(static_cast<const void*>(pstAttr)), false
#define VI_ARG_OUT pstAttr, true
#define VI_ARG_INOUT pstAttr, true
#define VI_MOD_ARG_IN const_cast<void*>(static_cast<const void*>(pstParam))
#define VI_MOD_ARG_OUT pstParam

#define VI_CALL_DEV(name, access) DevRequest(__func__, ViDev, mk::vi::k##name, VI_ARG_##access)
#define VI_CALL_CHN(name, access) ChnRequest(__func__, ViChn, mk::vi::k##name, VI_ARG_##access)
#define VI_CALL_MOD(name, access) ModRequest(__func__, mk::vi::k##name, VI_MOD_ARG_##access)

}  // namespace

#define VI_DEFINE(name, scope, access, nr, T) \
    MK_S32 MK_MPI_VI_##name MK_VI_PARAMS_##scope(access, T) { return VI_CALL_##scope(name, access); }
MK_VI_REQUESTS(VI_DEFINE)
#undef VI_DEFINE

MK_S32 MK_MPI_VI_GetFrame(VI_CHN ViChn, VIDEO_FRAME_INFO_S* pstFrameInfo, MK_S32 s32MilliSec) {
    if (!ChnInRange(__func__, ViChn)) return kErrChn;
    if (!NotNull(__func__, pstFrameInfo)) return kErrNull;
    int fd = OpenChn(ViChn);
    if (fd < 0) return kErrNotReady;
    // Zeroed, so nothing of this stack frame's past can reach the caller through fields the driver
    // leaves alone.
    VI_FRAME_REQ_S req;
    std::memset(&req, 0, sizeof(req));
    req.s32MilliSec = s32MilliSec;
    MK_S32 ret = dev::Ioctl(fd, mk::vi::kGetFrame, &req);
    if (ret == MK_SUCCESS) *pstFrameInfo = req.stFrame;
    return ret;
}

MK_S32 MK_MPI_VI_ReleaseFrame(VI_CHN ViChn, const VIDEO_FRAME_INFO_S* pstFrameInfo) {
    if (!ChnInRange(__func__, ViChn)) return kErrChn;
    if (!NotNull(__func__, pstFrameInfo)) return kErrNull;
    int fd = OpenChn(ViChn);
    if (fd < 0) return kErrNotReady;
    VIDEO_FRAME_INFO_S frame = *pstFrameInfo;
    return dev::Ioctl(fd, mk::vi::kReleaseFrame, &frame);
}

MK_S32 MK_MPI_VI_GetFd(VI_CHN ViChn) {
    if (!ChnInRange(__func__, ViChn)) return kErrChn;
    int fd = OpenChn(ViChn);
    return fd < 0 ? kErrNotReady : fd;
}

MK_S32 MK_MPI_VI_GetFileHandle(MK_U32 u32Handle) {
    auto dev = static_cast<VI_DEV>((u32Handle >> 16) & 0x7F);
    auto chn = static_cast<VI_CHN>(u32Handle & 0x7F);
    if (!DevInRange(__func__, dev)) return kErrDev;
    if (!ChnInRange(__func__, chn)) return kErrChn;
    int fd;
    if (u32Handle & 0x800000u) {
        fd = OpenDev(dev);
    } else if (u32Handle & 0x80u) {
        fd = OpenChn(chn);
    } else {
        return -1;
    }
    return fd < 0 ? kErrNotReady : fd;
}

MK_S32 MPI_VI_CloseFd(void) {
    // Every slot ends closed; any failed close is reported, not only the last one.
    bool failed = false;
    for (auto& dev : Vi().devFd) {
        for (mk::DevSlot& slot : dev) {
            if (slot.IsOpen() && slot.Close() != 0) {
                std::perror("Close Vi dev Fail");
                failed = true;
            }
        }
    }
    for (mk::DevSlot& slot : Vi().chnFd) {
        if (slot.IsOpen() && slot.Close() != 0) {
            std::perror("Close Vi chn Fail");
            failed = true;
        }
    }
    return failed ? kErrBusy : MK_SUCCESS;
}
