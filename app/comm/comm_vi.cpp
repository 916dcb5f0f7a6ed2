#include "app/comm/comm_vi.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_system.h"
#include "app/fb/graphics.h"
#include "sdk/vi/mpi_vi.h"

namespace {

constexpr const char* kSrc = "../comm/vivo.c";
constexpr MK_U32 kPixFmt = 23;
constexpr MK_U32 kCapSelBoth = 2;
constexpr int32_t kMainFpsAtLoad = 25;

struct ViState {
    std::atomic<int32_t> mainFps[COMM_VI_CHN_NUM];
    std::atomic<int32_t> reportedFps[COMM_VI_CHN_NUM];
    std::atomic<bool> configured[COMM_VI_CHN_NUM];
    ViState() { Reset(); }
    void Reset() {
        for (int i = 0; i < COMM_VI_CHN_NUM; ++i) {
            mainFps[i] = kMainFpsAtLoad;
            reportedFps[i] = 0;
            configured[i] = false;
        }
    }
};

ViState& State() {
    static auto* s = new ViState;
    return *s;
}

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
    for (uint32_t s : set) {
        if (s == v) return true;
    }
    return false;
}

bool ChnOk(int32_t s32Chn) {
    return static_cast<uint32_t>(s32Chn) < COMM_VI_CHN_NUM;
}

// The input formats command 87 knows: capture size, destination width, capture x.
struct AdaptFormat {
    int32_t format;
    uint32_t capW, capH, destW;
    int32_t capX;
};
const AdaptFormat kFormats[] = {
    {1, 1280, 720, 1280, 0},   {2, 1920, 1080, 1920, 0},  {5, 1856, 480, 928, 0},    {6, 1856, 576, 928, 0},
    {9, 1920, 1440, 1920, 128}, {10, 2560, 1944, 2560, 0}, {11, 2560, 1440, 2560, 0},
};

const AdaptFormat* FormatById(int32_t s32Format) {
    for (const AdaptFormat& f : kFormats) {
        if (f.format == s32Format) return &f;
    }
    return nullptr;
}

const AdaptFormat* FormatBySize(uint32_t w, uint32_t h) {
    for (const AdaptFormat& f : kFormats) {
        if (f.capW == w && f.capH == h) return &f;
    }
    return nullptr;
}

// What a variant of the adaptation does besides the common steps.
enum class Reprogram { kNever, kSlaveBoards, kMoreBoards };
struct AdaptOptions {
    Reprogram reprogram;
    bool lossPic;
    bool skipMode;
};

bool Reprograms(Reprogram r, uint32_t u32Board) {
    switch (r) {
        case Reprogram::kSlaveBoards: return In(u32Board, {55, 58});
        case Reprogram::kMoreBoards: return In(u32Board, {48, 49, 55, 56, 57, 58});
        default: return false;
    }
}

void SetSync(VI_DEV_ATTR_S* a, std::initializer_list<std::pair<int, MK_U32>> words) {
    MK_U32 w[sizeof(VI_SYNC_CFG_S) / sizeof(MK_U32)] = {};
    for (const auto& [i, v] : words) w[i] = v;
    std::memcpy(&a->stSynCfg, w, sizeof(w));
}

// The device re-programming of the adaptation: the clock edge the format and rate need.
int32_t ReprogramDevice(int32_t s32Chn, int32_t s32ViChn, int32_t s32ViDev, int32_t s32Format, int32_t s32Fps) {
    Comm_ViUnBindVpss(s32ViChn, s32Chn);
    VI_DEV_ATTR_S stDev;
    MK_S32 s32Ret = MK_MPI_VI_GetDevAttr(s32ViDev, &stDev);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_GetDevAttr failed 0x%x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    bool fast = (s32Format == 9 && s32Fps > 18) || (s32Format == 11 && s32Fps > 15) || (s32Format == 10 && s32Fps > 12);
    stDev.enClkEdge = fast ? 2 : 0;
    if ((s32Ret = MK_MPI_VI_DisableChn(s32ViChn)) != 0)
        APP_ERR(kSrc, "MK_MPI_VI_DisableChn failed with %#x! ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    if ((s32Ret = MK_MPI_VI_DisableDev(s32ViDev)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_DisableDev %d failed 0x%x!", s32ViDev, static_cast<unsigned>(s32Ret));
        return -1;
    }
    if ((s32Ret = MK_MPI_VI_SetDevAttr(s32ViDev, &stDev)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_SetDevAttr failed 0x%x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if ((s32Ret = MK_MPI_VI_EnableDev(s32ViDev)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_EnableDev %d failed 0x%x!", s32ViDev, static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

// The picture-size code of a destination size (scan mode 0 and the 960H code for the 928-wide ones).
int32_t CodeOfDest(uint32_t w, uint32_t h, MK_U32* pScan) {
    static const struct {
        uint32_t w, h;
        int32_t code;
    } kCodes[] = {{1280, 720, PIC_720P}, {1920, 1080, PIC_1080P}, {1920, 1440, PIC_3M}, {2560, 1440, PIC_4M},
                  {2560, 1944, PIC_5M}};
    for (const auto& c : kCodes) {
        if (c.w == w && c.h == h) {
            *pScan = 1;
            return c.code;
        }
    }
    *pScan = 0;
    return PIC_960H;
}

// Steps of command 87 after the format is known, shared by the variants.
int32_t Adapt(int32_t s32Chn, const AdaptFormat& f, int32_t s32Fps, const AdaptOptions& opt) {
    if (opt.lossPic) CommHookLossSetUserPic(s32Chn, 0);
    int32_t s32ViChn = -1, s32ViDev = -1;
    if (CommHookSplitGetChnWiring(s32Chn, &s32ViChn, &s32ViDev) != 0) {
        APP_ERR(kSrc, "channel %d has no capture channel", s32Chn);
        return -1;
    }
    const bool reprogram = Reprograms(opt.reprogram, Comm_GetBoardSubType());
    if (reprogram && ReprogramDevice(s32Chn, s32ViChn, s32ViDev, f.format, s32Fps) != 0) return -1;
    VI_CHN_ATTR_S stAttr = {};
    stAttr.stCapRect = {f.capX, 0, f.capW, f.capH};
    stAttr.u32DestWidth = f.destW;
    stAttr.u32DestHeight = f.capH;
    stAttr.enCapSel = kCapSelBoth;
    stAttr.enPixFormat = kPixFmt;
    stAttr.s32SrcFrameRate = s32Fps;
    SIZE_S stCap = {f.capW, f.capH};
    int32_t s32Main = Comm_GetViChnFps(&stCap);
    State().mainFps[s32Chn] = s32Main;
    stAttr.s32DstFrameRate = s32Main < s32Fps ? s32Main : s32Fps;
    int32_t s32Code = CodeOfDest(f.destW, f.capH, &stAttr.enScanMode);
    CommHookSplitSetChnPicSize(s32Chn, s32Code);
    MK_S32 s32Ret;
    if ((s32Ret = MK_MPI_VI_DisableChn(s32ViChn)) != 0)
        APP_ERR(kSrc, "MK_MPI_VI_DisableChn failed with %#x! ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    if ((s32Ret = MK_MPI_VI_SetChnAttr(s32ViChn, &stAttr)) != 0)
        APP_ERR(kSrc, "MK_MPI_VI_SetChnAttr failed with %#x, ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    if (opt.skipMode) {
        VI_SKIP_MODE_EX_S stSkip = {};
        s32Ret = MK_MPI_VI_GetSkipModeEx(s32ViChn, &stSkip);
        stSkip.u32Width = stAttr.u32DestWidth;
        stSkip.u32Height = stAttr.u32DestHeight;
        if (s32Ret == 0) s32Ret = MK_MPI_VI_SetSkipModeEx(s32ViChn, &stSkip);
        if (s32Ret != 0)
            APP_ERR(kSrc, "MK_MPI_VI_SetSkipModeEx failed 0x%x! ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    }
    if ((s32Ret = MK_MPI_VI_EnableChn(s32ViChn)) != 0)
        APP_ERR(kSrc, "failed with %#x! ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    if (reprogram) Comm_ViBindVpss(s32ViChn, s32Chn);
    CommHookCaptureSetRCSrc(s32Chn, 0, 0, 0);
    if (Comm_WideTest()) {
        if (CommHookSplitGetSinglePreview() == s32Chn) {
            CommHookSignlePreview(s32Chn);
        } else {
            CommHookMultiPreview(s32Chn);
        }
    }
    SIZE_S stFmt = {0, 0};
    int32_t s32FmtCode = CommHookCaptureGetFormatSize(s32Chn, 0);
    bool bHaveFmt = s32FmtCode >= 0;
    if (bHaveFmt) Comm_SysGetPicSize(CommHookCaptureGetVstd(), s32FmtCode, &stFmt, true);
    CommHookCaptureSetRCSrc(s32Chn, 0, 0, 0);
    if (bHaveFmt && stFmt.u32Width == f.capW && stFmt.u32Height == f.capH) {
        CommHookCaptureSetFormat(s32Chn, 0);
        CommHookCaptureSetFormat(s32Chn, 1);
    }
    return 0;
}

// Whether the split records can be read; while they cannot, one line says so.
bool WiringAvailable() {
    if (CommGetSetupHooks().pfnSplitGetChnWiring.load() != nullptr) return true;
    int32_t s32Vi, s32Dev;
    CommHookSplitGetChnWiring(0, &s32Vi, &s32Dev);
    return false;
}

// The logical channel whose split record names capture channel s32ViChn, or -1.
int32_t LogicalOf(int32_t s32ViChn) {
    if (!WiringAvailable()) return -1;
    uint32_t u32End = SlaveGetSysCfg().u32ChnEnd;
    int32_t n = u32End > COMM_VI_CHN_NUM ? COMM_VI_CHN_NUM : static_cast<int32_t>(u32End);
    for (int32_t i = 0; i < n; ++i) {
        int32_t s32Vi = -1, s32Dev = -1;
        if (CommHookSplitGetChnWiring(i, &s32Vi, &s32Dev) == 0 && s32Vi == s32ViChn) return i;
    }
    return -1;
}

}  // namespace

VI_DEV_ATTR_S CommViDevTemplate(int32_t s32Which) {
    VI_DEV_ATTR_S a = {};
    a.au32CompMask[0] = 0xFF000000;
    for (MK_S32& ad : a.s32AdChnId) ad = -1;
    switch (s32Which) {
        case 1: a.enWorkMode = 2; a.enDataSeq = 3; SetSync(&a, {{5, 1}}); break;
        case 2: a.enClkEdge = 2; a.enDataSeq = 3; SetSync(&a, {{5, 1}}); break;
        case 3: a.enWorkMode = 1; a.enDataSeq = 3; SetSync(&a, {{5, 1}}); break;
        default:
            a.enIntfMode = 3;
            a.au32CompMask[1] = 0x00FF0000;
            a.enDataSeq = 1;
            SetSync(&a, {{1, 1}, {8, 1920}, {11, 1080}});
            break;
    }
    return a;
}

VI_DEV_ATTR_S CommViDevAttrFor(int32_t s32ViDev, int32_t s32Mode) {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t d = cfg.u32DevType, b = cfg.u32BoardSubType;
    const int16_t* an = cfg.stHvrCap.as16Analog;
    VI_DEV_ATTR_S a;
    if (d == 652 || d == 653) {
        a = CommViDevTemplate(1);
        a.enClkEdge = b == 50 ? 0 : 2;
    } else if (d == 657 || d == 659 || b == 55 || b == 58) {
        a = CommViDevTemplate(2);
        if (an[HVR_CAP_1080P] > 0 || b == 59) a.enClkEdge = 0;
    } else {
        a = CommViDevTemplate(3);
        if (an[HVR_CAP_1080P] > 0 || an[HVR_CAP_3M] > 0 || an[HVR_CAP_5M] > 0 || an[HVR_CAP_4M] > 0)
            a.enClkEdge = b == 50 ? 0 : 2;
    }
    if (s32Mode == 5) a = CommViDevTemplate(4);
    // Devices 0 and 2 of each group of four take the other half of the bus.
    const uint32_t u32Pos = static_cast<uint32_t>(s32ViDev) % 4;
    if (u32Pos == 0 || u32Pos == 2) {
        if (a.enIntfMode == 3) {
            a.au32CompMask[0] = 0xFF000000;
            a.au32CompMask[1] = 0x00FF0000;
        } else {
            a.au32CompMask[0] = 0x00FF0000;
        }
    } else {
        a.au32CompMask[0] = 0xFF000000;
    }
    if (a.enIntfMode == 4) a.au32CompMask[1] = 0;
    return a;
}

int32_t Comm_ViPubConfig(int32_t s32ViDev, int32_t s32Mode) {
    VI_DEV_ATTR_S a = CommViDevAttrFor(s32ViDev, s32Mode);
    MK_S32 s32Ret = MK_MPI_VI_SetDevAttr(s32ViDev, &a);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "set VI attribute failed 0x%x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if ((s32Ret = MK_MPI_VI_EnableDev(s32ViDev)) != 0) {
        APP_ERR(kSrc, "set VI  enable failed 0x%x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t Comm_ViChnConfig(int32_t s32ViChn, int32_t s32Size, int32_t s32Flip, int32_t) {
    // The per-channel tables have 32 entries: a capture channel no record names has no place in them.
    int32_t s32Chn = LogicalOf(s32ViChn);
    if (s32Chn < 0) {
        APP_ERR(kSrc, "no channel of this chip is captured by ViChn %d", s32ViChn);
        return -1;
    }
    SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t u32Vstd = CommHookSplitGetVstd();
    SIZE_S size;
    Comm_SysGetPicSize(u32Vstd, s32Size, &size, true);
    // Decided before the channel is disabled: a refused size leaves the input capturing as it was.
    uint32_t u32Need = 0, u32Largest = 0;
    if (!Comm_PicFitsPools(size, &u32Need, &u32Largest)) {
        APP_ERR(kSrc, "ViChn=%d: a %ux%u picture needs pool blocks of %u bytes, the largest is %u: size %d refused",
                s32ViChn, size.u32Width, size.u32Height, u32Need, u32Largest, s32Size);
        return -1;
    }
    MK_S32 s32Ret = MK_MPI_VI_DisableChn(s32ViChn);
    if (s32Ret != 0) APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
    auto is = [&size](uint32_t w, uint32_t h) { return size.u32Width == w && size.u32Height == h; };
    VI_CHN_ATTR_S stAttr = {};
    stAttr.stCapRect = {is(944, 1080) ? 16 : 0, 0, size.u32Width, size.u32Height};
    stAttr.u32DestWidth = size.u32Width;
    stAttr.u32DestHeight = size.u32Height;
    stAttr.enCapSel = kCapSelBoth;
    stAttr.enScanMode = 1;
    stAttr.enPixFormat = kPixFmt;
    stAttr.bMirror = s32Flip == 1;
    stAttr.bFlip = s32Flip == 2;
    const bool ntsc = u32Vstd != 0;
    int32_t s32Src = ntsc ? 30 : 25;
    if (is(2560, 1944)) {
        s32Src = In(cfg.u32BoardSubType, {55, 58, 53}) ? 20 : 12;
    } else if (is(2560, 1440)) {
        s32Src = 15;
    } else if (is(3840, 2160)) {
        s32Src = ntsc ? 15 : 12;
    } else if (is(1920, 1440)) {
        s32Src = 18;
    }
    int32_t s32Dst = Comm_GetViChnFps(&size);
    if (s32Dst > s32Src) s32Dst = s32Src;
    State().mainFps[s32Chn] = s32Dst;
    stAttr.s32SrcFrameRate = s32Src;
    stAttr.s32DstFrameRate = s32Dst;
    if ((In(cfg.u32DevType, {551, 601, 651, 654, 655, 656, 657, 658, 659, 660}) ||
         In(cfg.u32BoardSubType, {55, 58})) &&
        s32ViChn % 4 != 0) {
        VI_CHN_BIND_ATTR_S stBind;
        if (MK_MPI_VI_GetChnBind(s32ViChn, &stBind) == static_cast<MK_S32>(MK_ERR_VI_CHN_NOT_BOUND)) {
            stBind = {s32ViChn / 4, 1};
            if ((s32Ret = MK_MPI_VI_BindChn(s32ViChn, &stBind)) != 0)
                APP_ERR(kSrc, " MK_MPI_VI_BindChn failed with %#x", static_cast<unsigned>(s32Ret));
        }
    }
    if ((s32Ret = MK_MPI_VI_SetChnAttr(s32ViChn, &stAttr)) != 0) {
        APP_ERR(kSrc, "ViChn=%d, failed with %#x!", s32ViChn, static_cast<unsigned>(s32Ret));
        return -1;
    }
    if ((s32Ret = MK_MPI_VI_EnableChn(s32ViChn)) != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (CommWideTest(cfg.u32DevType, cfg.stHvrCap)) {
        VI_CHN_ATTR_S stMinor = stAttr;
        stMinor.u32DestWidth /= 2;
        stMinor.u32DestHeight /= 2;
        stMinor.s32DstFrameRate = (s32Src < 26 ? s32Src : 25) - s32Dst;
        if ((s32Ret = MK_MPI_VI_SetChnMinorAttr(s32ViChn, &stMinor)) != 0) {
            APP_ERR(kSrc, "ViChn=%d, failed with %#x!", s32ViChn, static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    CommHookLossSetUserPic(s32Chn, 1);
    State().configured[s32Chn] = true;
    return 0;
}

int32_t Comm_AdaptViChnConfigSlaver(int32_t s32Chn, int32_t s32Format, int32_t s32Fps) {
    // The per-channel tables have 32 entries.
    if (!ChnOk(s32Chn)) {
        APP_ERR(kSrc, "channel %d is out of range", s32Chn);
        return -1;
    }
    State().reportedFps[s32Chn] = s32Fps;
    const AdaptFormat* f = FormatById(s32Format);
    if (f == nullptr) return 0;
    return Adapt(s32Chn, *f, s32Fps, {Reprogram::kSlaveBoards, true, false});
}

int32_t Comm_AdaptViChnConfig(int32_t s32Chn, int32_t s32Format, int32_t s32Fps) {
    if (!ChnOk(s32Chn)) return -1;
    State().reportedFps[s32Chn] = s32Fps;
    const AdaptFormat* f = FormatById(s32Format);
    if (f == nullptr) return 0;
    return Adapt(s32Chn, *f, s32Fps, {Reprogram::kMoreBoards, true, true});
}

int32_t Comm_AdaptViChnConfigV2(int32_t s32Chn, int32_t s32Fps) {
    if (!ChnOk(s32Chn)) return -1;
    SIZE_S stSize = {0, 0};
    if (CommHookGetInputResSize(s32Chn, &stSize) != 0) return -1;
    const AdaptFormat* f = FormatBySize(stSize.u32Width, stSize.u32Height);
    if (f == nullptr) return 0;
    State().reportedFps[s32Chn] = s32Fps;
    return Adapt(s32Chn, *f, s32Fps, {Reprogram::kNever, false, false});
}

int32_t Comm_AdaptViChnConfigV3(int32_t s32Chn, uint32_t u32Width, uint32_t u32Height, int32_t s32Fps) {
    if (!ChnOk(s32Chn)) return -1;
    State().reportedFps[s32Chn] = s32Fps;
    const AdaptFormat* f = FormatBySize(u32Width, u32Height);
    if (f == nullptr) return 0;
    return Adapt(s32Chn, *f, s32Fps, {Reprogram::kSlaveBoards, true, false});
}

int32_t Set_VichnFPS(int32_t s32Chn, int32_t s32Fps, int32_t bMinor) {
    int32_t s32ViChn = -1, s32ViDev = -1;
    if (!ChnOk(s32Chn) || CommHookSplitGetChnWiring(s32Chn, &s32ViChn, &s32ViDev) != 0) {
        APP_ERR(kSrc, "channel %d has no capture channel", s32Chn);
        return -1;
    }
    VI_CHN_ATTR_S stAttr = {};
    MK_S32 s32Ret = MK_MPI_VI_GetChnAttr(s32ViChn, &stAttr);
    if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VI_GetChnAttr failed with %#x, ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    stAttr.s32DstFrameRate = s32Fps;
    if ((s32Ret = MK_MPI_VI_SetChnAttr(s32ViChn, &stAttr)) != 0)
        APP_ERR(kSrc, "MK_MPI_VI_SetChnAttr failed with %#x, ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    if (!Comm_WideTest()) return 0;
    if (bMinor) {
        SIZE_S size;
        int32_t s32Code = CommHookSplitGetChnVi(s32Chn, 0);
        Comm_SysGetPicSize(CommHookSplitGetVstd(), s32Code, &size, true);
        VI_CHN_ATTR_S stMinor = stAttr;
        CommHookSplitCalcPreScale(GraphicsGetDisplayGeometry().u32Width, 1, s32Code, size.u32Width, size.u32Height,
                                  &stMinor.u32DestWidth, &stMinor.u32DestHeight);
        int32_t s32Src = stAttr.s32SrcFrameRate;
        stMinor.s32DstFrameRate = (s32Src < 26 ? s32Src : 25) - s32Fps;
        if (stMinor.s32DstFrameRate >= 1 && (s32Ret = MK_MPI_VI_SetChnMinorAttr(s32ViChn, &stMinor)) != 0)
            APP_ERR(kSrc, "MK_MPI_VI_SetChnMinorAttr failed with %#x, ViChn=%d", static_cast<unsigned>(s32Ret),
                    s32ViChn);
    } else if ((s32Ret = MK_MPI_VI_ClearChnMinorAttr(s32ViChn)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_GetChnMinorAttr failed with %#x, ViChn=%d", static_cast<unsigned>(s32Ret), s32ViChn);
    }
    return 0;
}

uint32_t Comm_GetCaptureParam() {
    return CommHookCaptureGetVstd();
}

int32_t Comm_ViConfigV2(int32_t bDllSlave) {
    if (!WiringAvailable()) return -1;
    uint32_t u32End = SlaveGetSysCfg().u32ChnEnd;
    int32_t n = u32End > COMM_VI_CHN_NUM ? COMM_VI_CHN_NUM : static_cast<int32_t>(u32End);
    int32_t as32Vi[COMM_VI_CHN_NUM], as32Dev[COMM_VI_CHN_NUM];
    for (int32_t i = 0; i < n; ++i) {
        if (CommHookSplitGetChnWiring(i, &as32Vi[i], &as32Dev[i]) != 0) as32Vi[i] = as32Dev[i] = -1;
    }
    bool done[VIU_MAX_DEV_NUM] = {};
    int32_t s32Result = 0;
    for (int32_t i = 0; i < n; ++i) {
        int32_t dev = as32Dev[i];
        if (static_cast<uint32_t>(dev) >= VIU_MAX_DEV_NUM || done[dev]) continue;
        done[dev] = true;
        VI_DEV_ATTR_S stDev;
        MK_S32 s32Ret = MK_MPI_VI_GetDevAttr(dev, &stDev);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VI_GetDevAttr failed 0x%x!", static_cast<unsigned>(s32Ret));
            s32Result = -1;
            continue;
        }
        for (int32_t j = 0; j < n; ++j) {
            if (as32Dev[j] == dev) MK_MPI_VI_DisableChn(as32Vi[j]);
        }
        if ((s32Ret = MK_MPI_VI_DisableDev(dev)) != 0)
            APP_ERR(kSrc, "set VIDev %d  MK_MPI_VI_DisableDev failed 0x%x!", dev, static_cast<unsigned>(s32Ret));
        if ((s32Ret = MK_MPI_VI_SetDevAttr(dev, &stDev)) != 0 || (s32Ret = MK_MPI_VI_EnableDev(dev)) != 0) {
            APP_ERR(kSrc, "set VIDev %d failed 0x%x!", dev, static_cast<unsigned>(s32Ret));
            s32Result = -1;
            continue;
        }
        s32Ret = bDllSlave ? MK_MPI_VI_EnableDllSlave(dev) : MK_MPI_VI_DisableDllSlave(dev);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "set VIDev %d delay-locked loop failed 0x%x!", dev, static_cast<unsigned>(s32Ret));
            s32Result = -1;
        }
    }
    return s32Result;
}

int32_t Comm_GetViChnMainFps(int32_t s32Chn) {
    return ChnOk(s32Chn) ? State().mainFps[s32Chn].load() : kMainFpsAtLoad;
}

int32_t Comm_GetViChnReportedFps(int32_t s32Chn) {
    return ChnOk(s32Chn) ? State().reportedFps[s32Chn].load() : 0;
}

bool Comm_ViChnIsConfigured(int32_t s32Chn) {
    return ChnOk(s32Chn) && State().configured[s32Chn].load();
}

void CommResetViState() {
    State().Reset();
}
