#include "app/enc/capture_cmd.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_snap.h"
#include "app/comm/comm_system.h"
#include "app/comm/comm_vi.h"
#include "app/comm/comm_vpss.h"
#include "app/enc/capture_state.h"
#include "app/enc/venc_chn.h"
#include "app/enc/venc_push.h"
#include "app/enc/venc_snap.h"
#include "app/osd/osd_title.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_recv.h"
#include "sdk/rgn/mpi_rgn.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"

namespace {

constexpr const char* kSrc = "../enc/capture.c";
constexpr uint32_t kPtH264 = 96;
constexpr uint32_t kMaxBitRate = 20480;
constexpr uint32_t kMinBitRate = 16;

std::atomic<CaptureSplitDisplayModeFn> g_pfnDisplayMode{nullptr};
std::atomic<CaptureSplitModelModeFn> g_pfnModelMode{nullptr};

// The channel end, held to the 32 records.
uint32_t ChnEnd(const SlaveSysCfg& cfg) {
    return std::min<uint32_t>(cfg.u32ChnEnd, CAPTURE_CHN_NUM);
}

SIZE_S PicSize(uint32_t u32Vstd, int32_t s32Code) {
    SIZE_S s{};
    Comm_SysGetPicSize(u32Vstd, s32Code, &s, false);
    return s;
}

// The channel and type of a start or stop command; false after the line.
bool StartStopArgsValid(const SlaveSysCfg& cfg, int32_t s32Chn, int32_t s32Type, const char* pszFunc) {
    if (static_cast<uint32_t>(s32Chn) < ChnEnd(cfg) && static_cast<uint32_t>(s32Type) <= 4) return true;
    APP_ERR_IN(kSrc, pszFunc, "TOTAL_VI_CHN_NUM:%d Invalid viChn = %d; type = %d",
               static_cast<int>(cfg.u32ChnEnd), s32Chn, s32Type);
    return false;
}

bool JpegEnabled(const SlaveSysCfg& cfg) {
    return cfg.stSlaveCfg.u8JpegEnable != 0;
}

// The once-per-process part of the first create command.
int CreateModule() {
    CaptureState* s = CaptureGetState();
    if (s->s32Created.load() != 0) return 0;
    const int r = CaptureStateInit();
    if (r != 0) {
        APP_ERR(kSrc, "pthread_mutex_init failed %#X", r);
        return -1;
    }
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const SIZE_S stPic = PicSize(0, static_cast<int32_t>(cfg.u32PicSize));
    for (uint32_t c = 0; c < ChnEnd(cfg); ++c) {
        for (CaptureStreamRec& st : s->astChn[c].astStream) {
            st.u32Width = stPic.u32Width;
            st.u32Height = stPic.u32Height;
        }
    }
    CaptureTitleInit();
    s->s32Created = 1;
    return 0;
}

bool StartThread(void* (*pfn)(void*)) {
    pthread_t tid;
    if (pthread_create(&tid, nullptr, pfn, nullptr) != 0) return false;
    pthread_detach(tid);
    return true;
}

}  // namespace

VENC_PARAM_S CaptureFormatParam(uint32_t u32Vstd, uint32_t u32RateLimit, uint32_t u32SysPicSize,
                                const uint8_t* f) {
    VENC_PARAM_S p{};
    const uint32_t kind = f[CAP_FMT_KIND];
    const bool bVirtualI = kind == CAP_KIND_VIRTUAL_I;
    p.u32Vstd = u32Vstd;
    const uint32_t kbps = static_cast<uint32_t>(f[CAP_FMT_KBPS] | f[CAP_FMT_KBPS + 1] << 8);
    p.u32BitRate = std::clamp(kbps, kMinBitRate, kMaxBitRate);
    p.u32PayloadType = kPtH264;
    p.u32RcMode = (f[CAP_FMT_RC] == 0 && !bVirtualI) ? VENC_RC_MODE_H264CBR : VENC_RC_MODE_H264VBR;
    p.s32SizeCode = f[CAP_FMT_SIZE];
    uint32_t fps = f[CAP_FMT_FPS];
    if (fps < 2) {
        fps = 2;
    } else {
        fps = std::min<uint32_t>(fps, u32Vstd == 1 ? 30 : 25);
    }
    // A limit of 0 is a product that chooses no capture rate: nothing thins the input, so nothing
    // limits the stream (its GOP would be one frame).
    if (u32RateLimit >= 1) fps = std::min(fps, u32RateLimit);
    p.u32FrameRate = fps;
    p.u32Fluctuate = 0;
    p.u32One = 1;
    p.u32Gop = std::max<uint32_t>(1, (bVirtualI ? 10u : f[CAP_FMT_GOP]) * fps);
    p.u32PicSizeZero = u32SysPicSize == 0 ? 1 : 0;
    p.u32MaxQp = 51;
    const uint8_t q = f[CAP_FMT_QUALITY];
    if (bVirtualI) {
        p.u32MinQp = q <= 1 ? 24 : q <= 3 ? 27 : 30;
    } else {
        p.u32MinQp = q <= 4 ? 10 : 20;
    }
    return p;
}

namespace {

// The format path of a main or sub stream, with the capture lock held; 0 or -1.
int SetStreamFormat(int32_t c, uint32_t u32Kind, const uint8_t* f) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    CaptureState* s = CaptureGetState();
    CaptureChnRec* pChn = &s->astChn[c];
    CaptureStreamRec& st = pChn->astStream[u32Kind];
    const VENC_CHN e = 2 * c + static_cast<VENC_CHN>(u32Kind);
    const COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
    const int32_t grp = c + map.as32Word[VPSS_MAP_IN_BASE];
    const int32_t grpChn = map.as32Word[u32Kind == 0 ? VPSS_MAP_MAIN_CHN : VPSS_MAP_SUB_CHN];
    const uint32_t u32Vstd = static_cast<uint32_t>(s->s32Vstd.load());

    CaptureTitleSetReady(static_cast<uint32_t>(c), 0);
    VENC_CHN_ATTR_S stOld{};
    MK_S32 r = MK_MPI_VENC_GetChnAttr(e, &stOld);
    // A stream whose channel an earlier rebuild could not make is made now; one that the standard
    // command never made is not the format's to make.
    const bool bExists = st.s32Created.load() != 0;
    if (r != 0 && (bExists || s->as32VstdApplied[c] == 0)) {
        APP_ERR(kSrc, "VeChn:%d MK_MPI_VENC_GetChnAttr failed %#x", e, r);
        return -1;
    }
    const VENC_PARAM_S p = CaptureFormatParam(
        u32Vstd, static_cast<uint32_t>(std::max(0, Comm_GetViChnMainFps(c))), cfg.u32PicSize, f);
    const uint32_t kind = f[CAP_FMT_KIND];
    const bool bVirtualI = kind == CAP_KIND_VIRTUAL_I;
    SIZE_S stNew = PicSize(u32Vstd, p.s32SizeCode);
    if (u32Kind == 0 && CaptureViInputNarrow(static_cast<uint32_t>(c), cfg.u32BoardSubType)) {
        if (p.s32SizeCode == 2) stNew.u32Width = 864;
        if (p.s32SizeCode == 14) stNew.u32Width = 1728;
    }
    st.s32Enabled = (f[CAP_FMT_FLAGS] & 1) ? 1 : 0;
    (u32Kind == 0 ? pChn->u32AudioMain : pChn->u32AudioSub) = (f[CAP_FMT_FLAGS] >> 1) & 1;
    if (u32Kind == 0) Comm_SetVpssChnParam(grp, 0, &stNew);

    VENC_CHN_ATTR_S stAttr;
    VencSetH264Param(&stAttr, &p, c);
    const VENC_ATTR_H264_S& old = stOld.stVeAttr.stAttrH264e;
    if (bExists && old.u32PicWidth == stNew.u32Width && old.u32PicHeight == stNew.u32Height &&
        st.u32Kind == kind) {
        r = MK_MPI_VENC_SetChnAttr(e, &stAttr);
        if (r != 0) APP_ERR(kSrc, "chn:%d MK_VENC_SetAttr failed %#X", e, r);
        Open_VirtualIFrameFunc(e, *VencRcWord(&stAttr.stRcAttr, VENC_RC_DST), bVirtualI);
        r = MK_MPI_VENC_RequestIDR(e, 1);
        if (r != 0) APP_ERR(kSrc, "VencChn %d,MK_MPI_VENC_RequestIDR error 0x%x", e, r);
    } else {
        const bool bWasReceiving = st.s32Receiving.load() != 0;
        if (bWasReceiving) {
            r = MK_MPI_VENC_StopRecvPic(e);
            if (r != 0) APP_ERR(kSrc, "chan :%d MK_MPI_VENC_StopRecvPic failed %#x", c, r);
            st.s32Receiving = 0;
        }
        if (bExists) {
            if (Comm_VencUnBindVpss(e, grp, grpChn) != 0)
                APP_ERR(kSrc, "chan :%d Comm_VencUnBindVpss err 0x%x", c, -1);
            if (VencStopChn(e) != 0) APP_ERR(kSrc, "chan :%d VencStopChn err 0x%x", c, -1);
        }
        if (VencStartChn(e, &stAttr, bVirtualI) != 0) {
            // No channel: nothing may select its descriptor or put titles on it.
            APP_ERR(kSrc, "chan :%d VencStartChn err 0x%x", c, -1);
            st.s32Fd = -1;
            st.s32Created = 0;
            return -1;
        }
        const int bindRet = Comm_VencBindVpss(e, grp, grpChn);
        if (bindRet != 0) APP_ERR(kSrc, "chan :%d Comm_VencBindVpss err 0x%x", c, bindRet);
        const MK_S32 fd = MK_MPI_VENC_GetFd(e);
        if (fd < 0) {
            st.s32Fd = -1;
            APP_ERR(kSrc, "MK_MPI_VENC_GetFd err 0x%x", fd);
            return -1;
        }
        st.s32Fd = fd;
        CaptureMarkChnUsed(fd);
        if (bindRet != 0) {
            APP_ERR(kSrc, "chn:%d MK_MPI_VENC_RegisterChn err 0x%x", e, bindRet);
            return -1;
        }
        st.s32Created = 1;
        if (bWasReceiving) {
            r = MK_MPI_VENC_StartRecvPic(e);
            if (r != 0) {
                APP_ERR(kSrc, "MK_MPI_VENC_StartRecvPic err 0x%x", r);
            } else {
                st.s32Receiving = 1;
            }
        }
        st.u32Kind = kind;
    }
    const uint32_t oldRate = st.u32FrameRate;
    st.u32Width = stNew.u32Width;
    st.u32Height = stNew.u32Height;
    st.u32FrameRate = *VencRcWord(&stAttr.stRcAttr, VENC_RC_DST);
    st.s32SizeCode = p.s32SizeCode;
    st.u32CfgFrameRate = p.u32FrameRate;
    // The master's new rate is the one a restore gives back; nothing is lowered until the model mode says so.
    st.u32PrevFrameRate = 0;
    st.u32CfgBitRate = p.u32BitRate;
    st.u32CfgWidth = stNew.u32Width;
    st.u32CfgHeight = stNew.u32Height;
    st.s32CfgSizeCode = p.s32SizeCode;
    st.u32Kind = kind;
    s->u32LastKind = kind;
    CaptureTitleSetReady(static_cast<uint32_t>(c), 1);
    if (u32Kind == 0 && oldRate != st.u32FrameRate) MK_MPI_VENC_RequestIDR(e, 1);
    std::memcpy(pChn->au8Format[u32Kind], f, CAPTURE_FORMAT_LEN);
    pChn->abFormatKept[u32Kind] = true;
    return 0;
}

// Playback lowers the capture rate of some products: a format command keeps to it.
void FollowModelMode(int32_t c) {
    CaptureSplitDisplayModeFn pfnMode = g_pfnDisplayMode.load();
    CaptureSplitModelModeFn pfnModel = g_pfnModelMode.load();
    if (pfnMode == nullptr || pfnModel == nullptr || pfnMode() != 1) return;
    int32_t rate = 0, flag = 0;
    if (pfnModel(&rate, &flag) != 0 || flag == 0) return;
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(c));
    if (static_cast<uint32_t>(rate) == pChn->astStream[0].u32CfgFrameRate) return;
    Set_VichnFPS(c, rate, 0);
    CaptureModelFrameRate(c, rate);
}

// ---- Command handlers ----

const uint8_t* PayloadBytes(const PCIV_MSG_S* pMsg) {
    return reinterpret_cast<const uint8_t*>(pMsg->au32Payload);
}

int32_t CmdCreate(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureCreate(static_cast<int32_t>(pMsg->au32Payload[0]));
}
int32_t CmdStart(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureStart(static_cast<int32_t>(pMsg->au32Payload[0]),
                        static_cast<int32_t>(pMsg->au32Payload[1]));
}
int32_t CmdSetVstd(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureSetVstd(static_cast<int32_t>(pMsg->au32Payload[0]),
                          static_cast<int32_t>(pMsg->au32Payload[1]));
}
int32_t CmdSetFormat(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    // A payload too short for the format record carries none.
    const uint8_t* f = pMsg->stMsgHead.u32MsgLen >= 8 + CAPTURE_FORMAT_LEN ? PayloadBytes(pMsg) + 8 : nullptr;
    return CaptureSetFormat(static_cast<int32_t>(pMsg->au32Payload[0]),
                            static_cast<int32_t>(pMsg->au32Payload[1]), f);
}
int32_t CmdStop(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureStop(static_cast<int32_t>(pMsg->au32Payload[0]),
                       static_cast<int32_t>(pMsg->au32Payload[1]));
}
int32_t CmdForceIFrame(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureForceIFrame(static_cast<int32_t>(pMsg->au32Payload[0]),
                              static_cast<int32_t>(pMsg->au32Payload[1]));
}
int32_t CmdSetCover(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    const uint8_t* r = pMsg->stMsgHead.u32MsgLen >= 24 ? PayloadBytes(pMsg) + 8 : nullptr;
    return CaptureSetCover(static_cast<int32_t>(pMsg->au32Payload[0]),
                           static_cast<int32_t>(pMsg->au32Payload[1]), r);
}
int32_t CmdSetChnFlag(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return CaptureSetChnFlag(static_cast<int32_t>(pMsg->au32Payload[0]));
}

// ---- The set-up's hooks ----

int32_t HookSetFormat(int32_t s32Chn, int32_t s32Stream) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr || (s32Stream != 0 && s32Stream != 1) || !pChn->abFormatKept[s32Stream]) return -1;
    uint8_t f[CAPTURE_FORMAT_LEN];
    std::memcpy(f, pChn->au8Format[s32Stream], sizeof(f));
    return CaptureSetFormat(s32Chn, s32Stream, f);
}

int32_t HookGetFormatSize(int32_t s32Chn, int32_t s32Stream) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr || (s32Stream != 0 && s32Stream != 1) || !pChn->abFormatKept[s32Stream]) return -1;
    return pChn->au8Format[s32Stream][CAP_FMT_SIZE];
}

uint32_t HookGetVstd() {
    return static_cast<uint32_t>(CaptureGetState()->s32Vstd.load());
}

}  // namespace

void CaptureJpegSize(uint32_t u32Vstd, uint8_t u8SizeCode, uint32_t u32SysPicSize, uint32_t* pu32W,
                     uint32_t* pu32H, int32_t* ps32Code) {
    const SIZE_S s1 = PicSize(u32Vstd, u8SizeCode);
    const SIZE_S s2 = PicSize(u32Vstd, static_cast<int32_t>(Comm_GetSysFlag()));
    const SIZE_S s3 = PicSize(u32Vstd, 4);
    *pu32W = s1.u32Width > s2.u32Width ? s2.u32Width : std::max(s1.u32Width, s3.u32Width);
    if (s1.u32Height > s2.u32Height) {
        *pu32H = s2.u32Height;
        *ps32Code = static_cast<int32_t>(u32SysPicSize);
    } else if (s1.u32Height < s3.u32Height) {
        *pu32H = s3.u32Height;
        *ps32Code = 4;
    } else {
        *pu32H = s1.u32Height;
        *ps32Code = u8SizeCode;
    }
}

uint32_t CaptureJpegQuality(uint8_t u8Byte) {
    return u8Byte >= 1 && u8Byte <= 6 ? 6u - u8Byte : 5u;
}

int CaptureCreate(int32_t s32Chn) {
    if (static_cast<uint32_t>(s32Chn) >= CAPTURE_CHN_NUM) {
        APP_ERR(kSrc, "Invaild channel = %d", s32Chn);
        return -1;
    }
    if (CreateModule() != 0) return -1;
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    // A cover shown stays, and so does its handle: forgotten, nothing could remove or replace it.
    for (int i = 0; i < CAPTURE_COVER_NUM; ++i) {
        if (pChn->as32CoverHandle[i] >= 0) continue;
        std::memset(pChn->au8CoverRect[i], 0, sizeof(pChn->au8CoverRect[i]));
    }
    return 0;
}

int CaptureSetVstd(int32_t s32Chn, int32_t s32Std) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (static_cast<uint32_t>(s32Chn) >= ChnEnd(cfg)) {
        APP_ERR(kSrc, "Invaild channel = %d", s32Chn);
        return -1;
    }
    // The fetch threads take the capture lock: it exists before they start, also without a command 28.
    if (CreateModule() != 0) return -1;
    CaptureState* s = CaptureGetState();
    s->s32Vstd = s32Std;
    if (s->as32VstdApplied[s32Chn] == 0) {
        VencChCreate(s32Chn, static_cast<uint32_t>(s32Std));
        if (JpegEnabled(cfg)) JPEGChCreate(s32Chn);
        s->as32VstdApplied[s32Chn] = 1;
    }
    if (s->s32ThreadsStarted.load() == 0) {
        bool ok = StartThread(SlaveVencGetStream);
        if (JpegEnabled(cfg)) ok = StartThread(JPEGCapStreamSlaver);
        if (!ok) APP_ERR(kSrc, "AencChCreate create thread error, vichn = %d", s32Chn);
        s->s32ThreadsStarted = 1;
    }
    return 0;
}

namespace {

// A stream started that can get no picture is the master's omission: one line at its start says which.
void WarnIfNothingToSend(int32_t s32Chn, int32_t s32Type, const CaptureStreamRec& st) {
    if (st.s32Enabled.load() == 0) {
        APP_ERR(kSrc, "channel %d stream %d started, but its format did not enable it (byte 5 bit 0): it sends nothing",
                s32Chn, s32Type);
        return;
    }
    const MPP_CHN_S enc{MK_ID_VENC, 0, 2 * s32Chn + s32Type};
    MPP_CHN_S grp{};
    if (MK_MPI_SYS_GetBindbyDest(&enc, &grp) != 0 || grp.enModId != MK_ID_VPSS) return;
    const MPP_CHN_S grpIn{MK_ID_VPSS, grp.s32DevId, 0};
    MPP_CHN_S in{};
    if (MK_MPI_SYS_GetBindbyDest(&grpIn, &in) != 0) {
        APP_ERR(kSrc, "channel %d: no capture input is bound to its processing group %d (command 94): its streams get no "
                "picture", s32Chn, grp.s32DevId);
    }
}

}  // namespace

int CaptureStart(int32_t s32Chn, int32_t s32Type) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (!StartStopArgsValid(cfg, s32Chn, s32Type, __FUNCTION__)) return -1;
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (s32Type == 0 || s32Type == 1) {
        CaptureStreamRec& st = pChn->astStream[s32Type];
        if (st.s32Enabled.load() != 0 && st.s32Receiving.load() == 0) {
            MK_S32 r = MK_MPI_VENC_StartRecvPic(2 * s32Chn + s32Type);
            if (r != 0) {
                APP_ERR(kSrc, "MK_MPI_VENC_StartRecvPic err 0x%x", r);
                return -1;
            }
            st.s32Receiving = 1;
            WarnIfNothingToSend(s32Chn, s32Type, st);
        } else if (st.s32Enabled.load() == 0) {
            WarnIfNothingToSend(s32Chn, s32Type, st);
        }
        pChn->s32CaptureStarted = 1;
    } else if (s32Type == 4 && JpegEnabled(cfg)) {
        pChn->s32JpegStarted = 1;
    }
    return 0;
}

int CaptureStop(int32_t s32Chn, int32_t s32Type) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (!StartStopArgsValid(cfg, s32Chn, s32Type, __FUNCTION__)) return -1;
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (s32Type == 0 || s32Type == 1) {
        CaptureStreamRec& st = pChn->astStream[s32Type];
        if (st.s32Receiving.load() != 0) {
            const VENC_CHN e = 2 * s32Chn + s32Type;
            MK_S32 r = MK_MPI_VENC_StopRecvPic(e);
            if (r != 0) APP_ERR(kSrc, "MK_VENC_StopCH HwChanID %d failed %#X", e, r);
            st.s32Receiving = 0;
        }
    } else if (s32Type == 4 && JpegEnabled(cfg) && pChn->s32JpegStarted.load() == 1) {
        pChn->s32JpegStarted = 0;
    }
    return 0;
}

int CaptureForceIFrame(int32_t s32Chn, int32_t s32Type) {
    if (s32Type != 0 && s32Type != 1) return 0;
    const VENC_CHN e = static_cast<VENC_CHN>(2 * static_cast<int64_t>(s32Chn) + s32Type);
    MK_S32 r = MK_MPI_VENC_RequestIDR(e, 1);
    if (r != 0) {
        APP_ERR(kSrc, "VencChn %d,MK_MPI_VENC_RequestIDR error 0x%x", e, r);
        return r;
    }
    return 0;
}

int CaptureSetFormat(int32_t s32Chn, int32_t s32Type, const uint8_t* f) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (static_cast<uint32_t>(s32Chn) >= ChnEnd(cfg) || static_cast<uint32_t>(s32Type) > 4 || f == nullptr) {
        APP_ERR(kSrc, "Invaild channel = %d; dwType = %d pFormat\xA3\xBA%p\n", s32Chn, s32Type,
                static_cast<const void*>(f));
        return -1;
    }
    CaptureState* s = CaptureGetState();
    if (s->s32Created.load() == 0) {
        APP_ERR(kSrc, "Invaild channel = %d; capture not created", s32Chn);
        return -1;
    }
    const uint32_t u32Vstd = static_cast<uint32_t>(s->s32Vstd.load());
    SIZE_S stInput{};
    if (CommHookGetInputResSize(s32Chn, &stInput) == 0) {
        const SIZE_S stPic = PicSize(u32Vstd, f[CAP_FMT_SIZE]);
        if (stPic.u32Width > stInput.u32Width) {
            APP_DBG(kSrc, "stSize.u32Width %d,hdsize.w %d", static_cast<int>(stPic.u32Width),
                    static_cast<int>(stInput.u32Width));
            APP_ERR(kSrc, "channel %d Invaild SetFormat\r\n", s32Chn);
            return -1;
        }
    }
    if (s32Type == 0 || s32Type == 1) {
        // Decided before the stream is touched: it runs on as it was.
        const SIZE_S stPic = PicSize(u32Vstd, f[CAP_FMT_SIZE]);
        uint32_t need = 0, largest = 0;
        if (!Comm_PicFitsPools(stPic, &need, &largest)) {
            APP_ERR(kSrc, "channel %d stream %d: a %ux%u picture needs pool blocks of %u bytes, the largest is %u: "
                    "format refused", s32Chn, s32Type, stPic.u32Width, stPic.u32Height, need, largest);
            return -1;
        }
    }
    int r = CaptureLock();
    if (r != 0) APP_ERR(kSrc, "chan :%d lock failed %#x", s32Chn, r);
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    int ret = 0;
    if (s32Type == 4) {
        pChn->u32JpegQuality = CaptureJpegQuality(f[CAP_FMT_QUALITY]);
        pChn->u32JpegRate = f[CAP_FMT_FPS];
        uint32_t w = 0, h = 0;
        int32_t code = 0;
        CaptureJpegSize(u32Vstd, f[CAP_FMT_SIZE], cfg.u32PicSize, &w, &h, &code);
        pChn->u32JpegWidth = w;
        pChn->u32JpegHeight = h;
        pChn->s32JpegSizeCode = code;
        pChn->s32JpegFormatSet = 1;
    } else if (s32Type == 0 || s32Type == 1) {
        ret = SetStreamFormat(s32Chn, static_cast<uint32_t>(s32Type), f);
    }
    if (r == 0) CaptureUnlock();
    if (ret == 0 && (s32Type == 0 || s32Type == 1)) FollowModelMode(s32Chn);
    return ret;
}

int CaptureSetCover(int32_t s32Chn, int32_t s32Index, const uint8_t* pu8Cover) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t end = ChnEnd(cfg);
    if (static_cast<uint32_t>(s32Chn) >= end || static_cast<uint32_t>(s32Index) >= CAPTURE_COVER_NUM ||
        pu8Cover == nullptr) {
        APP_ERR(kSrc, "channel %d index %d invalid", s32Chn, s32Index);
        return 0;
    }
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    int32_t& handle = pChn->as32CoverHandle[s32Index];
    uint16_t rect[4];
    uint32_t enable;
    std::memcpy(rect, pu8Cover, sizeof(rect));
    std::memcpy(&enable, pu8Cover + 8, sizeof(enable));
    const uint32_t left = rect[0], top = rect[1], right = rect[2], bottom = rect[3];
    // Everything that can refuse a new cover is decided before the shown one goes: a refused
    // command leaves the channel's covers as they were.
    int32_t viChn = -1, viDev = -1;
    RGN_CHN_ATTR_S stChn{};
    if (enable != 0) {
        if (right < left || bottom < top) {
            APP_ERR(kSrc, "channel %d index %d cover (%u,%u)-(%u,%u) invalid", s32Chn, s32Index, left, top, right,
                    bottom);
            return -1;
        }
        if (CommHookSplitGetChnWiring(s32Chn, &viChn, &viDev) != 0) {
            APP_ERR(kSrc, "ViChn=%d, failed with %#x!", s32Chn, -1);
            return -1;
        }
        VI_CHN_ATTR_S stVi{};
        MK_S32 r = MK_MPI_VI_GetChnAttr(viChn, &stVi);
        if (r != 0) {
            APP_ERR(kSrc, "ViChn=%d, failed with %#x!", viChn, r);
            return -1;
        }
        uint64_t w = stVi.stCapRect.u32Width, h = stVi.stCapRect.u32Height;
        const int32_t a = cfg.stHvrCap.as16Analog[HVR_CAP_D1], b = cfg.stHvrCap.as16Analog[HVR_CAP_CIF];
        if (s32Chn >= a && s32Chn - a < b && b != 16) {
            w *= 2;
            h *= 2;
        }
        const uint64_t gridH = CaptureGetState()->s32Vstd.load() == 1 ? 960 : 1152;
        const uint64_t cw = w * (right - left) / 1408 * 4, ch = h * (bottom - top) / gridH * 4;
        // The region attach refuses a larger side.
        if (cw > RGN_MAX_SIDE || ch > RGN_MAX_SIDE) {
            APP_ERR(kSrc, "channel %d index %d cover of %llux%llu is larger than a region (%d): refused", s32Chn,
                    s32Index, static_cast<unsigned long long>(cw), static_cast<unsigned long long>(ch),
                    RGN_MAX_SIDE);
            return -1;
        }
        stChn.bShow = 1;
        stChn.enType = COVER_RGN;
        COVER_CHN_ATTR_S& cv = stChn.unChnAttr.stCoverChn;
        cv.enCoverType = AREA_RECT;
        cv.stRect.s32X = static_cast<MK_S32>(w * left / 1408 * 4);
        cv.stRect.s32Y = static_cast<MK_S32>(h * top / gridH * 4);
        cv.stRect.u32Width = static_cast<MK_U32>(cw);
        cv.stRect.u32Height = static_cast<MK_U32>(ch);
        cv.u32Color = 0;
        cv.u32Layer = static_cast<MK_U32>(s32Index);
    }
    if (handle >= 0) MK_MPI_RGN_Destroy(static_cast<RGN_HANDLE>(handle));
    handle = -1;
    std::memcpy(pChn->au8CoverRect[s32Index], pu8Cover, 16);
    if (enable == 0) return 0;
    const RGN_HANDLE rgn = static_cast<RGN_HANDLE>(4 * s32Chn + 16 * static_cast<int32_t>(end) + s32Index);
    RGN_ATTR_S stAttr{};
    stAttr.enType = COVER_RGN;
    MK_S32 r = MK_MPI_RGN_Create(rgn, &stAttr);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_RGN_Create err 0x%x", r);
        return -1;
    }
    const MPP_CHN_S stDest{MK_ID_VIU, 0, viChn};
    r = MK_MPI_RGN_AttachToChn(rgn, &stDest, &stChn);
    if (r != 0) {
        APP_ERR(kSrc, "MK_MPI_RGN_AttachToChn err 0x%x", r);
        MK_MPI_RGN_Destroy(rgn);
        return -1;
    }
    handle = static_cast<int32_t>(rgn);
    return 0;
}

int CaptureSetChnFlag(int32_t s32Chn) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr) {
        APP_ERR(kSrc, "Invaild channel = %d", s32Chn);
        return -1;
    }
    pChn->s32JpegAllowed = 1;
    return 0;
}

int CaptureModelFrameRate(int32_t s32Chn, int32_t s32Rate) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr) return -1;
    const int r = CaptureSetRCSrc(s32Chn, s32Rate, s32Rate, s32Rate);
    for (CaptureStreamRec& st : pChn->astStream) {
        // A second lowering before the restore keeps the rate the master configured, not the lowered one.
        if (st.u32PrevFrameRate == 0) st.u32PrevFrameRate = st.u32CfgFrameRate;
        st.u32CfgFrameRate = static_cast<uint32_t>(std::max(0, s32Rate));
    }
    return r;
}

int CaptureRestoreFrameRate(int32_t s32Chn) {
    CaptureChnRec* pChn = CaptureChn(static_cast<uint32_t>(s32Chn));
    if (pChn == nullptr) return -1;
    // A stream never lowered has no previous rate: it keeps the one it has.
    uint32_t au32Rate[2];
    for (int k = 0; k < 2; ++k) {
        const CaptureStreamRec& st = pChn->astStream[k];
        au32Rate[k] = st.u32PrevFrameRate != 0 ? st.u32PrevFrameRate : st.u32CfgFrameRate;
    }
    const int r =
        CaptureSetRCSrc(s32Chn, 0, static_cast<int32_t>(au32Rate[0]), static_cast<int32_t>(au32Rate[1]));
    for (int k = 0; k < 2; ++k) {
        pChn->astStream[k].u32CfgFrameRate = au32Rate[k];
        pChn->astStream[k].u32PrevFrameRate = 0;
    }
    return r;
}

void CaptureForgetMedia(CommForgotten* pOut) {
    // The snapshot threads wait on encoders of their own: they stop before those go.
    pOut->u32Snapshots += JpegSnapStopAll();
    CaptureState* s = CaptureGetState();
    if (!s->bLocksInit) return;
    // Under the capture lock: the fetch pass and the titles see the channels either as they were or gone.
    const int r = CaptureLock();
    if (r != 0) APP_ERR(kSrc, "lock failed %#x", r);
    for (uint32_t c = 0; c < CAPTURE_CHN_NUM; ++c) {
        CaptureChnRec& ch = s->astChn[c];
        for (CaptureStreamRec& st : ch.astStream) {
            pOut->u32EncStreams += st.s32Created.load() != 0;
            st.s32Created = 0;
            st.s32Receiving = 0;
            st.s32Enabled = 0;
            st.s32Fd = -1;
            st.u32Kind = 0;
            st.u32PrevFrameRate = 0;
        }
        ch.abFormatKept[0] = ch.abFormatKept[1] = false;
        ch.s32CaptureStarted = 0;
        pOut->u32JpegChns += ch.s32JpegVencChn.load() >= 0;
        ch.s32JpegVencChn = -1;
        ch.s32JpegFd = -1;
        ch.s32JpegStarted = 0;
        ch.s32JpegFormatSet = 0;
        for (int32_t& h : ch.as32CoverHandle) {
            pOut->u32Covers += h >= 0;
            h = -1;
        }
        // The next standard command makes the channel's encoders again.
        s->as32VstdApplied[c] = 0;
    }
    FD_ZERO(&s->stFdSet);
    s->s32MaxFd = -1;
    pOut->u32Titles += CaptureTitleForget();
    if (r == 0) CaptureUnlock();
}

void CaptureSetSplitModeHooks(CaptureSplitDisplayModeFn pfnMode, CaptureSplitModelModeFn pfnModel) {
    g_pfnDisplayMode = pfnMode;
    g_pfnModelMode = pfnModel;
}

int CaptureGetBufSize() {
    switch (SlaveGetSysCfg().u32DevType) {
        case 651:
            return 16384;
        case 656:
            return 20480;
        default:
            return -1;
    }
}

void CaptureRegister() {
    PCIV_RegisterCmdHandler(28, CmdCreate);
    PCIV_RegisterCmdHandler(30, CmdStart);
    PCIV_RegisterCmdHandler(31, CmdSetVstd);
    PCIV_RegisterCmdHandler(32, CmdSetFormat);
    PCIV_RegisterCmdHandler(33, CmdStop);
    PCIV_RegisterCmdHandler(34, CmdForceIFrame);
    PCIV_RegisterCmdHandler(35, CmdSetCover);
    PCIV_RegisterCmdHandler(82, CmdSetChnFlag);
    CommSetCaptureSetRCSrcHook(CaptureSetRCSrc);
    CommSetCaptureSetFormatHook(HookSetFormat);
    CommSetCaptureGetFormatSizeHook(HookGetFormatSize);
    CommSetCaptureGetVstdHook(HookGetVstd);
    CommSetJpegChCreateHook(JPEGChCreate);
    CommSetForgetCaptureHook(CaptureForgetMedia);
    SlaveSetOsdTitleHook(CaptureSetTitleV2);
}
