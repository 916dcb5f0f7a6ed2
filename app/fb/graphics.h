// Display settings: the video standard and the output resolution the master chooses, and what they
// mean for the decode block. The framebuffer layer (no command reaches it) comes with the 2D engine.
#pragma once

#include <pthread.h>

#include <cstdint>

enum { GRAPHICS_VSTD_PAL = 0, GRAPHICS_VSTD_NTSC = 1 };

// Framebuffer layers: 0 the GUI, 1 a video-sized layer, 2 another, 3 the 32 x 32 cursor.
enum { GRAPHICS_LAYER_GUI = 0, GRAPHICS_LAYER_VIDEO = 1, GRAPHICS_LAYER_2 = 2, GRAPHICS_LAYER_CURSOR = 3,
       GRAPHICS_LAYER_NUM = 4 };

// One framebuffer layer: its device, whether it is used, its geometry and its memory once mapped.
struct GraphicsLayer {
    int32_t s32Fd = -1;
    int32_t bEnable = 0;
    uint32_t u32Width = 0;
    uint32_t u32Height = 0;
    uint32_t u32VirWidth = 0;
    uint32_t u32VirHeight = 0;
    uint8_t* pu8Mem = nullptr;
    uint32_t u32MemLen = 0;
    uint32_t u32PhyAddr = 0;
    uint32_t u32Stride = 0;
};

// The display information GraphicsGetInfo hands out.
struct GraphicsInfo {
    uint32_t u32Width;
    uint32_t u32Height;
};
static_assert(sizeof(GraphicsInfo) == 8);

// The GUI layer as a surface: pixel format (0: ARGB1555), bytes per row, size.
struct GraphicsFbSurface {
    uint32_t u32Format;
    uint32_t u32Stride;
    uint32_t u32Width;
    uint32_t u32Height;
    uint32_t au32Reserved[3];
};
static_assert(sizeof(GraphicsFbSurface) == 28);

struct GraphicsState {
    int32_t bCreated = 0;
    int32_t bVstdSet = 0;
    uint32_t u32Vstd = GRAPHICS_VSTD_PAL;
    uint32_t u32Width = 1024;
    uint32_t u32Height = 768;
    GraphicsLayer astLayer[GRAPHICS_LAYER_NUM];
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;  // the framebuffer layer's
    GraphicsInfo stInfo{};
    int32_t bLayersSet = 0;  // GraphicsSetVstd has run
};

// The display defaults a resolution change writes into the decode block, in this order.
struct GraphicsDisplayDefaults {
    uint32_t u32Width;   // 704
    uint32_t u32Height;  // standard height
    uint32_t u32ImgWidth;
    uint32_t u32ImgHeight;
    uint32_t u32Three;  // 3
    uint32_t u32FrameRate;
    uint32_t u32Ntsc;  // 1 NTSC, 0 PAL
};

// The display geometry the last resolution command chose (the same values the decode block holds):
// the display interface timing code, the output size, the image size (704 x 576 on an 800 x 600
// output, else the output size) and the frame rate of the saved standard. Before any resolution
// command: code 17, 1024 x 768, 25.
struct GraphicsDisplayGeometry {
    uint32_t u32IntfSync;
    uint32_t u32Width;
    uint32_t u32Height;
    uint32_t u32ImgWidth;
    uint32_t u32ImgHeight;
    uint32_t u32FrameRate;
};
// A copy, taken under the module's lock; any thread.
GraphicsDisplayGeometry GraphicsGetDisplayGeometry();

// Where the display settings reach the decode block and the cascade display. Each hook has its own
// setter, called by the module that owns the step from its Register function (AppRegisterModules,
// app/app_modules.cpp); null takes it out. While a hook is missing, each command that needs it prints
// one line naming it and goes on (commands 24 and 25 are answered with 0 whatever happens).
// Head word `u32Index` of the decode block AVdecState := `u32Value` (the decode module).
typedef void (*GraphicsDecHeadWordFn)(uint32_t u32Index, uint32_t u32Value);
// The display defaults of the decode block (the decode module).
typedef void (*GraphicsDecDisplayDefaultsFn)(const GraphicsDisplayDefaults* pDefaults);
// Comm_VoPubConfig_Cascade (the display module).
typedef int (*GraphicsVoPubConfigCascadeFn)(int s32Dev);
// AVdecSetDefaults (the decode module).
typedef int (*GraphicsAVdecSetDefaultsFn)(uint32_t u32Vstd);
void GraphicsSetDecHeadWordHook(GraphicsDecHeadWordFn pfn);
void GraphicsSetDecDisplayDefaultsHook(GraphicsDecDisplayDefaultsFn pfn);
void GraphicsSetVoPubConfigCascadeHook(GraphicsVoPubConfigCascadeFn pfn);
void GraphicsSetAVdecSetDefaultsHook(GraphicsAVdecSetDefaultsFn pfn);
// Comm_SetVpssParam(group, parameter bytes) and Comm_GetVpssDefParam(record) (the processing-group
// module).
typedef int32_t (*GraphicsVpssParamFn)(int32_t s32Grp, const uint8_t* pu8Param);
typedef int32_t (*GraphicsVpssDefParamFn)(uint8_t* pu8Param);
void GraphicsSetVpssParamHooks(GraphicsVpssParamFn pfnSet, GraphicsVpssDefParamFn pfnGetDef);

GraphicsState* GraphicsGetState();
// The first call wins for the life of the process; returns 0.
int GraphicsSaveVstd(int s32Dev, uint32_t u32Vstd);
// au32Size = {width, height}; an unknown size becomes 1024 x 768. Returns 0.
int GraphicsSetResolution(const uint32_t* pu32Size);
// The display interface code of a size (17 for sizes without one); tests.
uint32_t GraphicsIntfSync(uint32_t u32Width, uint32_t u32Height);
// The framebuffer layer, which no command reaches. Create opens the 2D engine and the enabled layers'
// devices (0 and 3); -1 when the engine cannot be opened. SetVstd sets every open layer to 16-bit
// ARGB1555 at its size, maps, clears and shows it, then fills the GUI layer with 0x8000 by an engine
// job; -1 when a step fails (a failed fill's job is cancelled). Both run once.
int GraphicsCreate();
int GraphicsSetVstd();
// Closes the enabled layers' devices.
int GraphicsDestory();
// Runs GraphicsSetVstd once, then describes the GUI layer.
int GraphicsGetSurface(GraphicsFbSurface* pSurface);
int GraphicsGetInfo(GraphicsInfo* pInfo);
// The noise parameters of input channel s32Chn (no command reaches them): its processing group is the
// channel map's first input group plus the wide layout's input base plus the channel, and
// Comm_SetVpssParam sets them there. 0, or -1 for a channel outside this chip's inputs, a missing
// record or the group's failure.
int32_t GraphicsSetVpssParam(int32_t s32Chn, const uint8_t* pu8Param);
// The default noise parameters into the caller's record (Comm_GetVpssDefParam): 0 or -1.
int32_t GraphicsGetVpssDefParam(uint8_t* pu8Param);

// Back to the state at load, hooks taken out (tests): layers closed, the engine released.
void GraphicsReset();
