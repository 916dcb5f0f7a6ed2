// What motion and blind detection share: the channel check, the capture channel of a channel, and
// starting and stopping a detection channel fed by a capture channel.
#pragma once

#include <cstdint>

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
