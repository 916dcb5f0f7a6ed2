// The fixture of the split's driver-level tests: a private bus with every driver installed, each
// test starting from drivers, bind graph, settings and split state as at load.
#pragma once

#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vi.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "app/split/split.h"
#include "platform/dev/journal.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "sdk/vo/mpi_vo.h"

namespace varnelle::testing {

class SplitDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new ScopedBus;
        drivers::InstallAll();
    }
    static void TearDownTestSuite() { delete s_bus; }
    void SetUp() override {
        dev::Registry::Get<drivers::VpssDriver>("/dev/vpss")->Reset();
        Vo()->Reset();
        drivers::ViDriver::Get()->Reset();
        drivers::BindGraph::Instance().Clear();
        CommClearSetupHooks();
        CommResetVpssChnMap();
        CommResetViState();
        GraphicsReset();
        PCIV_ClearCmdHandlers();
        SplitReset();
        for (const char* n : {"/dev/vpss", "/dev/vo", "/dev/sys", "/dev/vi"}) dev::Registry::Find(n)->ClearFaults();
    }
    void TearDown() override {
        dev::JournalStop();
        SlaveResetSysCfg();
        CommResetVpssChnMap();
        GraphicsReset();
        SplitReset();
        CommClearSetupHooks();
    }
    static std::shared_ptr<drivers::VoDriver> Vo() { return dev::Registry::Get<drivers::VoDriver>("/dev/vo"); }
    static RECT_S ChnRect(int layer, int chn) {
        VO_CHN_ATTR_S a = {};
        EXPECT_EQ(MK_MPI_VO_GetChnAttr(layer, chn, &a), 0);
        return a.stRect;
    }
    static std::optional<MPP_CHN_S> Source(int mod, int devId, int chn) {
        return drivers::BindGraph::Instance().SourceOf(MPP_CHN_S{mod, devId, chn});
    }
    static inline ScopedBus* s_bus = nullptr;
};

inline void ExpectRect(const RECT_S& got, const RECT_S& want) {
    EXPECT_EQ(got.s32X, want.s32X);
    EXPECT_EQ(got.s32Y, want.s32Y);
    EXPECT_EQ(got.u32Width, want.u32Width);
    EXPECT_EQ(got.u32Height, want.u32Height);
}

}  // namespace varnelle::testing
