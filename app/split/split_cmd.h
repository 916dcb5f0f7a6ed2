// The layout commands of the split: the master's layout (mode, page, one window per channel) shown on
// display layer 0 (command 27) or on layer 8 with the channel offset (51, 52), the electronic zoom
// (49, 50), the preview scaling of the shared-group configuration, the frame-rate model of heavy
// configurations, and the display-mode switches no command reaches. All on the command loop's thread.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_video.h"

// The layout record of commands 27 and 51 (280 bytes).
typedef struct {
    int32_t s32Mode;
    int32_t s32Page;
    uint32_t au32Res[4];
    uint16_t au16Rect[32][4];  // per channel index: left, top, right, bottom; all 0 = no window
} SPLIT_LAYOUT_S;
static_assert(sizeof(SPLIT_LAYOUT_S) == 280);

// A window rectangle of the master's space (reference Wr x Hr) on a layer of Wd x Hd: even
// coordinates and sizes; right < left (bottom < top) gives size 0; a zero reference size is taken as
// the layer's (no scaling).
RECT_S SplitScaleRect(const uint16_t au16Rect[4], uint32_t u32RefW, uint32_t u32RefH, uint32_t u32LayW,
                      uint32_t u32LayH);
// The same with the display geometry in force (output size as reference, image size as layer).
RECT_S SplitScaleRectNow(const uint16_t au16Rect[4]);

// The processing group that carries channel k's preview.
int32_t SplitPreviewGrp(int32_t s32Chn);
// The shared-group configuration (the set-up's wide test).
bool SplitSharedGrp();
// A CIF-class channel: at or above the analog D1 count, below D1 + CIF, and the CIF count not 16.
bool SplitIsCifChn(int32_t s32Chn);

// Command 27: 0, or -1 for a mode outside 0..15 or a negative page (nothing changes).
int32_t HwSplitChnSet(const SPLIT_LAYOUT_S* pLayout);
// Hides every channel of layer 0. 0.
int32_t HwSplitDisable();
// Command 51: 0, or -1 for a bad mode or page or a failing display call.
int32_t SlaverHwSplitChnSet(const SPLIT_LAYOUT_S* pLayout);
// Command 52. 0.
int32_t SlaverSplitChnDisable();
// Command 49: the result of the final binding; -1 for a channel whose record chn + X is not below 32.
int32_t HwSplitSetZoom(int32_t s32Chn, const RECT_S* pstCrop);
// Command 50: 0 when not zoomed, else the crop result; -1 for a channel outside 0..31.
int32_t HwSplitResetZoom(int32_t s32Chn);

int32_t SignlePreview(int32_t s32Chn);
int32_t MultiPreview(int32_t s32Chn);
void SplitCalcPreScale(uint32_t u32RefWidth, int32_t s32Mode, int32_t s32Code, uint32_t u32Width,
                       uint32_t u32Height, uint32_t* pu32OutWidth, uint32_t* pu32OutHeight);
// The frame rate heavy configurations preview at: 0 with *pFlag 1 for a match, *pFlag 0 otherwise;
// -1 for a null argument.
int32_t SplitGetModelMode(int32_t* ps32Rate, int32_t* ps32Flag);
// Command 53: on products whose model mode lowers rates, s32Restore 0 moves every capture channel of
// this chip (capture input and both encoder streams) to the model rate, keeping the configured rates
// as previous; any other value gives the channels their own input rate and previous stream rates
// back. Nothing on other products. 0.
int32_t SplitApplyModelMode(int32_t s32Restore);
// (framebuffer width / 32) x 4. 0, or -1 for a null argument.
int32_t SplitGetFbInfo(uint32_t* pu32Out);

// ---- No live caller ----
// Shows and binds one channel on layer 0 with its stored window, if not shown. 0 or -1.
int32_t SplitChnEnable(int32_t s32Chn);
// Resets its zoom and hides and unbinds it. 0 or -1.
int32_t SplitChnDisable(int32_t s32Chn);
// Undoes an active zoom window. 0.
int32_t SplitZoomCancel();
// Display mode 0 live preview, 1 playback, 2, 3; with s32Chn >= 0 one channel between preview (mode
// 0) and single-channel playback, which plays into that channel's display channel (the decode module's
// pause, resume and stop act on it until the channel goes back to preview). Live preview hides the
// decode channels' displays; every other mode hides the preview and shows them back as the playback
// left them. 0, or -1 for a mode outside 0..3 or a channel without a record.
int32_t SplitSetDisplayMode(int32_t s32Mode, int32_t s32Chn);

// The decode module's display operations, set at start-up: the number of decode channels, show
// (non-zero) or hide (0) one channel's display, and the display channel single-channel playback uses
// (-1: none). Unset (null): there is no decode module to move.
typedef uint32_t (*SplitDecChnNumFn)();
typedef int32_t (*SplitDecDisplayFn)(uint32_t u32Chn, uint32_t bShow);
typedef void (*SplitDecOverrideFn)(int32_t s32VoChn);
void SplitSetDecDisplayHooks(SplitDecChnNumFn pfnNum, SplitDecDisplayFn pfnDisplay, SplitDecOverrideFn pfnOverride);

// Installs commands 27 and 49 to 52 and the preview hooks of the media set-up.
void SplitRegisterCmds();
