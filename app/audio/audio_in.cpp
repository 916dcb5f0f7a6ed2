// The input side: the audio input device feeds encoder channel 0 in the kernel; the master's reader
// takes each G.711 packet as an audio frame (AudioInGetBuffer).
#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "app/audio/audio.h"
#include "app/audio/audio_internal.h"
#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"

namespace {

constexpr const char* kSrc = "../audio/audio.c";
constexpr uint8_t kMagic[4] = {0x00, 0x00, 0x01, 0xF0};
constexpr uint32_t kAiChnCount = 16;
constexpr uint32_t kAiUserDepth = 5;
constexpr uint32_t kVoiceHeadLen = 4;  // the encoder's frame header in front of every packet

bool g_bAencOpened = false;  // guarded by g_openMutex
pthread_mutex_t g_openMutex = PTHREAD_MUTEX_INITIALIZER;

uint8_t InCodecByte(uint32_t u32Pt) {
    switch (u32Pt) {
        case AUDIO_PT_G711A:
            return AUDIO_CODEC_IN_ALAW;
        case AUDIO_PT_G711U:
            return AUDIO_CODEC_IN_ULAW;
        case AUDIO_PT_NONE:
            return AUDIO_CODEC_NONE;
        default:
            return AUDIO_CODEC_OTHER;
    }
}

class InLock {
public:
    InLock() : m_r(pthread_mutex_lock(&AudioGetState()->inLock)) {
        if (m_r != 0) APP_ERR(kSrc, "lock failed %#x", static_cast<unsigned>(m_r));
    }
    ~InLock() {
        if (m_r == 0) pthread_mutex_unlock(&AudioGetState()->inLock);
    }
    bool Held() const { return m_r == 0; }

private:
    int m_r;
};

}  // namespace

int32_t AudioAiDev() {
    return Comm_GetSysType() == 106 ? 0 : 1;
}

int AencOpen() {
    pthread_mutex_lock(&g_openMutex);
    if (g_bAencOpened) {
        pthread_mutex_unlock(&g_openMutex);
        return 0;
    }
    const MK_S32 dev = AudioAiDev();
    AIO_ATTR_S attr{};
    attr.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    attr.enBitwidth = AUDIO_BIT_WIDTH_16;
    attr.enSoundmode = AUDIO_SOUND_MODE_MONO;
    attr.u32FrameCount = 30;
    // The encoder channel takes 160-point frames and refuses longer ones.
    attr.u32PtNumPerFrm = AUDIO_PIECE_LEN;
    // Every board's table names input channels up to 15; a device without channels is refused.
    attr.u32ChnCount = kAiChnCount;
    int ret = 0;
    MK_S32 r = MK_MPI_AI_SetPubAttr(dev, &attr);
    if (r != 0) APP_ERR(kSrc, "set ai %d attr err:0x%x", dev, static_cast<unsigned>(r));
    if (r == 0) {
        r = MK_MPI_AI_Enable(dev);
        if (r != 0) APP_ERR(kSrc, "enable ai dev %d err:0x%x", dev, static_cast<unsigned>(r));
    }
    ret = r == 0 ? 0 : -1;
    for (MK_S32 chn = 0; ret == 0 && chn < static_cast<MK_S32>(kAiChnCount); ++chn) {
        r = MK_MPI_AI_EnableChn(dev, chn);
        if (r != 0) {
            APP_ERR(kSrc, "MK_MPI_AI_EnableChn dev %d chn %d err:0x%x", dev, chn, static_cast<unsigned>(r));
            ret = -1;
            break;
        }
        AI_CHN_PARAM_S param{};
        if (MK_MPI_AI_GetChnParam(dev, chn, &param) != 0) {
            APP_ERR(kSrc, "Get ai chn param failed");
            ret = -1;
            break;
        }
        param.u32UsrFrmDepth = kAiUserDepth;
        if (MK_MPI_AI_SetChnParam(dev, chn, &param) != 0) {
            APP_ERR(kSrc, "set ai chn param failed");
            ret = -1;
            break;
        }
    }
    g_bAencOpened = ret == 0;
    pthread_mutex_unlock(&g_openMutex);
    return ret;
}

int AudioInSetFormat(void*, const AudioFormat* pFormat) {
    if (pFormat == nullptr) {
        APP_ERR(kSrc, "pFormat:%p error", static_cast<const void*>(pFormat));
        return -1;
    }
    AudioState* s = AudioGetState();
    uint32_t u32Pt = AUDIO_PT_NONE;
    if (pFormat->u32PayloadType == AUDIO_FMT_G711A) {
        u32Pt = AUDIO_PT_G711A;
    } else if (pFormat->u32PayloadType == AUDIO_FMT_G711U) {
        u32Pt = AUDIO_PT_G711U;
    }
    InLock lock;
    if (!lock.Held()) return -1;
    if (u32Pt == AUDIO_PT_NONE || s->stInFormat.u32PayloadType == u32Pt) {
        s->stInFormat.u32PayloadType = u32Pt;
        return 0;
    }
    const bool bAlaw = u32Pt == AUDIO_PT_G711A;
    const uint32_t u32Enabled = s->u32InEnabled.exchange(0);
    MK_S32 r = MK_MPI_AENC_DestroyChn(s->s32AencChn);
    if (r != 0) {
        if (bAlaw) {
            APP_ERR(kSrc, "PT_G711A destory encChnID :%d err:0x%x", s->s32AencChn, static_cast<unsigned>(r));
        } else {
            APP_ERR(kSrc, "PT_G711U destory encChnID :%d err:0x%x", s->s32AencChn, static_cast<unsigned>(r));
        }
    }
    static AUDIO_ATTR_PLAIN_S s_stPlain{};
    AENC_CHN_ATTR_S attr{u32Pt, AUDIO_PIECE_LEN, 8, &s_stPlain};
    r = MK_MPI_AENC_CreateChn(s->s32AencChn, &attr);
    if (r != 0) {
        if (bAlaw) {
            APP_ERR(kSrc, "PT_G711A create encChnID :%d err:0x%x", s->s32AencChn, static_cast<unsigned>(r));
        } else {
            APP_ERR(kSrc, "PT_G711U create encChnID :%d err:0x%x", s->s32AencChn, static_cast<unsigned>(r));
        }
        // No encoder: the input stays paused and the stored type no longer names one.
        s->stInFormat.u32PayloadType = AUDIO_PT_NONE;
        return -1;
    }
    s->u32InEnabled = u32Enabled;
    s->stInFormat.u32PayloadType = u32Pt;
    return 0;
}

int AudioInGetBuffer(void*, uint8_t* pu8Buf, uint32_t* pu32Len, uint32_t u32Cap) {
    AudioState* s = AudioGetState();
    if (SlaveGetSysCfg().stSlaveCfg.u8AudioSwitch == 0 || s->u32InEnabled.load() == 0) {
        sleep(1);
        return -1;
    }
    if (pu8Buf == nullptr || pu32Len == nullptr || u32Cap < AUDIO_HEAD_LEN) return -1;
    InLock lock;
    if (!lock.Held()) return -1;
    AUDIO_STREAM_S st{};
    if (MK_MPI_AENC_GetStream(s->s32AencChn, &st, 0) != 0) return -1;
    int ret = 0;
    const uint32_t u32Pt = s->stInFormat.u32PayloadType;
    std::memcpy(pu8Buf, kMagic, 4);
    pu8Buf[4] = InCodecByte(u32Pt);
    pu8Buf[5] = 2;
    pu8Buf[6] = 0;
    pu8Buf[7] = 0;
    if (u32Pt == AUDIO_PT_NONE) {
        // Without a payload type the packet is not passed on; the frame is its header alone.
        *pu32Len = AUDIO_HEAD_LEN;
    } else if (st.u32Len < kVoiceHeadLen || st.pStream == nullptr ||
               st.u32Len - kVoiceHeadLen > u32Cap - AUDIO_HEAD_LEN || st.u32Len - kVoiceHeadLen > 0xFFFF) {
        APP_ERR(kSrc, "stream len %u does not fit %u", st.u32Len, u32Cap);
        ret = -1;
    } else {
        const uint32_t u32Payload = st.u32Len - kVoiceHeadLen;
        pu8Buf[6] = static_cast<uint8_t>(u32Payload);
        pu8Buf[7] = static_cast<uint8_t>(u32Payload >> 8);
        std::memcpy(pu8Buf + AUDIO_HEAD_LEN, st.pStream + kVoiceHeadLen, u32Payload);
        *pu32Len = st.u32Len + 4;
    }
    if (MK_MPI_AENC_ReleaseStream(s->s32AencChn, &st) != 0) APP_ERR(kSrc, "MK_MPI_AENC_ReleaseStream error");
    return ret;
}

void AudioInResetForTest() {
    pthread_mutex_lock(&g_openMutex);
    g_bAencOpened = false;
    pthread_mutex_unlock(&g_openMutex);
}
