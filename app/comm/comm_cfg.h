// The settings that command 96 delivers, kept for the life of the process, and their accessors.
// Written by the command loop; any thread reads them.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"

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
    SLAVE_CFG_S stSlaveCfg{};        // the 32-byte settings record, all zero before command 96
    HVR_CAP_S stHvrCap{};            // the capability record in force, all zero before command 96
};

// The fixed settings word added to twice the range start.
#define SLAVE_STREAM_EXTRA 8

// A copy of the whole block, taken under the module's lock: a thread that reads the settings while a
// second command 96 stores new ones sees the old block or the new one, never a mix. Any thread.
SlaveSysCfg SlaveGetSysCfg();
// Stores the command 96 words, computes the derived ones and stores the settings and capability
// records, all in one step.
void SlaveStoreSysParam(const SLAVE_SYS_PARAM_S* pParam);
// Replaces the capability record alone (Comm_SetHvrCap).
void SlaveStoreHvrCap(const HVR_CAP_S* pCap);
// The capability record in place (Comm_GetHvrCap): command loop thread only.
const HVR_CAP_S* SlaveHvrCapInPlace();
// Back to the values before command 96 (tests).
void SlaveResetSysCfg();

// The chip channel count N (range end - range start) as a channel loop may use it: the master's words
// can make the difference negative or larger than any table, so it is held to 0..32.
int32_t Comm_GetChipChnNum();
int32_t CommChipChnNumOf(const SlaveSysCfg& cfg);
#define COMM_MAX_CHIP_CHN 32

uint32_t Comm_GetSysType();
uint32_t Comm_GetDevType();
uint32_t Comm_GetBoardSubType();
// The settings record in place. Only the command loop's thread (which alone writes it) may read
// through this address; other threads take SlaveGetSysCfg().stSlaveCfg.
SLAVE_CFG_S* Comm_GetSlaveCfg();
int Comm_SetSlaveCfg(const SLAVE_CFG_S* pCfg);
