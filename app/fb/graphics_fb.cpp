// The framebuffer layer of the display settings: the layers' devices, their geometry and memory, and
// the 2D engine job that clears the GUI layer. No command reaches it.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "app/fb/graphics.h"
#include "app/fb/graphics_internal.h"
#include "app/comm/app_log.h"
#include "platform/dev/dev.h"
#include "sdk/tde/mpi_tde.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kSource = "../fb/Graphics.c";
// Turns a layer on: the chip framebuffer driver's own request.
constexpr unsigned long kFbIoPutShow = 0x40044665;
// The device of each layer; layers 1 and 2 share one.
constexpr const char* kFbDev[GRAPHICS_LAYER_NUM] = {"/dev/fb0", "/dev/fb2", "/dev/fb2", "/dev/fb3"};
// What the GUI layer is cleared to: transparent black with the alpha bit set.
constexpr MK_U32 kGuiClear = 0x8000;

bool g_tdeOpen = false;  // GraphicsCreate opened the engine

// Sets up, maps, clears and shows one open layer.
int SetUpLayer(int i, GraphicsLayer& l) {
    fb_var_screeninfo var;
    if (dev::Ioctl(l.s32Fd, FBIOGET_VSCREENINFO, &var) < 0) {
        APP_ERR(kSource, "Get variable screen info failed!\n");
        return -1;
    }
    var.xres = l.u32Width;
    var.yres = l.u32Height;
    var.xres_virtual = l.u32VirWidth;
    var.yres_virtual = l.u32VirHeight;
    var.xoffset = var.yoffset = 0;
    var.bits_per_pixel = 16;
    var.transp = {15, 1, 0};
    var.red = {10, 5, 0};
    var.green = {5, 5, 0};
    var.blue = {0, 5, 0};
    if (dev::Ioctl(l.s32Fd, FBIOPUT_VSCREENINFO, &var) < 0) {
        APP_ERR(kSource, "Put variable screen info failed!\n");
        return -1;
    }
    fb_fix_screeninfo fix;
    if (dev::Ioctl(l.s32Fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        APP_ERR(kSource, "Get fix screen info failed!\n");
        return -1;
    }
    if (l.pu8Mem != nullptr) dev::Munmap(l.pu8Mem, l.u32MemLen);  // set up again after a failure
    l.pu8Mem = nullptr;
    void* mem = dev::Mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, l.s32Fd, 0);
    if (mem == MAP_FAILED) {
        APP_ERR(kSource, "Unable to memory map the video hardware\n");
        return -1;
    }
    l.pu8Mem = static_cast<uint8_t*>(mem);
    l.u32MemLen = fix.smem_len;
    l.u32PhyAddr = static_cast<uint32_t>(fix.smem_start);
    l.u32Stride = fix.line_length;
    std::memset(l.pu8Mem, 0, l.u32MemLen);
    if (dev::Ioctl(l.s32Fd, FBIOPAN_DISPLAY, &var) < 0) {
        std::printf("FBIOPAN_DISPLAY failed!\n");
        return -1;
    }
    int show = 1;
    if (dev::Ioctl(l.s32Fd, kFbIoPutShow, &show) < 0) {
        std::printf("i =%d FBIOPUT_SHOW_MKFB failed!\n", i);
        return -1;
    }
    return 0;
}

// Fills the GUI layer with kGuiClear in one engine job; a job whose fill fails is cancelled.
int ClearGui(const GraphicsLayer& gui) {
    TDE_HANDLE h = MK_TDE2_BeginJob();
    if (h == MK_ERR_TDE_JOB_FAILED || h < 0) {
        APP_ERR(kSource, "start job failed!\n");
        return -1;
    }
    TDE2_SURFACE_S surface{};
    surface.u32PhyAddr = gui.u32PhyAddr;
    surface.enColorFmt = TDE2_COLOR_FMT_ARGB1555;
    surface.u32Width = gui.u32Width;
    surface.u32Height = gui.u32Height;
    surface.u32Stride = gui.u32Stride;
    TDE2_RECT_S rect{0, 0, gui.u32Width, gui.u32Height};
    MK_S32 ret = MK_TDE2_Bitblit(h, &surface, &rect, kGuiClear);
    if (ret != MK_SUCCESS) {
        APP_ERR(kSource, "MK_TDE2_Bitblit failed! 0x%x\n", static_cast<unsigned>(ret));
        MK_TDE2_CancelJob(h);
        return -1;
    }
    return MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10) == MK_SUCCESS ? 0 : -1;
}

}  // namespace

int GraphicsCreate() {
    GraphicsState& st = *GraphicsGetState();
    if (st.bCreated) return 0;
    for (GraphicsLayer& l : st.astLayer) l.s32Fd = -1;
    MK_S32 ret = MK_TDE2_Open();
    if (ret != MK_SUCCESS) {
        // Without the engine no layer can be cleared: the layer is not made.
        APP_ERR(kSource, "MK_TDE2_Open error:%#X\n", static_cast<unsigned>(ret));
        return -1;
    }
    g_tdeOpen = true;
    const uint32_t videoHeight = st.u32Vstd == GRAPHICS_VSTD_NTSC ? 480 : 576;
    st.astLayer[GRAPHICS_LAYER_GUI] = GraphicsLayer{-1, 1, st.u32Width, st.u32Height, st.u32Width, st.u32Height};
    st.astLayer[GRAPHICS_LAYER_VIDEO] = GraphicsLayer{-1, 0, 704, videoHeight, 704, videoHeight};
    st.astLayer[GRAPHICS_LAYER_2] = GraphicsLayer{-1, 0, 704, videoHeight, 704, videoHeight};
    st.astLayer[GRAPHICS_LAYER_CURSOR] = GraphicsLayer{-1, 1, 32, 32, 32, 32};
    for (int i = 0; i < GRAPHICS_LAYER_NUM; ++i) {
        GraphicsLayer& l = st.astLayer[i];
        if (!l.bEnable) continue;
        l.s32Fd = dev::Open(kFbDev[i], O_RDWR);
        if (l.s32Fd < 0) {
            APP_ERR(kSource, "=======>i %d %s\n", i, kFbDev[i]);
            std::perror("open FB_DEV");
        }
    }
    st.bCreated = 1;
    return 0;
}

int GraphicsSetVstd() {
    GraphicsState& st = *GraphicsGetState();
    pthread_mutex_lock(&st.mutex);
    // Layers exist only once GraphicsCreate has made them.
    int ret = st.bCreated ? 0 : -1;
    if (ret == 0 && !st.bLayersSet) {
        for (int i = 0; i < GRAPHICS_LAYER_NUM && ret == 0; ++i) {
            GraphicsLayer& l = st.astLayer[i];
            // A layer whose device did not open has nothing to set.
            if (l.bEnable && l.s32Fd >= 0) ret = SetUpLayer(i, l);
        }
        const GraphicsLayer& gui = st.astLayer[GRAPHICS_LAYER_GUI];
        if (ret == 0 && gui.pu8Mem != nullptr) ret = ClearGui(gui);
        if (ret == 0) {
            st.stInfo = GraphicsInfo{gui.u32Width, gui.u32Height};
            st.bLayersSet = 1;
        }
    }
    pthread_mutex_unlock(&st.mutex);
    return ret;
}

int GraphicsDestory() {
    GraphicsState& st = *GraphicsGetState();
    for (GraphicsLayer& l : st.astLayer) {
        if (l.bEnable && l.s32Fd >= 0) dev::Close(l.s32Fd);
        if (l.bEnable) l.s32Fd = -1;
    }
    return 0;
}

int GraphicsGetSurface(GraphicsFbSurface* pSurface) {
    if (pSurface == nullptr) return -1;
    int ret = GraphicsSetVstd();
    if (ret != 0) return ret;
    const GraphicsLayer& gui = GraphicsGetState()->astLayer[GRAPHICS_LAYER_GUI];
    *pSurface = GraphicsFbSurface{0, 2 * gui.u32Width, gui.u32Width, gui.u32Height, {0, 0, 0}};
    return 0;
}

int GraphicsGetInfo(GraphicsInfo* pInfo) {
    if (pInfo == nullptr) return -1;
    *pInfo = GraphicsGetState()->stInfo;
    return 0;
}

void GraphicsFbReset() {
    GraphicsState& st = *GraphicsGetState();
    for (GraphicsLayer& l : st.astLayer) {
        if (l.pu8Mem != nullptr) dev::Munmap(l.pu8Mem, l.u32MemLen);
        if (l.s32Fd >= 0) dev::Close(l.s32Fd);
        l = GraphicsLayer{};
    }
    if (g_tdeOpen) MK_TDE2_Close();
    g_tdeOpen = false;
    st.stInfo = GraphicsInfo{};
    st.bLayersSet = 0;
    st.bCreated = 0;
}
