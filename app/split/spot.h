// The spot output: the chip's channels on a second, monitor-only display device (device 3, layer 3)
// in an even square grid, analog inputs first and decoded channels after them. No command reaches it;
// settings byte 20 enables it, and while it is 0 every operation returns 0 and does nothing.
#pragma once

#include <cstdint>

#define SPOT_MODE_NUM 14
#define SPOT_VO_DEV 3
#define SPOT_VO_LAYER 3

// Windows per grid mode; -1 or 0: not supported.
extern const int32_t SpotDivWindows[SPOT_MODE_NUM];

// Parameters {grid mode, page}: stores them and lays the grid out on device 3, layer 3. The grid's
// result: 0, or -1 for a mode it does not support.
int32_t SpotSet(void* pUnused, const int32_t* ps32Params);
// Lays out page s32Page of grid s32Mode: analog channel k (below the split's channel count) shows its
// input directly in display channel k; decoded channel j shows in display channel count + j. 0, or -1
// with "Not support [DivMode:%d]" for a mode without windows or a negative page.
int32_t ViBindToVo(int32_t s32VoDev, int32_t s32VoLayer, int32_t s32Mode, int32_t s32Page);
// Unbinds and disables the decoded channels' windows. 0.
int32_t SpotUnbindSlaveChn(int32_t s32VoDev, int32_t s32VoLayer);
// Settings byte 20.
uint8_t SpotGetEnable();
// The grid mode and page last set (-1 before any).
void SpotGetLayout(int32_t* ps32Mode, int32_t* ps32Page);
