// The display split model: for every input channel of this chip, how it is wired to the video input
// hardware, which display channel shows it, where its window lies and whether it is shown or zoomed;
// for the whole display the layout in force, the video standard, the channel shown alone and the zoom
// window. Command 96 fills the wiring (HwSplitDevInit, SplitCreate), command 26 starts the module,
// and the layout commands (split_cmd.h) work on this state.
//
// Threads: everything runs on the command loop's thread except the wiring and audio accessors, which
// the detection and audio threads call; those take the module's record lock.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"

#define MAX_ANALOG_VO_CHN 32
#define SPLIT_MODE_NUM 16
#define SPLIT_MAX_WINDOWS 36  // the most windows of any mode

// One channel record, eleven 32-bit words.
typedef struct {
    uint32_t bShown;      // shown and bound in the current layout
    uint32_t bAudio;      // the live audio source
    int32_t s32ViChn;     // the video input channel that carries this input
    int32_t s32ViDev;     // its video input device
    int32_t s32VoChn;     // display channel: the record's own index
    int32_t s32SecChn;    // secondary channel number
    uint32_t bZoomed;     // an electronic zoom is applied
    uint16_t au16Rect[4]; // left, top, right, bottom in the master's space, as last stored
    int32_t s32CapSize;   // capture picture-size code
    int32_t s32Wire2;     // second wiring value
} SPLIT_CHN_S;
static_assert(sizeof(SPLIT_CHN_S) == 44);

typedef struct {
    uint32_t u32Layer;
    uint32_t u32Grp;
    int32_t s32VoChn;
    uint32_t bActive;
} SPLIT_ZOOM_WIN_S;

typedef struct {
    uint32_t u32Vstd;   // 0 PAL, 1 NTSC
    uint32_t u32One;    // 1 once HwSplitDevInit ran
    uint32_t u32Res;
    int32_t s32SinglePreview;
    int32_t s32Mode;    // -1 until the first layout
    int32_t s32Page;
    SPLIT_CHN_S astChn[MAX_ANALOG_VO_CHN];
    SPLIT_ZOOM_WIN_S stZoom;
} SplitState;

// Windows of each split mode.
extern const int32_t SplitModeWindows[SPLIT_MODE_NUM];

// ---- Set-up ----
// Command 96: zeroes the state and fills the wiring from the settings in force. 0.
int32_t HwSplitDevInit();
// Command 96, after HwSplitDevInit: the zoom window state. 0.
int32_t SplitCreate();
// Command 26: stores the video standard (0 PAL, 1 NTSC). 0.
int32_t SplitStart(uint32_t u32Vstd);
void* SplitThreadProc(void* pArg);

// ---- Accessors ----
// The state itself: command loop thread only.
SplitState* SplitGetState();
// The number of records command 96 set up (TOTAL_VI_CHN_NUM held to 0..32).
int32_t SplitGetChnCount();
// Wiring of channel s32Chn: 0, or -1 when it has no record. Any thread.
int32_t SplitGetChnWiring(int32_t s32Chn, int32_t* ps32ViChn, int32_t* ps32ViDev);
// Selector 0: capture size code, 1: second wiring value; out of range: 3 for selector 1, else 0.
int32_t SplitGetChnVi(int32_t s32Chn, int32_t s32Sel);
void SplitSetChnPicSize(int32_t s32Chn, int32_t s32Code);
// The secondary channel number of a record, -1 for a channel without one.
int32_t SplitGetChnSecondary(int32_t s32Chn);
// The audio-selected flag of a record; the setter is refused (-1) for a channel without a record.
int32_t SplitSetChnAudio(int32_t s32Chn, uint32_t bAudio);
uint32_t SplitGetChnAudio(int32_t s32Chn);
uint32_t SplitGetVstd();
int32_t SplitGetSinglePreview();
// The display mode word (0 to 3) and the single-channel playback flag; any thread.
int32_t SplitGetDisplayMode();
int32_t SplitGetPlaybackChnFlag();
void SplitStoreDisplayMode(int32_t s32Mode, int32_t s32PlaybackChn);

// The channel index window i of page p of a mode shows, or -1 for a mode or window it has not.
int32_t SplitWindowChn(int32_t s32Mode, int32_t s32Page, int32_t s32Window);
// The channels a layout shows, in window order, up to the first one that reaches s32Total; their
// number, or -1 for a mode outside 0..15 or a negative page. ps32Chns holds SPLIT_MAX_WINDOWS.
int32_t SplitWalkWindows(int32_t s32Mode, int32_t s32Page, int32_t s32Total, int32_t* ps32Chns);

// Wiring of list position i for a system type, size class, board and capability record (the tables
// alone, no state): VI channel, VI device, capture size code, second wiring value.
struct SplitWiring {
    int32_t s32ViChn, s32ViDev, s32CapSize, s32Wire2;
};
SplitWiring SplitWiringOf(uint32_t u32SysType, int32_t s32SizeClass, uint32_t u32Board, const HVR_CAP_S& cap,
                          int32_t s32Chn);
int32_t SplitSecondaryOf(uint32_t u32DevType, int32_t s32Chn);

// Installs the hooks and command handlers of the split module.
void SplitRegisterModule();
// Back to the state at load (tests).
void SplitReset();

// Internal to the module: the record lock, for the accessors other threads call.
void SplitLockRecords();
void SplitUnlockRecords();
