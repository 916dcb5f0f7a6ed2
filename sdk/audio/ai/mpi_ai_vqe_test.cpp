// Audio input voice quality and resampling: the attribute's checks, the engine instance a channel
// keeps, and frames that go through it.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "sdk/audio/ai/ai_test_fixture.h"
#include "sdk/audio/testing/audio_measure.h"
#include "sdk/audio/vqe/upvqe.h"

namespace ai_test {
namespace {

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("aivqe", InstallDrivers));

constexpr MK_S32 kAoDev = static_cast<MK_S32>(0xA0168001);
constexpr MK_S32 kAoChn = static_cast<MK_S32>(0xA0168002);

MK_S32 HdrCallback(MK_S32) {
    return 0;
}

// High-pass filter alone with the engine's defaults, the attribute every check case starts from.
AI_VQE_CONFIG_S HpfOnly(MK_S32 rate = 8000, MK_S32 frame = 80) {
    AI_VQE_CONFIG_S a{};
    a.bHpfOpen = 1;
    a.s32WorkSampleRate = rate;
    a.s32FrameSample = frame;
    return a;
}

VQE_AEC_CONFIG_S UserAec() {
    VQE_AEC_CONFIG_S e{};
    e.bUsrMode = 1;
    e.s8NearAllPassEnergy = 1;
    e.s8NearCleanSupEnergy = 1;
    e.s16DTHnlSortQTh = 16384;
    e.s16EchoBandLow = 10;
    e.s16EchoBandHigh = 25;
    e.s16EchoBandLow2 = 28;
    e.s16EchoBandHigh2 = 35;
    const MK_S16 bands[6] = {4, 6, 36, 49, 50, 51};
    const MK_S16 erl[7] = {7, 10, 16, 10, 18, 18, 18};
    std::copy(bands, bands + 6, e.s16ERLBand);
    std::copy(erl, erl + 7, e.s16ERL);
    e.s16VioceProtectFreqL = 3;
    e.s16VioceProtectFreqL1 = 6;
    return e;
}

VQE_AGC_CONFIG_S UserAgc() {
    VQE_AGC_CONFIG_S g{};
    g.bUsrMode = 1;
    g.s8TargetLevel = -2;
    g.s8NoiseFloor = -40;
    g.s8MaxGain = 15;
    g.s8AdjustSpeed = 10;
    g.s8ImproveSNR = 2;
    g.s8UseHighPassFilt = 2;
    g.s8OutputMode = 0;
    return g;
}

// One attribute and the result its checks give, written from the attribute's documented ranges.
struct CheckCase {
    const char* what;
    std::function<void(AI_VQE_CONFIG_S&)> change;
    MK_S32 want;
    MK_S32 aoDev = 0;
    MK_S32 aoChn = 0;
};

TEST_F(AiTest, VqeAttributesAreCheckedAgainstTheirRanges) {
    Start(0, Attr(8000, 160), 0);
    const CheckCase cases[] = {
        {"hpf alone, defaults", [](AI_VQE_CONFIG_S&) {}, MK_SUCCESS},
        {"no module", [](AI_VQE_CONFIG_S& a) { a.bHpfOpen = 0; }, kErrNotPerm},
        {"frame 79", [](AI_VQE_CONFIG_S& a) { a.s32FrameSample = 79; }, kErrParam},
        {"frame 4097", [](AI_VQE_CONFIG_S& a) { a.s32FrameSample = 4097; }, kErrParam},
        {"frame 4096", [](AI_VQE_CONFIG_S& a) { a.s32FrameSample = 4096; }, MK_SUCCESS},
        {"work state 3", [](AI_VQE_CONFIG_S& a) { a.enWorkstate = 3; }, kErrParam},
        {"work rate 32000", [](AI_VQE_CONFIG_S& a) { a.s32WorkSampleRate = 32000; }, kErrParam},
        {"agc at 48000", [](AI_VQE_CONFIG_S& a) { a.s32WorkSampleRate = 48000, a.bAgcOpen = 1; }, kErrParam},
        {"hpf at 48000", [](AI_VQE_CONFIG_S& a) { a.s32WorkSampleRate = 48000; }, MK_SUCCESS},
        {"flag 2", [](AI_VQE_CONFIG_S& a) { a.bHpfOpen = 2; }, kErrParam},
        {"rnr with anr", [](AI_VQE_CONFIG_S& a) { a.bRnrOpen = 1, a.bAnrOpen = 1; }, kErrNotPerm},
        {"rnr with eq, no agc", [](AI_VQE_CONFIG_S& a) { a.bRnrOpen = 1, a.bEqOpen = 1; }, kErrNotPerm},
        {"eq without agc", [](AI_VQE_CONFIG_S& a) { a.bEqOpen = 1; }, kErrNotPerm},
        {"rnr alone", [](AI_VQE_CONFIG_S& a) { a.bHpfOpen = 0, a.bRnrOpen = 1; }, MK_SUCCESS},
        {"hdr alone", [](AI_VQE_CONFIG_S& a) { a.bHpfOpen = 0, a.bHdrOpen = 1; }, MK_SUCCESS},
        {"agc max gain 31",
         [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.stAgcCfg = UserAgc(), a.stAgcCfg.s8MaxGain = 31; },
         kErrParam},
        {"agc noise floor -66",
         [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.stAgcCfg = UserAgc(), a.stAgcCfg.s8NoiseFloor = -66; },
         kErrParam},
        {"agc target 0",
         [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.stAgcCfg = UserAgc(), a.stAgcCfg.s8TargetLevel = 0; },
         kErrParam},
        {"agc negative switch",
         [](AI_VQE_CONFIG_S& a) {
             a.bAgcOpen = 1, a.stAgcCfg = UserAgc(), a.stAgcCfg.s16NoiseSupSwitch = -1;
         },
         kErrParam},
        {"agc user mode 2", [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.stAgcCfg.bUsrMode = 2; }, kErrParam},
        {"agc in range", [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.stAgcCfg = UserAgc(); }, MK_SUCCESS},
        {"aec output device 3", [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1; }, kAoDev, 3, 0},
        {"aec output channel 20", [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1; }, kAoChn, 0, 20},
        {"aec band 64 at 8 kHz",
         [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1, a.stAecCfg = UserAec(), a.stAecCfg.s16EchoBandHigh = 64; },
         kErrParam},
        {"aec band 64 at 16 kHz",
         [](AI_VQE_CONFIG_S& a) {
             a.s32WorkSampleRate = 16000, a.bAecOpen = 1, a.stAecCfg = UserAec(),
             a.stAecCfg.s16EchoBandHigh = 64;
         },
         MK_SUCCESS},
        {"aec band 0",
         [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1, a.stAecCfg = UserAec(), a.stAecCfg.s16EchoBandLow2 = 0; },
         kErrParam},
        {"aec bands falling",
         [](AI_VQE_CONFIG_S& a) {
             a.bAecOpen = 1, a.stAecCfg = UserAec();
             const MK_S16 b[6] = {10, 20, 15, 30, 40, 50};
             std::copy(b, b + 6, a.stAecCfg.s16ERLBand);
         },
         kErrParam},
        {"aec bands level",
         [](AI_VQE_CONFIG_S& a) {
             a.bAecOpen = 1, a.stAecCfg = UserAec();
             const MK_S16 b[6] = {10, 20, 20, 30, 40, 50};
             std::copy(b, b + 6, a.stAecCfg.s16ERLBand);
         },
         MK_SUCCESS},
        {"aec high below low",
         [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1, a.stAecCfg = UserAec(), a.stAecCfg.s16EchoBandHigh = 10; },
         kErrParam},
        {"aec negative cng",
         [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1, a.stAecCfg = UserAec(), a.stAecCfg.s8CngMode = -1; },
         kErrParam},
        {"aec erl 19",
         [](AI_VQE_CONFIG_S& a) { a.bAecOpen = 1, a.stAecCfg = UserAec(), a.stAecCfg.s16ERL[6] = 19; },
         kErrParam},
        {"hpf 100 Hz",
         [](AI_VQE_CONFIG_S& a) {
             a.stHpfCfg = {1, 100};
         },
         kErrParam},
        {"hpf 150 Hz",
         [](AI_VQE_CONFIG_S& a) {
             a.stHpfCfg = {1, 150};
         },
         MK_SUCCESS},
        {"rnr level 1",
         [](AI_VQE_CONFIG_S& a) {
             a.bHpfOpen = 0, a.bRnrOpen = 1, a.stRnrCfg = {1, 0, 1, -40};
         },
         kErrParam},
        {"rnr thresh -81",
         [](AI_VQE_CONFIG_S& a) {
             a.bHpfOpen = 0, a.bRnrOpen = 1, a.stRnrCfg = {1, 0, 10, -81};
         },
         kErrParam},
        {"rnr mode 1 at 48 kHz",
         [](AI_VQE_CONFIG_S& a) {
             a.s32WorkSampleRate = 48000, a.bRnrOpen = 1, a.stRnrCfg = {1, 1, 10, -40};
         },
         kErrParam},
        {"anr intensity 26",
         [](AI_VQE_CONFIG_S& a) {
             a.bAnrOpen = 1, a.stAnrCfg = {1, 26, 40, 0, 0};
         },
         kErrParam},
        {"anr threshold 29",
         [](AI_VQE_CONFIG_S& a) {
             a.bAnrOpen = 1, a.stAnrCfg = {1, 10, 29, 0, 0};
         },
         kErrParam},
        {"hdr without callback",
         [](AI_VQE_CONFIG_S& a) { a.bHdrOpen = 1, a.stHdrCfg = {1, 0, 30, 10, 2, nullptr}; }, kErrParam},
        {"hdr mic gain above max",
         [](AI_VQE_CONFIG_S& a) { a.bHdrOpen = 1, a.stHdrCfg = {1, 0, 30, 31, 2, HdrCallback}; }, kErrParam},
        {"hdr user mode 2", [](AI_VQE_CONFIG_S& a) { a.bHdrOpen = 1, a.stHdrCfg.bUsrMode = 2; }, kErrParam},
        {"hdr in range",
         [](AI_VQE_CONFIG_S& a) { a.bHdrOpen = 1, a.stHdrCfg = {1, 0, 30, 30, 3, HdrCallback}; }, MK_SUCCESS},
        {"eq gain 21", [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.bEqOpen = 1, a.stEqCfg.s8GaindB[9] = 21; },
         kErrParam},
        {"eq gain -100",
         [](AI_VQE_CONFIG_S& a) { a.bAgcOpen = 1, a.bEqOpen = 1, a.stEqCfg.s8GaindB[0] = -100; }, MK_SUCCESS},
    };
    for (const CheckCase& c : cases) {
        AI_VQE_CONFIG_S a = HpfOnly();
        c.change(a);
        EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, c.aoDev, c.aoChn, &a), c.want) << c.what;
    }
    // Echo cancellation and the reference frame exclude each other.
    ASSERT_EQ(MK_MPI_AI_EnableAecRefFrame(0, 0, 1, 1), MK_SUCCESS);
    AI_VQE_CONFIG_S aec = HpfOnly();
    aec.bAecOpen = 1;
    EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &aec), kErrNotSupport);
    EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, nullptr), kErrNull);
}

TEST_F(AiTest, TheSameAttributeTwiceKeepsTheInstance) {
    Start(0, Attr(8000, 160), 0);
    AI_VQE_CONFIG_S a = HpfOnly();
    a.stHpfCfg = {1, 120};
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
    // A new instance would meet the refusal armed here.
    mk::audio::ArmFault(mk::audio::Fault::kAiVqeCreate);
    EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
    a.stHpfCfg.enHpfFreq = 150;
    EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), kErrVqe);
    EXPECT_EQ(g_astVqeState[0][0].hVqe, nullptr) << "a failed replacement leaves no instance";
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
    AI_VQE_CONFIG_S back{};
    ASSERT_EQ(MK_MPI_AI_GetVqeAttr(0, 0, &back), MK_SUCCESS);
    EXPECT_EQ(back.bHpfOpen, 1u);
    EXPECT_EQ(back.stHpfCfg.enHpfFreq, 150u);
    EXPECT_EQ(back.s32FrameSample, 80);
}

// The status record the driver's display gets, word by word, written from the record's layout.
TEST_F(AiTest, StatusRecordsFollowTheProcessingState) {
    Start(0, Attr(8000, 160), 0);
    AI_VQE_CONFIG_S a = HpfOnly(8000, 160);
    a.enWorkstate = 2;
    a.stHpfCfg = {1, 150};
    a.bAgcOpen = 1;
    a.stAgcCfg = UserAgc();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 1, 2, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS);
    AI_VQE_DBG_S on = Drv()->Channel(0, 0).vqe;
    const MK_U32* w = on.au32Word;
    EXPECT_EQ(w[0], 1u);
    EXPECT_EQ(w[1], 1u) << "hpf";
    EXPECT_EQ(w[2], 0u) << "aec";
    EXPECT_EQ(w[5], 1u) << "agc";
    EXPECT_EQ(w[10], 0u) << "input rate left out";
    EXPECT_EQ(w[11], 8000u);
    EXPECT_EQ(w[12], 0u);
    EXPECT_EQ(w[13], 160u);
    EXPECT_EQ(w[14], 0u);
    EXPECT_EQ(w[17], 2u);
    EXPECT_EQ(w[18], 1u);
    EXPECT_EQ(w[19], 150u);
    EXPECT_EQ(w[20], 0u);
    EXPECT_EQ(w[21], 2u) << "no echo cancellation";
    EXPECT_EQ(w[41], 1u) << "agc user mode";
    EXPECT_EQ(static_cast<MK_S8>(w[42] & 0xFF), -2) << "agc target level";
    for (int i = 56; i < 80; ++i) EXPECT_EQ(w[i], 0u) << i;
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS) << "already on";
    ASSERT_EQ(MK_MPI_AI_DisableVqe(0, 0), MK_SUCCESS);
    AI_VQE_DBG_S off = Drv()->Channel(0, 0).vqe;
    for (int i = 0; i < 80; ++i) {
        EXPECT_EQ(off.au32Word[i], i == 11 ? 48001u : i == 21 ? 2u : 0u) << i;
    }
}

TEST_F(AiTest, EchoCancellationGoesOnAndOffInTheDriver) {
    Start(0, Attr(16000, 320), 1);
    AI_VQE_CONFIG_S a = HpfOnly(16000, 160);
    a.bAecOpen = 1;
    a.stAecCfg = UserAec();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 1, 2, 7, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 1), MK_SUCCESS);
    drivers::AiChnView v = Drv()->Channel(0, 1);
    EXPECT_TRUE(v.aec);
    EXPECT_EQ(v.aecAo.s32AoDev, 2);
    EXPECT_EQ(v.aecAo.s32AoChn, 7);
    EXPECT_EQ(v.vqe.au32Word[2], 1u);
    EXPECT_EQ(v.vqe.au32Word[20], 1u) << "aec user mode";
    EXPECT_EQ(v.vqe.au32Word[22] & 0xFFFF, 16384u) << "double-talk threshold";
    EXPECT_EQ(MK_MPI_AI_EnableAecRefFrame(0, 1, 0, 0), kErrNotSupport);
    ASSERT_EQ(MK_MPI_AI_DisableVqe(0, 1), MK_SUCCESS);
    EXPECT_FALSE(Drv()->Channel(0, 1).aec);
}

TEST_F(AiTest, AFailedInstanceOnEnableSwitchesEchoCancellationOffAgain) {
    Start(0, Attr(8000, 160), 0);
    AI_VQE_CONFIG_S a = HpfOnly();
    a.bAecOpen = 1;
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 1, 1, &a), MK_SUCCESS);
    mk::audio::ArmFault(mk::audio::Fault::kAiVqeCreate);
    EXPECT_EQ(MK_MPI_AI_EnableVqe(0, 0), kErrVqe);
    EXPECT_FALSE(Drv()->Channel(0, 0).aec);
    EXPECT_EQ(MK_MPI_AI_EnableVqe(0, 0), kErrNotConfig) << "the attribute went with the instance";
}

TEST_F(AiTest, VolumeIsCheckedAndReachesEngineAndDriver) {
    Start(0, Attr(8000, 160), 0);
    EXPECT_EQ(MK_MPI_AI_SetVqeVolume(0, 0, 0), kErrNotPerm) << "no processing yet";
    AI_VQE_CONFIG_S a = HpfOnly();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS);
    struct Case {
        MK_S32 db;
        MK_S32 want;
    } const cases[] = {
        {-21, kErrParam}, {-20, MK_SUCCESS}, {10, MK_SUCCESS}, {11, kErrParam}, {-3, MK_SUCCESS}};
    for (const Case& c : cases) EXPECT_EQ(MK_MPI_AI_SetVqeVolume(0, 0, c.db), c.want) << c.db;
    MK_S32 db = 0;
    ASSERT_EQ(MK_MPI_AI_GetVqeVolume(0, 0, &db), MK_SUCCESS);
    EXPECT_EQ(db, -3);
    EXPECT_EQ(Drv()->Channel(0, 0).volume, -3);
    EXPECT_EQ(MK_MPI_AI_GetVqeVolume(0, 0, nullptr), kErrNull);
}

// A parallel engine instance built as the channel builds its own, fed the same samples.
struct Engine {
    MK_VOID* h = nullptr;
    Engine(const AI_VQE_CONFIG_S& a, MK_S32 in, MK_S32 out) {
        UPVQE_CONFIG_S c{};
        c.bHpfOpen = a.bHpfOpen;
        c.bAgcOpen = a.bAgcOpen;
        c.s32InSampleRate = in;
        c.s32WorkSampleRate = a.s32WorkSampleRate;
        c.s32OutSampleRate = out;
        c.s32FrameSample = a.s32FrameSample;
        c.s32ChnNum = c.s32OutChnNum = c.s32Mode = 1;
        c.stHpfCfg = a.stHpfCfg;
        c.stAgcCfg = a.stAgcCfg;
        EXPECT_EQ(MK_UPVQE_Create(&h, &c), MK_SUCCESS);
    }
    ~Engine() { MK_UPVQE_Destroy(h); }
    std::vector<int16_t> Run(std::vector<int16_t> in, MK_U32 outPoints) {
        UPVQE_FRAME_S w{static_cast<MK_U32>(in.size()), in.data(), nullptr};
        EXPECT_EQ(MK_UPVQE_WriteFrame(h, &w), MK_SUCCESS);
        std::vector<int16_t> out(outPoints);
        UPVQE_FRAME_S r{outPoints, out.data(), nullptr};
        const MK_S32 got = MK_UPVQE_ReadFrame(h, &r, 1);
        out.resize(got > 0 ? got : 0);
        return out;
    }
};

TEST_F(AiTest, ProcessedFramesAreWhatTheEngineMakesOfThem) {
    Start(0, Attr(8000, 160), 2, 8);
    AI_VQE_CONFIG_S a = HpfOnly(8000, 80);
    a.stHpfCfg = {1, 150};
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 2, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 2), MK_SUCCESS);
    Engine ref(a, 8000, 8000);
    for (int i = 0; i < 12; ++i) {
        const std::vector<int16_t> in = Feed(0, 2, 160, 10 + i, 100 + i);
        AUDIO_FRAME_S f{};
        AEC_FRAME_S aec{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 2, &f, &aec, 0), MK_SUCCESS);
        EXPECT_EQ(Samples(f), ref.Run(in, 160)) << "frame " << i;
        EXPECT_EQ(f.u64TimeStamp, 100u + i);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &f, &aec), MK_SUCCESS);
    }
    EXPECT_EQ(Drv()->HeldBlocks(), 0u);
}

TEST_F(AiTest, EightBitFramesAreWidenedForProcessing) {
    Start(1, Attr(8000, 160, AUDIO_BIT_WIDTH_8), 0, 8);
    AI_VQE_CONFIG_S a = HpfOnly(8000, 80);
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(1, 0, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(1, 0), MK_SUCCESS);
    Engine ref(a, 8000, 8000);
    for (int i = 0; i < 6; ++i) {
        drivers::AiInjectFrame inj;
        std::vector<int16_t> widened;
        for (int k = 0; k < 160; ++k) {
            const uint8_t b = static_cast<uint8_t>((k * 37 + i * 11) & 0xFF);
            inj.track0.push_back(b);
            widened.push_back(static_cast<int16_t>(static_cast<uint16_t>(b) << 8));
        }
        ASSERT_EQ(Drv()->Inject(1, 0, inj), 0);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(1, 0, &f, nullptr, 0), MK_SUCCESS);
        EXPECT_EQ(f.enBitwidth, AUDIO_BIT_WIDTH_16) << "stays 16 bits wide";
        EXPECT_EQ(f.u32Len, 320u);
        EXPECT_EQ(Samples(f), ref.Run(widened, 160)) << "frame " << i;
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 0, &f, nullptr), MK_SUCCESS);
    }
}

TEST_F(AiTest, ResampledEightBitFramesStaySixteenBitsWide) {
    Start(1, Attr(8000, 160, AUDIO_BIT_WIDTH_8), 2, 8);
    AI_VQE_CONFIG_S a = HpfOnly(8000, 80);
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(1, 2, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(1, 2), MK_SUCCESS);
    for (MK_U32 rate : {16000u, 0u}) {
        if (rate != 0) {
            ASSERT_EQ(MK_MPI_AI_EnableReSmp(1, 2, rate), MK_SUCCESS);
        }
        drivers::AiInjectFrame inj;
        inj.track0.assign(160, 0x40);
        ASSERT_EQ(Drv()->Inject(1, 2, inj), 0);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(1, 2, &f, nullptr, -1), MK_SUCCESS);
        EXPECT_EQ(f.enBitwidth, AUDIO_BIT_WIDTH_16) << rate;
        EXPECT_EQ(f.u32Len % 2, 0u);
        EXPECT_LE(f.u32Len, (rate != 0 ? 320u : 160u) * 2) << "points, 16 bits each";
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 2, &f, nullptr), MK_SUCCESS);
        if (rate != 0) {
            ASSERT_EQ(MK_MPI_AI_DisableReSmp(1, 2), MK_SUCCESS);
        }
    }
}

TEST_F(AiTest, ADisableAfterAFailedReplacementStillTakesResamplingDown) {
    Start(0, Attr(8000, 160), 1, 4);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 1, 16000), MK_SUCCESS);
    const MK_S32 pool = g_astVqeState[0][1].s32ResmpPoolId;
    AI_VQE_CONFIG_S a = HpfOnly();
    mk::audio::ArmFault(mk::audio::Fault::kAiVqeCreate);
    EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 1, 0, 0, &a), kErrVqe);
    EXPECT_EQ(g_astVqeState[0][1].hVqe, nullptr);
    EXPECT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS) << "no instance to read is no reason to stay up";
    EXPECT_FALSE(drivers::VbPools::Instance().Pool(pool).has_value());
    EXPECT_FALSE(Drv()->Channel(0, 1).enabled);
}

TEST_F(AiTest, AFrameTooLongForTheWorkBufferIsRefused) {
    Start(1, Attr(8000, 4096, AUDIO_BIT_WIDTH_8), 1, 4);
    AI_VQE_CONFIG_S a = HpfOnly(8000, 80);
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(1, 1, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(1, 1), MK_SUCCESS);
    drivers::AiInjectFrame inj;
    inj.track0.assign(4096, 0x11);  // 8192 bytes once widened
    ASSERT_EQ(Drv()->Inject(1, 1, inj), 0);
    AUDIO_FRAME_S f{};
    EXPECT_EQ(MK_MPI_AI_GetFrame(1, 1, &f, nullptr, 0), kErrNotSupport);
    EXPECT_EQ(Drv()->HeldBlocks(), 0u) << "the frame went back";
}

TEST_F(AiTest, WithoutReferencesAChannelHandsOutItsDepthOfRawFramesThenRefuses) {
    Start(0, Attr(8000, 160), 3, 5);
    AI_VQE_CONFIG_S a = HpfOnly();
    a.bAecOpen = 1;
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 3, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 3), MK_SUCCESS);
    AUDIO_FRAME_S f{};
    AEC_FRAME_S aec{};
    Feed(0, 3, 160, 1);
    EXPECT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, nullptr, 0), kErrNull)
        << "echo cancellation needs the reference record";
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            const std::vector<int16_t> in = Feed(0, 3, 160, 20 + i);
            ASSERT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, &aec, 0), MK_SUCCESS) << round << " " << i;
            EXPECT_EQ(Samples(f), in) << "passed on unprocessed";
            EXPECT_EQ(aec.bValid, MK_FALSE);
            ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 3, &f, &aec), MK_SUCCESS);
        }
        Feed(0, 3, 160, 30);
        EXPECT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, &aec, 0), kErrNotPerm);
    }
    // A frame with its reference goes through the engine.
    Feed(0, 3, 160, 40, 9, true, Speech(160, 41));
    ASSERT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, &aec, 0), MK_SUCCESS);
    EXPECT_EQ(aec.bValid, MK_TRUE);
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 3, &f, &aec), MK_SUCCESS);
    EXPECT_EQ(Drv()->HeldBlocks(), 0u);
}

TEST_F(AiTest, ReferenceFramesComeWithTheirFrames) {
    EXPECT_EQ(MK_MPI_AI_EnableAecRefFrame(0, 0, 3, 0), kAoDev);
    EXPECT_EQ(MK_MPI_AI_EnableAecRefFrame(0, 0, 0, 20), kAoChn);
    Start(2, Attr(8000, 160, AUDIO_BIT_WIDTH_16, true), 0, 8);
    EXPECT_EQ(MK_MPI_AI_EnableAecRefFrame(2, 0, 0, 0), kErrParam) << "stereo";
    Start(0, Attr(8000, 160), 0, 8);
    ASSERT_EQ(MK_MPI_AI_EnableAecRefFrame(0, 0, 1, 3), MK_SUCCESS);
    EXPECT_TRUE(Drv()->Channel(0, 0).refFrame);
    for (int i = 0; i < 6; ++i) {
        const std::vector<int16_t> ref = Speech(160, 50 + i);
        Feed(0, 0, 160, 60 + i, 300 + i, true, ref);
        AUDIO_FRAME_S f{};
        AEC_FRAME_S aec{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 0, &f, &aec, 0), MK_SUCCESS);
        EXPECT_EQ(aec.bValid, MK_TRUE);
        EXPECT_EQ(aec.u32Reserved, 1u);
        EXPECT_EQ(aec.stRefFrame.u64TimeStamp, f.u64TimeStamp);
        EXPECT_EQ(Samples(aec.stRefFrame), ref);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &f, &aec), MK_SUCCESS);
    }
    EXPECT_EQ(Drv()->Channel(0, 0).refRing, drivers::AiDriver::kRefRing) << "the ring is reused, not grown";
    ASSERT_EQ(MK_MPI_AI_DisableAecRefFrame(0, 0), MK_SUCCESS);
    EXPECT_EQ(Drv()->Channel(0, 0).refRing, 0u);
}

// ---- Resampling ----

TEST_F(AiTest, UpSampling320PointsFrom8kTo48kGives1920) {
    Start(0, Attr(8000, 320), 0, 8);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 0, 48000), MK_SUCCESS);
    const AI_RESMP_DBG_S dbg = Drv()->Channel(0, 0).resmp;
    EXPECT_EQ(dbg.bReSmpEnable, 1u);
    EXPECT_EQ(dbg.u32InPointNum, 320u);
    EXPECT_EQ(dbg.enInSampleRate, 8000u);
    EXPECT_EQ(dbg.enOutSampleRate, 48000u);
    const MK_S32 pool = g_astVqeState[0][0].s32ResmpPoolId;
    ASSERT_GE(pool, 0);
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(320 * 20, 8000, 1000, -6);
    std::vector<int16_t> out;
    for (int i = 0; i < 20; ++i) {
        drivers::AiInjectFrame inj;
        inj.track0 = Bytes(std::vector<int16_t>(tone.begin() + 320 * i, tone.begin() + 320 * (i + 1)));
        ASSERT_EQ(Drv()->Inject(0, 0, inj), 0);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 0, &f, nullptr, -1), MK_SUCCESS);
        EXPECT_EQ(f.u32Len, 1920u * 2);
        EXPECT_EQ(f.u32PoolId[0], static_cast<MK_U32>(pool));
        EXPECT_EQ(Drv()->HeldBlocks(), 0u) << "the driver's frame went back at once";
        const std::vector<int16_t> s = Samples(f);
        out.insert(out.end(), s.begin(), s.end());
        EXPECT_EQ(drivers::VbPools::Instance().Pool(pool)->freeBlocks, 9u);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &f, nullptr), MK_SUCCESS);
        EXPECT_EQ(drivers::VbPools::Instance().Pool(pool)->freeBlocks, 10u);
    }
    const auto fit = varnelle::audiotest::FitTone(out, out.size() / 2, out.size(), 48000, 1000);
    EXPECT_NEAR(fit.freq, 1000.0, 0.5);
    EXPECT_NEAR(fit.LevelDb(), -6.0, 0.5);
    EXPECT_GT(fit.SnrDb(), 40.0);
}

TEST_F(AiTest, UpSamplingPast2048PointsFailsAndGivesTheFrameBack) {
    Start(0, Attr(8000, 400), 1, 8);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 1, 48000), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        Feed(0, 1, 400, i);
        AUDIO_FRAME_S f{};
        EXPECT_EQ(MK_MPI_AI_GetFrame(0, 1, &f, nullptr, -1), MK_FAILURE);
        EXPECT_EQ(Drv()->HeldBlocks(), 0u);
        EXPECT_EQ(Drv()->Channel(0, 1).queued, 0u);
    }
}

TEST_F(AiTest, ResamplingIsCheckedBeforeItStarts) {
    Start(0, Attr(16000, 320, AUDIO_BIT_WIDTH_16, false, 2), 1);
    Start(1, Attr(8000, 160, AUDIO_BIT_WIDTH_16, true), 0);
    Start(2, Attr(64000, 640), 0);
    AUDIO_FRAME_S f{};
    struct Case {
        MK_S32 dev, chn;
        MK_U32 rate;
        MK_S32 want;
    } const cases[] = {
        {0, 1, 16000, kErrNotPerm},  // the device's own rate
        {0, 1, 17000, kErrParam},   {0, 0, 8000, kErrNotEnabled}, {1, 0, 16000, kErrParam},  // stereo
        {2, 0, 8000, kErrNotPerm},                             // 64 kHz devices do not resample
        {0, 1, 8000, MK_SUCCESS},   {0, 1, 8000, MK_SUCCESS},  // again, same rate
        {0, 1, 48000, kErrNotPerm},                            // again, another rate
    };
    for (const Case& c : cases)
        EXPECT_EQ(MK_MPI_AI_EnableReSmp(c.dev, c.chn, c.rate), c.want) << c.dev << " " << c.rate;
    (void)f;
    ASSERT_EQ(MK_MPI_AI_DisableReSmp(0, 1), MK_SUCCESS);
    EXPECT_EQ(Drv()->Channel(0, 1).resmp.bReSmpEnable, 0u);
    EXPECT_EQ(MK_MPI_AI_DisableReSmp(0, 0), kErrNotEnabled);
}

TEST_F(AiTest, SwitchingResamplingOffWaitsForResampledFramesAndRefusesNewOnes) {
    Start(0, Attr(8000, 160), 0, 8);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 0, 16000), MK_SUCCESS);
    const MK_S32 pool = g_astVqeState[0][0].s32ResmpPoolId;
    AUDIO_FRAME_S held[2]{};
    for (AUDIO_FRAME_S& h : held) {
        Feed(0, 0, 160, 1);
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 0, &h, nullptr, -1), MK_SUCCESS);
    }
    // A getter waits in the driver while resampling goes off.
    std::atomic<MK_S32> got{1};
    std::thread getter([&] {
        AUDIO_FRAME_S f{};
        got = MK_MPI_AI_GetFrame(0, 0, &f, nullptr, -1);
    });
    ASSERT_TRUE(WaitFor([] { return Drv()->Channel(0, 0).waiters == 1; }));
    std::atomic<bool> done{false};
    std::thread disabler([&] {
        EXPECT_EQ(MK_MPI_AI_DisableReSmp(0, 0), MK_SUCCESS);
        done = true;
    });
    AUDIO_FRAME_S probe{};
    ASSERT_TRUE(WaitFor([&] { return MK_MPI_AI_GetFrame(0, 0, &probe, nullptr, 0) == kErrNotSupport; }));
    // The waiting getter's frame arrives now: it must not come out while resampling is going off.
    Feed(0, 0, 160, 2);
    getter.join();
    EXPECT_EQ(got.load(), kErrNotSupport);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(Drv()->HeldBlocks(), 0u) << "the getter's frame went back";
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &held[0], nullptr), MK_SUCCESS);
    EXPECT_FALSE(done.load()) << "one resampled frame is still out";
    EXPECT_TRUE(drivers::VbPools::Instance().Pool(pool).has_value());
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &held[1], nullptr), MK_SUCCESS);
    disabler.join();
    EXPECT_FALSE(drivers::VbPools::Instance().Pool(pool).has_value());
    Feed(0, 0, 160, 3);
    AUDIO_FRAME_S f{};
    ASSERT_EQ(MK_MPI_AI_GetFrame(0, 0, &f, nullptr, 0), MK_SUCCESS);
    EXPECT_EQ(f.u32Len, 320u);
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &f, nullptr), MK_SUCCESS);
}

TEST_F(AiTest, ARefusedReleaseWhileUpSamplingGivesTheBlockBack) {
    Start(0, Attr(8000, 160), 2, 8);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 2, 32000), MK_SUCCESS);
    const MK_S32 pool = g_astVqeState[0][2].s32ResmpPoolId;
    Feed(0, 2, 160, 1);
    Drv()->FailRequest(MK_AI_IOC_RELEASE_FRAME, static_cast<int>(0xA0158077));
    AUDIO_FRAME_S f{};
    EXPECT_EQ(MK_MPI_AI_GetFrame(0, 2, &f, nullptr, 0), static_cast<MK_S32>(0xA0158077));
    EXPECT_EQ(drivers::VbPools::Instance().Pool(pool)->freeBlocks, 10u);
    EXPECT_EQ(Drv()->HeldBlocks(), 0u) << "the frame went back on the second try";
    Feed(0, 2, 160, 2);
    ASSERT_EQ(MK_MPI_AI_GetFrame(0, 2, &f, nullptr, -1), MK_SUCCESS);
    EXPECT_EQ(f.u32Len, 640u * 2);
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &f, nullptr), MK_SUCCESS);
}

// A switch-off that cannot drop the resampling pool (a block still out, as a bound encoder holds one,
// or the pool's destruction refused) is refused with resampling left running, and both the switch-off
// and the channel's disable go through when tried again.
TEST_F(AiTest, ARefusedSwitchOffLeavesResamplingRunningAndIsTriedAgain) {
    Start(0, Attr(8000, 160), 3, 8);
    auto vb = varnelle::dev::Registry::Get<drivers::VbDriver>("/dev/vb");
    for (const bool hold : {true, false}) {
        ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 3, 16000), MK_SUCCESS);
        const MK_S32 pool = g_astVqeState[0][3].s32ResmpPoolId;
        VB_BLK blk = VB_INVALID_HANDLE;
        if (hold) {
            blk = MK_MPI_VB_GetBlockEx(static_cast<VB_POOL>(pool), 8192, nullptr);
            ASSERT_NE(blk, VB_INVALID_HANDLE);
        } else {
            vb->FailRequest(VB_IOC_DESTROY_POOL_EX, static_cast<int>(0xA0018012));
        }
        EXPECT_EQ(MK_MPI_AI_DisableReSmp(0, 3), kErrBusy) << hold;
        if (hold) {
            EXPECT_EQ(MK_MPI_AI_DisableChn(0, 3), kErrBusy);
        }
        Feed(0, 3, 160, 1);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, nullptr, 0), MK_SUCCESS) << hold;
        EXPECT_EQ(f.u32Len, 640u) << "still up-sampled";
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 3, &f, nullptr), MK_SUCCESS);
        if (hold) {
            ASSERT_EQ(MK_MPI_VB_ReleaseBlockEx(blk), MK_SUCCESS);
        }
        EXPECT_EQ(MK_MPI_AI_DisableReSmp(0, 3), MK_SUCCESS) << hold;
        EXPECT_FALSE(drivers::VbPools::Instance().Pool(pool).has_value());
        ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 3, 16000), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_DisableChn(0, 3), MK_SUCCESS) << hold;
        ASSERT_EQ(MK_MPI_AI_EnableChn(0, 3), MK_SUCCESS);
    }
}

// Resampling and processing switched on and off while the channel goes down and up: whichever wins,
// a disabled channel keeps no instance, no resampling pool and no echo cancelling in the driver.
TEST_F(AiTest, SwitchesRacingDisableLeaveADisabledChannelBare) {
    Start(0, Attr(8000, 160), 1, 4);
    const size_t pools = drivers::VbPools::Instance().PoolIds().size();
    std::atomic<bool> stop{false};
    std::atomic<int> loops{0};
    std::thread switcher([&] {
        AI_VQE_CONFIG_S a = HpfOnly();
        a.bAecOpen = 1;
        for (; !stop; ++loops) {
            MK_MPI_AI_SetVqeAttr(0, 1, 0, 0, &a);
            MK_MPI_AI_EnableReSmp(0, 1, 16000);
            MK_MPI_AI_EnableVqe(0, 1);
            MK_MPI_AI_DisableVqe(0, 1);
            MK_MPI_AI_DisableReSmp(0, 1);
            MK_MPI_AI_EnableVqe(0, 1);
        }
    });
    // Bounded by the switcher's rounds, each a few milliseconds of instances and pools made.
    for (int round = 0; loops < 1000; ++round) {
        ASSERT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS) << round;
        {
            std::lock_guard<std::mutex> lock(g_astVqeState[0][1].mutex);
            ASSERT_EQ(g_astVqeState[0][1].hVqe, nullptr) << round;
            ASSERT_EQ(g_astVqeState[0][1].s32ResmpPoolId, -1) << round;
        }
        ASSERT_EQ(drivers::VbPools::Instance().PoolIds().size(), pools) << round;
        ASSERT_FALSE(Drv()->Channel(0, 1).aec) << round;
        ASSERT_EQ(MK_MPI_AI_EnableChn(0, 1), MK_SUCCESS) << round;
    }
    stop = true;
    switcher.join();
}

// ---- What the modules do to a signal ----

// White noise at `levelDb` (dBFS of its mean square, as a sine's).
std::vector<int16_t> Noise(size_t n, double levelDb, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> d(0.0, 32768.0 * std::pow(10.0, levelDb / 20.0) / std::sqrt(2.0));
    std::vector<int16_t> v(n);
    for (int16_t& x : v) x = static_cast<int16_t>(std::clamp(std::lround(d(gen)), -32768l, 32767l));
    return v;
}

// A made signal through the frames an 8 kHz input channel hands out, processing on.
class AiSignalTest : public AiTest {
protected:
    void SetUp() override {
        AiTest::SetUp();
        const AIO_ATTR_S attr = Attr(8000, 160);
        ASSERT_EQ(MK_MPI_AI_SetPubAttr(0, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    }
    // `in` through channel 0 with `a` on, each frame with its slice of `far` as echo reference when
    // given; the stream handed out.
    std::vector<int16_t> Through(const AI_VQE_CONFIG_S& a, const std::vector<int16_t>& in,
                                 const std::vector<int16_t>& far = {}) {
        std::vector<int16_t> out;
        AI_CHN_PARAM_S param{4};
        EXPECT_EQ(MK_MPI_AI_EnableChn(0, 0), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_AI_SetChnParam(0, 0, &param), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS);
        for (size_t pos = 0; pos + 160 <= in.size(); pos += 160) {
            drivers::AiInjectFrame inj;
            inj.track0 = Bytes(std::vector<int16_t>(in.begin() + pos, in.begin() + pos + 160));
            inj.timeStamp = 1000 + pos;
            if (!far.empty()) {
                inj.withRef = true;
                inj.ref = Bytes(std::vector<int16_t>(far.begin() + pos, far.begin() + pos + 160));
            }
            EXPECT_EQ(Drv()->Inject(0, 0, inj), 0);
            AUDIO_FRAME_S f{};
            AEC_FRAME_S aec{};
            if (MK_MPI_AI_GetFrame(0, 0, &f, &aec, 0) != MK_SUCCESS) {
                ADD_FAILURE() << "no frame at " << pos;
                break;
            }
            const std::vector<int16_t> s = Samples(f);
            out.insert(out.end(), s.begin(), s.end());
            EXPECT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &f, &aec), MK_SUCCESS);
        }
        EXPECT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
        return out;
    }
};

using varnelle::audiotest::FitTone;
using varnelle::audiotest::LevelDb;
using varnelle::audiotest::Tone;

// Noise reduction on white noise that a tone joins halfway: the noise alone comes out well down, the
// tone keeps its level.
TEST_F(AiSignalTest, NoiseReductionLowersNoiseAndKeepsATone) {
    constexpr size_t kN = 8000 * 4;
    std::vector<int16_t> in = Noise(kN, -35.0, 7);
    const std::vector<int16_t> tone = Tone(kN, 8000, 1000.0, -20.0);
    for (size_t t = kN / 2; t < kN; ++t) in[t] = static_cast<int16_t>(in[t] + tone[t]);
    AI_VQE_CONFIG_S a{};
    a.bAnrOpen = 1;
    a.s32WorkSampleRate = 8000;
    a.s32FrameSample = 80;
    const std::vector<int16_t> out = Through(a, in);
    ASSERT_EQ(out.size(), kN);
    const size_t from = kN / 4, to = kN / 2 - 800;  // settled noise, before the tone and its delay
    const double cut = LevelDb(in.data() + from, to - from) - LevelDb(out.data() + from, to - from);
    const auto fit = FitTone(out, kN * 5 / 8, kN, 8000, 1000.0);
    EXPECT_GE(cut, 8.0);
    EXPECT_NEAR(fit.LevelDb(), -20.0, 1.0);
}

// Gain control brings a quiet tone to its target, no further than its largest gain allows.
TEST_F(AiSignalTest, GainControlBringsAToneToItsTargetWithinItsLargestGain) {
    struct Case {
        double inDb;
        MK_S8 target, maxGain;
        double wantDb;
    } const cases[] = {{-35.0, -10, 30, -10.0}, {-35.0, -10, 10, -25.0}, {-20.0, -30, 10, -30.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inDb);
        AI_VQE_CONFIG_S a{};
        a.bAgcOpen = 1;
        a.s32WorkSampleRate = 8000;
        a.s32FrameSample = 80;
        a.stAgcCfg.bUsrMode = 1;
        a.stAgcCfg.s8TargetLevel = c.target;
        a.stAgcCfg.s8NoiseFloor = -65;
        a.stAgcCfg.s8MaxGain = c.maxGain;
        a.stAgcCfg.s8AdjustSpeed = 10;
        const std::vector<int16_t> out = Through(a, Tone(8000 * 3, 8000, 500.0, c.inDb));
        const auto fit = FitTone(out, out.size() * 2 / 3, out.size(), 8000, 500.0);
        EXPECT_NEAR(fit.LevelDb(), c.wantDb, 2.0) << "target " << int{c.target} << " gain " << int{c.maxGain};
        EXPECT_NEAR(fit.freq, 500.0, 0.5);
    }
}

// Echo cancelling: the near end holds only an echo of the reference (delayed, filtered, quieter);
// once converged it comes out far below its level.
TEST_F(AiSignalTest, EchoCancellingRemovesAnEchoOfTheReference) {
    constexpr size_t kN = 8000 * 4;
    std::vector<int16_t> far(kN);
    varnelle::voice::SpeechLike(far.data(), static_cast<int>(kN), 0.8, 11, 8000.0);
    std::vector<int16_t> near(kN, 0);
    for (size_t t = 25; t < kN; ++t) near[t] = static_cast<int16_t>(0.4 * far[t - 24] + 0.2 * far[t - 25]);
    AI_VQE_CONFIG_S a{};
    a.bAecOpen = 1;
    a.s32WorkSampleRate = 8000;
    a.s32FrameSample = 80;
    const std::vector<int16_t> out = Through(a, near, far);
    ASSERT_EQ(out.size(), kN);
    const size_t from = kN / 2;
    const double erle = LevelDb(near.data() + from, kN - from) - LevelDb(out.data() + from, kN - from);
    EXPECT_GE(erle, 20.0);
}

// ---- Tear-down ----

TEST_F(AiTest, ARefusalDuringDisableStillTakesTheChannelDown) {
    Start(0, Attr(8000, 160), 0, 4);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
    for (const unsigned long request : {MK_AI_IOC_AEC_OFF, MK_AI_IOC_DISABLE_CHN}) {
        ASSERT_EQ(MK_MPI_AI_EnableChn(0, 0), MK_SUCCESS);
        AI_VQE_CONFIG_S a = HpfOnly();
        ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 0), MK_SUCCESS);
        Drv()->FailRequest(request, static_cast<int>(0xA0158066));
        EXPECT_EQ(MK_MPI_AI_DisableChn(0, 0), static_cast<MK_S32>(0xA0158066));
        EXPECT_EQ(g_astVqeState[0][0].hVqe, nullptr);
        EXPECT_EQ(Drv()->Channel(0, 0).vqe.au32Word[11], 48001u) << "status of a channel without processing";
        AUDIO_FRAME_S f{};
        EXPECT_EQ(MK_MPI_AI_GetFrame(0, 0, &f, nullptr, 0), kErrNotEnabled);
        Drv()->ResetCounters();
        EXPECT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
        EXPECT_EQ(Drv()->RequestCount(MK_AI_IOC_DISABLE_CHN), 0) << "nothing left to undo";
        EXPECT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), kErrNotEnabled);
    }
}

TEST_F(AiTest, ExitGivesBackWhatTheChannelsHold) {
    Start(0, Attr(8000, 160), 0, 4);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 0, 16000), MK_SUCCESS);
    AI_VQE_CONFIG_S a = HpfOnly();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 0, 0, 0, &a), MK_SUCCESS);
    const MK_S32 resmp = g_astVqeState[0][0].s32ResmpPoolId;
    const int device = Drv()->Device(0).pool;
    const MK_U32 phys = drivers::VbPools::Instance().Pool(device)->phys;
    ASSERT_EQ(MPI_AI_Exit(), MK_SUCCESS);
    EXPECT_FALSE(drivers::VbPools::Instance().Pool(resmp).has_value());
    MK_VOID* vir = nullptr;
    EXPECT_NE(MK_MPI_VB_GetBlkVirAddrEx(device, phys, &vir), MK_SUCCESS) << "device pool unmapped";
    EXPECT_EQ(g_astVqeState[0][0].hVqe, nullptr);
    ASSERT_EQ(MPI_AI_Exit(), MK_SUCCESS);
    ASSERT_EQ(MPI_AI_Init(), MK_SUCCESS);
    drivers::ResetMediaState();
    Start(0, Attr(8000, 160), 0, 4);
    ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 0, 16000), MK_SUCCESS);
}

// ---- Dump files ----

class AiDumpTest : public AiTest {
protected:
    void SetUp() override {
        AiTest::SetUp();
        char tmpl[] = "ai_dump_XXXXXX";  // in the test's working folder
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = std::filesystem::absolute(tmpl).string();
    }
    void TearDown() override {
        std::filesystem::remove_all(m_dir);
        AiTest::TearDown();
    }
    std::vector<uint8_t> Read(const std::string& name) {
        std::ifstream f(m_dir + "/" + name, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    std::string m_dir;
};

TEST_F(AiDumpTest, FilesHoldTheFramesUntilTheLimitAndThenStop) {
    Start(0, Attr(8000, 160), 1, 8);
    AI_VQE_CONFIG_S a = HpfOnly();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 1, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 1), MK_SUCCESS);
    AUDIO_SAVE_FILE_INFO_S cfg{};
    cfg.bCfg = MK_TRUE;
    std::snprintf(cfg.aFilePath, sizeof(cfg.aFilePath), "%s", m_dir.c_str());
    std::snprintf(cfg.aFileName, sizeof(cfg.aFileName), "t");
    cfg.u32FileSize = 1;
    ASSERT_EQ(MK_MPI_AI_SaveFile(0, 1, &cfg), MK_SUCCESS);
    MK_U32 status = 0;
    ASSERT_EQ(MK_MPI_AI_QueryFileStatus(0, 1, &status), MK_SUCCESS);
    EXPECT_EQ(status, 1u);
    std::vector<uint8_t> in, out;
    for (int i = 0; i < 6; ++i) {
        const std::vector<int16_t> s = Feed(0, 1, 160, 70 + i);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 1, &f, nullptr, 0), MK_SUCCESS);
        if (i < 4) {  // 4 x 320 bytes reach the 1 KB limit
            const std::vector<uint8_t> b = Bytes(s);
            in.insert(in.end(), b.begin(), b.end());
            const auto* p = static_cast<const uint8_t*>(f.pVirAddr[0]);
            out.insert(out.end(), p, p + f.u32Len);
        }
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 1, &f, nullptr), MK_SUCCESS);
    }
    ASSERT_EQ(MK_MPI_AI_QueryFileStatus(0, 1, &status), MK_SUCCESS);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Read("Sin_AiDev0_Chn1_8K_t.pcm"), in);
    EXPECT_EQ(Read("Sou_AiDev0_Chn1_8K_t.pcm"), out);
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/Rin_AiDev0_Chn1_8K_t.pcm"));
    EXPECT_EQ(pfdAiIn[1], nullptr);
}

TEST_F(AiDumpTest, AnEightBitInputIsDumpedWhole) {
    Start(1, Attr(8000, 160, AUDIO_BIT_WIDTH_8), 0, 8);
    AI_VQE_CONFIG_S a = HpfOnly();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(1, 0, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(1, 0), MK_SUCCESS);
    AUDIO_SAVE_FILE_INFO_S cfg{};
    cfg.bCfg = MK_TRUE;
    std::snprintf(cfg.aFilePath, sizeof(cfg.aFilePath), "%s", m_dir.c_str());
    std::snprintf(cfg.aFileName, sizeof(cfg.aFileName), "w");
    cfg.u32FileSize = 64;
    ASSERT_EQ(MK_MPI_AI_SaveFile(1, 0, &cfg), MK_SUCCESS);
    std::vector<uint8_t> widened;
    for (int i = 0; i < 3; ++i) {
        drivers::AiInjectFrame inj;
        for (int k = 0; k < 160; ++k) {
            const uint8_t b = static_cast<uint8_t>(k * 5 + i);
            inj.track0.push_back(b);
            widened.push_back(0);  // the sample b << 8, little-endian
            widened.push_back(b);
        }
        ASSERT_EQ(Drv()->Inject(1, 0, inj), 0);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(1, 0, &f, nullptr, 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 0, &f, nullptr), MK_SUCCESS);
    }
    ASSERT_EQ(MK_MPI_AI_DisableChn(1, 0), MK_SUCCESS);  // closes the files
    EXPECT_EQ(Read("Sin_AiDev1_Chn0_8K_w.pcm"), widened) << "every widened sample, not the first half";
}

TEST_F(AiDumpTest, UnterminatedNamesAreReadOnlyToTheirFieldsEnd) {
    Start(0, Attr(8000, 160), 1, 8);
    AI_VQE_CONFIG_S a = HpfOnly();
    ASSERT_EQ(MK_MPI_AI_SetVqeAttr(0, 1, 0, 0, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableVqe(0, 1), MK_SUCCESS);
    AUDIO_SAVE_FILE_INFO_S cfg{};
    cfg.bCfg = MK_TRUE;
    // The folder, then 'x' to the end of the field and 'y' all through the name: no terminator.
    std::memset(cfg.aFilePath, 'x', sizeof(cfg.aFilePath));
    std::memcpy(cfg.aFilePath, (m_dir + "/").data(), m_dir.size() + 1);
    std::memset(cfg.aFileName, 'y', sizeof(cfg.aFileName));
    cfg.u32FileSize = 0x00400000;  // 4 GiB: a limit past 32 bits
    ASSERT_EQ(MK_MPI_AI_SaveFile(0, 1, &cfg), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        Feed(0, 1, 160, 1);
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 1, &f, nullptr, 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 1, &f, nullptr), MK_SUCCESS);
    }
    MK_U32 status = 0;
    ASSERT_EQ(MK_MPI_AI_QueryFileStatus(0, 1, &status), MK_SUCCESS);
    EXPECT_EQ(status, 1u) << "far from the limit";
    // Each name was cut to 255 characters inside the folder.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_dir)) {
        const std::string name = e.path().string();
        EXPECT_EQ(name.size(), 255u);
        EXPECT_EQ(name.back(), 'x');
        ++files;
    }
    EXPECT_EQ(files, 1) << "all three names cut to the same";
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS);
    EXPECT_EQ(pfdAiIn[1], nullptr);
}

}  // namespace
}  // namespace ai_test
