// What the capture, detection, audio, base and drawing code ask of the board through hooks. This
// slave board has none of it: each answers a fixed value and the callers go on with what they had.
#pragma once

#include <cstdint>

// SlaveGraphicsCreate, DevMouseOpenHook, DevMouseReadHook: the drawing library's layers and mouse.
#include "draw/draw_hooks.h"

int SysQueryHook(int query, void* pOut);
int CapListAllocHook(void* pBuf, uint32_t size);
int CaptureGetBufferHook(uint32_t a, uint32_t b);
int CapListFreeHook(uint32_t node);
void ViAdaptHook(uint32_t a, uint32_t b);
int BlindStateHook(int chn);
int BlindLevelHook(int chn);
void AlarmHookA(uint32_t word);
int AlarmHookB(uint32_t word, int flag);
int MotionGetStateHook(uint32_t* pOut);
int MotionSetParamHook();
int AudioSwitchHook(uint32_t a, uint32_t b);
// The base library's clock setter calls it after setting the time: the hardware clock is not set.
int SystemTimeToRtcTimeSet();

// A 32-bit word of physical memory through /dev/mem. 0, or -1 when the device cannot be opened or
// the page mapped.
int RegWrite(uint32_t addr, uint32_t value);
int RegRead(uint32_t addr, uint32_t* pValue);
