#include "app/enc/venc_push.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_trans.h"
#include "sdk/venc/mpi_venc.h"

namespace {

constexpr const char* kSrc = "../enc/venc.c";
constexpr uint32_t kHeadLen = sizeof(PCIV_StreamHead);
constexpr int32_t kSendAfter = 4;  // send once more frames than this are written
constexpr int kMaxBackoffMs = 50;

uint32_t Pad4(uint32_t v) {
    return (v + 3u) & ~3u;
}

uint32_t PackBytes(const VENC_PACK_S& p) {
    return p.u32Len > p.u32DataOffset ? p.u32Len - p.u32DataOffset : 0;
}

// How a slot's sender can take what the thread writes.
enum SenderState { kSenderRuns, kNoSenderRuns, kSenderRenewing, kSenderNoBuffer };

// The slot's sender while the slot runs, its lock held in `lock`, with its state in *pWhy: it takes
// writes while it runs or command 96 renews its buffer (they join what it carries), not while it is
// left without one. Null (lock given up) when none runs.
PCIV_TRANS_SENDER_S* TakeSender(PCIV_TRANS_CHN_S* pSlot, std::unique_lock<std::mutex>* pLock,
                                SenderState* pWhy) {
    *pLock = std::unique_lock<std::mutex>(pSlot->mtxTrans);
    auto* pSender = static_cast<PCIV_TRANS_SENDER_S*>(pSlot->pTrans.load());
    *pWhy = kSenderRuns;
    if (pSlot->s32Running.load() == 0 || pSender == nullptr) {
        *pWhy = kNoSenderRuns;
        pLock->unlock();
        return nullptr;
    }
    if (!PCIV_Trans_HasLocBuf(pSender)) *pWhy = pSender->bLocRenewing ? kSenderRenewing : kSenderNoBuffer;
    return pSender;
}

// A frame dropped because no sender runs: counted, and the first of a run of them said.
void DropNoSender(VencPushCtx* pCtx, VENC_CHN veChn) {
    ++pCtx->stats.u64DropNoSender;
    if (pCtx->u64NoSenderRun++ == 0) {
        const bool bVideo = pCtx->u32PayloadType == VENC_PT_H264;
        APP_ERR(kSrc, "chn:%d no %s sender runs: its frames are dropped (counted) until command %d starts one",
                veChn, bVideo ? "encoded-video" : "JPEG", bVideo ? 10 : 11);
    }
}

// A sender takes frames again: how many went while none ran.
void SenderBack(VencPushCtx* pCtx) {
    if (pCtx->u64NoSenderRun == 0) return;
    APP_ERR(kSrc, "%s sender runs: %llu frames were dropped while none ran",
            pCtx->u32PayloadType == VENC_PT_H264 ? "encoded-video" : "JPEG",
            static_cast<unsigned long long>(pCtx->u64NoSenderRun));
    pCtx->u64NoSenderRun = 0;
}

// The most one send can carry: the ring refuses anything above half its size (and a buffer that is
// being renewed comes back as large as the ring).
uint32_t SendLimit(const PCIV_TRANS_SENDER_S* pSender) {
    const uint32_t u32Half = pSender->u32RemoteSize / 2;
    return PCIV_Trans_HasLocBuf(pSender) ? std::min(u32Half, pSender->u32LocSize) : u32Half;
}

// The held frame record into the sender, when it fits below the send limit with what it holds.
void WriteHeld(VencPushCtx* pCtx, PCIV_TRANS_SENDER_S* pSender) {
    const uint32_t n = static_cast<uint32_t>(pCtx->held.size());
    const uint32_t u32Held = PCIV_Trans_HeldBytes(pSender);
    if (n == 0 || VencPushPlaceRecord(u32Held, n, SendLimit(pSender)) != VENC_PUSH_WRITE) return;
    PCIV_Trans_WriteLocBuf(pSender, pCtx->held.data(), n);
    ++pCtx->stats.u64Frames;
    pCtx->stats.u64Bytes += n;
    pCtx->held.clear();
}

// The held frame goes: its sender was replaced or stopped (said as the sender's own held bytes are),
// or left without a buffer (said as the frames dropped meanwhile are).
void DropHeld(VencPushCtx* pCtx, bool bNoBuffer) {
    if (pCtx->held.empty()) return;
    if (bNoBuffer) {
        PCIV_StreamHead stHead;
        std::memcpy(&stHead, pCtx->held.data(), sizeof(stHead));
        DropNoSender(pCtx, static_cast<VENC_CHN>(stHead.u32Chn));
    } else {
        ++pCtx->stats.u64DropStopped;
        SlaveDropHeld(pCtx->pSlot, static_cast<uint32_t>(pCtx->held.size()));
    }
    pCtx->held.clear();
}

// Header, packs and zero padding into the sender's local buffer; the caller checked the room.
void WriteRecord(PCIV_TRANS_SENDER_S* pSender, const PCIV_StreamHead& stHead, const VENC_STREAM_S& stStream) {
    static const uint8_t kZero[4] = {};
    PCIV_Trans_WriteLocBuf(pSender, &stHead, kHeadLen);
    for (uint32_t i = 0; i < stStream.u32PackCnt; ++i) {
        const VENC_PACK_S& p = stStream.pstPack[i];
        const uint32_t n = PackBytes(p);
        if (n != 0) PCIV_Trans_WriteLocBuf(pSender, p.pu8UserAddr + p.u32DataOffset, n);
    }
    PCIV_Trans_WriteLocBuf(pSender, kZero, stHead.u32PadLen - stHead.u32Len);
}

// The same record as bytes of its own, so the encoder can have its frame back while it waits.
void CopyRecord(std::vector<uint8_t>* pOut, const PCIV_StreamHead& stHead, const VENC_STREAM_S& stStream) {
    pOut->assign(kHeadLen + stHead.u32PadLen, 0);
    std::memcpy(pOut->data(), &stHead, kHeadLen);
    size_t off = kHeadLen;
    for (uint32_t i = 0; i < stStream.u32PackCnt; ++i) {
        const VENC_PACK_S& p = stStream.pstPack[i];
        const uint32_t n = PackBytes(p);
        if (n != 0) std::memcpy(pOut->data() + off, p.pu8UserAddr + p.u32DataOffset, n);
        off += n;
    }
}

bool Stopped(const VencPushCtx* pCtx) {
    return pCtx->pStop != nullptr && pCtx->pStop->load();
}

void SleepMs(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

}  // namespace

VencPushPlace VencPushPlaceRecord(uint32_t u32Fill, uint32_t u32Record, uint32_t u32Limit) {
    if (u32Record > u32Limit) return VENC_PUSH_NEVER;
    if (static_cast<uint64_t>(u32Fill) + u32Record > u32Limit) return VENC_PUSH_SEND_FIRST;
    return VENC_PUSH_WRITE;
}

PCIV_StreamHead VencPushMakeHead(const VENC_STREAM_S* pstStream, uint32_t u32PayloadType, uint32_t u32Chn) {
    PCIV_StreamHead h;
    std::memset(&h, 0, sizeof(h));
    h.u32Magic = PCIV_STREAM_MAGIC;
    h.u32PayloadType = u32PayloadType;
    uint32_t len = 0;
    for (uint32_t i = 0; i < pstStream->u32PackCnt; ++i) len += PackBytes(pstStream->pstPack[i]);
    h.u32Len = len;
    h.u32PadLen = Pad4(len);
    h.u32Seq = pstStream->u32SeqNum;
    h.u32Chn = u32Chn;
    if (pstStream->u32PackCnt > 0) {
        const VENC_PACK_S& first = pstStream->pstPack[0];
        h.u64Pts = first.u64Pts;
        h.u32FrameEnd = first.bFrameEnd;
        h.u32DataType = first.u32DataType;
    }
    return h;
}

int VencPushWriteFrame(VencPushCtx* pCtx, VENC_CHN veChn, uint32_t u32HeadChn, uint64_t* pu64Pts) {
    VENC_CHN_STAT_S stStat;
    std::memset(&stStat, 0, sizeof(stStat));
    MK_S32 s32Ret = MK_MPI_VENC_Query(veChn, &stStat);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "chn:%d MK_MPI_VENC_Query error %#x", veChn, s32Ret);
        return -1;
    }
    VENC_STREAM_S stStream;
    std::memset(&stStream, 0, sizeof(stStream));
    // At least one entry, so the array is never a null pointer for a frame of no packs.
    pCtx->packs.assign(std::max<uint32_t>(1, stStat.u32FramePacks), VENC_PACK_S{});
    stStream.pstPack = pCtx->packs.data();
    stStream.u32PackCnt = stStat.u32FramePacks;
    ++pCtx->s32SinceSend;
    s32Ret = MK_MPI_VENC_GetStream(veChn, &stStream, 1);
    if (s32Ret != 0) return -1;

    const PCIV_StreamHead stHead = VencPushMakeHead(&stStream, pCtx->u32PayloadType, u32HeadChn);
    const uint32_t u32Record = kHeadLen + stHead.u32PadLen;
    if (pu64Pts != nullptr && stStream.u32PackCnt > 0) *pu64Pts = stHead.u64Pts;
    int result = 0;
    {
        std::unique_lock<std::mutex> lock;
        SenderState why = kSenderRuns;
        PCIV_TRANS_SENDER_S* pSender = TakeSender(pCtx->pSlot, &lock, &why);
        if (pSender != nullptr && why != kSenderNoBuffer) SenderBack(pCtx);
        if (pSender == nullptr || why == kSenderNoBuffer) {
            // No ring to put it in: the master has not sent command 10 or 11, or command 96 left the
            // sender without a buffer. (While command 96 renews the buffer, a frame of an encoder it
            // is taking down joins what the sender carries, for the ring that goes on.)
            DropNoSender(pCtx, veChn);
            --pCtx->s32SinceSend;
        } else if (VencPushPlaceRecord(0, u32Record, SendLimit(pSender)) == VENC_PUSH_NEVER) {
            APP_ERR(kSrc, "chn:%d frame of %u bytes can never fit a ring of %u, dropped", veChn, u32Record,
                    pSender->u32RemoteSize);
            ++pCtx->stats.u64DropTooLarge;
            --pCtx->s32SinceSend;
        } else {
            pCtx->u64LocGen = pSender->u64LocGen;
            pCtx->u64SenderId = pSender->u64Id;
            const uint32_t u32Held = PCIV_Trans_HeldBytes(pSender);
            if (VencPushPlaceRecord(u32Held, u32Record, SendLimit(pSender)) != VENC_PUSH_WRITE) {
                // The buffer goes first; the send (and any wait for the master) happens after the pass,
                // without the capture lock, so the frame waits as a copy.
                CopyRecord(&pCtx->held, stHead, stStream);
            } else {
                WriteRecord(pSender, stHead, stStream);
                ++pCtx->stats.u64Frames;
                pCtx->stats.u64Bytes += u32Record;
                result = 1;
            }
        }
    }
    s32Ret = MK_MPI_VENC_ReleaseStream(veChn, &stStream);
    if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VENC_ReleaseStream failed %#x", s32Ret);
    return result;
}

int VencPushSend(VencPushCtx* pCtx) {
    int backoffMs = 1;
    for (int attempt = 1;; ++attempt) {
        {
            std::unique_lock<std::mutex> lock;
            SenderState why = kSenderRuns;
            PCIV_TRANS_SENDER_S* pSender = TakeSender(pCtx->pSlot, &lock, &why);
            if (pSender == nullptr || pSender->u64Id != pCtx->u64SenderId || why == kSenderNoBuffer) {
                // What waited for the sender goes with it.
                DropHeld(pCtx, pSender != nullptr && pSender->u64Id == pCtx->u64SenderId);
                pCtx->s32SinceSend = 0;
                return -1;
            }
            if (why == kSenderRenewing || pSender->u64LocGen != pCtx->u64LocGen) {
                // Command 96 renews the buffer, or renewed it while this thread waited: nothing is sent
                // now (the master may be setting up a new ring). The ring goes on: a held frame joins
                // what the sender holds when there is room, or else waits for its next send.
                WriteHeld(pCtx, pSender);
                if (why != kSenderRenewing && !pCtx->held.empty()) pCtx->u64LocGen = pSender->u64LocGen;
                pCtx->s32SinceSend = 0;
                return -1;
            }
            if (PCIV_Trans_SendData(pSender) == 0) {
                ++pCtx->stats.u64Sends;
                pCtx->s32SinceSend = 0;
                if (!pCtx->held.empty()) {
                    // The buffer is empty now and a held record is never above the send limit.
                    WriteHeld(pCtx, pSender);
                    pCtx->s32SinceSend = 1;
                }
                return 0;
            }
        }
        ++pCtx->stats.u64SendRetries;
        std::printf("PCIV_Trans_SendData, times:%d\n", attempt);
        if (Stopped(pCtx)) return -1;
        // The master has not freed its ring yet; no lock is held while it catches up.
        SleepMs(backoffMs);
        backoffMs = std::min(kMaxBackoffMs, 2 * backoffMs);
    }
}

int VencPushPass(VencPushCtx* pCtx, int selectMs) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t u32Streams = 2u * static_cast<uint32_t>(std::clamp<int64_t>(
                                         static_cast<int64_t>(cfg.u32ChnEnd) - cfg.u32ChnStart, 0, CAPTURE_CHN_NUM));
    // The descriptors to wait on, taken without the capture lock: a wait of up to selectMs must not
    // hold up the capture commands.
    fd_set stSet;
    FD_ZERO(&stSet);
    int maxFd = -1;
    bool bAnyReceiving = false;
    for (uint32_t s = 0; s < u32Streams; ++s) {
        CaptureStreamRec* pRec = CaptureStream(s / 2, s % 2);
        bAnyReceiving = bAnyReceiving || pRec->s32Receiving.load() == 1;
        const int fd = pRec->s32Fd.load();
        if (fd < 0 || fd >= FD_SETSIZE) continue;
        FD_SET(fd, &stSet);
        maxFd = std::max(maxFd, fd);
    }
    if (u32Streams == 0 || !bAnyReceiving) return -1;
    if (maxFd < 0) {
        SleepMs(selectMs);
        return 0;
    }
    timeval tv{selectMs / 1000, (selectMs % 1000) * 1000};
    int n = select(maxFd + 1, &stSet, nullptr, nullptr, &tv);
    if (n < 0 && errno == EBADF) {
        // Descriptors that are gone (the media system was set up again) are dropped, each with one line;
        // the next pass waits on what is left, and never spins on one that is gone.
        for (uint32_t s = 0; s < u32Streams; ++s) {
            CaptureStreamRec* pRec = CaptureStream(s / 2, s % 2);
            int fd = pRec->s32Fd.load();
            if (fd < 0 || fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
            if (pRec->s32Fd.compare_exchange_strong(fd, -1))
                APP_ERR(kSrc, "chn:%u descriptor %d is gone, dropped", s, fd);
        }
        return 0;
    }
    if (n < 0) {
        if (errno != EINTR) APP_ERR(kSrc, "select err");
        // No pass of its own: a lasting failure must not spin.
        return -1;
    }
    if (n == 0) return 0;
    int written = 0;
    int s32Ret = CaptureLock();
    if (s32Ret != 0) APP_ERR(kSrc, "lock failed %#x", s32Ret);
    const auto t0 = std::chrono::steady_clock::now();
    for (uint32_t s = 0; s < u32Streams && pCtx->held.empty(); ++s) {
        CaptureStreamRec* pRec = CaptureStream(s / 2, s % 2);
        const int fd = pRec->s32Fd.load();
        if (pRec->s32Receiving.load() != 1 || fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &stSet)) continue;
        if (VencPushWriteFrame(pCtx, static_cast<VENC_CHN>(s), s) == 1) ++written;
    }
    if (s32Ret == 0) {
        s32Ret = CaptureUnlock();
        if (s32Ret != 0) APP_ERR(kSrc, "lock failed %#x", s32Ret);
    }
    pCtx->u64HoldNs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    if (pCtx->s32SinceSend > kSendAfter || !pCtx->held.empty()) VencPushSend(pCtx);
    return written;
}

VencPushCtx* VencPushVideoCtx() {
    static auto* s = [] {
        auto* p = new VencPushCtx;
        p->pSlot = PcivGetVencTrans();
        p->u32PayloadType = VENC_PT_H264;
        return p;
    }();
    return s;
}

void* SlaveVencGetStream(void* pArg) {
    auto* pCtx = pArg != nullptr ? static_cast<VencPushCtx*>(pArg) : VencPushVideoCtx();
    // Named, so a look at the process finds it (and what it costs).
    pthread_setname_np(pthread_self(), "venc fetch");
    while (!Stopped(pCtx)) {
        if (VencPushPass(pCtx) < 0) {
            SleepMs(10);
            continue;
        }
        usleep(100);
    }
    return nullptr;
}

