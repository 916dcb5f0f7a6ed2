// What the flow tests share: the program's common video buffer pool made through the SDK.
#pragma once

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "sdk/vb/mpi_vb.h"

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

}  // namespace flow_testing
