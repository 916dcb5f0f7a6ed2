// The JPEG decode channels and their two threads. The parse thread passes over the 64 channels, takes a
// picture out of the driver, parses it on a free decoder object, gets a frame buffer and hands the
// decoder to the decode thread through the busy list; the decode thread decodes into the frame buffer
// and gives frame and stream back. A channel's busy flag hands its picture fields from one thread to the
// other and back; destroy and reset wait for it to clear.
//
// Lock order: a channel's mutex before the decoder-list mutex, never the other way about.
#include <pthread.h>
#include <semaphore.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/jpegd/internal/jpegd_internal.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mpi_jpegd.h"
#include "sdk/sys/mpi_sys.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kUsrSource = "sdk/code/mpi/jpegd/jpegd_usr";

constexpr MK_S32 kErrChn = MK_ERR(MK_ID_VDEC, MK_ERR_INVALID_CHNID);
constexpr MK_S32 kErrExist = MK_ERR(MK_ID_VDEC, MK_ERR_EXIST);
constexpr MK_S32 kErrUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr MK_S32 kErrNull = MK_ERR(MK_ID_VDEC, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrPerm = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);
constexpr MK_S32 kErrNoMem = MK_ERR(MK_ID_VDEC, MK_ERR_NOMEM);
constexpr MK_S32 kErrNotReady = MK_ERR(MK_ID_VDEC, MK_ERR_SYS_NOTREADY);

enum State { kCreated = 1, kResetting = 3, kDestroying = 4, kFree = 5 };

constexpr int kDecoders = 6;
constexpr std::chrono::microseconds kPassPause{100};
constexpr useconds_t kBusyPollUs = 1000;

struct Ctx {
    VDEC_CHN_ATTR_S attr;
    int state;                // guarded by mutex
    JPEGD_STREAM_S stream;    // the picture held; au32PhyAddr[0] != 0 while held
    JPEGD_FRAME_BUF_S frameBuf;  // u32PhyAddr != 0 while held
    MK_U32 fbPhyAddr;
    MK_U8* fbVirAddr;
    MK_U32 fbSize;
    JPEGD_BUF_INFO_S bufInfo;
    MK_U8* ringVirAddr;     // the working buffer, mapped for the channel's life
    MK_U8* streamVirAddr[2];
    bool streamMapped[2];   // a part outside the working buffer, mapped for the picture
    bool receiving;              // guarded by mutex
    std::atomic<bool> busy;      // a thread works on the channel's picture
    std::atomic<MK_S32> errType;  // outcome of the last picture
    std::mutex mutex;
};

struct Decoder {
    Decoder* next;
    Decoder* prev;
    int chn;
    j_decompress_ptr obj;
    bool inUse;
    bool parsed;
};

// A circular doubly linked list behind a sentinel; taken from the head, added at the tail.
struct DecList {
    Decoder head;
    int count;
};

// Frame buffers stay mapped once mapped (the most recently used ones): setting up the page tables of a
// buffer for every picture costs more than decoding into it. Used by both threads.
class MapCache {
public:
    // A mapping of [phys, phys + size), or null when none can be made.
    MK_U8* Map(MK_U32 phys, MK_U32 size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Entry& e : m_entries) {
            if (e.phys == phys && e.size == size) {
                ++e.users;
                e.lastUse = ++m_clock;
                return e.vir;
            }
        }
        auto* vir = static_cast<MK_U8*>(MK_MPI_SYS_Mmap(phys, size));
        if (vir == nullptr) return nullptr;
        if (m_entries.size() >= kKept) EvictOneLocked();
        m_entries.push_back(Entry{phys, size, vir, 1, ++m_clock});
        return vir;
    }
    // The caller is done with a mapping; it stays for the next picture.
    void Unmap(const MK_U8* vir) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Entry& e : m_entries) {
            if (e.vir == vir && e.users > 0) {
                --e.users;
                return;
            }
        }
    }
    // Unmaps everything no picture uses, or everything (once no thread is left to use any).
    void Clear(bool all) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (it->users == 0 || all) {
                MK_MPI_SYS_Munmap(it->vir, it->size);
                it = m_entries.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    static constexpr size_t kKept = 32;
    struct Entry {
        MK_U32 phys;
        MK_U32 size;
        MK_U8* vir;
        int users;
        uint64_t lastUse;
    };
    // Drops the least recently used mapping that no picture uses (none: the cache grows).
    void EvictOneLocked() {
        auto oldest = m_entries.end();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->users == 0 && (oldest == m_entries.end() || it->lastUse < oldest->lastUse)) oldest = it;
        }
        if (oldest == m_entries.end()) return;
        MK_MPI_SYS_Munmap(oldest->vir, oldest->size);
        m_entries.erase(oldest);
    }

    std::mutex m_mutex;  // guards everything below
    std::vector<Entry> m_entries;
    uint64_t m_clock = 0;
};

struct Module {
    // Channel contexts.
    Ctx ctx[VDEC_MAX_CHN_NUM];
    // Decoder objects and their lists, guarded by stDecMutex.
    Decoder stJpegDecoder[kDecoders];
    bool decodersMade;
    DecList freeList;
    DecList busyList;
    std::mutex stDecMutex;
    sem_t stParseSema;  // a decoder went back to the free list
    sem_t stDecSema;    // a picture went on the busy list
    // Threads.
    std::atomic<int> runFlag;
    // The parse thread's pause between passes, cut short when a channel's picture is done.
    std::mutex passMutex;
    std::condition_variable passCv;
    bool passWanted = false;  // guarded by passMutex
    pthread_t decThread;
    pthread_t parseThread;
    bool decStarted;
    bool parseStarted;
    // Frame buffers' mappings.
    MapCache frameMaps;
    // Set-up.
    std::mutex initMutex;  // serialises init and take-down
    std::atomic<bool> initialised;
};

Module& M() {
    static auto* m = new Module{};  // never destroyed: threads may still run at process exit
    return *m;
}

std::atomic<mk::jpegd::ThreadStarter> g_starter{nullptr};

int StartThread(pthread_t* t, void* (*body)(void*), void* arg) {
    mk::jpegd::ThreadStarter s = g_starter.load();
    return s != nullptr ? s(t, body, arg) : pthread_create(t, nullptr, body, arg);
}

bool InRange(VDEC_CHN chn) { return static_cast<MK_U32>(chn) < VDEC_MAX_CHN_NUM; }

// ---- Decoder lists (stDecMutex held) ----

void ListInit(DecList& l) {
    l.head.next = l.head.prev = &l.head;
    l.count = 0;
}

void ListPushTail(DecList& l, Decoder* d) {
    d->prev = l.head.prev;
    d->next = &l.head;
    l.head.prev->next = d;
    l.head.prev = d;
    ++l.count;
}

Decoder* ListPopHead(DecList& l) {
    const Decoder* plist = l.head.next;
    MK_ASSERT_IN(kUsrSource, plist != MK_NULL);
    Decoder* d = l.head.next;
    if (d == &l.head) return nullptr;
    d->next->prev = &l.head;
    l.head.next = d->next;
    d->next = d->prev = nullptr;
    --l.count;
    return d;
}

Decoder* JPGGetDecoderFromFreeList(int chn) {
    Decoder* d = ListPopHead(M().freeList);
    if (d == nullptr) return nullptr;
    d->inUse = true;
    d->chn = chn;
    return d;
}

void JPGPutDecoderToFreeList(Decoder* d) {
    ListPushTail(M().freeList, d);
    d->chn = -1;
    d->inUse = false;
    d->parsed = false;
}

void JPGPutDecoderToBusyList(Decoder* d) {
    ListPushTail(M().busyList, d);
    d->inUse = true;
    d->parsed = true;
}

Decoder* JPGGetDecoderFromBusyList() { return ListPopHead(M().busyList); }

void JPGDestroyDecoders() {
    Module& m = M();
    for (Decoder& d : m.stJpegDecoder) {
        if (d.obj != nullptr) MK_JPEG_Destroy(d.obj);
        d = Decoder{nullptr, nullptr, -1, nullptr, false, false};
    }
    ListInit(m.freeList);
    ListInit(m.busyList);
    m.decodersMade = false;
}

int JPGCreateDecoders(int n) {
    Module& m = M();
    ListInit(m.freeList);
    ListInit(m.busyList);
    for (int i = 0; i < n; ++i) {
        Decoder& d = m.stJpegDecoder[i];
        d = Decoder{nullptr, nullptr, -1, nullptr, false, false};
        if (MK_JPEG_Create(&d.obj) != MK_SUCCESS) {
            std::printf("create jpegdec handle err !!\n");
            JPGDestroyDecoders();
            return MK_FAILURE;
        }
        JPGPutDecoderToFreeList(&d);
    }
    m.decodersMade = true;
    return MK_SUCCESS;
}

// ---- Requests to the driver ----

int VdecFd(VDEC_CHN chn) { return MK_MPI_VDEC_GetFd(chn); }

void ReleaseStream(VDEC_CHN chn, Ctx& c) {
    const MK_S32 s32Ret = dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_RELEASE_STREAM, &c.stream);
    MK_ASSERT_IN(kUsrSource, MK_SUCCESS == s32Ret);
    std::memset(&c.stream, 0, sizeof(c.stream));
}

void Report(VDEC_CHN chn, MK_S32 errType, MK_U32 width, MK_U32 height) {
    JPEGD_REPORT_S r{errType, width, height};
    const MK_S32 s32Ret = dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_REPORT, &r);
    MK_ASSERT_IN(kUsrSource, MK_SUCCESS == s32Ret);
}

void PutFrame(VDEC_CHN chn, JPEGD_FRAME_S* f) {
    const MK_S32 s32Ret = dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_PUT_FRAME, f);
    MK_ASSERT_IN(kUsrSource, MK_SUCCESS == s32Ret);
}

// A part of the picture: inside the working buffer, through the channel's mapping of it; elsewhere
// mapped for this picture alone.
MK_U8* MapStreamPart(Ctx& c, int part) {
    const MK_U32 phys = c.stream.au32PhyAddr[part];
    const MK_U32 len = c.stream.au32Len[part];
    const MK_U64 off = static_cast<MK_U64>(phys) - c.bufInfo.u32PhyAddr;
    if (c.ringVirAddr != nullptr && phys >= c.bufInfo.u32PhyAddr && off + len <= c.bufInfo.u32Len) {
        c.streamMapped[part] = false;
        return c.ringVirAddr + off;
    }
    c.streamMapped[part] = true;
    return static_cast<MK_U8*>(MK_MPI_SYS_Mmap(phys, len));
}

void UnmapStream(Ctx& c) {
    for (int i = 0; i < 2; ++i) {
        if (c.streamVirAddr[i] != nullptr && c.streamMapped[i]) MK_MPI_SYS_Munmap(c.streamVirAddr[i], c.stream.au32Len[i]);
        c.streamVirAddr[i] = nullptr;
        c.streamMapped[i] = false;
    }
}

void UnmapFrameBuf(Ctx& c) {
    if (c.fbVirAddr != nullptr) M().frameMaps.Unmap(c.fbVirAddr);
    c.fbVirAddr = nullptr;
}

void UnmapRing(Ctx& c) {
    if (c.ringVirAddr != nullptr) MK_MPI_SYS_Munmap(c.ringVirAddr, c.bufInfo.u32Len);
    c.ringVirAddr = nullptr;
}

void FreeDecoder(Decoder* d) {
    std::lock_guard<std::mutex> lock(M().stDecMutex);
    JPGPutDecoderToFreeList(d);
}

// ---- The parse thread ----

// A picture the channel cannot decode: the stream goes back, the outcome is reported.
void RefusePicture(VDEC_CHN chn, Ctx& c, MK_S32 errType, MK_U32 width, MK_U32 height) {
    UnmapStream(c);
    ReleaseStream(chn, c);
    c.errType = errType;
    Report(chn, errType, width, height);
}

void ParseChannel(VDEC_CHN chn) {
    Module& m = M();
    Ctx& c = m.ctx[chn];
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.state != kCreated || c.busy) return;
        c.busy = true;
    }
    c.streamVirAddr[0] = c.streamVirAddr[1] = nullptr;
    c.errType = JPEGD_ERR_NONE;
    if (c.stream.au32PhyAddr[0] == 0) {
        JPEGD_STREAM_S st{};
        if (dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_GET_STREAM, &st) != MK_SUCCESS) {
            c.busy = false;
            return;
        }
        c.stream = st;
    }
    c.streamVirAddr[0] = MapStreamPart(c, 0);
    if (c.streamVirAddr[0] != nullptr && c.stream.au32PhyAddr[1] != 0) c.streamVirAddr[1] = MapStreamPart(c, 1);
    if (c.streamVirAddr[0] == nullptr || (c.stream.au32PhyAddr[1] != 0 && c.streamVirAddr[1] == nullptr)) {
        UnmapStream(c);
        c.busy = false;
        return;
    }
    MK_U32 len1 = 0, len2 = 0;
    if (!mk::jpegd::ParseLengths(c.stream, &len1, &len2)) {
        // Nothing but (part of) the trailer: no picture to parse.
        RefusePicture(chn, c, JPEGD_ERR_DECODE, c.attr.u32PicWidth, c.attr.u32PicHeight);
        c.busy = false;
        return;
    }

    Decoder* d = nullptr;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m.stDecMutex);
            d = JPGGetDecoderFromFreeList(chn);
        }
        if (d != nullptr) break;
        sem_wait(&m.stParseSema);
        if (m.runFlag != 1) {
            // Shutting down: the stream stays held, untouched.
            UnmapStream(c);
            c.busy = false;
            return;
        }
    }

    if (MK_JPEG_Parse(d->obj, c.bufInfo.u32PhyAddr, c.bufInfo.u32Len, c.stream.au32PhyAddr[0], c.streamVirAddr[0],
                      c.streamVirAddr[1], len1, len2) != MK_SUCCESS) {
        RefusePicture(chn, c, JPEGD_ERR_DECODE, c.attr.u32PicWidth, c.attr.u32PicHeight);
        FreeDecoder(d);
        c.busy = false;
        return;
    }
    MK_U32 info[3] = {};
    MK_JPEG_GetImageInfo(d->obj, info);
    const MK_U64 area = static_cast<MK_U64>(info[0]) * info[1];
    const MK_U64 largest = static_cast<MK_U64>(c.attr.u32PicWidth) * c.attr.u32PicHeight;
    MK_S32 err = JPEGD_ERR_NONE;
    if (area > largest) {
        err = JPEGD_ERR_SIZE;
    } else if (info[2] > JPEGD_FMT_MAX_DECODED) {
        err = JPEGD_ERR_UNSUPPORTED;
    }
    if (err != JPEGD_ERR_NONE) {
        RefusePicture(chn, c, err, info[0], info[1]);
        MK_JPEG_ResetDec(d->obj);
        FreeDecoder(d);
        c.busy = false;
        return;
    }

    // Retried on the next pass: a frame buffer the driver cannot give now, or one that cannot be mapped.
    auto retryLater = [&] {
        UnmapStream(c);
        MK_JPEG_ResetDec(d->obj);
        FreeDecoder(d);
        c.busy = false;
    };
    if (c.frameBuf.u32PhyAddr == 0) {
        JPEGD_FRAME_BUF_S fb{info[0], info[1], info[2], 0, 0, 0};
        if (dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_GET_FRAME_BUF, &fb) != MK_SUCCESS) {
            retryLater();
            return;
        }
        c.frameBuf = fb;
    }
    c.fbPhyAddr = c.frameBuf.u32PhyAddr;
    c.fbSize = c.frameBuf.u32Size;
    c.fbVirAddr = M().frameMaps.Map(c.fbPhyAddr, c.fbSize);
    if (c.fbVirAddr == nullptr) {
        retryLater();
        return;
    }
    int state;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        state = c.state;
    }
    if (state == kResetting || state == kDestroying) {
        // Stream and frame buffer stay held for the destroy or reset to give back.
        MK_JPEG_ResetDec(d->obj);
        FreeDecoder(d);
        UnmapFrameBuf(c);
        UnmapStream(c);
        c.busy = false;
    } else {
        std::lock_guard<std::mutex> lock(m.stDecMutex);
        JPGPutDecoderToBusyList(d);
    }
    sem_post(&m.stDecSema);
}

void* JpegdParseThread(void* arg) {
    prctl(PR_SET_NAME, "JpegdParseThread");  // the kernel keeps 15 characters
    auto* run = static_cast<std::atomic<int>*>(arg);
    while (*run == 1) {
        for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM && *run == 1; ++chn) ParseChannel(chn);
        std::unique_lock<std::mutex> lock(M().passMutex);
        M().passCv.wait_for(lock, kPassPause, [&] { return M().passWanted || *run != 1; });
        M().passWanted = false;
    }
    return nullptr;
}

// ---- The decode thread ----

// A grey picture's chroma is neutral: every row the consumer reads, the last pair of an odd width too.
void FillGreyChroma(const MK_JPEG_DECRESULT_S& r) {
    const MK_U32 rows = (r.u32OutHeight + 1) / 2;
    const MK_U32 width = (r.u32OutWidth + 1) & ~1u;
    for (MK_U32 y = 0; y < rows; ++y) std::memset(r.pu8ChromaVirAddr + static_cast<size_t>(y) * r.u32LumaStride, 128, width);
}

void DecodePicture(Decoder* d) {
    Module& m = M();
    const VDEC_CHN chn = d->chn;
    Ctx& c = m.ctx[chn];
    MK_JPEG_FRAMEBUF_S fb{c.fbPhyAddr, c.fbVirAddr, c.fbSize};
    MK_JPEG_DECRESULT_S r{};
    JPEGD_FRAME_S f{};
    f.u64PTS = c.stream.u64PTS;
    f.u32Token = c.frameBuf.u32Token;
    if (MK_JPEG_Decode(d->obj, &fb, &r) == MK_SUCCESS) {
        c.errType = JPEGD_ERR_NONE;
        MK_U32 chromaStride = r.u32ChromaStride;
        if (r.u32Format == JPEGD_FMT_YUV400) {
            FillGreyChroma(r);
            chromaStride = r.u32LumaStride;
        }
        f.u32Format = 1;
        f.bPicture = 1;
        f.au32Result[0] = r.au32Result[0];
        f.au32Result[1] = r.au32Result[1];
        f.u32One = 1;
        f.u32Width = r.u32OutWidth;
        f.u32Height = r.u32OutHeight;
        f.u32LumaPhyAddr = r.u32LumaPhyAddr;
        f.u32LumaStride = r.u32LumaStride;
        f.u32ChromaPhyAddr = r.u32ChromaPhyAddr;
        f.u32ChromaEndPhyAddr = r.u32ChromaPhyAddr + chromaStride * r.u32OutHeight / 2;
        f.u32ChromaStride = chromaStride;
    } else {
        c.errType = JPEGD_ERR_DECODE;
        f.u32Format = r.u32Format;
        f.bPicture = 0;
        f.u32LumaPhyAddr = c.fbPhyAddr;
    }
    Report(chn, c.errType, r.u32OutWidth, r.u32OutHeight);
    PutFrame(chn, &f);
    const MK_S32 s32Ret = dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_RELEASE_STREAM, &c.stream);
    MK_ASSERT_IN(kUsrSource, MK_SUCCESS == s32Ret);
    UnmapFrameBuf(c);
    UnmapStream(c);
    std::memset(&c.stream, 0, sizeof(c.stream));
    std::memset(&c.frameBuf, 0, sizeof(c.frameBuf));
    c.busy = false;
    FreeDecoder(d);
    sem_post(&m.stParseSema);
    // The channel may have its next picture waiting: the parse thread need not finish its pause.
    {
        std::lock_guard<std::mutex> lock(m.passMutex);
        m.passWanted = true;
    }
    m.passCv.notify_one();
}

void* JpegdDecodeThread(void* arg) {
    prctl(PR_SET_NAME, "JpegdDecodeThread");
    Module& m = M();
    auto* run = static_cast<std::atomic<int>*>(arg);
    while (*run == 1) {
        Decoder* d;
        {
            std::lock_guard<std::mutex> lock(m.stDecMutex);
            d = JPGGetDecoderFromBusyList();
        }
        if (d == nullptr) {
            sem_wait(&m.stDecSema);
            continue;
        }
        DecodePicture(d);
    }
    return nullptr;
}

// Stops the threads that run (after a failed start, or at the take-down) and joins them.
void StopThreads() {
    Module& m = M();
    {
        std::lock_guard<std::mutex> lock(m.passMutex);
        m.runFlag = 0;
    }
    m.passCv.notify_one();
    sem_post(&m.stDecSema);
    // The parse thread may wait for a decoder that the ended decode thread will never give back.
    sem_post(&m.stParseSema);
    if (m.decStarted) pthread_join(m.decThread, nullptr);
    if (m.parseStarted) pthread_join(m.parseThread, nullptr);
    m.decStarted = m.parseStarted = false;
}

// The first channel since the set-up: decoders, then the decode thread, then the parse thread. Called
// with stDecMutex held in `decLock`; a failed start is undone whole, the started thread stopped with the
// lock released, since that thread takes it.
MK_S32 StartRun(std::unique_lock<std::mutex>& decLock) {
    Module& m = M();
    if (JPGCreateDecoders(kDecoders) != MK_SUCCESS) {
        std::printf("JPGCreateDecoder err !\n");
        return kErrNoMem;
    }
    m.runFlag = 1;
    m.decStarted = StartThread(&m.decThread, JpegdDecodeThread, &m.runFlag) == 0;
    m.parseStarted = m.decStarted && StartThread(&m.parseThread, JpegdParseThread, &m.runFlag) == 0;
    if (m.parseStarted) return MK_SUCCESS;
    decLock.unlock();
    StopThreads();
    decLock.lock();
    JPGDestroyDecoders();
    return kErrNoMem;
}

// What a destroyed or reset channel still holds goes back to the driver (the channel's mutex held).
// At the take-down a refusal is let be: whatever the driver no longer knows is not held any more.
void GiveBack(VDEC_CHN chn, Ctx& c, bool atExit = false) {
    if (atExit) {
        if (c.stream.au32PhyAddr[0] != 0) dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_RELEASE_STREAM, &c.stream);
        std::memset(&c.stream, 0, sizeof(c.stream));
    } else if (c.stream.au32PhyAddr[0] != 0) {
        ReleaseStream(chn, c);
    }
    if (c.frameBuf.u32PhyAddr != 0) {
        JPEGD_FRAME_S f{};
        f.u32Format = JPEGD_FRAME_FORMAT_NONE;
        f.bPicture = 0;
        f.u32Token = c.frameBuf.u32Token;
        f.u32Width = 0xFFFFFFFFu;
        f.u32Height = 0xFFFFFFFFu;
        f.u32LumaPhyAddr = c.frameBuf.u32PhyAddr;
        const MK_S32 s32Ret = dev::Ioctl(VdecFd(chn), MK_JPEGD_IOC_PUT_FRAME, &f);
        if (s32Ret != MK_SUCCESS && !atExit) {
            std::printf("chn state: %d\n", c.state);
            std::printf("put vb fail!%x\n", static_cast<unsigned>(s32Ret));
            MK_ASSERT_IN(kUsrSource, MK_SUCCESS == s32Ret);
        }
    }
    std::memset(&c.frameBuf, 0, sizeof(c.frameBuf));
}

// Takes the channel out of the parse thread's passes (state `to`) and waits for its picture in work.
// After the take-down no thread is left to finish one: not ready.
MK_S32 Quiesce(VDEC_CHN chn, int to) {
    if (!InRange(chn)) return kErrChn;
    if (!M().initialised) return kErrNotReady;
    Ctx& c = M().ctx[chn];
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.state != kCreated) return kErrUnexist;
        if (c.receiving) return kErrPerm;
        c.state = to;
    }
    while (c.busy) usleep(kBusyPollUs);
    return MK_SUCCESS;
}

}  // namespace

namespace mk::jpegd {

void SetThreadStarter(ThreadStarter starter) { g_starter.store(starter); }

bool ParseLengths(const JPEGD_STREAM_S& s, MK_U32* len1, MK_U32* len2) {
    const MK_S64 l1 = s.au32Len[0];
    const MK_S64 l2 = s.au32Len[1];
    if (l1 + l2 - JPEGD_STREAM_TAIL <= 0) return false;
    if (l2 - JPEGD_STREAM_TAIL >= 1) {
        *len1 = static_cast<MK_U32>(l1);
        *len2 = static_cast<MK_U32>(l2 - JPEGD_STREAM_TAIL);
    } else {
        *len1 = static_cast<MK_U32>(l1 + l2 - JPEGD_STREAM_TAIL);
        *len2 = 0;
    }
    return true;
}

const VdecJpegOps kJpegdOps = {
    JPEGD_CreateChn, JPEGD_DestroyChn, JPEGD_StartRecvStream, JPEGD_StopRecvStream,
    JPEGD_ResetChn,  JPEGD_SetChnStarted, JPEGD_USR_Init,       JPEGD_USR_DeInit,
};

}  // namespace mk::jpegd

MK_S32 JPEGD_USR_Init(MK_VOID) {
    Module& m = M();
    std::lock_guard<std::mutex> lock(m.initMutex);
    if (m.initialised) return MK_SUCCESS;
    for (Ctx& c : m.ctx) {
        std::lock_guard<std::mutex> ctxLock(c.mutex);
        c.attr = VDEC_CHN_ATTR_S{};
        c.state = kFree;
        c.stream = JPEGD_STREAM_S{};
        c.frameBuf = JPEGD_FRAME_BUF_S{};
        c.fbPhyAddr = 0;
        c.fbVirAddr = nullptr;
        c.fbSize = 0;
        c.bufInfo = JPEGD_BUF_INFO_S{};
        c.ringVirAddr = nullptr;
        c.streamVirAddr[0] = c.streamVirAddr[1] = nullptr;
        c.streamMapped[0] = c.streamMapped[1] = false;
        c.receiving = false;
        c.busy = false;
        c.errType = JPEGD_ERR_NONE;
    }
    sem_init(&m.stParseSema, 0, 0);
    sem_init(&m.stDecSema, 0, 0);
    {
        std::lock_guard<std::mutex> decLock(m.stDecMutex);
        ListInit(m.freeList);
        ListInit(m.busyList);
    }
    m.runFlag = 0;
    m.initialised = true;
    return MK_SUCCESS;
}

MK_S32 JPEGD_USR_DeInit(MK_VOID) {
    Module& m = M();
    std::lock_guard<std::mutex> lock(m.initMutex);
    if (!m.initialised) return MK_SUCCESS;
    StopThreads();
    {
        // Only now, with both threads ended, is no decoder object in use.
        std::lock_guard<std::mutex> decLock(m.stDecMutex);
        if (m.decodersMade) JPGDestroyDecoders();
    }
    // Pictures the threads left half done (parsed, waiting on the busy list, or held for a next pass):
    // their streams and frame buffers go back to the driver, and no channel stays busy.
    for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) {
        Ctx& c = m.ctx[chn];
        std::lock_guard<std::mutex> ctxLock(c.mutex);
        UnmapFrameBuf(c);
        UnmapStream(c);
        if (c.stream.au32PhyAddr[0] != 0 || c.frameBuf.u32PhyAddr != 0) GiveBack(chn, c, true);
        c.busy = false;
        UnmapRing(c);
    }
    m.frameMaps.Clear(true);
    sem_destroy(&m.stParseSema);
    sem_destroy(&m.stDecSema);
    m.initialised = false;
    return MK_SUCCESS;
}

MK_S32 JPEGD_CreateChn(VDEC_CHN VdChn, const VDEC_CHN_ATTR_S* pstAttr) {
    if (!InRange(VdChn)) return kErrChn;
    if (pstAttr == nullptr) return kErrNull;
    Module& m = M();
    if (!m.initialised) return kErrNotReady;
    Ctx& c = m.ctx[VdChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.state != kFree) return kErrExist;
    JPEGD_BUF_INFO_S info{};
    if (dev::Ioctl(VdecFd(VdChn), MK_JPEGD_IOC_BUF_INFO, &info) != MK_SUCCESS || info.u32PhyAddr == 0 ||
        info.u32Len == 0) {
        std::printf("jpegbuf addr: %x Length:%d\n", info.u32PhyAddr, static_cast<int>(info.u32Len));
        return kErrNoMem;
    }
    c.bufInfo = info;
    {
        std::unique_lock<std::mutex> decLock(m.stDecMutex);
        if (m.runFlag == 0) {
            MK_S32 ret = StartRun(decLock);
            if (ret != MK_SUCCESS) return ret;
        }
    }
    // Pictures are read through one mapping of the working buffer (a part outside it is mapped alone).
    c.ringVirAddr = static_cast<MK_U8*>(MK_MPI_SYS_Mmap(info.u32PhyAddr, info.u32Len));
    c.attr = *pstAttr;
    c.state = kCreated;
    c.busy = false;
    return MK_SUCCESS;
}

MK_S32 JPEGD_DestroyChn(VDEC_CHN VdChn) {
    MK_S32 ret = Quiesce(VdChn, kDestroying);
    if (ret != MK_SUCCESS) return ret;
    Ctx& c = M().ctx[VdChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    c.state = kFree;
    GiveBack(VdChn, c);
    UnmapRing(c);
    return MK_SUCCESS;
}

MK_S32 JPEGD_ResetChn(VDEC_CHN VdChn) {
    MK_S32 ret = Quiesce(VdChn, kResetting);
    if (ret != MK_SUCCESS) return ret;
    Ctx& c = M().ctx[VdChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    GiveBack(VdChn, c);
    return MK_SUCCESS;
}

MK_S32 JPEGD_SetChnStarted(VDEC_CHN VdChn) {
    if (!InRange(VdChn)) return kErrChn;
    Ctx& c = M().ctx[VdChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    c.state = kCreated;
    return MK_SUCCESS;
}

static MK_S32 SetReceiving(VDEC_CHN chn, bool receiving) {
    if (!InRange(chn)) return kErrChn;
    Ctx& c = M().ctx[chn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.state != kCreated) return kErrUnexist;
    c.receiving = receiving;
    return MK_SUCCESS;
}

MK_S32 JPEGD_StartRecvStream(VDEC_CHN VdChn) { return SetReceiving(VdChn, true); }
MK_S32 JPEGD_StopRecvStream(VDEC_CHN VdChn) { return SetReceiving(VdChn, false); }

MK_S32 JPEGD_GetErrorType(VDEC_CHN VdChn) { return InRange(VdChn) ? M().ctx[VdChn].errType.load() : -1; }

int mk::jpegd::ChannelState(VDEC_CHN chn) {
    if (!InRange(chn)) return -1;
    Ctx& c = M().ctx[chn];
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.state;
}
