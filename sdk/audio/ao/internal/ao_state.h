// State and helpers shared by the source files of audio output; not part of its interface.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "sdk/audio/ao/internal/ao_ring.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/audio/vqe/dnvqe.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"

namespace mk::ao {

constexpr MK_U32 kRingBytes = 32768;  // per track; both tracks share one 65536-byte block
constexpr MK_U32 kStagingBytes = 16384;
enum { kStageTrack0 = 0, kStageTrack1 = 1, kStageVqeOut = 2 };

struct ChnCtx {
    std::mutex lock;  // guards every field below
    MK_U32 bResmpEnabled = 0;
    MK_U32 bAnrOpen = 0;
    MK_U32 bMbcEnabled = 0;
    MK_U32 bAgcOpen = 0;
    MK_U32 bHpfOpen = 0;
    MK_U32 bEqOpen = 0;
    MK_U32 bVqeConfigured = 0;
    MK_U32 bVqeEnabled = 0;
    MK_VOID* hVqe = nullptr;
    AUDIO_RESAMPLE_ATTR_S stResmp{};
    AO_CIRBUF_S stCirBuf[2]{};
    MK_U8* staging[3] = {};
    MK_U32 bEnabled = 0;
    // dump files
    bool dumpOpen = false;
    std::FILE* dumpIn = nullptr;
    std::FILE* dumpOut = nullptr;
    MK_U64 dumpInBytes = 0;
    MK_U64 dumpOutBytes = 0;
};

struct AoModule {
    DevSlot fd[AO_CHN_INDEX_NUM];  // one descriptor per index, open for the life of the process
    ChnCtx ctx[AO_CHN_INDEX_NUM];
    std::mutex initMutex;  // serialises init and exit
    bool initialised = false;
    // bytes written to all input / all output dump files since their last flush
    std::atomic<MK_U64> flushIn{0};
    std::atomic<MK_U64> flushOut{0};
};

AoModule& Module();

// Range checks (negative ids are out of range) and the lazy open of the index's descriptor; 0 or the
// module's code. A call on a whole device uses the descriptor of the device's channel 0.
MK_S32 CheckAndOpen(const TraceSite& site, MK_S32 dev, MK_S32 chn);
MK_S32 CheckDevAndOpen(const TraceSite& site, MK_S32 dev);
// One request on the index's descriptor (opened already): the driver's answer.
MK_S32 Request(MK_S32 index, unsigned long request, void* arg);
// The device's attribute from the driver; 0 or the driver's code.
MK_S32 DevAttr(MK_S32 dev, AIO_ATTR_S* attr);

// The channel's playback configuration; the caller holds the channel lock. 0, 0xA0168009 (nothing
// configured) or 0xA0168041.
MK_S32 GetConfigLocked(MK_S32 dev, MK_S32 chn, DNVQE_CONFIG_S* cfg);
// Creates an instance from `cfg` and, only when that succeeds, puts it in place of the old one (the old
// one keeps playing otherwise); the creation's code.
MK_S32 RebuildLocked(ChnCtx& c, const DNVQE_CONFIG_S& cfg);
// Resampling off (the caller holds the lock): 0, 0xA0168007 or 0xA0168041.
MK_S32 DisableReSmpLocked(MK_S32 dev, MK_S32 chn);
// Sends the channel's processing status record: enabled with `cfg`, or off.
void SendVqeDbgLocked(MK_S32 index, const DNVQE_CONFIG_S* cfg);
// Closes the channel's dump files and clears its dump state.
void CloseDumpLocked(ChnCtx& c);

inline MK_S32 Index(MK_S32 dev, MK_S32 chn) { return AoChnIndex(dev, chn); }

}  // namespace mk::ao
