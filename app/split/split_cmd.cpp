#include "app/split/split_cmd.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vi.h"
#include "app/comm/comm_vo.h"
#include "app/enc/capture_cmd.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/split/split.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "split.c";
constexpr int32_t kLayer0 = 0;
constexpr int32_t kLayer8 = 8;

// Held by every layout operation that walks the windows of layer 0.
std::mutex g_splitLock;

std::atomic<SplitDecChnNumFn> g_pfnDecChnNum{nullptr};
std::atomic<SplitDecDisplayFn> g_pfnDecDisplay{nullptr};
std::atomic<SplitDecOverrideFn> g_pfnDecOverride{nullptr};

// Every decode channel's display shown back (bShow) or hidden.
void MoveDecDisplays(bool bShow) {
    const SplitDecChnNumFn pfnNum = g_pfnDecChnNum.load();
    const SplitDecDisplayFn pfnDisplay = g_pfnDecDisplay.load();
    if (pfnNum == nullptr || pfnDisplay == nullptr) return;
    const uint32_t n = pfnNum();
    for (uint32_t c = 0; c < n; ++c) pfnDisplay(c, bShow ? 1 : 0);
}

SplitState& S() {
    return *SplitGetState();
}

int32_t MapWord(int32_t w) {
    return Comm_GetVpssChnMap()[w];
}

uint32_t Fps() {
    return S().u32Vstd != 0 ? 30 : 25;
}

int32_t Offset() {
    return static_cast<int32_t>(SlaveGetSysCfg().u32SplitOffset);
}

bool RectEmpty(const uint16_t r[4]) {
    return r[0] == 0 && r[1] == 0 && r[2] == 0 && r[3] == 0;
}

// An SDK failure, reported in the name of the operation that met it.
#define Err(call, ret) APP_ERR(kSrc, "%s failed with %#x!", call, static_cast<unsigned>(ret))

// The zoom group of channel k.
int32_t ZoomGrp(int32_t k) {
    return SplitSharedGrp() ? SplitPreviewGrp(k) : MapWord(VPSS_MAP_SEC_BASE) + k;
}

// Minor picture of a CIF-class channel: full D1 while it is shown alone, else CIF.
void SetCifMinor(int32_t s32ViChn, bool bFull) {
    VI_CHN_ATTR_S a = {};
    MK_S32 s32Ret = MK_MPI_VI_GetChnMinorAttr(s32ViChn, &a);
    if (s32Ret != 0) Err("MK_MPI_VI_GetChnMinorAttr", s32Ret);
    const bool ntsc = S().u32Vstd != 0;
    a.u32DestWidth = bFull ? 704 : 352;
    a.u32DestHeight = bFull ? (ntsc ? 480 : 576) : (ntsc ? 240 : 288);
    a.enCapSel = bFull ? 2 : 1;
    a.s32SrcFrameRate = static_cast<MK_S32>(Fps());
    s32Ret = MK_MPI_VI_SetChnMinorAttr(s32ViChn, &a);
    if (s32Ret != 0) Err("MK_MPI_VI_SetChnMinorAttr", s32Ret);
}

// Group pre-scale and sizer to one size, each on.
void SetPreScaleAndSizer(int32_t s32PreGrp, int32_t s32SizerGrp, uint32_t w, uint32_t h) {
    VPSS_PRESCALE_INFO_S pre = {};
    MK_S32 s32Ret = MK_MPI_VPSS_GetPreScale(s32PreGrp, &pre);
    if (s32Ret != 0) Err("MK_MPI_VPSS_GetPreScale", s32Ret);
    pre.bPreScale = 1;
    pre.stDestSize = {w, h};
    if ((s32Ret = MK_MPI_VPSS_SetPreScale(s32PreGrp, &pre)) != 0) Err("MK_MPI_VPSS_SetPreScale", s32Ret);
    VPSS_SIZER_INFO_S sizer = {};
    if ((s32Ret = MK_MPI_VPSS_GetGrpSizer(s32SizerGrp, &sizer)) != 0) Err("MK_MPI_VPSS_GetGrpSizer", s32Ret);
    sizer.bSizer = 1;
    sizer.stSize = {w, h};
    if ((s32Ret = MK_MPI_VPSS_SetGrpSizer(s32SizerGrp, &sizer)) != 0) Err("MK_MPI_VPSS_SetGrpSizer", s32Ret);
}

bool ChnOk(int32_t k) {
    return static_cast<uint32_t>(k) < MAX_ANALOG_VO_CHN;
}

// Shows channel k's window on layer 0 and binds its preview; false when the display refuses it.
bool ShowOnLayer0(int32_t k, const uint16_t au16Rect[4], int32_t s32Mode) {
    SPLIT_CHN_S& r = S().astChn[k];
    VO_CHN_ATTR_S attr = {};
    attr.stRect = SplitScaleRectNow(au16Rect);
    const int32_t grp = SplitPreviewGrp(k);
    const bool shared = SplitSharedGrp();
    if (s32Mode == 0) {
        if (SplitIsCifChn(k)) {
            SetCifMinor(r.s32ViChn, true);
            S().s32SinglePreview = r.s32ViChn;
        }
        if (shared) {
            SignlePreview(k);
            S().s32SinglePreview = k;
        }
    } else {
        S().s32SinglePreview = -1;
    }
    Comm_VoChnConfig(kLayer0, r.s32VoChn, &attr);
    MK_S32 s32Ret = MK_MPI_VO_SetChnFrameRate(kLayer0, r.s32VoChn, Fps());
    if (s32Ret == 0) s32Ret = MK_MPI_VO_ShowChn(kLayer0, r.s32VoChn);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "iVolay:%d,VoChn:%d,failed with %#x!", kLayer0, r.s32VoChn, static_cast<unsigned>(s32Ret));
        return false;
    }
    if (shared) Comm_ViBindVpss(r.s32ViChn, grp);
    if ((s32Ret = Comm_VoBindVpss(kLayer0, r.s32VoChn, grp, MapWord(VPSS_MAP_PREVIEW_CHN))) != 0)
        APP_ERR(kSrc, "Comm_VoBindVpss failed %#X", static_cast<unsigned>(s32Ret));
    r.bShown = 1;
    return true;
}

// Hides channel k on layer 0 and undoes its preview binding.
void HideOnLayer0(int32_t k) {
    SPLIT_CHN_S& r = S().astChn[k];
    const bool shared = SplitSharedGrp();
    if (S().s32SinglePreview != -1) {
        if (!SplitIsCifChn(k)) {
            if (shared) MultiPreview(k);
        } else {
            SetCifMinor(S().s32SinglePreview, false);
            S().s32SinglePreview = -1;
        }
    }
    const int32_t grp = SplitPreviewGrp(k);
    Comm_VoUnBindVpss(kLayer0, r.s32VoChn, grp, MapWord(VPSS_MAP_PREVIEW_CHN));
    if (shared) Comm_ViUnBindVpss(r.s32ViChn, grp);
    MK_S32 s32Ret = MK_MPI_VO_DisableChn(kLayer0, r.s32VoChn);
    if (s32Ret != 0) Err("MK_MPI_VO_DisableChn", s32Ret);
    r.bShown = 0;
}

void ZoomCancelLocked() {
    SPLIT_ZOOM_WIN_S& z = S().stZoom;
    if (Comm_GetSlaveCfg()->u8ZoomSplit == 0 || z.bActive == 0) return;
    Comm_VoUnBindVpss(static_cast<int32_t>(z.u32Layer), z.s32VoChn, static_cast<int32_t>(z.u32Grp),
                      MapWord(VPSS_MAP_SPECIAL_CHN));
    MK_S32 s32Ret = MK_MPI_VO_DisableChn(static_cast<int32_t>(z.u32Layer), z.s32VoChn);
    if (s32Ret != 0) Err("MK_MPI_VO_DisableChn", s32Ret);
    z.bActive = 0;
    z.s32VoChn = -1;
}

int32_t DisableLocked() {
    ZoomCancelLocked();
    MK_S32 s32Ret = MK_MPI_VO_SetAttrBegin(kLayer0);
    if (s32Ret != 0) Err("MK_MPI_VO_SetAttrBegin", s32Ret);
    for (int32_t k = 0; k < MAX_ANALOG_VO_CHN; ++k) {
        HwSplitResetZoom(k);
        if (S().astChn[k].bShown) HideOnLayer0(k);
    }
    if ((s32Ret = MK_MPI_VO_SetAttrEnd(kLayer0)) != 0) Err("MK_MPI_VO_SetAttrEnd", s32Ret);
    return 0;
}

// The channels a layout shows, or -1 with a line for a mode or page outside the table.
int32_t WalkLayout(const SPLIT_LAYOUT_S* p, int32_t* ps32Chns) {
    const int32_t n = SplitWalkWindows(p->s32Mode, p->s32Page, SplitGetChnCount(), ps32Chns);
    if (n < 0) APP_ERR(kSrc, "invalid split mode %d or page %d", p->s32Mode, p->s32Page);
    return n;
}

}  // namespace

RECT_S SplitScaleRect(const uint16_t r[4], uint32_t u32RefW, uint32_t u32RefH, uint32_t u32LayW, uint32_t u32LayH) {
    auto scale = [](uint32_t v, uint32_t lay, uint32_t ref) -> uint32_t {
        v &= ~1u;
        if (ref == 0) return v;
        return static_cast<uint32_t>(static_cast<uint64_t>(lay) * v / ref) & ~1u;
    };
    const uint32_t w = r[2] > r[0] ? static_cast<uint32_t>(r[2] - r[0]) : 0;
    const uint32_t h = r[3] > r[1] ? static_cast<uint32_t>(r[3] - r[1]) : 0;
    RECT_S out;
    out.s32X = static_cast<MK_S32>(scale(r[0], u32LayW, u32RefW));
    out.s32Y = static_cast<MK_S32>(scale(r[1], u32LayH, u32RefH));
    out.u32Width = scale(w, u32LayW, u32RefW);
    out.u32Height = scale(h, u32LayH, u32RefH);
    return out;
}

RECT_S SplitScaleRectNow(const uint16_t au16Rect[4]) {
    GraphicsDisplayGeometry g = GraphicsGetDisplayGeometry();
    return SplitScaleRect(au16Rect, g.u32Width, g.u32Height, g.u32ImgWidth, g.u32ImgHeight);
}

int32_t SplitPreviewGrp(int32_t s32Chn) {
    // The set-up moves a negative first channel past the special groups; the same offset applies here.
    const int32_t first = static_cast<int32_t>(SlaveGetSysCfg().u32ChnStart);
    return MapWord(VPSS_MAP_IN_BASE) + s32Chn + (first < 0 ? MapWord(VPSS_MAP_SPECIAL3) + first : 0);
}

bool SplitSharedGrp() {
    return Comm_WideTest();
}

bool SplitIsCifChn(int32_t k) {
    const HVR_CAP_S* cap = Comm_GetHvrCap();
    const int32_t d1 = cap->as16Analog[HVR_CAP_D1];
    const int32_t cif = cap->as16Analog[HVR_CAP_CIF];
    return k >= d1 && k - d1 < cif && cif != 16;
}

int32_t HwSplitChnSet(const SPLIT_LAYOUT_S* p) {
    int32_t chns[SPLIT_MAX_WINDOWS];
    const int32_t n = WalkLayout(p, chns);
    if (n < 0) return -1;
    std::lock_guard<std::mutex> lock(g_splitLock);
    SplitState& s = S();
    if (s.s32Mode == -1 && s.s32Page == -1) {
        s.s32Mode = p->s32Mode;
        s.s32Page = p->s32Page;
    }
    // Store the walked windows; the same layout with the same windows changes nothing. The windows
    // are stored after a change of layout as well, so that repeating the new layout is still a no-op.
    bool changed = s.s32Mode != p->s32Mode || s.s32Page != p->s32Page;
    for (int32_t i = 0; i < n; ++i) {
        uint16_t* stored = s.astChn[chns[i]].au16Rect;
        if (std::memcmp(stored, p->au16Rect[chns[i]], sizeof(p->au16Rect[0])) != 0) {
            std::memcpy(stored, p->au16Rect[chns[i]], sizeof(p->au16Rect[0]));
            changed = true;
        }
    }
    if (!changed) return 0;
    s.s32Mode = p->s32Mode;
    s.s32Page = p->s32Page;
    DisableLocked();
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = chns[i];
        if (RectEmpty(p->au16Rect[k]) || s.astChn[k].bShown) continue;
        if (!ShowOnLayer0(k, p->au16Rect[k], p->s32Mode)) break;
    }
    return 0;
}

int32_t HwSplitDisable() {
    std::lock_guard<std::mutex> lock(g_splitLock);
    return DisableLocked();
}

int32_t SlaverHwSplitChnSet(const SPLIT_LAYOUT_S* p) {
    int32_t chns[SPLIT_MAX_WINDOWS];
    const int32_t n = WalkLayout(p, chns);
    if (n < 0) return -1;
    SplitState& s = S();
    const int32_t x = Offset();
    const bool shared = SplitSharedGrp();
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = chns[i];
        if (k < x || x < 0) {
            if (p->s32Mode != 0) {
                s.s32SinglePreview = -1;
            } else if (shared) {
                s.s32SinglePreview = k;
            }
            continue;
        }
        if (RectEmpty(p->au16Rect[k])) continue;
        VO_CHN_ATTR_S attr = {};
        attr.stRect = SplitScaleRectNow(p->au16Rect[k]);
        Comm_VoChnConfig(kLayer8, k, &attr);
        if (s.astChn[k].bShown) continue;
        MK_S32 s32Ret = MK_MPI_VO_SetChnFrameRate(kLayer8, k, 30);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetChnFrameRate:voDev %d,VoChn:%d,failed with %#x!", kLayer8, k,
                    static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VO_ShowChn(kLayer8, k)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_ShowChn:voDev %d,VoChn:%d,failed with %#x!", kLayer8, k,
                    static_cast<unsigned>(s32Ret));
            return -1;
        }
        const int32_t own = k - x;
        const int32_t grp = SplitPreviewGrp(own);
        if (shared) {
            Comm_ViBindVpss(s.astChn[own].s32ViChn, grp);
            if (p->s32Mode == 0) {
                SignlePreview(own);
                s.s32SinglePreview = own;
            }
        }
        if (p->s32Mode != 0) s.s32SinglePreview = -1;
        if ((s32Ret = Comm_VoBindVpss(kLayer8, k, grp, MapWord(VPSS_MAP_PREVIEW_CHN))) != 0)
            APP_ERR(kSrc, "Comm_VoBindVpss failed %#X", static_cast<unsigned>(s32Ret));
        s.astChn[k].bShown = 1;
    }
    return 0;
}

int32_t SlaverSplitChnDisable() {
    SplitState& s = S();
    const int32_t x = Offset();
    const bool shared = SplitSharedGrp();
    MK_S32 s32Ret = MK_MPI_VO_SetAttrBegin(kLayer8);
    if (s32Ret != 0) Err("MK_MPI_VO_SetAttrBegin", s32Ret);
    for (int32_t k = std::max(x, 0); k < SplitGetChnCount(); ++k) {
        SPLIT_CHN_S& r = s.astChn[k];
        if (!r.bShown) continue;
        if ((s32Ret = MK_MPI_VO_DisableChn(kLayer8, r.s32VoChn)) != 0) Err("MK_MPI_VO_DisableChn", s32Ret);
        const int32_t own = k - x;
        const int32_t grp = SplitPreviewGrp(own);
        Comm_VoUnBindVpss(kLayer8, r.s32VoChn, grp, MapWord(VPSS_MAP_PREVIEW_CHN));
        if (shared) {
            // The input bound to the group is the one command 51 bound: record k - X's.
            Comm_ViUnBindVpss(s.astChn[own].s32ViChn, grp);
            MultiPreview(own);
        }
        r.bShown = 0;
    }
    if ((s32Ret = MK_MPI_VO_SetAttrEnd(kLayer8)) != 0) Err("MK_MPI_VO_SetAttrEnd", s32Ret);
    return 0;
}

int32_t HwSplitSetZoom(int32_t s32Chn, const RECT_S* pstCrop) {
    const int32_t x = Offset();
    if (!ChnOk(s32Chn) || pstCrop == nullptr || x < 0 || static_cast<int64_t>(s32Chn) + x >= MAX_ANALOG_VO_CHN) {
        APP_ERR(kSrc, "zoom channel %d with offset %d has no record", s32Chn, x);
        return -1;
    }
    SplitState& s = S();
    const int32_t vo = s.astChn[s32Chn + x].s32VoChn;
    const int32_t zg = ZoomGrp(s32Chn);
    VPSS_CROP_INFO_S crop = {};
    MK_MPI_VPSS_GetGrpCrop(zg, &crop);
    // Zoomed already, the window is on the zoom group: only the crop is new.
    const bool bZoomed = s.astChn[s32Chn].bZoomed != 0;
    if (!bZoomed) Comm_VoUnBindVpss(kLayer8, vo, SplitPreviewGrp(s32Chn), MapWord(VPSS_MAP_PREVIEW_CHN));
    crop.bEnable = 1;
    crop.enCropCoordinate = VPSS_CROP_ABS_COOR;
    crop.stCropRect = *pstCrop;
    MK_S32 s32Ret = MK_MPI_VPSS_SetGrpCrop(zg, &crop);
    if (s32Ret != 0) Err("MK_MPI_VPSS_SetGrpCrop", s32Ret);
    if (bZoomed) return s32Ret;
    if (!SplitSharedGrp()) Comm_ViBindVpss(s.astChn[s32Chn].s32ViChn, zg);
    s32Ret = Comm_VoBindVpss(kLayer8, vo, zg, MapWord(VPSS_MAP_SEC_CHN));
    if (s32Ret != 0) APP_ERR(kSrc, "Comm_VoBindVpss failed %#X", static_cast<unsigned>(s32Ret));
    s.astChn[s32Chn].bZoomed = 1;
    return s32Ret;
}

int32_t HwSplitResetZoom(int32_t s32Chn) {
    if (!ChnOk(s32Chn)) return -1;
    SplitState& s = S();
    SPLIT_CHN_S& r = s.astChn[s32Chn];
    if (!r.bZoomed) return 0;
    SIZE_S size = {0, 0};
    if (SplitIsCifChn(s32Chn)) {
        size = {704, s.u32Vstd != 0 ? 480u : 576u};
    } else {
        Comm_SysGetPicSize(s.u32Vstd, SplitGetChnVi(s32Chn, 0), &size, true);
    }
    const int32_t zg = ZoomGrp(s32Chn);
    VPSS_CROP_INFO_S crop = {};
    MK_S32 s32Ret = MK_MPI_VPSS_GetGrpCrop(zg, &crop);
    if (s32Ret != 0) Err("MK_MPI_VPSS_GetGrpCrop", s32Ret);
    crop.bEnable = 0;
    crop.enCropCoordinate = VPSS_CROP_ABS_COOR;
    crop.stCropRect = {0, 0, size.u32Width, size.u32Height};
    const MK_S32 s32CropRet = MK_MPI_VPSS_SetGrpCrop(zg, &crop);
    if (s32CropRet != 0) Err("MK_MPI_VPSS_SetGrpCrop", s32CropRet);
    if (!SplitSharedGrp()) {
        const int32_t vo = s32Chn + Offset();
        Comm_VoUnBindVpss(kLayer8, vo, zg, MapWord(VPSS_MAP_SEC_CHN));
        Comm_ViUnBindVpss(r.s32ViChn, zg);
        Comm_VoBindVpss(kLayer8, vo, SplitPreviewGrp(s32Chn), MapWord(VPSS_MAP_PREVIEW_CHN));
    }
    r.bZoomed = 0;
    return s32CropRet;
}

int32_t SignlePreview(int32_t s32Chn) {
    if (!ChnOk(s32Chn)) return -1;
    const int32_t vi = S().astChn[s32Chn].s32ViChn;
    VI_CHN_ATTR_S a = {};
    MK_S32 s32Ret = MK_MPI_VI_GetChnAttr(vi, &a);
    if (s32Ret != 0) Err("MK_MPI_VI_GetChnAttr", s32Ret);
    MK_MPI_VI_ClearChnMinorAttr(vi);
    if (a.s32SrcFrameRate > 24) a.s32SrcFrameRate = 25;
    a.s32DstFrameRate = a.s32SrcFrameRate;
    SetPreScaleAndSizer(SplitPreviewGrp(s32Chn), MapWord(VPSS_MAP_IN_BASE) + s32Chn, a.u32DestWidth, a.u32DestHeight);
    if ((s32Ret = MK_MPI_VI_SetChnAttr(vi, &a)) != 0) Err("MK_MPI_VI_SetChnAttr", s32Ret);
    return 0;
}

int32_t MultiPreview(int32_t s32Chn) {
    if (!ChnOk(s32Chn)) return -1;
    const int32_t vi = S().astChn[s32Chn].s32ViChn;
    VI_CHN_ATTR_S a = {};
    MK_S32 s32Ret = MK_MPI_VI_GetChnAttr(vi, &a);
    if (s32Ret != 0) Err("MK_MPI_VI_GetChnAttr", s32Ret);
    uint32_t w = a.u32DestWidth / 2, h = a.u32DestHeight / 2;
    SplitCalcPreScale(GraphicsGetDisplayGeometry().u32Width, 1, SplitGetChnVi(s32Chn, 0), a.u32DestWidth,
                      a.u32DestHeight, &w, &h);
    SetPreScaleAndSizer(SplitPreviewGrp(s32Chn), MapWord(VPSS_MAP_IN_BASE) + s32Chn, w, h);
    if ((s32Ret = MK_MPI_VI_SetChnAttr(vi, &a)) != 0) Err("MK_MPI_VI_SetChnAttr", s32Ret);
    // The minor picture carries the frames the main capture leaves; none left (or a main rate above
    // the source) means no minor picture rather than a negative rate.
    const int32_t d = std::min(a.s32SrcFrameRate, 25) - Comm_GetViChnMainFps(s32Chn);
    if (d > 0) {
        VI_CHN_ATTR_S m = a;
        m.u32DestWidth = w;
        m.u32DestHeight = h;
        m.s32DstFrameRate = d;
        if ((s32Ret = MK_MPI_VI_SetChnMinorAttr(vi, &m)) != 0) Err("MK_MPI_VI_SetChnMinorAttr", s32Ret);
    } else if ((s32Ret = MK_MPI_VI_ClearChnMinorAttr(vi)) != 0) {
        Err("MK_MPI_VI_ClearChnMinorAttr", s32Ret);
    }
    return 0;
}

void SplitCalcPreScale(uint32_t u32RefWidth, int32_t s32Mode, int32_t s32Code, uint32_t u32Width,
                       uint32_t u32Height, uint32_t* pu32OutWidth, uint32_t* pu32OutHeight) {
    if (pu32OutWidth == nullptr || pu32OutHeight == nullptr) return;
    *pu32OutHeight = u32Height / 2;
    const uint32_t b = Comm_GetBoardSubType();
    const bool listed = b == 46 || b == 48 || b == 49 || b == 50 || b == 55 || b == 56 || b == 57 || b == 58;
    if (!listed) {
        *pu32OutWidth = u32Width / 2;
    } else if (s32Mode >= 1) {
        *pu32OutWidth = (s32Code == 10 || s32Code == 11) ? u32Width : u32Width / 2;
        if (u32RefWidth == 1728) *pu32OutWidth = 864;
    } else {
        *pu32OutWidth = s32Code == 10 ? u32Width : u32Width / 2;
        if (u32RefWidth == 864) *pu32OutWidth = 432;
    }
}

int32_t SplitGetModelMode(int32_t* ps32Rate, int32_t* ps32Flag) {
    if (ps32Rate == nullptr || ps32Flag == nullptr) return -1;
    *ps32Flag = 0;
    const HVR_CAP_S* c = Comm_GetHvrCap();
    const int32_t a4m = c->as16Analog[HVR_CAP_4M], a5m = c->as16Analog[HVR_CAP_5M];
    const int32_t a3m = c->as16Analog[HVR_CAP_3M], a1080 = c->as16Analog[HVR_CAP_1080P];
    const int32_t a960p = c->as16Analog[HVR_CAP_960P];
    int32_t rate = -1;
    switch (Comm_GetDevType()) {
        case 656:
            rate = a4m == 8 ? 10 : a4m == 16 ? 5 : a3m == 16 ? 7 : a5m == 8 ? 9 : -1;
            break;
        case 657:
            rate = a5m == 8 ? 7 : a5m == 4 ? 14 : -1;
            break;
        case 659:
            rate = a5m == 16 ? 6 : a5m == 8 ? 14 : a1080 == 16 ? 18 : -1;
            break;
        case 652:
            rate = a960p >= 16 ? 15 : a5m == 8 ? 14 : -1;
            break;
        case 653:
            rate = a960p >= 16 ? 15 : -1;
            break;
        case 658:
            rate = a1080 == 16 ? 18 : -1;
            break;
        case 660:
        case 661:
            rate = a1080 == 32 ? (c->u32MaxPlayBackWay == 16 ? 15 : 10) : a4m == 32 ? 5 : -1;
            break;
        default:
            break;
    }
    if (rate >= 0) {
        *ps32Rate = rate;
        *ps32Flag = 1;
    }
    return 0;
}

int32_t SplitApplyModelMode(int32_t s32Restore) {
    int32_t s32Rate = 0, s32Flag = 0;
    if (SplitGetModelMode(&s32Rate, &s32Flag) != 0 || s32Flag != 1) return 0;
    // Only this chip's channels have capture inputs and encoders to change.
    const int32_t n = std::min(SplitGetChnCount(), Comm_GetChipChnNum());
    for (int32_t k = 0; k < n; ++k) {
        if (s32Restore == 0) {
            Set_VichnFPS(k, s32Rate, 0);
            CaptureModelFrameRate(k, s32Rate);
        } else {
            Set_VichnFPS(k, Comm_GetViChnMainFps(k), 1);
            CaptureRestoreFrameRate(k);
        }
    }
    return 0;
}

int32_t SplitGetFbInfo(uint32_t* pu32Out) {
    if (pu32Out == nullptr) return -1;
    *pu32Out = (GraphicsGetState()->u32Width / 32) * 4;
    return 0;
}

int32_t SplitChnEnable(int32_t s32Chn) {
    if (s32Chn < 0 || s32Chn >= SplitGetChnCount()) return -1;
    std::lock_guard<std::mutex> lock(g_splitLock);
    SPLIT_CHN_S& r = S().astChn[s32Chn];
    if (r.bShown) return 0;
    return ShowOnLayer0(s32Chn, r.au16Rect, S().s32Mode) ? 0 : -1;
}

int32_t SplitChnDisable(int32_t s32Chn) {
    if (s32Chn < 0 || s32Chn >= SplitGetChnCount()) return -1;
    std::lock_guard<std::mutex> lock(g_splitLock);
    HwSplitResetZoom(s32Chn);
    if (S().astChn[s32Chn].bShown) HideOnLayer0(s32Chn);
    return 0;
}

int32_t SplitZoomCancel() {
    std::lock_guard<std::mutex> lock(g_splitLock);
    ZoomCancelLocked();
    return 0;
}

int32_t SplitSetDisplayMode(int32_t s32Mode, int32_t s32Chn) {
    if (s32Mode < 0 || s32Mode > 3 || s32Chn >= SplitGetChnCount()) return -1;
    if (s32Chn >= 0) {
        // One channel between its live window and single-channel playback.
        SplitStoreDisplayMode(SplitGetDisplayMode(), s32Mode != 0 ? 1 : 0);
        if (const SplitDecOverrideFn pfn = g_pfnDecOverride.load(); pfn != nullptr)
            pfn(s32Mode != 0 ? S().astChn[s32Chn].s32VoChn : -1);
        return s32Mode != 0 ? SplitChnDisable(s32Chn) : SplitChnEnable(s32Chn);
    }
    {
        std::lock_guard<std::mutex> lock(g_splitLock);
        SplitStoreDisplayMode(s32Mode, 0);
        if (s32Mode != 0) {
            // The preview gives way to playback; the next layout builds it again.
            DisableLocked();
            S().s32Mode = -1;
            S().s32Page = -1;
            for (SPLIT_CHN_S& r : S().astChn) std::memset(r.au16Rect, 0, sizeof(r.au16Rect));
        }
        // Modes 2 and 3 hide the preview as playback does, so the decoded pictures are all they leave.
        MoveDecDisplays(s32Mode != 0);
    }
    // Capture runs slower while the display is busy with playback, as command 53 does it.
    return SplitApplyModelMode(s32Mode != 0 ? 0 : 1);
}

void SplitSetDecDisplayHooks(SplitDecChnNumFn pfnNum, SplitDecDisplayFn pfnDisplay, SplitDecOverrideFn pfnOverride) {
    g_pfnDecChnNum.store(pfnNum);
    g_pfnDecDisplay.store(pfnDisplay);
    g_pfnDecOverride.store(pfnOverride);
}

namespace {

const SPLIT_LAYOUT_S* Layout(PCIV_MSG_S* pMsg) {
    return reinterpret_cast<const SPLIT_LAYOUT_S*>(pMsg->au32Payload);
}
int32_t CmdChnSet(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return HwSplitChnSet(Layout(pMsg));
}
int32_t CmdSlaverChnSet(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return SlaverHwSplitChnSet(Layout(pMsg));
}
int32_t CmdSlaverDisable(PCIV_MSG_S*, PcivCmdContext*) {
    return SlaverSplitChnDisable();
}
int32_t CmdSetZoom(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    RECT_S crop;
    std::memcpy(&crop, &pMsg->au32Payload[1], sizeof(crop));
    return HwSplitSetZoom(static_cast<int32_t>(pMsg->au32Payload[0]), &crop);
}
int32_t CmdApplyModelMode(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return SplitApplyModelMode(static_cast<int32_t>(pMsg->au32Payload[0]));
}
int32_t CmdResetZoom(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return HwSplitResetZoom(static_cast<int32_t>(pMsg->au32Payload[0]));
}

}  // namespace

void SplitRegisterCmds() {
    CommSetSignlePreviewHook(SignlePreview);
    CommSetMultiPreviewHook(MultiPreview);
    CommSetSplitCalcPreScaleHook(SplitCalcPreScale);
    PCIV_RegisterCmdHandler(27, CmdChnSet);
    PCIV_RegisterCmdHandler(49, CmdSetZoom);
    PCIV_RegisterCmdHandler(50, CmdResetZoom);
    PCIV_RegisterCmdHandler(51, CmdSlaverChnSet);
    PCIV_RegisterCmdHandler(52, CmdSlaverDisable);
    PCIV_RegisterCmdHandler(53, CmdApplyModelMode);
}
