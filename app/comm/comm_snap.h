// The JPEG snapshot record of a decode channel's VDEC channel: 32 words that the decode module keeps
// (its decode block holds one per VDEC channel), that the decode module's snapshot requests and the
// snapshot encoder's set-up write, and that the capture module's snapshot thread reads and writes.
// Two hooks join the modules without either including the other: the decode module gives the
// record's words, the capture module makes the snapshot encoder. Words are read and written whole, as
// relaxed atomics, because the command loop and the snapshot thread share them.
#pragma once

#include <atomic>
#include <cstdint>

// Words of a snapshot record.
enum {
    SNAP_CREATED = 0,       // snapshot encoder made (set before it is made, so it is made once)
    SNAP_TEARDOWN_GRP = 1,  // processing group to unbind from at the end of a one-shot, -1 none
    SNAP_VDEC_CHN = 2,      // the VDEC channel the pictures come from
    SNAP_VENC_CHN = 3,      // the JPEG encoder channel
    SNAP_REQUESTED = 4,     // active: the thread takes pictures only while it is set
    SNAP_SET_UP = 5,        // mode: above 0 periodic (processing channel set up), 0 one-shot, below 0 idle
    SNAP_RATE = 6,          // rate code: below 128 code pictures a second, 128 and up one each 256 - code s
    SNAP_LIST = 7,          // capture list the pictures go to
    SNAP_FD = 8,            // the encoder's descriptor, -1 none
    SNAP_WIDTH = 9,         // picture size (at most 704 x 576)
    SNAP_HEIGHT = 10,
    SNAP_KIND = 11,         // stream kind of the stored pictures (4)
    SNAP_STATE0 = 12,       // 64-bit value, low word: last stored time stamp (periodic) or attempts left
    SNAP_STATE1 = 13,
    SNAP_SRC_GRP = 14,      // the processing group the pictures come through
    SNAP_WORDS = 32,
};

// A view of one record's words; invalid (every read 0, writes dropped) without words behind it.
class SnapRecord {
public:
    explicit SnapRecord(uint32_t* pu32Words = nullptr) : m_pu32Words(pu32Words) {}
    bool Valid() const { return m_pu32Words != nullptr; }
    uint32_t Get(uint32_t u32Word) const {
        return Valid() ? std::atomic_ref<uint32_t>(m_pu32Words[u32Word]).load(std::memory_order_relaxed) : 0;
    }
    int32_t GetS(uint32_t u32Word) const { return static_cast<int32_t>(Get(u32Word)); }
    void Set(uint32_t u32Word, uint32_t v) {
        if (Valid()) std::atomic_ref<uint32_t>(m_pu32Words[u32Word]).store(v, std::memory_order_relaxed);
    }
    void SetS(uint32_t u32Word, int32_t v) { Set(u32Word, static_cast<uint32_t>(v)); }
    uint64_t Value() const { return Get(SNAP_STATE0) | static_cast<uint64_t>(Get(SNAP_STATE1)) << 32; }
    void SetValue(uint64_t v) {
        Set(SNAP_STATE0, static_cast<uint32_t>(v));
        Set(SNAP_STATE1, static_cast<uint32_t>(v >> 32));
    }

private:
    uint32_t* m_pu32Words;
};

// The decode module's records: the words of VDEC channel u32Vdec's record, or null past its records.
typedef uint32_t* (*CommSnapRecordFn)(uint32_t u32Vdec);
// JPEGChCreate of the capture module (capture channel, or VDEC channel + channel end): 0 or -1.
typedef int (*CommJpegChCreateFn)(int32_t s32Chn);

void CommSetSnapRecordHook(CommSnapRecordFn pfn);
void CommSetJpegChCreateHook(CommJpegChCreateFn pfn);

// The record of VDEC channel u32Vdec; invalid while the decode module has not set its hook or past
// its records.
SnapRecord CommSnapRecord(uint32_t u32Vdec);
// JPEGChCreate through the hook; -1 (with a line) while the capture module has not set it.
int CommHookJpegChCreate(int32_t s32Chn);
