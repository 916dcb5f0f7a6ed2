// The settings that command 96 delivers, kept for the life of the process, and their accessors.
// Written by the command loop; modules read them afterwards.
#pragma once

#include <cstdint>

#include "app/pci/pciv_proto.h"

// The settings block. The values before command 96 are the ones given here.
struct SlaveSysCfg {
    uint32_t u32SysType = 0;
    uint32_t u32DevType = 0;
    uint32_t u32ChnEnd = 8;
    uint32_t u32ChnSetting = 8;
    uint32_t u32ChnStart = 8;
    uint32_t u32DecNum = 1;
    uint32_t u32SplitOffset = 0;
    uint32_t u32FirstDecChn = 1;
    uint32_t u32DigitalNum = 0;
    uint32_t u32PlayDecNum = 0;
    uint32_t u32DigitalPlaySum = 0;  // digital + playback decode channels
    uint32_t u32PicSize = 3;
    uint32_t u32BoardSubType = 0;
    uint32_t u32EncPoolFlag = 0;
    // Derived from the words above when they are stored.
    uint32_t u32ChnNum = 8;          // range end - range start
    uint32_t u32DoubleStart = 16;    // 2 x range start
    uint32_t u32DoubleEnd = 16;      // 2 x range end
    uint32_t u32DoubleNum = 16;      // 2 x channel count
    uint32_t u32DoubleStartEx = 24;  // 2 x range start + the fixed stream setting
};

// The fixed settings word added to twice the range start.
#define SLAVE_STREAM_EXTRA 8

const SlaveSysCfg& SlaveGetSysCfg();
// Stores the command 96 words and computes the derived ones; the settings record is stored too.
void SlaveStoreSysParam(const SLAVE_SYS_PARAM_S* pParam);
// Back to the values before command 96 (tests).
void SlaveResetSysCfg();

uint32_t Comm_GetSysType();
uint32_t Comm_GetDevType();
uint32_t Comm_GetBoardSubType();
SLAVE_CFG_S* Comm_GetSlaveCfg();
int Comm_SetSlaveCfg(const SLAVE_CFG_S* pCfg);
