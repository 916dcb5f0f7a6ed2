#include "sdk/hdmi/mpi_hdmi.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/hdmi/hdmi_driver.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::hdmi_view;

constexpr MK_S32 kBadId = static_cast<MK_S32>(0xA0288002u);
constexpr MK_S32 kNull = static_cast<MK_S32>(0xA0288003u);
constexpr MK_S32 kNotOpen = static_cast<MK_S32>(0xA0288004u);
constexpr MK_S32 kCsc = static_cast<MK_S32>(0xA028800Au);

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("hdmi", [] { drivers::InstallHdmiDriver(); }));

std::shared_ptr<dev::Driver> Drv() { return dev::Registry::Find("/dev/hdmi"); }

// Events the callback saw, with a wait for a given one.
struct Events {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<MK_U32> seen;
    std::vector<MK_VOID*> privs;

    static MK_VOID Callback(MK_U32 event, MK_VOID* priv) {
        Events* self = static_cast<Events*>(priv);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back(event);
        self->privs.push_back(priv);
        self->cv.notify_all();
    }
    bool WaitFor(MK_U32 event) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10),
                           [&] { return std::find(seen.begin(), seen.end(), event) != seen.end(); });
    }
};

class HdmiTest : public ::testing::Test {
protected:
    void SetUp() override {
        Drv()->ClearFaults();
        Drv()->ResetCounters();
    }
    void TearDown() override {
        MK_MPI_HDMI_Close(HDMI_ID_0);
        MK_MPI_HDMI_DeInit();
        drivers::ResetMediaState();
    }
    static MK_S32 InitWith(HDMI_CALLBACK cb, void* priv = nullptr, MK_U32 mode = 3) {
        HDMI_INIT_PARA_S p{cb, priv, mode};
        return MK_MPI_HDMI_Init(&p);
    }
};

// Every call that takes the HDMI id, with valid other arguments.
std::vector<std::pair<const char*, std::function<MK_S32(HDMI_ID_E)>>> IdCalls() {
    static HDMI_ATTR_S attr;
    static HDMI_SINK_CAPABILITY_S cap;
    static HDMI_INFOFRAME_S frame;
    static HDMI_CEC_CMD_S cmd;
    static HDMI_CEC_REQ_S cecReq;
    static HDMI_CEC_STATUS_S status;
    static HDMI_EDID_S edid;
    static HDMI_CSC_S csc;
    static MK_U32 word;
    return {
        {"Open", MK_MPI_HDMI_Open},
        {"Close", MK_MPI_HDMI_Close},
        {"Start", MK_MPI_HDMI_Start},
        {"Stop", MK_MPI_HDMI_Stop},
        {"GetSinkCapability", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetSinkCapability(id, &cap); }},
        {"GetAttr", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetAttr(id, &attr); }},
        {"SetAttr", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetAttr(id, &attr); }},
        {"GetInfoFrame", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetInfoFrame(id, 2, &frame); }},
        {"SetInfoFrame", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetInfoFrame(id, &frame); }},
        {"SetAVMute", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetAVMute(id, 1); }},
        {"GetDeepColor", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetDeepColor(id, &word); }},
        {"SetDeepColor", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetDeepColor(id, 1); }},
        {"SetxvYCCMode", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetxvYCCMode(id, 1); }},
        {"SetCECCommand", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetCECCommand(id, &cecReq); }},
        {"GetCECCommand", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetCECCommand(id, &cmd, 1); }},
        {"CECStatus", [](HDMI_ID_E id) { return MK_MPI_HDMI_CECStatus(id, &status); }},
        {"Force_GetEDID", [](HDMI_ID_E id) { return MK_MPI_HDMI_Force_GetEDID(id, &edid); }},
        {"PlayStus", [](HDMI_ID_E id) { return MK_MPI_HDMI_PlayStus(id, &word); }},
        {"CEC_Enable", MK_MPI_HDMI_CEC_Enable},
        {"CEC_Disable", MK_MPI_HDMI_CEC_Disable},
        {"SetParam", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetParam(id, &word); }},
        {"GetParam", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetParam(id, &word); }},
        {"SetCsc", [](HDMI_ID_E id) { return MK_MPI_HDMI_SetCsc(id, &csc); }},
        {"GetCsc", [](HDMI_ID_E id) { return MK_MPI_HDMI_GetCsc(id, &csc); }},
        {"AudioChange", [](HDMI_ID_E id) { return MK_MPI_HDMI_AudioChange(id, 0, 48000); }},
    };
}

TEST_F(HdmiTest, AnIdOtherThanZeroIsRefusedAndOpensNothing) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_HDMI_Open(1), kBadId);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("HdmiId 1 is invalid.\n"), std::string::npos);
    for (const auto& [name, call] : IdCalls()) {
        for (HDMI_ID_E id : {1u, 2u, 0xFFFFFFFFu}) EXPECT_EQ(call(id), kBadId) << name << " " << id;
    }
    EXPECT_EQ(Drv()->OpenCount(), 0);
    // Which of the pointer and the id is checked first.
    EXPECT_EQ(MK_MPI_HDMI_GetAttr(1, nullptr), kNull);
    EXPECT_EQ(MK_MPI_HDMI_SetAttr(1, nullptr), kBadId);
    EXPECT_EQ(MK_MPI_HDMI_SetParam(1, nullptr), kBadId);
    EXPECT_EQ(MK_MPI_HDMI_GetDeepColor(1, nullptr), kNull);
    EXPECT_EQ(MK_MPI_HDMI_SetCsc(1, nullptr), kBadId);
    EXPECT_EQ(MK_MPI_HDMI_Init(nullptr), kNull);
}

TEST_F(HdmiTest, CallsOnTheOutputNeedItOpen) {
    const int sent = Drv()->RequestCount(mk::hdmi::kGetAttr);
    ::testing::internal::CaptureStdout();
    HDMI_ATTR_S attr{};
    EXPECT_EQ(MK_MPI_HDMI_GetAttr(HDMI_ID_0, &attr), kNotOpen);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "HDMI not open!\n");
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kGetAttr), sent);
    for (const auto& [name, call] : IdCalls()) {
        const std::string n = name;
        if (n == "Open" || n == "SetCsc" || n == "GetCsc") continue;
        // Close and Stop of a closed output have nothing to do.
        const MK_S32 want = n == "Close" ? MK_SUCCESS : kNotOpen;
        EXPECT_EQ(call(HDMI_ID_0), want) << name;
    }
    EXPECT_EQ(MK_MPI_HDMI_Request17(1), kNotOpen);
    EXPECT_EQ(MK_MPI_HDMI_Request24(1), kNotOpen);
    EXPECT_EQ(MK_MPI_HDMI_SetCsc(HDMI_ID_0, nullptr), kNull);
    EXPECT_EQ(MK_MPI_HDMI_GetCsc(HDMI_ID_0, reinterpret_cast<HDMI_CSC_S*>(&attr)), kCsc);
}

TEST_F(HdmiTest, InitSendsItsRecordOnceAndKeepsTheDriversId) {
    ASSERT_EQ(InitWith(nullptr, nullptr, 9), MK_SUCCESS);
    auto s = view::Get();
    EXPECT_TRUE(s->initialised);
    EXPECT_EQ(s->mode, 9u);
    EXPECT_EQ(s->callbackId, 0u) << "no callback, id 0";
    EXPECT_EQ(InitWith(nullptr, nullptr, 5), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kInit), 1) << "a second init sends nothing";
    ASSERT_EQ(MK_MPI_HDMI_DeInit(), MK_SUCCESS);

    Events ev;
    view::SetInitCallbackId(0xC0FFEE);
    ASSERT_EQ(InitWith(Events::Callback, &ev), MK_SUCCESS);
    EXPECT_EQ(view::Get()->callbackId, 0xC0FFEEu);
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    view::PushEvent(0x10);  // carries the driver's id, which the module kept
    EXPECT_TRUE(ev.WaitFor(0x10));
}

TEST_F(HdmiTest, TheCallbackIdIsTheCallbacksAddressAndDescriptorCutTo32Bits) {
    Events ev;
    ASSERT_EQ(InitWith(Events::Callback, &ev), MK_SUCCESS);
    const auto id = view::Get()->callbackId;
    const auto addr = reinterpret_cast<uintptr_t>(&Events::Callback);
    // The id is the address plus a small descriptor number, in 32 bits.
    EXPECT_GE(static_cast<uint32_t>(id - static_cast<uint32_t>(addr)), 3u);
    EXPECT_LT(static_cast<uint32_t>(id - static_cast<uint32_t>(addr)), 4096u);
}

TEST_F(HdmiTest, ARefusedInitReturnsTheDriversCodeAndLeavesNothingBehind) {
    Drv()->FailRequest(mk::hdmi::kInit, static_cast<int>(0xA0288011u));
    Events ev;
    EXPECT_EQ(static_cast<uint32_t>(InitWith(Events::Callback, &ev)), 0xA0288011u);
    EXPECT_FALSE(view::Get()->initialised);
    ASSERT_EQ(InitWith(nullptr), MK_SUCCESS) << "a later init is made afresh";
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kInit), 2);
}

TEST_F(HdmiTest, EventsReachTheCallbackOnlyWithTheirRegistrationsId) {
    Events ev;
    ASSERT_EQ(InitWith(Events::Callback, &ev), MK_SUCCESS);
    view::PushEvent(1);  // waits: the output is not open yet
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    ASSERT_TRUE(ev.WaitFor(1));
    ::testing::internal::CaptureStderr();
    view::PushEvent(2, 0x1234);  // someone else's
    view::PushEvent(3);
    ASSERT_TRUE(ev.WaitFor(3));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error to get HDMI Callback:0x1234 != "), std::string::npos) << err;
    std::lock_guard<std::mutex> lock(ev.mutex);
    EXPECT_EQ(ev.seen, (std::vector<MK_U32>{1, 3}));
    EXPECT_EQ(ev.privs[0], &ev);
}

TEST_F(HdmiTest, DeInitStopsTheThreadAndForgetsTheOutput) {
    Events ev;
    ASSERT_EQ(InitWith(Events::Callback, &ev), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_HDMI_Start(HDMI_ID_0), MK_SUCCESS);
    Drv()->FailRequest(mk::hdmi::kDeInit, static_cast<int>(0xA0288012u));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MK_MPI_HDMI_DeInit(), MK_SUCCESS) << "whatever the driver says";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "HDMI DeInit Error:0xa0288012\n");
    EXPECT_EQ(Drv()->OpenFiles(), 0) << "the descriptor is closed";
    view::PushEvent(4);
    HDMI_ATTR_S attr{};
    EXPECT_EQ(MK_MPI_HDMI_GetAttr(HDMI_ID_0, &attr), kNotOpen) << "not open any more";
    EXPECT_EQ(MK_MPI_HDMI_DeInit(), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenFiles(), 1) << "not initialised: the descriptor is opened and left";
    std::lock_guard<std::mutex> lock(ev.mutex);
    EXPECT_TRUE(ev.seen.empty());
}

TEST_F(HdmiTest, TheModuleWorksBeforeInitAndAfterDeInit) {
    // Its lock is not made by Init nor destroyed by DeInit.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS) << round;
        HDMI_ATTR_S attr{};
        ASSERT_EQ(MK_MPI_HDMI_GetAttr(HDMI_ID_0, &attr), MK_SUCCESS) << round;
        ASSERT_EQ(MK_MPI_HDMI_Start(HDMI_ID_0), MK_SUCCESS) << round;
        ASSERT_EQ(MK_MPI_HDMI_Close(HDMI_ID_0), MK_SUCCESS) << round;
        ASSERT_EQ(InitWith(nullptr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_HDMI_DeInit(), MK_SUCCESS);
    }
}

TEST_F(HdmiTest, APollThreadThatCannotStartUndoesTheInit) {
    pthread_attr_t saved;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, size_t{1} << 46), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    Events ev;
    const MK_S32 ret = InitWith(Events::Callback, &ev);
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    EXPECT_EQ(ret, MK_FAILURE);
    EXPECT_FALSE(view::Get()->initialised) << "the driver's init was taken back";
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kDeInit), 1);
    ASSERT_EQ(InitWith(Events::Callback, &ev), MK_SUCCESS) << "the module was left uninitialised";
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    view::PushEvent(8);
    EXPECT_TRUE(ev.WaitFor(8));
}

TEST_F(HdmiTest, AudioChange) {
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    struct Case {
        MK_U32 intf, rate;
        MK_S32 want;
        bool written;
    } cases[] = {
        {3, 48000, MK_FAILURE, false}, {0, 44000, MK_FAILURE, false}, {0, 0, MK_SUCCESS, false},
        {1, 48000, MK_SUCCESS, true},  {1, 48000, MK_SUCCESS, false}, {2, 192000, MK_SUCCESS, true},
        {0, 32000, MK_SUCCESS, true},  {2, 96001, MK_FAILURE, false},
    };
    for (const Case& c : cases) {
        const int sets = Drv()->RequestCount(mk::hdmi::kSetAttr);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(MK_MPI_HDMI_AudioChange(HDMI_ID_0, c.intf, c.rate), c.want) << c.intf << " " << c.rate;
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kSetAttr), sets + (c.written ? 1 : 0)) << c.intf << " " << c.rate;
        if (!c.written) continue;
        auto s = view::Get();
        EXPECT_EQ(s->attr.bEnableAudio, 1u);
        EXPECT_EQ(s->attr.enSoundIntf, c.intf);
        EXPECT_EQ(s->attr.enSampleRate, c.rate);
        EXPECT_EQ(s->infoFrames[HDMI_INFOFRAME_TYPE_AUDIO].au32Body[0], 2u);
    }
    // A read that fails is returned, and nothing is written on its strength.
    Drv()->FailRequest(mk::hdmi::kGetAttr, static_cast<int>(0xA0288013u));
    const int sets = Drv()->RequestCount(mk::hdmi::kSetAttr);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_HDMI_AudioChange(HDMI_ID_0, 1, 44100)), 0xA0288013u);
    Drv()->FailRequest(mk::hdmi::kGetAttr, static_cast<int>(0xA0288014u), 1, EIO, 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_HDMI_AudioChange(HDMI_ID_0, 1, 44100)), 0xA0288014u) << "the second read";
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kSetAttr), sets);
}

TEST_F(HdmiTest, RecordsTravelAsTheirRequestsSay) {
    ASSERT_EQ(MK_MPI_HDMI_Open(HDMI_ID_0), MK_SUCCESS);
    // Info frames by type: sent whole, bytes 8 to 83 come back.
    HDMI_INFOFRAME_S f{};
    f.enInfoFrameType = 5;
    for (int i = 0; i < 18; ++i) f.au32Body[i] = 100 + i;
    ASSERT_EQ(MK_MPI_HDMI_SetInfoFrame(HDMI_ID_0, &f), MK_SUCCESS);
    HDMI_INFOFRAME_S got{};
    ASSERT_EQ(MK_MPI_HDMI_GetInfoFrame(HDMI_ID_0, 5, &got), MK_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &f, sizeof f), 0);
    // A CEC command: the value in the last word, bytes 4 to 31 back.
    HDMI_CEC_CMD_S cmd{{1, 2, 3, 4, 5, 6, 7}};
    view::PushCecCommand(cmd);
    HDMI_CEC_CMD_S gotCmd{};
    ASSERT_EQ(MK_MPI_HDMI_GetCECCommand(HDMI_ID_0, &gotCmd, 250), MK_SUCCESS);
    EXPECT_EQ(std::memcmp(&gotCmd, &cmd, sizeof cmd), 0);
    // A refused capability read leaves zeros; an EDID read starts from zeros.
    HDMI_SINK_CAPABILITY_S cap;
    std::memset(&cap, 0x77, sizeof cap);
    Drv()->FailRequest(mk::hdmi::kGetSinkCapability, static_cast<int>(0xA0288015u));
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_HDMI_GetSinkCapability(HDMI_ID_0, &cap)), 0xA0288015u);
    EXPECT_EQ(cap.bConnected, 0u);
    EXPECT_EQ(cap.au32Word[103], 0u);
    HDMI_SINK_CAPABILITY_S sink{};
    sink.bConnected = 1;
    view::SetSinkCapability(sink);
    ASSERT_EQ(MK_MPI_HDMI_GetSinkCapability(HDMI_ID_0, &cap), MK_SUCCESS);
    EXPECT_EQ(cap.bConnected, 1u);
    HDMI_EDID_S edid;
    std::memset(&edid, 0x55, sizeof edid);
    Drv()->FailRequest(mk::hdmi::kForceGetEDID, static_cast<int>(0xA0288016u));
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_HDMI_Force_GetEDID(HDMI_ID_0, &edid)), 0xA0288016u);
    EXPECT_EQ(edid.au8Edid[511], 0);
    // Words.
    MK_U32 word = 6;
    ASSERT_EQ(MK_MPI_HDMI_SetParam(HDMI_ID_0, &word), MK_SUCCESS);
    word = 0;
    ASSERT_EQ(MK_MPI_HDMI_GetParam(HDMI_ID_0, &word), MK_SUCCESS);
    EXPECT_EQ(word, 6u);
    ASSERT_EQ(MK_MPI_HDMI_SetDeepColor(HDMI_ID_0, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_HDMI_GetDeepColor(HDMI_ID_0, &word), MK_SUCCESS);
    EXPECT_EQ(word, 2u);
    ASSERT_EQ(MK_MPI_HDMI_Request17(17), MK_SUCCESS);
    EXPECT_EQ(view::Get()->words[mk::hdmi::kRequest17], 17u);
    // Play status, start, stop and close.
    ASSERT_EQ(MK_MPI_HDMI_PlayStus(HDMI_ID_0, &word), MK_SUCCESS);
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(MK_MPI_HDMI_Stop(HDMI_ID_0), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kStop), 0) << "not started: nothing sent";
    ASSERT_EQ(MK_MPI_HDMI_Start(HDMI_ID_0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_HDMI_PlayStus(HDMI_ID_0, &word), MK_SUCCESS);
    EXPECT_EQ(word, 1u);
    ASSERT_EQ(MK_MPI_HDMI_Close(HDMI_ID_0), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(mk::hdmi::kStop), 1) << "close stops a started output first";
    EXPECT_FALSE(view::Get()->open);
    EXPECT_EQ(MK_MPI_HDMI_Stop(HDMI_ID_0), kNotOpen);
}

}  // namespace
