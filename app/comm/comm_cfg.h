// The settings that command 96 delivers, kept for the life of the process, and their accessors.
// Written by the command loop; modules read them afterwards.
#pragma once

#include <cstdint>

// The 32-byte settings record (command 96 payload words 31 to 38). Bytes not named are carried only.
typedef struct {
    uint8_t au8Res0[8];
    uint32_t u32VpssSwitch;  // bytes 8 to 11: processing-group switches
    uint8_t au8Res1[7];
    uint8_t u8ZoomSplit;    // byte 19: zoom window and split thread
    uint8_t u8SpotEnable;   // byte 20
    uint8_t u8BlindSwitch;  // byte 21
    uint8_t au8Res2[2];
    uint8_t u8JpegEnable;   // byte 24
    uint8_t u8AudioSwitch;  // byte 25
    uint8_t u8Res26;
    uint8_t u8Layer3Keep;   // byte 27: display layer 3 channels left alone
    uint8_t au8Res3[4];
} SLAVE_CFG_S;
static_assert(sizeof(SLAVE_CFG_S) == 32);

#define HVR_CAP_BYTES 68

// Command 96 payload: 39 words, 156 bytes.
typedef struct {
    uint32_t u32SysType;
    uint32_t u32DevType;      // product type, a three-digit code
    uint32_t u32ChnEnd;       // end of this chip's input channel range (exclusive)
    uint32_t u32ChnSetting;
    uint32_t u32ChnStart;     // first input channel of this chip
    uint32_t u32Res5;
    uint32_t u32DecNum;       // decoder channels
    uint32_t u32SplitOffset;  // channel offset of the split commands
    uint32_t u32FirstDecChn;  // decoder slot i serves channel first + i
    uint32_t u32DigitalNum;
    uint32_t u32PlayDecNum;
    uint32_t u32PicSize;      // picture size code of the encoder streams
    uint32_t u32BoardSubType;
    uint32_t u32EncPoolFlag;
    uint8_t au8HvrCap[HVR_CAP_BYTES];
    SLAVE_CFG_S stSlaveCfg;
} SLAVE_SYS_PARAM_S;
static_assert(sizeof(SLAVE_SYS_PARAM_S) == 156);

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
