#include "app/osd/osd_title.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_picsize.h"
#include "app/enc/capture_state.h"
#include "sdk/rgn/mpi_rgn.h"

namespace {

constexpr const char* kSrc = "../osd/osd.c";
constexpr uint32_t kGridW = 352;
constexpr uint32_t kGridHPal = 288;
constexpr uint32_t kGridHNtsc = 240;
constexpr int kStreamSlots = 3;  // main, sub, JPEG

struct TitleSlot {
    int32_t s32SizeCode = -1;
    int32_t s32Handle = -1;
    OSD_TITLE_S stTitle{};
};

struct OsdState {
    // A channel's ready flag; the title thread reads it before it takes the capture lock.
    std::atomic<int32_t> as32Ready[CAPTURE_CHN_NUM] = {};
    // Guarded by the capture lock.
    TitleSlot astSlot[OSD_TITLE_INDEX_NUM][CAPTURE_CHN_NUM][kStreamSlots];
};

OsdState& State() {
    static auto* s = new OsdState;
    return *s;
}

int SlotOf(uint32_t u32Stream) {
    return u32Stream == CAPTURE_STREAM_JPEG ? 2 : static_cast<int>(u32Stream);
}

bool SameTitle(const OSD_TITLE_S& a, const OSD_TITLE_S& b) {
    return a.u16X == b.u16X && a.u16Y == b.u16Y && a.u16Width == b.u16Width && a.u16Height == b.u16Height &&
           a.u32Show == b.u32Show;
}

void DestroyRegion(TitleSlot* pSlot) {
    if (pSlot->s32Handle >= 0) MK_MPI_RGN_Destroy(static_cast<RGN_HANDLE>(pSlot->s32Handle));
    pSlot->s32Handle = -1;
}

// Creates the overlay region of a title and attaches it to encoder channel veChn. 0 or -1 (logged,
// nothing left behind).
int CreateRegion(int32_t s32Chn, RGN_HANDLE handle, int32_t veChn, const OSD_TITLE_S& t, uint32_t u32X,
                 uint32_t u32Y) {
    const uint32_t w = t.u16Width & ~3u, h = t.u16Height & ~3u;
    if (w < 4 || h < 4) {
        APP_ERR(kSrc, "vencChn:%d  error param(%d, %d)", s32Chn, static_cast<int>(w), static_cast<int>(h));
        APP_ERR(kSrc, "vencChn:%d OsdCreateRgn error:%#x", s32Chn, -1);
        return -1;
    }
    RGN_ATTR_S stAttr;
    std::memset(&stAttr, 0, sizeof(stAttr));
    stAttr.enType = OVERLAY_RGN;
    stAttr.unAttr.stOverlay.enPixelFmt = MK_PIXEL_FORMAT_RGB_1555;
    stAttr.unAttr.stOverlay.u32BgColor = 0;
    stAttr.unAttr.stOverlay.stSize = SIZE_S{w, h};
    MK_S32 s32Ret = MK_MPI_RGN_Create(handle, &stAttr);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "vencChn:%d MK_MPI_RGN_Create error:%#x", s32Chn, s32Ret);
        APP_ERR(kSrc, "vencChn:%d OsdCreateRgn error:%#x", s32Chn, s32Ret);
        return -1;
    }
    RGN_CHN_ATTR_S stChn;
    std::memset(&stChn, 0, sizeof(stChn));
    stChn.bShow = 1;
    stChn.enType = OVERLAY_RGN;
    OVERLAY_CHN_ATTR_S& o = stChn.unChnAttr.stOverlayChn;
    o.stPoint = POINT_S{static_cast<MK_S32>(u32X & ~3u), static_cast<MK_S32>(u32Y & ~3u)};
    if (t.u32BgColor > 0x3FFFFFFF) {
        o.u32BgAlpha = o.u32FgAlpha = t.u32BgColor >> 25;
    } else {
        o.u32BgAlpha = 32;
        o.u32FgAlpha = 0;
    }
    o.u32Layer = 0;
    const MPP_CHN_S stDest{MK_ID_VENC, 0, veChn};
    s32Ret = MK_MPI_RGN_AttachToChn(handle, &stDest, &stChn);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "vencChn:%d MK_MPI_RGN_AttachToChn error:%#x", s32Chn, s32Ret);
        APP_ERR(kSrc, "vencChn:%d OsdAttachToChn error:%#x", s32Chn, s32Ret);
        // A region that shows nowhere would only block its handle for the next try.
        MK_MPI_RGN_Destroy(handle);
        return -1;
    }
    return 0;
}

}  // namespace

void OsdTitleFromWire(const uint8_t* pu8Wire, const uint8_t* pu8Bitmap, OSD_TITLE_S* pstTitle) {
    static_assert(offsetof(OSD_TITLE_S, u16X) == 8 && offsetof(OSD_TITLE_S, u32BgColor) == 20);
    std::memset(pstTitle, 0, sizeof(*pstTitle));
    std::memcpy(pstTitle, pu8Wire, offsetof(OSD_TITLE_S, u32BgColor) + sizeof(uint32_t));
    pstTitle->pu8Bitmap = pu8Bitmap;
}

RGN_HANDLE OsdTitleHandle(uint32_t u32ChnEnd, uint32_t u32Chn, uint32_t u32Stream, uint32_t u32Index) {
    if (u32Stream == CAPTURE_STREAM_JPEG) return 20 * u32ChnEnd + 4 * u32Chn + u32Index;
    return 2 * u32Chn + u32Stream + u32Index * 4 * u32ChnEnd;
}

void OsdTitlePosition(uint32_t u32Vstd, uint32_t u32PicW, uint32_t u32PicH, const OSD_TITLE_S* t,
                      uint32_t* pu32X, uint32_t* pu32Y) {
    const int64_t w = t->u16Width, h = t->u16Height;
    int64_t x = static_cast<uint16_t>(u32PicW * t->u16X / kGridW);
    // A title wider than the picture would put its left edge below 0: it starts at 0.
    if (x + w > static_cast<int64_t>(u32PicW) - 2)
        x = std::max<int64_t>(0, static_cast<int64_t>(u32PicW) - w - 2);
    x &= ~int64_t{7};
    const uint32_t gridH = u32Vstd == 1 ? kGridHNtsc : kGridHPal;
    int64_t y = static_cast<uint16_t>(u32PicH * t->u16Y / gridH);
    if (y + h > static_cast<int64_t>(u32PicH)) y = std::max<int64_t>(0, static_cast<int64_t>(u32PicH) - h);
    y &= ~int64_t{1};
    *pu32X = static_cast<uint32_t>(x);
    *pu32Y = static_cast<uint32_t>(y);
}

void CaptureTitleInit() {
    OsdState& s = State();
    for (auto& r : s.as32Ready) r = 0;
    for (auto& byIndex : s.astSlot)
        for (auto& byChn : byIndex)
            for (TitleSlot& slot : byChn) slot = TitleSlot{};
}

uint32_t CaptureTitleForget() {
    uint32_t n = 0;
    for (auto& byIndex : State().astSlot)
        for (auto& byChn : byIndex)
            for (TitleSlot& slot : byChn) n += slot.s32Handle >= 0;
    CaptureTitleInit();
    return n;
}

void CaptureTitleSetReady(uint32_t u32Chn, int32_t s32Value) {
    if (u32Chn >= CAPTURE_CHN_NUM) return;
    State().as32Ready[u32Chn] = s32Value;
}

int32_t CaptureSetTitleV2(uint32_t u32Chn, uint32_t u32Stream, const OSD_TITLE_S* pstTitle) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t u32ChnNum = static_cast<uint32_t>(CommChipChnNumOf(cfg));
    const int32_t s32Chn = static_cast<int32_t>(u32Chn), s32Stream = static_cast<int32_t>(u32Stream);
    if (u32Chn >= u32ChnNum || (u32Stream != CAPTURE_STREAM_MAIN && u32Stream != CAPTURE_STREAM_SUB &&
                                u32Stream != CAPTURE_STREAM_JPEG)) {
        APP_ERR(kSrc, "%d:streamType:%d", s32Chn, s32Stream);
        return -1;
    }
    if (pstTitle == nullptr) return -1;
    const uint32_t index = pstTitle->u32Index;
    if (index >= OSD_TITLE_INDEX_NUM) {
        APP_ERR(kSrc, "Invalid channel %d, index %d", s32Chn, static_cast<int>(index));
        return -1;
    }
    OsdState& st = State();
    if (st.as32Ready[u32Chn].load() == 0) return 0;

    int s32Ret = CaptureLock();
    if (s32Ret != 0) APP_ERR(kSrc, "chan :%d lock failed %#x", s32Chn, s32Ret);
    struct Unlock {
        bool bLocked;
        ~Unlock() {
            if (bLocked) CaptureUnlock();
        }
    } unlock{s32Ret == 0};

    CaptureChnRec* pChn = CaptureChn(u32Chn);
    int32_t veChn;
    int32_t z;
    if (u32Stream == CAPTURE_STREAM_JPEG) {
        // The JPEG channel as it was made; a channel without one has nothing to put a title on.
        veChn = pChn->s32JpegVencChn.load();
        z = pChn->s32JpegSizeCode;
        if (veChn < 0) {
            APP_ERR(kSrc, "%d:streamType:%d no JPEG encoder channel", s32Chn, s32Stream);
            return -1;
        }
    } else {
        veChn = 2 * s32Chn + s32Stream;
        z = pChn->astStream[u32Stream].s32SizeCode;
    }
    TitleSlot& slot = st.astSlot[index][u32Chn][SlotOf(u32Stream)];
    const bool bNarrow = CaptureViInputNarrow(u32Chn, cfg.u32BoardSubType);
    CaptureViInput* pIn = CaptureGetViInput(u32Chn);
    if (bNarrow && (z == 14 || z == 2) && pIn->s32TitleRebuild == 1) {
        DestroyRegion(&slot);
        pIn->s32TitleRebuild = 0;
    }
    if (!(SameTitle(*pstTitle, slot.stTitle) && slot.s32SizeCode == z)) DestroyRegion(&slot);
    if (pstTitle->u32Show == 0) {
        slot.stTitle = OSD_TITLE_S{};
        return 0;
    }

    SIZE_S stPic{};
    const uint32_t u32Vstd = static_cast<uint32_t>(CaptureGetState()->s32Vstd.load());
    Comm_SysGetPicSize(u32Vstd, z, &stPic, false);
    if (bNarrow && (stPic.u32Width == 944 || stPic.u32Width == 1920))
        stPic.u32Width = pIn->u8Input == 10 ? 1728 : 864;
    uint32_t x, y;
    OsdTitlePosition(u32Vstd, stPic.u32Width, stPic.u32Height, pstTitle, &x, &y);

    if (slot.s32Handle < 0) {
        const RGN_HANDLE handle = OsdTitleHandle(cfg.u32ChnEnd, u32Chn, u32Stream, index);
        if (CreateRegion(s32Chn, handle, veChn, *pstTitle, x, y) != 0) return -1;
        slot.s32Handle = static_cast<int32_t>(handle);
    }
    BITMAP_S stBitmap{MK_PIXEL_FORMAT_RGB_1555, pstTitle->u16Width, pstTitle->u16Height, pstTitle->pu8Bitmap};
    s32Ret = MK_MPI_RGN_SetBitMap(static_cast<RGN_HANDLE>(slot.s32Handle), &stBitmap);
    slot.stTitle = *pstTitle;
    slot.stTitle.pu8Bitmap = nullptr;  // the caller's pixels are not kept
    slot.s32SizeCode = z;
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_RGN_SetBitMaperror:%x", s32Ret);
        return -1;
    }
    return 0;
}

OsdTitleSlotView OsdTitleGetSlot(uint32_t u32Chn, uint32_t u32Stream, uint32_t u32Index) {
    OsdTitleSlotView v{-1, -1, 0, OSD_TITLE_S{}};
    if (u32Chn >= CAPTURE_CHN_NUM || u32Index >= OSD_TITLE_INDEX_NUM) return v;
    if (u32Stream != CAPTURE_STREAM_MAIN && u32Stream != CAPTURE_STREAM_SUB &&
        u32Stream != CAPTURE_STREAM_JPEG)
        return v;
    const TitleSlot& slot = State().astSlot[u32Index][u32Chn][SlotOf(u32Stream)];
    v.s32SizeCode = slot.s32SizeCode;
    v.s32Handle = slot.s32Handle;
    v.s32Ready = State().as32Ready[u32Chn].load();
    v.stTitle = slot.stTitle;
    return v;
}
