// Test support of the audio path: the command 96 settings the path reads.
#pragma once

#include <cstdint>

#include "app/comm/comm_cfg.h"

namespace audio_testing {

// Stores settings of system type `sysType`, board sub-type `subType` and audio switch (byte 25).
inline void StoreSys(uint32_t sysType, uint32_t subType = 0, uint8_t audioSwitch = 1) {
    SLAVE_SYS_PARAM_S p{};
    p.u32SysType = sysType;
    p.u32ChnEnd = 8;
    p.u32ChnSetting = 8;
    p.u32ChnStart = 8;
    p.u32DecNum = 1;
    p.u32FirstDecChn = 1;
    p.u32PicSize = 3;
    p.u32BoardSubType = subType;
    p.stSlaveCfg.u8AudioSwitch = audioSwitch;
    SlaveStoreSysParam(&p);
}

}  // namespace audio_testing
