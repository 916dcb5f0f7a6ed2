// The audio input tests' common ground: a private bus with the drivers the module reaches, a fixture
// that starts each test from a fresh module and driver, and helpers that set a device up and feed it.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/mem/ram.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/testing/threads.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/vb/mpi_vb.h"

namespace ai_test {

namespace drivers = varnelle::drivers;

constexpr MK_S32 kErrDev = static_cast<MK_S32>(0xA0158001);
constexpr MK_S32 kErrChn = static_cast<MK_S32>(0xA0158002);
constexpr MK_S32 kErrParam = static_cast<MK_S32>(0xA0158003);
constexpr MK_S32 kErrNotEnabled = static_cast<MK_S32>(0xA0158005);
constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0158006);
constexpr MK_S32 kErrNotConfig = static_cast<MK_S32>(0xA0158007);
constexpr MK_S32 kErrNotSupport = static_cast<MK_S32>(0xA0158008);
constexpr MK_S32 kErrNotPerm = static_cast<MK_S32>(0xA0158009);
constexpr MK_S32 kErrEmpty = static_cast<MK_S32>(0xA015800E);
constexpr MK_S32 kErrNotReady = static_cast<MK_S32>(0xA0158010);
constexpr MK_S32 kErrBusy = static_cast<MK_S32>(0xA0158012);
constexpr MK_S32 kErrVqe = static_cast<MK_S32>(0xA0158041);

inline std::shared_ptr<drivers::AiDriver> Drv() {
    return drivers::AiDriver::Get();
}

inline AIO_ATTR_S Attr(MK_U32 rate, MK_U32 points, AUDIO_BIT_WIDTH_E width = AUDIO_BIT_WIDTH_16,
                       bool stereo = false, MK_U32 chns = 4) {
    AIO_ATTR_S a{};
    a.enSampleRate = static_cast<AUDIO_SAMPLE_RATE_E>(rate);
    a.enBitwidth = width;
    a.enSoundmode = stereo ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO;
    a.u32FrameCount = 8;
    a.u32PtNumPerFrm = points;
    a.u32ChnCount = chns;
    return a;
}

inline std::vector<int16_t> Speech(size_t n, uint32_t seed = 1, double rate = 8000.0) {
    std::vector<int16_t> v(n);
    varnelle::voice::SpeechLike(v.data(), static_cast<int>(n), 0.8, seed, rate);
    return v;
}

inline std::vector<uint8_t> Bytes(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    if (!b.empty()) std::memcpy(b.data(), s.data(), b.size());
    return b;
}

inline std::vector<int16_t> Samples(const AUDIO_FRAME_S& f, int track = 0) {
    const auto* p = static_cast<const int16_t*>(f.pVirAddr[track]);
    return std::vector<int16_t>(p, p + f.u32Len / 2);
}

using varnelle::audiotest::WaitFor;

inline void InstallDrivers() {
    drivers::InstallAiDriver();
    drivers::InstallVbDriver();
    drivers::InstallMemDriver();
    drivers::InstallSysDriver();
    varnelle::mem::Ram::Local();
}

class AiTest : public ::testing::Test {
protected:
    void SetUp() override {
        mk::audio::ClearFaults();
        Drv()->ClearFaults();
        drivers::ResetMediaState();
        ASSERT_EQ(MPI_AI_Init(), MK_SUCCESS);
    }
    void TearDown() override {
        MPI_AI_Exit();
        drivers::ResetMediaState();
        MK_MPI_VB_Exit();
        mk::audio::ClearFaults();
    }

    // Device `dev` with `attr`, channel `chn` enabled with user depth `depth`.
    void Start(MK_S32 dev, const AIO_ATTR_S& attr, MK_S32 chn, MK_U32 depth = 4) {
        ASSERT_EQ(MK_MPI_AI_SetPubAttr(dev, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_Enable(dev), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_EnableChn(dev, chn), MK_SUCCESS);
        AI_CHN_PARAM_S param{depth};
        ASSERT_EQ(MK_MPI_AI_SetChnParam(dev, chn, &param), MK_SUCCESS);
    }

    // Injects one 16-bit mono frame and returns its samples.
    std::vector<int16_t> Feed(MK_S32 dev, MK_S32 chn, size_t points, uint32_t seed, uint64_t ts = 1000,
                              bool withRef = false, const std::vector<int16_t>& ref = {}) {
        drivers::AiInjectFrame f;
        std::vector<int16_t> s = Speech(points, seed);
        f.track0 = Bytes(s);
        f.timeStamp = ts;
        f.withRef = withRef;
        f.ref = Bytes(ref);
        EXPECT_EQ(Drv()->Inject(dev, chn, f), 0);
        return s;
    }
};

}  // namespace ai_test
