// The audio path's set-up, tear-down and source switch, and the HDMI mirroring thread.
#include "app/audio/audio.h"

#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/audio/audio_internal.h"
#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_hook.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/avdec_state.h"
#include "app/split/split.h"
#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/ao/mpi_ao.h"

namespace {

constexpr const char* kSrc = "../audio/audio.c";
constexpr int32_t kInListIndex = 240;
constexpr int32_t kOutListIndex = 241;
constexpr int32_t kHdmiAoDev = 2;
constexpr int32_t kHdmiAoChn = 0;
constexpr int32_t kAiChnCount = 16;

AudioState g_stAudio;


// Threads: started once, stopped only by tests.
pthread_mutex_t g_threadMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_bOutThread = false;   // guarded by g_threadMutex
bool g_bHdmiThread = false;  // guarded by g_threadMutex
pthread_t g_hdmiThread{};    // guarded by g_threadMutex
std::atomic<bool> g_bHdmiQuit{false};
// Wakes the HDMI thread when a source is set or it must stop; waits on the HDMI lock.
pthread_cond_t g_hdmiCv;
pthread_once_t g_hdmiCvOnce = PTHREAD_ONCE_INIT;

void InitHdmiCv() {
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&g_hdmiCv, &a);
    pthread_condattr_destroy(&a);
}

bool SubTypeFeedsOutput(uint32_t u32Sub) {
    switch (u32Sub) {
        case 24: case 25: case 26: case 30: case 31: case 38: case 42:
            return true;
        default:
            return false;
    }
}

// {rate, 16-bit, work mode, mono, extension flag 1, 30 frames, points, 1 channel, clock 2, 0}.
AIO_ATTR_S AoAttr(uint32_t u32Rate, uint32_t u32WorkMode, uint32_t u32Points) {
    AIO_ATTR_S a{};
    a.enSampleRate = static_cast<AUDIO_SAMPLE_RATE_E>(u32Rate);
    a.enBitwidth = AUDIO_BIT_WIDTH_16;
    a.enWorkMode = u32WorkMode;
    a.enSoundmode = AUDIO_SOUND_MODE_MONO;
    a.u32DrvFlag = 1;
    a.u32FrameCount = 30;
    a.u32PtNumPerFrm = u32Points;
    a.u32ChnCount = 1;
    a.u32ClkChnCount = 2;
    return a;
}

void ClearAudioFlags() {
    AVdecState* pDec = AVdecGetState();
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) pDec->SetRec(c, REC_AUDIO, 0);
    // Channels without a split record are refused there; nothing to clear for them.
    for (int32_t c = 0; c < MAX_ANALOG_VO_CHN; ++c) SplitSetChnAudio(c, 0);
}

int StartThread(pthread_t* pThread, void* (*pfn)(void*), const char* pszName) {
    int r = pthread_create(pThread, nullptr, pfn, nullptr);
    if (r != 0) {
        APP_ERR(kSrc, "pthread_create %s failed %#x", pszName, static_cast<unsigned>(r));
        return -1;
    }
    return 0;
}

// Sets the HDMI source; HDMI lock held.
void SetHdmiSourceLocked(int32_t s32Fd, int32_t s32AiChn) {
    g_stAudio.s32HdmiFd = s32Fd;
    g_stAudio.s32HdmiAiChn = s32AiChn;
    if (s32Fd >= 0) pthread_cond_broadcast(&g_hdmiCv);
}

}  // namespace

AudioState* AudioGetState() {
    return &g_stAudio;
}

void AudioRegister() {
    AVdecSetAudioHooks([] { return g_stAudio.pOutList.load(); },
                       [] { return g_stAudio.u32OutEnabled.load() != 0; });
}

void* HwHdmiAudioProc(void*) {
    AudioState* s = &g_stAudio;
    while (!g_bHdmiQuit.load()) {
        pthread_mutex_lock(&s->hdmiLock);
        if (s->s32HdmiFd < 0) {
            // Nothing mirrored: wait for a source (the source switch wakes this wait).
            timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            ts.tv_nsec += 100 * 1000 * 1000;
            if (ts.tv_nsec >= 1000000000) {
                ts.tv_sec += 1;
                ts.tv_nsec -= 1000000000;
            }
            if (!g_bHdmiQuit.load()) pthread_cond_timedwait(&g_hdmiCv, &s->hdmiLock, &ts);
            pthread_mutex_unlock(&s->hdmiLock);
            continue;
        }
        const int32_t s32Fd = s->s32HdmiFd;
        const int32_t s32AiChn = s->s32HdmiAiChn;
        // The wait for a frame leaves the lock free, so a switch is never held up by it.
        pthread_mutex_unlock(&s->hdmiLock);
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s32Fd, &rd);
        timeval tv{1, 0};
        const int n = select(s32Fd + 1, &rd, nullptr, nullptr, &tv);
        if (n == 0) {
            APP_ERR(kSrc, "get ai frame select time out");
            continue;
        }
        if (n < 0) continue;
        pthread_mutex_lock(&s->hdmiLock);
        if (s->s32HdmiFd == s32Fd && s->s32HdmiAiChn == s32AiChn) {
            AUDIO_FRAME_S frm{};
            MK_S32 r = MK_MPI_AI_GetFrame(AudioAiDev(), s32AiChn, &frm, nullptr, 0);
            if (r != 0) {
                APP_ERR(kSrc, "MK_MPI_AI_GetFrame(%d, %d), failed with %#x!", AudioAiDev(), s32AiChn,
                        static_cast<unsigned>(r));
            } else {
                // Bounded, so a stalled output cannot keep the HDMI lock for ever.
                r = MK_MPI_AO_SendFrame(kHdmiAoDev, kHdmiAoChn, &frm, 1000);
                if (r != 0) APP_ERR(kSrc, "MK_MPI_AO_SendFrame error 0x%x", static_cast<unsigned>(r));
                MK_MPI_AI_ReleaseFrame(AudioAiDev(), s32AiChn, &frm, nullptr);
            }
        }
        pthread_mutex_unlock(&s->hdmiLock);
        sched_yield();
    }
    return nullptr;
}

int AudioStartThreads() {
    pthread_once(&g_hdmiCvOnce, InitHdmiCv);
    pthread_mutex_lock(&g_threadMutex);
    if (!g_bOutThread) {
        AudioOutSetQuit(false);
        g_bOutThread = StartThread(&g_stAudio.outThread, AudioOutSendStream, "AudioOutSendStream") == 0;
    }
    int ret = 0;
    if (!g_bHdmiThread) {
        g_bHdmiQuit = false;
        g_bHdmiThread = StartThread(&g_hdmiThread, HwHdmiAudioProc, "HwHdmiAudioProc") == 0;
        ret = g_bHdmiThread ? 0 : -1;
    }
    pthread_mutex_unlock(&g_threadMutex);
    return ret;
}

void AudioStopThreads() {
    pthread_once(&g_hdmiCvOnce, InitHdmiCv);
    pthread_mutex_lock(&g_threadMutex);
    if (g_bOutThread) {
        AudioOutSetQuit(true);
        pthread_join(g_stAudio.outThread, nullptr);
        g_bOutThread = false;
    }
    if (g_bHdmiThread) {
        pthread_mutex_lock(&g_stAudio.hdmiLock);
        g_bHdmiQuit = true;
        pthread_cond_broadcast(&g_hdmiCv);
        pthread_mutex_unlock(&g_stAudio.hdmiLock);
        pthread_join(g_hdmiThread, nullptr);
        g_bHdmiThread = false;
    }
    pthread_mutex_unlock(&g_threadMutex);
}

int AudioCreate() {
    pthread_once(&g_hdmiCvOnce, InitHdmiCv);
    AudioState* s = &g_stAudio;
    // 1. Input device and list.
    AencOpen();
    {
        pthread_mutex_lock(&s->inLock);
        s->stInFormat.u32PayloadType = AUDIO_PT_G711A;
        pthread_mutex_unlock(&s->inLock);
    }
    if (s->pInList.load() == nullptr) s->pInList = BufListCreate(kInListIndex);
    if (s->pInList.load() == nullptr) {
        APP_ERR(kSrc, "BufListCreate err");
        return -1;
    }
    // 2. Encoder channel 0 on the input channel of video channel 0.
    static AUDIO_ATTR_PLAIN_S s_stPlain{};
    const AENC_CHN_ATTR_S aencAttr{AUDIO_PT_G711A, AUDIO_PIECE_LEN, 30, &s_stPlain};
    MK_S32 r = MK_MPI_AENC_CreateChn(s->s32AencChn, &aencAttr);
    const bool bAencOk = r == 0;
    if (!bAencOk) APP_ERR(kSrc, "create aenc err:0x%x", static_cast<unsigned>(r));
    if (s->s32AencAiChn.load() < 0 && Comm_AencBindAi(AudioAiDev(), AudioGetAoDev(0), s->s32AencChn) == 0) {
        s->s32AencAiChn = AudioGetAoDev(0);
    }
    if (!bAencOk) return -1;
    s->u32InEnabled = 1;

    // 3. The analog output.
    const uint32_t u32SysType = Comm_GetSysType();
    const int32_t d = (u32SysType == 654 || u32SysType == 658) ? 1 : 0;
    AIO_ATTR_S aoAttr = AoAttr(8000, 1, 320);
    r = MK_MPI_AO_SetPubAttr(d, &aoAttr);
    if (r != 0) {
        APP_ERR(kSrc, "set ao %d attr err:0x%x", d, static_cast<unsigned>(r));
        return r;
    }
    r = MK_MPI_AO_Enable(d);
    if (r != 0) {
        APP_ERR(kSrc, "enable ao dev %d err:0x%x", d, static_cast<unsigned>(r));
        return r;
    }
    r = MK_MPI_AO_EnableChn(d, s->s32AoChn);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_AO_EnableChn ao dev %d err:0x%x", d, static_cast<unsigned>(r));
        return r;
    }

    // 4. The decoder, feeding the analog output.
    {
        pthread_mutex_lock(&s->outLock);
        const ADEC_CHN_ATTR_S adecAttr{AUDIO_PT_G711A, 30, ADEC_MODE_STREAM, &s_stPlain};
        r = MK_MPI_ADEC_CreateChn(s->s32AdecChn, &adecAttr);
        if (r != 0) {
            APP_ERR(kSrc, "create adec  err:0x%x", static_cast<unsigned>(r));
        } else {
            s->u32DecType = AUDIO_PT_G711A;
            s->u32DecCreated = 1;
        }
        s->stOutFormat.u32PayloadType = AUDIO_PT_G711A;
        pthread_mutex_unlock(&s->outLock);
    }
    if (Comm_AoBindAdec(d, s->s32AoChn, s->s32AdecChn) != 0) APP_ERR(kSrc, "bind adec  err:0x%x", 0xffffffffu);

    // 5. The output side's list, reassembly buffer and thread.
    s->s32AoDev = d;
    if (s->pOutList.load() == nullptr) s->pOutList = BufListCreate(kOutListIndex);
    if (s->pOutList.load() == nullptr) {
        APP_ERR(kSrc, "BufListCreate err");
        return -1;
    }
    {
        pthread_mutex_lock(&s->outLock);
        const bool bBuf = AudioOutReassembly().Init(AUDIO_REASM_SIZE);
        pthread_mutex_unlock(&s->outLock);
        if (!bBuf) {
            std::printf("%s (%d):malloc error!!! ", __FUNCTION__, __LINE__);
            return -1;
        }
    }
    s->u32OutEnabled = 1;
    s->u32Running = 1;

    // 6. The HDMI output at 48 kHz, resampling the 8 kHz decoder.
    std::printf("HDMI---------------SUPPORT_HDMI_AUDIO------------------------\r");
    AIO_ATTR_S hdmiAttr = AoAttr(48000, 0, 1920);
    r = MK_MPI_AO_SetPubAttr(kHdmiAoDev, &hdmiAttr);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_AO_SetPubAttr(%d) failed with %#x!", kHdmiAoDev, static_cast<unsigned>(r));
        return -1;
    }
    r = MK_MPI_AO_Enable(kHdmiAoDev);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_AO_Enable(%d) failed with %#x!", kHdmiAoDev, static_cast<unsigned>(r));
        return -1;
    }
    r = MK_MPI_AO_EnableChn(kHdmiAoDev, kHdmiAoChn);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_AO_EnableChn(%d) failed with %#x!", kHdmiAoDev, static_cast<unsigned>(r));
        return -1;
    }
    MK_MPI_AO_DisableReSmp(kHdmiAoDev, kHdmiAoChn);
    r = MK_MPI_AO_EnableReSmp(kHdmiAoDev, kHdmiAoChn, AUDIO_SAMPLE_RATE_8000);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_AO_EnableReSmp(%d,%d) failed with %#x!", kHdmiAoDev, kHdmiAoChn,
                static_cast<unsigned>(r));
        return -1;
    }

    // 7. Nothing mirrored yet; both threads run from here on.
    pthread_mutex_lock(&s->hdmiLock);
    SetHdmiSourceLocked(-1, -1);
    pthread_mutex_unlock(&s->hdmiLock);
    AudioStartThreads();
    return 0;
}

int AudioDestory() {
    AudioState* s = &g_stAudio;
    // The threads stay; they find nothing to do.
    s->u32Running = 0;
    s->u32OutEnabled = 0;
    s->u32InEnabled = 0;
    pthread_mutex_lock(&s->hdmiLock);
    SetHdmiSourceLocked(-1, -1);
    pthread_mutex_unlock(&s->hdmiLock);

    int ret = 0;
    pthread_mutex_lock(&s->inLock);
    ret = MK_MPI_AENC_DestroyChn(s->s32AencChn);
    pthread_mutex_unlock(&s->inLock);
    if (ret != 0) APP_ERR(kSrc, "MK_MPI_AENC_DestroyChn error");
    // The binding goes with the encoder, so a later create binds the input of its own board.
    if (s->s32AencAiChn.load() >= 0) {
        Comm_AencUnBindAi(AudioAiDev(), s->s32AencAiChn.load(), s->s32AencChn);
        s->s32AencAiChn = -1;
    }
    for (int32_t c = 0; c < kAiChnCount; ++c) MK_MPI_AI_DisableChn(AudioAiDev(), c);
    ret = MK_MPI_AI_Disable(AudioAiDev());
    if (ret != 0) APP_ERR(kSrc, "MK_MPI_AI_Disable error");
    AudioInResetForTest();  // the input device must be set up again by the next create
    // Whatever feeds the outputs goes with them.
    Comm_AoUnBind(s->s32AoDev.load(), s->s32AoChn);
    Comm_AoUnBind(kHdmiAoDev, kHdmiAoChn);
    pthread_mutex_lock(&s->outLock);
    ret = MK_MPI_ADEC_DestroyChn(s->s32AdecChn);
    s->u32DecCreated = 0;
    AudioOutReassembly().Reset();
    pthread_mutex_unlock(&s->outLock);
    if (ret != 0) APP_ERR(kSrc, "MK_MPI_ADEC_DestroyChn error");
    ret = MK_MPI_AO_Disable(s->s32AoDev.load());
    if (ret != 0) APP_ERR(kSrc, "MK_MPI_AO_Disable error");
    // The HDMI output too, or a later create could not set its attribute again.
    MK_MPI_AO_DisableChn(kHdmiAoDev, kHdmiAoChn);
    if (MK_MPI_AO_Disable(kHdmiAoDev) != 0) APP_ERR(kSrc, "MK_MPI_AO_Disable error");
    // The lists outlive the path: the decode module and the sender thread still reach them, so they
    // are emptied, not freed.
    if (s->pInList.load() == nullptr || BufListClear(s->pInList.load()) != 0) {
        APP_ERR(kSrc, "destroy aichn list error");
        ret = -1;
    }
    if (s->pOutList.load() == nullptr || BufListClear(s->pOutList.load()) != 0) {
        APP_ERR(kSrc, "destroy aochn list error");
        ret = -1;
    }
    return ret;
}

int AudioSwitch(int32_t s32Mode, int32_t s32Chn) {
    AudioState* s = &g_stAudio;
    std::printf("\033[1;35m==> LINE(%d)----------channel[%d]---\033[0m\n", __LINE__, s32Chn);
    AudioSwitchHook(static_cast<uint32_t>(s32Mode), static_cast<uint32_t>(s32Chn));
    // A channel no record or input stands for changes nothing.
    int32_t s32AiChn = -1;
    if (s32Mode == 0) {
        s32AiChn = AudioGetAoDev(s32Chn);
        if (s32Chn < 0 || s32Chn >= MAX_ANALOG_VO_CHN || s32AiChn < 0 ||
            s32AiChn >= kAiChnCount) {
            APP_ERR(kSrc, "channel %d error", s32Chn);
            return -1;
        }
    } else if (s32Mode == 1 && (s32Chn < 0 || static_cast<uint32_t>(s32Chn) >= AVDEC_CHN_NUM)) {
        APP_ERR(kSrc, "channel %d error", s32Chn);
        return -1;
    }
    pthread_once(&g_hdmiCvOnce, InitHdmiCv);
    const int32_t d = s->s32AoDev.load();
    ClearAudioFlags();
    if (s->pOutList.load() != nullptr) BufListClear(s->pOutList.load());
    const bool bFeeds = SubTypeFeedsOutput(Comm_GetBoardSubType());
    if (bFeeds) Comm_AoUnBind(d, s->s32AoChn);
    Comm_AoUnBindAdec(d, s->s32AoChn, s->s32AdecChn);
    pthread_mutex_lock(&s->hdmiLock);
    Comm_AoUnBindAdec(kHdmiAoDev, kHdmiAoChn, s->s32AdecChn);
    pthread_mutex_unlock(&s->hdmiLock);

    int ret = 0;
    if (s32Mode == 0) {
        if (bFeeds && Comm_AoBindAi(d, s->s32AoChn, s32AiChn) != 0) {
            APP_ERR(kSrc, "bind adec  err:0x%x", 0xffffffffu);
        }
        pthread_mutex_lock(&s->hdmiLock);
        const MK_S32 fd = MK_MPI_AI_GetFd(AudioAiDev(), s32AiChn);
        SetHdmiSourceLocked(fd >= 0 ? fd : -1, fd >= 0 ? s32AiChn : -1);
        pthread_mutex_unlock(&s->hdmiLock);
        SplitSetChnAudio(s32Chn, 1);
    } else if (s32Mode == 1) {
        if (Comm_AoBindAdec(d, s->s32AoChn, s->s32AdecChn) != 0) {
            APP_ERR(kSrc, "bind adec  err:0x%x, aodev = %d, aochn = %d, adecchn = %d", 0xffffffffu, d, s->s32AoChn,
                    s->s32AdecChn);
        }
        pthread_mutex_lock(&s->hdmiLock);
        SetHdmiSourceLocked(-1, -1);
        MK_S32 r = MK_MPI_AO_EnableReSmp(kHdmiAoDev, kHdmiAoChn, AUDIO_SAMPLE_RATE_8000);
        if (r == 0) r = Comm_AoBindAdec(kHdmiAoDev, kHdmiAoChn, s->s32AdecChn);
        pthread_mutex_unlock(&s->hdmiLock);
        if (r != 0) {
            APP_ERR(kSrc, "MK_MPI_AO_EnableReSmp(%d,%d) failed with %#x!", kHdmiAoDev, kHdmiAoChn,
                    static_cast<unsigned>(r));
            ret = -1;
        } else {
            AVdecGetState()->SetRec(static_cast<uint32_t>(s32Chn), REC_AUDIO, 1);
        }
    } else {
        pthread_mutex_lock(&s->hdmiLock);
        SetHdmiSourceLocked(-1, -1);
        pthread_mutex_unlock(&s->hdmiLock);
    }
    s->s32SwitchMode = s32Mode;
    s->s32SwitchChn = s32Chn;
    return ret;
}

void AudioResetForTest() {
    AudioStopThreads();
    AudioState* s = &g_stAudio;
    AudioOutResetForTest();
    AudioInResetForTest();
    if (BufList* p = s->pInList.exchange(nullptr)) BufListDestory(p);
    if (BufList* p = s->pOutList.exchange(nullptr)) BufListDestory(p);
    s->u32InEnabled = 0;
    s->u32OutEnabled = 0;
    s->u32Running = 0;
    s->u32DecCreated = 0;
    s->s32AoDev = 0;
    s->s32AencAiChn = -1;
    s->s32SwitchMode = -1;
    s->s32SwitchChn = -1;
    pthread_mutex_lock(&s->inLock);
    s->stInFormat = AudioFormat{40, 8000, 16, AUDIO_PT_G711A};
    pthread_mutex_unlock(&s->inLock);
    pthread_mutex_lock(&s->outLock);
    s->stOutFormat = AudioFormat{40, 8000, 16, AUDIO_PT_G711A};
    s->u32DecType = AUDIO_PT_G711A;
    pthread_mutex_unlock(&s->outLock);
    pthread_mutex_lock(&s->hdmiLock);
    s->s32HdmiFd = -1;
    s->s32HdmiAiChn = -1;
    pthread_mutex_unlock(&s->hdmiLock);
}
