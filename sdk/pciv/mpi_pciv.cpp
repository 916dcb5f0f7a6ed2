#include "sdk/pciv/mpi_pciv.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"

namespace dev = varnelle::dev;

namespace {

constexpr MK_S32 kErrInvalidChn = MK_ERR(MK_ID_PCIV, MK_ERR_INVALID_CHNID);
constexpr MK_S32 kErrNullPtr = MK_ERR(MK_ID_PCIV, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrNoBuf = MK_ERR(MK_ID_PCIV, MK_ERR_NOBUF);
constexpr MK_S32 kErrNotReady = MK_ERR(MK_ID_PCIV, MK_ERR_SYS_NOTREADY);

struct PcivState {
    // One descriptor per channel; the chip-wide calls use slot 0 bound to channel 0.
    mk::DevSlot slots[PCIV_MAX_CHN_NUM];
};

PcivState& State() {
    static auto* s = new PcivState;
    return *s;
}

// Opens and binds `chn`'s slot; 0 or the not-ready code.
MK_S32 OpenSlot(MK_U32 chn, const char* func) {
    mk::DevSlot& slot = State().slots[chn];
    int bindResult = 0;
    switch (slot.Ensure("/dev/pciv", O_RDONLY, PCIV_BINDCHN2FD_CTRL, chn, false, true, &bindResult)) {
        case mk::DevSlot::kReady:
            return MK_SUCCESS;
        case mk::DevSlot::kOpenFailed:
            std::perror("open PCIV Error");
            return kErrNotReady;
        case mk::DevSlot::kBindFailed:
            if (bindResult == -1) {
                std::perror("Ioctl Error");
                std::printf("Func:%s,Line:%d,ErrNo:0x%x\n", func, __LINE__, bindResult);
            }
            return kErrNotReady;
    }
    return kErrNotReady;
}

// One request on an open slot: interrupted calls are repeated; -1 is reported and returned.
MK_S32 Request(MK_U32 chn, unsigned long request, void* arg, const char* func, int line) {
    int ret = mk::IoctlRetryEintr(State().slots[chn].fd(), request, arg);
    if (ret == -1) {
        std::perror("Ioctl Error");
        std::printf("Func:%s,Line:%d,ErrNo:0x%x\n", func, line, ret);
    }
    return ret;
}

#define PCIV_REQUEST(chn, req, arg) Request((chn), (req), (arg), __FUNCTION__, __LINE__)

#define PCIV_CHECK_CHN(chn)                              \
    do {                                                 \
        if (static_cast<MK_U32>(chn) >= PCIV_MAX_CHN_NUM) { \
            MK_TRACE("invalid chn id:%d \n", (chn));     \
            return kErrInvalidChn;                       \
        }                                                \
    } while (0)

#define PCIV_OPEN(chn)                                        \
    do {                                                      \
        MK_S32 s32OpenRet = OpenSlot((chn), __FUNCTION__);    \
        if (s32OpenRet != MK_SUCCESS) return s32OpenRet;      \
    } while (0)

}  // namespace

MK_S32 MK_MPI_PCIV_Create(MK_S32 s32PcivChn, const PCIV_ATTR_S* pstAttr) {
    PCIV_CHECK_CHN(s32PcivChn);
    PCIV_OPEN(s32PcivChn);
    if (pstAttr == nullptr) return kErrNullPtr;
    return PCIV_REQUEST(s32PcivChn, PCIV_CREATE_CTRL, const_cast<PCIV_ATTR_S*>(pstAttr));
}

MK_S32 MK_MPI_PCIV_Destroy(MK_S32 s32PcivChn) {
    PCIV_CHECK_CHN(s32PcivChn);
    PCIV_OPEN(s32PcivChn);
    return PCIV_REQUEST(s32PcivChn, PCIV_DESTROY_CTRL, nullptr);
}

MK_S32 MK_MPI_PCIV_Start(MK_S32 s32PcivChn) {
    PCIV_CHECK_CHN(s32PcivChn);
    PCIV_OPEN(s32PcivChn);
    return PCIV_REQUEST(s32PcivChn, PCIV_START_CTRL, nullptr);
}

MK_S32 MK_MPI_PCIV_Stop(MK_S32 s32PcivChn) {
    PCIV_CHECK_CHN(s32PcivChn);
    PCIV_OPEN(s32PcivChn);
    return PCIV_REQUEST(s32PcivChn, PCIV_STOP_CTRL, nullptr);
}

MK_S32 MK_MPI_PCIV_Malloc(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, MK_U32 au32PhyAddr[]) {
    PCIV_OPEN(0);
    if (u32BlkCnt == 0) return MK_SUCCESS;
    if (au32PhyAddr == nullptr) return kErrNullPtr;
    for (MK_U32 i = 0; i < u32BlkCnt; ++i) {
        PCIV_IOC_MALLOC_S stMalloc = {0, u32BlkSize};
        MK_S32 s32Ret = PCIV_REQUEST(0, PCIV_MALLOC_CTRL, &stMalloc);
        if (s32Ret != MK_SUCCESS) {
            // All or nothing: give back what this call took, newest first.
            while (i-- > 0) PCIV_REQUEST(0, PCIV_FREE_CTRL, &au32PhyAddr[i]);
            return s32Ret;
        }
        au32PhyAddr[i] = stMalloc.u32PhyAddr;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_PCIV_Free(MK_U32 u32BlkCnt, const MK_U32 au32PhyAddr[]) {
    PCIV_OPEN(0);
    if (u32BlkCnt == 0) return MK_SUCCESS;
    if (au32PhyAddr == nullptr) return kErrNullPtr;
    for (MK_U32 i = 0; i < u32BlkCnt; ++i) {
        MK_U32 u32Addr = au32PhyAddr[i];
        MK_S32 s32Ret = PCIV_REQUEST(0, PCIV_FREE_CTRL, &u32Addr);
        if (s32Ret != MK_SUCCESS) return s32Ret;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_PCIV_MallocChnBuffer(MK_S32 s32PcivChn, MK_U32 u32BlkSize, MK_U32 u32BlkCnt, MK_U32 au32PhyAddr[]) {
    PCIV_CHECK_CHN(s32PcivChn);
    PCIV_OPEN(s32PcivChn);
    if (u32BlkCnt == 0) return MK_SUCCESS;
    if (au32PhyAddr == nullptr) return kErrNullPtr;
    for (MK_U32 i = 0; i < u32BlkCnt; ++i) {
        PCIV_IOC_MALLOC_CHN_BUF_S stBuf = {static_cast<MK_U32>(s32PcivChn), i, 0, u32BlkSize};
        MK_S32 s32Ret = PCIV_REQUEST(s32PcivChn, PCIV_MALLOC_CHN_BUF_CTRL, &stBuf);
        if (s32Ret != MK_SUCCESS) {
            while (i-- > 0) {
                MK_U32 u32Index = i;
                PCIV_REQUEST(s32PcivChn, PCIV_FREE_CHN_BUF_CTRL, &u32Index);
            }
            return s32Ret;
        }
        au32PhyAddr[i] = stBuf.u32PhyAddr;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_PCIV_DmaTask(PCIV_DMA_TASK_S* pstTask) {
    PCIV_OPEN(0);
    if (pstTask == nullptr) return kErrNullPtr;
    if (pstTask->u32Count > PCIV_MAX_DMABLK) return kErrNoBuf;
    return PCIV_REQUEST(0, PCIV_DMATASK_CTRL, pstTask);
}

MK_S32 MK_MPI_PCIV_GetLocalId(MK_VOID) {
    if (OpenSlot(0, __FUNCTION__) != MK_SUCCESS) return -1;
    MK_S32 s32Id = -1;
    return PCIV_REQUEST(0, PCIV_GETLOCALID_CTRL, &s32Id) == MK_SUCCESS ? s32Id : -1;
}

MK_S32 MK_MPI_PCIV_EnumChip(MK_S32 as32ChipID[PCIV_MAX_CHIPNUM]) {
    if (OpenSlot(0, __FUNCTION__) != MK_SUCCESS) return -1;
    if (as32ChipID == nullptr) return -1;
    MK_S32 as32List[PCIV_MAX_CHIPNUM];
    if (PCIV_REQUEST(0, PCIV_ENUMCHIPID_CTRL, as32List) != MK_SUCCESS) return -1;
    std::memcpy(as32ChipID, as32List, sizeof(as32List));
    return MK_SUCCESS;
}

MK_S32 MK_MPI_PCIV_GetBaseWindow(MK_S32 s32ChipId, PCIV_BASEWINDOW_S* pstBase) {
    PCIV_OPEN(0);
    if (pstBase == nullptr) return kErrNullPtr;
    pstBase->s32ChipId = s32ChipId;
    return PCIV_REQUEST(0, PCIV_GETBASEWINDOW_CTRL, pstBase);
}

MK_S32 MK_MPI_PCIV_WinVbCreate(const PCIV_WINVBCFG_S* pstConfig) {
    PCIV_OPEN(0);
    if (pstConfig == nullptr) return kErrNullPtr;
    return PCIV_REQUEST(0, PCIV_WINVBCREATE_CTRL, const_cast<PCIV_WINVBCFG_S*>(pstConfig));
}

MK_S32 MK_MPI_PCIV_WinVbDestroy(MK_VOID) {
    PCIV_OPEN(0);
    return PCIV_REQUEST(0, PCIV_WINVBDESTROY_CTRL, nullptr);
}
