// Decode feeding: one thread per decode channel takes the frames its ring parser found, hands video
// frames to the decoder at the pace of their frame rate and of the playback speed, keeps the playback
// clock and passes audio frames to the audio path's output list.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "app/comm/app_log.h"
#include "app/comm/cap_frame.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/dec_clock.h"
#include "app/dec/vdec_feed.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../dec/AVdecFeed.c";

// Playback speeds by speed index; 6 is normal speed.
constexpr uint32_t kSpeedTab[] = {2, 4, 8, 15, 30, 60, 120, 240, 480, 720, 960, 1920, 3840};
constexpr uint32_t kNormalSpeed = 6;
constexpr uint32_t kMaxSpeed = sizeof(kSpeedTab) / sizeof(kSpeedTab[0]) - 1;
constexpr uint32_t kPacketReserve = 131072;  // ring bytes kept free of one frame
constexpr uint32_t kAudioMaxLen = 1600;
constexpr uint32_t kAudioListNodes = 90;
constexpr uint32_t kAudioListBytes = 16800;
constexpr uint32_t kPicCodeCif = 3;

AVdecSizeEntry g_astSize[AVDEC_CHN_NUM];
std::atomic<BufList* (*)()> g_pfnAudioList{nullptr};
std::atomic<bool (*)()> g_pfnAudioOn{nullptr};
std::atomic<int32_t (*)()> g_pfnDisplayMode{nullptr};

bool DisplayBusyWithPlayback() {
    int32_t (*pfn)() = g_pfnDisplayMode.load();
    return pfn != nullptr && pfn() == 1;
}

struct Feeders {
    std::mutex mutex;  // guards the thread table
    pthread_t athread[AVDEC_CHN_NUM];
    bool abValid[AVDEC_CHN_NUM] = {};
    std::atomic<bool> bStop{false};
};
Feeders& TheFeeders() {
    static auto* f = new Feeders;
    return *f;
}
uint32_t g_au32ChnId[AVDEC_CHN_NUM];

AVdecState* S() {
    return AVdecGetState();
}

uint32_t RingSize(uint32_t c) {
    return S()->Rec(c, REC_RING_SIZE);
}

// Reads `n` bytes at ring offset `off`, wrapping at the ring's end.
void RingCopy(const uint8_t* base, uint32_t size, uint32_t off, uint8_t* dst, uint32_t n) {
    off %= size;
    uint32_t first = std::min(n, size - off);
    std::memcpy(dst, base + off, first);
    if (n > first) std::memcpy(dst + first, base, n - first);
}

uint32_t NodeEnd(const VDEC_FRAMEINFO* p, uint32_t size) {
    return static_cast<uint32_t>((static_cast<uint64_t>(p->u32Offset) + p->u32HeadLen + p->u32Length) % size);
}

void RecountUsed(uint32_t c) {
    uint32_t size = RingSize(c);
    uint32_t used = 0;
    if (size != 0) {
        used = static_cast<uint32_t>((static_cast<uint64_t>(size) + S()->Rec(c, REC_RING_WRITE) -
                                      S()->Rec(c, REC_RING_READ)) % size);
    }
    S()->SetRec(c, REC_RING_USED, used);
}

bool Ntsc() {
    return S()->Head(AVDEC_HEAD_VSTD) == 1;
}

bool Fast(uint32_t c) {
    return S()->Rec(c, REC_DIRECTION) == 1 || S()->Rec(c, REC_SPEED) > kNormalSpeed;
}

uint32_t SpeedIndex(uint32_t c) {
    return std::min(S()->Rec(c, REC_SPEED), kMaxSpeed);
}

bool Digital(uint32_t c) {
    return S()->Rec(c, REC_DIGITAL) != 0;
}

// The board pairs (chip channels, digital channels) on which digital channels drop P frames.
bool DropPair() {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    return (cfg.u32ChnNum == 16 && cfg.u32DigitalNum == 8) || (cfg.u32ChnNum == 8 && cfg.u32DigitalNum == 16) ||
           (cfg.u32ChnNum == 4 && cfg.u32DigitalNum == 20);
}

// The playback clock: year, month, day, 0, hour, minute, second, 0.
void SetClock(uint32_t c, uint32_t u32Time) {
    uint32_t f[6];
    CapFrameUnpackTime(u32Time, f);
    const uint32_t words[8] = {f[0], f[1], f[2], 0, f[3], f[4], f[5], 0};
    for (uint32_t i = 0; i < 8; ++i) S()->SetRec(c, REC_CLOCK + 4 * i, words[i]);
}

uint32_t DaysIn(uint32_t month, uint32_t year) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return year % 4 == 0 ? 29 : 28;
        default:
            return 31;
    }
}

// One second on, carried into minutes, hours, days, months and years.
void AdvanceClock(uint32_t c) {
    auto get = [c](uint32_t i) { return S()->Rec(c, REC_CLOCK + 4 * i); };
    auto set = [c](uint32_t i, uint32_t v) { S()->SetRec(c, REC_CLOCK + 4 * i, v); };
    uint32_t year = get(0), month = get(1), day = get(2), hour = get(4), min = get(5), sec = get(6) + 1;
    if (sec >= 60) {
        sec = 0;
        if (++min >= 60) {
            min = 0;
            if (++hour >= 24) {
                hour = 0;
                if (++day > DaysIn(month, year)) {
                    day = 1;
                    if (++month > 12) {
                        month = 1;
                        ++year;
                    }
                }
            }
        }
    }
    set(0, year);
    set(1, month);
    set(2, day);
    set(4, hour);
    set(5, min);
    set(6, sec);
}

// Takes the node off the play end of the list, moving the ring's read (forward) or write (backward)
// offset. The record's mutex is held.
void Unlink(uint32_t c, VDEC_FRAMEINFO* p, bool bForward) {
    AVdecState::Host& h = S()->HostOf(c);
    uint32_t size = RingSize(c);
    if (bForward) {
        h.pHead = p->pNext;
        if (h.pHead != nullptr) {
            h.pHead->pPrev = nullptr;
        } else {
            h.pTail = nullptr;
        }
        S()->SetRec(c, REC_RING_READ, h.pHead != nullptr ? h.pHead->u32Offset : (size ? NodeEnd(p, size) : 0));
    } else {
        h.pTail = p->pPrev;
        if (h.pTail != nullptr) {
            h.pTail->pNext = nullptr;
        } else {
            h.pHead = nullptr;
        }
        S()->SetRec(c, REC_RING_WRITE, h.pTail != nullptr ? (size ? NodeEnd(h.pTail, size) : 0) : p->u32Offset);
    }
    if (h.pHead == nullptr) S()->SetRec(c, REC_STARVED, 1);
    RecountUsed(c);
}

// Holds a record's mutex for a scope.
class RecLock {
public:
    explicit RecLock(pthread_mutex_t* m) : m_m(m) { pthread_mutex_lock(m_m); }
    ~RecLock() { pthread_mutex_unlock(m_m); }
    RecLock(const RecLock&) = delete;
    RecLock& operator=(const RecLock&) = delete;

private:
    pthread_mutex_t* m_m;
};

void StopChn(MK_S32 vd, const char* pszLine) {
    MK_S32 r = MK_MPI_VDEC_StopRecvStream(vd);
    if (r != 0) APP_ERR(kSrc, "%s%#x!\n", pszLine, r);
}

}  // namespace

AVdecSizeEntry& AVdecSizeTable(uint32_t u32Vdec) {
    return g_astSize[u32Vdec < AVDEC_CHN_NUM ? u32Vdec : 0];
}

void AVdecSetDisplayModeHook(int32_t (*pfnDisplayMode)()) {
    g_pfnDisplayMode = pfnDisplayMode;
}

void AVdecSetAudioHooks(BufList* (*pfnOutList)(), bool (*pfnOutEnabled)()) {
    g_pfnAudioList = pfnOutList;
    g_pfnAudioOn = pfnOutEnabled;
}

BufList* AVdecAudioOutList() {
    BufList* (*pfn)() = g_pfnAudioList.load();
    return pfn != nullptr ? pfn() : nullptr;
}

bool AVdecAudioOutEnabled() {
    bool (*pfn)() = g_pfnAudioOn.load();
    return pfn != nullptr && pfn();
}

void AVdecFreeFrameListLocked(uint32_t c) {
    AVdecState::Host& h = S()->HostOf(c);
    VDEC_FRAMEINFO* p = h.pHead;
    while (p != nullptr) {
        VDEC_FRAMEINFO* pNext = p->pNext;
        delete p;
        p = pNext;
    }
    h.pHead = nullptr;
    h.pTail = nullptr;
    h.bScanValid = false;
    S()->SetRec(c, REC_RING_USED, 0);
    S()->SetRec(c, REC_RING_READ, 0);
    S()->SetRec(c, REC_RING_WRITE, 0);
}

void AVdecFreeFrameList(uint32_t c) {
    if (c >= AVDEC_CHN_NUM) return;
    RecLock lock(&S()->HostOf(c).mutex);
    AVdecFreeFrameListLocked(c);
}

void AVdecSetRing(uint32_t c, uint8_t* pu8Base, uint32_t u32Size) {
    if (c >= AVDEC_CHN_NUM) return;
    AVdecState::Host& h = S()->HostOf(c);
    RecLock lock(&h.mutex);
    AVdecFreeFrameListLocked(c);
    h.pu8Ring = pu8Base;
    S()->SetRec(c, REC_RING_SIZE, pu8Base != nullptr ? u32Size : 0);
}

int video_decode(uint32_t c, const uint8_t* base, uint32_t len, uint32_t off) {
    uint32_t size = RingSize(c);
    if (base == nullptr || size == 0 || len == 0 || len > size) return 0;
    off %= size;
    uint8_t* pTmp = nullptr;
    const uint8_t* pData = base + off;
    // A frame across the ring's end is sent from one piece.
    if (static_cast<uint64_t>(off) + len > size) {
        pTmp = static_cast<uint8_t*>(std::malloc(size));
        if (pTmp == nullptr) {
            APP_ERR(kSrc, "p_small_buf malloc error max_dec_buf %d!!!!!!!! \n", static_cast<int>(size));
            return 0;
        }
        RingCopy(base, size, off, pTmp, len);
        pData = pTmp;
    }
    VDEC_STREAM_S st = {pData, len, 0, 1, 0};
    MK_S32 r = MK_MPI_VDEC_SendStream(static_cast<VDEC_CHN>(S()->Rec(c, REC_VDEC_CHN)), &st, 0);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_SendStream error, %x\n", r);
    std::free(pTmp);
    return 0;
}

int audio_decode(uint32_t c, const uint8_t* base, uint32_t len, uint32_t off) {
    uint32_t size = RingSize(c);
    if (base == nullptr || size == 0 || off >= size || len == 0 || len > kAudioMaxLen || S()->Rec(c, REC_AUDIO) == 0) {
        return 0;
    }
    BufList* pList = AVdecAudioOutList();
    BufListInfoS info;
    BufListInfo(pList, &info);
    if (info.u32Nodes > kAudioListNodes || info.u32Bytes > kAudioListBytes) return 0;
    BufNode* pNode = BufListAlloc((len + 3) & ~3u, 0);
    if (pNode == nullptr) return -1;
    uint32_t first = std::min(len, size - off);
    if (BufListCopyEx(pNode, 0, base + off, first) != 0 ||
        (len > first && BufListCopyEx(pNode, first, base, len - first) != 0)) {
        APP_ERR(kSrc, "BufListCopyEx error\n");
        BufListFree(pNode);
        return -1;
    }
    if (BufListAdd2List(pList, pNode) != 0) {
        APP_ERR(kSrc, "add buf to list error\n");
        BufListFree(pNode);
        return -1;
    }
    return 0;
}

int jpeg_decode(uint32_t c, const uint8_t* base, uint32_t len, uint32_t off) {
    uint32_t size = RingSize(c);
    if (base == nullptr || size == 0) return 0;
    if (len > size) {
        APP_ERR(kSrc, "framelen is so big, discard it!\n");
        return 0;
    }
    auto* pBuf = static_cast<uint8_t*>(std::malloc(size));
    if (pBuf == nullptr) {
        APP_ERR(kSrc, "p_small_buf malloc error!!!!!!!!\n");
        return 0;
    }
    RingCopy(base, size, off, pBuf, len);
    auto vd = static_cast<VDEC_CHN>(S()->Rec(c, REC_JPEG_CHN));
    // Wait for the channel to receive: three failed queries, or a second of not receiving, end it.
    int fails = 0;
    for (int polls = 0; polls < 1000; ++polls) {
        VDEC_CHN_STAT_S stat;
        if (MK_MPI_VDEC_Query(vd, &stat) != 0) {
            if (++fails >= 3) break;
        } else if (stat.bStartRecvStream) {
            break;
        }
        DecSleepUs(1000);
    }
    VDEC_STREAM_S st = {pBuf, len, 0, 1, 0};
    MK_S32 r = MK_MPI_VDEC_SendStream(vd, &st, 0);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_SendStream error, %x\n", r);
    std::free(pBuf);
    return 0;
}

namespace {

// search_IJ_frame in the direction the caller read: a pass reads the direction once, so the node it
// frees is the one it took from that end.
VDEC_FRAMEINFO* SearchIJ(uint32_t c, bool bForward) {
    AVdecState::Host& h = S()->HostOf(c);
    for (;;) {
        VDEC_FRAMEINFO* p = bForward ? h.pHead : h.pTail;
        if (p == nullptr) {
            h.pHead = nullptr;
            h.pTail = nullptr;
            return nullptr;
        }
        AVdecSizeEntry& sz = AVdecSizeTable(S()->Rec(c, REC_VDEC_CHN));
        auto h264 = static_cast<MK_S32>(S()->Rec(c, REC_VDEC_CHN));
        auto jpeg = static_cast<MK_S32>(S()->Rec(c, REC_JPEG_CHN));
        if (p->u16Kind == CAP_FRAME_I) {
            if (S()->Rec(c, REC_PAYLOAD) == AVDEC_PT_JPEG) {
                StopChn(jpeg, "MK_MPI_VDEC_StopRecvStream err:0x");
                S()->SetRec(c, REC_PAYLOAD, AVDEC_PT_H264);
                S()->SetRec(c, REC_CUR_W, p->u32Width);
                S()->SetRec(c, REC_CUR_H, p->u32Height);
                MK_S32 r = MK_MPI_VDEC_StartRecvStream(h264);
                if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StartRecvStream err:0x%x!\n", r);
            }
            if (p->u32Width <= sz.u32MaxW.load() && p->u32Height <= sz.u32MaxH.load()) {
                bool bChanged = p->u32Width != S()->Rec(c, REC_CUR_W) || p->u32Height != S()->Rec(c, REC_CUR_H);
                if (p->u32Width != 0 && p->u32Height != 0 && bChanged) {
                    if (S()->Rec(c, REC_RECEIVING) != 0) {
                        MK_S32 r = MK_MPI_VDEC_StopRecvStream(h264);
                        if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StopRecvStream failed :%#X\n", r);
                        r = MK_MPI_VDEC_ResetChn(h264);
                        if (r != 0) APP_ERR(kSrc, "reset vdec chn :%d failed errno 0x%x\n", h264, r);
                        r = MK_MPI_VDEC_StartRecvStream(h264);
                        if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StartRecvStream failed :%#X\n", r);
                    }
                    S()->SetRec(c, REC_CUR_W, p->u32Width);
                    S()->SetRec(c, REC_CUR_H, p->u32Height);
                }
                return p;
            }
        } else if (p->u16Kind == CAP_FRAME_PICTURE) {
            if (S()->Rec(c, REC_PAYLOAD) == AVDEC_PT_H264) {
                StopChn(h264, "MK_MPI_VDEC_StopRecvStream err:0x");
                S()->SetRec(c, REC_PAYLOAD, AVDEC_PT_JPEG);
                S()->SetRec(c, REC_CUR_W, p->u32Width);
                S()->SetRec(c, REC_CUR_H, p->u32Height);
                MK_S32 r = MK_MPI_VDEC_StartRecvStream(jpeg);
                if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StartRecvStream err:0x%x!\n", r);
                if (!bForward) std::printf("MK_MPI_VDEC_StartRecvStream started\n");
            }
            return p;
        }
        Unlink(c, p, bForward);
        delete p;
    }
}

}  // namespace

VDEC_FRAMEINFO* search_IJ_frame(uint32_t c) {
    return SearchIJ(c, S()->Rec(c, REC_DIRECTION) != 1);
}

int getframeinfo(uint32_t c, uint32_t u32Direction) {
    if (c >= AVDEC_CHN_NUM) return 0;
    AVdecState::Host& h = S()->HostOf(c);
    RecLock lock(&h.mutex);
    const uint8_t* base = h.pu8Ring.load();
    uint32_t size = RingSize(c);
    if (base == nullptr || size == 0) return 0;
    bool bForward = u32Direction != 1;
    uint32_t read = S()->Rec(c, REC_RING_READ) % size;
    uint32_t write = S()->Rec(c, REC_RING_WRITE) % size;
    uint32_t start, end;
    if (bForward) {
        start = h.bScanValid ? h.u32ScanPos : h.pTail != nullptr ? NodeEnd(h.pTail, size) : read;
        end = write;
    } else {
        start = read;
        end = h.pHead != nullptr ? h.pHead->u32Offset : write;
    }
    VDEC_FRAMEINFO* pOldHead = h.pHead;
    uint32_t reserve = h.s32PicCode.load() == static_cast<int32_t>(kPicCodeCif) ? kPacketReserve / 2 : kPacketReserve;
    // A frame this long could never lie whole in the ring beside the next one.
    uint32_t limit = size > reserve ? size - reserve : size;
    uint32_t err = S()->Rec(c, REC_STREAM_ERR);
    uint32_t pos = start;
    uint32_t left = static_cast<uint32_t>((static_cast<uint64_t>(end) + size - start) % size);
    int result = 0;
    auto advance = [&](uint32_t n) {
        pos = static_cast<uint32_t>((static_cast<uint64_t>(pos) + n) % size);
        left -= n;
        if (bForward) {
            h.u32ScanPos = pos;
            h.bScanValid = true;
        }
    };
    while (left > 4) {
        // Most bytes start no header: three of them tell.
        if (base[pos] != 0 || base[(pos + 1) % size] != 0 || base[(pos + 2) % size] != 1) {
            advance(1);
            continue;
        }
        uint8_t head[CAP_HEADER_LONG];
        uint32_t n = std::min<uint32_t>(left, CAP_HEADER_LONG);
        RingCopy(base, size, pos, head, n);
        CapFrameHeader fh;
        int rh = CapFrameReadHeader(head, n, &fh);
        if (rh == -1) break;  // a header not yet whole: the next scan reads it again
        if (rh == 0 || fh.u32Kind == CAP_FRAME_PICTURE) {
            advance(1);
            continue;
        }
        bool bWhole = static_cast<uint64_t>(fh.u32HeadLen) + fh.u32FrameLen <= left;
        if (fh.u32Kind == CAP_FRAME_I) {
            AVdecSizeEntry& sz = AVdecSizeTable(S()->Rec(c, REC_VDEC_CHN));
            if (fh.u32FrameLen >= limit) {
                err = 1;
                APP_ERR(kSrc, "err I frame! framelen=%ld (max_dec_buf(=%d) - buf_per_packet(=%d))=%d!!!\n",
                        static_cast<long>(fh.u32FrameLen), static_cast<int>(size), static_cast<int>(reserve),
                        static_cast<int>(limit));
                advance(4);  // the next scan goes on after it
                result = -3;
                break;
            }
            sz.u32CurW = fh.u32Width;
            sz.u32CurH = fh.u32Height;
            if (!bWhole) break;
            err = 0;
            S()->SetRec(c, REC_FRAME_RATE, fh.u32FrameRate);
        } else if (fh.u32Kind == CAP_FRAME_P) {
            if (fh.u32FrameLen >= limit) {
                err = 1;
                APP_ERR(kSrc, "err p frame, framelen=%ld!!!!!!!!!!!!!\n", static_cast<long>(fh.u32FrameLen));
                advance(4);
                result = -3;
                break;
            }
            if (!bWhole) break;
            if (err != 0) {
                // Until the next good I frame the P frames that follow a broken one are passed over.
                advance(fh.u32HeadLen + fh.u32FrameLen);
                continue;
            }
        } else {  // audio
            if (!bWhole) break;
            if (fh.u32FrameLen >= limit) {
                advance(fh.u32HeadLen + fh.u32FrameLen);
                continue;
            }
        }
        auto* p = new (std::nothrow) VDEC_FRAMEINFO{};
        if (p == nullptr) {
            APP_ERR(kSrc, "malloc VDEC_FRAMEINFO struct errorn\n");
            break;
        }
        p->u32Offset = pos;
        p->u32Length = fh.u32FrameLen;
        p->u32HeadLen = fh.u32HeadLen;
        p->u16Kind = static_cast<uint16_t>(fh.u32Kind);
        if (fh.u32Kind == CAP_FRAME_I) {
            p->u32Time = fh.u32Time;
            p->u16FrameRate = static_cast<uint16_t>(fh.u32FrameRate);
            p->u32Width = fh.u32Width;
            p->u32Height = fh.u32Height;
        } else {
            p->u16FrameRate = 25;
        }
        if (bForward) {
            p->pPrev = h.pTail;
            if (h.pTail != nullptr) h.pTail->pNext = p;
            h.pTail = p;
            if (h.pHead == nullptr) h.pHead = p;
        } else {
            // The new run goes in front of the old head, in its own order.
            p->pNext = pOldHead;
            p->pPrev = pOldHead != nullptr ? pOldHead->pPrev : h.pTail;
            if (p->pPrev != nullptr) p->pPrev->pNext = p;
            if (pOldHead != nullptr) pOldHead->pPrev = p;
            if (h.pHead == pOldHead) h.pHead = p;
            if (pOldHead == nullptr) h.pTail = p;
        }
        advance(fh.u32HeadLen + fh.u32FrameLen);
    }
    S()->SetRec(c, REC_STREAM_ERR, err);
    return err != 0 ? -3 : result;
}

namespace {

enum class Pass { kIdle, kWait, kStarved, kVideo, kOther };

// The pacing of one video frame or picture (steps after the frame has been taken).
void Pace(uint32_t c) {
    AVdecState::Host& h = S()->HostOf(c);
    bool bNtsc = Ntsc();
    uint32_t maxRate = bNtsc ? 30 : 25;
    uint32_t fr = S()->Rec(c, REC_FRAME_RATE);
    if (fr == 0 || fr > maxRate) fr = maxRate;
    if (S()->Rec(c, REC_SINCE_CLOCK) >= fr) {
        pthread_mutex_lock(&h.mutex);
        AdvanceClock(c);
        pthread_mutex_unlock(&h.mutex);
        S()->SetRec(c, REC_SINCE_CLOCK, 0);
    }
    uint32_t rate = S()->Rec(c, REC_RATE);
    uint32_t speed = kSpeedTab[SpeedIndex(c)];
    uint64_t interval;
    if (Fast(c) || rate == 1) {
        interval = 100ull * ((bNtsc ? 72000000ull : 60000000ull) / speed / (bNtsc ? 30 : 25));
    } else {
        // The rate word is never set in the decode block: 0 stands for normal rate.
        int64_t fps = static_cast<int64_t>(fr) + static_cast<int32_t>(S()->Rec(c, REC_RATE_ADJ));
        interval = 12000000000ull / speed / static_cast<uint64_t>(std::max<int64_t>(fps, 1)) / (rate != 0 ? rate : 100);
    }
    uint64_t now = DecNowUs();
    S()->SetRec(c, REC_NOW_SEC, static_cast<uint32_t>(now / 1000000u));
    S()->SetRec(c, REC_NOW_USEC, static_cast<uint32_t>(now % 1000000u));
    bool bPaused = S()->Rec(c, REC_PAUSED) != 0;
    if (bPaused && rate != 1) {
        DecSleepUs(10000);
        return;
    }
    uint64_t base = static_cast<uint64_t>(S()->Rec(c, REC_BASE_SEC)) * 1000000u + S()->Rec(c, REC_BASE_USEC);
    uint64_t delay;
    if (bPaused) {
        delay = 10000;
    } else if (DisplayBusyWithPlayback()) {
        // Playback on the whole display: the frame goes as it comes, the pacing starts again from now.
        S()->SetRec(c, REC_BASE_SEC, static_cast<uint32_t>(now / 1000000u));
        S()->SetRec(c, REC_BASE_USEC, static_cast<uint32_t>(now % 1000000u));
        return;
    } else {
        base += interval;
        delay = base > now ? base - now : 0;
        if (Digital(c) && delay > 5000000u / fr) {
            delay = 10000;
            base = now;
        }
        S()->SetRec(c, REC_BASE_SEC, static_cast<uint32_t>(base / 1000000u));
        S()->SetRec(c, REC_BASE_USEC, static_cast<uint32_t>(base % 1000000u));
    }
    if (rate != 1) {
        DecSleepUs(delay % 10000000u);
        return;
    }
    // Frame stepping: long waits are cut into pieces that notice a change of speed, rate or direction.
    delay %= 100000000u;
    uint32_t speedIdx = SpeedIndex(c);
    uint32_t dir = S()->Rec(c, REC_DIRECTION);
    while (delay >= 200000) {
        DecSleepUs(250000);
        delay -= 200000;
        if (S()->Rec(c, REC_RATE) != 1 || S()->Rec(c, REC_DIRECTION) != dir) return;
        uint32_t idx = SpeedIndex(c);
        if (idx != speedIdx) {
            delay = delay * kSpeedTab[speedIdx] / kSpeedTab[idx];
            speedIdx = idx;
        }
    }
    DecSleepUs(delay);
}

// One pass of the feeding loop; what the caller does next.
Pass FeedOnce(uint32_t c) {
    AVdecState* s = S();
    if (s->Rec(c, REC_RUNNING) != 1) return Pass::kIdle;
    AVdecState::Host& h = s->HostOf(c);
    pthread_mutex_lock(&h.mutex);
    bool bPaused = s->Rec(c, REC_PAUSED) != 0;
    if (bPaused && s->Rec(c, REC_FRAME_CNT) >= 3 && s->Rec(c, REC_STEP) == 0) {
        pthread_mutex_unlock(&h.mutex);
        return Pass::kWait;
    }
    if (s->Rec(c, REC_LIST_RESET) != 0 && (h.pHead == nullptr || h.pTail == nullptr)) {
        s->SetRec(c, REC_STARVED, 1);
        pthread_mutex_unlock(&h.mutex);
        return Pass::kWait;
    }
    // The direction is read once: the command loop may flip it meanwhile, and a node taken from one end
    // and unlinked from the other would be freed while still on the list.
    const bool bForward = s->Rec(c, REC_DIRECTION) != 1;
    VDEC_FRAMEINFO* p = bForward ? h.pHead : h.pTail;
    const bool bFast = !bForward || SpeedIndex(c) > kNormalSpeed;
    uint32_t rate = s->Rec(c, REC_RATE);
    if (p != nullptr && (bFast || s->Rec(c, REC_RESYNC) != 0 || s->Rec(c, REC_RESEARCH) != 0 || rate == 1)) {
        p = SearchIJ(c, bForward);
        if (p != nullptr) {
            s->SetRec(c, REC_RESYNC, 0);
            s->SetRec(c, REC_RESEARCH, 0);
        }
    }
    if (p == nullptr) {
        s->SetRec(c, REC_STARVED, 1);
        pthread_mutex_unlock(&h.mutex);
        return Pass::kStarved;
    }
    const uint8_t* base = h.pu8Ring.load();
    uint32_t size = RingSize(c);
    uint32_t dataOff = size != 0 ? static_cast<uint32_t>((static_cast<uint64_t>(p->u32Offset) + p->u32HeadLen) % size) : 0;
    SlaveSysCfg cfg = SlaveGetSysCfg();
    uint32_t vdecNum = std::min(cfg.u32DecNum, AVDEC_CHN_NUM);
    uint32_t vd = s->Rec(c, REC_VDEC_CHN);
    bool bVideo = false;
    switch (p->u16Kind) {
        case CAP_FRAME_I: {
            bVideo = true;
            if (Digital(c) && DropPair()) s->SetRec(c, REC_DROP_CNT, 0);
            s->SetRec(c, REC_FRAME_RATE, p->u16FrameRate);
            uint32_t t = p->u32Time;
            if (bFast || rate == 1) {
                s->SetRec(c, REC_ITIME0, s->Rec(c, REC_ITIME1));
                s->SetRec(c, REC_ITIME1, s->Rec(c, REC_ITIME2));
                s->SetRec(c, REC_ITIME2, p->u32Time);
                t = s->Rec(c, REC_ITIME0);
            }
            SetClock(c, t);
            if (vd >= vdecNum) {
                // A record naming a decoder this chip does not have: the frame has nowhere to go.
                APP_ERR(kSrc, "VdChn >= 0 && VdChn < VDEC_CHN_NUM: channel %u, VDEC channel %u of %u\n", c, vd,
                        vdecNum);
            } else if (p->u32Width > AVdecSizeTable(vd).u32MaxW.load() ||
                       p->u32Height > AVdecSizeTable(vd).u32MaxH.load()) {
                s->SetRec(c, REC_SIZE_OK, 0);
            } else {
                AVdecSizeEntry& sz = AVdecSizeTable(vd);
                bool bChanged = p->u32Width != sz.u32CurW.load() || p->u32Height != sz.u32CurH.load();
                if (Digital(c) && bChanged && s->Snap(vd, SNAP_CREATED) != 0) {
                    s->SetSnap(vd, SNAP_WIDTH, std::min<uint32_t>(p->u32Width, 704));
                    s->SetSnap(vd, SNAP_HEIGHT, std::min<uint32_t>(p->u32Height, 576));
                }
                s->SetRec(c, REC_SIZE_OK, 1);
                sz.u32CurW = p->u32Width;
                sz.u32CurH = p->u32Height;
                s->SetRec(c, REC_CUR_W, p->u32Width);
                s->SetRec(c, REC_CUR_H, p->u32Height);
                video_decode(c, base, p->u32Length, dataOff);
            }
            s->SetRec(c, REC_FRAME_CNT, s->Rec(c, REC_FRAME_CNT) + 1);
            break;
        }
        case CAP_FRAME_P: {
            bVideo = true;
            bool bWithin = vd < vdecNum && p->u32Width <= AVdecSizeTable(vd).u32MaxW.load() &&
                           p->u32Height <= AVdecSizeTable(vd).u32MaxH.load();
            if (bForward && SpeedIndex(c) <= kNormalSpeed && bWithin && s->Rec(c, REC_SIZE_OK) != 0) {
                bool bDrop = false;
                if (Digital(c) && DropPair()) {
                    uint32_t drops = s->Rec(c, REC_DROP_CNT) + 1;
                    bDrop = drops >= (Ntsc() ? 59u : 49u);
                    s->SetRec(c, REC_DROP_CNT, bDrop ? 0 : drops);
                }
                if (!bDrop) video_decode(c, base, p->u32Length, dataOff);
                s->SetRec(c, REC_SINCE_CLOCK, s->Rec(c, REC_SINCE_CLOCK) + 1);
                s->SetRec(c, REC_FRAME_CNT, s->Rec(c, REC_FRAME_CNT) + 1);
            }
            break;
        }
        case CAP_FRAME_PICTURE:
            bVideo = true;
            jpeg_decode(c, base, p->u32Length, dataOff);
            s->SetRec(c, REC_FRAME_CNT, s->Rec(c, REC_FRAME_CNT) + 1);
            break;
        case CAP_FRAME_AUDIO:
            if (!bPaused && SpeedIndex(c) == kNormalSpeed) audio_decode(c, base, p->u32HeadLen + p->u32Length, p->u32Offset);
            break;
        default:
            break;
    }
    if (bPaused && bVideo && s->Rec(c, REC_STEP) > 0) s->SetRec(c, REC_STEP, s->Rec(c, REC_STEP) - 1);
    s->SetRec(c, REC_LAST_OFF0, s->Rec(c, REC_LAST_OFF1));
    s->SetRec(c, REC_LAST_OFF1, s->Rec(c, REC_LAST_OFF2));
    s->SetRec(c, REC_LAST_OFF2, p->u32Offset);
    // The node taken may not be the one at the play end any more when the search dropped others.
    if (bForward ? h.pHead == p : h.pTail == p) Unlink(c, p, bForward);
    delete p;
    pthread_mutex_unlock(&h.mutex);
    return bVideo ? Pass::kVideo : Pass::kOther;
}

}  // namespace

void* send_thread_multi(void* pRecord) {
    if (pRecord == nullptr) {
        APP_ERR(kSrc, "pAVdec NULL\n");
        return nullptr;
    }
    uint32_t c = *static_cast<const uint32_t*>(pRecord);
    Feeders& f = TheFeeders();
    while (!f.bStop.load()) {
        switch (FeedOnce(c)) {
            case Pass::kIdle:
                DecSleepUs(100000);
                break;
            case Pass::kWait:
                DecSleepUs(10000);
                break;
            case Pass::kStarved:
                DecSleepUs(1000);
                break;
            case Pass::kVideo:
                Pace(c);
                break;
            case Pass::kOther:
                break;
        }
    }
    return nullptr;
}

int AVdecStartFeeding(uint32_t c) {
    if (c >= AVDEC_CHN_NUM) return -1;
    Feeders& f = TheFeeders();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (f.abValid[c]) return 0;
    g_au32ChnId[c] = c;
    f.bStop = false;
    if (pthread_create(&f.athread[c], nullptr, send_thread_multi, &g_au32ChnId[c]) != 0) return -1;
    f.abValid[c] = true;
    return 0;
}

void AVdecStopFeeding() {
    Feeders& f = TheFeeders();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.bStop = true;
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) {
        if (f.abValid[c]) pthread_join(f.athread[c], nullptr);
        f.abValid[c] = false;
    }
    f.bStop = false;
}
