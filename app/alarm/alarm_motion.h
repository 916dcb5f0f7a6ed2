// Motion detection: one detection channel in motion mode per watched input channel (command 88) and
// one thread that reads their results and keeps the motion bitmap of the heartbeat (command 89).
#pragma once

#include <sys/select.h>

#include <cstdint>
#include <vector>

#include "sdk/vda/vda_ioctl.h"

#define MOTION_REGION_ROWS 18
#define MOTION_MB_ROW_BYTES 40
#define MOTION_MB_MAP_BYTES 1620
#define MOTION_PIC_WIDTH 640
#define MOTION_PIC_HEIGHT 480

// Command 88 after its channel word: 84 bytes.
typedef struct {
    int32_t s32Level;                          // 1 (least sensitive) to 6
    uint32_t au32Region[MOTION_REGION_ROWS];   // bit c of row r: cell (r, c) of a 16 x 12 grid
    uint32_t u32Unused;
    int32_t s32Enable;
} MOTION_PARAM_S;
static_assert(sizeof(MOTION_PARAM_S) == 84);

// Command 88: stops what the channel ran, then (enable non-zero) starts a detection channel on the
// channel's capture channel and stores the watched macroblocks and thresholds. 0, -1 for a channel
// outside 0..TOTAL_VI_CHN_NUM - 1 or a null record, or the SDK's code of the step that failed (the
// steps already done are undone, and the channel is left off).
int32_t MotionDetectSetParameter(int32_t s32Chn, const MOTION_PARAM_S* pParam);
// Command 89: starts the detection thread once; a repeat is logged and changes nothing. 0.
int32_t MotionDetectCreate();
// The detection thread's body; returns only once MotionDetectStop asks it to (tests).
void* MotionCapData(void* arg);
// The motion bitmap merged into the state word, which is handed out and then cleared of its channel
// bits. 0, or -1 for a null pointer.
int32_t MotionDetectGetState(uint32_t* pData);

// One pass of the thread: waits up to `s32TimeoutMs` for results and evaluates the channels that have
// one. The number of channels evaluated, or -1 when no channel is watched (the thread then idles).
int32_t MotionCapPass(int32_t s32TimeoutMs);
// The pass's two halves: the wait (the ready descriptors into *pReady; the number ready, 0 on a
// time-out or a wait error, -1 when no channel is watched), and the evaluation of the channels whose
// descriptor is in *pReady (each under its record's lock, reading without waiting: a channel made
// again since the wait may have no result yet). The number evaluated.
int32_t MotionCapSelect(int32_t s32TimeoutMs, fd_set* pReady);
int32_t MotionCapEvaluate(const fd_set* pReady);
// Stops and joins the thread (tests and the process's end); MotionDetectCreate may start it again.
void MotionDetectStop();
// The detection channels are gone with the media system (a repeated command 96): every channel counts
// as not watched, so the thread waits on none and the next command 88 makes its channel again. The
// number that ran.
uint32_t MotionForget();
// Stops the thread and tears down every channel's detection channel (tests).
void MotionDetectReset();

// The macroblock map of a 640 x 480 picture (40 bytes a row) from the 12 used region rows; returns
// the number of marked macroblocks.
int32_t MotionBuildMbMap(const uint32_t* pu32Region, uint8_t* pu8Map);
// The same grid over a picture of any size: cells of width / 16 by height / 12 pixels, a map row of
// width / 16 bytes. Returns the marked count.
int32_t MotionBuildMbMapEx(const uint32_t* pu32Region, uint32_t u32Width, uint32_t u32Height,
                           std::vector<uint8_t>* pMap);

struct MotionThresholds {
    int32_t s32SadTh;
    int32_t s32CntTh;
};
// The thresholds of a level for a map with `s32Marked` watched macroblocks.
MotionThresholds MotionLevelThresholds(int32_t s32Level, int32_t s32Marked);

// Watched macroblocks of a result whose 8-bit SAD is above `s32SadTh` (0 when the SAD data is not
// valid). `pu8Sad` is the result's SAD data in this process.
uint32_t MotionCountChanged(const uint8_t* pu8Map, const VDA_DATA_S& stData, const uint8_t* pu8Sad,
                            int32_t s32SadTh);

// What a channel's record holds now (tests).
struct MotionRecordView {
    int32_t s32Enabled;
    int32_t s32Running;
    int32_t s32SadTh;
    int32_t s32CntTh;
    int32_t s32Marked;
};
MotionRecordView MotionGetRecord(int32_t s32Chn);
