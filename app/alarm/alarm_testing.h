// The detection tests' common ground: a private bus with every driver, the settings of a command 96,
// the split wiring (channel c on capture channel c + kViOffset), common pools and capture channels.
#pragma once

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "app/alarm/alarm_blind.h"
#include "app/alarm/alarm_motion.h"
#include "app/alarm/alarm_register.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_test_master.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vda/vda_driver.h"
#include "platform/drivers/vi/vi_driver.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vi/mpi_vi.h"

namespace alarm_testing {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;

inline constexpr int32_t kViOffset = 2;
inline int32_t Wiring(int32_t chn, int32_t* vi, int32_t* viDev) {
    if (chn < 0 || chn >= 32) return -1;
    *vi = chn + kViOffset;
    *viDev = 0;
    return 0;
}
inline int32_t ChnVi(int32_t, int32_t sel) { return sel == 0 ? PIC_D1 : 0; }
inline uint32_t Vstd() { return 0; }

class AlarmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        drv::InstallAll();
    }
    static void TearDownTestSuite() { delete s_bus; }
    void SetUp() override { Fresh(651, 4); }
    void TearDown() override {
        MotionDetectReset();
        BlindDetectReset();
        LossReleaseUserPic();
        drv::ResetMediaState();
        ClearFaults();
        CommClearSetupHooks();
        PCIV_ClearCmdHandlers();
        SlaveResetSysCfg();
    }
    static void ClearFaults() {
        for (const char* node : {"/dev/vda", "/dev/vi", "/dev/sys", "/dev/vb"}) {
            if (auto d = dev::Registry::Find(node)) d->ClearFaults();
        }
    }
    // Command 96's settings for product `devType` with channels 0..end-1, and the module's hooks.
    static void Fresh(uint32_t devType, uint32_t end, uint32_t board = 47) {
        MotionDetectReset();
        BlindDetectReset();
        LossReleaseUserPic();
        drv::ResetMediaState();
        ClearFaults();
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32DevType = devType;
        p.u32BoardSubType = board;
        p.u32ChnStart = 0;
        p.u32ChnEnd = end;
        p.stHvrCap.as16Analog[HVR_CAP_1080P] = static_cast<int16_t>(end);  // size class 15
        SlaveStoreSysParam(&p);
        CommClearSetupHooks();
        PCIV_ClearCmdHandlers();
        AlarmRegisterModule();
        CommSetSplitGetChnWiringHook(Wiring);
        CommSetSplitGetChnViHook(ChnVi);
        CommSetSplitGetVstdHook(Vstd);
        SlaveClearMotionBitmap();
        SlaveClearBlindBitmap();
    }
    // Common pools: `count` blocks of a 704 x 576 picture.
    static void Pools(uint32_t count) {
        VB_CONF_S conf;
        std::memset(&conf, 0, sizeof(conf));
        conf.u32MaxPoolCnt = 4;
        conf.astCommPool[0].u32BlkSize = drv::FrameBytes(704, 576);
        conf.astCommPool[0].u32BlkCnt = count;
        ASSERT_EQ(MK_MPI_VB_SetConf(&conf), 0);
        ASSERT_EQ(MK_MPI_VB_Init(), 0);
    }
    // Capture channel `vi` on, 704 x 576 at 25 pictures a second.
    static void StartVi(int32_t vi) {
        VI_CHN_ATTR_S a;
        std::memset(&a, 0, sizeof(a));
        a.stCapRect = VI_RECT_S{0, 0, 704, 576};
        a.u32DestWidth = 704;
        a.u32DestHeight = 576;
        a.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        a.s32SrcFrameRate = 25;
        a.s32DstFrameRate = 25;
        ASSERT_EQ(MK_MPI_VI_SetChnAttr(vi, &a), 0);
        ASSERT_EQ(MK_MPI_VI_EnableChn(vi), 0);
    }
    static void Cmd(uint32_t code, const std::vector<uint32_t>& words) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = static_cast<uint32_t>(4 * words.size());
        if (!words.empty()) std::memcpy(m.au32Payload, words.data(), 4 * words.size());
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "command " << code << " is not answered";
    }
    static bool VdaBound(int32_t vdaChn) {
        return drv::BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VDA, 0, vdaChn}).has_value();
    }
    static inline varnelle::testing::ScopedBus* s_bus = nullptr;
};

}  // namespace alarm_testing
