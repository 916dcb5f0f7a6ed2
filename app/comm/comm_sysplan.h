// The video buffer pool plans of command 96 and command 85: pure functions of the product, the
// capability record and the settings words.
#pragma once

#include <cstdint>

#include "app/comm/comm_cfg.h"
#include "sdk/vb/vb_ioctl.h"

// Bits of SysVbPlan::u32Refused: pools whose count, from the master's multipliers, does not fit in 32
// bits; such a pool is left out.
enum {
    SYS_PLAN_COMMON0 = 1u << 0,  // common pools 1 to 5: bits 0 to 4
    SYS_PLAN_DEC0 = 1u << 5,     // decoder pools 1 and 2: bits 5 and 6
    SYS_PLAN_ENC_MAIN = 1u << 7,
    SYS_PLAN_ENC_SUB = 1u << 8,
};

typedef struct {
    uint32_t u32BlkSize;
    uint32_t u32BlkCnt;
} SYS_POOL_S;

typedef struct {
    int32_t s32SizeClass;     // the capture size class it was planned for
    VB_CONF_S stCommon;       // common pools 1 to 5 in entries 0 to 4, maximum pool count 4
    VB_CONF_S stDec;          // decoder module pools 1 and 2 in entries 0 and 1, maximum pool count 4
    SYS_POOL_S stEncMain;     // created (with the sub pool) only when both counts are at least 1
    SYS_POOL_S stEncSub;
    bool bInitDecPools;       // false: command 85 manages the decoder module pools
    uint32_t u32Refused;      // SYS_PLAN_* bits
} SysVbPlan;

// The plan of command 96 for the settings in force at the call (product, record, words 6, 8, 9, 10,
// 13 and the chip channel count), decoder pool 2 and bInitDecPools already set by word 9.
void CommPlanSysVb(const SlaveSysCfg& cfg, SysVbPlan* pPlan);

// Block size of command 85's decoder pools: ceil(W / 32) * ceil(H / 16) * 768 for the size of code
// s32Code under the standard (code 17 as 1920 x 1440).
uint32_t CommVdecBlkSize(uint32_t u32Vstd, int32_t s32Code);

// The decoder module plan of command 85's set-up for a count argument and block size; false when
// command 85 does nothing for these settings (word 9 set, or the large test fails).
bool CommPlanVdecVb(const SlaveSysCfg& cfg, int32_t s32Count, uint32_t u32BlkSize, VB_CONF_S* pConf);
