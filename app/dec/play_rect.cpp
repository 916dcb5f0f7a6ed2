// Playback display commands: where a decode channel's picture is shown and which part of it (65, 66),
// disabling a channel's display (67, 68) and the decode type (75); and their twins on the decode block,
// which no command reaches.
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_vo.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/play_ctrl.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../dec/AVdecPlay.c";
constexpr MK_S32 kVoDev = 8;
constexpr uint32_t kVoFrameRate = 30;
constexpr uint32_t kJpegChnStep = 16;

// Where a display operation acts: the block whose records, started flags and display-enabled word it
// uses, and the display device of its calls.
struct Target {
    AVdecState* pBlock;
    MK_S32 s32VoDev;

    uint32_t Rec(uint32_t c, uint32_t f) const { return pBlock->Rec(c, f); }
    MK_S32 Field(uint32_t c, uint32_t f) const { return static_cast<MK_S32>(pBlock->Rec(c, f)); }
    bool IsH264(uint32_t c) const { return Rec(c, REC_PAYLOAD) == AVDEC_PT_H264; }
    // The decoder by payload type.
    MK_S32 DecoderOf(uint32_t c) const { return IsH264(c) ? Field(c, REC_VDEC_CHN) : Field(c, REC_JPEG_CHN); }
};

// The master's commands: the playback block, device 8.
Target Playback() {
    return {AVdecGetChnTable(), kVoDev};
}

// The twins: the decode block; its rectangles show on the device its head word 12 names.
Target DecodeBlock(bool bHeadDevice) {
    AVdecState* s = AVdecGetState();
    return {s, bHeadDevice ? static_cast<MK_S32>(s->Head(AVDEC_HEAD_HIDE_DEV)) : kVoDev};
}

// The operations name the channel and read its processing group from the record of the channel minus
// the first decoder channel: both must be records of the decode channels.
bool ChnAndGroup(const Target& tg, uint32_t c, const char* pszCmd, MK_S32* pGrp) {
    uint32_t u32GrpRec = c - SlaveGetSysCfg().u32FirstDecChn;
    if (!AVdecChnValid(c) || u32GrpRec >= AVDEC_CHN_NUM) {
        APP_ERR(kSrc, "%s: channel %u is not a decode channel with a group record\n", pszCmd, c);
        return false;
    }
    *pGrp = tg.Field(u32GrpRec, REC_VPSS_GRP);
    return true;
}

MK_S32 MapWord(int i) {
    return Comm_GetVpssChnMapCopy().as32Word[i];
}

void Hide(const Target& tg, MK_S32 vo) {
    if (MK_MPI_VO_HideChn(tg.s32VoDev, vo) != 0) APP_ERR(kSrc, "MK_MPI_VO_HideChn Fail\n");
}

bool Degenerate(const PLAY_RECT_S& r) {
    return r.u16Right <= r.u16Left || r.u16Bottom <= r.u16Top;
}

bool AllSet(const PLAY_RECT_S& r) {
    return r.u16Left != 0 && r.u16Top != 0 && r.u16Right != 0 && r.u16Bottom != 0;
}

PLAY_RECT_S RectAt(const PCIV_MSG_S* m, uint32_t off) {
    PLAY_RECT_S r;
    std::memcpy(&r, reinterpret_cast<const uint8_t*>(m->au32Payload) + off, sizeof(r));
    return r;
}

uint32_t Down(uint32_t v, uint32_t step) {
    return v - v % step;
}

// The master's display rectangle on this display: its coordinates scaled by head words 6/4 and 7/5
// of the decode block.
RECT_S ScaleRect(const PLAY_RECT_S& r, uint32_t u32YStep) {
    AVdecState* s = AVdecGetState();
    uint64_t sw = s->Head(AVDEC_HEAD_SCALE_W), dw = s->Head(AVDEC_HEAD_DISP_W);
    uint64_t sh = s->Head(AVDEC_HEAD_SCALE_H), dh = s->Head(AVDEC_HEAD_DISP_H);
    RECT_S o;
    o.s32X = static_cast<MK_S32>(Down(static_cast<uint32_t>(r.u16Left * sw / dw), 2));
    o.u32Width = Down(static_cast<uint32_t>((r.u16Right - r.u16Left) * sw / dw), 2);
    o.s32Y = static_cast<MK_S32>(Down(static_cast<uint32_t>(r.u16Top * sh / dh), u32YStep));
    o.u32Height = Down(static_cast<uint32_t>((r.u16Bottom - r.u16Top) * sh / dh), u32YStep);
    return o;
}

struct RectCmd {
    uint32_t c;
    uint32_t u32Hide;
    bool bZoom, bDisp;
    PLAY_RECT_S zoom, disp;
};

RectCmd RectArgs(uint32_t c, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp) {
    return {c, u32Hide, pZoom != nullptr, pDisp != nullptr, pZoom != nullptr ? *pZoom : PLAY_RECT_S{},
            pDisp != nullptr ? *pDisp : PLAY_RECT_S{}};
}

enum class RectKind { kRecorded, kDigital };

int32_t SetRect(const Target& tg, const RectCmd& cmd, RectKind kind, const char* pszCmd) {
    uint32_t c = cmd.c;
    MK_S32 grp;
    if (!ChnAndGroup(tg, c, pszCmd, &grp)) return -1;
    AVdecState* t = tg.pBlock;
    if (t->Started(c) != 1) return 0;
    // Started flags of the playback block come with the master's head bytes, records one at a time.
    if (!AVdecRecEnabled(t, c, pszCmd)) return -1;
    AVdecState* s = AVdecGetState();
    bool bScale = cmd.bDisp && !Degenerate(cmd.disp);
    if (bScale && (s->Head(AVDEC_HEAD_DISP_W) == 0 || s->Head(AVDEC_HEAD_DISP_H) == 0)) {
        // No display size yet (the resolution command has not come): nothing to scale by.
        APP_ERR(kSrc, "%s: channel %u: no display size yet\n", pszCmd, c);
        return -1;
    }
    const MK_S32 dev = tg.s32VoDev;
    MK_S32 vo = tg.Field(c, REC_VO_CHN);
    MK_S32 vd = kind == RectKind::kRecorded ? tg.DecoderOf(c) : tg.Field(c, REC_VDEC_CHN);
    if (kind == RectKind::kDigital) {
        t->SetRec(c, REC_HIDE, cmd.u32Hide);
    } else if (cmd.u32Hide == 1) {
        Hide(tg, vo);
    }
    if (t->Head(AVDEC_HEAD_DISP_ON) == 0) return 0;
    VO_CHN_ATTR_S attr;
    MK_S32 r = MK_MPI_VO_GetChnAttr(dev, vo, &attr);
    if (r != 0) {
        APP_ERR(kSrc, "CHN:%d MK_VO_GetChnAttr failed :%#X\n", vo, r);
        return -1;
    }
    RECT_S rect{};
    if (bScale) rect = ScaleRect(cmd.disp, kind == RectKind::kRecorded ? 4 : 2);
    t->SetRec(c, REC_RECT_X, static_cast<uint32_t>(rect.s32X));
    t->SetRec(c, REC_RECT_Y, static_cast<uint32_t>(rect.s32Y));
    t->SetRec(c, REC_RECT_W, rect.u32Width);
    t->SetRec(c, REC_RECT_H, rect.u32Height);
    attr.u32Priority = 0;
    attr.stRect = rect;
    attr.bDeflicker = 0;
    if (Comm_VoChnConfig(dev, vo, &attr) != 0) APP_ERR(kSrc, "Comm_VoChnConfig Fail\n");
    if (kind == RectKind::kRecorded) {
        if (cmd.u32Hide != 1) {
            r = MK_MPI_VO_ShowChn(dev, vo);
            if (r != 0) {
                APP_ERR(kSrc, "MK_MPI_VO_ShowChn Fail, s32Ret = 0x%08x, VoDev = %d, voChn = %d\n", r, dev, vo);
            }
        }
    } else if (cmd.u32Hide == 1) {
        Hide(tg, vo);
    } else if (t->Rec(c, REC_SHOWN) != 0 && MK_MPI_VO_ShowChn(dev, vo) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_ShowChn Fail\n");
    }
    MK_MPI_VO_SetChnFrameRate(dev, vo, kVoFrameRate);
    MK_S32 vpssChn = MapWord(VPSS_MAP_DEC_PREVIEW_CHN);
    SlaveSysCfg cfg = SlaveGetSysCfg();
    if (kind == RectKind::kRecorded && CommWideTest(cfg.u32DevType, cfg.stHvrCap) && cfg.u32DigitalNum == 0) {
        vpssChn = MapWord(VPSS_MAP_WIDE_CHN);
    }
    r = Comm_VoUnBindVpss(dev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    r = Comm_VoBindVpss(dev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoBindVpss failed %#X\n", r);
    if (t->Rec(c, REC_BOUND) == 0) {
        r = Comm_VdecBindVpss(vd, grp);
        if (r != 0) APP_ERR(kSrc, "Comm_VdecBindVpss failed %#X\n", r);
        t->SetRec(c, REC_BOUND, 1);
    }
    bool bZoom = cmd.bZoom && AllSet(cmd.zoom);
    SIZE_S size{t->Rec(c, bZoom ? REC_CUR_W : REC_PIC_W), t->Rec(c, bZoom ? REC_CUR_H : REC_PIC_H)};
    VPSS_CROP_INFO_S crop = PlayZoomCrop(bZoom, cmd.zoom.u16Left, cmd.zoom.u16Top, cmd.zoom.u16Right,
                                         cmd.zoom.u16Bottom, cmd.bDisp, cmd.disp.u16Left, cmd.disp.u16Top,
                                         cmd.disp.u16Right, cmd.disp.u16Bottom, size, GraphicsGetState()->u32Width);
    r = MK_MPI_VPSS_SetGrpCrop(grp, &crop);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VPSS_SetGrpCrop failed with %#x!\n", r);
    if (t->Rec(c, REC_PAUSED) != 0 || (kind == RectKind::kRecorded && !tg.IsH264(c))) {
        r = MK_MPI_VO_RefreshChn(dev, vo);
        if (r != 0) APP_ERR(kSrc, "MK_MPI_VO_RefreshChn Fail %#X\n", r);
    }
    return 0;
}

RectCmd ParseRect(const PCIV_MSG_S* m) {
    return {m->au32Payload[0], m->au32Payload[1], m->au32Payload[2] == 0, m->au32Payload[3] == 0, RectAt(m, 16),
            RectAt(m, 24)};
}

int32_t CmdRecRect(PCIV_MSG_S* m, PcivCmdContext*) {
    return SetRect(Playback(), ParseRect(m), RectKind::kRecorded, "PlaySetRecDecRectSlaver");
}
int32_t CmdDigRect(PCIV_MSG_S* m, PcivCmdContext*) {
    return SetRect(Playback(), ParseRect(m), RectKind::kDigital, "PlaySetDigDecRectSlaver");
}
int32_t CmdPlayBackDisable(PCIV_MSG_S* m, PcivCmdContext*) {
    return HwPlayBackDisable(m->au32Payload[0], m->au32Payload[1]);
}
int32_t CmdDigDecDisable(PCIV_MSG_S* m, PcivCmdContext*) {
    return HwDigDecDisable(m->au32Payload[0]);
}
int32_t CmdSetDecType(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlaySetDecType(m->au32Payload[0], m->au32Payload[1]);
}

void UnbindDecoder(const Target& tg, uint32_t c, MK_S32 vd, MK_S32 grp) {
    MK_S32 r = Comm_VdecUnBindVpss(vd, grp);
    if (r != 0) APP_ERR(kSrc, "Comm_VdecUnBindVpss failed %#X\n", r);
    tg.pBlock->SetRec(c, REC_BOUND, 0);
}

int32_t PlayBackDisable(const Target& tg, uint32_t c, uint32_t u32Mode, const char* pszCmd) {
    MK_S32 grp;
    if (!ChnAndGroup(tg, c, pszCmd, &grp)) return -1;
    AVdecState* t = tg.pBlock;
    if (t->Rec(c, REC_CREATED) == 0) return 0;
    const MK_S32 dev = tg.s32VoDev;
    MK_S32 vo = tg.Field(c, REC_VO_CHN);
    MK_S32 vd = tg.DecoderOf(c);
    SlaveSysCfg cfg = SlaveGetSysCfg();
    const HVR_CAP_S& cap = cfg.stHvrCap;
    bool bRule = (cap.as16Analog[HVR_CAP_1080P] == 16 && cap.u32MaxPlayBackWay == 16) ||
                 cap.as16Analog[HVR_CAP_960P] == 24 || cap.as16Analog[HVR_CAP_960P] == 32;
    MK_S32 vpssChn = MapWord(bRule && cfg.u32DigitalNum == 0 ? VPSS_MAP_WIDE_CHN : VPSS_MAP_DEC_PREVIEW_CHN);
    MK_S32 r = Comm_VoUnBindVpss(dev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    if (u32Mode == 1) {
        if (t->Rec(c, REC_PAUSED) == 0) {
            if (tg.IsH264(c) && t->Rec(c, REC_BOUND) != 0) UnbindDecoder(tg, c, vd, grp);
            if (tg.IsH264(c) || t->Rec(c, REC_BOUND) == 0) {
                r = Comm_VdecBindVpss(vd, grp);
                if (r != 0) APP_ERR(kSrc, "Comm_VdecBindVpss failed %#X\n", r);
                r = Comm_VoBindVpss(dev, vo, grp, vpssChn);
                if (r != 0) APP_ERR(kSrc, "Comm_VoBindVpss failed %#X\n", r);
                t->SetRec(c, REC_BOUND, 1);
            }
        }
    } else {
        UnbindDecoder(tg, c, vd, grp);
    }
    Hide(tg, vo);
    t->SetStarted(c, 0);
    return 0;
}

int32_t DigDecDisable(const Target& tg, uint32_t c, const char* pszCmd) {
    MK_S32 grp;
    if (!ChnAndGroup(tg, c, pszCmd, &grp)) return -1;
    AVdecState* t = tg.pBlock;
    if (t->Rec(c, REC_CREATED) == 0) return 0;
    MK_S32 vo = tg.Field(c, REC_VO_CHN);
    MK_S32 r = Comm_VoUnBindVpss(tg.s32VoDev, vo, grp, MapWord(VPSS_MAP_DEC_PREVIEW_CHN));
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    UnbindDecoder(tg, c, tg.DecoderOf(c), grp);
    Hide(tg, vo);
    t->SetStarted(c, 0);
    return 0;
}

}  // namespace

VPSS_CROP_INFO_S PlayZoomCrop(bool bZoom, uint32_t zl, uint32_t zt, uint32_t zr, uint32_t zb, bool bDisp, uint32_t dl,
                              uint32_t dt, uint32_t dr, uint32_t db, SIZE_S size, uint32_t u32FbWidth) {
    VPSS_CROP_INFO_S crop{};
    crop.bEnable = 1;
    crop.enCropCoordinate = VPSS_CROP_ABS_COOR;
    uint64_t W = size.u32Width, H = size.u32Height;
    uint64_t x = 0, y = 0, w = W, h = H;
    if (bZoom && zl != 0 && zt != 0 && zr != 0 && zb != 0 && bDisp && dr > dl && db > dt) {
        uint64_t dw = dr - dl, dh = db - dt;
        // A zoom edge before its start gives an empty crop, which the minimum below widens.
        x = Down(static_cast<uint32_t>(W * zl / dw), 4);
        y = Down(static_cast<uint32_t>(H * zt / dh), 4);
        w = zr > zl ? Down(static_cast<uint32_t>(W * (zr - zl) / dw), 4) : 0;
        h = zb > zt ? Down(static_cast<uint32_t>(H * (zb - zt) / dh), 4) : 0;
    }
    uint64_t m = (u32FbWidth >> 5) * 4;
    if (w < m) w = m;
    if (h < m) h = m;
    // A picture smaller than the minimum puts the crop at its origin.
    if (x > (W > m ? W - m : 0)) x = W > m ? W - m : 0;
    if (y > (H > m ? H - m : 0)) y = H > m ? H - m : 0;
    if (h == 480) h = 576;
    if (h == 240) h = 288;
    crop.stCropRect.s32X = static_cast<MK_S32>(x);
    crop.stCropRect.s32Y = static_cast<MK_S32>(y);
    crop.stCropRect.u32Width = static_cast<MK_U32>(w);
    crop.stCropRect.u32Height = static_cast<MK_U32>(h);
    return crop;
}

int32_t HwPlayBackDisable(uint32_t c, uint32_t u32Mode) {
    return PlayBackDisable(Playback(), c, u32Mode, "HwPlayBackDisable");
}

int32_t HwDigDecDisable(uint32_t c) {
    return DigDecDisable(Playback(), c, "HwDigDecDisable");
}

int32_t PlaySetDecType(uint32_t c, uint32_t u32Type) {
    const Target tg = Playback();
    if (!AVdecChnValid(c)) {
        APP_ERR(kSrc, "PlaySetDecType: channel %u is not a decode channel\n", c);
        return -1;
    }
    if (!AVdecRecEnabled(tg.pBlock, c, "PlaySetDecType")) return -1;
    if (u32Type > 1) {
        // Neither H.264 nor JPEG: the channel stays as it is.
        APP_ERR(kSrc, "PlaySetDecType: channel %u: type %u is neither 0 nor 1\n", c, u32Type);
        return 0;
    }
    AVdecState* t = tg.pBlock;
    t->SetRec(c, REC_PAYLOAD, u32Type == 1 ? AVDEC_PT_JPEG : AVDEC_PT_H264);
    t->SetRec(c, REC_VDEC_CHN, u32Type == 1 ? c + kJpegChnStep : c);
    // Unlike the other display commands, the decoder leaves the record's own group.
    UnbindDecoder(tg, c, tg.DecoderOf(c), tg.Field(c, REC_VPSS_GRP));
    return 0;
}

int32_t PlaySetRecDecRect2(uint32_t c, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp) {
    return SetRect(DecodeBlock(true), RectArgs(c, u32Hide, pZoom, pDisp), RectKind::kRecorded, "PlaySetRecDecRect2");
}

int32_t PlaySetDigDecRect2(uint32_t c, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp) {
    return SetRect(DecodeBlock(true), RectArgs(c, u32Hide, pZoom, pDisp), RectKind::kDigital, "PlaySetDigDecRect2");
}

int32_t PlaySetRect2(uint32_t c, uint32_t u32Hide, const PLAY_RECT_S* pZoom, const PLAY_RECT_S* pDisp) {
    return AVdecDigitalChn(c) ? PlaySetDigDecRect2(c, u32Hide, pZoom, pDisp) : PlaySetRecDecRect2(c, u32Hide, pZoom, pDisp);
}

int32_t HwPlayBackDisableSignel(uint32_t c, uint32_t u32Mode) {
    return PlayBackDisable(DecodeBlock(false), c, u32Mode, "HwPlayBackDisableSignel");
}

int32_t HwDigDecDisableSignel(uint32_t c) {
    return DigDecDisable(DecodeBlock(false), c, "HwDigDecDisableSignel");
}

void PlayRegisterDisplayCmdHandlers() {
    PCIV_RegisterCmdHandler(65, CmdRecRect);
    PCIV_RegisterCmdHandler(66, CmdDigRect);
    PCIV_RegisterCmdHandler(67, CmdPlayBackDisable);
    PCIV_RegisterCmdHandler(68, CmdDigDecDisable);
    PCIV_RegisterCmdHandler(75, CmdSetDecType);
}
