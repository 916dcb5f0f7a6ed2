// Test helper shared by the driver's and the SDK module's tests: a common-pool plan from (block size,
// block count) pairs, with room for four pools.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "sdk/vb/vb_ioctl.h"

namespace varnelle::drivers::vb_testing {

inline VB_CONF_S Plan(std::initializer_list<std::pair<uint32_t, uint32_t>> pools) {
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 4;
    int i = 0;
    for (auto [size, count] : pools) {
        conf.astCommPool[i].u32BlkSize = size;
        conf.astCommPool[i].u32BlkCnt = count;
        ++i;
    }
    return conf;
}

}  // namespace varnelle::drivers::vb_testing
