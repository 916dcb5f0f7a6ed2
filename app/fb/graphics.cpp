#include "app/fb/graphics.h"
#include "app/fb/graphics_internal.h"

#include <atomic>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"

namespace {

constexpr const char* kSrc = "../fb/Graphics.c";

constexpr GraphicsDisplayGeometry kGeometryAtLoad = {17, 1024, 768, 1024, 768, 25};

struct GraphicsModule {
    GraphicsState stState;
    std::atomic<GraphicsDecHeadWordFn> pfnSetDecHeadWord{nullptr};
    std::atomic<GraphicsDecDisplayDefaultsFn> pfnSetDecDisplayDefaults{nullptr};
    std::atomic<GraphicsVoPubConfigCascadeFn> pfnVoPubConfigCascade{nullptr};
    std::atomic<GraphicsAVdecSetDefaultsFn> pfnAVdecSetDefaults{nullptr};
    std::atomic<GraphicsVpssParamFn> pfnSetVpssParam{nullptr};
    std::atomic<GraphicsVpssDefParamFn> pfnGetVpssDefParam{nullptr};
    std::mutex geometryMutex;  // guards stGeometry
    GraphicsDisplayGeometry stGeometry = kGeometryAtLoad;
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

void PrintMissing(const char* pszFunc, const char* pszHook) {
    APP_ERR_IN(kSrc, pszFunc, "%s is not available on this slave\n", pszHook);
}

// Writes head words of the decode block; the first missing write of an operation says so once.
class HeadWriter {
public:
    explicit HeadWriter(const char* pszFunc) : m_pszFunc(pszFunc), m_pfn(Module().pfnSetDecHeadWord.load()) {}
    void operator()(uint32_t index, uint32_t value) {
        if (m_pfn != nullptr) {
            m_pfn(index, value);
        } else if (!m_bSaid) {
            PrintMissing(m_pszFunc, "the decode block");
            m_bSaid = true;
        }
    }

private:
    const char* m_pszFunc;
    GraphicsDecHeadWordFn m_pfn;
    bool m_bSaid = false;
};

}  // namespace

void GraphicsSetDecHeadWordHook(GraphicsDecHeadWordFn pfn) {
    Module().pfnSetDecHeadWord = pfn;
}
void GraphicsSetDecDisplayDefaultsHook(GraphicsDecDisplayDefaultsFn pfn) {
    Module().pfnSetDecDisplayDefaults = pfn;
}
void GraphicsSetVoPubConfigCascadeHook(GraphicsVoPubConfigCascadeFn pfn) {
    Module().pfnVoPubConfigCascade = pfn;
}
void GraphicsSetAVdecSetDefaultsHook(GraphicsAVdecSetDefaultsFn pfn) {
    Module().pfnAVdecSetDefaults = pfn;
}

void GraphicsSetVpssParamHooks(GraphicsVpssParamFn pfnSet, GraphicsVpssDefParamFn pfnGetDef) {
    Module().pfnSetVpssParam = pfnSet;
    Module().pfnGetVpssDefParam = pfnGetDef;
}

int32_t GraphicsSetVpssParam(int32_t s32Chn, const uint8_t* pu8Param) {
    if (s32Chn < 0 || s32Chn >= Comm_GetChipChnNum() || pu8Param == nullptr) {
        APP_ERR(kSrc, "chn %d is not an input of this chip\n", s32Chn);
        return -1;
    }
    GraphicsVpssParamFn pfn = Module().pfnSetVpssParam.load();
    if (pfn == nullptr) {
        PrintMissing(__FUNCTION__, "Comm_SetVpssParam");
        return -1;
    }
    // The wide layout keeps its inputs' groups past a base of their own (0 in the normal layout).
    const COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
    return pfn(map.as32Word[VPSS_MAP_IN_BASE] + map.as32Word[VPSS_MAP_WIDE_IN_BASE] + s32Chn, pu8Param);
}

int32_t GraphicsGetVpssDefParam(uint8_t* pu8Param) {
    GraphicsVpssDefParamFn pfn = Module().pfnGetVpssDefParam.load();
    if (pfn == nullptr) {
        PrintMissing(__FUNCTION__, "Comm_GetVpssDefParam");
        return -1;
    }
    return pfn(pu8Param);
}

GraphicsDisplayGeometry GraphicsGetDisplayGeometry() {
    std::lock_guard<std::mutex> lock(Module().geometryMutex);
    return Module().stGeometry;
}

GraphicsState* GraphicsGetState() {
    return &Module().stState;
}

int GraphicsSaveVstd(int, uint32_t u32Vstd) {
    GraphicsState& st = Module().stState;
    if (st.bVstdSet) return 0;
    HeadWriter SetHead("GraphicsSaveVstd");
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
    {
        // Before the cascade hook, which reads it.
        std::lock_guard<std::mutex> lock(Module().geometryMutex);
        Module().stGeometry = {code, w, h, svga ? 704u : w, svga ? 576u : h, rate};
    }
    HeadWriter SetHead("GraphicsSetResolution");
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
    GraphicsModule& m = Module();
    if (GraphicsDecDisplayDefaultsFn pfn = m.pfnSetDecDisplayDefaults.load()) {
        GraphicsDisplayDefaults d = {704, stdHeight, 704, stdHeight, 3, rate, ntsc ? 1u : 0u};
        pfn(&d);
    } else {
        PrintMissing("GraphicsSetResolution", "the display defaults of the decode block");
    }
    if (GraphicsVoPubConfigCascadeFn pfn = m.pfnVoPubConfigCascade.load()) {
        pfn(0);
    } else {
        PrintMissing("GraphicsSetResolution", "Comm_VoPubConfig_Cascade");
    }
    if (GraphicsAVdecSetDefaultsFn pfn = m.pfnAVdecSetDefaults.load()) {
        pfn(st.u32Vstd);
    } else {
        PrintMissing("GraphicsSetResolution", "AVdecSetDefaults");
    }
    SetHead(6, st.u32Width);
    SetHead(7, st.u32Height);
    return 0;
}

void GraphicsReset() {
    GraphicsFbReset();
    {
        std::lock_guard<std::mutex> lock(Module().geometryMutex);
        Module().stGeometry = kGeometryAtLoad;
    }
    GraphicsState& st = Module().stState;
    st.bVstdSet = 0;
    st.u32Vstd = GRAPHICS_VSTD_PAL;
    st.u32Width = 1024;
    st.u32Height = 768;
    GraphicsSetDecHeadWordHook(nullptr);
    GraphicsSetDecDisplayDefaultsHook(nullptr);
    GraphicsSetVoPubConfigCascadeHook(nullptr);
    GraphicsSetAVdecSetDefaultsHook(nullptr);
    GraphicsSetVpssParamHooks(nullptr, nullptr);
}
