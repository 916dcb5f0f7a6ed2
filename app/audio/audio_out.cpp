// The output side: audio frames from the master (AudioOutPutBuf) and from playback (the decode module)
// wait in the output list; the sender thread hands their G.711 payload to the decoder in 160-byte
// frames, each behind its 4-byte voice frame header.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "app/audio/audio.h"
#include "app/audio/audio_internal.h"
#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "sdk/audio/adec/mpi_adec.h"

namespace {

constexpr const char* kSrc = "../audio/audio.c";

// Voice frame header of a 160-byte G.711 frame: frame type 1, 80 16-bit words.
constexpr uint8_t kVoiceHead[4] = {0x00, 0x01, 0x50, 0x00};
constexpr uint8_t kMagic[4] = {0x00, 0x00, 0x01, 0xF0};
constexpr uint32_t kMaxOutNodes = 60;
constexpr uint32_t kMaxOutBytes = 10080;
constexpr uint32_t kMaxPacketLen = 510;
constexpr auto kIdleWait = std::chrono::milliseconds(200);

AudioReassembly g_reasm;  // guarded by the output lock
std::atomic<AudioReassembly::SendFn> g_pfnSend{nullptr};

// Sleeps of the sender thread, cut short by a new node or a stop.
std::mutex g_wakeMutex;
std::condition_variable g_wakeCv;
bool g_bWoken = false;  // guarded by g_wakeMutex

std::atomic<bool> g_bQuit{false};

int SendToDecoder(const uint8_t* pu8Data, uint32_t u32Len) {
    AudioReassembly::SendFn pfn = g_pfnSend.load();
    if (pfn != nullptr) return pfn(pu8Data, u32Len);
    AUDIO_STREAM_S st{};
    st.pStream = const_cast<uint8_t*>(pu8Data);
    st.u32Len = u32Len;
    return MK_MPI_ADEC_SendStream(AudioGetState()->s32AdecChn, &st, 0);
}

void IdleWait() {
    std::unique_lock<std::mutex> lock(g_wakeMutex);
    g_wakeCv.wait_for(lock, kIdleWait, [] { return g_bWoken || g_bQuit.load(); });
    g_bWoken = false;
}

class OutLock {
public:
    OutLock() : m_r(pthread_mutex_lock(&AudioGetState()->outLock)) {
        if (m_r != 0) APP_ERR(kSrc, "lock failed %#x", static_cast<unsigned>(m_r));
    }
    ~OutLock() {
        if (m_r == 0) pthread_mutex_unlock(&AudioGetState()->outLock);
    }
    bool Held() const { return m_r == 0; }

private:
    int m_r;
};

bool AudioSwitchOn() {
    return SlaveGetSysCfg().stSlaveCfg.u8AudioSwitch != 0;
}

// Destroys and creates the decoder channel for payload type `u32Pt` in pack mode. Output lock held.
int RemakeDecoderLocked(uint32_t u32Pt) {
    AudioState* s = AudioGetState();
    const bool bAlaw = u32Pt == AUDIO_PT_G711A;
    MK_S32 r = MK_MPI_ADEC_DestroyChn(s->s32AdecChn);
    if (r != 0) {
        if (bAlaw) {
            APP_ERR(kSrc, "PT_G711A destory decChnID :%d err:0x%x", s->s32AdecChn, static_cast<unsigned>(r));
        } else {
            APP_ERR(kSrc, "PT_G711U destory decChnID :%d err:0x%x", s->s32AdecChn, static_cast<unsigned>(r));
        }
    }
    static AUDIO_ATTR_PLAIN_S s_stPlain{};
    ADEC_CHN_ATTR_S attr{u32Pt, 8, ADEC_MODE_PACK, &s_stPlain};
    r = MK_MPI_ADEC_CreateChn(s->s32AdecChn, &attr);
    if (r != 0) {
        if (bAlaw) {
            APP_ERR(kSrc, "PT_G711A create decChnID :%d err:0x%x", s->s32AdecChn, static_cast<unsigned>(r));
        } else {
            APP_ERR(kSrc, "PT_G711U create decChnID :%d err:0x%x", s->s32AdecChn, static_cast<unsigned>(r));
        }
        s->u32DecCreated = 0;
        return -1;
    }
    s->u32DecType = u32Pt;
    s->u32DecCreated = 1;
    return 0;
}

bool DecoderIs(uint32_t u32Pt) {
    AudioState* s = AudioGetState();
    return s->u32DecCreated.load() != 0 && s->u32DecType == u32Pt;
}

}  // namespace

bool AudioReassembly::Init(uint32_t u32Size) {
    if (m_pu8Buf != nullptr) {
        Reset();
        return true;
    }
    if (u32Size < kGap + 2 * AUDIO_PIECE_LEN) return false;
    m_pu8Buf.reset(new (std::nothrow) uint8_t[u32Size]());
    if (m_pu8Buf == nullptr) return false;
    m_u32Size = u32Size;
    Reset();
    return true;
}

void AudioReassembly::Reset() {
    m_u32Read = kGap;
    m_u32Write = kGap;
}

int AudioReassembly::Append(const uint8_t* pu8Src, uint32_t u32Len, SendFn pfnSend) {
    if (m_pu8Buf == nullptr) return -1;
    if (u32Len == 0) return 0;
    if (u32Len > m_u32Size - kGap - Pending()) {
        Reset();
        return -1;
    }
    if (u32Len > m_u32Size - m_u32Write) {
        // Move what is pending to the front so the new bytes follow it in one piece.
        const uint32_t u32Pending = Pending();
        std::memmove(m_pu8Buf.get() + kGap, m_pu8Buf.get() + m_u32Read, u32Pending);
        m_u32Read = kGap;
        m_u32Write = kGap + u32Pending;
    }
    std::memcpy(m_pu8Buf.get() + m_u32Write, pu8Src, u32Len);
    m_u32Write += u32Len;
    while (Pending() >= AUDIO_PIECE_LEN) {
        uint8_t* pFrame = m_pu8Buf.get() + m_u32Read - kGap;
        std::memcpy(pFrame, kVoiceHead, kGap);
        const int r = pfnSend(pFrame, AUDIO_SEND_LEN);
        if (r != 0) {
            Reset();
            return r;
        }
        m_u32Read += AUDIO_PIECE_LEN;
    }
    if (Pending() == 0) Reset();
    return 0;
}

AudioReassembly& AudioOutReassembly() {
    return g_reasm;
}

void AudioSetDecoderSendForTest(AudioReassembly::SendFn pfnSend) {
    g_pfnSend = pfnSend;
}

void AudioOutWake() {
    {
        std::lock_guard<std::mutex> lock(g_wakeMutex);
        g_bWoken = true;
    }
    g_wakeCv.notify_all();
}

int AudioOutPutBuf(const uint8_t* pu8Buf, int32_t s32Size) {
    if (!AudioSwitchOn()) return 0;
    // Less than a header has no payload to cut.
    if (pu8Buf == nullptr || s32Size < static_cast<int32_t>(AUDIO_HEAD_LEN) ||
        s32Size > static_cast<int32_t>(AUDIO_OUT_MAX_BUF)) {
        APP_ERR(kSrc, "src buf error %p size :%d", static_cast<const void*>(pu8Buf), s32Size);
        return -1;
    }
    if (std::memcmp(pu8Buf, kMagic, 4) != 0 || pu8Buf[5] != 2) {
        APP_ERR(kSrc, "src buf error %x %x %x %x %x %x", pu8Buf[0], pu8Buf[1], pu8Buf[2], pu8Buf[3], pu8Buf[4],
                pu8Buf[5]);
        return -1;
    }
    BufList* pList = AudioGetState()->pOutList.load();
    if (pList == nullptr) {
        APP_ERR(kSrc, "add buf to list error");
        return -1;
    }
    const uint32_t u32Payload = static_cast<uint32_t>(s32Size) - AUDIO_HEAD_LEN;
    uint8_t au8Piece[AUDIO_HEAD_LEN + AUDIO_PIECE_LEN];
    std::memcpy(au8Piece, kMagic, 4);
    au8Piece[4] = pu8Buf[4];
    au8Piece[5] = 2;
    au8Piece[6] = static_cast<uint8_t>(AUDIO_PIECE_LEN);
    au8Piece[7] = 0;
    int ret = 0;
    for (uint32_t off = 0; off + AUDIO_PIECE_LEN <= u32Payload; off += AUDIO_PIECE_LEN) {
        BufListInfoS info{};
        BufListInfo(pList, &info);
        if (info.u32Nodes > kMaxOutNodes || info.u32Bytes > kMaxOutBytes) {
            APP_ERR(kSrc, "AudioOutPutBuf node_num = %d, mem_size = %d", info.u32Nodes, info.u32Bytes);
            break;
        }
        std::memcpy(au8Piece + AUDIO_HEAD_LEN, pu8Buf + AUDIO_HEAD_LEN + off, AUDIO_PIECE_LEN);
        BufNode* pNode = BufListAlloc(sizeof(au8Piece), 0);
        if (pNode == nullptr || BufListCopy(pNode, au8Piece, sizeof(au8Piece)) != 0 ||
            BufListAdd2List(pList, pNode) != 0) {
            APP_ERR(kSrc, "add buf to list error");
            if (pNode != nullptr) BufListFree(pNode);
            ret = -1;
            break;
        }
    }
    AudioOutWake();
    return ret;
}

int AudioOutHandleNode(const uint8_t* pu8Data, uint32_t u32Used) {
    // A node shorter than its header has nothing to send.
    if (pu8Data == nullptr || u32Used < AUDIO_HEAD_LEN || std::memcmp(pu8Data, kMagic, 4) != 0) return -1;
    AudioState* s = AudioGetState();
    OutLock lock;
    if (!lock.Held()) return -1;
    switch (pu8Data[4]) {
        case AUDIO_CODEC_OUT_ALAW:
            if (!DecoderIs(AUDIO_PT_G711A)) RemakeDecoderLocked(AUDIO_PT_G711A);
            break;
        case AUDIO_CODEC_OUT_ULAW:
            if (!DecoderIs(AUDIO_PT_G711U)) RemakeDecoderLocked(AUDIO_PT_G711U);
            break;
        case AUDIO_CODEC_OTHER:
            s->stOutFormat.u32PayloadType = AUDIO_PT_NONE;
            break;
        default:  // 7 (none) and unknown codecs
            return -1;
    }
    uint32_t u32Len = static_cast<uint32_t>(pu8Data[6]) | (static_cast<uint32_t>(pu8Data[7]) << 8);
    if (u32Len > kMaxPacketLen) u32Len = kMaxPacketLen;
    // The length field may promise more than the node holds.
    if (u32Len > u32Used - AUDIO_HEAD_LEN) u32Len = u32Used - AUDIO_HEAD_LEN;
    if (u32Len == AUDIO_PIECE_LEN) {
        uint8_t au8Frame[AUDIO_SEND_LEN];
        std::memcpy(au8Frame, kVoiceHead, 4);
        std::memcpy(au8Frame + 4, pu8Data + AUDIO_HEAD_LEN, AUDIO_PIECE_LEN);
        const int r = SendToDecoder(au8Frame, AUDIO_SEND_LEN);
        if (r != 0) APP_ERR(kSrc, "MK_MPI_ADEC_SendStream error :%x", static_cast<unsigned>(r));
        return 0;
    }
    const int r = g_reasm.Append(pu8Data + AUDIO_HEAD_LEN, u32Len, SendToDecoder);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_ADEC_SendStream error :%x", static_cast<unsigned>(r));
    return 0;
}

void* AudioOutSendStream(void*) {
    AudioState* s = AudioGetState();
    while (!g_bQuit.load()) {
        if (s->u32Running.load() != 1) {
            IdleWait();
            continue;
        }
        BufNode* pNode = BufListGet(s->pOutList.load());
        if (pNode == nullptr) {
            {
                OutLock lock;
                g_reasm.Reset();
            }
            IdleWait();
            continue;
        }
        AudioOutHandleNode(pNode->pu8Aligned, pNode->u32Used);
        BufListFree(pNode);
    }
    return nullptr;
}

void AudioOutSetQuit(bool bQuit) {
    g_bQuit = bQuit;
    if (bQuit) AudioOutWake();
}

int AudioOutSetFormat(uint32_t u32Code) {
    AudioState* s = AudioGetState();
    OutLock lock;
    if (!lock.Held()) return -1;
    uint32_t u32Pt = AUDIO_PT_NONE;
    if (u32Code == AUDIO_FMT_G711A) {
        u32Pt = AUDIO_PT_G711A;
    } else if (u32Code == AUDIO_FMT_G711U) {
        u32Pt = AUDIO_PT_G711U;
    } else {
        s->stOutFormat.u32PayloadType = AUDIO_PT_NONE;
        return 0;
    }
    if (DecoderIs(u32Pt)) {
        s->stOutFormat.u32PayloadType = u32Pt;
        return 0;
    }
    if (RemakeDecoderLocked(u32Pt) != 0) return -1;
    s->stOutFormat.u32PayloadType = u32Pt;
    return 0;
}

void AudioOutResetForTest() {
    OutLock lock;
    g_reasm.Reset();
    g_pfnSend = nullptr;
    std::lock_guard<std::mutex> wlock(g_wakeMutex);
    g_bWoken = false;
}
