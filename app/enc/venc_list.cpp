#include "app/enc/venc_list.h"

#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/enc/enc_worker.h"
#include "app/enc/venc_chn.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/venc/mpi_venc.h"

namespace {

constexpr const char* kSrc = "../enc/venc.c";
constexpr uint64_t kVencListBytes = 32u << 20;
constexpr uint32_t kVencListFrames = 4096;
constexpr uint64_t kAencListBytes = 8u << 20;
constexpr uint32_t kAencListFrames = 1024;
constexpr int kIdleWaitMs = 10;
constexpr int kAencWaitMs = 200;

struct ListSlot {
    CapList stList{nullptr, nullptr};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
ListSlot g_astList[CAPTURE_LIST_MAX];
std::atomic<uint32_t> g_u32Next{0};  // the list after the last one served

EncWorker g_vencWorker;
EncWorker g_aencWorker[CAPTURE_CHN_NUM];
std::mutex g_startMutex;  // starts and stops of the list threads

uint32_t ChnEnd(const SlaveSysCfg& cfg) {
    return std::min<uint32_t>(cfg.u32ChnEnd, CAPTURE_CHN_NUM);
}

// The streams of this chip's channels share the list limits; at least one, so the share never divides
// by zero on a chip whose first channel is 0.
uint32_t StreamShare(const SlaveSysCfg& cfg) {
    return std::max<uint32_t>(1, 2 * static_cast<uint32_t>(std::clamp(CommChipChnNumOf(cfg), 0, CAPTURE_CHN_NUM)));
}

// Bytes and frames a list holds.
void ListLoad(const CapList* pList, uint64_t* pu64Bytes, uint32_t* pu32Frames) {
    *pu64Bytes = 0;
    *pu32Frames = 0;
    for (const CapFrameNode* p = pList->pOldest; p != nullptr; p = p->pNext) {
        *pu64Bytes += p->u32Used;
        *pu32Frames += p->u32SlotCnt;
    }
}

bool ListBelow(uint32_t u32Index, uint64_t u64Bytes, uint32_t u32Frames) {
    uint64_t b = 0;
    uint32_t f = 0;
    ListLoad(CaptureGetList(u32Index), &b, &f);
    return b < u64Bytes && f < u32Frames;
}

}  // namespace

uint32_t CaptureListCount() {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    return std::min<uint32_t>(CAPTURE_LIST_MAX, 3 * ChnEnd(cfg) + std::min<uint32_t>(cfg.u32DecNum, 48));
}

CapList* CaptureGetList(uint32_t u32Index) {
    return u32Index < CaptureListCount() ? &g_astList[u32Index].stList : nullptr;
}

int CaptureListLock(uint32_t u32Index) {
    return u32Index < CAPTURE_LIST_MAX ? pthread_mutex_lock(&g_astList[u32Index].mutex) : -1;
}

int CaptureListUnlock(uint32_t u32Index) {
    return u32Index < CAPTURE_LIST_MAX ? pthread_mutex_unlock(&g_astList[u32Index].mutex) : -1;
}

int32_t CaptureJpegListOf(int32_t s32Chn) {
    if (s32Chn < 0) return -1;
    const int64_t idx = 2 * static_cast<int64_t>(ChnEnd(SlaveGetSysCfg())) + s32Chn;
    return idx < CaptureListCount() ? static_cast<int32_t>(idx) : -1;
}

void CaptureListsClear() {
    for (uint32_t i = 0; i < CAPTURE_LIST_MAX; ++i) {
        CaptureListLock(i);
        CapList& l = g_astList[i].stList;
        while (l.pOldest != nullptr) CapListFree(&l, l.pOldest);
        l.pNewest = nullptr;
        CaptureListUnlock(i);
    }
    g_u32Next = 0;
}

int CaptureGetBuffer(int32_t* ps32Channel, uint32_t* pu32Type, CaptureBufferS* pstMemory) {
    if (ps32Channel == nullptr || pu32Type == nullptr || pstMemory == nullptr) {
        APP_ERR(kSrc, "pchannel:%p pdwType:%p phMemory:%p", static_cast<void*>(ps32Channel),
                static_cast<void*>(pu32Type), static_cast<void*>(pstMemory));
        return -1;
    }
    const uint32_t n = CaptureListCount();
    if (n == 0) return -1;
    const uint32_t end2 = 2 * ChnEnd(SlaveGetSysCfg());
    const uint32_t start = g_u32Next.load() % n;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t idx = (start + i) % n;
        int r = CaptureListLock(idx);
        if (r != 0) {
            APP_ERR(kSrc, "VencCapStream chan :%d lock failed %#x", static_cast<int>(idx), r);
            continue;
        }
        CapList* pList = &g_astList[idx].stList;
        CapFrameNode* pNode = CapListGet(pList);
        const bool bSubStream = idx < end2 && idx % 2 == 1;
        if (pNode == nullptr || !(pNode->bFull != 0 || (bSubStream && pNode->u32SlotCnt > 1))) {
            CaptureListUnlock(idx);
            continue;
        }
        std::copy(std::begin(pNode->astSlot), std::end(pNode->astSlot), pstMemory->astSlot);
        pstMemory->u32SlotCnt = pNode->u32SlotCnt;
        pstMemory->u32Used = pNode->u32Used;
        pstMemory->u32Capacity = pNode->stBuf.u32Capacity;
        pstMemory->pu8Data = pNode->stBuf.pu8WritePos != nullptr ? pNode->stBuf.pu8WritePos - pNode->u32Used : nullptr;
        CapListFree(pList, pNode);
        CaptureListUnlock(idx);
        g_u32Next = idx + 1;
        if (idx < end2) {
            *ps32Channel = static_cast<int32_t>(idx / 2);
            *pu32Type = idx % 2;
        } else {
            *ps32Channel = static_cast<int32_t>(idx - end2);
            *pu32Type = CAPTURE_STREAM_JPEG;
        }
        return 0;
    }
    return -1;
}

int VencGetStreamPass() {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t share = StreamShare(cfg);
    const uint32_t end = ChnEnd(cfg);
    int stored = 0;
    int r = CaptureLock();
    if (r != 0) {
        APP_ERR(kSrc, "VencCapStream chan :%d lock failed %#x", -1, r);
        return -1;
    }
    for (uint32_t c = std::min(cfg.u32ChnStart, end); c < end; ++c) {
        for (uint32_t kind = 0; kind < 2; ++kind) {
            CaptureStreamRec* pSt = CaptureStream(c, kind);
            if (pSt->s32Created.load() == 0 || pSt->s32Receiving.load() == 0) continue;
            const VENC_CHN e = pSt->s32VencChn;
            VENC_CHN_STATUS_S stStat{};
            if (MK_MPI_VENC_Query(e, &stStat) != 0 || stStat.u32LeftStreamFrames == 0) continue;
            std::vector<VENC_PACK_S> packs(std::max<uint32_t>(1, stStat.u32FramePacks));
            VENC_STREAM_S stStream{};
            stStream.pstPack = packs.data();
            stStream.u32PackCnt = static_cast<MK_U32>(packs.size());
            MK_S32 ret = MK_MPI_VENC_GetStream(e, &stStream, 0);
            if (ret != 0) {
                CaptureUnlock();
                return -1;
            }
            const uint32_t idx = 2 * c + kind;
            if (pSt->s32Enabled.load() != 0) {
                CaptureListLock(idx);
                if (ListBelow(idx, kVencListBytes / share, kVencListFrames / share)) {
                    CapStreamInfo info{pSt->u32FrameRate, pSt->u32Width, pSt->u32Height, 0};
                    if (VencCopy2Buf(&info, CaptureGetList(idx), &stStream) == 0) ++stored;
                }
                CaptureListUnlock(idx);
            }
            ret = MK_MPI_VENC_ReleaseStream(e, &stStream);
            if (ret != 0) {
                APP_ERR(kSrc, "MK_MPI_VENC_ReleaseStream failed %#x", ret);
                CaptureUnlock();
                return -1;
            }
        }
    }
    CaptureUnlock();
    return stored;
}

int VencGetStreamStart() {
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (g_vencWorker.thread.joinable()) return 0;
    g_vencWorker.thread = std::thread([] {
        while (!g_vencWorker.Stopping()) {
            if (VencGetStreamPass() <= 0 && g_vencWorker.Wait(kIdleWaitMs)) break;
        }
    });
    return 0;
}

void VencGetStreamStop() {
    std::lock_guard<std::mutex> lock(g_startMutex);
    g_vencWorker.Stop();
}

int AencGetStreamPass(int32_t s32Chn, int32_t s32WaitMs) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr) return -1;
    const MK_S32 fd = MK_MPI_AENC_GetFd(s32Chn);
    if (fd < 0) {
        APP_ERR(kSrc, "select err");
        return -1;
    }
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, s32WaitMs);
    if (n < 0) {
        APP_ERR(kSrc, "select err");
        return 0;
    }
    if (n == 0) {
        APP_ERR(kSrc, "get aenc stream select time out");
        return 0;
    }
    AUDIO_STREAM_S stStream{};
    MK_S32 ret = MK_MPI_AENC_GetStream(s32Chn, &stStream, 0);
    if (ret != 0) {
        APP_ERR(kSrc, "get stream from aenc chn %d failed with %#x!", s32Chn, ret);
        return -1;
    }
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t share = StreamShare(cfg);
    uint32_t au32Audio[2] = {0, 0};
    int r = CaptureLock();
    if (r != 0) {
        APP_ERR(kSrc, "VencCapStream chan :%d lock failed %#x", s32Chn, r);
    } else {
        au32Audio[0] = pChn->u32AudioMain;
        au32Audio[1] = pChn->u32AudioSub;
        CaptureUnlock();
    }
    for (uint32_t kind = 0; kind < 2; ++kind) {
        const CaptureStreamRec& st = pChn->astStream[kind];
        if (st.s32Receiving.load() == 0 || pChn->s32CaptureStarted.load() == 0 || au32Audio[kind] == 0) continue;
        const uint32_t idx = 2 * static_cast<uint32_t>(s32Chn) + kind;
        if (CaptureGetList(idx) == nullptr) continue;
        r = CaptureListLock(idx);
        if (r != 0) {
            APP_ERR(kSrc, "VencCapStream chan :%d lock failed %#x", static_cast<int>(idx), r);
            continue;
        }
        if (ListBelow(idx, kAencListBytes / share, kAencListFrames / share)) {
            AencCopy2Buf(nullptr, CaptureGetList(idx), &stStream);
        }
        CaptureListUnlock(idx);
    }
    MK_MPI_AENC_ReleaseStream(s32Chn, &stStream);
    return 1;
}

int AencGetStreamStart(int32_t s32Chn) {
    if (static_cast<uint32_t>(s32Chn) >= CAPTURE_CHN_NUM) return -1;
    std::lock_guard<std::mutex> lock(g_startMutex);
    EncWorker& w = g_aencWorker[s32Chn];
    if (w.thread.joinable()) return 0;
    w.thread = std::thread([s32Chn, &w] {
        while (!w.Stopping()) {
            if (AencGetStreamPass(s32Chn, kAencWaitMs) < 0) break;
        }
    });
    return 0;
}

void AencGetStreamStopAll() {
    std::lock_guard<std::mutex> lock(g_startMutex);
    for (EncWorker& w : g_aencWorker) w.Stop();
}

namespace {

std::mutex g_dspMutex;
bool g_bDspBuilt = false;           // guarded by g_dspMutex
CAPTURE_DSP_INFO_S g_stDspInfo{};  // guarded by g_dspMutex

uint32_t SizeBit(int32_t s32Code) {
    return s32Code >= 0 && s32Code < 32 ? 1u << s32Code : 0;
}

}  // namespace

int CaptureGetDspInfoV2(CAPTURE_DSP_INFO_S* pstDspInfo) {
    if (pstDspInfo == nullptr) {
        APP_ERR(kSrc, "error pDspInfo is a NULL pointer");
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_dspMutex);
    if (!g_bDspBuilt) {
        const SlaveSysCfg cfg = SlaveGetSysCfg();
        const uint32_t end = ChnEnd(cfg), first = std::min(cfg.u32ChnStart, end);
        const uint32_t vstd = CommHookCaptureGetVstd();
        CAPTURE_DSP_INFO_S& d = g_stDspInfo;
        d = {};
        d.u32ChnNum = end - first;
        d.u32StreamNum = 2 * d.u32ChnNum;
        d.u32Flags = cfg.stSlaveCfg.u8JpegEnable != 0 ? CAPTURE_DSP_JPEG : 0;
        uint64_t power = 0;
        for (uint32_t c = first; c < end; ++c) {
            const int32_t s32Main = CommHookSplitGetChnVi(static_cast<int32_t>(c), 0);
            const int32_t s32Sub = CommHookSplitGetChnVi(static_cast<int32_t>(c), 1);
            const uint32_t fps = VencDefaultFrameRate(static_cast<int32_t>(c));
            // The main stream takes its wiring size and anything the sub stream takes.
            CAPTURE_DSP_CHN_S& e = d.astChn[c - first];
            e.u32SubSizes = SizeBit(s32Sub);
            e.u32MainSizes = SizeBit(s32Main) | e.u32SubSizes;
            e.u32MainMaxFps = fps;
            e.u32SubMaxFps = fps;
            SIZE_S sz{};
            Comm_SysGetPicSize(vstd, s32Main, &sz, false);
            power += static_cast<uint64_t>(sz.u32Width) * sz.u32Height * fps;
        }
        d.u32EncPower = static_cast<uint32_t>(std::min<uint64_t>(power, UINT32_MAX));
        g_bDspBuilt = true;
    }
    *pstDspInfo = g_stDspInfo;
    return 0;
}

void CaptureDspInfoReset() {
    std::lock_guard<std::mutex> lock(g_dspMutex);
    g_bDspBuilt = false;
}
