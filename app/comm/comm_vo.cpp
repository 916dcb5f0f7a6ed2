#include "app/comm/comm_vo.h"

#include <unistd.h>

#include <cstdio>
#include <initializer_list>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/fb/graphics.h"
#include "sdk/hdmi/mpi_hdmi.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vo/mpi_vo.h"

namespace {

constexpr const char* kSrc = "../comm/vivo.c";
constexpr MK_U32 kIntfTypeCascade = 16;
constexpr MK_U32 kPixFmt = 23;
constexpr VO_LAYER kLayer3 = 3;
constexpr MK_U32 kIntfHdmiBit = 32;
constexpr useconds_t kHdmiSettleUs = 500 * 1000;

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
    for (uint32_t s : set) {
        if (s == v) return true;
    }
    return false;
}

bool Layer3Kept() {
    return Comm_GetSlaveCfg()->u8Layer3Keep != 0;
}

// The four colour values of a video or graphic layer, in record order.
void SetCsc(VO_CSC_S* c, std::initializer_list<MK_U32> v) {
    auto it = v.begin();
    c->u32Luma = *it++;
    c->u32Contrast = *it++;
    c->u32Hue = *it++;
    c->u32Satuature = *it;
}

}  // namespace

int Comm_VoPubConfig_Cascade(int s32VoDev) {
    const GraphicsDisplayGeometry g = GraphicsGetDisplayGeometry();
    MK_S32 s32Ret = MK_MPI_VO_Disable(s32VoDev);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    VO_CAS_ATTR_S stCas = {0, 1, 0, 0};
    if (MK_MPI_VO_SetCascadeAttr(&stCas) != 0) APP_ERR(kSrc, "Set MK_MPI_VO_SetCascadeAttr failed!");
    VO_PUB_ATTR_S stPub = {};
    stPub.u32BgColor = 0;
    stPub.enIntfType = kIntfTypeCascade;
    stPub.enIntfSync = g.u32IntfSync;
    if ((s32Ret = MK_MPI_VO_SetPubAttr(s32VoDev, &stPub)) != 0)
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
    if ((s32Ret = MK_MPI_VO_Enable(s32VoDev)) != 0) APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
    VO_VIDEO_LAYER_ATTR_S stLayer = {};
    stLayer.stDispRect = {0, 0, g.u32Width, g.u32Height};
    stLayer.stImageSize = {g.u32ImgWidth, g.u32ImgHeight};
    stLayer.u32DispFrmRt = 30;
    stLayer.enPixFormat = kPixFmt;
    if ((s32Ret = MK_MPI_VO_SetVideoLayerAttr(0, &stLayer)) != 0)
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
    if ((s32Ret = MK_MPI_VO_EnableVideoLayer(0)) != 0)
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
    if (MK_MPI_VO_EnableCascadeDev(COMM_VO_CAS_DEV) != 0) APP_ERR(kSrc, "Start VO_CAS_DEV_1 failed!");
    if (MK_MPI_VO_SetCascadePattern(COMM_VO_CAS_DEV, 1) != 0) APP_ERR(kSrc, "MK_MPI_VO_SetCascadePattern failed!");
    for (MK_U32 pos = 0; pos < COMM_VO_CAS_POS_NUM; ++pos) {
        s32Ret = MK_MPI_VO_CascadePosBindChn(pos, COMM_VO_CAS_DEV, static_cast<VO_CHN>(pos));
        if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VO_CascadePosBindChn failed! 0x%#x", static_cast<unsigned>(s32Ret));
    }
    if (MK_MPI_VO_EnableCascade() != 0) APP_ERR(kSrc, "MK_MPI_VO_EnableCascade failed!");
    return 0;
}

int32_t Comm_VoChnConfig(int32_t s32VoLayer, int32_t s32VoChn, const VO_CHN_ATTR_S* pstAttr) {
    if (s32VoLayer == kLayer3 && Layer3Kept()) return 0;
    MK_S32 s32Ret = MK_MPI_VO_SetChnAttr(s32VoLayer, s32VoChn, pstAttr);
    if (s32Ret == 0) s32Ret = MK_MPI_VO_EnableChn(s32VoLayer, s32VoChn);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "iVolay:%d,VoChn:%d,failed with %#x!", s32VoLayer, s32VoChn, static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t Comm_VoHdmiFormatOf(uint32_t u32IntfSync) {
    static const struct {
        uint32_t sync;
        int32_t format;
    } kMap[] = {
        {0, 11},  {1, 14},  {4, 4},   {5, 3},   {6, 2},   {7, 8},   {8, 7},   {9, 6},   {10, 5},  {11, 1},  {12, 0},
        {13, 9},  {14, 10}, {16, 20}, {17, 21}, {18, 24}, {19, 25}, {20, 26}, {21, 23}, {26, 34}, {30, 40},
    };
    for (const auto& m : kMap) {
        if (m.sync == u32IntfSync) return m.format;
    }
    APP_ERR(kSrc, "Unkonw VO_INTF_SYNC_E value!");
    return 0;
}

namespace {

int32_t Comm_VoHdmiStart(int32_t s32Format) {
    HDMI_INIT_PARA_S stInit = {nullptr, nullptr, 0};
    MK_MPI_HDMI_Init(&stInit);
    MK_MPI_HDMI_Open(HDMI_ID_0);
    HDMI_ATTR_S stAttr;
    if (MK_MPI_HDMI_GetAttr(HDMI_ID_0, &stAttr) != 0) {
        APP_ERR_IN(kSrc, "Comm_VoHdmiStart", "MK_MPI_HDMI_GetAttr");
        return -1;
    }
    stAttr.au32Video[COMM_HDMI_ATTR_ENABLE] = 1;
    stAttr.au32Video[COMM_HDMI_ATTR_FORMAT] = static_cast<MK_U32>(s32Format);
    stAttr.au32Video[COMM_HDMI_ATTR_DEEP_COLOR] = COMM_HDMI_DEEP_COLOR_BITS;
    if (MK_MPI_HDMI_SetAttr(HDMI_ID_0, &stAttr) != 0) {
        APP_ERR_IN(kSrc, "Comm_VoHdmiStart", "MK_MPI_HDMI_SetAttr");
        return -1;
    }
    if (MK_MPI_HDMI_GetAttr(HDMI_ID_0, &stAttr) != 0) {
        APP_ERR_IN(kSrc, "Comm_VoHdmiStart", "MK_MPI_HDMI_GetAttr");
        return -1;
    }
    stAttr.bEnableAudio = 1;
    stAttr.enSampleRate = COMM_HDMI_AUDIO_RATE;
    if (MK_MPI_HDMI_SetAttr(HDMI_ID_0, &stAttr) != 0) {
        APP_ERR_IN(kSrc, "Comm_VoHdmiStart", "MK_MPI_HDMI_SetAttr");
        return -1;
    }
    MK_MPI_HDMI_Start(HDMI_ID_0);
    return 0;
}

}  // namespace

int32_t Comm_VoHdmiConvertSync(uint32_t u32IntfSync) {
    return Comm_VoHdmiStart(Comm_VoHdmiFormatOf(u32IntfSync));
}

int32_t TryGetVoSupportResoltion(int32_t s32VoDev) {
    const uint32_t u32Sync = GraphicsGetDisplayGeometry().u32IntfSync;
    MK_MPI_VO_Disable(s32VoDev);
    VO_PUB_ATTR_S stPub = {};
    stPub.enIntfType = (u32Sync == 26 || u32Sync == 30) ? 32 : 36;
    stPub.enIntfSync = u32Sync;
    MK_S32 s32Ret = MK_MPI_VO_SetPubAttr(s32VoDev, &stPub);
    if (s32Ret == 0) s32Ret = MK_MPI_VO_Enable(s32VoDev);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (stPub.enIntfType & kIntfHdmiBit) {
        Comm_VoHdmiConvertSync(u32Sync);
        usleep(kHdmiSettleUs);
    }
    HDMI_SINK_CAPABILITY_S stCap;
    if ((s32Ret = MK_MPI_HDMI_GetSinkCapability(HDMI_ID_0, &stCap)) != 0) {
        APP_ERR(kSrc, "HDMI Not Plug In,failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (!stCap.bConnected) return -1;
    if (u32Sync == 26 || u32Sync == 30) return stCap.au32Word[Comm_VoHdmiFormatOf(u32Sync)] ? 0 : -1;
    return 0;
}

int32_t Comm_VoPubConfig(int32_t s32VoDev) {
    const GraphicsDisplayGeometry g = GraphicsGetDisplayGeometry();
    MK_S32 s32Ret = MK_MPI_VO_Disable(s32VoDev);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    // Device 0 drives HDMI and VGA together (HDMI alone at 4K); devices 2 and 3 the composite
    // outputs through video layer 3; the others their own layer.
    MK_U32 u32IntfType = (g.u32IntfSync & ~4u) == 26 ? 32 : 36;
    VO_LAYER layer = s32VoDev;
    if (s32VoDev == 2 || s32VoDev == 3) {
        if (s32VoDev == 2 && Layer3Kept()) return 0;
        u32IntfType = 1;
        layer = kLayer3;
    }
    VO_PUB_ATTR_S stPub = {};
    stPub.enIntfType = u32IntfType;
    stPub.enIntfSync = g.u32IntfSync;
    if ((s32Ret = MK_MPI_VO_SetPubAttr(s32VoDev, &stPub)) != 0 || (s32Ret = MK_MPI_VO_Enable(s32VoDev)) != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (u32IntfType & kIntfHdmiBit) {
        Comm_VoHdmiConvertSync(g.u32IntfSync);
        usleep(kHdmiSettleUs);
    }
    VO_VIDEO_LAYER_ATTR_S stLayer = {};
    stLayer.stDispRect = {0, 0, g.u32Width, g.u32Height};
    stLayer.stImageSize = {g.u32ImgWidth, g.u32ImgHeight};
    stLayer.u32DispFrmRt = g.u32FrameRate;
    stLayer.enPixFormat = kPixFmt;
    if ((s32Ret = MK_MPI_VO_SetVideoLayerAttr(layer, &stLayer)) != 0 ||
        (s32Ret = MK_MPI_VO_EnableVideoLayer(layer)) != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (s32VoDev <= 2) {
        VO_CSC_S stCsc = {};
        if ((s32Ret = MK_MPI_VO_GetVideoLayerCSC(layer, &stCsc)) != 0) {
            APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        if (s32VoDev == 0) {
            if (In(Comm_GetBoardSubType(), {43, 46, 50, 53})) {
                SetCsc(&stCsc, {38, 60, 50, 55});
            } else {
                SetCsc(&stCsc, {47, 46, 60, 47});
            }
        }
        if ((s32Ret = MK_MPI_VO_SetVideoLayerCSC(layer, &stCsc)) != 0) {
            APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    if (s32VoDev == 0 && !Layer3Kept()) {
        VO_CHN_ATTR_S stChn = {};
        stChn.stRect = {0, 0, g.u32Width, g.u32Height};
        if ((s32Ret = MK_MPI_VO_SetChnAttr(kLayer3, 0, &stChn)) != 0 ||
            (s32Ret = MK_MPI_VO_EnableChn(kLayer3, 0)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetChnAttr failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        VO_WBC_SOURCE_S stSrc = {0, 0};
        if ((s32Ret = MK_MPI_VO_SetWbcSource(0, &stSrc)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetWbcSource failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        VO_WBC_ATTR_S stWbc = {{g.u32Width, g.u32Height}, kPixFmt, g.u32FrameRate};
        if ((s32Ret = MK_MPI_VO_SetWbcAttr(0, &stWbc)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetWbcAttr failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VO_SetWbcMode(0, 0)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetWbcMode failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VO_EnableWbc(0)) != 0) {
            APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        MPP_CHN_S src = {MK_ID_VOU, 0, 0};
        MPP_CHN_S dst = {MK_ID_VOU, kLayer3, 0};
        if ((s32Ret = MK_MPI_SYS_Bind(&src, &dst)) != 0) {
            APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    if (u32IntfType != 32) {
        VO_VGA_PARAM_S stVga = {};
        if ((s32Ret = MK_MPI_VO_GetVgaParam(s32VoDev, &stVga)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_GetVgaParam failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        SetCsc(&stVga.stCSC, {50, 50, 50, 50});
        if ((s32Ret = MK_MPI_VO_SetVgaParam(s32VoDev, &stVga)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_SetVgaParam failed s32Ret %x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    return 0;
}

uint32_t VideoColorGetRegValue(uint32_t u32Level, uint32_t u32Default) {
    if (u32Level > 100) {
        std::printf("VideoColorGetRegValue():input error %d %d %d %d\r\n", static_cast<int>(u32Level),
                    static_cast<int>(u32Default), 0, 100);
        return u32Default;
    }
    if (u32Level <= 50) return u32Default * u32Level / 50;
    return u32Default + (100 - u32Default) * (u32Level - 50) / 50;
}

int32_t Comm_VoPubTVColorConfig(int32_t s32Layer, const uint32_t* pu32Levels) {
    if (s32Layer != 0 || pu32Levels == nullptr) return 0;
    const uint32_t u32Board = Comm_GetBoardSubType();
    VO_CSC_S stCsc = {};
    MK_S32 s32Ret = MK_MPI_VO_GetGraphicLayerCSC(0, &stCsc);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_GetGraphicLayerCSC failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    const bool dim = In(u32Board, {43, 46, 50, 53});
    const uint32_t def[4] = {dim ? 38u : 47u, dim ? 60u : 52u, dim ? 50u : 52u, dim ? 55u : 43u};
    SetCsc(&stCsc, {VideoColorGetRegValue(pu32Levels[0], def[0]), VideoColorGetRegValue(pu32Levels[1], def[1]),
                    VideoColorGetRegValue(pu32Levels[2], def[2]), VideoColorGetRegValue(pu32Levels[3], def[3])});
    if ((s32Ret = MK_MPI_VO_SetGraphicLayerCSC(0, &stCsc)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_SetGraphicLayerCSC failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if (!In(u32Board, {48, 49, 55, 56, 57, 58})) return 0;
    VO_HDMI_PARAM_S stHdmi = {};
    if ((s32Ret = MK_MPI_VO_GetHdmiParam(0, &stHdmi)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_GetHdmiParam failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    SetCsc(&stHdmi.stCSC, {45, 55, 45, 42});
    if ((s32Ret = MK_MPI_VO_SetHdmiParam(0, &stHdmi)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_SetHdmiParam failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    if ((GraphicsGetDisplayGeometry().u32IntfSync & ~4u) == 26) return 0;
    VO_VGA_PARAM_S stVga = {};
    if ((s32Ret = MK_MPI_VO_GetVgaParam(0, &stVga)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_GetVgaParam failed s32Ret %x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    SetCsc(&stVga.stCSC, {50, 50, 50, 50});
    stVga.u32Gain = 15;
    if ((s32Ret = MK_MPI_VO_SetVgaParam(0, &stVga)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VO_SetVgaParam failed s32Ret %x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}
