// Blind detection (command 90 configures a channel, 91 starts the thread), the black lost-signal
// picture (command 95 and the video input set-up), input resolution sizes and the input check.
//
// Two methods by product type: on 658 to 661 detection channels in occlusion mode (channel c on
// detection channel c + N, N the chip's channel count); elsewhere a thread compares one frame's luma
// per channel with a threshold.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_video.h"
#include "sdk/vda/vda_ioctl.h"

// Command 90 after its channel word: 8 bytes.
typedef struct {
    uint8_t u8Level;
    uint8_t au8Unused[3];
    int32_t s32Enable;
} BLIND_PARAM_S;
static_assert(sizeof(BLIND_PARAM_S) == 8);

// Command 90: 0, -1 for a channel outside 0..TOTAL_VI_CHN_NUM - 1, a null record or (occlusion
// method) a level outside 1 to 6, or the SDK's code of the step that failed (undone; the channel is
// left off).
int32_t BlindDetectSetParameter(int32_t s32Chn, const BLIND_PARAM_S* pParam);
// Command 91: starts the thread once (a repeat is logged), then clears the blind bitmap. 0.
int32_t BlindDetectCreate();
// The thread's body; returns only once BlindDetectStop asks it to (tests).
void* BlindCapData(void* arg);
// One walk over the channels by the method of the product in force (tests drive it directly).
void BlindCapPass();
void BlindDetectStop();
// The occlusion channels are gone with the media system (a repeated command 96): those channels count
// as not enabled until command 90 enables them again. The number forgotten.
uint32_t BlindForget();
// Stops the thread, tears down occlusion channels and restores the settings at load (tests).
void BlindDetectReset();

// The luma factor of a level (luma method): 1..5 -> 20, 32, 56, 64, 80; others 100.
int32_t BlindLumaFactor(int32_t s32Level);
// Blind when the luma sum is at or below width x height x factor.
bool BlindIsDark(uint64_t u64Luma, uint32_t u32Width, uint32_t u32Height, int32_t s32Level);
// The occlusion attribute of a level 1..6 on a product; false for another level.
bool BlindOdAttr(int32_t s32Level, uint32_t u32DevType, VDA_CHN_ATTR_S* pstAttr);

// The lost-signal picture of a channel on (enable non-zero) or off; builds the black picture first
// when it is not built. Channel -1 only builds it. 0, or -1 when a step fails or the channel is
// outside 0..TOTAL_VI_CHN_NUM - 1.
int32_t LossSetUserPic(int32_t s32Chn, int32_t s32Enable);
// Gives the picture's pool block back (before the pools are rebuilt); the next use builds it again.
void LossReleaseUserPic();
// The picture as built (tests): its frame record; false while none is built.
bool LossGetUserPic(VIDEO_FRAME_INFO_S* pstFrame);

// The size of an input resolution code; -1 x -1 for an unknown one.
SIZE_S CommInputResSizeOfCode(int32_t s32Code);
// The size the input of a channel carries, by the code the input check last stored; returns pstSize.
SIZE_S* Comm_GetInputResSize(SIZE_S* pstSize, int32_t s32Chn);

// The input check: the lost-signal bitmap of the channels (their picture shown, their motion bit
// cleared), or the last result while another check runs. Keeps each channel's format code and, through
// the format table, its input resolution code and frame rate.
int32_t VideoLossCheck();
// Runs the check on the boards that have it: its result, 0 for size class 4, else -1.
int32_t VideoLossDispatch();
// The input-format follow-up: each channel whose resolution code or frame rate from the last check
// differs from the ones last applied has its capture channel re-adapted to the code's size (a code of
// no size has nothing to adapt to) and its lost-signal picture shown or hidden by its loss flag; a
// failed adaptation is tried again by the next follow-up. The number of channels applied. With this
// board's format table every format is unrecognised, so only a change of video standard (the frame
// rate of an unrecognised format) is seen. Board sub-types that pair channels are not told apart.
int32_t VideoFormatFollowUp();

// Format codes the table maps (codes at or above it are unrecognised).
#define VIDEO_FORMAT_NUM 110
// A format table entry: the input resolution code in the low four bits (15: unrecognised), the frame
// rate above them (VIDEO_FORMAT_FPS_*).
#define VIDEO_FORMAT_CODE_MASK 0x0F
#define VIDEO_FORMAT_UNKNOWN 0x0F
#define VIDEO_FORMAT_FPS_SHIFT 4
enum { VIDEO_FORMAT_FPS_STD = 0, VIDEO_FORMAT_FPS_25, VIDEO_FORMAT_FPS_30, VIDEO_FORMAT_FPS_50, VIDEO_FORMAT_FPS_60 };
// The input resolution code and frame rate of a format code under a video standard (0 PAL); the
// standard's rate is 25 (PAL) or 30.
void VideoFormatLookup(const uint8_t* pu8Table, int32_t s32Format, uint32_t u32Vstd, int32_t* ps32Code,
                       int32_t* ps32Fps);

// What the board's video decoders report per channel: a non-zero video-loss flag when the input has no
// signal, the input format code, and the table of format codes. This board reports neither (both 0)
// and recognises no format; a null record or a null member puts the board's own back (tests).
typedef struct {
    int32_t (*pfnVideoLoss)(int32_t s32Chn);
    int32_t (*pfnInputFormat)(int32_t s32Chn);
    const uint8_t* pu8FormatTable;  // VIDEO_FORMAT_NUM entries
} VIDEO_INPUT_BOARD_S;
void VideoLossSetBoard(const VIDEO_INPUT_BOARD_S* pstBoard);
// The format code the last check kept for a channel (0 before any, or outside 0..31).
int32_t VideoLossGetFormat(int32_t s32Chn);
