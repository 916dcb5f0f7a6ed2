#include "app/pci/pciv_recv.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "app/comm/app_log.h"
#include "app/dec/avdec_state.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_trans.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_slave.c";
// How long a notice wait lasts before the running flag is looked at again (a stop ends it at once).
constexpr int kPollMs = 1000;
// The pause between two sends of a frame the decoder cannot take now, and after a failed read.
constexpr int kRetryMs = 10;
constexpr MK_S32 kVdecFull = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_FULL);
constexpr MK_S32 kVdecNotReceiving = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);

std::atomic<CaptureSetTitleFn> g_pfnSetTitle{nullptr};
std::atomic<bool> g_bTitleMissingSaid{false};
std::atomic<void* (*)(size_t)> g_pfnAlloc{nullptr};
std::atomic<void (*)(void*)> g_pfnFree{nullptr};

// Waits `ms` or until the slot stops.
void Pause(PCIV_TRANS_CHN_S* pSlot, int ms) {
    PCIV_WaitReadable(pSlot->stop.fd(), ms, nullptr);
}

// Hands a whole frame to the decoder, retrying while waiting can help. True when taken.
bool SendFrame(PCIV_TRANS_CHN_S* pSlot, PcivVdecRecv* pCtx, uint32_t u32Chn, const VDEC_STREAM_S* pStream) {
    MK_S32 s32Ret = MK_MPI_VDEC_SendStream(static_cast<VDEC_CHN>(u32Chn), pStream, 0);
    while (s32Ret != 0 && (s32Ret == kVdecFull || s32Ret == kVdecNotReceiving) && AVdecPlayRunning(u32Chn) &&
           pSlot->s32Running.load()) {
        Pause(pSlot, kRetryMs);
        pCtx->u64Retries++;
        s32Ret = MK_MPI_VDEC_SendStream(static_cast<VDEC_CHN>(u32Chn), pStream, 0);
    }
    return s32Ret == 0;
}

}  // namespace

void PcivVdecTakeFragment(PCIV_TRANS_CHN_S* pSlot, PcivVdecRecv* pCtx, PCIV_TRANS_RECEIVER_S* pRecv,
                          const PCIV_TRANS_NOTICE_S& n, bool bRefused) {
    PCIV_VdecFragHead h;
    std::memset(&h, 0, sizeof(h));
    // The header can be read wherever it lies inside the buffer, even for a notice whose end is wrong.
    bool bHead = static_cast<uint64_t>(n.u32Start) + PCIV_FRAG_HEAD_LEN <= pRecv->u32Size;
    if (bHead) std::memcpy(&h, pRecv->pu8Addr + n.u32Start, sizeof(h));
    const char* pszBad = nullptr;
    if (bRefused) {
        pszBad = "outside the buffer";
    } else if (!bHead || n.u32End - n.u32Start < PCIV_FRAG_HEAD_LEN ||
               h.u32Len > n.u32End - n.u32Start - PCIV_FRAG_HEAD_LEN) {
        pszBad = "longer than its notice";
    } else if (h.u32Chn >= AVDEC_CHN_NUM) {
        pszBad = "for a channel without a record";
    } else if (static_cast<uint64_t>(pCtx->u32Assembled) + h.u32Len > PCIV_VDEC_FRAME_BUF) {
        pszBad = "past the frame buffer";
    }
    if (pszBad != nullptr) {
        APP_ERR_IN(kSrc, "SlaveVdecStreamThread", "fragment start:%u end:%u chn:%u len:%u %s: frame dropped\n",
                   n.u32Start, n.u32End, h.u32Chn, h.u32Len, pszBad);
        pCtx->u64Refused++;
        if (!pCtx->bBroken) pCtx->u64Dropped++;  // a frame already broken was counted when it broke
        pCtx->u32Assembled = 0;
        pCtx->bBroken = !(bHead && h.u32Last == 1);
        PCIV_Trans_AckOffsets(pRecv, n.u32Start, n.u32End);
        return;
    }
    if (pCtx->bBroken) {
        // The rest of a frame that lost a fragment.
        if (h.u32Last == 1) pCtx->bBroken = false;
        PCIV_Trans_AckOffsets(pRecv, n.u32Start, n.u32End);
        return;
    }
    const uint8_t* pu8Data = pRecv->pu8Addr + n.u32Start + PCIV_FRAG_HEAD_LEN;
    // A frame in one fragment goes to the decoder from where it lies: the buffer is ours until the
    // fragment is acknowledged.
    bool bInPlace = h.u32Last == 1 && pCtx->u32Assembled == 0;
    if (!bInPlace) {
        std::memcpy(pCtx->pu8Frame + pCtx->u32Assembled, pu8Data, h.u32Len);
        pCtx->u32Assembled += h.u32Len;
    }
    if (h.u32Last == 1) {
        VDEC_STREAM_S stStream = {bInPlace ? pu8Data : pCtx->pu8Frame, bInPlace ? h.u32Len : pCtx->u32Assembled,
                                  h.u64Pts, h.bEndOfFrame, h.bEndOfStream};
        pCtx->u32Assembled = 0;
        // A last fragment without data drops what was joined.
        if (h.u32Len == 0) {
            if (stStream.u32Len > 0) pCtx->u64Dropped++;
        } else if (pSlot->s32Running.load() == 1) {
            if (SendFrame(pSlot, pCtx, h.u32Chn, &stStream)) {
                pCtx->u64Frames++;
            } else {
                pCtx->u64Dropped++;
            }
        }
    }
    PCIV_Trans_AckOffsets(pRecv, n.u32Start, n.u32End);
}

void* SlaveVdecStreamPrepare(PCIV_TRANS_CHN_S*) {
    auto* pCtx = new (std::nothrow) PcivVdecRecv;
    if (pCtx == nullptr) return nullptr;
    void* (*pfnAlloc)(size_t) = g_pfnAlloc.load();
    pCtx->pu8Frame = static_cast<uint8_t*>(pfnAlloc != nullptr ? pfnAlloc(PCIV_VDEC_FRAME_BUF)
                                                                : std::malloc(PCIV_VDEC_FRAME_BUF));
    if (pCtx->pu8Frame == nullptr) {
        APP_ERR_IN(kSrc, "SlaveVdecStreamThread", "frame buffer of %u bytes cannot be had\n", PCIV_VDEC_FRAME_BUF);
        delete pCtx;
        return nullptr;
    }
    pCtx->u32Assembled = 0;
    pCtx->bBroken = false;
    return pCtx;
}

void SlaveVdecStreamFree(void* pData) {
    auto* pCtx = static_cast<PcivVdecRecv*>(pData);
    if (pCtx == nullptr) return;
    void (*pfnFree)(void*) = g_pfnFree.load();
    if (pfnFree != nullptr) {
        pfnFree(pCtx->pu8Frame);
    } else {
        std::free(pCtx->pu8Frame);
    }
    delete pCtx;
}

void* SlaveVdecStreamThread(void* arg) {
    auto* pSlot = static_cast<PCIV_TRANS_CHN_S*>(arg);
    auto* pRecv = static_cast<PCIV_TRANS_RECEIVER_S*>(pSlot->pTrans.load());
    auto* pCtx = static_cast<PcivVdecRecv*>(pSlot->pThreadData.load());
    if (pRecv == nullptr || pCtx == nullptr) return nullptr;
    while (pSlot->s32Running.load()) {
        PCIV_TRANS_NOTICE_S stNotice;
        int s32Ret = PCIV_Trans_GetNotice(pRecv, &stNotice, kPollMs);
        if (s32Ret == PCIV_MSG_TIMEOUT || s32Ret == PCIV_TRANS_NOT_NOTICE) continue;
        if (s32Ret == 0 || s32Ret == PCIV_TRANS_REFUSED) {
            PcivVdecTakeFragment(pSlot, pCtx, pRecv, stNotice, s32Ret == PCIV_TRANS_REFUSED);
        } else {
            Pause(pSlot, kRetryMs);  // the port is gone or broken: no spinning on it
        }
    }
    return nullptr;
}

void PcivOsdTakeRecord(PCIV_TRANS_RECEIVER_S* pRecv, const PCIV_TRANS_NOTICE_S& n, bool bRefused) {
    uint32_t u32Len = n.u32End - n.u32Start;
    PCIV_OSD_REC_S rec;
    std::memset(&rec, 0, sizeof(rec));
    const char* pszBad = nullptr;
    if (bRefused) {
        pszBad = "outside the buffer";
    } else if (u32Len < PCIV_OSD_REC_LEN) {
        pszBad = "shorter than a record";
    } else {
        std::memcpy(&rec, pRecv->pu8Addr + n.u32Start, sizeof(rec));
        uint64_t u64Pixels = 2ull * rec.u16Width * rec.u16Height;
        if (rec.u16Width == 0 || rec.u16Height == 0) {
            pszBad = "without pixels";
        } else if (PCIV_OSD_REC_LEN + u64Pixels > u32Len) {
            pszBad = "longer than its notice";
        }
    }
    if (pszBad != nullptr) {
        APP_ERR_IN(kSrc, "SlaveOsdBufferThread", "record start:%u end:%u %ux%u %s: dropped\n", n.u32Start, n.u32End,
                   rec.u16Width, rec.u16Height, pszBad);
    } else if (CaptureSetTitleFn pfn = g_pfnSetTitle.load()) {
        // The pixels are used in place; the record's own bitmap word is left as the master wrote it.
        OSD_TITLE_S stTitle = {rec.u32Index, rec.u32Show, rec.u16X, rec.u16Y, rec.u16Width, rec.u16Height,
                               rec.u32TextColor, rec.u32BgColor, pRecv->pu8Addr + n.u32Start + PCIV_OSD_REC_LEN};
        pfn(rec.u32Chn, rec.u32Stream, &stTitle);
    } else if (!g_bTitleMissingSaid.exchange(true)) {
        APP_ERR_IN(kSrc, "SlaveOsdBufferThread", "CaptureSetTitleV2 is not available on this slave: titles dropped\n");
    }
    PCIV_Trans_AckOffsets(pRecv, n.u32Start, n.u32End);
}

void* SlaveOsdBufferThread(void* arg) {
    auto* pSlot = static_cast<PCIV_TRANS_CHN_S*>(arg);
    auto* pRecv = static_cast<PCIV_TRANS_RECEIVER_S*>(pSlot->pTrans.load());
    if (pRecv == nullptr) return nullptr;
    while (pSlot->s32Running.load()) {
        PCIV_TRANS_NOTICE_S stNotice;
        int s32Ret = PCIV_Trans_GetNotice(pRecv, &stNotice, kPollMs);
        if (s32Ret == PCIV_MSG_TIMEOUT || s32Ret == PCIV_TRANS_NOT_NOTICE) continue;
        if (s32Ret == 0 || s32Ret == PCIV_TRANS_REFUSED) {
            PcivOsdTakeRecord(pRecv, stNotice, s32Ret == PCIV_TRANS_REFUSED);
        } else {
            Pause(pSlot, kRetryMs);
        }
    }
    return nullptr;
}

void SlaveSetOsdTitleHook(CaptureSetTitleFn pfn) {
    g_pfnSetTitle = pfn;
    g_bTitleMissingSaid = false;
}

void SlaveSetRecvBufAllocator(void* (*pfnAlloc)(size_t), void (*pfnFree)(void*)) {
    g_pfnAlloc = pfnAlloc;
    g_pfnFree = pfnFree;
}

void SlaveRegisterReceivers() {
    SlaveSetVdecStreamThread(SlaveVdecStreamThread, SlaveVdecStreamPrepare, SlaveVdecStreamFree);
    SlaveSetOsdBufferThread(SlaveOsdBufferThread);
}
