// Encoder channels of the capture channels: the main (2c) and sub (2c + 1) H.264 channels fed by the
// channel's processing group, and the JPEG channel where JPEG is enabled; the format commands turned
// into encoder attributes; frame rates adapted to the source.
#pragma once

#include <cstdint>

#include "sdk/venc/venc_ioctl.h"

// The application's input to the attribute builder, in this order.
typedef struct {
    uint32_t u32Vstd;     // 0 PAL, 1 NTSC
    uint32_t u32BitRate;  // kbit/s
    uint32_t u32PayloadType;
    uint32_t u32RcMode;  // 1 constant, 2 variable, 5 fixed quantiser
    int32_t s32SizeCode;
    uint32_t u32FrameRate;
    uint32_t u32Fluctuate;
    uint32_t u32One;
    uint32_t u32Gop;
    uint32_t u32PicSizeZero;  // command 32: 1 when command 96's word 11 is 0
    uint32_t u32MaxQp;        // P quantiser in fixed mode
    uint32_t u32MinQp;        // I quantiser in fixed mode
} VENC_PARAM_S;

// Fills the H.264 attributes of a capture channel from the parameter record.
void VencSetH264Param(VENC_CHN_ATTR_S* pstAttr, const VENC_PARAM_S* pstParam, int32_t s32Chn);
// Creates a channel and prepares it (virtual I frames when enabled, the encoder pool of its parity for
// H.264). 0 or -1.
int VencStartChn(VENC_CHN veChn, const VENC_CHN_ATTR_S* pstAttr, int32_t bVirtualI = 1);
// Tears a channel down (reception is the caller's to stop). 0 or -1.
int VencStopChn(VENC_CHN veChn);
// Sets the reference parameters; -1 when virtual I frames are off by command 96, else 0.
int Open_VirtualIFrameFunc(VENC_CHN veChn, uint32_t u32Interval, int32_t bEnable);
// The main and sub channels of capture channel s32Chn, bound to processing. 0 or -1.
int VencChCreate(int32_t s32Chn, uint32_t u32Vstd);
// The JPEG channel of a capture channel (c below the first channel word) or of a decode channel. 0
// or -1.
int JPEGChCreate(int32_t s32Chn);
// The frame rate a channel's streams start with: the channel's capture rate limit (25 where the
// product chooses none), lowered on some boards.
uint32_t VencDefaultFrameRate(int32_t s32Chn);
// The JPEG encoder channel of capture or decode channel number c: c + 2 x channel end + 2 x chip
// channel count; -1 past the encoder's 128 channels.
VENC_CHN JpegChnOf(int32_t s32Chn);
// A word of the rate-control part by what it means: the modes lay them out differently (no bit rate
// in the fixed-quantiser mode: null).
enum VencRcField { VENC_RC_GOP, VENC_RC_SRC, VENC_RC_DST, VENC_RC_BITRATE };
uint32_t* VencRcWord(VENC_RC_ATTR_S* pstRc, VencRcField enField);
// Adapts both streams of a channel to a source frame rate. 0 or -1.
int CaptureSetRCSrc(int32_t s32Chn, int32_t s32Src, int32_t s32Main, int32_t s32Sub);
