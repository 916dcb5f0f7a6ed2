// Playback display commands: where a decode channel's picture is shown and which part of it (65, 66),
// disabling a channel's display (67, 68) and the decode type (75).
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

AVdecState* Tab() {
    return AVdecGetChnTable();
}

MK_S32 Field(uint32_t c, uint32_t f) {
    return static_cast<MK_S32>(Tab()->Rec(c, f));
}

// The commands name the channel and read its processing group from the record of the channel minus
// the first decoder channel: both must be records of the decode channels.
bool ChnAndGroup(uint32_t c, const char* pszCmd, MK_S32* pGrp) {
    uint32_t u32GrpRec = c - SlaveGetSysCfg().u32FirstDecChn;
    if (!AVdecChnValid(c) || u32GrpRec >= AVDEC_CHN_NUM) {
        APP_ERR(kSrc, "%s: channel %u is not a decode channel with a group record\n", pszCmd, c);
        return false;
    }
    *pGrp = Field(u32GrpRec, REC_VPSS_GRP);
    return true;
}

MK_S32 MapWord(int i) {
    return Comm_GetVpssChnMapCopy().as32Word[i];
}

bool IsH264(uint32_t c) {
    return Tab()->Rec(c, REC_PAYLOAD) == AVDEC_PT_H264;
}

void Hide(MK_S32 vo) {
    if (MK_MPI_VO_HideChn(kVoDev, vo) != 0) APP_ERR(kSrc, "MK_MPI_VO_HideChn Fail\n");
}

struct Rect16 {
    uint16_t left, top, right, bottom;
    bool Degenerate() const { return right <= left || bottom <= top; }
    bool AllSet() const { return left != 0 && top != 0 && right != 0 && bottom != 0; }
};

Rect16 RectAt(const PCIV_MSG_S* m, uint32_t off) {
    Rect16 r;
    std::memcpy(&r, reinterpret_cast<const uint8_t*>(m->au32Payload) + off, sizeof(r));
    return r;
}

uint32_t Down(uint32_t v, uint32_t step) {
    return v - v % step;
}

// The master's display rectangle on this display: its coordinates scaled by head words 6/4 and 7/5
// of the decode block.
RECT_S ScaleRect(const Rect16& r, uint32_t u32YStep) {
    AVdecState* s = AVdecGetState();
    uint64_t sw = s->Head(AVDEC_HEAD_SCALE_W), dw = s->Head(AVDEC_HEAD_DISP_W);
    uint64_t sh = s->Head(AVDEC_HEAD_SCALE_H), dh = s->Head(AVDEC_HEAD_DISP_H);
    RECT_S o;
    o.s32X = static_cast<MK_S32>(Down(static_cast<uint32_t>(r.left * sw / dw), 2));
    o.u32Width = Down(static_cast<uint32_t>((r.right - r.left) * sw / dw), 2);
    o.s32Y = static_cast<MK_S32>(Down(static_cast<uint32_t>(r.top * sh / dh), u32YStep));
    o.u32Height = Down(static_cast<uint32_t>((r.bottom - r.top) * sh / dh), u32YStep);
    return o;
}

struct RectCmd {
    uint32_t c;
    uint32_t u32Hide;
    bool bZoom, bDisp;
    Rect16 zoom, disp;
};

enum class RectKind { kRecorded, kDigital };

int32_t SetRect(const RectCmd& cmd, RectKind kind) {
    const char* pszCmd = kind == RectKind::kRecorded ? "PlaySetRecDecRectSlaver" : "PlaySetDigDecRectSlaver";
    uint32_t c = cmd.c;
    MK_S32 grp;
    if (!ChnAndGroup(c, pszCmd, &grp)) return -1;
    AVdecState* t = Tab();
    if (t->Started(c) != 1) return 0;
    AVdecState* s = AVdecGetState();
    bool bScale = cmd.bDisp && !cmd.disp.Degenerate();
    if (bScale && (s->Head(AVDEC_HEAD_DISP_W) == 0 || s->Head(AVDEC_HEAD_DISP_H) == 0)) {
        // No display size yet (the resolution command has not come): nothing to scale by.
        APP_ERR(kSrc, "%s: channel %u: no display size yet\n", pszCmd, c);
        return -1;
    }
    MK_S32 vo = Field(c, REC_VO_CHN);
    MK_S32 vd = kind == RectKind::kRecorded && !IsH264(c) ? Field(c, REC_JPEG_CHN) : Field(c, REC_VDEC_CHN);
    if (kind == RectKind::kDigital) {
        t->SetRec(c, REC_HIDE, cmd.u32Hide);
    } else if (cmd.u32Hide == 1) {
        Hide(vo);
    }
    if (t->Head(AVDEC_HEAD_DISP_ON) == 0) return 0;
    VO_CHN_ATTR_S attr;
    MK_S32 r = MK_MPI_VO_GetChnAttr(kVoDev, vo, &attr);
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
    if (Comm_VoChnConfig(kVoDev, vo, &attr) != 0) APP_ERR(kSrc, "Comm_VoChnConfig Fail\n");
    if (kind == RectKind::kRecorded) {
        if (cmd.u32Hide != 1) {
            r = MK_MPI_VO_ShowChn(kVoDev, vo);
            if (r != 0) {
                APP_ERR(kSrc, "MK_MPI_VO_ShowChn Fail, s32Ret = 0x%08x, VoDev = %d, voChn = %d\n", r, kVoDev, vo);
            }
        }
    } else if (cmd.u32Hide == 1) {
        Hide(vo);
    } else if (t->Rec(c, REC_SHOWN) != 0 && MK_MPI_VO_ShowChn(kVoDev, vo) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_ShowChn Fail\n");
    }
    MK_MPI_VO_SetChnFrameRate(kVoDev, vo, kVoFrameRate);
    MK_S32 vpssChn = MapWord(VPSS_MAP_DEC_PREVIEW_CHN);
    SlaveSysCfg cfg = SlaveGetSysCfg();
    if (kind == RectKind::kRecorded && CommWideTest(cfg.u32DevType, cfg.stHvrCap) && cfg.u32DigitalNum == 0) {
        vpssChn = MapWord(VPSS_MAP_WIDE_CHN);
    }
    r = Comm_VoUnBindVpss(kVoDev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    r = Comm_VoBindVpss(kVoDev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoBindVpss failed %#X\n", r);
    if (t->Rec(c, REC_BOUND) == 0) {
        r = Comm_VdecBindVpss(vd, grp);
        if (r != 0) APP_ERR(kSrc, "Comm_VdecBindVpss failed %#X\n", r);
        t->SetRec(c, REC_BOUND, 1);
    }
    bool bZoom = cmd.bZoom && cmd.zoom.AllSet();
    SIZE_S size{t->Rec(c, bZoom ? REC_CUR_W : REC_PIC_W), t->Rec(c, bZoom ? REC_CUR_H : REC_PIC_H)};
    VPSS_CROP_INFO_S crop = PlayZoomCrop(bZoom, cmd.zoom.left, cmd.zoom.top, cmd.zoom.right, cmd.zoom.bottom,
                                         cmd.bDisp, cmd.disp.left, cmd.disp.top, cmd.disp.right, cmd.disp.bottom, size,
                                         GraphicsGetState()->u32Width);
    r = MK_MPI_VPSS_SetGrpCrop(grp, &crop);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VPSS_SetGrpCrop failed with %#x!\n", r);
    if (t->Rec(c, REC_PAUSED) != 0 || (kind == RectKind::kRecorded && !IsH264(c))) {
        r = MK_MPI_VO_RefreshChn(kVoDev, vo);
        if (r != 0) APP_ERR(kSrc, "MK_MPI_VO_RefreshChn Fail %#X\n", r);
    }
    return 0;
}

RectCmd ParseRect(const PCIV_MSG_S* m) {
    RectCmd cmd;
    cmd.c = m->au32Payload[0];
    cmd.u32Hide = m->au32Payload[1];
    cmd.bZoom = m->au32Payload[2] == 0;
    cmd.bDisp = m->au32Payload[3] == 0;
    cmd.zoom = RectAt(m, 16);
    cmd.disp = RectAt(m, 24);
    return cmd;
}

int32_t CmdRecRect(PCIV_MSG_S* m, PcivCmdContext*) {
    return SetRect(ParseRect(m), RectKind::kRecorded);
}
int32_t CmdDigRect(PCIV_MSG_S* m, PcivCmdContext*) {
    return SetRect(ParseRect(m), RectKind::kDigital);
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

MK_S32 DecoderOf(uint32_t c) {
    return IsH264(c) ? Field(c, REC_VDEC_CHN) : Field(c, REC_JPEG_CHN);
}

void UnbindDecoder(uint32_t c, MK_S32 vd, MK_S32 grp) {
    MK_S32 r = Comm_VdecUnBindVpss(vd, grp);
    if (r != 0) APP_ERR(kSrc, "Comm_VdecUnBindVpss failed %#X\n", r);
    Tab()->SetRec(c, REC_BOUND, 0);
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
    MK_S32 grp;
    if (!ChnAndGroup(c, "HwPlayBackDisable", &grp)) return -1;
    AVdecState* t = Tab();
    if (t->Rec(c, REC_CREATED) == 0) return 0;
    MK_S32 vo = Field(c, REC_VO_CHN);
    MK_S32 vd = DecoderOf(c);
    SlaveSysCfg cfg = SlaveGetSysCfg();
    const HVR_CAP_S& cap = cfg.stHvrCap;
    bool bRule = (cap.as16Analog[HVR_CAP_1080P] == 16 && cap.u32MaxPlayBackWay == 16) ||
                 cap.as16Analog[HVR_CAP_960P] == 24 || cap.as16Analog[HVR_CAP_960P] == 32;
    MK_S32 vpssChn = MapWord(bRule && cfg.u32DigitalNum == 0 ? VPSS_MAP_WIDE_CHN : VPSS_MAP_DEC_PREVIEW_CHN);
    MK_S32 r = Comm_VoUnBindVpss(kVoDev, vo, grp, vpssChn);
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    if (u32Mode == 1) {
        if (t->Rec(c, REC_PAUSED) == 0) {
            if (IsH264(c) && t->Rec(c, REC_BOUND) != 0) UnbindDecoder(c, vd, grp);
            if (IsH264(c) || t->Rec(c, REC_BOUND) == 0) {
                r = Comm_VdecBindVpss(vd, grp);
                if (r != 0) APP_ERR(kSrc, "Comm_VdecBindVpss failed %#X\n", r);
                r = Comm_VoBindVpss(kVoDev, vo, grp, vpssChn);
                if (r != 0) APP_ERR(kSrc, "Comm_VoBindVpss failed %#X\n", r);
                t->SetRec(c, REC_BOUND, 1);
            }
        }
    } else {
        UnbindDecoder(c, vd, grp);
    }
    Hide(vo);
    t->SetStarted(c, 0);
    return 0;
}

int32_t HwDigDecDisable(uint32_t c) {
    MK_S32 grp;
    if (!ChnAndGroup(c, "HwDigDecDisable", &grp)) return -1;
    AVdecState* t = Tab();
    if (t->Rec(c, REC_CREATED) == 0) return 0;
    MK_S32 vo = Field(c, REC_VO_CHN);
    MK_S32 r = Comm_VoUnBindVpss(kVoDev, vo, grp, MapWord(VPSS_MAP_DEC_PREVIEW_CHN));
    if (r != 0) APP_ERR(kSrc, "Comm_VoUnBindVpss failed %#X\n", r);
    UnbindDecoder(c, DecoderOf(c), grp);
    Hide(vo);
    t->SetStarted(c, 0);
    return 0;
}

int32_t PlaySetDecType(uint32_t c, uint32_t u32Type) {
    MK_S32 grp;
    if (!ChnAndGroup(c, "PlaySetDecType", &grp)) return -1;
    if (u32Type > 1) {
        // Neither H.264 nor JPEG: the channel stays as it is.
        APP_ERR(kSrc, "PlaySetDecType: channel %u: type %u is neither 0 nor 1\n", c, u32Type);
        return 0;
    }
    AVdecState* t = Tab();
    t->SetRec(c, REC_PAYLOAD, u32Type == 1 ? AVDEC_PT_JPEG : AVDEC_PT_H264);
    t->SetRec(c, REC_VDEC_CHN, u32Type == 1 ? c + kJpegChnStep : c);
    UnbindDecoder(c, u32Type == 0 ? Field(c, REC_VDEC_CHN) : Field(c, REC_JPEG_CHN), grp);
    return 0;
}

void PlayRegisterDisplayCmdHandlers() {
    PCIV_RegisterCmdHandler(65, CmdRecRect);
    PCIV_RegisterCmdHandler(66, CmdDigRect);
    PCIV_RegisterCmdHandler(67, CmdPlayBackDisable);
    PCIV_RegisterCmdHandler(68, CmdDigDecDisable);
    PCIV_RegisterCmdHandler(75, CmdSetDecType);
}
