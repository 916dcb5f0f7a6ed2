// The capture commands of the master link: create (28), start (30), video standard (31), format (32),
// stop (33), force I frame (34), covers (35) and the JPEG channel flag (82). All run on the command
// loop's thread.
#pragma once

#include <cstdint>

#include "app/enc/venc_chn.h"

// Format record of command 32 (12 bytes): kind, rate control, size code, quality, frame rate, flags
// (bit 0 enabled, bit 1 audio), bit rate (16 bits), I-frame interval in seconds, three unread bytes.
enum {
    CAP_FMT_KIND = 0,
    CAP_FMT_RC = 1,
    CAP_FMT_SIZE = 2,
    CAP_FMT_QUALITY = 3,
    CAP_FMT_FPS = 4,
    CAP_FMT_FLAGS = 5,
    CAP_FMT_KBPS = 6,
    CAP_FMT_GOP = 8,
};
// The compression kind that selects variable rate with virtual I frames.
#define CAP_KIND_VIRTUAL_I 9

// 0, or -1 for a channel outside the 32 records or a lock that cannot be made. A repeated create keeps
// the channel's covers and their handles.
int CaptureCreate(int32_t s32Chn);
int CaptureStart(int32_t s32Chn, int32_t s32Type);
int CaptureSetVstd(int32_t s32Chn, int32_t s32Std);
// pu8Format: the 12-byte record. 0 or -1; a main or sub picture the common pools cannot hold
// (Comm_PicFitsPools) is refused before the stream is touched.
int CaptureSetFormat(int32_t s32Chn, int32_t s32Type, const uint8_t* pu8Format);
int CaptureStop(int32_t s32Chn, int32_t s32Type);
// 0, or the encoder's code.
int CaptureForceIFrame(int32_t s32Chn, int32_t s32Type);
// pu8Cover: left, top, right, bottom (16 bits each) on the 352-wide grid, then the enable word. Bad
// arguments answer 0; a cover that cannot be made -1. A cover refused before it is made (an inverted
// rectangle, an input whose attributes cannot be read) leaves the one shown at that index.
int CaptureSetCover(int32_t s32Chn, int32_t s32Index, const uint8_t* pu8Cover);
int CaptureSetChnFlag(int32_t s32Chn);

// The encoder parameters a main or sub format asks for: bit rate held to 16 .. 20480, frame rate at
// least 2, at most 25 (PAL) or 30 (NTSC) and then at most the channel's rate limit (a limit of 0 is
// none chosen: no limit), GOP of the interval's seconds (10 for kind 9) times the rate but at least 1,
// quantisers by quality.
VENC_PARAM_S CaptureFormatParam(uint32_t u32Vstd, uint32_t u32RateLimit, uint32_t u32SysPicSize,
                                const uint8_t* pu8Format);

// The JPEG picture of a type-4 format: its width, height and size code under the standard.
void CaptureJpegSize(uint32_t u32Vstd, uint8_t u8SizeCode, uint32_t u32SysPicSize, uint32_t* pu32W,
                     uint32_t* pu32H, int32_t* ps32Code);
// Quality byte to JPEG quality level: 6 - byte when that is 0 to 5, else 5.
uint32_t CaptureJpegQuality(uint8_t u8Byte);

// A repeated command 96 destroys every encoder, region and descriptor: the capture module forgets
// them (streams not created, not receiving, no descriptor; no JPEG channel, cover or title region; the
// snapshot threads stopped) so that the master's commands 31, 32, 30 and its titles make them again as
// the first time. Settings that name no object stay (standard, JPEG allowed). Adds what it forgot.
struct CommForgotten;
void CaptureForgetMedia(CommForgotten* pOut);

// The split module's display mode and model frame rate, which the format command consults. While the
// split module has not set them the display is taken as live preview (mode 0).
typedef int32_t (*CaptureSplitDisplayModeFn)();
typedef int32_t (*CaptureSplitModelModeFn)(int32_t* ps32Rate, int32_t* ps32Flag);
void CaptureSetSplitModeHooks(CaptureSplitDisplayModeFn pfnMode, CaptureSplitModelModeFn pfnModel);

// The capture frame rate of a busy display (command 53, and a format command during playback):
// CaptureModelFrameRate moves both encoder streams of channel s32Chn to s32Rate (CaptureSetRCSrc with
// rate, rate, rate) and keeps each stream's configured rate as its previous one before storing the
// new rate; CaptureRestoreFrameRate gives both streams their previous rates back (source rate taken
// from the input) and makes them the configured ones again. The video input's own rate is the
// caller's. 0 or -1 (a channel outside the 32 records, or CaptureSetRCSrc's failure). Command loop only.
int CaptureModelFrameRate(int32_t s32Chn, int32_t s32Rate);
int CaptureRestoreFrameRate(int32_t s32Chn);

// The capture-list buffer size of the product: 16384 for product 651, 20480 for 656, else -1.
int CaptureGetBufSize();

// Installs the capture commands and the set-up's capture hooks.
void CaptureRegister();
