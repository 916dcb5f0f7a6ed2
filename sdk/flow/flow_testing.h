// What the flow tests share: the program's common video buffer pool made through the SDK, and capture
// channels started as the program starts them.
#pragma once

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vb/vb_driver.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vi/mpi_vi.h"

namespace flow_testing {

// Sets up and starts a plan of one common pool of `blocks` blocks of `blockSize` bytes; its pool id in
// *pool. Call with ASSERT_NO_FATAL_FAILURE.
inline void StartCommonPool(MK_U32 blockSize, MK_U32 blocks, int* pool) {
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 4;
    conf.astCommPool[0].u32BlkSize = blockSize;
    conf.astCommPool[0].u32BlkCnt = blocks;
    ASSERT_EQ(MK_MPI_VB_SetConf(&conf), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_Init(), MK_SUCCESS);
    auto vb = varnelle::dev::Registry::Get<varnelle::drivers::VbDriver>("/dev/vb");
    ASSERT_EQ(vb->CommonPools().size(), 1u);
    *pool = vb->CommonPools()[0];
}

// Resets the media state around each test and gives it one common pool of `blocks` blocks of
// `blockSize` bytes.
class FlowTest : public ::testing::Test {
protected:
    FlowTest(MK_U32 blockSize, MK_U32 blocks) : m_blockSize(blockSize), m_blocks(blocks) {}
    void SetUp() override {
        varnelle::drivers::ResetMediaState();
        ASSERT_NO_FATAL_FAILURE(StartCommonPool(m_blockSize, m_blocks, &m_pool));
    }
    void TearDown() override {
        MK_MPI_VB_Exit();
        varnelle::drivers::ResetMediaState();
    }

    MK_U32 FreeBlocks() const { return varnelle::drivers::VbPools::Instance().Pool(m_pool)->freeBlocks; }
    // Whether every block is back in the pool, soon (a picture in flight may still be held).
    bool PoolFull() const {
        return varnelle::drivers::testing::Eventually([&] { return FreeBlocks() == m_blocks; });
    }

    // Capture channel `chn` at w x h, `fps` frames a second, both fields, semi-planar 4:2:0.
    static void StartCapture(VI_CHN chn, MK_U32 w, MK_U32 h, MK_S32 fps = 25) {
        VI_CHN_ATTR_S attr{};
        attr.stCapRect = {0, 0, w, h};
        attr.u32DestWidth = w;
        attr.u32DestHeight = h;
        attr.enCapSel = 2;
        attr.enScanMode = 1;
        attr.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        attr.s32SrcFrameRate = attr.s32DstFrameRate = fps;
        ASSERT_EQ(MK_MPI_VI_SetChnAttr(chn, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VI_EnableChn(chn), MK_SUCCESS);
    }

    const MK_U32 m_blockSize, m_blocks;
    int m_pool = -1;
};

}  // namespace flow_testing
