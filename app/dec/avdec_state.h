// The decode module's state: two blocks of one binary layout (AVdecState), the decode block of the
// channels this chip decodes and the playback block that command 64 fills from the master's own
// decode state, byte for byte.
//
// The layout (little-endian 32-bit words unless said):
//   0..95        head, 24 words
//   96..1995     40-byte entries per decode channel, word 0 the started flag
//   1996..2027   display defaults of the resolution command
//   3952..10095  128-byte JPEG-snapshot entries per VDEC channel
//   10096..28527 48 channel records AVdecChnRec of 384 bytes
//
// Every word of the image is read and written as a relaxed atomic, whole words only: the command loop
// writes flags and command 64 whole records while the receivers and feeding threads read them. What a
// host cannot keep in a 32-bit word of the image (the record's mutex, its frame list and ring
// pointers) lives in host fields beside it, which command 64 never reaches.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/comm/comm_snap.h"

#define AVDEC_STATE_SIZE 28528u
#define AVDEC_CHN_NUM 48u  // channel records
#define AVDEC_HEAD_WORDS 24u
#define AVDEC_ENTRY_OFF 96u
#define AVDEC_ENTRY_SIZE 40u
#define AVDEC_DEFAULTS_OFF 1996u
static_assert(AVDEC_ENTRY_OFF + AVDEC_ENTRY_SIZE * (AVDEC_CHN_NUM - 1) + 4 <= AVDEC_DEFAULTS_OFF);
#define AVDEC_SNAP_OFF 3952u
#define AVDEC_SNAP_SIZE 128u
#define AVDEC_REC_OFF 10096u
#define AVDEC_REC_SIZE 384u
static_assert(AVDEC_REC_OFF + AVDEC_CHN_NUM * AVDEC_REC_SIZE == AVDEC_STATE_SIZE);
static_assert(AVDEC_SNAP_OFF + AVDEC_CHN_NUM * AVDEC_SNAP_SIZE == AVDEC_REC_OFF);
static_assert(AVDEC_SNAP_SIZE == 4 * SNAP_WORDS);

// Head words.
enum {
    AVDEC_HEAD_DEFAULTS = 0,   // defaults applied
    AVDEC_HEAD_VSTD = 3,       // 0 PAL, 1 NTSC
    AVDEC_HEAD_DISP_W = 4,
    AVDEC_HEAD_DISP_H = 5,
    AVDEC_HEAD_SCALE_W = 6,    // the scale of the master's rectangles
    AVDEC_HEAD_SCALE_H = 7,
    AVDEC_HEAD_IMG_W = 8,
    AVDEC_HEAD_IMG_H = 9,
    AVDEC_HEAD_DISP_W2 = 10,
    AVDEC_HEAD_DISP_H2 = 11,
    AVDEC_HEAD_HIDE_DEV = 12,  // display device used for hiding
    AVDEC_HEAD_DISP_ON = 13,   // display enabled
    AVDEC_HEAD_FPS = 14,
    AVDEC_HEAD_INTF = 15,
    AVDEC_HEAD_RES_SET = 16,
};

// Byte offsets of the fields of a channel record AVdecChnRec.
enum : uint32_t {
    REC_VPSS_GRP = 0,
    REC_BOUND = 4,
    REC_STREAM_ERR = 12,
    REC_AUDIO = 24,
    REC_CREATED = 56,  // decode block: created; playback block: enabled
    REC_RECEIVING = 60,
    REC_PAYLOAD = 64,
    REC_PIC_H = 68,
    REC_PIC_W = 72,
    REC_MAX_H = 76,
    REC_MAX_W = 80,
    REC_FRAME_RATE = 84,
    REC_RATE_ADJ = 88,
    REC_CUR_H = 92,
    REC_CUR_W = 96,
    REC_VO_CHN = 100,
    REC_VDEC_CHN = 104,
    REC_JPEG_CHN = 108,
    REC_SINCE_CLOCK = 112,
    REC_FRAME_CNT = 116,
    REC_WORD64 = 120,  // 64-bit, cleared by start, stop, resume and flush
    REC_PTS = 128,     // 64-bit, microseconds
    REC_BASE_SEC = 136,
    REC_BASE_USEC = 140,
    REC_NOW_SEC = 144,
    REC_NOW_USEC = 148,
    REC_SHOWN = 168,
    REC_RECT_X = 172,
    REC_RECT_Y = 176,
    REC_RECT_W = 180,
    REC_RECT_H = 184,
    REC_DIGITAL = 204,
    REC_SIZE_OK = 208,
    REC_DROP_CNT = 212,
    REC_ITIME0 = 216,  // time words of the last three I frames, oldest first
    REC_ITIME1 = 220,
    REC_ITIME2 = 224,
    REC_HIDE = 228,
    REC_LIST_HEAD = 232,  // the frame list itself lives in the host fields
    REC_LIST_TAIL = 236,
    REC_SPEED = 240,
    REC_DIRECTION = 244,
    REC_RUNNING = 248,
    REC_PAUSED = 252,
    REC_STEP = 256,
    REC_RATE = 260,
    REC_BUSY = 264,
    REC_RING_USED = 268,
    REC_RING_READ = 272,
    REC_RING_WRITE = 276,
    REC_LIST_RESET = 280,
    REC_RESEARCH = 284,
    REC_STARVED = 288,
    REC_RESYNC = 292,
    REC_SAVED_POS = 296,
    REC_LAST_OFF0 = 300,  // offsets of the last three frames taken, oldest first
    REC_LAST_OFF1 = 304,
    REC_LAST_OFF2 = 308,
    REC_RING_SIZE = 316,
    REC_RING_BASE = 320,  // the ring itself lives in the host fields
    REC_CLOCK = 324,      // playback clock: year, month, day, 0, hour, minute, second, 0
    REC_MUTEX = 356,
};

// Payload types.
#define AVDEC_PT_H264 96u
#define AVDEC_PT_JPEG 26u

// A frame-list node (the feeding thread's VDEC_FRAMEINFO): where a frame lies in the ring.
struct VDEC_FRAMEINFO {
    uint32_t u32Offset;   // ring offset of the frame's header
    uint32_t u32Length;   // frame length from the header
    uint32_t u32Time;     // packed time (I frames)
    uint32_t u32HeadLen;  // 16 or 8
    uint16_t u16FrameRate;
    uint16_t u16Kind;  // 1 I, 0 P, 3 audio, 4 picture
    uint32_t u32Width;
    uint32_t u32Height;
    VDEC_FRAMEINFO* pPrev;
    VDEC_FRAMEINFO* pNext;
};

class AVdecState {
public:
    AVdecState();
    AVdecState(const AVdecState&) = delete;
    AVdecState& operator=(const AVdecState&) = delete;

    // A word of the image by byte offset (a multiple of 4 below AVDEC_STATE_SIZE).
    uint32_t Word(uint32_t u32Off) const { return Ref(u32Off).load(std::memory_order_relaxed); }
    void SetWord(uint32_t u32Off, uint32_t v) { Ref(u32Off).store(v, std::memory_order_relaxed); }

    uint32_t Head(uint32_t u32Word) const { return Word(4 * u32Word); }
    void SetHead(uint32_t u32Word, uint32_t v) { SetWord(4 * u32Word, v); }

    // Field `u32Field` of record `u32Chn` (below 48).
    uint32_t Rec(uint32_t u32Chn, uint32_t u32Field) const { return Word(RecOff(u32Chn, u32Field)); }
    void SetRec(uint32_t u32Chn, uint32_t u32Field, uint32_t v) { SetWord(RecOff(u32Chn, u32Field), v); }
    uint64_t Rec64(uint32_t u32Chn, uint32_t u32Field) const;
    void SetRec64(uint32_t u32Chn, uint32_t u32Field, uint64_t v);

    // Word 0 of the 40-byte entry of decode channel `u32Chn` (below 48: the 48th entry's first word
    // still ends before the display defaults).
    uint32_t Started(uint32_t u32Chn) const { return Word(AVDEC_ENTRY_OFF + AVDEC_ENTRY_SIZE * u32Chn); }
    void SetStarted(uint32_t u32Chn, uint32_t v) { SetWord(AVDEC_ENTRY_OFF + AVDEC_ENTRY_SIZE * u32Chn, v); }

    // Word `u32Word` of snapshot entry `u32Vdec` (below 48).
    uint32_t Snap(uint32_t u32Vdec, uint32_t u32Word) const { return Word(SnapOff(u32Vdec, u32Word)); }
    void SetSnap(uint32_t u32Vdec, uint32_t u32Word, uint32_t v) { SetWord(SnapOff(u32Vdec, u32Word), v); }
    // The words of snapshot entry `u32Vdec` (below 48), for a SnapRecord view.
    uint32_t* SnapWords(uint32_t u32Vdec) { return &m_au32Image[SnapOff(u32Vdec, 0) / 4]; }

    // Whole words in and out of the image (offsets and lengths multiples of 4).
    void CopyIn(uint32_t u32Off, const uint8_t* pu8Src, uint32_t u32Len);
    void CopyOut(uint32_t u32Off, uint8_t* pu8Dst, uint32_t u32Len) const;
    // Back to all zero (tests); host fields are left alone.
    void Clear();

    static uint32_t RecOff(uint32_t u32Chn, uint32_t u32Field) { return AVDEC_REC_OFF + AVDEC_REC_SIZE * u32Chn + u32Field; }
    static uint32_t SnapOff(uint32_t u32Vdec, uint32_t u32Word) {
        return AVDEC_SNAP_OFF + AVDEC_SNAP_SIZE * u32Vdec + 4 * u32Word;
    }

    // Host fields of a record.
    struct Host {
        pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;  // guards the list, ring offsets and clock
        VDEC_FRAMEINFO* pHead = nullptr;  // oldest; guarded by mutex
        VDEC_FRAMEINFO* pTail = nullptr;  // newest; guarded by mutex
        std::atomic<uint8_t*> pu8Ring{nullptr};
        // Where the ring parser goes on (forward play): every byte before it has been looked at.
        // Guarded by mutex; forgotten when the list is freed.
        uint32_t u32ScanPos = 0;
        bool bScanValid = false;
        std::atomic<int32_t> s32PicCode{-1};  // the channel's picture-size code, once created
        void* pExtra = nullptr;  // extra buffer of ExtraMemoryAlloc; guarded by mutex
    };
    Host& HostOf(uint32_t u32Chn) { return m_astHost[u32Chn]; }

private:
    std::atomic_ref<uint32_t> Ref(uint32_t u32Off) const {
        return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(m_au32Image[u32Off / 4]));
    }

    alignas(8) uint32_t m_au32Image[AVDEC_STATE_SIZE / 4];
    Host m_astHost[AVDEC_CHN_NUM];
};

// The decode block and the playback block.
AVdecState* AVdecGetState();
AVdecState* AVdecGetChnTable();

// The playback record of channel `u32Chn` is running (byte 248 is 1): a decoder refusal of its frames
// is worth retrying. False for a channel without a record.
bool AVdecPlayRunning(uint32_t u32Chn);
