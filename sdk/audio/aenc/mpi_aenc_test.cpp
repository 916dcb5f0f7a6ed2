#include "sdk/audio/aenc/mpi_aenc.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/aenc/aenc_driver.h"
#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/mem/ram.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/codecs/voice_codec.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/testing/threads.h"
#include "sdk/audio/vqe/upvqe.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/sys/mk_mmz.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

namespace {

namespace drivers = varnelle::drivers;
using varnelle::audiotest::WaitFor;
int Threads() {
    return varnelle::audiotest::ThreadCount({"aenc_get"});
}
using mk::audio::Fault;
using varnelle::mem::Ram;

constexpr MK_S32 kErrChn = static_cast<MK_S32>(0xA0178002);
constexpr MK_S32 kErrParam = static_cast<MK_S32>(0xA0178003);
constexpr MK_S32 kErrExist = static_cast<MK_S32>(0xA0178004);
constexpr MK_S32 kErrUnexist = static_cast<MK_S32>(0xA0178005);
constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0178006);
constexpr MK_S32 kErrNotSupport = static_cast<MK_S32>(0xA0178008);
constexpr MK_S32 kErrTooLong = static_cast<MK_S32>(0xA0178009);
constexpr MK_S32 kErrNoMem = static_cast<MK_S32>(0xA017800C);
constexpr MK_S32 kErrEmpty = static_cast<MK_S32>(0xA017800E);
constexpr MK_S32 kErrFull = static_cast<MK_S32>(0xA017800F);
constexpr MK_S32 kErrNotReady = static_cast<MK_S32>(0xA0178010);

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("aenc", [] {
        drivers::InstallAencDriver();
        drivers::InstallAiDriver();
        drivers::InstallVbDriver();
        drivers::InstallMemDriver();
        drivers::InstallSysDriver();
        drivers::InstallMmzDriver();
        Ram::Local();
    }));

std::shared_ptr<drivers::AencDriver> Drv() {
    return drivers::AencDriver::Get();
}

// The request numbers, written out by hand: 'A', number, direction and size (records with user
// addresses take the host's size).
TEST(AencRequestTest, RequestNumbersAreWrittenOutByHand) {
    static_assert(sizeof(void*) != 8 || sizeof(AENC_CHN_ATTR_S) == 24, "the host's attribute");
    static_assert(sizeof(void*) != 8 || sizeof(AENC_KERNEL_QUERY_S) == 32, "the host's question");
    static_assert(sizeof(void*) != 8 || sizeof(AUDIO_FRAME_S) == 56, "the host's frame");
    const struct {
        unsigned long got, want;
    } table[] = {
        {MK_AENC_IOC_CREATE_CHN, 0x40184100},     {MK_AENC_IOC_DESTROY_CHN, 0x4101},
        {MK_AENC_IOC_GET_FRAME, 0x80804102},      {MK_AENC_IOC_RELEASE_FRAME, 0x40804103},
        {MK_AENC_IOC_DBG_INFO, 0x40204104},       {MK_AENC_IOC_GET_STREAM, 0xC0284105},
        {MK_AENC_IOC_RELEASE_STREAM, 0x40204106}, {MK_AENC_IOC_SET_STREAM_BUF, 0x40104107},
        {MK_AENC_IOC_RELEASE_STREAM_BUF, 0x4108}, {MK_AENC_IOC_BIND, 0x40044109},
        {MK_AENC_IOC_KERNEL_ENCODE, 0x4038410A},  {MK_AENC_IOC_QUERY_KERNEL, 0xC020410B},
        {MK_AENC_IOC_UPDATE_WRTAIL, 0x4004410C},  {MK_AENC_IOC_NEW_PACKET, 0x410D},
        {MK_AENC_IOC_SET_DUMP, 0x4208410E},       {MK_AENC_IOC_GET_DUMP, 0x8208410F},
    };
    for (const auto& r : table) EXPECT_EQ(r.got, r.want) << std::hex << r.want;
}
std::shared_ptr<drivers::MmzDriver> Mmz() {
    return varnelle::dev::Registry::Get<drivers::MmzDriver>("/dev/mmz_userdev");
}

AUDIO_ATTR_PLAIN_S g_plain{};
AUDIO_ATTR_ADPCM_S g_ima{ADPCM_TYPE_IMA};

AENC_CHN_ATTR_S Attr(MK_U32 type, MK_U32 points, MK_U32 bufSize = 8, MK_VOID* value = &g_plain) {
    return AENC_CHN_ATTR_S{type, points, bufSize, value};
}

std::vector<int16_t> Speech(size_t n, uint32_t seed) {
    std::vector<int16_t> v(n);
    varnelle::voice::SpeechLike(v.data(), static_cast<int>(n), 0.8, seed);
    return v;
}

AUDIO_FRAME_S Frame(std::vector<int16_t>& pcm, MK_U64 ts = 0, std::vector<int16_t>* second = nullptr) {
    AUDIO_FRAME_S f{};
    f.enBitwidth = AUDIO_BIT_WIDTH_16;
    f.enSoundmode = second != nullptr ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO;
    f.pVirAddr[0] = pcm.data();
    f.pVirAddr[1] = second != nullptr ? second->data() : nullptr;
    f.u32Len = static_cast<MK_U32>(pcm.size() * 2);
    f.u64TimeStamp = ts;
    return f;
}

// What the voice engine makes of consecutive frames of one coder.
struct Coder {
    VOICE_CODEC_STATE_S s{};
    explicit Coder(int16_t id) { VOICE_CodecOpen(&s, id); }
    std::vector<MK_U8> Encode(const std::vector<int16_t>& pcm) {
        MK_U8 buf[VOICE_MAX_FRAME_BYTES];
        EXPECT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), buf, static_cast<int16_t>(pcm.size())), 0);
        return std::vector<MK_U8>(buf, buf + (buf[2] + 2) * 2);
    }
};

std::vector<MK_U8> Bytes(const AUDIO_STREAM_S& s) {
    return std::vector<MK_U8>(s.pStream, s.pStream + s.u32Len);
}

class AencTest : public ::testing::Test {
protected:
    void SetUp() override {
        mk::audio::ClearFaults();
        Drv()->ClearFaults();
        Mmz()->ClearFaults();
        drivers::ResetMediaState();
        ASSERT_EQ(MPI_AI_Init(), MK_SUCCESS);
        ASSERT_EQ(MPI_AENC_Init(), MK_SUCCESS);
        m_blocks = Mmz()->BlockCount();
        m_threads = Threads();
    }
    void TearDown() override {
        MPI_AENC_Exit();
        MPI_AI_Exit();
        EXPECT_EQ(Mmz()->BlockCount(), m_blocks) << "zone blocks left";
        EXPECT_TRUE(WaitFor([this] { return Threads() == m_threads; })) << "threads left";
        EXPECT_EQ(drivers::AiDriver::Get()->HeldBlocks(), 0u);
        drivers::ResetMediaState();
        MK_MPI_VB_Exit();
        mk::audio::ClearFaults();
    }

    // An input channel feeding encoder channel `aenc` in the kernel.
    void BindInput(MK_S32 dev, MK_S32 chn, MK_S32 aenc, MK_U32 rate = 8000, MK_U32 points = 320) {
        AIO_ATTR_S a{};
        a.enSampleRate = static_cast<AUDIO_SAMPLE_RATE_E>(rate);
        a.enBitwidth = AUDIO_BIT_WIDTH_16;
        a.u32PtNumPerFrm = points;
        a.u32ChnCount = 4;
        ASSERT_EQ(MK_MPI_AI_SetPubAttr(dev, &a), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_Enable(dev), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_EnableChn(dev, chn), MK_SUCCESS);
        MPP_CHN_S src{MK_ID_AI, dev, chn}, dst{MK_ID_AENC, 0, aenc};
        ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
    }

    // Processing on at input channel `dev`:`chn`: the high-pass filter, with echo cancelling if asked.
    void Process(MK_S32 dev, MK_S32 chn, bool aec = false) {
        AI_VQE_CONFIG_S v{};
        v.bHpfOpen = 1;
        v.bAecOpen = aec ? 1 : 0;
        v.s32WorkSampleRate = 8000;
        v.s32FrameSample = 80;
        v.stHpfCfg = {1, 150};
        ASSERT_EQ(MK_MPI_AI_SetVqeAttr(dev, chn, 0, 0, &v), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_EnableVqe(dev, chn), MK_SUCCESS);
    }

    size_t m_blocks = 0;
    int m_threads = 0;
};

// The engine an input channel with Process(..., false) builds, run beside it: what one pass of the
// samples through the channel's instance gives.
struct OnePass {
    MK_VOID* h = nullptr;
    MK_U32 outRate;
    explicit OnePass(MK_U32 out) : outRate(out) {
        UPVQE_CONFIG_S c{};
        c.bHpfOpen = 1;
        c.s32InSampleRate = c.s32WorkSampleRate = 8000;
        c.s32OutSampleRate = static_cast<MK_S32>(out);
        c.s32FrameSample = 80;
        c.s32ChnNum = c.s32OutChnNum = c.s32Mode = 1;
        c.stHpfCfg = {1, 150};
        EXPECT_EQ(MK_UPVQE_Create(&h, &c), MK_SUCCESS);
    }
    ~OnePass() { MK_UPVQE_Destroy(h); }
    void Run(std::vector<int16_t> in, std::vector<int16_t>* out) {
        UPVQE_FRAME_S w{static_cast<MK_U32>(in.size()), in.data(), nullptr};
        ASSERT_EQ(MK_UPVQE_WriteFrame(h, &w), MK_SUCCESS);
        std::vector<int16_t> o(in.size() * outRate / 8000);
        UPVQE_FRAME_S r{static_cast<MK_U32>(o.size()), o.data(), nullptr};
        const MK_S32 n = MK_UPVQE_ReadFrame(h, &r, 1);
        ASSERT_GT(n, 0);
        out->insert(out->end(), o.begin(), o.begin() + n);
    }
};

void Append(const AUDIO_STREAM_S& s, std::vector<int16_t>* out) {
    const auto* p = reinterpret_cast<const int16_t*>(s.pStream);
    out->insert(out->end(), p, p + s.u32Len / 2);
}

TEST_F(AencTest, AttributesAreChecked) {
    struct Case {
        AENC_CHN_ATTR_S attr;
        MK_S32 want;
    } const cases[] = {
        {Attr(PT_G711A, 320, 8, nullptr), kErrNull},
        {Attr(1004, 320), kErrParam},
        {Attr(PT_G711A, 320, 1), kErrParam},
        {Attr(PT_G711A, 320, 301), kErrParam},
        {Attr(PT_G711A, 400), kErrParam},
        {Attr(PT_G711U, 500), kErrParam},
        {Attr(PT_ADPCMA, 480, 8, &g_ima), kErrParam},
        {Attr(PT_LPCM, 2049), kErrParam},
        {Attr(22, 320), kErrParam},  // not registered
        {Attr(PT_G711A, 480, 2), MK_SUCCESS},
        {Attr(PT_G711U, 80, 300), MK_SUCCESS},
        {Attr(PT_ADPCMA, 481, 8, &g_ima), MK_SUCCESS},
        {Attr(PT_LPCM, 2048), MK_SUCCESS},
    };
    MK_S32 chn = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(MK_MPI_AENC_CreateChn(chn, &c.attr), c.want) << "case " << chn;
        EXPECT_EQ(Drv()->Channel(chn).created, c.want == MK_SUCCESS);
        ++chn;
    }
    EXPECT_EQ(MK_MPI_AENC_CreateChn(9, &cases[9].attr), kErrExist);
    EXPECT_EQ(MK_MPI_AENC_CreateChn(49, &cases[9].attr), kErrChn);
    EXPECT_EQ(MK_MPI_AENC_CreateChn(0, nullptr), kErrNull);
    EXPECT_EQ(MK_MPI_AENC_DestroyChn(49), kErrChn);
    EXPECT_EQ(MK_MPI_AENC_DestroyChn(0), MK_SUCCESS) << "a channel that does not exist";
}

// Slot lengths and the ring header, written from the buffer's layout: 208 bytes of header, then slots.
TEST_F(AencTest, TheStreamBufferIsLaidOutForTheDriver) {
    struct Case {
        AENC_CHN_ATTR_S attr;
        MK_U32 slot;
    } const cases[] = {{Attr(PT_G711A, 320, 10), 1024},
                       {Attr(PT_ADPCMA, 161, 4, &g_ima), 512},
                       {Attr(PT_LPCM, 1024, 3), 8256},
                       {Attr(PT_G726, 160, 300, &g_plain), 1024}};
    for (const Case& c : cases) {
        ASSERT_EQ(MK_MPI_AENC_CreateChn(5, &c.attr), MK_SUCCESS);
        const drivers::AencChnView v = Drv()->Channel(5);
        ASSERT_TRUE(v.hasBuffer);
        EXPECT_EQ(v.buffer.u32CbPackLen, c.slot);
        EXPECT_EQ(v.buffer.u32DataLen, c.slot * c.attr.u32BufSize);
        EXPECT_EQ(v.buffer.u32HeadLen, 208u);
        MK_U32 head[52];
        ASSERT_TRUE(Ram::Local().Read(v.buffer.u32PhyAddr, head, sizeof(head)));
        const MK_U32 want[8] = {v.buffer.u32PhyAddr + 208,  0x20,  0x40, 0x80, 0xC0, 208,
                                c.slot * c.attr.u32BufSize, c.slot};
        for (int w = 0; w < 8; ++w) EXPECT_EQ(head[w], want[w]) << "word " << w;
        for (MK_U32 at : {0x20u, 0x40u, 0x80u, 0xC0u}) EXPECT_EQ(head[at / 4], 0u);
        ASSERT_EQ(MK_MPI_AENC_DestroyChn(5), MK_SUCCESS);
        EXPECT_FALSE(Drv()->Channel(5).hasBuffer);
    }
}

TEST_F(AencTest, PacketsCarryTheEncodedFrameWithItsStampAndSequence) {
    const AENC_CHN_ATTR_S a = Attr(PT_G711A, 320, 8);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(1, &a), MK_SUCCESS);
    Coder ref(VOICE_CODEC_G711A);
    for (MK_U32 i = 0; i < 12; ++i) {
        std::vector<int16_t> pcm = Speech(320, i);
        AUDIO_FRAME_S f = Frame(pcm, 1000 * i);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(1, &f, nullptr), MK_SUCCESS);
        AUDIO_STREAM_S s{};
        ASSERT_EQ(MK_MPI_AENC_GetStream(1, &s, 0), MK_SUCCESS);
        EXPECT_EQ(Bytes(s), ref.Encode(pcm));
        EXPECT_EQ(s.u32Len, 324u);
        EXPECT_EQ(s.u64TimeStamp, 1000u * i);
        EXPECT_EQ(s.u32Seq, i);
        MK_U8 bytes[324];
        ASSERT_TRUE(Ram::Local().Read(s.u32PhyAddr, bytes, sizeof(bytes)));
        EXPECT_EQ(std::memcmp(bytes, s.pStream, sizeof(bytes)), 0) << "the address is the packet's";
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(1, &s), MK_SUCCESS);
    }
    const drivers::AencChnView v = Drv()->Channel(1);
    EXPECT_EQ(v.dbg.u32RecvFrames, 12u);
    EXPECT_EQ(v.dbg.u32SendPackets, 12u);
    EXPECT_EQ(v.dbg.u32G726Bps, 8u);
    EXPECT_EQ(v.dbg.u32AdpcmType, 3u);
    AUDIO_STREAM_S s{};
    EXPECT_EQ(MK_MPI_AENC_GetStream(1, &s, 0), kErrEmpty);
    EXPECT_EQ(MK_MPI_AENC_GetStream(1, &s, -2), kErrParam);
}

// A stream buffer of n slots over thousands of frames: n - 1 packets wait at most, the next frame is
// counted as a full buffer, packets come back only oldest first, and sequences have no gaps.
class AencRingSizeTest : public AencTest, public ::testing::WithParamInterface<MK_U32> {};

TEST_P(AencRingSizeTest, AtMostOneSlotLessThanTheBuffer) {
    const MK_U32 n = GetParam();
    const AENC_CHN_ATTR_S a = Attr(PT_G711U, 80, n);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(2, &a), MK_SUCCESS);
    std::vector<AUDIO_STREAM_S> out;
    MK_U32 nextSeq = 0, full = 0, sent = 0;
    std::vector<int16_t> pcm = Speech(80, 3);
    for (int i = 0; i < 2000; ++i) {
        AUDIO_FRAME_S f = Frame(pcm, 10 + i);
        const MK_S32 ret = MK_MPI_AENC_SendFrame(2, &f, nullptr);
        if (out.size() == n - 1) {
            ASSERT_EQ(ret, kErrFull) << i;
            ++full;
        } else {
            ASSERT_EQ(ret, MK_SUCCESS) << i;
            ++sent;
            AUDIO_STREAM_S s{};
            ASSERT_EQ(MK_MPI_AENC_GetStream(2, &s, 0), MK_SUCCESS);
            EXPECT_EQ(s.u32Seq, nextSeq++);
            EXPECT_EQ(s.u64TimeStamp, static_cast<MK_U64>(10 + i));
            out.push_back(s);
        }
        // Every ninth frame gives back what waits; a packet out of turn is refused first.
        if (i % 9 == 8) {
            if (out.size() >= 2) {
                EXPECT_EQ(MK_MPI_AENC_ReleaseStream(2, &out[1]), kErrParam);
            }
            for (const AUDIO_STREAM_S& s : out) ASSERT_EQ(MK_MPI_AENC_ReleaseStream(2, &s), MK_SUCCESS);
            out.clear();
        }
    }
    const drivers::AencChnView v = Drv()->Channel(2);
    EXPECT_EQ(v.dbg.u32BufFull, full);
    EXPECT_EQ(v.dbg.u32SendPackets, sent);
    EXPECT_GT(full, 0u);
    for (const AUDIO_STREAM_S& s : out) ASSERT_EQ(MK_MPI_AENC_ReleaseStream(2, &s), MK_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AencRingSizeTest, ::testing::Values(2u, 3u, 4u, 5u, 6u, 7u, 8u));

TEST_F(AencTest, ShortFramesAreGatheredIntoChannelFrames) {
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 320, 16);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(3, &a), MK_SUCCESS);
    std::vector<int16_t> all = Speech(160 * 7, 9);
    std::vector<int16_t> got;
    for (int i = 0; i < 7; ++i) {
        std::vector<int16_t> part(all.begin() + 160 * i, all.begin() + 160 * (i + 1));
        AUDIO_FRAME_S f = Frame(part, i);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(3, &f, nullptr), MK_SUCCESS);
        AUDIO_STREAM_S s{};
        const MK_S32 ret = MK_MPI_AENC_GetStream(3, &s, 0);
        if (i % 2 == 0) {
            EXPECT_EQ(ret, kErrEmpty) << "half a frame gives no packet";
            continue;
        }
        ASSERT_EQ(ret, MK_SUCCESS);
        EXPECT_EQ(s.u32Len, 640u);
        const auto* p = reinterpret_cast<const int16_t*>(s.pStream);
        got.insert(got.end(), p, p + 320);
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(3, &s), MK_SUCCESS);
    }
    EXPECT_EQ(got, std::vector<int16_t>(all.begin(), all.begin() + 960));
}

TEST_F(AencTest, GatheredFramesWrapTheRingsAndComeOutInOrder) {
    // 240-point frames into a 320-point channel, long enough to go round the 16384-byte rings often.
    const AENC_CHN_ATTR_S a = Attr(PT_G711A, 320, 16);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(3, &a), MK_SUCCESS);
    const int frames = 400;  // 96000 samples
    std::vector<int16_t> left = Speech(240 * frames, 12), right = Speech(240 * frames, 13);
    Coder ref(VOICE_CODEC_G711A);
    size_t packets = 0;
    for (int i = 0; i < frames; ++i) {
        std::vector<int16_t> l(left.begin() + 240 * i, left.begin() + 240 * (i + 1));
        std::vector<int16_t> r(right.begin() + 240 * i, right.begin() + 240 * (i + 1));
        AUDIO_FRAME_S f = Frame(l, i, &r);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(3, &f, nullptr), MK_SUCCESS) << i;
        AUDIO_STREAM_S s{};
        while (MK_MPI_AENC_GetStream(3, &s, 0) == MK_SUCCESS) {
            std::vector<int16_t> want(left.begin() + 320 * packets, left.begin() + 320 * (packets + 1));
            EXPECT_EQ(Bytes(s), ref.Encode(want)) << "packet " << packets;
            ++packets;
            ASSERT_EQ(MK_MPI_AENC_ReleaseStream(3, &s), MK_SUCCESS);
        }
    }
    EXPECT_EQ(packets, static_cast<size_t>(240 * frames / 320));
}

TEST_F(AencTest, LongFramesOfAResamplingInputGoOutWhole) {
    // The bound input resamples, so longer frames are let in; stereo frames skip the processing.
    BindInput(0, 0, 4, 8000, 160);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 0, 16000), MK_SUCCESS);
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 160, 8);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(4, &a), MK_SUCCESS);
    std::vector<int16_t> left = Speech(320 * 50, 4), right = Speech(320 * 50, 5);
    std::vector<int16_t> got;
    for (int i = 0; i < 50; ++i) {
        std::vector<int16_t> l(left.begin() + 320 * i, left.begin() + 320 * (i + 1));
        std::vector<int16_t> r(right.begin() + 320 * i, right.begin() + 320 * (i + 1));
        AUDIO_FRAME_S f = Frame(l, i, &r);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(4, &f, nullptr), MK_SUCCESS) << "frame " << i;
        for (int k = 0; k < 2; ++k) {
            AUDIO_STREAM_S s{};
            ASSERT_EQ(MK_MPI_AENC_GetStream(4, &s, 0), MK_SUCCESS) << "frame " << i << " packet " << k;
            const auto* p = reinterpret_cast<const int16_t*>(s.pStream);
            got.insert(got.end(), p, p + s.u32Len / 2);
            ASSERT_EQ(MK_MPI_AENC_ReleaseStream(4, &s), MK_SUCCESS);
        }
    }
    EXPECT_EQ(got, left);
    MPP_CHN_S dst{MK_ID_AENC, 0, 4};
    MK_MPI_SYS_UnBind(nullptr, &dst);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
}

TEST_F(AencTest, FramesAreChecked) {
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 2048, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(6, &a), MK_SUCCESS);
    std::vector<int16_t> big = Speech(2049, 1), ok = Speech(2048, 1), half = Speech(160, 1);
    AUDIO_FRAME_S f = Frame(big);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, &f, nullptr), kErrParam) << "4098 bytes";
    f = Frame(ok);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, &f, nullptr), MK_SUCCESS) << "4096 bytes";
    f = Frame(half, 0, &half);
    f.pVirAddr[1] = nullptr;
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, &f, nullptr), kErrParam) << "stereo without its second channel";
    f = Frame(half);
    f.enBitwidth = AUDIO_BIT_WIDTH_8;
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, &f, nullptr), kErrParam);
    f = Frame(half);
    f.u32Len = 0;
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, &f, nullptr), kErrParam);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(6, nullptr, nullptr), kErrNull);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(7, &f, nullptr), kErrUnexist);
    EXPECT_EQ(Drv()->Channel(6).dbg.u32Failures, 4u);
    const AENC_CHN_ATTR_S small = Attr(PT_G711A, 160, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(7, &small), MK_SUCCESS);
    std::vector<int16_t> longer = Speech(320, 2);
    f = Frame(longer);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(7, &f, nullptr), kErrTooLong);
}

TEST_F(AencTest, AKernelEncodedChannelHandsFramesToTheDriver) {
    Drv()->SetKernelEncode(PT_G711U, true);
    const AENC_CHN_ATTR_S a = Attr(PT_G711U, 480, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(8, &a), MK_SUCCESS);
    EXPECT_TRUE(Drv()->Channel(8).kernelEncode);
    std::vector<int16_t> p400 = Speech(400, 1), p480 = Speech(480, 1);
    AUDIO_FRAME_S f = Frame(p400);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(8, &f, nullptr), kErrNotSupport);
    f = Frame(p480);
    EXPECT_EQ(MK_MPI_AENC_SendFrame(8, &f, nullptr), MK_SUCCESS);
    EXPECT_EQ(Drv()->Channel(8).kernelFrames, 1u);
    EXPECT_EQ(Drv()->Channel(8).published, 0u);
    Drv()->SetKernelEncode(PT_G711U, false);
}

// Every step of creation failed in turn gives back what the steps before took.
struct StepCase {
    const char* step;
    std::function<void()> arm;
    MK_S32 want;
};

TEST_F(AencTest, EveryCreationStepFailedInTurnLeavesNothing) {
    const StepCase cases[] = {
        {"driver refuses the type", [] { Drv()->FailRequest(MK_AENC_IOC_QUERY_KERNEL, -1); }, kErrParam},
        {"encoder context", [] { mk::audio::ArmFault(Fault::kAdpAlloc); }, kErrNoMem},
        {"stream buffer", [] { Mmz()->FailRequest(MK_MMZ_IOC_ALLOC, -1); }, kErrNoMem},
        {"kernel buffer",
         [] { Drv()->FailRequest(MK_AENC_IOC_SET_STREAM_BUF, static_cast<int>(0xA0178055)); },
         static_cast<MK_S32>(0xA0178055)},
        {"sample rings", [] { Mmz()->FailRequest(MK_MMZ_IOC_ALLOC, -1, 1, EIO, 1); }, kErrNoMem},
        {"driver channel", [] { Drv()->FailRequest(MK_AENC_IOC_CREATE_CHN, static_cast<int>(0xA0178066)); },
         static_cast<MK_S32>(0xA0178066)},
        {"work buffers", [] { mk::audio::ArmFault(Fault::kAencWorkBuf, 1, 1); }, kErrNoMem},
        {"worker", [] { mk::audio::ArmFault(Fault::kAencThread); }, kErrNotReady},
    };
    const AENC_CHN_ATTR_S a = Attr(PT_G711A, 320, 6);
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.step);
        c.arm();
        EXPECT_EQ(MK_MPI_AENC_CreateChn(10, &a), c.want);
        EXPECT_EQ(Mmz()->BlockCount(), m_blocks);
        EXPECT_EQ(Drv()->CreatedChannels(), 0);
        EXPECT_FALSE(Drv()->Channel(10).hasBuffer);
        EXPECT_TRUE(WaitFor([this] { return Threads() == m_threads; }));
        std::vector<int16_t> pcm = Speech(320, 1);
        AUDIO_FRAME_S f = Frame(pcm);
        EXPECT_EQ(MK_MPI_AENC_SendFrame(10, &f, nullptr), kErrUnexist);
        ASSERT_EQ(MK_MPI_AENC_CreateChn(10, &a), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(10, &f, nullptr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AENC_DestroyChn(10), MK_SUCCESS);
    }
}

TEST_F(AencTest, TheWorkerEncodesTheBoundInputsFrames) {
    BindInput(1, 2, 11);
    const AENC_CHN_ATTR_S a = Attr(PT_G711U, 320, 16);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(11, &a), MK_SUCCESS);
    const int fd = MK_MPI_AENC_GetFd(11);
    ASSERT_GE(fd, 3);
    Coder ref(VOICE_CODEC_G711U);
    for (MK_U32 i = 0; i < 10; ++i) {
        drivers::AiInjectFrame inj;
        std::vector<int16_t> pcm = Speech(320, 20 + i);
        inj.track0.resize(640);
        std::memcpy(inj.track0.data(), pcm.data(), 640);
        inj.timeStamp = 5000 + i;
        ASSERT_EQ(drivers::AiDriver::Get()->Inject(1, 2, inj), 0);
        ASSERT_TRUE(WaitFor([fd] {
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        })) << "readable once the packet waits";
        AUDIO_STREAM_S s{};
        ASSERT_EQ(MK_MPI_AENC_GetStream(11, &s, 0), MK_SUCCESS);
        EXPECT_EQ(Bytes(s), ref.Encode(pcm)) << i;
        EXPECT_EQ(s.u64TimeStamp, 5000u + i);
        EXPECT_EQ(s.u32Seq, i);
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 0), 0) << "nothing else waits";
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(11, &s), MK_SUCCESS);
    }
    ASSERT_TRUE(WaitFor([] { return drivers::AiDriver::Get()->HeldBlocks() == 0; }));
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(11), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(1, 2), MK_SUCCESS);
}

TEST_F(AencTest, DestroyInTheMiddleOfAFlowingInputLeavesNothingHeld) {
    AIO_ATTR_S ai{};
    ai.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    ai.enBitwidth = AUDIO_BIT_WIDTH_16;
    ai.u32PtNumPerFrm = 80;
    ai.u32ChnCount = 2;
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(2, &ai), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(2), MK_SUCCESS);
    drivers::AiDriver::Get()->SetSource(2, 1, drivers::AiSource::kSpeech, 0, 0.7);
    ASSERT_EQ(MK_MPI_AI_EnableChn(2, 1), MK_SUCCESS);
    MPP_CHN_S src{MK_ID_AI, 2, 1}, dst{MK_ID_AENC, 0, 12};
    ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
    const AENC_CHN_ATTR_S a = Attr(PT_G711A, 80, 300);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(MK_MPI_AENC_CreateChn(12, &a), MK_SUCCESS);
        ASSERT_TRUE(WaitFor([] { return Drv()->Channel(12).published >= 3; }));
        std::atomic<MK_S32> got{1};
        std::thread getter([&] {
            AUDIO_STREAM_S s{};
            while ((got = MK_MPI_AENC_GetStream(12, &s, -1)) == MK_SUCCESS) MK_MPI_AENC_ReleaseStream(12, &s);
        });
        ASSERT_EQ(MK_MPI_AENC_DestroyChn(12), MK_SUCCESS);
        getter.join();
        EXPECT_NE(got.load(), MK_SUCCESS) << "the waiting getter was woken";
        EXPECT_EQ(drivers::AiDriver::Get()->Channel(2, 1).boundHeld, 0u);
    }
    ASSERT_EQ(MK_MPI_SYS_UnBind(&src, &dst), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(2, 1), MK_SUCCESS);
}

TEST_F(AencTest, APacketAddressOutsideTheBufferIsRefused) {
    const AENC_CHN_ATTR_S a = Attr(PT_G711A, 160, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(13, &a), MK_SUCCESS);
    std::vector<int16_t> pcm = Speech(160, 1);
    for (int32_t shift : {-8, 4096 * 4, 2}) {
        AUDIO_FRAME_S f = Frame(pcm);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(13, &f, nullptr), MK_SUCCESS);
        Drv()->ShiftNextPacket(13, shift);
        AUDIO_STREAM_S s{};
        EXPECT_EQ(MK_MPI_AENC_GetStream(13, &s, 0), kErrParam) << shift;
        EXPECT_EQ(s.pStream, nullptr);
    }
}

// The bound input's voice-quality instance runs over the worker's frames, resampling included.
TEST_F(AencTest, FramesGoThroughTheBoundInputsInstance) {
    BindInput(0, 1, 14, 8000, 160);
    AI_VQE_CONFIG_S v{};
    v.bHpfOpen = 1;
    v.s32WorkSampleRate = 8000;
    v.s32FrameSample = 80;
    v.stHpfCfg = {1, 150};
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 1, 0, 0, &v), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 1, 16000), MK_SUCCESS);
    const MK_S32 pool = g_astVqeState[0][1].s32ResmpPoolId;
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 320, 16);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(14, &a), MK_SUCCESS);
    // The same engine, built alongside as the input builds its own.
    UPVQE_CONFIG_S c{};
    c.bHpfOpen = 1;
    c.s32InSampleRate = 8000;
    c.s32WorkSampleRate = 8000;
    c.s32OutSampleRate = 16000;
    c.s32FrameSample = 80;
    c.s32ChnNum = c.s32OutChnNum = c.s32Mode = 1;
    c.stHpfCfg = {1, 150};
    MK_VOID* ref = nullptr;
    ASSERT_EQ(MK_UPVQE_Create(&ref, &c), MK_SUCCESS);
    for (int i = 0; i < 8; ++i) {
        std::vector<int16_t> pcm = Speech(160, 30 + i);
        drivers::AiInjectFrame inj;
        inj.track0.resize(320);
        std::memcpy(inj.track0.data(), pcm.data(), 320);
        ASSERT_EQ(drivers::AiDriver::Get()->Inject(0, 1, inj), 0);
        AUDIO_STREAM_S s{};
        ASSERT_EQ(MK_MPI_AENC_GetStream(14, &s, -1), MK_SUCCESS);
        UPVQE_FRAME_S w{160, pcm.data(), nullptr};
        ASSERT_EQ(MK_UPVQE_WriteFrame(ref, &w), MK_SUCCESS);
        std::vector<int16_t> want(320);
        UPVQE_FRAME_S r{320, want.data(), nullptr};
        const MK_S32 n = MK_UPVQE_ReadFrame(ref, &r, 1);
        ASSERT_GT(n, 0);
        want.resize(n);
        const auto* p = reinterpret_cast<const int16_t*>(s.pStream);
        EXPECT_EQ(std::vector<int16_t>(p, p + s.u32Len / 2), want) << "frame " << i;
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(14, &s), MK_SUCCESS);
    }
    MK_UPVQE_Destroy(ref);
    ASSERT_TRUE(WaitFor([pool] { return drivers::VbPools::Instance().Pool(pool)->freeBlocks == 10; }))
        << "every resample block went back";
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(14), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS);
}

// An encoder taking blocks of its bound input's resampling pool while resampling goes on and off and
// the input goes down and up: a switch-off the encoder's block refuses leaves nothing stuck, and the
// input goes down once the encoder stops.
TEST_F(AencTest, ResamplingSwitchesRacingAnEncodersBlocksLeaveTheInputFreeToGoDown) {
    Drv()->SetKernelEncode(PT_G711U, true);
    BindInput(0, 3, 19, 8000, 80);
    const AENC_CHN_ATTR_S a = Attr(PT_G711U, 160, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(19, &a), MK_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0}, sent{0};
    std::thread encoder([&] {
        std::vector<int16_t> pcm = Speech(80, 1);
        const AUDIO_FRAME_S f = Frame(pcm);
        for (; !stop; ++sent) MK_MPI_AENC_SendFrame(19, &f, nullptr);
    });
    std::thread downUp([&] {
        while (!stop) {
            if (MK_MPI_AI_DisableChn(0, 3) != MK_SUCCESS) ++refused;
            MK_MPI_AI_EnableChn(0, 3);
        }
    });
    for (int i = 0; i < 200; ++i) {
        MK_MPI_AI_EnableReSmp(0, 3, 16000);
        const int before = sent;
        ASSERT_TRUE(WaitFor([&] { return sent > before + 1; })) << "the encoder sends while it goes off";
        if (MK_MPI_AI_DisableReSmp(0, 3) != MK_SUCCESS) ++refused;
    }
    stop = true;
    encoder.join();
    downUp.join();
    EXPECT_EQ(MK_MPI_AI_DisableChn(0, 3), MK_SUCCESS) << refused << " switch-offs refused on the way";
    EXPECT_FALSE(drivers::AiDriver::Get()->Channel(0, 3).enabled);
    {
        std::lock_guard<std::mutex> lock(g_astVqeState[0][3].mutex);
        EXPECT_EQ(g_astVqeState[0][3].s32ResmpPoolId, -1);
    }
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(19), MK_SUCCESS);
    Drv()->SetKernelEncode(PT_G711U, false);
}

// The echo reference that comes with a frame while the bound input cancels echo: used only when
// present, valid, marked and at most 119,999 us ahead of its frame, and refused when it cannot cover
// the frame. A used reference shows as a packet the processing changed; an unused one as the frame.
TEST_F(AencTest, EchoReferencesAreUsedOnlyWhenValidTimelyAndWholeAndRefusedWhenShort) {
    BindInput(0, 2, 18, 8000, 160);
    Process(0, 2, true);
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 160, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(18, &a), MK_SUCCESS);
    enum Want { kRaw, kProcessed, kRefused };
    struct Case {
        const char* what;
        bool given;
        MK_U32 valid, marked;
        MK_S64 leadUs;
        MK_U32 len;
        AUDIO_BIT_WIDTH_E width;
        Want want;
    } const cases[] = {
        {"none", false, 1, 1, 0, 320, AUDIO_BIT_WIDTH_16, kRaw},
        {"not valid", true, 0, 1, 0, 320, AUDIO_BIT_WIDTH_16, kRaw},
        {"not marked", true, 1, 0, 0, 320, AUDIO_BIT_WIDTH_16, kRaw},
        {"119999 us ahead", true, 1, 1, 119999, 320, AUDIO_BIT_WIDTH_16, kProcessed},
        {"120000 us ahead", true, 1, 1, 120000, 320, AUDIO_BIT_WIDTH_16, kRaw},
        {"behind its frame", true, 1, 1, -1, 320, AUDIO_BIT_WIDTH_16, kRaw},
        {"as long as the frame", true, 1, 1, 0, 320, AUDIO_BIT_WIDTH_16, kProcessed},
        {"longer", true, 1, 1, 0, 400, AUDIO_BIT_WIDTH_16, kProcessed},
        {"two samples", true, 1, 1, 0, 4, AUDIO_BIT_WIDTH_16, kRefused},
        {"a sample short", true, 1, 1, 0, 318, AUDIO_BIT_WIDTH_16, kRefused},
        {"part of a sample", true, 1, 1, 0, 321, AUDIO_BIT_WIDTH_16, kRefused},
        {"eight bits", true, 1, 1, 0, 320, AUDIO_BIT_WIDTH_8, kRefused},
    };
    MK_U32 failures = 0;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        std::vector<int16_t> pcm = Speech(160, 50 + static_cast<uint32_t>(i));
        const std::vector<int16_t> in = pcm;
        const std::vector<int16_t> far = Speech(c.len / 2 + 1, 70);
        std::vector<uint8_t> farBytes(c.len);  // exactly the length the record gives
        std::memcpy(farBytes.data(), far.data(), c.len);
        const MK_U64 ts = 1000000;
        AUDIO_FRAME_S f = Frame(pcm, ts);
        AEC_FRAME_S ref{};
        ref.stRefFrame.enBitwidth = c.width;
        ref.stRefFrame.pVirAddr[0] = farBytes.data();
        ref.stRefFrame.u32Len = c.len;
        ref.stRefFrame.u64TimeStamp = ts + c.leadUs;
        ref.bValid = c.valid ? MK_TRUE : MK_FALSE;
        ref.u32Reserved = c.marked;
        const MK_S32 ret = MK_MPI_AENC_SendFrame(18, &f, c.given ? &ref : nullptr);
        AUDIO_STREAM_S s{};
        if (c.want == kRefused) {
            EXPECT_EQ(ret, kErrParam);
            if (MK_MPI_AENC_GetStream(18, &s, 0) != kErrEmpty) {
                ADD_FAILURE() << "a packet from a refused frame";
                MK_MPI_AENC_ReleaseStream(18, &s);
            }
            EXPECT_EQ(Drv()->Channel(18).dbg.u32Failures, ++failures);
            continue;
        }
        ASSERT_EQ(ret, MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AENC_GetStream(18, &s, 0), MK_SUCCESS);
        ASSERT_EQ(s.u32Len, 320u);
        EXPECT_EQ(std::memcmp(s.pStream, in.data(), 320) == 0, c.want == kRaw);
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(18, &s), MK_SUCCESS);
    }
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(18), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 2), MK_SUCCESS);
}

// A frame that is not whole samples is refused: taken, its odd byte would shift every later packet.
TEST_F(AencTest, AFrameOfPartSamplesIsRefusedAndLaterPacketsStayWhole) {
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 320, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(17, &a), MK_SUCCESS);
    std::vector<int16_t> odd = Speech(41, 2);
    AUDIO_FRAME_S f = Frame(odd);
    f.u32Len = 81;
    EXPECT_EQ(MK_MPI_AENC_SendFrame(17, &f, nullptr), kErrParam);
    EXPECT_EQ(Drv()->Channel(17).dbg.u32Failures, 1u);
    std::vector<int16_t> first = Speech(160, 3), second = Speech(160, 4), want = first;
    want.insert(want.end(), second.begin(), second.end());
    for (std::vector<int16_t>* half : {&first, &second}) {
        f = Frame(*half);
        ASSERT_EQ(MK_MPI_AENC_SendFrame(17, &f, nullptr), MK_SUCCESS);
    }
    AUDIO_STREAM_S s{};
    ASSERT_EQ(MK_MPI_AENC_GetStream(17, &s, 0), MK_SUCCESS);
    std::vector<int16_t> got;
    Append(s, &got);
    EXPECT_EQ(got, want);
    ASSERT_EQ(MK_MPI_AENC_ReleaseStream(17, &s), MK_SUCCESS);
}

// One input channel read by the caller and bound to an encoder: each captured frame goes through the
// input's instance once, and both get that one output, whichever takes the frame first, the output
// left in the frame's own block or (up-sampled) put elsewhere.
TEST_F(AencTest, AFrameReadByTheCallerAndAnEncoderGoesThroughTheInstanceOnce) {
    AIO_ATTR_S ai{};
    ai.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    ai.enBitwidth = AUDIO_BIT_WIDTH_16;
    ai.u32PtNumPerFrm = 160;
    ai.u32ChnCount = 4;
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(2, &ai), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(2), MK_SUCCESS);
    for (const MK_U32 outRate : {8000u, 16000u}) {
        SCOPED_TRACE(outRate);
        const MK_S32 chn = outRate == 8000 ? 0 : 1, aenc = 19 + chn;
        ASSERT_EQ(MK_MPI_AI_EnableChn(2, chn), MK_SUCCESS);
        AI_CHN_PARAM_S depth{8};
        ASSERT_EQ(MK_MPI_AI_SetChnParam(2, chn, &depth), MK_SUCCESS);
        MPP_CHN_S src{MK_ID_AI, 2, chn}, dst{MK_ID_AENC, 0, aenc};
        ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
        Process(2, chn);
        if (outRate != 8000) {
            ASSERT_EQ(MK_MPI_AI_EnableReSmp(2, chn, outRate), MK_SUCCESS);
        }
        OnePass once(outRate);
        std::vector<int16_t> want, caller, packets;
        auto capture = [&](int i) {
            std::vector<int16_t> pcm = Speech(160, 60 + i);
            drivers::AiInjectFrame inj;
            inj.track0.resize(320);
            std::memcpy(inj.track0.data(), pcm.data(), 320);
            inj.timeStamp = 1000 + i;
            ASSERT_EQ(drivers::AiDriver::Get()->Inject(2, chn, inj), 0);
            once.Run(pcm, &want);
        };
        auto take = [&] {
            AUDIO_FRAME_S f{};
            ASSERT_EQ(MK_MPI_AI_GetFrame(2, chn, &f, nullptr, -1), MK_SUCCESS);
            const auto* p = static_cast<const int16_t*>(f.pVirAddr[0]);
            caller.insert(caller.end(), p, p + f.u32Len / 2);
            ASSERT_EQ(MK_MPI_AI_ReleaseFrame(2, chn, &f, nullptr), MK_SUCCESS);
        };
        auto pull = [&] {
            AUDIO_STREAM_S s{};
            ASSERT_EQ(MK_MPI_AENC_GetStream(aenc, &s, -1), MK_SUCCESS);
            Append(s, &packets);
            ASSERT_EQ(MK_MPI_AENC_ReleaseStream(aenc, &s), MK_SUCCESS);
        };
        // The caller first: the encoder channel starts once the caller has had the frames.
        for (int i = 0; i < 4; ++i) {
            capture(i);
            take();
        }
        const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 160 * outRate / 8000, 16);
        ASSERT_EQ(MK_MPI_AENC_CreateChn(aenc, &a), MK_SUCCESS);
        for (int i = 0; i < 4; ++i) pull();
        // The encoder first.
        for (int i = 4; i < 8; ++i) {
            capture(i);
            pull();
            take();
        }
        EXPECT_EQ(caller, want);
        EXPECT_EQ(packets, want);
        ASSERT_EQ(MK_MPI_AENC_DestroyChn(aenc), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_SYS_UnBind(&src, &dst), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_DisableChn(2, chn), MK_SUCCESS);
    }
}

// The same with both readers at once on a stream of frames: the frames both got are alike.
TEST_F(AencTest, TheCallerAndAnEncoderReadingAtOnceGetTheSameOutput) {
    BindInput(1, 3, 21, 8000, 160);
    AI_CHN_PARAM_S depth{8};
    ASSERT_EQ(MK_MPI_AI_SetChnParam(1, 3, &depth), MK_SUCCESS);
    Process(1, 3);
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 160, 64);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(21, &a), MK_SUCCESS);
    constexpr int kFrames = 300;
    std::map<MK_U64, std::vector<int16_t>> caller, packets;
    std::atomic<bool> injected{false};
    std::thread reader([&] {
        for (;;) {
            AUDIO_FRAME_S f{};
            const MK_S32 ret = MK_MPI_AI_GetFrame(1, 3, &f, nullptr, 5);
            if (ret != MK_SUCCESS) {
                if (injected) return;
                continue;
            }
            caller[f.u64TimeStamp] =
                std::vector<int16_t>(static_cast<const int16_t*>(f.pVirAddr[0]),
                                     static_cast<const int16_t*>(f.pVirAddr[0]) + f.u32Len / 2);
            ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 3, &f, nullptr), MK_SUCCESS);
        }
    });
    std::thread puller([&] {
        for (;;) {
            AUDIO_STREAM_S s{};
            if (MK_MPI_AENC_GetStream(21, &s, 5) != MK_SUCCESS) {
                if (injected) return;
                continue;
            }
            std::vector<int16_t>& v = packets[s.u64TimeStamp];
            Append(s, &v);
            ASSERT_EQ(MK_MPI_AENC_ReleaseStream(21, &s), MK_SUCCESS);
        }
    });
    for (int i = 0; i < kFrames; ++i) {
        std::vector<int16_t> pcm = Speech(160, 80 + i);
        drivers::AiInjectFrame inj;
        inj.track0.resize(320);
        std::memcpy(inj.track0.data(), pcm.data(), 320);
        inj.timeStamp = 1000 + i;
        ASSERT_EQ(drivers::AiDriver::Get()->Inject(1, 3, inj), 0);
        if (i % 4 == 3) std::this_thread::yield();
    }
    injected = true;
    reader.join();
    puller.join();
    int both = 0;
    for (const auto& [ts, samples] : caller) {
        auto it = packets.find(ts);
        if (it == packets.end()) continue;
        ++both;
        EXPECT_EQ(it->second, samples) << "frame " << ts;
    }
    EXPECT_GT(both, 0);
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(21), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(1, 3), MK_SUCCESS);
}

TEST_F(AencTest, OnlyAnInputChannelLendsItsInstance) {
    // Input channel 0:0 processes; a capture channel bound to the encoder has the same numbers.
    AIO_ATTR_S ai{};
    ai.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    ai.enBitwidth = AUDIO_BIT_WIDTH_16;
    ai.u32PtNumPerFrm = 160;
    ai.u32ChnCount = 2;
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(0, &ai), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableChn(0, 0), MK_SUCCESS);
    AI_VQE_CONFIG_S v{};
    v.bHpfOpen = 1;
    v.s32WorkSampleRate = 8000;
    v.s32FrameSample = 80;
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &v), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS);
    MPP_CHN_S src{MK_ID_VIU, 0, 0}, dst{MK_ID_AENC, 0, 16};
    ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 160, 4);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(16, &a), MK_SUCCESS);
    std::vector<int16_t> pcm = Speech(160, 8);
    AUDIO_FRAME_S f = Frame(pcm);
    ASSERT_EQ(MK_MPI_AENC_SendFrame(16, &f, nullptr), MK_SUCCESS);
    AUDIO_STREAM_S s{};
    ASSERT_EQ(MK_MPI_AENC_GetStream(16, &s, 0), MK_SUCCESS);
    EXPECT_EQ(std::memcmp(s.pStream, pcm.data(), 320), 0) << "passed on unprocessed";
    ASSERT_EQ(MK_MPI_AENC_ReleaseStream(16, &s), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_SYS_UnBind(&src, &dst), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
}

TEST_F(AencTest, DumpFilesHoldInputAndOutputUpToTheLimit) {
    char tmpl[] = "aenc_dump_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = std::filesystem::absolute(tmpl).string();
    BindInput(1, 0, 15, 8000, 160);
    AI_VQE_CONFIG_S v{};
    v.bHpfOpen = 1;
    v.s32WorkSampleRate = 8000;
    v.s32FrameSample = 80;
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(1, 0, 0, 0, &v), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(1, 0), MK_SUCCESS);
    // Up-sampled: each input frame dumped with its own length, each output frame with its own.
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(1, 0, 16000), MK_SUCCESS);
    const AENC_CHN_ATTR_S a = Attr(PT_LPCM, 320, 16);
    ASSERT_EQ(MK_MPI_AENC_CreateChn(15, &a), MK_SUCCESS);
    AUDIO_DUMPFILE_CFG_S cfg{};
    cfg.bCfg = MK_TRUE;
    std::snprintf(cfg.aFilePath, sizeof(cfg.aFilePath), "%s", dir.c_str());
    std::snprintf(cfg.aFileName, sizeof(cfg.aFileName), "d");
    cfg.u32FileSize = 2;
    ASSERT_EQ(MK_MPI_AENC_SetDumpConfig(15, &cfg), MK_SUCCESS);
    std::vector<uint8_t> in, out;
    for (int i = 0; i < 5; ++i) {
        std::vector<int16_t> pcm = Speech(160, 40 + i);
        drivers::AiInjectFrame inj;
        inj.track0.resize(320);
        std::memcpy(inj.track0.data(), pcm.data(), 320);
        ASSERT_EQ(drivers::AiDriver::Get()->Inject(1, 0, inj), 0);
        AUDIO_STREAM_S s{};
        ASSERT_EQ(MK_MPI_AENC_GetStream(15, &s, -1), MK_SUCCESS);
        if (i < 4) {  // 4 x 640 output bytes reach the 2 KB limit
            in.insert(in.end(), inj.track0.begin(), inj.track0.end());
            out.insert(out.end(), s.pStream, s.pStream + s.u32Len);
        }
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(15, &s), MK_SUCCESS);
    }
    AUDIO_DUMPFILE_CFG_S back{};
    ASSERT_EQ(MK_MPI_AENC_GetDumpConfig(15, &back), MK_SUCCESS);
    EXPECT_EQ(back.bCfg, MK_FALSE);
    auto read = [&](const char* name) {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    };
    EXPECT_EQ(read("Sin_Dev1_Chn0_d.pcm"), in);
    EXPECT_EQ(read("Sou_Dev1_Chn0_d.pcm"), out);
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(15), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(1, 0), MK_SUCCESS);
    std::filesystem::remove_all(dir);
}

TEST_F(AencTest, TheRegistryHoldsTwentyAndFreesBySlot) {
    AENC_ENCODER_S e{};
    e.pfnOpenEncoder = [](MK_VOID*, MK_VOID**) { return MK_SUCCESS; };
    e.pfnEncodeFrm = [](MK_VOID*, const AUDIO_FRAME_S*, MK_U8*, MK_U32*) { return MK_SUCCESS; };
    e.pfnCloseEncoder = [](MK_VOID*) { return MK_SUCCESS; };
    MK_S32 handle = -1;
    EXPECT_EQ(MPI_AENC_RegisterEncoder(nullptr, &e), kErrNull);
    AENC_ENCODER_S bad = e;
    bad.pfnEncodeFrm = nullptr;
    EXPECT_EQ(MPI_AENC_RegisterEncoder(&handle, &bad), kErrNull);
    for (MK_U32 t = 0; t < 15; ++t) {
        e.enType = 600 + t;
        ASSERT_EQ(MPI_AENC_RegisterEncoder(&handle, &e), MK_SUCCESS);
    }
    e.enType = 700;
    EXPECT_EQ(MPI_AENC_RegisterEncoder(&handle, &e), kErrFull);
    EXPECT_EQ(MPI_AENC_UnRegisterEncoder(20), kErrParam);
    ASSERT_EQ(MPI_AENC_UnRegisterEncoder(7), MK_SUCCESS);
    EXPECT_EQ(MPI_AENC_UnRegisterEncoder(7), kErrEmpty);
    ASSERT_EQ(MPI_AENC_RegisterEncoder(&handle, &e), MK_SUCCESS);
    EXPECT_EQ(handle, 7);
}

}  // namespace
