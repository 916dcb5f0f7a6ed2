#include "app/enc/venc_chn.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_system.h"
#include "app/comm/comm_vi.h"
#include "app/comm/comm_vpss.h"
#include "app/enc/capture_state.h"
#include "app/enc/venc_snap.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"

namespace {

constexpr const char* kSrc = "../enc/venc.c";
constexpr uint32_t kPtH264 = 96;
constexpr uint32_t kPtJpeg = 26;
constexpr uint32_t kRateAtLoad = 25;  // the capture rate limit of every channel before its input is set

// Capability fields by their byte offsets in the 68-byte record.
int16_t Analog(const HVR_CAP_S& cap, int slot) {
    return cap.as16Analog[slot];
}
int16_t A4m(const HVR_CAP_S& c) {
    return Analog(c, HVR_CAP_4M);
}  // byte 34
int16_t A1080p(const HVR_CAP_S& c) {
    return Analog(c, HVR_CAP_1080P);
}  // byte 44
int16_t A3m(const HVR_CAP_S& c) {
    return Analog(c, HVR_CAP_3M);
}  // byte 52
int16_t A960p(const HVR_CAP_S& c) {
    return Analog(c, HVR_CAP_960P);
}  // byte 56
int16_t A5m(const HVR_CAP_S& c) {
    return Analog(c, HVR_CAP_5M);
}  // byte 60

bool FdFailed(MK_S32 fd) {
    // The invalid-channel and not-ready codes, and any other refusal: none is a descriptor.
    return fd < 0;
}

SIZE_S PicSize(uint32_t u32Vstd, int32_t s32Code) {
    SIZE_S s{};
    Comm_SysGetPicSize(u32Vstd, s32Code, &s, false);
    return s;
}

// A CIF-class channel: at or above the analog D1 count and within the CIF count after it, unless the
// CIF count is 16.
bool CifClass(const HVR_CAP_S& cap, int32_t s32Chn) {
    const int32_t a = Analog(cap, HVR_CAP_D1), b = Analog(cap, HVR_CAP_CIF);
    return s32Chn >= a && s32Chn - a < b && b != 16;
}

int32_t ChipChnNum(const SlaveSysCfg& cfg) {
    return CommChipChnNumOf(cfg);
}

// The rate an input's pictures arrive at: a large board's source rate, at most 25; else its target
// rate, where a target of 0 (a product that chooses none) thins nothing and the source rate arrives.
uint32_t ViArrivalRate(const VI_CHN_ATTR_S& stVi, bool bLarge) {
    if (bLarge) return static_cast<uint32_t>(std::clamp(stVi.s32SrcFrameRate, 0, 25));
    if (stVi.s32DstFrameRate >= 1) return static_cast<uint32_t>(stVi.s32DstFrameRate);
    return static_cast<uint32_t>(std::max(0, stVi.s32SrcFrameRate));
}

}  // namespace

uint32_t* VencRcWord(VENC_RC_ATTR_S* pstRc, VencRcField enField) {
    // Fixed-quantiser records have no statistic time: their rates sit one word earlier.
    const bool bFixQp = pstRc->enRcMode == VENC_RC_MODE_H264FIXQP;
    switch (enField) {
        case VENC_RC_GOP:
            return &pstRc->au32Param[0];
        case VENC_RC_SRC:
            return &pstRc->au32Param[bFixQp ? 1 : 2];
        case VENC_RC_DST:
            return &pstRc->au32Param[bFixQp ? 2 : 3];
        case VENC_RC_BITRATE:
            return bFixQp ? nullptr : &pstRc->au32Param[4];
    }
    return nullptr;
}

void VencSetH264Param(VENC_CHN_ATTR_S* pstAttr, const VENC_PARAM_S* p, int32_t s32Chn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const HVR_CAP_S& cap = cfg.stHvrCap;
    const uint32_t dev = cfg.u32DevType;
    const bool bLarge = CommWideTest(dev, cap);
    uint32_t u32BitRate = p->u32BitRate;

    // The source frame rate: the input's own when the input is configured, else the product's.
    uint32_t s = 25;
    bool bFromInput = false;
    if (Comm_ViChnIsConfigured(s32Chn)) {
        int32_t viChn = -1, viDev = -1;
        VI_CHN_ATTR_S stVi{};
        if (CommHookSplitGetChnWiring(s32Chn, &viChn, &viDev) == 0) {
            MK_S32 r = MK_MPI_VI_GetChnAttr(viChn, &stVi);
            if (r != 0) {
                APP_ERR(kSrc, "failed with %#x!", r);
            } else {
                bFromInput = true;
                s = ViArrivalRate(stVi, bLarge);
            }
        }
    }
    if (!bFromInput) {
        if (dev == 656) {
            s = A4m(cap) > 0 ? 15 : A3m(cap) > 0 ? 18 : 25;
        } else if (dev == 657) {
            s = A5m(cap) > 0 ? 20 : 25;
        } else if (!bLarge) {
            s = (A1080p(cap) > 0 && cap.u32MaxPlayBackWay == 8) ? 20 : 25;
        } else {
            s = 25;
        }
    }
    if (dev == 656 && cap.u32MaxPlayBackWay == 16) u32BitRate = std::min<uint32_t>(u32BitRate, 2560);

    const SIZE_S stPic = PicSize(p->u32Vstd, p->s32SizeCode);
    const uint32_t w = stPic.u32Width, h = stPic.u32Height;
    std::memset(pstAttr, 0, sizeof(*pstAttr));
    VENC_ATTR_H264_S& a = pstAttr->stVeAttr.stAttrH264e;
    a.u32MaxPicWidth = a.u32PicWidth = w;
    a.u32MaxPicHeight = a.u32PicHeight = h;
    a.u32Profile = 2;
    a.bByFrame = 1;
    a.u32BFrameNum = 0;
    a.u32RefNum = 0;
    uint32_t buf = (w * h * 3 / 256 + 1) * 64;
    if (A1080p(cap) == 16 && cap.u32MaxPlayBackWay == 16) buf = (w * h * 3 / 512 + 1) * 64;
    if (A960p(cap) == 32 || A960p(cap) == 24) buf = (w * h / 128 + 1) * 64;
    a.u32BufSize = std::max<uint32_t>(buf, 32768);
    pstAttr->stVeAttr.enType = p->u32PayloadType;

    const uint32_t d = std::min(s, p->u32FrameRate);
    // A destination rate of 0 (products that choose no capture rate) must not divide.
    const uint32_t stat = std::max<uint32_t>(1, p->u32Gop / std::max<uint32_t>(1, d));
    VENC_RC_ATTR_S& rc = pstAttr->stRcAttr;
    rc.enRcMode = p->u32RcMode;
    switch (p->u32RcMode) {
        case VENC_RC_MODE_H264CBR:
            rc.stAttrH264Cbr = {p->u32Gop, stat, s, d, u32BitRate, p->u32Fluctuate, {0, 0}};
            break;
        case VENC_RC_MODE_H264VBR:
            rc.stAttrH264Vbr = {p->u32Gop, stat, s, d, u32BitRate, p->u32MaxQp, p->u32MinQp, 0};
            break;
        case VENC_RC_MODE_H264FIXQP:
            rc.stAttrH264FixQp = {p->u32Gop, s, d, p->u32MinQp, p->u32MaxQp, {0, 0, 0}};
            break;
        default:
            break;
    }
}

int Open_VirtualIFrameFunc(VENC_CHN veChn, uint32_t u32Interval, int32_t bEnable) {
    if (SlaveGetSysCfg().u32EncPoolFlag == 0) return -1;
    VENC_PARAM_REF_EX_S stRef{1, 0, 1, bEnable ? 1u : 0u, u32Interval, 10};
    MK_S32 r = MK_MPI_VENC_SetRefParamEx(veChn, &stRef);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VENC_SetRefParamEx err 0x%x", r);
    return 0;
}

int VencStartChn(VENC_CHN veChn, const VENC_CHN_ATTR_S* pstAttr, int32_t bVirtualI) {
    MK_S32 r = MK_MPI_VENC_CreateChn(veChn, pstAttr);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_CreateChn err 0x%x", r);
        return -1;
    }
    if (pstAttr->stVeAttr.enType != kPtH264) return 0;
    if (SlaveGetSysCfg().u32EncPoolFlag != 0) {
        VENC_RC_ATTR_S stRc = pstAttr->stRcAttr;
        VENC_PARAM_REF_EX_S stRef{1, 0, 1, bVirtualI ? 1u : 0u, *VencRcWord(&stRc, VENC_RC_DST), 10};
        r = MK_MPI_VENC_SetRefParamEx(veChn, &stRef);
        if (r != 0) APP_ERR(kSrc, "MK_MPI_VENC_SetRefParamEx err 0x%x", r);
    }
    r = MK_MPI_VENC_AttachVbPool(veChn, static_cast<MK_U32>(Comm_GetVencVbPool(veChn)));
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VENC_AttachVbPool err 0x%x", r);
    return 0;
}

int VencStopChn(VENC_CHN veChn) {
    VENC_CHN_ATTR_S stAttr{};
    MK_S32 r = MK_MPI_VENC_GetChnAttr(veChn, &stAttr);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VENC_GetChnAttr err 0x%x", r);
    if (r == 0 && stAttr.stVeAttr.enType == kPtH264) {
        r = MK_MPI_VENC_DetachVbPool(veChn);
        if (r != 0) APP_ERR(kSrc, "MK_MPI_VENC_DetachVbPool err 0x%x", r);
    }
    r = MK_MPI_VENC_DestroyChn(veChn);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_DestroyChn err 0x%x", r);
        return -1;
    }
    return 0;
}

namespace {

// Makes one stream (main or sub) of capture channel c and stores it; 0 or -1.
int MakeStream(int32_t c, uint32_t u32Vstd, uint32_t u32Kind, uint32_t u32F) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
    const int32_t code = CommHookSplitGetChnVi(c, static_cast<int32_t>(u32Kind));
    const VENC_CHN e = 2 * c + static_cast<VENC_CHN>(u32Kind);
    VENC_PARAM_S p{};
    p.u32Vstd = u32Vstd;
    p.u32BitRate = u32Kind == 0 ? 2048 : 512;
    p.u32PayloadType = kPtH264;
    p.u32RcMode = VENC_RC_MODE_H264CBR;
    p.s32SizeCode = code;
    p.u32FrameRate = u32F;
    p.u32Fluctuate = u32Kind == 0 ? 2 : 3;
    p.u32One = 1;
    p.u32Gop = u32F;
    VENC_CHN_ATTR_S stAttr;
    VencSetH264Param(&stAttr, &p, c);
    const int32_t grp = c + map.as32Word[VPSS_MAP_IN_BASE];
    if (VencStartChn(e, &stAttr) != 0) {
        APP_ERR(kSrc, "VencStartChn err 0x%x", -1);
        return -1;
    }
    if (u32Kind == 0) {
        SIZE_S stSize = PicSize(u32Vstd, code);
        if (CifClass(cfg.stHvrCap, c)) stSize = SIZE_S{704, u32Vstd == 1 ? 480u : 576u};
        if (stSize.u32Height == 480) {
            stSize.u32Height = 576;
        } else if (stSize.u32Height == 240) {
            stSize.u32Height = 288;
        } else if (stSize.u32Width == 944) {
            stSize.u32Width = 1280;
        }
        // A group the master made already stays as it is.
        Comm_VpssConfig(grp, &stSize);
    }
    const int32_t grpChn = map.as32Word[u32Kind == 0 ? VPSS_MAP_MAIN_CHN : VPSS_MAP_SUB_CHN];
    if (Comm_VencBindVpss(e, grp, grpChn) != 0) {
        APP_ERR(kSrc, "Comm_VencBindVpss err 0x%x", -1);
        return -1;
    }
    CaptureStreamRec* pRec = CaptureStream(static_cast<uint32_t>(c), u32Kind);
    const MK_S32 fd = MK_MPI_VENC_GetFd(e);
    if (FdFailed(fd)) {
        pRec->s32Fd = -1;
        APP_ERR(kSrc, "MK_MPI_VENC_GetFd err 0x%x", fd);
        return -1;
    }
    const SIZE_S stPic = PicSize(u32Vstd, code);
    CaptureLock();
    CaptureMarkChnUsed(fd);
    pRec->s32Fd = fd;
    pRec->s32Created = 1;
    pRec->s32VencChn = e;
    pRec->s32ViChn = c;
    pRec->s32StreamKind = static_cast<int32_t>(u32Kind);
    pRec->u32Width = stPic.u32Width;
    pRec->u32Height = stPic.u32Height;
    pRec->u32FrameRate = stAttr.stRcAttr.stAttrH264Cbr.u32DstFrmRate;
    pRec->s32SizeCode = code;
    pRec->u32CfgBitRate = p.u32BitRate;
    pRec->u32CfgFrameRate = static_cast<uint32_t>(std::max(0, Comm_GetViChnMainFps(c)));
    pRec->u32CfgWidth = stPic.u32Width;
    pRec->u32CfgHeight = stPic.u32Height;
    pRec->s32CfgSizeCode = code;
    int r = 0;
    if (!pRec->bStreamLockInit) {
        r = pthread_mutex_init(&pRec->mtxStream, nullptr);
        pRec->bStreamLockInit = r == 0;
    }
    CaptureUnlock();
    if (r != 0) {
        APP_ERR(kSrc, "pthread_mutex_init viChn = %d failed %#X", c, r);
        return -1;
    }
    return 0;
}

}  // namespace

uint32_t VencDefaultFrameRate(int32_t s32Chn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const HVR_CAP_S& cap = cfg.stHvrCap;
    const uint32_t dev = cfg.u32DevType;
    // A limit of 0 is none chosen: the channel starts at the rate its limit has at load.
    const int32_t s32Limit = Comm_GetViChnMainFps(s32Chn);
    const uint32_t limit = s32Limit >= 1 ? static_cast<uint32_t>(s32Limit) : kRateAtLoad;
    uint32_t f = CommHookSplitGetChnVi(s32Chn, 0) == 17 ? 15 : limit;
    if (CommWideTest(dev, cap)) {
        f = limit;
        if (A4m(cap) == 16 && dev == 656) {
            f = 15;
        } else if (A5m(cap) == 8) {
            f = 20;
        } else if (A4m(cap) == 8 && dev == 656) {
            f = 15;
        }
    } else if (A4m(cap) == 8 && dev == 656) {
        f = 15;
    }
    return f;
}

int VencChCreate(int32_t s32Chn, uint32_t u32Vstd) {
    if (static_cast<uint32_t>(s32Chn) >= CAPTURE_CHN_NUM) return -1;
    const uint32_t f = VencDefaultFrameRate(s32Chn);
    if (MakeStream(s32Chn, u32Vstd, CAPTURE_STREAM_MAIN, f) != 0) return -1;
    return MakeStream(s32Chn, u32Vstd, CAPTURE_STREAM_SUB, f);
}

VENC_CHN JpegChnOf(int32_t s32Chn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const int64_t j =
        static_cast<int64_t>(s32Chn) + 2 * static_cast<int64_t>(cfg.u32ChnEnd) + 2 * ChipChnNum(cfg);
    return j >= 0 && j < VENC_MAX_CHN_NUM ? static_cast<VENC_CHN>(j) : -1;
}

int JPEGChCreate(int32_t s32Chn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (s32Chn < 0) {
        APP_ERR(kSrc, "JPEGChCreate error, vichn = %d", s32Chn);
        return -1;
    }
    const int64_t end = std::min<uint32_t>(cfg.u32ChnEnd, CAPTURE_CHN_NUM);
    const VENC_CHN j = JpegChnOf(s32Chn);
    if (s32Chn < end) {
        CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
        if (pChn->s32JpegAllowed.load() != 1) {
            APP_ERR(kSrc, "vichn = %d unsupport by app", s32Chn);
            return -1;
        }
        if (j < 0) {
            APP_ERR(kSrc, "JPEGChCreate error, vichn = %d", s32Chn);
            return -1;
        }
        const uint32_t u32Vstd = static_cast<uint32_t>(CaptureGetState()->s32Vstd.load());
        const int32_t code = CommHookSplitGetChnVi(s32Chn, 0);
        const SIZE_S stPic = PicSize(u32Vstd, code);
        VENC_CHN_ATTR_S stAttr{};
        stAttr.stVeAttr.enType = kPtJpeg;
        stAttr.stVeAttr.stAttrJpeg = {stPic.u32Width,
                                      stPic.u32Height,
                                      stPic.u32Width * stPic.u32Height * 3 / 2,
                                      1,
                                      stPic.u32Width,
                                      stPic.u32Height,
                                      0,
                                      {0, 0}};
        if (VencStartChn(j, &stAttr) != 0) {
            APP_ERR(kSrc, "VencStartChn err 0x%x", -1);
            return -1;
        }
        const COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
        if (Comm_VencBindVpss(j, s32Chn + map.as32Word[VPSS_MAP_IN_BASE],
                              map.as32Word[VPSS_MAP_IN_LAST4_CHN]) != 0) {
            APP_ERR(kSrc, "Comm_VencBindVpss err 0x%x", -1);
            return -1;
        }
        const MK_S32 fd = MK_MPI_VENC_GetFd(j);
        if (FdFailed(fd)) {
            pChn->s32JpegFd = -1;
            APP_ERR(kSrc, "MK_MPI_VENC_GetFd err 0x%x", fd);
            return -1;
        }
        CaptureLock();
        pChn->s32JpegFd = fd;
        pChn->s32JpegVencChn = j;
        pChn->s32JpegViChn = s32Chn;
        pChn->s32JpegSizeCode = code;
        pChn->u32JpegWidth = stPic.u32Width;
        pChn->u32JpegHeight = stPic.u32Height;
        pChn->u32JpegRate = 1;
        pChn->u32JpegQuality = 5;
        CaptureUnlock();
        return 0;
    }
    // A decode channel: its number is the decoder channel plus the channel end.
    if (s32Chn >= end + static_cast<int64_t>(cfg.u32DecNum)) return 0;
    if (j < 0) {
        APP_ERR(kSrc, "JPEGChCreate error, vichn = %d", s32Chn);
        return -1;
    }
    return JpegSnapChCreate(s32Chn, j);
}

int CaptureSetRCSrc(int32_t s32Chn, int32_t s32Src, int32_t s32Main, int32_t s32Sub) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr) return -1;
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const bool bLarge = CommWideTest(cfg.u32DevType, cfg.stHvrCap);
    const bool bGiven = s32Src >= 1;
    int32_t n = s32Src;
    if (!bGiven) {
        int32_t viChn = -1, viDev = -1;
        VI_CHN_ATTR_S stVi{};
        n = 25;
        if (CommHookSplitGetChnWiring(s32Chn, &viChn, &viDev) == 0 && MK_MPI_VI_GetChnAttr(viChn, &stVi) == 0)
            n = static_cast<int32_t>(ViArrivalRate(stVi, bLarge));
    }
    const uint32_t r = static_cast<uint32_t>(std::clamp(n, 0, 25));
    // No rate to adapt to: a destination of 0 would make a GOP of one frame.
    if (r == 0) return 0;
    for (uint32_t kind = 0; kind < 2; ++kind) {
        CaptureStreamRec& st = pChn->astStream[kind];
        if (st.s32Created.load() == 0) continue;
        const VENC_CHN e = 2 * s32Chn + static_cast<VENC_CHN>(kind);
        VENC_CHN_ATTR_S stAttr{};
        MK_S32 ret = MK_MPI_VENC_GetChnAttr(e, &stAttr);
        if (ret != 0) {
            APP_ERR(kSrc, "chn:%d MK_MPI_VENC_GetChnAttr failed %#X", e, ret);
            return -1;
        }
        VENC_RC_ATTR_S& rc = stAttr.stRcAttr;
        uint32_t& src = *VencRcWord(&rc, VENC_RC_SRC);
        uint32_t& dst = *VencRcWord(&rc, VENC_RC_DST);
        if (src == r) continue;
        const uint32_t u32Want = kind == 0 ? static_cast<uint32_t>(std::max(0, s32Main))
                                           : static_cast<uint32_t>(std::max(0, s32Sub));
        if (kind == 1 && u32Want > r) continue;
        const uint32_t oldDst = dst;
        uint32_t newDst = std::min(r, dst);
        if (kind == 0 && u32Want >= 1 && u32Want <= r) newDst = u32Want;
        if (kind == 1 && u32Want > 0 && (!bGiven || u32Want < newDst)) newDst = u32Want;
        src = r;
        dst = newDst;
        *VencRcWord(&rc, VENC_RC_GOP) = 2 * newDst;
        if (cfg.u32EncPoolFlag != 0 && st.u32Kind == 9 && rc.enRcMode != VENC_RC_MODE_H264FIXQP) {
            rc.enRcMode = VENC_RC_MODE_H264VBR;
            rc.stAttrH264Vbr.u32StatTime = 10;
            rc.stAttrH264Vbr.u32Gop = 10 * newDst;
            Open_VirtualIFrameFunc(e, newDst, 1);
        }
        if (kind == 0 && VencRcWord(&rc, VENC_RC_BITRATE) != nullptr) {
            uint32_t bitRate = st.u32CfgBitRate;
            if (bGiven && newDst < oldDst) {
                const uint64_t scaled = static_cast<uint64_t>(st.u32CfgBitRate) * newDst / oldDst;
                if (scaled > 0) bitRate = static_cast<uint32_t>(scaled);
            }
            *VencRcWord(&rc, VENC_RC_BITRATE) = bitRate;
        }
        ret = MK_MPI_VENC_SetChnAttr(e, &stAttr);
        if (ret != 0) {
            APP_ERR(kSrc, "chn:%d MK_VENC_SetAttr failed %#X", e, ret);
            return -1;
        }
        MK_MPI_VENC_RequestIDR(e, 1);
    }
    return 0;
}
