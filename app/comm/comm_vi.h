// Video input configuration: capture devices (command 92), capture channels (command 93), the
// re-adaptation of a channel to a newly detected input format (command 87), the capture frame-rate
// setter of the capture and split code, and the adaptation variants no live path reaches.
//
// A logical channel (0 to 31) reaches its capture channel and device through the split module's
// channel records (the wiring entries of CommSetupHooks); the video standard is the split module's.
#pragma once

#include <cstdint>

#include "sdk/vi/vi_ioctl.h"

#define COMM_VI_CHN_NUM 32

// The four device attribute templates (1 to 4).
VI_DEV_ATTR_S CommViDevTemplate(int32_t s32Which);
// The device attributes command 92 sets for a device and mode on the settings in force.
VI_DEV_ATTR_S CommViDevAttrFor(int32_t s32ViDev, int32_t s32Mode);

// Command 92. 0 or -1.
int32_t Comm_ViPubConfig(int32_t s32ViDev, int32_t s32Mode);
// Command 93: configures capture channel s32ViChn for size code s32Size (flip mode 1 mirrors, 2
// flips); refused (-1) for a capture channel that no split record of this chip names, and for a size
// the common pools cannot hold (Comm_PicFitsPools), which leaves the channel as it was. 0 or -1.
int32_t Comm_ViChnConfig(int32_t s32ViChn, int32_t s32Size, int32_t s32Flip, int32_t s32Unused);
// Command 87: logical channel s32Chn now carries input format s32Format at s32Fps frames a second.
// Refused (-1) for a channel of 32 or more; 0 without change for an unlisted format. 0 or -1.
int32_t Comm_AdaptViChnConfigSlaver(int32_t s32Chn, int32_t s32Format, int32_t s32Fps);
// Sets a logical channel's target capture rate; in the wide configuration also its minor picture
// (bMinor) or clears it. 0, or -1 for a channel without a capture channel.
int32_t Set_VichnFPS(int32_t s32Chn, int32_t s32Fps, int32_t bMinor);

// Per-channel state of the logical channels, any thread: the target rate last chosen for the main
// capture (25 at load), the rate command 87 last reported (0 at load), and whether command 93 has
// configured the channel. Channels outside 0..31 read 25, 0 and false.
int32_t Comm_GetViChnMainFps(int32_t s32Chn);
int32_t Comm_GetViChnReportedFps(int32_t s32Chn);
bool Comm_ViChnIsConfigured(int32_t s32Chn);
// Back to the state at load (tests).
void CommResetViState();

// ---- Variants no live path reaches ----
// As command 87, with the capture skip mode set to the destination size and the device re-programmed
// on more boards (sub-types 48, 49, 55, 56, 57 and 58).
int32_t Comm_AdaptViChnConfig(int32_t s32Chn, int32_t s32Format, int32_t s32Fps);
// As command 87 for the size Comm_GetInputResSize reports for the channel, without device
// re-programming and without the lost-signal picture; 0 without change for a size of no format.
int32_t Comm_AdaptViChnConfigV2(int32_t s32Chn, int32_t s32Fps);
// As command 87 for a capture size given directly (the format of that size).
int32_t Comm_AdaptViChnConfigV3(int32_t s32Chn, uint32_t u32Width, uint32_t u32Height, int32_t s32Fps);
// The capture module's video standard word.
uint32_t Comm_GetCaptureParam();
// Re-programs every capture device of this chip's split records (read, disable its channels and the
// device, set, enable) and switches its delay-locked loop slave mode on (bDllSlave) or off. 0 or -1.
int32_t Comm_ViConfigV2(int32_t bDllSlave);
