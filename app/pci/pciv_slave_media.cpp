// Media channel operations of the command loop: processing groups, display channels and the cascade
// positions.
#include <algorithm>
#include <cstring>

#include "app/comm/comm_cfg.h"
#include "app/comm/app_log.h"
#include "app/pci/pciv_slave.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_slave.c";
constexpr VO_LAYER kCascadeLayer = 8;
constexpr VO_DEV kCascadeDev = 7;
constexpr MK_U32 kCascadePattern = 4;
constexpr MK_U32 kPixFmtYuv420 = 23;

// Code 8: the group's maximum size from the size code; unknown codes get the largest.
void GrpMaxSize(uint32_t u32Code, MK_U32* pW, MK_U32* pH) {
    switch (u32Code) {
        case 4:
            *pW = 720;
            *pH = 576;
            break;
        case 5:
            *pW = 960;
            *pH = 576;
            break;
        case 18:
            *pW = 1280;
            *pH = 720;
            break;
        default:
            *pW = 1920;
            *pH = 1088;
            break;
    }
}

int32_t SlaveStartVpss(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    const uint32_t* p = pMsg->au32Payload;
    VPSS_GRP grp = static_cast<VPSS_GRP>(p[0]);
    VPSS_GRP_ATTR_S stAttr = {};
    GrpMaxSize(p[1], &stAttr.u32MaxW, &stAttr.u32MaxH);
    stAttr.enPixFmt = kPixFmtYuv420;
    stAttr.bIeEn = 1;
    stAttr.bDciEn = 1;
    stAttr.bNrEn = 1;
    stAttr.bHistEn = 0;  // left unset by the master's plan: off
    stAttr.bEsEn = 0;
    stAttr.enDieMode = 1;
    MK_S32 s32Ret = MK_MPI_VPSS_CreateGrp(grp, &stAttr);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "VPSS create group error, value= 0x%x.\n", s32Ret);
        return -1;
    }
    s32Ret = MK_MPI_VPSS_StartGrp(grp);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "VPSS start group error, value= 0x%x.\n", s32Ret);
        return -1;
    }
    for (VPSS_CHN chn = 0; chn < 4; ++chn) {
        if (p[5 + chn] == 0) continue;
        s32Ret = MK_MPI_VPSS_EnableChn(grp, chn);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "VPSS enable chn error, value= 0x%x.\n", s32Ret);
            return -1;
        }
    }
    return 0;
}

int32_t CmdResetVpss(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    if (pMsg->au32Payload[1] != 0) return 0;
    return MK_MPI_VPSS_ResetGrp(static_cast<VPSS_GRP>(pMsg->au32Payload[0]));
}

int32_t SlaveVoChnAttrConfig(PCIV_MSG_S* pMsg, PcivCmdContext* pCtx) {
    pCtx->u32ReplyLen = sizeof(SLAVE_VO_CHN_ATTR_S);
    auto* pReq = reinterpret_cast<SLAVE_VO_CHN_ATTR_S*>(pMsg->au32Payload);
    static_assert(sizeof(pReq->au32Attr) == sizeof(VO_CHN_ATTR_S));
    VO_CHN_ATTR_S stAttr;
    std::memcpy(&stAttr, pReq->au32Attr, sizeof(stAttr));
    MK_S32 s32Ret = 0;
    if (pReq->u32Op == 0) {
        s32Ret = MK_MPI_VO_GetChnAttr(static_cast<VO_LAYER>(pReq->u32Layer),
                                      static_cast<VO_CHN>(pReq->u32Chn), &stAttr);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VO_GetChnAttr failed 0x%#x", s32Ret);
        } else {
            std::memcpy(pReq->au32Attr, &stAttr, sizeof(stAttr));
        }
    } else if (pReq->u32Op == 1) {
        s32Ret = MK_MPI_VO_SetChnAttr(static_cast<VO_LAYER>(pReq->u32Layer),
                                      static_cast<VO_CHN>(pReq->u32Chn), &stAttr);
        if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VO_SetChnAttr failed 0x%#x", s32Ret);
    }
    return s32Ret;
}

int32_t SlaveSetVpssGrpGrop(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    VPSS_CROP_INFO_S stCrop;
    std::memcpy(&stCrop, &pMsg->au32Payload[1], sizeof(stCrop));
    MK_S32 s32Ret = MK_MPI_VPSS_SetGrpCrop(static_cast<VPSS_GRP>(pMsg->au32Payload[0]), &stCrop);
    if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VPSS_SetGrpCrop failed 0x%#x", s32Ret);
    return s32Ret;
}

int32_t SlaverSetVoCmd(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    MK_S32 s32Ret;
    if (pMsg->au32Payload[0] == 1) {
        s32Ret = MK_MPI_VO_SetAttrBegin(kCascadeLayer);
        if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VO_SetAttrBegin failed %#x!\n", s32Ret);
    } else {
        s32Ret = MK_MPI_VO_SetAttrEnd(kCascadeLayer);
        if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VO_SetAttrEnd failed %#x!\n", s32Ret);
    }
    return s32Ret;
}

int32_t CmdVoChnOp(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    typedef MK_S32 (*ChnOp)(VO_LAYER, VO_CHN);
    static const ChnOp kOps[] = {MK_MPI_VO_ShowChn,   MK_MPI_VO_HideChn,   MK_MPI_VO_DisableChn,
                                 MK_MPI_VO_EnableChn, MK_MPI_VO_ResumeChn, MK_MPI_VO_PauseChn,
                                 MK_MPI_VO_RefreshChn};
    uint32_t u32Op = pMsg->au32Payload[2];
    if (u32Op >= sizeof(kOps) / sizeof(kOps[0])) return 0;
    return kOps[u32Op](static_cast<VO_LAYER>(pMsg->au32Payload[0]),
                       static_cast<VO_CHN>(pMsg->au32Payload[1]));
}

// On the cascade device a channel's position equals its number. The range comes from the master's
// command 96 unchecked: walk only the channels the display has, so a wild count cannot keep the
// command loop busy for billions of refused calls.
void CascadeChannels(uint32_t u32First, uint32_t u32Count, bool bBind) {
    uint64_t u64End = std::min<uint64_t>(static_cast<uint64_t>(u32First) + u32Count, VO_MAX_CHN_NUM);
    for (uint64_t u64Chn = u32First; u64Chn < u64End; ++u64Chn) {
        MK_U32 chn = static_cast<MK_U32>(u64Chn);
        if (bBind) {
            MK_S32 s32Ret = MK_MPI_VO_CascadePosBindChn(chn, kCascadeDev, static_cast<VO_CHN>(chn));
            if (s32Ret != 0) APP_ERR_IN(kSrc, "SlaverPlayBackMode", "MK_MPI_VO_CascadePosBindChn failed! 0x%#x\n", s32Ret);
        } else {
            MK_S32 s32Ret = MK_MPI_VO_CascadePosUnBindChn(chn, kCascadeDev, static_cast<VO_CHN>(chn));
            if (s32Ret != 0) APP_ERR_IN(kSrc, "SlaverPlayBackMode", "MK_MPI_VO_CascadePosUnBindChn failed! 0x%#x\n", s32Ret);
        }
    }
}

int32_t SlaverPlayBackMode(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    const SlaveSysCfg& c = SlaveGetSysCfg();
    switch (pMsg->au32Payload[0]) {
        case 1:
            CascadeChannels(c.u32FirstDecChn, c.u32DecNum, false);
            CascadeChannels(c.u32ChnStart, c.u32ChnNum, true);
            break;
        case 0:
            CascadeChannels(c.u32ChnStart, c.u32ChnNum, false);
            CascadeChannels(c.u32FirstDecChn, c.u32DecNum, true);
            break;
        default:
            break;
    }
    return 0;
}

int32_t SlaverSetVoSplitMode(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    APP_DBG(kSrc, "pSplitMode->dwMode %d", static_cast<int>(pMsg->au32Payload[0]));
    MK_S32 s32Ret = MK_MPI_VO_SetCascadePattern(kCascadeDev, kCascadePattern);
    if (s32Ret != 0) std::printf("MK_MPI_VO_SetCascadePattern failed!\n");
    return s32Ret;
}

}  // namespace

void SlaveRegisterMediaCmdHandlers() {
    PCIV_RegisterCmdHandler(8, SlaveStartVpss);
    PCIV_RegisterCmdHandler(45, CmdResetVpss);
    PCIV_RegisterCmdHandler(46, SlaveVoChnAttrConfig);
    PCIV_RegisterCmdHandler(47, SlaveSetVpssGrpGrop);
    PCIV_RegisterCmdHandler(76, SlaverSetVoCmd);
    PCIV_RegisterCmdHandler(77, CmdVoChnOp);
    SlaveRegisterVdecCmdHandlers();
    PCIV_RegisterCmdHandler(81, SlaverPlayBackMode);
    PCIV_RegisterCmdHandler(83, SlaverSetVoSplitMode);
}
