// State and helpers shared by the source files of the audio input module; not part of its interface.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"

namespace mk::ai {

constexpr const char* kSource = "sdk/code/shelf/audio/audio/mpi/src/mpi_ai";

// The module flags as the channel keeps them, in the order of its context.
enum Flag { kAnr, kAec, kAgc, kHpf, kRnr, kEq, kHdr, kFlagCount = 9 };

struct ChnCtx {
    std::mutex mutex;                            // guards every field below
    std::condition_variable condResmpReleased;   // u32ResmpFramesOut dropped to 0
    std::condition_variable condFramesReleased;  // u32FramesOut dropped to 0
    MK_U32 au32Flag[kFlagCount] = {};
    MK_U32 bVqeConfigured = 0;
    MK_U32 bVqeEnabled = 0;
    MK_VOID* hVqe = nullptr;
    MK_U32 bResmpEnabled = 0;
    AUDIO_RESAMPLE_ATTR_S stResmpAttr{};
    MK_S32 s32ResmpPoolId = -1;
    MK_U32 bChnEnabled = 0;
    MK_S32 s32AecAoDev = -1;
    MK_S32 s32AecAoChn = -1;
    MK_U32 u32NoRefCount = 0;
    MK_U8* pCacheBuf = nullptr;
    MK_U32 bAecRefFrameEnabled = 0;
    MK_U32 bVqeSetByUser = 0;
    MK_U32 u32ResmpFramesOut = 0;
    MK_U32 u32FramesOut = 0;
    MK_U32 bResmpDisabling = 0;
    // Set while a disable waits for the caller's frames and tears the channel down: the channel takes
    // no other operation meanwhile but frames coming back.
    MK_U32 bChnDisabling = 0;
    MK_U32 u32EnableCount = 0;  // enables so far: a frame call that waited in the driver checks it
    // The up-sampled frames handed out and not given back: a release must name one of them.
    struct ResmpOut {
        MK_U32 u32PhyAddr;
        MK_U32 u32Seq;
        MK_U64 u64TimeStamp;
    } astResmpOut[AI_RESMP_BLK_NUM] = {};
    // Dump files: bytes written per kind (input, output, reference) and whether they are open.
    MK_U64 au64DumpBytes[3] = {};
    MK_U32 bDumpOpen = 0;

    // Back to the state after module start (the mutex and conditions stay).
    void ResetFields();
};

// What became of the channel's captured frames at its instance, so that a frame read by both the
// caller and a bound encoder goes through it once (guarded by the channel's g_astVqeState mutex). Kept
// by the frame's block: a block holds no other frame while either reader may still ask for this one,
// however far the two readers drift apart.
struct VqeDone {
    struct Entry {
        MK_U32 u32Seq = 0;
        MK_U64 u64TimeStamp = 0;
        AI_VQE_OUTCOME_E enOutcome = AI_VQE_OUTCOME_NONE;
        MK_U32 u32Len = 0;
        std::vector<MK_U8> copy;  // the output of AI_VQE_OUTCOME_COPY
    };
    std::unordered_map<MK_U32, Entry> byBlock;  // by the physical address of the frame's first track

    void Clear() { byBlock.clear(); }
};

struct DevCtx {
    std::mutex mutex;       // guards s32PoolId
    MK_S32 s32PoolId = -1;  // the device's frame pool, mapped while the device is enabled
};

struct Module {
    bool bInit = false;
    std::mutex initMutex;  // serialises init and exit
    DevSlot fd[AI_CHN_INDEX_NUM];
    DevCtx dev[AI_DEV_MAX_NUM];
    ChnCtx chn[AI_CHN_INDEX_NUM];
    VqeDone done[AI_CHN_INDEX_NUM];
    // Bytes written since the last flush, per kind, across all channels.
    std::atomic<MK_U64> au64Flush[3] = {};
};

Module& Ai();

// Range checks and the lazy open, written once: they return from the calling function.
#define AI_CHECK_DEV(dev)                                 \
    do {                                                  \
        if (static_cast<MK_U32>(dev) >= AI_DEV_MAX_NUM) { \
            MK_TRACE("ai dev %d is invalid\n", dev);      \
            return MK_ERR_AI_INVALID_DEVID;               \
        }                                                 \
    } while (0)
#define AI_CHECK_CHN(chn)                                 \
    do {                                                  \
        if (static_cast<MK_U32>(chn) >= AI_MAX_CHN_NUM) { \
            MK_TRACE("ai chnid %d is invalid\n", chn);    \
            return MK_ERR_AI_INVALID_CHNID;               \
        }                                                 \
    } while (0)
#define AI_OPEN(index)                                                   \
    do {                                                                 \
        const MK_S32 open_ret_ = mk::ai::OpenSlot(MK_TRACE_SITE, index); \
        if (open_ret_ != MK_SUCCESS) return open_ret_;                   \
    } while (0)

// The start of a channel entry point: range checks, the pointer check where there is a pointer, the
// lazy open; defines `index` and `c` in the calling function.
#define AI_CHN_ENTRY(dev_, chn_)                 \
    AI_CHECK_DEV(dev_);                          \
    AI_CHECK_CHN(chn_);                          \
    const MK_S32 index = AiChnIndex(dev_, chn_); \
    AI_OPEN(index);                              \
    [[maybe_unused]] mk::ai::ChnCtx& c = mk::ai::Ai().chn[index]
#define AI_CHN_ENTRY_PTR(dev_, chn_, ptr_)            \
    AI_CHECK_DEV(dev_);                               \
    AI_CHECK_CHN(chn_);                               \
    if ((ptr_) == nullptr) return MK_ERR_AI_NULL_PTR; \
    const MK_S32 index = AiChnIndex(dev_, chn_);      \
    AI_OPEN(index);                                   \
    [[maybe_unused]] mk::ai::ChnCtx& c = mk::ai::Ai().chn[index]
// Refuses a disabled channel, or one on its way down (its mutex held), naming it as the caller's
// message does.
#define AI_CHECK_ENABLED(chn_)                           \
    do {                                                 \
        if (!c.bChnEnabled || c.bChnDisabling) {         \
            MK_TRACE("AI chn %d is not enable\n", chn_); \
            return MK_ERR_AI_NOT_ENABLED;                \
        }                                                \
    } while (0)

// Opens and binds the slot of `index`: 0, or 0xA0158010 (after "open /dev/ai failed!" when the open
// itself failed).
MK_S32 OpenSlot(TraceSite site, MK_S32 index);
// One request on the slot's descriptor; the driver's answer.
MK_S32 Request(MK_S32 index, unsigned long request, MK_VOID* arg = nullptr);

// Replaces the channel's instance under its state mutex (called with the channel mutex held): the old
// one is destroyed and a new one made from `cfg` (none when null); `update`, when given, runs under the
// state mutex after a successful creation. 0 or the engine's code; on failure the channel is left
// without an instance.
MK_S32 ReplaceInstanceLocked(MK_S32 index, const UPVQE_CONFIG_S* cfg,
                             const std::function<void(AI_VQE_STATE_S&)>& update = {});

// The whole configuration of the channel's instance, as MPI_AI_GetVqeAttr gives it (channel mutex held).
MK_S32 GetVqeAttrLocked(MK_S32 dev, MK_S32 chn, UPVQE_CONFIG_S* cfg);
// The same, or 0xA0158007 after "get vqe attr failed" (channel mutex held). The operations that need
// it read it without letting the mutex go, so nothing changes the channel between their checks and
// their work.
MK_S32 ReadRecordConfigLocked(MK_S32 dev, MK_S32 chn, UPVQE_CONFIG_S& cfg);

// Resampling on and off with the channel mutex held; switching it off waits, `lock` let go, until the
// caller has given back every resampled frame.
MK_S32 EnableReSmpLocked(MK_S32 index, const AUDIO_RESAMPLE_ATTR_S& attr);
MK_S32 DisableReSmpLocked(MK_S32 index, std::unique_lock<std::mutex>& lock);

// The status record of a channel's processing, word by word.
AI_VQE_DBG_S VqeStatus(bool on, const UPVQE_CONFIG_S* cfg);
// Sends the status record of the channel (processing on with its configuration, or off).
void SendVqeStatusLocked(MK_S32 index);

// Closes the channel's dump files and clears their counters and the shared flush counters.
void CloseDumpLocked(MK_S32 index);
// The dump step of a frame call (channel mutex held): the input as the engine took it, the output
// handed to the caller and the reference, when there is one.
void SaveFileLocked(MK_S32 dev, MK_S32 chn, const MK_U8* in, MK_U32 inLen, const AUDIO_FRAME_S& out,
                    const MK_U8* ref, MK_U32 refLen);

}  // namespace mk::ai
