// What motion and blind detection share: the channel check, the capture channel of a channel, and
// starting and stopping a detection channel fed by a capture channel.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_video.h"
#include "sdk/vda/vda_ioctl.h"

// Records of the detection modules: one per channel index below 32.
#define ALARM_MAX_CHN 32

// TOTAL_VI_CHN_NUM: the end of this chip's channel range (command 96 word 2).
int32_t AlarmTotalViChn();
// A channel the master may name: 0 to TOTAL_VI_CHN_NUM - 1 and below 32, compared unsigned so a
// negative one fails.
bool AlarmChnOk(int32_t s32Chn);
// The capture channel of a channel's split record into *ps32ViChn: 0, or -1 (logged by `pszFunc`).
int32_t AlarmViChnOf(int32_t s32Chn, int32_t* ps32ViChn, const char* pszFunc);
// Product types whose detection runs at one result every 20 pictures.
bool AlarmSlowProduct(uint32_t u32DevType);

// Creates detection channel `s32VdaChn`, binds capture channel `s32ViChn` to it and starts it; a
// failed step undoes the ones done and gives its code. `pszCreateErr` is the create failure's line.
int32_t AlarmVdaStart(int32_t s32VdaChn, int32_t s32ViChn, const VDA_CHN_ATTR_S* pstAttr, const char* pszFile,
                      const char* pszFunc);
// Stops, unbinds and destroys it; the first failure's code, or 0.
int32_t AlarmVdaStop(int32_t s32VdaChn, int32_t s32ViChn, const char* pszFile, const char* pszFunc);

// What the split module tells detection beyond the wiring, set at start-up: the secondary channel
// number of a channel's record (-1 without one) and the processing group of its preview.
typedef int32_t (*AlarmSplitChnFn)(int32_t s32Chn);
void AlarmSetSplitHooks(AlarmSplitChnFn pfnSecondary, AlarmSplitChnFn pfnPreviewGrp);

// A channel as a picture source (no live caller): the video input {VI channel, secondary channel
// number of its split record, 3} and the processing source {preview group, 2, size of display layer 0}.
typedef struct {
    int32_t s32ViChn;
    int32_t s32SecChn;
    int32_t s32ViWord;  // 3
    int32_t s32Grp;
    int32_t s32GrpWord;  // 2
    SIZE_S stLayerSize;
} ALARM_CHN_SOURCE_S;
// 0, or -1 for a channel outside 0..TOTAL_VI_CHN_NUM - 1, a null record, or a channel the split
// cannot describe (no record, or the split hooks not set).
int32_t AlarmGetChnSource(int32_t s32Chn, ALARM_CHN_SOURCE_S* pstSrc);
