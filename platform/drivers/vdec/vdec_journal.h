// The decoder driver's journal: per channel, every packet it accepted (where its bytes lie in the
// channel's byte log, length, time stamp, end-of-frame and end-of-stream flags, arrival on the platform
// clock) and what happened to the channel (create, destroy, start, stop, reset, each refusal with its
// code), in order. It outlives consumption: the stream buffer drains, the journal keeps.
//
// Kept in memory once a test turns it on (VdecDriver::EnableJournal); with $VARNELLE_TRACE set it is
// written there as well, vdec-<chn>.h264 (the bytes) and vdec-<chn>.log (one line per packet or event),
// from the driver's installation on. The driver's lock guards it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/vdec/vdec_ioctl.h"

namespace varnelle::drivers {

struct VdecJournalPacket {
    uint64_t u64Offset;  // in the channel's byte log
    uint32_t u32Len;
    uint64_t u64Pts;
    bool bEndOfFrame;
    bool bEndOfStream;
    uint64_t u64ArrivalUs;
    uint64_t u64Seq;  // order among the channel's packets and events
};

enum class VdecJournalKind { kCreate, kDestroy, kStart, kStop, kReset, kRefuse };

struct VdecJournalEvent {
    VdecJournalKind kind;
    int32_t s32Code;  // a refusal's code
    uint64_t u64AtUs;
    uint64_t u64Seq;
};

// Name of an event kind as the log writes it.
const char* VdecJournalKindName(VdecJournalKind kind);

class VdecJournal {
public:
    VdecJournal();
    ~VdecJournal();
    VdecJournal(const VdecJournal&) = delete;
    VdecJournal& operator=(const VdecJournal&) = delete;

    void Packet(int chn, const VDEC_STREAM_S& st, const uint8_t* data);
    void Event(int chn, VdecJournalKind kind, int32_t code = 0);

    // Test view.
    void Enable(bool on);
    std::vector<VdecJournalPacket> Packets(int chn) const;
    std::vector<VdecJournalEvent> Events(int chn) const;
    // The bytes of the channel's log from `offset` (at most `len`).
    std::vector<uint8_t> Bytes(int chn, uint64_t offset, uint64_t len) const;
    void Clear();
    // The clock arrivals are stamped with (null: the platform's monotonic clock).
    void SetClock(uint64_t (*now)());

private:
    struct Chn {
        std::vector<VdecJournalPacket> packets;
        std::vector<VdecJournalEvent> events;
        std::vector<uint8_t> bytes;
        uint64_t logged = 0;  // bytes accepted so far (the next packet's offset)
        uint64_t seq = 0;
        FILE* h264 = nullptr;
        FILE* log = nullptr;
    };
    uint64_t Now() const;
    void OpenTrace(int chn, Chn& c);

    bool m_enabled = false;
    std::string m_traceDir;
    uint64_t (*m_now)() = nullptr;
    Chn m_chn[VDEC_MAX_CHN_NUM];
};

}  // namespace varnelle::drivers
