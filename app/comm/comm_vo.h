// Display devices: the cascade display device that carries the composed picture to the master,
// single display channels for the split and playback code, and the local display set-up that no live
// path reaches.
#pragma once

#include <cstdint>

#include "sdk/vo/vo_ioctl.h"

#define COMM_VO_CAS_DEV 7
#define COMM_VO_CAS_POS_NUM 32

// The cascade set-up of a resolution command (device 0 from the display settings): disables the
// device (-1 when that fails), sets the cascade attributes, the device's public attributes and video
// layer 0 from the display geometry, enables cascade device 7 with pattern 1, binds its 32 positions
// to display channels 0 to 31 and enables the cascade. Every later failure is printed and the set-up
// goes on; returns 0.
int Comm_VoPubConfig_Cascade(int s32VoDev);
// Sets and enables a display channel; on layer 3 with settings byte 27 set, does nothing. 0 or -1.
int32_t Comm_VoChnConfig(int32_t s32VoLayer, int32_t s32VoChn, const VO_CHN_ATTR_S* pstAttr);

// ---- Local display set-up (no live caller) ----

// Sets up display device s32VoDev with its video layer, colours, write-back and VGA values from the
// display geometry. 0 or -1.
int32_t Comm_VoPubConfig(int32_t s32VoDev);
// The HDMI video format code of a display timing code (0 and a line for codes it does not know).
int32_t Comm_VoHdmiFormatOf(uint32_t u32IntfSync);
// Starts HDMI output in the format of a display timing code, with 8000 Hz audio. 0 or -1.
int32_t Comm_VoHdmiConvertSync(uint32_t u32IntfSync);
// Sets device s32VoDev up with the stored timing and asks the HDMI sink whether it takes it: 0 when a
// sink is connected (and, for the 4K timings 26 and 30, supports their format), -1 otherwise.
int32_t TryGetVoSupportResoltion(int32_t s32VoDev);

// What this program writes into and reads from the HDMI records: attribute words 0 to 2 (output
// enabled, video format, deep colour bits), and in the sink capability au32Word[f], the support flag
// of HDMI video format f.
#define COMM_HDMI_ATTR_ENABLE 0
#define COMM_HDMI_ATTR_FORMAT 1
#define COMM_HDMI_ATTR_DEEP_COLOR 2
#define COMM_HDMI_DEEP_COLOR_BITS 16
#define COMM_HDMI_AUDIO_RATE 8000
// Scales the colour values of graphic layer 0 by four levels 0 to 100 (50 keeps the default) and sets
// the HDMI and VGA values of the boards that have them. Other layers: 0.
int32_t Comm_VoPubTVColorConfig(int32_t s32Layer, const uint32_t* pu32Levels);
// A default colour value scaled by a level 0..100: below 50 proportionally down, above 50 linearly up
// to 100; above 100 a line and the default.
uint32_t VideoColorGetRegValue(uint32_t u32Level, uint32_t u32Default);
