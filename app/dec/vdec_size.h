// The picture-size rules of the decoder channels, as functions of the capability record and the
// settings: which size class a decode channel gets, how large its decoder and its stream buffer are,
// and what the decoder capability record says of each decoder.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"

// The picture-size code of decode channel `u32Index` (a digital channel's index counts from the first
// digital channel) from the digital counts of the record, walked as cumulative thresholds in the
// order 5M, 3M, 1080P, 960P, 720P, 960H, D1, CIF (codes 18, 17, 14, 12, 11, 10, 0, 3); -1 past the last.
int32_t AVdecDigitalPicCode(const HVR_CAP_S& cap, uint32_t u32Index);

// True when the capture size class and this chip's channel count make every decode channel take the
// size of capture channel 0 (class 17 with 32 channels, 16 with 24, any other with 16).
bool AVdecUsesCaptureSize(int32_t s32CapClass, uint32_t u32ChipChns);

// A decoder channel's sizes.
struct VdecChnSizing {
    uint32_t u32Width;      // the record's picture width and the decoder's
    uint32_t u32Height;     // the record's picture height
    uint32_t u32MaxHeight;  // the largest height the size table takes, and the decoder's
    uint32_t u32BufSize;    // stream buffer
    uint32_t u32RefFrames;
};

// The sizes of command 55 for a channel whose size code gives `u32CodeWidth` x `u32CodeHeight`: without
// digital channels the first analog count of 720P, 960P, 1080P, 3M, 5M, 4M, 8M decides the size; with
// them the code's size is widened (704, 928, 352, 2048, 2560 to 720, 960, 360, 2304, 2688; 1440 lines
// to 1520 with 2560) and 480 and 240 lines count as 576 and 288. The buffer is width x height x 3 / 4,
// reduced or enlarged on the products whose memory is tight (first rule that matches). Reference
// frames: 2, or 1 with chip channels and no encoder pool flag.
VdecChnSizing AVdecChnSizing(const HVR_CAP_S& cap, uint32_t u32DevType, uint32_t u32DigitalNum,
                             uint32_t u32ChipChns, uint32_t u32EncPoolFlag, uint32_t u32CodeWidth,
                             uint32_t u32CodeHeight);

// The factor of a decoder's area in the decoder capability record: 16, 21, 21 or 13, 12, 15, else 25.
uint32_t AVdecCapsFactor(const HVR_CAP_S& cap);
