#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/adec/mpi_adec_testing.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/dev/dev.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/adp/audio_voice_adp.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mpi_sys.h"

namespace dev = varnelle::dev;
using mk::audio::Fault;
using mk::audio::FaultFires;

namespace {

constexpr const char* kSource = "sdk/code/shelf/audio/audio/mpi/src/mpi_adec";
constexpr MK_S32 kStreamBufLen = 16384;  // a channel's stream buffer
constexpr MK_U32 kMaxSlots = 300;
constexpr MK_U32 kTrackBytes = 16384;  // one track of a frame slot
constexpr MK_U32 kSlotBytes = 2 * kTrackBytes;
constexpr int kTstNodes = 300;
constexpr useconds_t kRetryUs = 10000;
constexpr MK_U32 kFreeType = static_cast<MK_U32>(-1);

// ---- Frame pool: slots on a free list, a ready list (decoding order) or out with a caller ----

enum class SlotState : MK_U8 { kFree, kReady, kOut };

struct IndexList {
    MK_S32 head = -1;
    MK_S32 tail = -1;
    MK_U32 count = 0;
};

struct FramePool {
    MK_U8* pu8Data = nullptr;  // n x 32768 bytes: track 0, then track 1, of each slot
    MK_U32 u32Num = 0;
    struct Slot {
        AUDIO_FRAME_S stFrame;
        MK_U32 u32Id;
        MK_S32 s32Next;
        SlotState enState;
    } astSlot[kMaxSlots];
    IndexList freeList;
    IndexList readyList;

    void Push(IndexList& l, MK_S32 i, SlotState s) {
        astSlot[i].s32Next = -1;
        astSlot[i].enState = s;
        if (l.tail < 0) {
            l.head = i;
        } else {
            astSlot[l.tail].s32Next = i;
        }
        l.tail = i;
        ++l.count;
    }
    MK_S32 Pop(IndexList& l, SlotState s) {
        const MK_S32 i = l.head;
        if (i < 0) return -1;
        l.head = astSlot[i].s32Next;
        if (l.head < 0) l.tail = -1;
        --l.count;
        astSlot[i].enState = s;
        return i;
    }
};

// ---- Time-stamp list: one node per piece of stream data still in the buffer, oldest first ----

struct TstList {
    struct Node {
        MK_U64 u64TimeStamp;
        MK_S32 s32Pos;  // offset in the stream buffer
        MK_S32 s32Len;
    } astNode[kTstNodes];
    // Used nodes in order, as a ring of indexes; free nodes are the others.
    MK_S32 as32Used[kTstNodes];
    MK_S32 s32UsedHead = 0;
    MK_S32 s32UsedNum = 0;
    MK_S32 as32Free[kTstNodes];
    MK_S32 s32FreeNum = 0;

    void Reset() {
        s32UsedHead = 0;
        s32UsedNum = 0;
        s32FreeNum = kTstNodes;
        for (int i = 0; i < kTstNodes; ++i) as32Free[i] = i;
    }
    Node& Used(MK_S32 k) { return astNode[as32Used[(s32UsedHead + k) % kTstNodes]]; }
    void Append(MK_U64 ts, MK_S32 pos, MK_S32 len) {
        if (s32FreeNum == 0) return;  // the piece goes without a time stamp
        const MK_S32 i = as32Free[--s32FreeNum];
        astNode[i] = Node{ts, pos, len};
        as32Used[(s32UsedHead + s32UsedNum) % kTstNodes] = i;
        ++s32UsedNum;
    }
    void DropOldest() {
        as32Free[s32FreeNum++] = as32Used[s32UsedHead];
        s32UsedHead = (s32UsedHead + 1) % kTstNodes;
        --s32UsedNum;
    }
};

// ---- Registry and channels ----

struct Registry {
    std::mutex mutex;  // guards the rest
    MK_U32 u32Count = 0;
    ADEC_DECODER_S astDecoder[ADEC_MAX_DECODER_NUM];

    Registry() { ClearLocked(); }
    void ClearLocked() {
        u32Count = 0;
        for (ADEC_DECODER_S& d : astDecoder) {
            d = ADEC_DECODER_S{};
            d.enType = static_cast<MK_U32>(-1);
        }
    }
};

struct AdecChn {
    std::mutex mutex;              // guards every field below but the run flag
    std::condition_variable idle;  // a counted waiter left its semaphore wait
    FramePool* pstPool = nullptr;
    bool bCreated = false;
    bool bDestroying = false;
    MK_S32 s32ChnId = -1;
    MK_VOID* pDecoder = nullptr;
    ADEC_CHN_ATTR_S stAttr{};
    ADEC_MODE_E enMode = ADEC_MODE_PACK;
    sem_t semRead;          // ready frames
    sem_t semWrite;         // free slots for pack-mode senders, at most u32BufSize - 1
    MK_U32 u32Waiters = 0;  // callers inside a semaphore wait
    MK_U32 u32Seq = 0;
    ADEC_DBG_INFO_S stDbg{};
    MK_S32 s32Handle = -1;
    MK_S32 s32LeftBytes = 0;
    MK_S32 s32ReadPos = 0;  // where the next decode starts in au8Stream
    MK_U8 au8Stream[kStreamBufLen];
    TstList* pstTst = nullptr;
    std::atomic<bool> bOutRun{false};
    std::thread outThread;
    std::thread decThread;
    bool bEndOfStream = false;
    MK_U32 u32FullWaits = 0;  // rounds a blocking stream send waited for room
};

struct AdecModule {
    std::atomic<bool> bInit{false};
    std::mutex initMutex;  // serialises init and exit
    Registry registry;
    AdecChn chn[ADEC_MAX_CHN_NUM];
    mk::DevSlot fd[ADEC_MAX_CHN_NUM];
};

AdecModule& Adec() {
    static auto* m = new AdecModule;  // never destroyed: channel threads may run during exit
    return *m;
}

bool ChnValid(MK_S32 chn) {
    return static_cast<MK_U32>(chn) < ADEC_MAX_CHN_NUM;
}

// The wrapper's lazy open and bind: 0 or the not-ready code.
MK_S32 OpenChn(MK_S32 chn) {
    mk::DevSlot::Result r =
        Adec().fd[chn].Ensure("/dev/adec", O_RDWR, MK_ADEC_IOC_BIND, static_cast<MK_U32>(chn));
    if (r == mk::DevSlot::kReady) return MK_SUCCESS;
    if (r == mk::DevSlot::kOpenFailed) std::printf("open adec dev fail\n");
    return MK_ERR_ADEC_SYS_NOTREADY;
}

void SendDbg(MK_S32 chn, ADEC_DBG_INFO_S dbg) {
    dev::Ioctl(Adec().fd[chn].fd(), MK_ADEC_IOC_DBG_INFO, &dbg);
}

// A semaphore wait that a signal does not cut short.
void SemWait(sem_t* s) {
    while (sem_wait(s) != 0 && errno == EINTR) {
    }
}

int SemValue(sem_t* s) {
    int v = 0;
    sem_getvalue(s, &v);
    return v;
}

// Waits on `sem` without the channel mutex, counted so that destruction can wait for the waiter to
// leave before the semaphore goes. Called and returns with the lock held.
void CountedWait(AdecChn& c, std::unique_lock<std::mutex>& lock, sem_t* sem) {
    ++c.u32Waiters;
    lock.unlock();
    SemWait(sem);
    lock.lock();
    if (--c.u32Waiters == 0) c.idle.notify_all();
}

bool SlotFreed(MK_S32 handle) {
    Registry& r = Adec().registry;
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.astDecoder[handle].enType == kFreeType;
}

void FreeBuffers(AdecChn& c) {
    if (c.pstPool != nullptr) {
        std::free(c.pstPool->pu8Data);
        delete c.pstPool;
        c.pstPool = nullptr;
    }
    delete c.pstTst;
    c.pstTst = nullptr;
}

void FillFrame(AdecChn& c, FramePool::Slot& s, MK_U32 outLen, MK_U32 chns, MK_U64 ts) {
    s.stFrame.enBitwidth = AUDIO_BIT_WIDTH_16;
    s.stFrame.enSoundmode = chns >= 2 ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO;
    s.stFrame.u64TimeStamp = ts;
    s.stFrame.u32Seq = c.u32Seq++;
    s.stFrame.u32Len = outLen;
}

// Hands the oldest time stamps to the frame just decoded: nodes wholly before the read pointer go
// back to the free list, the node the pointer lies in is cut to start there.
MK_U64 TrimTst(AdecChn& c) {
    MK_U64 ts = 0;
    TstList* t = c.pstTst;
    if (t == nullptr) return ts;
    while (t->s32UsedNum > 0) {
        TstList::Node& n = t->Used(0);
        if (n.s32Pos >= c.s32ReadPos) break;
        ts = n.u64TimeStamp;
        if (n.s32Pos + n.s32Len > c.s32ReadPos) {
            n.s32Len -= c.s32ReadPos - n.s32Pos;
            n.s32Pos = c.s32ReadPos;
            break;
        }
        t->DropOldest();
    }
    return ts;
}

void DropStream(AdecChn& c) {
    c.s32LeftBytes = 0;
    c.s32ReadPos = 0;
    if (c.pstTst != nullptr) c.pstTst->Reset();
}

// Moves the waiting bytes, and their time stamps, to the start of the stream buffer.
void Compact(AdecChn& c) {
    if (c.s32ReadPos == 0) return;
    const MK_S32 shift = c.s32ReadPos;
    std::memmove(c.au8Stream, c.au8Stream + shift, static_cast<size_t>(c.s32LeftBytes));
    c.s32ReadPos = 0;
    TstList* t = c.pstTst;
    if (t == nullptr) return;
    for (MK_S32 k = 0; k < t->s32UsedNum; ++k) {
        TstList::Node& n = t->Used(k);
        MK_S32 pos = n.s32Pos - shift;
        if (pos < 0) {
            n.s32Len = n.s32Len + pos > 0 ? n.s32Len + pos : 0;
            pos = 0;
        }
        n.s32Pos = pos;
    }
}

// Resets the decoder at the end of a stream; called with the channel mutex held.
MK_S32 EndOfStreamLocked(AdecChn& c) {
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    if (c.enMode == ADEC_MODE_PACK) return MK_ERR_ADEC_NOT_SUPPORT;
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    if (SlotFreed(c.s32Handle)) {
        MK_TRACE("The decoder has been unregistered!\n");
        return MK_ERR_ADEC_DECODER_ERR;
    }
    const ADEC_DECODER_S& d = Adec().registry.astDecoder[c.s32Handle];
    if (d.pfnResetDecoder != nullptr) {
        MK_S32 ret = d.pfnResetDecoder(c.pDecoder);
        if (ret != MK_SUCCESS) {
            MK_TRACE("Reset Decoder failed!\n");
            return ret;
        }
    }
    DropStream(c);
    c.bEndOfStream = false;
    return MK_SUCCESS;
}

void PollSleep() {
    usleep(g_s32HRTimer == 1 ? 10000 : 1000);
}

// Stream mode: decodes whole frames from the stream buffer as they complete.
void DecProc(AdecChn* c) {
    prctl(PR_SET_NAME, "ADEC_DecProc");
    if (c->enMode != ADEC_MODE_STREAM) return;
    while (Adec().bInit.load()) {
        std::unique_lock<std::mutex> lock(c->mutex);
        if (!c->bCreated) return;
        bool whole = c->s32LeftBytes > 0;
        if (whole) {
            FramePool* pool = c->pstPool;
            if (pool == nullptr || pool->freeList.count == 0) {
                lock.unlock();
                usleep(kRetryUs);
                continue;
            }
            const MK_S32 i = pool->Pop(pool->freeList, SlotState::kReady);
            MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c->s32Handle);
            if (SlotFreed(c->s32Handle)) {
                pool->Push(pool->freeList, i, SlotState::kFree);
                MK_TRACE("The decoder has been unregistered!\n");
                return;
            }
            FramePool::Slot& s = pool->astSlot[i];
            MK_U8* in = c->au8Stream + c->s32ReadPos;
            MK_U32 outLen = 0;
            MK_U32 chns = 1;
            const ADEC_DECODER_S& d = Adec().registry.astDecoder[c->s32Handle];
            MK_S32 ret = d.pfnDecodeFrm(c->pDecoder, &in, &c->s32LeftBytes,
                                        static_cast<MK_U16*>(s.stFrame.pVirAddr[0]), &outLen, &chns);
            c->s32ReadPos = static_cast<MK_S32>(in - c->au8Stream);
            if (ret == MK_SUCCESS) {
                FillFrame(*c, s, outLen, chns, TrimTst(*c));
                if (chns >= 2) s.stFrame.pVirAddr[1] = static_cast<MK_U8*>(s.stFrame.pVirAddr[0]) + outLen;
                pool->Push(pool->readyList, i, SlotState::kReady);
                sem_post(&c->semRead);
                c->stDbg.u32Mode = 1;
                ++c->stDbg.u32DecFrames;
                ADEC_DBG_INFO_S dbg = c->stDbg;
                const MK_S32 chn = c->s32ChnId;
                lock.unlock();
                SendDbg(chn, dbg);
                continue;
            }
            pool->Push(pool->freeList, i, SlotState::kFree);
            TrimTst(*c);
            if (c->s32LeftBytes >= kStreamBufLen) {
                MK_TRACE("s32LeftBytes:%d, maxlen:%d, ret:0x%x\n", c->s32LeftBytes, kStreamBufLen, ret);
                DropStream(*c);
            }
            if (ret != MK_ERR_ADEC_BUF_LACK) {
                lock.unlock();
                usleep(kRetryUs);
                continue;
            }
        }
        // No whole frame waits.
        if (c->bEndOfStream) EndOfStreamLocked(*c);
        lock.unlock();
        usleep(kRetryUs);
    }
}

// Delivers ready frames to the receivers bound to the channel.
void SendAoProc(AdecChn* c) {
    prctl(PR_SET_NAME, "ADEC_SendAoProc");
    const MK_S32 chn = c->s32ChnId;
    while (c->bOutRun.load()) {
        MPP_CHN_S src{MK_ID_ADEC, 0, chn};
        MPP_BIND_DEST_S dest;
        AUDIO_FRAME_INFO_S info{};
        if (MK_MPI_SYS_GetBindbySrc(&src, &dest) == MK_SUCCESS && dest.u32Num > 0 &&
            MK_MPI_ADEC_GetFrame(chn, &info, 0) == MK_SUCCESS) {
            AUDIO_FRAME_RECORD_S rec{};
            rec.stFrame = *info.pstFrame;
            rec.stAecFrm.bValid = MK_FALSE;
            SYS_BIND_SendData(MK_ID_ADEC, 0, chn, 0, MPP_DATA_AUDIO_FRAME, &rec);
            MK_MPI_ADEC_ReleaseFrame(chn, &info);
            continue;
        }
        PollSleep();
    }
}

MK_S32 CheckAttr(const ADEC_CHN_ATTR_S& a) {
    if (a.pValue == nullptr) return MK_ERR_ADEC_NULL_PTR;
    if (a.enType >= ADEC_MAX_PAYLOAD_TYPE) {
        MK_TRACE("invalid param: payload type %d\n", a.enType);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    if (a.u32BufSize < 2 || a.u32BufSize > kMaxSlots) {
        MK_TRACE("invalid param: u32BufSize %d\n", a.u32BufSize);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    const bool stream = a.enMode == ADEC_MODE_STREAM;
    if (a.enMode >= ADEC_MODE_BUTT || (stream && a.enType == PT_LPCM) ||
        (!stream && (a.enType == 37 || a.enType == 42 || a.enType == 43))) {
        MK_TRACE("invalid param: enMode %d\n", a.enMode);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

MK_S32 FindDecoder(MK_U32 type) {
    Registry& r = Adec().registry;
    std::lock_guard<std::mutex> lock(r.mutex);
    for (MK_S32 i = 0; i < ADEC_MAX_DECODER_NUM; ++i) {
        if (r.astDecoder[i].enType == type) return i;
    }
    return -1;
}

FramePool* MakePool(MK_S32 chn, MK_U32 n) {
    FramePool* pool = FaultFires(Fault::kAdecPool) ? nullptr : new (std::nothrow) FramePool{};
    if (pool == nullptr) {
        MK_TRACE("adec chn %d malloc AF buffer failed!\n", chn);
        return nullptr;
    }
    pool->pu8Data =
        static_cast<MK_U8*>(FaultFires(Fault::kAdecFrameData) ? nullptr : std::malloc(n * kSlotBytes));
    if (pool->pu8Data == nullptr) {
        MK_TRACE("adec chn %d init AF buffer failed!\n", chn);
        delete pool;
        return nullptr;
    }
    pool->u32Num = n;
    for (MK_U32 i = 0; i < n; ++i) {
        FramePool::Slot& s = pool->astSlot[i];
        s.u32Id = i;
        s.stFrame.pVirAddr[0] = pool->pu8Data + kSlotBytes * i;
        s.stFrame.pVirAddr[1] = pool->pu8Data + kSlotBytes * i + kTrackBytes;
        pool->Push(pool->freeList, static_cast<MK_S32>(i), SlotState::kFree);
    }
    return pool;
}

bool StartThread(std::thread* t, Fault point, void (*body)(AdecChn*), AdecChn* c) {
    if (FaultFires(point)) return false;
    try {
        *t = std::thread(body, c);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

MK_S32 CreateChnLocked(MK_S32 chn, const ADEC_CHN_ATTR_S& attr) {
    AdecChn& c = Adec().chn[chn];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (c.bCreated) {
        MK_TRACE("adec chn %d has been created\n", chn);
        return MK_ERR_ADEC_EXIST;
    }
    if (c.bDestroying) {
        MK_TRACE("adec chn %d is being destroyed\n", chn);
        return MK_ERR_ADEC_NOT_PERM;
    }
    MK_S32 ret = CheckAttr(attr);
    if (ret != MK_SUCCESS) return ret;

    c.pstPool = nullptr;
    c.s32ChnId = -1;
    c.s32Handle = -1;
    c.pDecoder = nullptr;
    c.u32Seq = 0;
    c.s32LeftBytes = 0;
    c.s32ReadPos = 0;
    std::memset(c.au8Stream, 0, sizeof(c.au8Stream));
    c.stDbg = ADEC_DBG_INFO_S{};
    c.stDbg.u32G726Bps = 8;
    c.stDbg.u32AdpcmType = 3;
    c.bEndOfStream = false;
    c.u32FullWaits = 0;
    c.stAttr = attr;

    const MK_S32 handle = FindDecoder(attr.enType);
    if (handle < 0) {
        MK_TRACE("the decoder maybe has not been registered, AdChn %d.\n", chn);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    c.s32Handle = handle;
    if (SlotFreed(handle)) {
        MK_TRACE("The decoder has been unregistered!\n");
        return MK_ERR_ADEC_DECODER_ERR;
    }
    const ADEC_DECODER_S d = Adec().registry.astDecoder[handle];
    ret = d.pfnOpenDecoder(attr.pValue, &c.pDecoder);
    if (ret != MK_SUCCESS) {
        MK_TRACE("open the decoder failed, AdChn %d.\n", chn);
        return ret;
    }
    c.pstPool = MakePool(chn, attr.u32BufSize < kMaxSlots ? attr.u32BufSize : kMaxSlots);
    if (c.pstPool == nullptr) {
        d.pfnCloseDecoder(c.pDecoder);
        return MK_ERR_ADEC_NOMEM;
    }
    if (attr.enMode == ADEC_MODE_STREAM) {
        c.pstTst = FaultFires(Fault::kAdecTst) ? nullptr : new (std::nothrow) TstList{};
        if (c.pstTst == nullptr) {
            MK_TRACE("adec chn %d malloc TST buffer failed!\n", chn);
            FreeBuffers(c);
            d.pfnCloseDecoder(c.pDecoder);
            return MK_ERR_ADEC_NOMEM;
        }
        c.pstTst->Reset();
    }
    sem_init(&c.semRead, 0, 0);
    sem_init(&c.semWrite, 0, attr.u32BufSize - 1);
    c.bCreated = true;
    c.enMode = attr.enMode;
    c.s32ReadPos = 0;
    c.s32ChnId = chn;
    c.bOutRun.store(true);

    // The threads start with the mutex held: they wait for it, and no destroy can come between.
    const bool outStarted = StartThread(&c.outThread, Fault::kAdecSendThread, SendAoProc, &c);
    const bool decStarted = outStarted && StartThread(&c.decThread, Fault::kAdecDecThread, DecProc, &c);
    if (!decStarted) {
        c.bCreated = false;
        c.bDestroying = true;  // refuses a new create while this one unwinds
        c.bOutRun.store(false);
        if (outStarted) {
            lock.unlock();
            c.outThread.join();
            lock.lock();
        }
        FreeBuffers(c);
        sem_destroy(&c.semRead);
        sem_destroy(&c.semWrite);
        d.pfnCloseDecoder(c.pDecoder);
        c.pDecoder = nullptr;
        c.bDestroying = false;
        if (!outStarted) {
            MK_TRACE("adec chn %d create send ao thread failed!\n", chn);
        } else {
            MK_TRACE("adec chn %d create decoder stream thread failed!\n", chn);
        }
        return MK_ERR_ADEC_NOMEM;
    }
    ADEC_CHN_ATTR_S kernelAttr = attr;
    dev::Ioctl(Adec().fd[chn].fd(), MK_ADEC_IOC_CREATE_CHN, &kernelAttr);
    return MK_SUCCESS;
}

MK_S32 DestroyChnInternal(MK_S32 chn) {
    AdecChn& c = Adec().chn[chn];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_SUCCESS;
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    if (SlotFreed(c.s32Handle)) {
        MK_TRACE("The decoder has been unregistered!\n");
        return MK_ERR_ADEC_DECODER_ERR;
    }
    c.bCreated = false;
    c.bDestroying = true;
    // Wake the callers waiting on either semaphore; each passes the wake on as it leaves.
    if (SemValue(&c.semRead) == 0) sem_post(&c.semRead);
    if (SemValue(&c.semWrite) == 0) sem_post(&c.semWrite);
    Adec().registry.astDecoder[c.s32Handle].pfnCloseDecoder(c.pDecoder);
    c.pDecoder = nullptr;
    if (c.bOutRun.exchange(false)) {
        lock.unlock();
        c.outThread.join();
        lock.lock();
    }
    lock.unlock();
    if (c.decThread.joinable()) c.decThread.join();
    lock.lock();
    // The semaphores go only once nobody waits in them.
    c.idle.wait(lock, [&c] { return c.u32Waiters == 0; });
    FreeBuffers(c);
    if (sem_destroy(&c.semRead) != 0) MK_TRACE("destroy semRead err %d!\n", errno);
    if (sem_destroy(&c.semWrite) != 0) MK_TRACE("destroy semWrite err %d!\n", errno);
    c.bDestroying = false;
    lock.unlock();
    dev::Ioctl(Adec().fd[chn].fd(), MK_ADEC_IOC_DESTROY_CHN, nullptr);
    return MK_SUCCESS;
}

MK_S32 SendPack(AdecChn& c, std::unique_lock<std::mutex>& lock, MK_S32 chn, const AUDIO_STREAM_S& s,
                MK_U32 bBlock) {
    ++c.stDbg.u32RecvPackets;
    SendDbg(chn, c.stDbg);
    if (bBlock == 0) {
        if (sem_trywait(&c.semWrite) != 0) return MK_ERR_ADEC_BUF_FULL;
    } else {
        CountedWait(c, lock, &c.semWrite);
        if (!c.bCreated) {
            sem_post(&c.semWrite);
            return MK_ERR_ADEC_UNEXIST;
        }
    }
    FramePool* pool = c.pstPool;
    const MK_S32 i = pool->Pop(pool->freeList, SlotState::kReady);
    if (i < 0) {
        sem_post(&c.semWrite);
        return MK_ERR_ADEC_BUF_FULL;
    }
    if (SlotFreed(c.s32Handle)) {
        pool->Push(pool->freeList, i, SlotState::kFree);
        sem_post(&c.semWrite);
        MK_TRACE("The decoder has been unregistered!\n");
        return MK_ERR_ADEC_DECODER_ERR;
    }
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    // Decoded from the channel's own copy: a decoder may rewrite its input in place, and the packet
    // is the caller's.
    std::memcpy(c.au8Stream, s.pStream, s.u32Len);
    MK_U8* in = c.au8Stream;
    MK_S32 left = static_cast<MK_S32>(s.u32Len);
    MK_U32 outLen = 0;
    MK_U32 chns = 1;
    FramePool::Slot& slot = pool->astSlot[i];
    const ADEC_DECODER_S& d = Adec().registry.astDecoder[c.s32Handle];
    MK_S32 ret = d.pfnDecodeFrm(c.pDecoder, &in, &left, static_cast<MK_U16*>(slot.stFrame.pVirAddr[0]),
                                &outLen, &chns);
    if (ret != MK_SUCCESS) {
        pool->Push(pool->freeList, i, SlotState::kFree);
        sem_post(&c.semWrite);
        return MK_ERR_ADEC_DECODER_ERR;
    }
    FillFrame(c, slot, outLen, chns, s.u64TimeStamp);
    pool->Push(pool->readyList, i, SlotState::kReady);
    sem_post(&c.semRead);
    c.stDbg.u32Mode = 0;
    ++c.stDbg.u32DecFrames;
    ADEC_DBG_INFO_S dbg = c.stDbg;
    lock.unlock();
    SendDbg(chn, dbg);
    return MK_SUCCESS;
}

MK_S32 SendStreamMode(AdecChn& c, std::unique_lock<std::mutex>& lock, MK_S32 chn, const AUDIO_STREAM_S& s,
                      MK_U32 bBlock) {
    if (bBlock == 0 && static_cast<MK_S64>(s.u32Len) > kStreamBufLen - c.s32LeftBytes)
        return MK_ERR_ADEC_BUF_FULL;
    ++c.stDbg.u32RecvPackets;
    SendDbg(chn, c.stDbg);
    if (s.u32Len == 0) return MK_SUCCESS;
    c.bEndOfStream = false;
    lock.unlock();

    const MK_U8* src = s.pStream;
    MK_S64 remaining = s.u32Len;
    for (;;) {
        lock.lock();
        if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
        Compact(c);
        const MK_S32 room = kStreamBufLen - c.s32LeftBytes;
        if (remaining < room) {
            if (c.pstTst != nullptr)
                c.pstTst->Append(s.u64TimeStamp, c.s32LeftBytes, static_cast<MK_S32>(remaining));
            std::memcpy(c.au8Stream + c.s32LeftBytes, src, static_cast<size_t>(remaining));
            c.s32LeftBytes += static_cast<MK_S32>(remaining);
            return MK_SUCCESS;
        }
        // A full buffer waits for the decode thread rather than dropping what it holds.
        if (room > 0) {
            if (c.pstTst != nullptr) c.pstTst->Append(s.u64TimeStamp, c.s32LeftBytes, room);
            std::memcpy(c.au8Stream + c.s32LeftBytes, src, static_cast<size_t>(room));
            c.s32LeftBytes = kStreamBufLen;
            src += room;
            remaining -= room;
        }
        if (remaining > 0) ++c.u32FullWaits;
        lock.unlock();
        usleep(kRetryUs);
        if (remaining == 0) return MK_SUCCESS;
    }
}

// Gives every counted semaphore its exact value: ready frames, and free slots up to u32BufSize - 1.
void RecountLocked(AdecChn& c) {
    while (sem_trywait(&c.semRead) == 0) {
    }
    const MK_U32 free = c.pstPool->freeList.count;
    const int want = static_cast<int>(free < c.stAttr.u32BufSize - 1 ? free : c.stAttr.u32BufSize - 1);
    int have = SemValue(&c.semWrite);
    while (have < want) {
        sem_post(&c.semWrite);
        ++have;
    }
    while (have > want && sem_trywait(&c.semWrite) == 0) --have;
}

}  // namespace

MK_S32 MPI_ADEC_Init(MK_VOID) {
    AdecModule& m = Adec();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (m.bInit.load()) return MK_SUCCESS;
    BIND_SENDER_INFO_S sender{MK_ID_ADEC, 1, ADEC_MAX_CHN_NUM, nullptr};
    MK_S32 ret = SYS_BIND_RegisterSender(&sender);
    MK_ASSERT_IN(kSource, MK_SUCCESS == ret);
    // A failed start leaves nothing registered, so that a later start can register again.
    if (FaultFires(Fault::kAdecMutex)) {
        SYS_BIND_UnRegisterSender(MK_ID_ADEC);
        return MK_ERR_ADEC_NOMEM;
    }
    {
        std::lock_guard<std::mutex> lock(m.registry.mutex);
        m.registry.ClearLocked();
    }
    AUDIO_RegisterDecoders();
    m.bInit.store(true);
    return MK_SUCCESS;
}

MK_S32 MPI_ADEC_Exit(MK_VOID) {
    AdecModule& m = Adec();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (!m.bInit.load()) return MK_SUCCESS;
    for (MK_S32 chn = 0; chn < ADEC_MAX_CHN_NUM; ++chn) {
        DestroyChnInternal(chn);
    }
    SYS_BIND_UnRegisterSender(MK_ID_ADEC);
    {
        std::lock_guard<std::mutex> lock(m.registry.mutex);
        m.registry.ClearLocked();
    }
    m.bInit.store(false);
    return MK_SUCCESS;
}

MK_S32 MPI_ADEC_RegisterDecoder(MK_S32* ps32Handle, const ADEC_DECODER_S* pstDecoder) {
    if (ps32Handle == nullptr || pstDecoder == nullptr || pstDecoder->pfnOpenDecoder == nullptr ||
        pstDecoder->pfnDecodeFrm == nullptr || pstDecoder->pfnGetFrmInfo == nullptr ||
        pstDecoder->pfnCloseDecoder == nullptr) {
        return MK_ERR_ADEC_NULL_PTR;
    }
    Registry& r = Adec().registry;
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.u32Count >= ADEC_MAX_DECODER_NUM) return MK_ERR_ADEC_BUF_FULL;
    for (const ADEC_DECODER_S& d : r.astDecoder) {
        if (d.enType == pstDecoder->enType) return MK_ERR_ADEC_BUF_FULL;
    }
    for (MK_S32 i = 0; i < ADEC_MAX_DECODER_NUM; ++i) {
        if (r.astDecoder[i].enType != kFreeType) continue;
        r.astDecoder[i] = *pstDecoder;
        *ps32Handle = i;
        ++r.u32Count;
        return MK_SUCCESS;
    }
    return MK_ERR_ADEC_BUF_FULL;
}

MK_S32 MK_MPI_ADEC_CreateChn(MK_S32 AdChn, const ADEC_CHN_ATTR_S* pstAttr) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    if (pstAttr == nullptr) return MK_ERR_ADEC_NULL_PTR;
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    const ADEC_CHN_ATTR_S attr = *pstAttr;
    ret = CreateChnLocked(AdChn, attr);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    ADEC_DBG_INFO_S dbg;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        const MK_U32 word = *static_cast<const MK_U32*>(attr.pValue);
        c.stDbg.u32G726Bps = attr.enType == PT_G726 ? word : 8;
        c.stDbg.u32AdpcmType = attr.enType == PT_ADPCMA ? word : 3;
        c.stDbg.u32Mode = attr.enMode == ADEC_MODE_STREAM ? 1 : 0;
        dbg = c.stDbg;
    }
    SendDbg(AdChn, dbg);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_ADEC_DestroyChn(MK_S32 AdChn) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    return DestroyChnInternal(AdChn);
}

MK_S32 MK_MPI_ADEC_SendStream(MK_S32 AdChn, const AUDIO_STREAM_S* pstStream, MK_U32 bBlock) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    if (pstStream == nullptr || pstStream->pStream == nullptr) return MK_ERR_ADEC_NULL_PTR;
    if (bBlock > 1) {
        MK_TRACE("bBlock should be 0 or 1.\n");
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    const AUDIO_STREAM_S s = *pstStream;
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    if (c.enMode == ADEC_MODE_STREAM) return SendStreamMode(c, lock, AdChn, s, bBlock);
    if (s.u32Len > static_cast<MK_U32>(kStreamBufLen)) {
        MK_TRACE("u32Len:%d, maxlen:%d\n", s.u32Len, kStreamBufLen);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    return SendPack(c, lock, AdChn, s, bBlock);
}

MK_S32 MK_MPI_ADEC_GetFrame(MK_S32 AdChn, AUDIO_FRAME_INFO_S* pstFrmInfo, MK_U32 bBlock) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    if (pstFrmInfo == nullptr) return MK_ERR_ADEC_NULL_PTR;
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (bBlock > 1) {
        MK_TRACE("bBlock should be 0 or 1.\n");
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    if (bBlock == 0) {
        if (sem_trywait(&c.semRead) != 0) return MK_ERR_ADEC_BUF_EMPTY;
    } else {
        CountedWait(c, lock, &c.semRead);
        if (!c.bCreated) {
            sem_post(&c.semRead);
            return MK_ERR_ADEC_UNEXIST;
        }
    }
    FramePool* pool = c.pstPool;
    const MK_S32 i = pool->Pop(pool->readyList, SlotState::kOut);
    if (i < 0) {
        sem_post(&c.semRead);
        return MK_ERR_ADEC_BUF_EMPTY;
    }
    pstFrmInfo->pstFrame = &pool->astSlot[i].stFrame;
    pstFrmInfo->u32Id = static_cast<MK_U32>(i);
    ++c.stDbg.u32GetFrames;
    ADEC_DBG_INFO_S dbg = c.stDbg;
    lock.unlock();
    SendDbg(AdChn, dbg);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_ADEC_ReleaseFrame(MK_S32 AdChn, const AUDIO_FRAME_INFO_S* pstFrmInfo) {
    if (pstFrmInfo == nullptr || pstFrmInfo->pstFrame == nullptr) return MK_ERR_ADEC_NULL_PTR;
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    FramePool* pool = c.pstPool;
    const MK_U32 id = pstFrmInfo->u32Id;
    // Only a slot out with a caller comes back: a ready slot never taken would be handed out twice.
    if (id >= pool->u32Num || pstFrmInfo->pstFrame != &pool->astSlot[id].stFrame ||
        pool->astSlot[id].enState != SlotState::kOut) {
        MK_TRACE("FrmInfo is invalid.\n");
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    pool->Push(pool->freeList, static_cast<MK_S32>(id), SlotState::kFree);
    if (SemValue(&c.semWrite) < static_cast<int>(c.stAttr.u32BufSize - 1)) sem_post(&c.semWrite);
    ++c.stDbg.u32ReleaseFrames;
    ADEC_DBG_INFO_S dbg = c.stDbg;
    lock.unlock();
    SendDbg(AdChn, dbg);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_ADEC_ClearChnBuf(MK_S32 AdChn) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    DropStream(c);
    FramePool* pool = c.pstPool;
    for (MK_S32 i; (i = pool->Pop(pool->readyList, SlotState::kFree)) >= 0;) {
        pool->Push(pool->freeList, i, SlotState::kFree);
    }
    // Exact counts, so a waiting taker goes on waiting for a real frame.
    RecountLocked(c);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_ADEC_SendEndOfStream(MK_S32 AdChn, MK_U32 bInstant) {
    if (!ChnValid(AdChn)) return MK_ERR_ADEC_INVALID_CHNID;
    if (bInstant > 1) {
        MK_TRACE("bInstant should be 0 or 1.\n");
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    MK_S32 ret = OpenChn(AdChn);
    if (ret != MK_SUCCESS) return ret;
    AdecChn& c = Adec().chn[AdChn];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_ERR_ADEC_UNEXIST;
    if (bInstant == 0) {
        c.bEndOfStream = true;
        return MK_SUCCESS;
    }
    if (SlotFreed(c.s32Handle)) {
        MK_TRACE("The decoder has been unregistered!\n");
        return MK_ERR_ADEC_DECODER_ERR;
    }
    const ADEC_DECODER_S& d = Adec().registry.astDecoder[c.s32Handle];
    if (d.pfnResetDecoder != nullptr) {
        ret = d.pfnResetDecoder(c.pDecoder);
        if (ret != MK_SUCCESS) {
            MK_TRACE("Reset Decoder failed!\n");
            return ret;
        }
    }
    lock.unlock();
    ret = MK_MPI_ADEC_ClearChnBuf(AdChn);
    if (ret != MK_SUCCESS) {
        MK_TRACE("MK_MPI_ADEC_ClearChnBuf failed!\n");
        return ret;
    }
    lock.lock();
    c.bEndOfStream = false;
    return MK_SUCCESS;
}

namespace mk::adec_testing {

MK_U32 Waiters(MK_S32 chn) {
    AdecChn& c = Adec().chn[chn];
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.u32Waiters;
}

MK_U32 FullWaits(MK_S32 chn) {
    AdecChn& c = Adec().chn[chn];
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.u32FullWaits;
}

}  // namespace mk::adec_testing
