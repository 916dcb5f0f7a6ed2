// The master's playback commands (none is answered). Each acts on the channel's record in the
// playback block, on the chip's decoder, processing and display channels, and for the frame lists on
// the channel's record in the decode block. Commands 69 to 74 return -1, doing nothing, for a channel
// outside 0 .. total decode channels - 1, and with one line for a record the master never enabled
// (command 64): its zeros would name another channel's decoder, display channel and group. Command
// loop only.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_video.h"
#include "sdk/vpss/vpss_ioctl.h"

int32_t PlaySetDirection(uint32_t u32Chn, uint32_t u32Direction);  // 69: 0 forward, 1 backward
int32_t PlayStart(uint32_t u32Chn);                                // 70
int32_t PlayStop(uint32_t u32Chn);                                 // 71
int32_t PlayResume(uint32_t u32Chn);                               // 72
int32_t PlayFlush(uint32_t u32Chn);                                // 73
int32_t PlayPause(uint32_t u32Chn, uint32_t u32StillShow);         // 74

// A rectangle of the master's, in its display coordinates; the layout of the rectangle commands' bytes.
struct PLAY_RECT_S {
    uint16_t u16Left, u16Top, u16Right, u16Bottom;
};
static_assert(sizeof(PLAY_RECT_S) == 8);

// Commands 65, 66 (the rectangles, from the message: they read its bytes 16..31), 67 and 68 take only
// channels that are decode channels and whose group record (channel minus the first decoder channel)
// is one of them, 75 only decode channels: else -1. 65, 66 and 75 refuse (-1, one line) a record the
// master never enabled; 67 and 68 leave it alone (0). 75 leaves a channel alone for a type other than
// 0 and 1, and unbinds from the record's own group.
int32_t HwPlayBackDisable(uint32_t u32Chn, uint32_t u32Mode);  // 67
int32_t HwDigDecDisable(uint32_t u32Chn);                      // 68
int32_t PlaySetDecType(uint32_t u32Chn, uint32_t u32Type);     // 75: 0 H.264, 1 JPEG

// The crop of the zoom: the zoom rectangle (when given with all four values non-zero) in the
// coordinates of the display rectangle (when given and not empty) over a picture of `size`, each value
// rounded down to a multiple of 4; else the whole picture. Width and height at least
// (framebuffer width / 32) x 4, x and y at most the picture's size less that; 480 and 240 lines go
// to 576 and 288.
VPSS_CROP_INFO_S PlayZoomCrop(bool bZoom, uint32_t zl, uint32_t zt, uint32_t zr, uint32_t zb, bool bDisp, uint32_t dl,
                              uint32_t dt, uint32_t dr, uint32_t db, SIZE_S size, uint32_t u32FbWidth);

// ---- No command reaches these ----
// The number of decode channels the playback commands take (digital and playback, at most the table).
uint32_t PlayChnNum();
// Moves decode channel u32Chn's display channel on the playback device: bShow 0 hides it; any other
// value shows it back when the playback left it shown (record shown, not hidden by its hide flag, not
// paused), else leaves it hidden. Nothing while display is off. 0, the display's error code, or -1 for a
// channel outside the decode channels.
int32_t PlaysetStatus(uint32_t u32Chn, uint32_t bShow);
// The display channel that pause, resume and stop act on instead of the record's (single-channel
// playback in a live window); -1 (or any negative value) gives every channel its own back.
void PlaySetVoChnOverride(int32_t s32VoChn);

// The rectangle commands (65 for a recording, 66 for a digital channel; PlaySetRect2 takes the one of
// the channel's kind) on the decode block: its records, started flags and display-enabled word, on
// the display device its head word 12 names. A null zoom or display rectangle is one not given.
int32_t PlaySetRecDecRect2(uint32_t u32Chn, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp);
int32_t PlaySetDigDecRect2(uint32_t u32Chn, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp);
int32_t PlaySetRect2(uint32_t u32Chn, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp);
// The disables (67, 68) on the decode block, for the record's display channel on device 8.
int32_t HwPlayBackDisableSignel(uint32_t u32Chn, uint32_t u32Mode);
int32_t HwDigDecDisableSignel(uint32_t u32Chn);

// Registers 65 to 75 (from AVdecRegister).
void PlayRegisterCmdHandlers();
void PlayRegisterDisplayCmdHandlers();
