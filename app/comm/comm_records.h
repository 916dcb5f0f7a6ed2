// The settings and capability records that command 96 delivers, shared by the modules that keep and
// read them and by the link code that carries them. Fixed-width little-endian layouts.
#pragma once

#include <cstddef>
#include <cstdint>

// The channel-capability record, 68 bytes: signed 16-bit counts, digital in the first 32 bytes and
// analog in the next 32 (same slot order), then the maximum playback ways.
typedef struct {
    int16_t as16Digital[16];
    int16_t as16Analog[16];
    uint32_t u32MaxPlayBackWay;
} HVR_CAP_S;
static_assert(sizeof(HVR_CAP_S) == 68);

// Slots of the count arrays of HVR_CAP_S (the others are reserved).
enum {
    HVR_CAP_D1 = 0,
    HVR_CAP_4M = 1,
    HVR_CAP_960H = 2,
    HVR_CAP_720P = 4,
    HVR_CAP_8M = 5,
    HVR_CAP_1080P = 6,
    HVR_CAP_CIF = 8,
    HVR_CAP_3M = 10,
    HVR_CAP_960P = 12,
    HVR_CAP_5M = 14,
};

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
    uint8_t u8Layer3Keep;  // byte 27: display layer 3 channels left alone
    uint8_t au8Res3[4];
} SLAVE_CFG_S;
static_assert(sizeof(SLAVE_CFG_S) == 32);
static_assert(offsetof(SLAVE_CFG_S, u32VpssSwitch) == 8 && offsetof(SLAVE_CFG_S, u8ZoomSplit) == 19 &&
              offsetof(SLAVE_CFG_S, u8BlindSwitch) == 21 && offsetof(SLAVE_CFG_S, u8JpegEnable) == 24 &&
              offsetof(SLAVE_CFG_S, u8Layer3Keep) == 27);

// Command 96 payload: 39 words, 156 bytes.
typedef struct {
    uint32_t u32SysType;
    uint32_t u32DevType;  // product type, a three-digit code
    uint32_t u32ChnEnd;   // end of this chip's input channel range (exclusive)
    uint32_t u32ChnSetting;
    uint32_t u32ChnStart;  // first input channel of this chip
    uint32_t u32Res5;
    uint32_t u32DecNum;       // decoder channels
    uint32_t u32SplitOffset;  // channel offset of the split commands
    uint32_t u32FirstDecChn;  // decoder slot i serves channel first + i
    uint32_t u32DigitalNum;
    uint32_t u32PlayDecNum;
    uint32_t u32PicSize;  // picture size code of the encoder streams
    uint32_t u32BoardSubType;
    uint32_t u32EncPoolFlag;
    HVR_CAP_S stHvrCap;
    SLAVE_CFG_S stSlaveCfg;
} SLAVE_SYS_PARAM_S;
static_assert(sizeof(SLAVE_SYS_PARAM_S) == 156);
static_assert(offsetof(SLAVE_SYS_PARAM_S, u32BoardSubType) == 48 &&
              offsetof(SLAVE_SYS_PARAM_S, stHvrCap) == 56 && offsetof(SLAVE_SYS_PARAM_S, stSlaveCfg) == 124);
