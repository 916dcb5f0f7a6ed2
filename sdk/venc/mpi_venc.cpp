#include "sdk/venc/mpi_venc.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"

namespace {

namespace dev = varnelle::dev;

constexpr const char* kVencPath = "/dev/venc";
constexpr const char* kSource = "sdk/code/shelf/venc/mpi/mpi_venc";
constexpr uintptr_t kPageMask = 0xFFF;
constexpr uint32_t kPageSize = 0x1000;
// Rings above this cannot be mapped twice within the 32-bit lengths the module keeps.
constexpr uint32_t kMaxBufSize = 0x40000000u;

struct ChnCtx {
    mk::DevSlot chnFd;  // bound to the channel; its lock serialises the lazy open
    // Held shared by a get for its whole run, the wait in the driver included, and taken alone by
    // Exit before it unmaps the ring, so a get never rewrites packs against a ring that is gone.
    std::shared_mutex getMutex;
    // The stream ring as this process sees it. Guarded by bufMutex; a caller keeps create, destroy,
    // get and release of one channel in one thread, the lock only keeps Exit safe against them.
    std::mutex bufMutex;
    MK_U32 u32BufPhyAddr = 0;
    MK_U32 u32BufDrvAddr = 0;
    MK_U8* pBufUserAddr = nullptr;
    MK_U32 u32BufSize = 0;
    void* pMapAddr = nullptr;
    MK_U32 u32MapLen = 0;
    // From the attributes given at creation; a later change of attributes keeps them.
    MK_U32 enType = 0;
    MK_U32 bByFrame = 0;
};

struct VencState {
    // Module life cycle: initOnce guards the flag so concurrent first calls initialise once.
    std::mutex initMutex;
    std::atomic<bool> inited{false};
    // Descriptors not bound to a channel: ring mapping, module parameters.
    mk::DevSlot memFd;
    mk::DevSlot modParamFd;
    // Channel records.
    ChnCtx chn[VENC_MAX_CHN_NUM];
};

VencState& State() {
    static VencState* state = new VencState;  // never destroyed
    return *state;
}

ChnCtx& Ctx(VENC_CHN VeChn) { return State().chn[VeChn]; }
int ChnFd(VENC_CHN VeChn) { return Ctx(VeChn).chnFd.fd(); }

// ---- Address translation between the driver's view, physical and user addresses ----

MK_U8* DrvToUser(const ChnCtx& c, uintptr_t drv) {
    return c.pBufUserAddr + static_cast<MK_U32>(static_cast<MK_U32>(drv) - c.u32BufDrvAddr);
}
// Physical memory has no mirror: an address past the ring's end is taken back to its start.
MK_U32 DrvToPhys(const ChnCtx& c, uintptr_t drv) {
    MK_U32 offset = static_cast<MK_U32>(drv) - c.u32BufDrvAddr;
    return c.u32BufPhyAddr + (c.u32BufSize != 0 ? offset % c.u32BufSize : offset);
}
uintptr_t UserToDrv(const ChnCtx& c, const MK_U8* user) {
    return static_cast<MK_U32>(static_cast<MK_U32>(user - c.pBufUserAddr) + c.u32BufDrvAddr);
}

// ---- The call frame ----

MK_S32 OpenChn(const char* func, VENC_CHN VeChn) {
    ChnCtx& c = Ctx(VeChn);
    if (c.chnFd.IsOpen()) return MK_SUCCESS;
    mk::DevSlot::Result r = mk::DevSlot::kOpenFailed;
    if (mk::DevSlot::NodeIsDevice(kVencPath)) {
        r = c.chnFd.Ensure(kVencPath, O_RDWR, VENC_IOC_BindChn, static_cast<uint32_t>(VeChn));
    }
    if (r == mk::DevSlot::kOpenFailed) {
        std::fprintf(stderr, "func:%s, Chn %d open err\n", func, VeChn);
        return MK_ERR_VENC_SYS_NOTREADY;
    }
    if (r == mk::DevSlot::kBindFailed) return MK_ERR_VENC_SYS_NOTREADY;
    return MK_SUCCESS;
}

bool ChnInRange(const char* func, VENC_CHN VeChn) {
    if (static_cast<MK_U32>(VeChn) < VENC_MAX_CHN_NUM) return true;
    std::fprintf(stderr, "func:%s, chnid %d err,should in [0,VENC_MAX_CHN_NUM)\n", func, VeChn);
    return false;
}

// Range check, module initialisation, lazy open and bind of the channel's descriptor.
MK_S32 ChnFrame(const char* func, VENC_CHN VeChn) {
    if (!ChnInRange(func, VeChn)) return MK_ERR_VENC_INVALID_CHNID;
    if (MPI_VENC_Init() != MK_SUCCESS) {
        std::fprintf(stderr, "func:%s, sys not ready in line:%d\n", func, __LINE__);
        return MK_ERR_VENC_SYS_NOTREADY;
    }
    return OpenChn(func, VeChn);
}

MK_S32 NullPtr(const char* func) {
    std::fprintf(stderr, "func:%s,NULL pointer detected\n", func);
    return MK_ERR_VENC_NULL_PTR;
}

MK_S32 BadTimeout(const char* func, MK_S32 s32MilliSec) {
    std::fprintf(stderr, "The param:s32MilliSec %d should larger than %d in func:%s\n", s32MilliSec, -1, func);
    return MK_ERR_VENC_ILLEGAL_PARAM;
}

enum class NullCheck { kNone, kAfterOpen, kFirst };

// The one-request wrapper every table entry runs.
MK_S32 ChnRequest(const char* func, VENC_CHN VeChn, unsigned long request, const void* arg, NullCheck check) {
    if (check == NullCheck::kFirst && arg == nullptr) return NullPtr(func);
    MK_S32 ret = ChnFrame(func, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (check == NullCheck::kAfterOpen && arg == nullptr) return NullPtr(func);
    return dev::Ioctl(ChnFd(VeChn), request, const_cast<void*>(arg));
}

MK_S32 ChnValueRequest(const char* func, VENC_CHN VeChn, unsigned long request, MK_U32 value) {
    MK_U32 copy = value;  // the driver may write back; the caller's value stays as given
    return ChnRequest(func, VeChn, request, &copy, NullCheck::kNone);
}

// ---- The stream ring mapping ----

// Opens the shared mapping descriptor if needed; false (message written) when it cannot be opened.
bool EnsureMemFd(const char* func) {
    if (State().memFd.Ensure(kVencPath, O_RDWR | O_SYNC) == mk::DevSlot::kReady) return true;
    std::fprintf(stderr, "func:%s line:%d,MK_MPI_VENC_Open: open mem device failed\n", func, __LINE__);
    return false;
}

// Maps the ring twice back to back so a pack running past its end reads on contiguously. Returns
// the user address of the ring's first byte, or null. Call with bufMutex held.
MK_U8* MapStreamBuf(ChnCtx& c) {
    uint32_t pageOffset = c.u32BufPhyAddr & kPageMask;
    uint32_t pageBase = c.u32BufPhyAddr & ~static_cast<uint32_t>(kPageMask);
    if (c.u32BufSize == 0 || c.u32BufSize > kMaxBufSize) {
        std::fprintf(stderr, "mmap err,page addr:%d u32PagePhy size:%d\n", static_cast<int>(pageBase), 0);
        return nullptr;
    }
    c.u32MapLen = ((c.u32BufSize - 1 + pageOffset) & ~static_cast<uint32_t>(kPageMask)) + kPageSize;
    void* map = dev::Mmap(nullptr, 2 * static_cast<size_t>(c.u32MapLen), PROT_READ | PROT_WRITE, MAP_SHARED,
                          State().memFd.fd(), static_cast<off_t>(pageBase));
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "mmap err,page addr:%d u32PagePhy size:%d\n", static_cast<int>(pageBase),
                     static_cast<int>(c.u32MapLen));
        c.pMapAddr = nullptr;
        c.u32MapLen = 0;
        return nullptr;
    }
    c.pMapAddr = map;
    return static_cast<MK_U8*>(map) + pageOffset;
}

// Drops this process's view of the ring. Call with bufMutex held.
void UnmapStreamBuf(ChnCtx& c) {
    if (c.pMapAddr != nullptr) dev::Munmap(c.pMapAddr, 2 * static_cast<size_t>(c.u32MapLen));
    c.pMapAddr = nullptr;
    c.u32MapLen = 0;
    c.pBufUserAddr = nullptr;
    c.u32BufPhyAddr = 0;
    c.u32BufSize = 0;
}

void StoreBufInfo(ChnCtx& c, const VENC_DRV_BUF_INFO_S& info) {
    c.u32BufPhyAddr = info.u32PhyAddr;
    c.u32BufDrvAddr = info.u32DrvAddr;
    c.u32BufSize = info.u32BufSize;
    c.pBufUserAddr = nullptr;
}

// Closes the channel's descriptor and, after the last one, the mapping descriptor.
MK_S32 CloseChnFd(VENC_CHN VeChn) {
    VencState& s = State();
    ChnCtx& c = s.chn[VeChn];
    if (!c.chnFd.IsOpen()) return MK_SUCCESS;
    int ret = c.chnFd.Close();
    if (ret != 0) {
        std::printf("Close VENC Channel %d Fd Fail\n", VeChn);
        return ret;
    }
    for (const ChnCtx& other : s.chn) {
        if (other.chnFd.IsOpen()) return MK_SUCCESS;
    }
    if (s.memFd.IsOpen()) {
        ret = s.memFd.Close();
        if (ret != 0) {
            std::perror("Close Venc Mem Fd Fail\n");
            return ret;
        }
    }
    return MK_SUCCESS;
}

}  // namespace

// ---- Module life cycle ----

MK_S32 MPI_VENC_Init(MK_VOID) {
    VencState& s = State();
    if (s.inited.load(std::memory_order_acquire)) return MK_SUCCESS;
    std::lock_guard<std::mutex> lock(s.initMutex);
    if (s.inited.load(std::memory_order_relaxed)) return MK_SUCCESS;
    for (ChnCtx& c : s.chn) {
        std::lock_guard<std::mutex> bufLock(c.bufMutex);
        UnmapStreamBuf(c);
        c.u32BufDrvAddr = 0;
        c.enType = 0;
        c.bByFrame = 0;
    }
    s.inited.store(true, std::memory_order_release);
    return MK_SUCCESS;
}

MK_S32 MPI_VENC_Exit(MK_VOID) {
    VencState& s = State();
    std::lock_guard<std::mutex> lock(s.initMutex);
    if (!s.inited.load(std::memory_order_acquire)) return MK_SUCCESS;
    // Calls that start from now on wait for the module in MPI_VENC_Init; gets already running see
    // the flag and give up.
    s.inited.store(false, std::memory_order_release);
    // Closing a channel's descriptor ends the wait of a get on it in the driver.
    for (VENC_CHN chn = 0; chn < VENC_MAX_CHN_NUM; ++chn) CloseChnFd(chn);
    for (ChnCtx& c : s.chn) {
        std::unique_lock<std::shared_mutex> gets(c.getMutex);
        // A later Init starts from zeroed records; a ring left mapped here would be lost for good.
        std::lock_guard<std::mutex> bufLock(c.bufMutex);
        UnmapStreamBuf(c);
    }
    return MK_SUCCESS;
}

// ---- Channels and the stream ring ----

MK_S32 MK_MPI_VENC_CreateChn(VENC_CHN VeChn, const VENC_CHN_ATTR_S* pstAttr) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstAttr == nullptr) return NullPtr(__func__);
    VENC_CHN_ATTR_S attr;
    std::memcpy(&attr, pstAttr, sizeof(attr));
    if (!EnsureMemFd(__func__)) return MK_ERR_VENC_SYS_NOTREADY;
    int fd = ChnFd(VeChn);
    ret = dev::Ioctl(fd, VENC_IOC_CreateChn, &attr);
    if (ret != MK_SUCCESS) return ret;
    VENC_DRV_BUF_INFO_S info{};
    ret = dev::Ioctl(fd, VENC_IOC_GetBufInfo, &info);
    if (ret != MK_SUCCESS) {
        dev::Ioctl(fd, VENC_IOC_DestroyChn, nullptr);
        return ret;
    }
    ChnCtx& c = Ctx(VeChn);
    std::lock_guard<std::mutex> lock(c.bufMutex);
    // A mapping left from an earlier life of the channel (destroyed behind this process's back)
    // would otherwise be overwritten and leak.
    UnmapStreamBuf(c);
    StoreBufInfo(c, info);
    c.enType = attr.stVeAttr.enType;
    c.bByFrame = attr.stVeAttr.au32Attr[4];  // the word at offset 20
    MK_U8* user = MapStreamBuf(c);
    if (user == nullptr) {
        dev::Ioctl(fd, VENC_IOC_DestroyChn, nullptr);
        c.u32BufPhyAddr = 0;
        c.u32BufSize = 0;
        return MK_ERR(MK_ID_VENC, MK_ERR_NOMEM);
    }
    c.pBufUserAddr = user;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VENC_DestroyChn(VENC_CHN VeChn) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    ret = dev::Ioctl(ChnFd(VeChn), VENC_IOC_DestroyChn, nullptr);
    if (ret != MK_SUCCESS) return ret;
    ChnCtx& c = Ctx(VeChn);
    std::lock_guard<std::mutex> lock(c.bufMutex);
    UnmapStreamBuf(c);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VENC_GetStream(VENC_CHN VeChn, VENC_STREAM_S* pstStream, MK_S32 s32MilliSec) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstStream == nullptr || pstStream->pstPack == nullptr) return NullPtr(__func__);
    if (s32MilliSec < -1) return BadTimeout(__func__, s32MilliSec);
    ChnCtx& c = Ctx(VeChn);
    std::shared_lock<std::shared_mutex> get(c.getMutex);
    // An Exit that ran since the call frame has closed the descriptor and unmaps the ring.
    auto exited = [] { return !State().inited.load(std::memory_order_acquire); };
    if (exited()) return MK_ERR_VENC_SYS_NOTREADY;
    int fd = ChnFd(VeChn);
    {
        std::lock_guard<std::mutex> lock(c.bufMutex);
        if (c.pBufUserAddr == nullptr) {
            VENC_DRV_BUF_INFO_S info{};
            ret = dev::Ioctl(fd, VENC_IOC_GetBufInfo, &info);
            if (ret != MK_SUCCESS) return ret;
            UnmapStreamBuf(c);
            StoreBufInfo(c, info);
            if (!EnsureMemFd(__func__)) return MK_ERR_VENC_SYS_NOTREADY;
            c.pBufUserAddr = MapStreamBuf(c);
            if (c.pBufUserAddr == nullptr) return MK_ERR(MK_ID_VENC, MK_ERR_NOMEM);
        }
    }
    // The wait happens without the ring lock, so a release from another thread is not held up.
    MK_S32 timeout = s32MilliSec;
    ret = dev::Ioctl(fd, VENC_IOC_SetGetTimeout, &timeout);
    if (ret != MK_SUCCESS) return exited() ? MK_ERR_VENC_SYS_NOTREADY : ret;
    const MK_U32 capacity = pstStream->u32PackCnt;
    ret = dev::Ioctl(fd, VENC_IOC_GetStream, pstStream);
    if (ret != MK_SUCCESS) return exited() ? MK_ERR_VENC_SYS_NOTREADY : ret;
    // Rewriting more packs than the caller's array holds would write past it.
    MK_ASSERT_IN(kSource, pstStream->u32PackCnt <= capacity);
    std::lock_guard<std::mutex> lock(c.bufMutex);
    for (MK_U32 i = 0; i < pstStream->u32PackCnt; ++i) {
        VENC_PACK_S* pstPack = &pstStream->pstPack[i];
        MK_ASSERT_IN(kSource, pstPack->u32Len >= VENC_STREAM_OFFSET);
        uintptr_t drv = reinterpret_cast<uintptr_t>(pstPack->pu8UserAddr);
        pstPack->u32Len -= VENC_STREAM_OFFSET;
        pstPack->u32PhysAddr = DrvToPhys(c, drv + VENC_STREAM_OFFSET);
        pstPack->pu8UserAddr = DrvToUser(c, drv) + VENC_STREAM_OFFSET;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VENC_ReleaseStream(VENC_CHN VeChn, VENC_STREAM_S* pstStream) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstStream == nullptr || pstStream->pstPack == nullptr) return NullPtr(__func__);
    ChnCtx& c = Ctx(VeChn);
    std::lock_guard<std::mutex> lock(c.bufMutex);
    for (MK_U32 i = 0; i < pstStream->u32PackCnt; ++i) {
        VENC_PACK_S* pstPack = &pstStream->pstPack[i];
        pstPack->u32Len += VENC_STREAM_OFFSET;
        pstPack->pu8UserAddr = reinterpret_cast<MK_U8*>(UserToDrv(c, pstPack->pu8UserAddr) - VENC_STREAM_OFFSET);
    }
    ret = dev::Ioctl(ChnFd(VeChn), VENC_IOC_ReleaseStream, pstStream);
    if (ret != MK_SUCCESS) {
        for (MK_U32 i = 0; i < pstStream->u32PackCnt; ++i) {
            VENC_PACK_S* pstPack = &pstStream->pstPack[i];
            pstPack->u32Len -= VENC_STREAM_OFFSET;
            pstPack->pu8UserAddr =
                DrvToUser(c, reinterpret_cast<uintptr_t>(pstPack->pu8UserAddr)) + VENC_STREAM_OFFSET;
        }
    }
    return ret;
}

MK_S32 MK_MPI_VENC_GetStreamBufInfo(VENC_CHN VeChn, VENC_STREAM_BUF_INFO_S* pstBufInfo) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstBufInfo == nullptr) return NullPtr(__func__);
    ChnCtx& c = Ctx(VeChn);
    std::lock_guard<std::mutex> lock(c.bufMutex);
    if (c.u32BufPhyAddr == 0 || c.pBufUserAddr == nullptr || c.u32BufSize == 0) return MK_ERR_VENC_UNEXIST;
    pstBufInfo->u32PhyAddr = c.u32BufPhyAddr;
    pstBufInfo->pUserAddr = c.pBufUserAddr;
    pstBufInfo->u32BufSize = c.u32BufSize;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VENC_GetFd(VENC_CHN VeChn) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    return ChnFd(VeChn);
}

MK_S32 MK_MPI_VENC_CloseFd(VENC_CHN VeChn) {
    if (!ChnInRange(__func__, VeChn)) return MK_ERR_VENC_INVALID_CHNID;
    return CloseChnFd(VeChn);
}

// ---- Operations that check more than the pattern ----

MK_S32 MK_MPI_VENC_InsertUserData(VENC_CHN VeChn, MK_U8* pu8Data, MK_U32 u32Len) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pu8Data == nullptr) return NullPtr(__func__);
    if (u32Len == 0 || u32Len > VENC_USER_DATA_MAX) return MK_ERR_VENC_ILLEGAL_PARAM;
    VENC_USER_DATA_S data{pu8Data, u32Len};
    return dev::Ioctl(ChnFd(VeChn), VENC_IOC_InsertUserData, &data);
}

MK_S32 MK_MPI_VENC_SendFrame(VENC_CHN VeChn, const VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstFrame == nullptr) return NullPtr(__func__);
    if (s32MilliSec < -1) return BadTimeout(__func__, s32MilliSec);
    MK_S32 timeout = s32MilliSec;
    ret = dev::Ioctl(ChnFd(VeChn), VENC_IOC_SetSendTimeout, &timeout);
    if (ret != MK_SUCCESS) return ret;
    return dev::Ioctl(ChnFd(VeChn), VENC_IOC_SendFrame, const_cast<VIDEO_FRAME_INFO_S*>(pstFrame));
}

MK_S32 MK_MPI_VENC_GetRoiCfg(VENC_CHN VeChn, MK_U32 u32Index, VENC_ROI_CFG_S* pstRoiCfg) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (u32Index >= VENC_MAX_ROI_NUM) {
        std::fprintf(stderr, "func:%s, RoiIndex  %d err,should in [0,VENC_MAX_ROI_NUM)\n", __func__,
                     static_cast<int>(u32Index));
        return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    if (pstRoiCfg == nullptr) return NullPtr(__func__);
    pstRoiCfg->u32Index = u32Index;
    return dev::Ioctl(ChnFd(VeChn), VENC_IOC_GetRoiCfg, pstRoiCfg);
}

MK_S32 MK_MPI_VENC_SetRoiCfg(VENC_CHN VeChn, const VENC_ROI_CFG_S* pstRoiCfg) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstRoiCfg == nullptr) return NullPtr(__func__);
    if (pstRoiCfg->u32Index >= VENC_MAX_ROI_NUM) {
        std::fprintf(stderr, "func:%s, RoiIndex  %d err,should in [0,VENC_MAX_ROI_NUM)\n", __func__,
                     static_cast<int>(pstRoiCfg->u32Index));
        return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    return dev::Ioctl(ChnFd(VeChn), VENC_IOC_SetRoiCfg, const_cast<VENC_ROI_CFG_S*>(pstRoiCfg));
}

MK_S32 MK_MPI_VENC_SetIntraRefresh(VENC_CHN VeChn, const VENC_PARAM_INTRA_REFRESH_S* pstIntraRefresh) {
    MK_S32 ret = ChnFrame(__func__, VeChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstIntraRefresh == nullptr) return NullPtr(__func__);
    const ChnCtx& c = Ctx(VeChn);
    if (pstIntraRefresh->bISliceEnable == MK_TRUE) {
        if (c.enType != PT_H264) {
            std::fprintf(stderr, "func:%s, chnid (%d) enType is (%d),not support refresh ISlice\n", __func__, VeChn,
                         static_cast<int>(c.enType));
            return MK_ERR_VENC_NOT_SUPPORT;
        }
        if (c.bByFrame != MK_TRUE) {
            std::fprintf(stderr, "func:%s, chnid (%d) bByFrame is (%d),not support refresh ISlice\n", __func__,
                         VeChn, static_cast<int>(c.bByFrame));
            return MK_ERR_VENC_NOT_SUPPORT;
        }
        if (pstIntraRefresh->bRefreshEnable != MK_TRUE) {
            std::fprintf(stderr, "func:%s, chnid (%d) bRefreshEnable(%d) is not Enable\n", __func__, VeChn,
                         static_cast<int>(pstIntraRefresh->bRefreshEnable));
            return MK_ERR_VENC_NOT_SUPPORT;
        }
    } else if (pstIntraRefresh->bISliceEnable > MK_TRUE) {
        std::fprintf(stderr, "func:%s, chnid (%d) bISliceEnable(%d) should be MK_TRUE or MK_FALSE\n", __func__,
                     VeChn, static_cast<int>(pstIntraRefresh->bISliceEnable));
        return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    return dev::Ioctl(ChnFd(VeChn), VENC_IOC_SetIntraRefresh,
                      const_cast<VENC_PARAM_INTRA_REFRESH_S*>(pstIntraRefresh));
}

namespace {

// The module-parameter pair: no channel, a descriptor of its own that is never bound.
MK_S32 ModParamRequest(const char* func, unsigned long request, const VENC_PARAM_MOD_S* pstModParam) {
    if (pstModParam == nullptr) return NullPtr(func);
    mk::DevSlot& slot = State().modParamFd;
    // 0 is a valid descriptor: only a negative slot is closed.
    if (!slot.IsOpen() &&
        (!mk::DevSlot::NodeIsDevice(kVencPath) || slot.Ensure(kVencPath, O_RDWR) != mk::DevSlot::kReady)) {
        std::printf("open venc err");
        return MK_ERR_VENC_SYS_NOTREADY;
    }
    return dev::Ioctl(slot.fd(), request, const_cast<VENC_PARAM_MOD_S*>(pstModParam));
}

}  // namespace

MK_S32 MK_MPI_VENC_SetModParam(const VENC_PARAM_MOD_S* pstModParam) {
    return ModParamRequest(__func__, VENC_IOC_SetModParam, pstModParam);
}

MK_S32 MK_MPI_VENC_GetModParam(VENC_PARAM_MOD_S* pstModParam) {
    return ModParamRequest(__func__, VENC_IOC_GetModParam, pstModParam);
}

// ---- The one-request operations, generated from the table ----

#define MK_VENC_CALL_NONE(Func, Record) ChnRequest(__func__, VeChn, VENC_IOC_##Func, nullptr, NullCheck::kNone)
#define MK_VENC_CALL_VAL(Func, Record) ChnValueRequest(__func__, VeChn, VENC_IOC_##Func, u32Value)
#define MK_VENC_CALL_PTR(Func, Record) ChnRequest(__func__, VeChn, VENC_IOC_##Func, pstRecord, NullCheck::kAfterOpen)
#define MK_VENC_CALL_PTR_NULL_FIRST(Func, Record) \
    ChnRequest(__func__, VeChn, VENC_IOC_##Func, pstRecord, NullCheck::kFirst)
#define MK_VENC_CALL_PTR_UNCHECKED(Func, Record) \
    ChnRequest(__func__, VeChn, VENC_IOC_##Func, pstRecord, NullCheck::kNone)

#define MK_VENC_DEFINE_FUNC(Func, Kind, Dir, Nr, Record, Key) \
    MK_S32 MK_MPI_VENC_##Func(MK_VENC_ARGS_##Kind(Dir, Record)) { return MK_VENC_CALL_##Kind(Func, Record); }
MK_VENC_REQUEST_TABLE(MK_VENC_DEFINE_FUNC)
#undef MK_VENC_DEFINE_FUNC
