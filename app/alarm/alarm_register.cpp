#include "app/alarm/alarm_register.h"

#include <cstring>

#include "app/alarm/alarm_blind.h"
#include "app/alarm/alarm_motion.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/pci/pciv_cmd.h"

namespace {

int32_t P(const PCIV_MSG_S* pMsg, int i) {
    return static_cast<int32_t>(pMsg->au32Payload[i]);
}

int32_t CmdMotionSet(PCIV_MSG_S* m, PcivCmdContext*) {
    MOTION_PARAM_S param;
    std::memcpy(&param, &m->au32Payload[1], sizeof(param));
    return MotionDetectSetParameter(P(m, 0), &param);
}
int32_t CmdMotionCreate(PCIV_MSG_S*, PcivCmdContext*) {
    return MotionDetectCreate();
}
int32_t CmdBlindSet(PCIV_MSG_S* m, PcivCmdContext*) {
    BLIND_PARAM_S param;
    std::memcpy(&param, &m->au32Payload[1], sizeof(param));
    return BlindDetectSetParameter(P(m, 0), &param);
}
int32_t CmdBlindCreate(PCIV_MSG_S*, PcivCmdContext*) {
    return BlindDetectCreate();
}
int32_t CmdLossPic(PCIV_MSG_S* m, PcivCmdContext*) {
    return LossSetUserPic(P(m, 0), P(m, 1));
}

int32_t InputResSize(int32_t s32Chn, SIZE_S* pstSize) {
    Comm_GetInputResSize(pstSize, s32Chn);
    return pstSize->u32Width == 0xFFFFFFFFu ? -1 : 0;
}

}  // namespace

namespace {

void ForgetDetection(CommForgotten* pOut) {
    pOut->u32Detections += MotionForget() + BlindForget();
}

}  // namespace

void AlarmRegisterModule() {
    PCIV_RegisterCmdHandler(88, CmdMotionSet);
    PCIV_RegisterCmdHandler(89, CmdMotionCreate);
    PCIV_RegisterCmdHandler(90, CmdBlindSet);
    PCIV_RegisterCmdHandler(91, CmdBlindCreate);
    PCIV_RegisterCmdHandler(95, CmdLossPic);
    CommSetLossSetUserPicHook(LossSetUserPic);
    CommSetReleaseLossPicHook(LossReleaseUserPic);
    CommSetGetInputResSizeHook(InputResSize);
    CommSetForgetDetectionHook(ForgetDetection);
}
