#include <cstring>

#include <gtest/gtest.h>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

namespace drv = varnelle::drivers;

TEST(SlaveVdecCmdTest, DecoderChannelOperations) {
    drv::InstallVdecDriver();
    PCIV_ClearCmdHandlers();
    SlaveRegisterVdecCmdHandlers();
    auto run = [](std::initializer_list<uint32_t> w, uint32_t code) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        uint32_t i = 0;
        for (uint32_t v : w) m.au32Payload[i++] = v;
        m.stMsgHead.u32MsgLen = 4 * i;
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "code 78 is not answered";
    };
    VDEC_CHN_ATTR_S attr = {96, 1 << 20, 1, 720, 576, 2, 1, 0};
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(5, &attr), 0);
    auto vdec = drv::VdecDriver::Get();
    run({5, 1}, 78);
    EXPECT_TRUE(vdec->Channel(5).receiving);
    run({5, 9}, 78);
    EXPECT_TRUE(vdec->Channel(5).receiving) << "other operations do nothing";
    run({5, 0}, 78);
    EXPECT_FALSE(vdec->Channel(5).receiving);
    run({5, 2}, 78);
    EXPECT_TRUE(vdec->Channel(5).created);
    MK_MPI_VDEC_DestroyChn(5);
}

}  // namespace
