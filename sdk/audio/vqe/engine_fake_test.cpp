// The engines over stand-in modules: which modules load, in what order, with which mode words, rate and
// blocks; what a failing init, a missing library and a missing table do; and audio output keeping its
// instance when a rebuild fails.
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "sdk/audio/ao/internal/ao_state.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/audio/vqe/audio_module.h"
#include "sdk/audio/vqe/dnvqe.h"
#include "sdk/audio/vqe/upvqe.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

struct Event {
    std::string module, event;
    int a, b, c;
    const void* param;
};
std::mutex g_mutex;
std::vector<Event> g_events;

std::vector<Event> Take() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Event> e;
    e.swap(g_events);
    return e;
}

std::vector<std::string> Names(const std::vector<Event>& events, const std::string& kind) {
    std::vector<std::string> v;
    for (const Event& e : events) {
        if (e.event == kind) v.push_back(e.module);
    }
    return v;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void FakeVqeEvent(const char* module, const char* event, int a,
                                                                     int b, int c, const void* param) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(Event{module, event, a, b, c, param});
}

namespace {

DNVQE_CONFIG_S Dn(int rate, int frame) {
    DNVQE_CONFIG_S c{};
    c.s32InSampleRate = c.s32OutSampleRate = c.s32WorkSampleRate = rate;
    c.s32FrameSample = frame;
    c.enWorkstate = 2;
    return c;
}

class EngineFakeTest : public ::testing::Test {
protected:
    void SetUp() override { Take(); }
    void TearDown() override { EXPECT_EQ(AUDIO_LoadedModuleCount(), 0); }
};

TEST_F(EngineFakeTest, PlaybackChainLoadsInOrderWithItsModeWordsRateAndBlocks) {
    DNVQE_CONFIG_S c = Dn(16000, 1000);
    c.bHpfOpen = c.bAnrOpen = c.bAgcOpen = c.bEqOpen = c.bMbcOpen = 1;
    MK_VOID* h = nullptr;
    ASSERT_EQ(MK_DNVQE_Create(&h, &c), 0);
    EXPECT_EQ(MK_DNVQE_GetFrameSample(h), 160);
    auto events = Take();
    EXPECT_EQ(Names(events, "init"), (std::vector<std::string>{"HPF", "ANR", "AGC", "EQ", "MBC"}));
    for (const Event& e : events) {
        EXPECT_EQ(e.a, 16000) << e.module;
        const int modeA = e.module == "EQ" ? 1 : 0;
        const int modeB = e.module == "AGC" ? 1 : 0;
        EXPECT_EQ(e.b, modeA) << e.module;
        EXPECT_EQ(e.c, modeB) << e.module;
    }
    std::vector<MK_S16> in(320, 0), out(320, -1);
    ASSERT_EQ(MK_DNVQE_WriteFrame(h, in.data(), 320), 0);
    ASSERT_EQ(MK_DNVQE_ReadFrame(h, out.data(), 320, 1), 320);
    for (MK_S16 v : out) ASSERT_EQ(v, 1 + 10 + 100 + 1000 + 3);  // every module ran once on every sample
    events = Take();
    EXPECT_EQ(Names(events, "process").size(), 10u);
    for (const Event& e : events) EXPECT_EQ(e.a, 320) << "blocks of F samples";
    MK_DNVQE_Destroy(h);
}

TEST_F(EngineFakeTest, CompressorAloneKeepsTheConfiguredFrameAndAgcWithoutEqGetsModeZero) {
    DNVQE_CONFIG_S c = Dn(8000, 81);
    c.bMbcOpen = 1;
    MK_VOID* h = nullptr;
    ASSERT_EQ(MK_DNVQE_Create(&h, &c), 0);
    EXPECT_EQ(MK_DNVQE_GetFrameSample(h), 81);
    MK_DNVQE_Destroy(h);
    Take();
    c = Dn(48000, 100);
    c.bAgcOpen = 1;
    ASSERT_EQ(MK_DNVQE_Create(&h, &c), 0);
    EXPECT_EQ(MK_DNVQE_GetFrameSample(h), 480);
    auto events = Take();
    MK_DNVQE_Destroy(h);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].c, 0);
}

TEST_F(EngineFakeTest, FailingInitMissingLibraryAndMissingTableCreateNothing) {
    DNVQE_CONFIG_S c = Dn(8000, 80);
    c.bHpfOpen = c.bAgcOpen = 1;
    c.stHpfCfg = {1, 150};
    MK_VOID* h = reinterpret_cast<MK_VOID*>(1);
    EXPECT_EQ(MK_DNVQE_Create(&h, &c), 0x1234);
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
    UPVQE_CONFIG_S u{};
    u.s32InSampleRate = u.s32OutSampleRate = u.s32WorkSampleRate = 8000;
    u.s32FrameSample = 80;
    u.s32ChnNum = u.s32OutChnNum = 1;
    u.s32Mode = 1;
    u.bAgcOpen = u.bRnrOpen = 1;  // no RNR library among the stand-ins
    EXPECT_EQ(MK_UPVQE_Create(&h, &u), static_cast<MK_S32>(0xA1350009));
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
    u.bRnrOpen = 0;
    u.bDrcOpen = 1;  // its library has no table
    EXPECT_EQ(MK_UPVQE_Create(&h, &u), static_cast<MK_S32>(0xA1350009));
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
    AUDIO_MODULE_S m{};
    EXPECT_EQ(AUDIO_LoadModule(&m, VQE_MODULE_PREFIX, "RNR"), -1);
    EXPECT_EQ(AUDIO_LoadModule(&m, VQE_MODULE_PREFIX, "DRC"), -1);
    EXPECT_EQ(m.pLibHandle, nullptr);
}

TEST_F(EngineFakeTest, RecordChainsOrderAndTheRecordModuleForTwoChannels) {
    UPVQE_CONFIG_S u{};
    u.s32InSampleRate = u.s32OutSampleRate = u.s32WorkSampleRate = 16000;
    u.s32FrameSample = 4000;
    u.s32ChnNum = u.s32OutChnNum = 1;
    u.s32Mode = 1;  // talk
    u.bHdrOpen = u.bAecOpen = u.bHpfOpen = u.bAnrOpen = u.bAgcOpen = u.bEqOpen = 1;
    MK_VOID* h = nullptr;
    ASSERT_EQ(MK_UPVQE_Create(&h, &u), 0);
    EXPECT_EQ(MK_UPVQE_GetFrameSample(h), 320);  // HDR doubles the frame
    EXPECT_EQ(Names(Take(), "init"), (std::vector<std::string>{"HDR", "AEC", "HPF", "ANR", "AGC", "EQ"}));
    std::vector<MK_S16> in(320, 0), ref(320, 0), out(320);
    UPVQE_FRAME_S w{320, in.data(), ref.data()};
    ASSERT_EQ(MK_UPVQE_WriteFrame(h, &w), 0);
    auto events = Take();
    ASSERT_FALSE(Names(events, "process").empty());
    for (const Event& e : events) {
        if (e.event == "process") {
            EXPECT_EQ(e.c, 1) << e.module << " gets the echo reference";
        }
    }
    ASSERT_EQ(MK_UPVQE_SetVolume(h, 6), 0);  // loads GAIN behind the others
    EXPECT_EQ(Names(Take(), "init"), (std::vector<std::string>{"GAIN"}));
    MK_S32 vol = 0;
    ASSERT_EQ(MK_UPVQE_GetVolume(h, &vol), 0);
    EXPECT_EQ(vol, 6);
    MK_UPVQE_Destroy(h);

    UPVQE_CONFIG_S r{};
    r.s32InSampleRate = r.s32OutSampleRate = r.s32WorkSampleRate = 8000;
    r.s32FrameSample = 80;
    r.s32ChnNum = r.s32OutChnNum = 2;
    r.s32Mode = UPVQE_MODE_RECORD;
    r.bHpfOpen = 1;
    ASSERT_EQ(MK_UPVQE_Create(&h, &r), 0);
    EXPECT_EQ(MK_UPVQE_GetFrameSample(h), 480);
    events = Take();
    ASSERT_EQ(Names(events, "init"), (std::vector<std::string>{"record"}));
    auto* block = static_cast<const VQE_RECORD_CONFIG_S*>(events[0].param);
    EXPECT_EQ(block->bHpfOpen, 1u);
    EXPECT_EQ(block->s32InChnNum, 2);
    std::vector<MK_S16> a(960, 0), b(960, 0), oa(960), ob(960);
    UPVQE_FRAME_S w2{960, a.data(), b.data()};
    ASSERT_EQ(MK_UPVQE_WriteFrame(h, &w2), 0);
    UPVQE_FRAME_S rd{960, oa.data(), ob.data()};
    ASSERT_EQ(MK_UPVQE_ReadFrame(h, &rd, 1), 960);
    EXPECT_EQ(oa[0], 30);
    EXPECT_EQ(ob[959], 60);
    UPVQE_FRAME_S noR{960, oa.data(), nullptr};
    EXPECT_EQ(MK_UPVQE_ReadFrame(h, &noR, 1), static_cast<MK_S32>(0xA1350002));
    MK_UPVQE_Destroy(h);
}

class AoFakeTest : public EngineFakeTest {};

TEST_F(AoFakeTest, FailedRebuildLeavesTheOldInstancePlaying) {
    auto drv = varnelle::drivers::AoDriver::Get();
    drv->Reset();
    drv->HoldClock(true);
    ASSERT_EQ(MPI_AO_Init(), 0);
    AIO_ATTR_S a{};
    a.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    a.enBitwidth = AUDIO_BIT_WIDTH_16;
    a.u32PtNumPerFrm = 80;
    a.u32FrameCount = 8;
    a.u32ChnCount = 2;
    ASSERT_EQ(MK_MPI_AO_SetPubAttr(0, &a), 0);
    ASSERT_EQ(MK_MPI_AO_Enable(0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 1), 0);
    AO_VQE_ATTR_S v{};
    v.bHpfOpen = 1;
    v.s32WorkSampleRate = 8000;
    v.s32FrameSample = 80;
    ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, 1, &v), 0);
    ASSERT_EQ(MK_MPI_AO_EnableVqe(0, 1), 0);
    drv->RecordPlayed(true);
    void* before = mk::ao::Module().ctx[1].hVqe;
    AO_MBC_ATTR_S m{};
    m.bEnable = 1;
    m.u32SampleRate = 8000;
    m.u32FrameLen = 160;
    m.stMbcParam.u32BandNum = 5;  // the stand-in compressor refuses to start with this
    EXPECT_EQ(MK_MPI_AO_EnableMBC(0, 1, &m), static_cast<MK_S32>(0xA0168041));
    EXPECT_EQ(mk::ao::Module().ctx[1].hVqe, before);
    EXPECT_EQ(mk::ao::Module().ctx[1].bMbcEnabled, 0u);
    std::vector<MK_S16> s(80, 0);
    AUDIO_FRAME_S f{};
    f.enBitwidth = AUDIO_BIT_WIDTH_16;
    f.pVirAddr[0] = s.data();
    f.u32Len = 160;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(MK_MPI_AO_SendFrame(0, 1, &f, 0), 0);
    drv->Tick(30000);
    const auto played = drv->Channel(1).played[0];
    ASSERT_EQ(played.size(), 320u);
    for (size_t i = 0; i < played.size(); i += 2) {
        ASSERT_EQ(played[i] | (played[i + 1] << 8), 1) << "the high-pass stand-in still runs";
    }
    drv->RecordPlayed(false);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 1), 0);
    ASSERT_EQ(MPI_AO_Exit(), 0);
    drv->HoldClock(false);
    drv->Reset();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vqefake", [] {
        varnelle::drivers::InstallAoDriver();
        varnelle::drivers::InstallMmzDriver();
        varnelle::drivers::InstallMemDriver();
    }));
    return RUN_ALL_TESTS();
}
