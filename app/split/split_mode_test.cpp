// The display-mode switch against the decode module's playback records and the display driver: which
// decode display channels are shown on the playback device after each mode, worked out by hand from
// the records the playback left.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/play_ctrl.h"
#include "app/split/split.h"
#include "app/split/split_cmd.h"
#include "app/split/split_test_env.h"
#include "platform/dev/driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "sdk/vo/mpi_vo.h"

namespace {

constexpr int kPlayDev = 8;
constexpr uint32_t kDecChns = 4;
constexpr int kVoBase = 4;  // decode channel c shows in display channel kVoBase + c

class SplitDisplayModeTest : public varnelle::testing::SplitDriverTest {
protected:
    void SetUp() override {
        SplitDriverTest::SetUp();
        SplitRegisterModule();
        SplitSetDecDisplayHooks(PlayChnNum, PlaysetStatus, PlaySetVoChnOverride);
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32SysType = 656;
        p.u32DevType = 656;
        p.u32BoardSubType = 47;
        p.u32ChnEnd = 4;
        p.u32PlayDecNum = kDecChns;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(HwSplitDevInit(), 0);
        AVdecState* t = AVdecGetChnTable();
        t->Clear();
        t->SetHead(AVDEC_HEAD_DISP_ON, 1);
        // Records the master sent (command 64): the playback commands refuse any other.
        for (uint32_t c = 0; c < kDecChns; ++c) {
            t->SetRec(c, REC_CREATED, 1);
            t->SetRec(c, REC_VO_CHN, kVoBase + c);
        }
    }
    void TearDown() override {
        SplitSetDecDisplayHooks(nullptr, nullptr, nullptr);
        PlaySetVoChnOverride(-1);
        AVdecGetChnTable()->Clear();
        SplitDriverTest::TearDown();
    }
    // The playback's own state: 0 playing, 1 paused with its still picture, 2 playing but hidden by
    // the master's hide flag, 3 never started. The display shows what the playback showed.
    static void PlaybackAsLeft() {
        AVdecState* t = AVdecGetChnTable();
        t->SetRec(0, REC_SHOWN, 1);
        t->SetRec(1, REC_SHOWN, 1);
        t->SetRec(1, REC_PAUSED, 1);
        t->SetRec(2, REC_SHOWN, 1);
        t->SetRec(2, REC_HIDE, 1);
        for (int c = 0; c < static_cast<int>(kDecChns); ++c) {
            ASSERT_EQ(c < 2 ? MK_MPI_VO_ShowChn(kPlayDev, kVoBase + c) : MK_MPI_VO_HideChn(kPlayDev, kVoBase + c), 0);
        }
    }
    static std::vector<uint32_t> ShownDecChns() {
        std::vector<uint32_t> v;
        for (uint32_t c = 0; c < kDecChns; ++c) {
            if (Vo()->Channel(kPlayDev, kVoBase + static_cast<int>(c)).shown) v.push_back(c);
        }
        return v;
    }
};

TEST_F(SplitDisplayModeTest, LivePreviewHidesTheDecodedPicturesAndTheOtherModesShowThemBack) {
    PlaybackAsLeft();
    ASSERT_EQ(ShownDecChns(), (std::vector<uint32_t>{0, 1}));
    const struct {
        int32_t mode;
        std::vector<uint32_t> shown;
    } steps[] = {{0, {}}, {1, {0}}, {0, {}}, {2, {0}}, {3, {0}}, {0, {}}, {0, {}}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.mode);
        EXPECT_EQ(SplitSetDisplayMode(s.mode, -1), 0);
        EXPECT_EQ(SplitGetDisplayMode(), s.mode);
        EXPECT_EQ(ShownDecChns(), s.shown);
    }
    // The playback's records are its own: the switch leaves them as they were.
    EXPECT_EQ(AVdecGetChnTable()->Rec(1, REC_PAUSED), 1u);
    EXPECT_EQ(AVdecGetChnTable()->Rec(3, REC_SHOWN), 0u);
}

TEST_F(SplitDisplayModeTest, NothingMovesWhileDisplayIsOffOrWithoutTheDecodeModule) {
    PlaybackAsLeft();
    AVdecGetChnTable()->SetHead(AVDEC_HEAD_DISP_ON, 0);
    EXPECT_EQ(SplitSetDisplayMode(0, -1), 0);
    EXPECT_EQ(ShownDecChns(), (std::vector<uint32_t>{0, 1}));
    AVdecGetChnTable()->SetHead(AVDEC_HEAD_DISP_ON, 1);
    SplitSetDecDisplayHooks(nullptr, nullptr, nullptr);
    EXPECT_EQ(SplitSetDisplayMode(0, -1), 0);
    EXPECT_EQ(ShownDecChns(), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(SplitGetDisplayMode(), 0);
}

TEST_F(SplitDisplayModeTest, OnlyTheDecodeChannelsAreMovedAndAFailureIsReported) {
    PlaybackAsLeft();
    // A display channel beyond the decode channels is not the split's to move.
    ASSERT_EQ(MK_MPI_VO_ShowChn(kPlayDev, kVoBase + kDecChns), 0);
    EXPECT_EQ(SplitSetDisplayMode(0, -1), 0);
    EXPECT_TRUE(Vo()->Channel(kPlayDev, kVoBase + kDecChns).shown);
    EXPECT_EQ(PlaysetStatus(kDecChns, 1), -1);
    EXPECT_EQ(PlaysetStatus(0xFFFFFFFFu, 0), -1);
    // The display refusing the show: its code comes back and the channel stays hidden.
    varnelle::dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kShowChn, static_cast<int32_t>(0xA00F8010));
    EXPECT_EQ(PlaysetStatus(0, 1), static_cast<int32_t>(0xA00F8010));
    EXPECT_TRUE(ShownDecChns().empty());
    EXPECT_EQ(PlaysetStatus(0, 1), 0);
    EXPECT_EQ(ShownDecChns(), (std::vector<uint32_t>{0}));
}

TEST_F(SplitDisplayModeTest, SingleChannelPlaybackPlaysIntoThatChannelsWindowUntilItGoesBack) {
    const auto vo = [](int chn) { return Vo()->Channel(kPlayDev, chn); };
    EXPECT_EQ(SplitSetDisplayMode(1, 3), 0);
    EXPECT_EQ(PlayPause(0, 1), 0);
    EXPECT_TRUE(vo(3).paused) << "the live window of channel 3";
    EXPECT_FALSE(vo(kVoBase).paused);
    EXPECT_EQ(PlayResume(0), 0);
    EXPECT_FALSE(vo(3).paused);
    EXPECT_EQ(SplitSetDisplayMode(0, 3), 0);
    EXPECT_EQ(PlayPause(0, 1), 0);
    EXPECT_TRUE(vo(kVoBase).paused) << "back to the record's own display channel";
    EXPECT_FALSE(vo(3).paused);
    // A channel without a record moves nothing.
    EXPECT_EQ(SplitSetDisplayMode(1, 4), -1);
    EXPECT_EQ(PlayResume(0), 0);
    EXPECT_FALSE(vo(kVoBase).paused);
}

}  // namespace
