#include "app/fb/graphics.h"
#include "app/fb/graphics_internal.h"

namespace {

struct GraphicsModule {
    GraphicsState stState;
    GraphicsHooks stHooks{};
};

GraphicsModule& Module() {
    static auto* m = new GraphicsModule;
    return *m;
}

struct SizeCode {
    uint32_t u32Width, u32Height, u32Code;
};

// Output sizes the display interface knows, and their timing codes.
const SizeCode kSizes[] = {
    {800, 600, 16},  {1024, 768, 17}, {1280, 1024, 18}, {1280, 720, 8},
    {1920, 1080, 6}, {1440, 900, 20}, {3840, 2160, 30}, {2560, 1440, 26},
};
constexpr uint32_t kDefaultCode = 17;

void SetHead(uint32_t index, uint32_t value) {
    if (Module().stHooks.pfnSetDecHeadWord) Module().stHooks.pfnSetDecHeadWord(index, value);
}

}  // namespace

void GraphicsSetHooks(const GraphicsHooks* pHooks) {
    Module().stHooks = pHooks ? *pHooks : GraphicsHooks{};
}

GraphicsState* GraphicsGetState() {
    return &Module().stState;
}

int GraphicsSaveVstd(int, uint32_t u32Vstd) {
    GraphicsState& st = Module().stState;
    if (st.bVstdSet) return 0;
    SetHead(3, u32Vstd);
    st.u32Vstd = u32Vstd;
    st.bVstdSet = 1;
    return 0;
}

uint32_t GraphicsIntfSync(uint32_t u32Width, uint32_t u32Height) {
    for (const SizeCode& s : kSizes) {
        if (s.u32Width == u32Width && s.u32Height == u32Height) return s.u32Code;
    }
    return 0;
}

int GraphicsSetResolution(const uint32_t* pu32Size) {
    GraphicsState& st = Module().stState;
    uint32_t w = pu32Size[0];
    uint32_t h = pu32Size[1];
    uint32_t code = GraphicsIntfSync(w, h);
    if (code == 0) {
        w = 1024;
        h = 768;
        code = kDefaultCode;
    }
    st.u32Width = w;
    st.u32Height = h;
    bool ntsc = st.u32Vstd == GRAPHICS_VSTD_NTSC;
    uint32_t rate = ntsc ? 30 : 25;
    uint32_t stdHeight = ntsc ? 480 : 576;
    bool svga = w == 800 && h == 600;
    SetHead(4, w);
    SetHead(5, h);
    SetHead(8, svga ? 704 : w);
    SetHead(9, svga ? 576 : h);
    SetHead(10, w);
    SetHead(11, h);
    SetHead(12, 0);
    SetHead(14, rate);
    SetHead(15, code);
    SetHead(16, 1);
    const GraphicsHooks& hk = Module().stHooks;
    if (hk.pfnSetDecDisplayDefaults) {
        GraphicsDisplayDefaults d = {704, stdHeight, 704, stdHeight, 3, rate, ntsc ? 1u : 0u};
        hk.pfnSetDecDisplayDefaults(&d);
    }
    if (hk.pfnVoPubConfigCascade) hk.pfnVoPubConfigCascade(0);
    if (hk.pfnAVdecSetDefaults) hk.pfnAVdecSetDefaults(st.u32Vstd);
    SetHead(6, st.u32Width);
    SetHead(7, st.u32Height);
    return 0;
}

void GraphicsReset() {
    GraphicsFbReset();
    GraphicsState& st = Module().stState;
    st.bVstdSet = 0;
    st.u32Vstd = GRAPHICS_VSTD_PAL;
    st.u32Width = 1024;
    st.u32Height = 768;
    Module().stHooks = GraphicsHooks{};
}
