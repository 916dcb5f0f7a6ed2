// Display settings: the video standard and the output resolution the master chooses, and what they
// mean for the decode block. The framebuffer layer (no command reaches it) comes with the 2D engine.
#pragma once

#include <pthread.h>

#include <cstdint>

enum { GRAPHICS_VSTD_PAL = 0, GRAPHICS_VSTD_NTSC = 1 };

struct GraphicsState {
    int32_t bCreated = 0;
    int32_t bVstdSet = 0;
    uint32_t u32Vstd = GRAPHICS_VSTD_PAL;
    uint32_t u32Width = 1024;
    uint32_t u32Height = 768;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;  // the framebuffer layer's
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

GraphicsState* GraphicsGetState();
// The first call wins for the life of the process; returns 0.
int GraphicsSaveVstd(int s32Dev, uint32_t u32Vstd);
// au32Size = {width, height}; an unknown size becomes 1024 x 768. Returns 0.
int GraphicsSetResolution(const uint32_t* pu32Size);
// The display interface code of a size (17 for sizes without one); tests.
uint32_t GraphicsIntfSync(uint32_t u32Width, uint32_t u32Height);
// Back to the state at load, hooks taken out (tests).
void GraphicsReset();
