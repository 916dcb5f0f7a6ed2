// The decode module's small commands and the words other modules write into its blocks.
#include <algorithm>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec.h"
#include "app/dec/avdec_state.h"
#include "app/dec/play_ctrl.h"
#include "app/dec/vdec_chn.h"
#include "app/dec/vdec_snap.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../dec/AVdec.c";

// Display defaults: 704, standard height, 704, standard height, 3, (unused), frame rate, NTSC flag.
constexpr uint32_t kDefaultsThird = 4;  // the fifth word

// Command 63: a decoder channel made directly from the master's attributes.
int32_t CmdVdecCreateChn(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    if (pMsg->stMsgHead.u32MsgLen < 4 + sizeof(VDEC_CHN_ATTR_S)) {
        APP_ERR(kSrc, "decoder attributes of %u bytes, %zu expected\n", pMsg->stMsgHead.u32MsgLen,
                4 + sizeof(VDEC_CHN_ATTR_S));
        return -1;
    }
    VDEC_CHN_ATTR_S stAttr;
    std::memcpy(&stAttr, &pMsg->au32Payload[1], sizeof(stAttr));
    MK_S32 s32Ret = MK_MPI_VDEC_CreateChn(static_cast<VDEC_CHN>(pMsg->au32Payload[0]), &stAttr);
    if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VDEC_CreateChn chn:%d failed %#X\n", pMsg->au32Payload[0], s32Ret);
    return s32Ret;
}

}  // namespace

int32_t AVdecSetPlayParams(const uint8_t* p) {
    AVdecState* pTab = AVdecGetChnTable();
    static const uint32_t kWords[] = {0, 1, 2, 3, 5, 6};
    for (uint32_t i = 0; i < 6; ++i) {
        uint32_t v;
        std::memcpy(&v, p + 4 * kWords[i], 4);
        pTab->SetHead(i, v);
    }
    pTab->CopyIn(24, p + 28, 1988 - 24);
    uint32_t u32Rec;
    std::memcpy(&u32Rec, p + 16, 4);
    if (u32Rec >= AVDEC_CHN_NUM) return -1;
    pTab->CopyIn(AVdecState::RecOff(u32Rec, 0), p + 1992, AVDEC_REC_SIZE);
    return 0;
}

void AVdecSetHeadWord(uint32_t u32Index, uint32_t u32Value) {
    if (u32Index < AVDEC_HEAD_WORDS) AVdecGetState()->SetHead(u32Index, u32Value);
}

void AVdecSetDisplayDefaults(const GraphicsDisplayDefaults* d) {
    const uint32_t au32Words[8] = {d->u32Width, d->u32Height, d->u32ImgWidth, d->u32ImgHeight,
                                   d->u32Three, 0, d->u32FrameRate, d->u32Ntsc};
    AVdecState* pState = AVdecGetState();
    for (uint32_t i = 0; i < 8; ++i) {
        if (i != 5) pState->SetWord(AVDEC_DEFAULTS_OFF + 4 * i, au32Words[i]);
    }
}

int AVdecSetDefaults(uint32_t) {
    AVdecState* pState = AVdecGetState();
    if (pState->Head(AVDEC_HEAD_DEFAULTS) != 0) return 0;
    pState->SetHead(AVDEC_HEAD_DEFAULTS, 1);
    uint32_t u32Total = std::min(SlaveGetSysCfg().u32DigitalPlaySum, AVDEC_CHN_NUM);
    for (uint32_t c = 0; c < u32Total; ++c) pState->SetRec(c, REC_SHOWN, 1);
    pState->SetHead(AVDEC_HEAD_HIDE_DEV, 8);
    pState->SetHead(AVDEC_HEAD_SCALE_W, pState->Head(AVDEC_HEAD_IMG_W));
    pState->SetHead(AVDEC_HEAD_SCALE_H, pState->Head(AVDEC_HEAD_IMG_H));
    pState->SetWord(AVDEC_DEFAULTS_OFF + 4 * kDefaultsThird, 3);
    pState->SetHead(AVDEC_HEAD_DISP_ON, 1);
    return 0;
}

void AVdecRegister() {
    PCIV_RegisterCmdHandler(63, CmdVdecCreateChn);
    PlayRegisterCmdHandlers();
    VdecChnRegisterCmdHandlers();
    AVdecSnapRegister();
    SlaveSetPlayParamsHook(AVdecSetPlayParams);
    GraphicsSetDecHeadWordHook(AVdecSetHeadWord);
    GraphicsSetDecDisplayDefaultsHook(AVdecSetDisplayDefaults);
    GraphicsSetAVdecSetDefaultsHook(AVdecSetDefaults);
}
