// Audio input: module tables, the lazy open, devices, channels and the plain attribute wrappers.
#include "sdk/audio/ai/mpi_ai.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/ai/mpi_ai_internal.h"
#include "sdk/audio/vqe/upvqe.h"
#include "sdk/vb/mpi_vb.h"

namespace dev = varnelle::dev;

AI_VQE_STATE_S g_astVqeState[AI_DEV_MAX_NUM][AI_MAX_CHN_NUM];
FILE* pfdAiIn[AI_CHN_INDEX_NUM];
FILE* pfdAiOut[AI_CHN_INDEX_NUM];
FILE* pfdAiRef[AI_CHN_INDEX_NUM];

namespace mk::ai {

Module& Ai() {
    static auto* m = new Module;  // never destroyed: callers may still run during exit
    return *m;
}

void ChnCtx::ResetFields() {
    for (MK_U32& f : au32Flag) f = 0;
    bVqeConfigured = bVqeEnabled = 0;
    hVqe = nullptr;
    bResmpEnabled = 0;
    stResmpAttr = AUDIO_RESAMPLE_ATTR_S{};
    s32ResmpPoolId = -1;
    bChnEnabled = 0;
    s32AecAoDev = s32AecAoChn = -1;
    u32NoRefCount = 0;
    pCacheBuf = nullptr;
    bAecRefFrameEnabled = bVqeSetByUser = 0;
    u32ResmpFramesOut = u32FramesOut = 0;
    bResmpDisabling = bChnDisabling = 0;
    for (ResmpOut& r : astResmpOut) r = ResmpOut{};
    for (MK_U64& n : au64DumpBytes) n = 0;
    bDumpOpen = 0;
}

MK_S32 OpenSlot(TraceSite site, MK_S32 index) {
    DevSlot::Result r = Ai().fd[index].Ensure("/dev/ai", O_RDWR, MK_AI_IOC_BIND, static_cast<MK_U32>(index));
    if (r == DevSlot::kReady) return MK_SUCCESS;
    if (r == DevSlot::kOpenFailed) MK_TRACE_AT(site, "open /dev/ai failed!\n");
    return MK_ERR_AI_SYS_NOTREADY;
}

MK_S32 Request(MK_S32 index, unsigned long request, MK_VOID* arg) {
    return dev::Ioctl(Ai().fd[index].fd(), request, arg);
}

MK_S32 ReplaceInstanceLocked(MK_S32 index, const UPVQE_CONFIG_S* cfg,
                             const std::function<void(AI_VQE_STATE_S&)>& update) {
    ChnCtx& c = Ai().chn[index];
    AI_VQE_STATE_S& st = g_astVqeState[index / AI_MAX_CHN_NUM][index % AI_MAX_CHN_NUM];
    std::lock_guard<std::mutex> lock(st.mutex);
    MK_UPVQE_Destroy(c.hVqe);
    c.hVqe = nullptr;
    st.hVqe = nullptr;
    if (cfg == nullptr) return MK_SUCCESS;
    MK_VOID* h = nullptr;
    MK_S32 ret =
        mk::audio::FaultFires(mk::audio::Fault::kAiVqeCreate) ? MK_ERR_UPVQE_NOMEM : MK_UPVQE_Create(&h, cfg);
    if (ret != MK_SUCCESS) return ret;
    c.hVqe = h;
    st.hVqe = h;
    if (update) update(st);
    return MK_SUCCESS;
}

namespace {

void PutWords(AI_VQE_DBG_S& rec, int first, const void* block, size_t bytes) {
    std::memcpy(&rec.au32Word[first], block, bytes);
}

}  // namespace

AI_VQE_DBG_S VqeStatus(bool on, const UPVQE_CONFIG_S* cfg) {
    AI_VQE_DBG_S rec{};
    if (!on || cfg == nullptr) {
        rec.au32Word[11] = AI_VQE_DBG_OFF_RATE;
        rec.au32Word[21] = 2;
        return rec;
    }
    MK_U32* w = rec.au32Word;
    w[0] = 1;
    const MK_U32 flags[9] = {cfg->bHpfOpen, cfg->bAecOpen, cfg->bAnrOpen, cfg->bRnrOpen, cfg->bAgcOpen,
                             cfg->bEqOpen,  cfg->bHdrOpen, cfg->bDrcOpen, cfg->bPeqOpen};
    for (int i = 0; i < 9; ++i) w[1 + i] = flags[i];
    w[11] = static_cast<MK_U32>(cfg->s32WorkSampleRate);
    w[13] = static_cast<MK_U32>(cfg->s32FrameSample);
    w[17] = cfg->enWorkstate;
    PutWords(rec, 18, &cfg->stHpfCfg, sizeof(cfg->stHpfCfg));
    if (cfg->bAecOpen) {
        PutWords(rec, 20, &cfg->stAecCfg, sizeof(cfg->stAecCfg));
    } else {
        w[21] = 2;
    }
    PutWords(rec, 33, &cfg->stAnrCfg, sizeof(cfg->stAnrCfg));
    PutWords(rec, 37, &cfg->stRnrCfg, sizeof(cfg->stRnrCfg));
    PutWords(rec, 41, &cfg->stAgcCfg, sizeof(cfg->stAgcCfg));
    PutWords(rec, 46, &cfg->stEqCfg, sizeof(cfg->stEqCfg));
    const VQE_HDR_CONFIG_S& hdr = cfg->stHdrCfg;
    w[50] = hdr.bUsrMode;
    w[51] = static_cast<MK_U32>(hdr.s32MinGaindB);
    w[52] = static_cast<MK_U32>(hdr.s32MaxGaindB);
    w[53] = static_cast<MK_U32>(hdr.s32MicGaindB);
    w[54] = static_cast<MK_U32>(hdr.s32MicGainStepdB);
    w[55] = hdr.pcallback != nullptr ? 1 : 0;  // a host pointer does not fit the word
    PutWords(rec, 56, &cfg->stDrcCfg, sizeof(cfg->stDrcCfg));
    PutWords(rec, 63, &cfg->stPeqCfg, sizeof(cfg->stPeqCfg));
    return rec;
}

void SendVqeStatusLocked(MK_S32 index) {
    ChnCtx& c = Ai().chn[index];
    UPVQE_CONFIG_S cfg{};
    const bool on = c.bVqeEnabled && c.hVqe != nullptr && MK_UPVQE_GetConfig(c.hVqe, &cfg) == MK_SUCCESS;
    AI_VQE_DBG_S rec = VqeStatus(on, on ? &cfg : nullptr);
    Request(index, MK_AI_IOC_VQE_DBG, &rec);
}

}  // namespace mk::ai

using namespace mk::ai;

namespace {

MK_S32 DevRequest(MK_S32 dev, unsigned long request, MK_VOID* arg) {
    return Request(AiChnIndex(dev, 0), request, arg);
}

}  // namespace

MK_S32 MPI_AI_Init(MK_VOID) {
    Module& m = Ai();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (m.bInit) return MK_SUCCESS;
    for (DevCtx& d : m.dev) {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.s32PoolId = -1;
    }
    for (ChnCtx& c : m.chn) {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.ResetFields();
    }
    for (auto& row : g_astVqeState) {
        for (AI_VQE_STATE_S& st : row) {
            std::lock_guard<std::mutex> lock(st.mutex);
            st.hVqe = nullptr;
            st.bVqeEnable = st.bResmpEnable = 0;
            st.s32ResmpPoolId = -1;
        }
    }
    for (auto& n : m.au64Flush) n = 0;
    m.bInit = true;
    return MK_SUCCESS;
}

MK_S32 MPI_AI_Exit(MK_VOID) {
    Module& m = Ai();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (!m.bInit) return MK_SUCCESS;
    // What the channels still hold goes back: the next start begins from nothing.
    for (MK_S32 index = 0; index < AI_CHN_INDEX_NUM; ++index) {
        ChnCtx& c = m.chn[index];
        std::lock_guard<std::mutex> lock(c.mutex);
        ReplaceInstanceLocked(index, nullptr, {});
        std::free(c.pCacheBuf);
        CloseDumpLocked(index);
        if (c.s32ResmpPoolId >= 0) {
            MK_MPI_VB_MunmapPoolEx(static_cast<VB_POOL>(c.s32ResmpPoolId));
            MK_MPI_VB_DestroyPoolEx(static_cast<VB_POOL>(c.s32ResmpPoolId));
        }
        c.ResetFields();
        AI_VQE_STATE_S& st = g_astVqeState[index / AI_MAX_CHN_NUM][index % AI_MAX_CHN_NUM];
        std::lock_guard<std::mutex> slock(st.mutex);
        st.bVqeEnable = st.bResmpEnable = 0;
        st.s32ResmpPoolId = -1;
        m.done[index].Clear();
    }
    for (DevCtx& d : m.dev) {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.s32PoolId >= 0) MK_MPI_VB_MunmapPoolEx(static_cast<VB_POOL>(d.s32PoolId));
        d.s32PoolId = -1;
    }
    m.bInit = false;
    return MK_SUCCESS;
}

// ---- Plain wrappers: checks, the lazy open and one request, each written once ----

// Record requests on a device's slot and on a channel's: name, record type, request.
#define AI_DEV_RECORD_CALLS(X)                                       \
    X(MK_MPI_AI_SetPubAttr, const AIO_ATTR_S, MK_AI_IOC_SET_PUBATTR) \
    X(MK_MPI_AI_GetPubAttr, AIO_ATTR_S, MK_AI_IOC_GET_PUBATTR)       \
    X(MK_MPI_AI_GetTrackMode, MK_U32, MK_AI_IOC_GET_TRACK_MODE)      \
    X(MK_MPI_AI_GetClkDir, MK_U32, MK_AI_IOC_GET_CLKDIR)
#define AI_CHN_RECORD_CALLS(X)                                              \
    X(MK_MPI_AI_SetChnParam, const AI_CHN_PARAM_S, MK_AI_IOC_SET_CHN_PARAM) \
    X(MK_MPI_AI_GetChnParam, AI_CHN_PARAM_S, MK_AI_IOC_GET_CHN_PARAM)       \
    X(MPI_AI_SetResmpDbgInfo, const AI_RESMP_DBG_S, MK_AI_IOC_RESMP_DBG)    \
    X(MPI_AI_SetVqeDbgInfo, const AI_VQE_DBG_S, MK_AI_IOC_VQE_DBG)

#define AI_DEV_RECORD_CALL(name, type, request)                                                            \
    MK_S32 name(MK_S32 AiDevId, type* pstRecord) {                                                         \
        AI_CHECK_DEV(AiDevId);                                                                             \
        if (pstRecord == nullptr) return MK_ERR_AI_NULL_PTR;                                               \
        AI_OPEN(AiChnIndex(AiDevId, 0));                                                                   \
        return DevRequest(AiDevId, request, const_cast<MK_VOID*>(static_cast<const MK_VOID*>(pstRecord))); \
    }
#define AI_CHN_RECORD_CALL(name, type, request)                                                       \
    MK_S32 name(MK_S32 AiDevId, MK_S32 AiChn, type* pstRecord) {                                      \
        AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstRecord);                                                  \
        return Request(index, request, const_cast<MK_VOID*>(static_cast<const MK_VOID*>(pstRecord))); \
    }
AI_DEV_RECORD_CALLS(AI_DEV_RECORD_CALL)
AI_CHN_RECORD_CALLS(AI_CHN_RECORD_CALL)
#undef AI_DEV_RECORD_CALL
#undef AI_CHN_RECORD_CALL

namespace {

// A device word checked against its largest value after the lazy open, then set.
MK_S32 SetDevWord(mk::TraceSite site, MK_S32 dev, MK_U32 value, MK_U32 max, const char* name,
                  unsigned long request) {
    if (static_cast<MK_U32>(dev) >= AI_DEV_MAX_NUM) {
        MK_TRACE_AT(site, "ai dev %d is invalid\n", dev);
        return MK_ERR_AI_INVALID_DEVID;
    }
    const MK_S32 ret = OpenSlot(site, AiChnIndex(dev, 0));
    if (ret != MK_SUCCESS) return ret;
    if (value > max) {
        MK_TRACE_AT(site, "illegal param: %s(%d)!\n", name, value);
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    return DevRequest(dev, request, &value);
}

}  // namespace

MK_S32 MK_MPI_AI_ClrPubAttr(MK_S32 AiDevId) {
    AI_CHECK_DEV(AiDevId);
    AI_OPEN(AiChnIndex(AiDevId, 0));
    return DevRequest(AiDevId, MK_AI_IOC_CLR_PUBATTR, nullptr);
}

MK_S32 MK_MPI_AI_SetTrackMode(MK_S32 AiDevId, MK_U32 enTrackMode) {
    return SetDevWord(MK_TRACE_SITE, AiDevId, enTrackMode, 7, "enTrackMode", MK_AI_IOC_SET_TRACK_MODE);
}

MK_S32 MK_MPI_AI_SetClkDir(MK_S32 AiDevId, MK_U32 enClkDir) {
    return SetDevWord(MK_TRACE_SITE, AiDevId, enClkDir, 1, "enClkDir", MK_AI_IOC_SET_CLKDIR);
}

MK_S32 MK_MPI_AI_GetFd(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    return Ai().fd[index].fd();
}

// ---- Devices ----

MK_S32 MK_MPI_AI_Enable(MK_S32 AiDevId) {
    AI_CHECK_DEV(AiDevId);
    AI_OPEN(AiChnIndex(AiDevId, 0));
    MK_S32 ret = DevRequest(AiDevId, MK_AI_IOC_ENABLE, nullptr);
    if (ret != MK_SUCCESS) return ret;
    MK_U32 pool = 0;
    ret = DevRequest(AiDevId, MK_AI_IOC_GET_POOL, &pool);
    if (ret != MK_SUCCESS) return ret;
    DevCtx& d = Ai().dev[AiDevId];
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.s32PoolId == -1) {
        ret = MK_MPI_VB_MmapPoolEx(pool);
        if (ret != MK_SUCCESS) return ret;
        d.s32PoolId = static_cast<MK_S32>(pool);
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_Disable(MK_S32 AiDevId) {
    AI_CHECK_DEV(AiDevId);
    AI_OPEN(AiChnIndex(AiDevId, 0));
    DevCtx& d = Ai().dev[AiDevId];
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.s32PoolId != -1) {
            MK_S32 ret = MK_MPI_VB_MunmapPoolEx(static_cast<VB_POOL>(d.s32PoolId));
            if (ret != MK_SUCCESS) return ret;
            d.s32PoolId = -1;
        }
    }
    return DevRequest(AiDevId, MK_AI_IOC_DISABLE, nullptr);
}

// ---- Channels ----

MK_S32 MK_MPI_AI_EnableChn(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.bChnDisabling) {
        MK_TRACE("AI chn %d is being disabled\n", AiChn);
        return MK_ERR_AI_BUSY;
    }
    if (c.bChnEnabled) return MK_SUCCESS;
    MK_S32 ret = Request(index, MK_AI_IOC_ENABLE_CHN);
    if (ret != MK_SUCCESS) return ret;
    c.pCacheBuf = static_cast<MK_U8*>(std::malloc(AI_CACHE_BUF_LEN));
    if (c.pCacheBuf == nullptr) {
        MK_TRACE("ai chn malloc cachbuff err.\n");
        Request(index, MK_AI_IOC_DISABLE_CHN);  // no channel half enabled
        return MK_ERR_AI_NOMEM;
    }
    c.bChnEnabled = 1;
    ++c.u32EnableCount;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_DisableChn(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    std::unique_lock<std::mutex> lock(c.mutex);
    // One tear-down at a time: a second disable is refused, not told 0 while the first still runs.
    if (c.bChnDisabling || c.bResmpDisabling) {
        MK_TRACE("AI chn %d is being disabled\n", AiChn);
        return MK_ERR_AI_BUSY;
    }
    if (!c.bChnEnabled) return MK_SUCCESS;
    // From here until the channel is down it takes nothing but its frames coming back, so the waits
    // below, which let the mutex go, find it as they left it.
    c.bChnDisabling = 1;
    MK_S32 ret = DisableReSmpLocked(index, lock);
    if (ret != MK_SUCCESS) {
        c.bChnDisabling = 0;
        return ret;
    }
    AI_RESMP_DBG_S off{};
    Request(index, MK_AI_IOC_RESMP_DBG, &off);
    if (c.u32FramesOut != 0) MK_TRACE("There is some frame not released: AiDev%d AiChn%d!\n", AiDevId, AiChn);
    // Every frame out, not just the next one to come back.
    c.condFramesReleased.wait(lock, [&c] { return c.u32FramesOut == 0; });
    c.u32FramesOut = 0;
    c.u32ResmpFramesOut = 0;
    // A refusal on the way is returned once the channel is wholly down, so that no half-torn channel
    // is left for a later disable to skip.
    MK_S32 first = Request(index, MK_AI_IOC_AEC_OFF);
    ReplaceInstanceLocked(index, nullptr);
    {
        AI_VQE_STATE_S& st = g_astVqeState[AiDevId][AiChn];
        std::lock_guard<std::mutex> slock(st.mutex);
        st.bVqeEnable = 0;
        Ai().done[index].Clear();
    }
    c.bVqeConfigured = c.bVqeSetByUser = c.bVqeEnabled = 0;
    SendVqeStatusLocked(index);
    std::free(c.pCacheBuf);
    c.pCacheBuf = nullptr;
    ret = Request(index, MK_AI_IOC_DISABLE_CHN);
    if (first == MK_SUCCESS) first = ret;
    CloseDumpLocked(index);
    c.bChnEnabled = 0;
    c.bChnDisabling = 0;
    return first;
}
