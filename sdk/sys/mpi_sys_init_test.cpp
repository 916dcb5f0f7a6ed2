#include "sdk/sys/mpi_sys_init.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/adec/adec_driver.h"
#include "platform/drivers/aenc/aenc_driver.h"
#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/mem/ram.h"
#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/testing/threads.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vdec/vdec_jpeg.h"

namespace {

namespace drivers = varnelle::drivers;
using varnelle::audiotest::WaitFor;

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("sysinit", [] {
        drivers::InstallSysDriver();
        drivers::InstallAiDriver();
        drivers::InstallAoDriver();
        drivers::InstallAencDriver();
        drivers::InstallAdecDriver();
        drivers::InstallVencDriver();
        drivers::InstallVdecDriver();
        drivers::InstallVbDriver();
        drivers::InstallMemDriver();
        drivers::InstallMmzDriver();
        varnelle::mem::Ram::Local();
    }));

std::shared_ptr<drivers::SysDriver> Sys() {
    return varnelle::dev::Registry::Get<drivers::SysDriver>("/dev/sys");
}
std::shared_ptr<drivers::MmzDriver> Mmz() {
    return varnelle::dev::Registry::Get<drivers::MmzDriver>("/dev/mmz_userdev");
}

// The JPEG decode channels' start and stop, counted: the last step of the start.
int g_jpegInits = 0;
int g_jpegExits = 0;
const VdecJpegOps kJpeg = {nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           [] { return ++g_jpegInits, MK_SUCCESS; },
                           [] { return ++g_jpegExits, MK_SUCCESS; }};

// Whether a module holds its role in the bind table: registering it again is refused then.
bool SenderHeld(MPP_MOD_ID mod) {
    BIND_SENDER_INFO_S info{mod, 1, 32, nullptr};
    const MK_S32 ret = SYS_BIND_RegisterSender(&info);
    if (ret == MK_SUCCESS) SYS_BIND_UnRegisterSender(mod);
    return ret == static_cast<MK_S32>(0xA0028009);
}

MK_S32 Ignore(MK_S32, MK_S32, MK_U32, MPP_DATA_TYPE_E, MK_VOID*) {
    return MK_SUCCESS;
}

bool ReceiverHeld(MPP_MOD_ID mod) {
    BIND_RECEIVER_INFO_S info{mod, 3, 20, Ignore, nullptr};
    const MK_S32 ret = SYS_BIND_RegisterReceiver(&info);
    if (ret == MK_SUCCESS) SYS_BIND_UnRegisterReceiver(mod);
    return ret == static_cast<MK_S32>(0xA0028009);
}

int ChannelThreads() {
    return varnelle::audiotest::ThreadCount({"aenc_get", "ADEC_DecProc", "ADEC_SendAoProc"});
}

class SysInitTest : public ::testing::Test {
protected:
    void SetUp() override {
        mk::audio::ClearFaults();
        Sys()->ClearFaults();
        MPI_VDEC_SetJpegOps(&kJpeg);
        g_jpegInits = g_jpegExits = 0;
    }
    void TearDown() override {
        MK_MPI_SYS_Exit();
        MPI_VDEC_SetJpegOps(nullptr);
        mk::audio::ClearFaults();
        Sys()->ClearFaults();
    }
};

TEST_F(SysInitTest, ExitBeforeAnyStartRunsEveryExitAndReturnsTheDriversAnswer) {
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);  // whatever an earlier test left
    const int exits = Sys()->RequestCount(MK_SYS_IOC_EXIT);
    Sys()->FailRequest(MK_SYS_IOC_EXIT, static_cast<int>(0xA0028077));
    EXPECT_EQ(MK_MPI_SYS_Exit(), static_cast<MK_S32>(0xA0028077));
    EXPECT_EQ(Sys()->RequestCount(MK_SYS_IOC_EXIT), exits + 1) << "the stop reaches the driver";
    EXPECT_EQ(g_jpegExits, 0) << "the decoder's exit does nothing while it is down";
    EXPECT_FALSE(ReceiverHeld(MK_ID_AO));
    EXPECT_FALSE(SenderHeld(MK_ID_ADEC));
}

TEST_F(SysInitTest, TheStartBringsEveryModuleUpAndTheStopTakesThemDown) {
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    for (MK_U32 timer : {1u, 0u}) {
        Sys()->SetKernelConfig(timer, 7);
        ASSERT_EQ(MK_MPI_SYS_Init(), MK_SUCCESS);
        EXPECT_TRUE(Sys()->IsUp());
        EXPECT_EQ(g_s32HRTimer, static_cast<MK_S32>(timer));
        EXPECT_TRUE(ReceiverHeld(MK_ID_AO));
        EXPECT_TRUE(SenderHeld(MK_ID_ADEC));
        AUDIO_ATTR_PLAIN_S plain{};
        const AENC_CHN_ATTR_S enc{PT_G711A, 320, 4, &plain};
        EXPECT_EQ(MK_MPI_AENC_CreateChn(0, &enc), MK_SUCCESS) << "the encoders are registered";
        const ADEC_CHN_ATTR_S dec{PT_G726, 4, ADEC_MODE_STREAM, &plain};
        EXPECT_EQ(MK_MPI_ADEC_CreateChn(0, &dec), MK_SUCCESS) << "the decoders are registered";
        EXPECT_EQ(g_jpegInits, 1);
        ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
        EXPECT_FALSE(Sys()->IsUp());
        EXPECT_FALSE(ReceiverHeld(MK_ID_AO));
        EXPECT_FALSE(SenderHeld(MK_ID_ADEC));
        EXPECT_EQ(g_jpegExits, 1);
        EXPECT_EQ(drivers::AencDriver::Get()->CreatedChannels(), 0);
        EXPECT_EQ(drivers::AdecDriver::Get()->CreatedChannels(), 0);
        EXPECT_TRUE(WaitFor([] { return ChannelThreads() == 0; }));
        g_jpegInits = g_jpegExits = 0;
    }
}

TEST_F(SysInitTest, AFailedKernelConfigurationReadStopsBeforeTheBindTable) {
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    EXPECT_EQ(MPI_SYS_GetKernelConfig(nullptr), static_cast<MK_S32>(0xA0028006));
    // A registration the bind table's start would clear.
    BIND_SENDER_INFO_S marker{MK_ID_VPSS, 1, 1, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterSender(&marker), MK_SUCCESS);
    Sys()->FailRequest(MK_SYS_IOC_GET_KERNEL_CONFIG, -1, 2);
    MK_SYS_KERNEL_CONFIG_S cfg{};
    EXPECT_EQ(MPI_SYS_GetKernelConfig(&cfg), static_cast<MK_S32>(0xA0028010));
    EXPECT_EQ(MK_MPI_SYS_Init(), MK_FAILURE);
    EXPECT_TRUE(SenderHeld(MK_ID_VPSS)) << "the bind table was not started";
    EXPECT_FALSE(ReceiverHeld(MK_ID_AO));
    EXPECT_EQ(g_jpegInits, 0);
    SYS_BIND_UnRegisterSender(MK_ID_VPSS);
}

TEST_F(SysInitTest, AFailedEncoderStartLeavesWhatCameBeforeItUp) {
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    mk::audio::ArmFault(mk::audio::Fault::kAencMutex);
    EXPECT_EQ(MK_MPI_SYS_Init(), MK_FAILURE);
    EXPECT_TRUE(ReceiverHeld(MK_ID_AO)) << "audio output came before";
    EXPECT_FALSE(SenderHeld(MK_ID_ADEC)) << "the decoder comes after";
    EXPECT_EQ(g_jpegInits, 0) << "neither video module started";
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_SYS_Init(), MK_SUCCESS);
    EXPECT_TRUE(SenderHeld(MK_ID_ADEC));
}

// Each set-up runs the stop, then the start: nothing builds up over many, and a decoder channel bound
// to an output channel plays through the bind table every time.
TEST_F(SysInitTest, StopStartCyclesLeakNothingAndDecodedAudioReachesTheOutput) {
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    const size_t blocks = Mmz()->BlockCount();
    auto ao = drivers::AoDriver::Get();
    ao->RecordPlayed(true);
    std::vector<int16_t> pcm(160 * 8);
    varnelle::voice::SpeechLike(pcm.data(), static_cast<int>(pcm.size()), 0.7, 3);
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_SYS_Init(), MK_SUCCESS);
        AIO_ATTR_S a{};
        a.enSampleRate = AUDIO_SAMPLE_RATE_8000;
        a.enBitwidth = AUDIO_BIT_WIDTH_16;
        a.u32FrameCount = 4;
        a.u32PtNumPerFrm = 160;
        a.u32ChnCount = 2;
        ASSERT_EQ(MK_MPI_AO_SetPubAttr(1, &a), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AO_Enable(1), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AO_EnableChn(1, 1), MK_SUCCESS);
        AUDIO_ATTR_PLAIN_S plain{};
        const ADEC_CHN_ATTR_S dec{PT_LPCM, 8, ADEC_MODE_PACK, &plain};
        ASSERT_EQ(MK_MPI_ADEC_CreateChn(2, &dec), MK_SUCCESS);
        const AENC_CHN_ATTR_S enc{PT_G711U, 160, 4, &plain};
        ASSERT_EQ(MK_MPI_AENC_CreateChn(3, &enc), MK_SUCCESS);  // left for the stop to take down
        MPP_CHN_S src{MK_ID_ADEC, 0, 2}, dst{MK_ID_AO, 1, 1};
        ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
        for (int i = 0; i < 8; ++i) {
            AUDIO_STREAM_S s{};
            s.pStream = reinterpret_cast<MK_U8*>(&pcm[160 * i]);
            s.u32Len = 320;
            ASSERT_EQ(MK_MPI_ADEC_SendStream(2, &s, 1), MK_SUCCESS);
        }
        // The output hands a frame on with the next one: all but the last reach the device.
        const size_t want = 7 * 320;
        ASSERT_TRUE(WaitFor([&] { return ao->Channel(AoChnIndex(1, 1)).played[0].size() >= want; }));
        const std::vector<uint8_t> played = ao->Channel(AoChnIndex(1, 1)).played[0];
        EXPECT_EQ(std::memcmp(played.data(), pcm.data(), want), 0);
    }
    ASSERT_EQ(MK_MPI_SYS_Exit(), MK_SUCCESS);
    ao->RecordPlayed(false);
    EXPECT_EQ(Mmz()->BlockCount(), blocks) << "zone blocks of channels left";
    EXPECT_TRUE(WaitFor([] { return ChannelThreads() == 0; }));
    EXPECT_EQ(drivers::AdecDriver::Get()->CreatedChannels(), 0);
    EXPECT_EQ(drivers::AencDriver::Get()->CreatedChannels(), 0);
    EXPECT_FALSE(ao->Channel(AoChnIndex(1, 1)).enabled);
}

}  // namespace
