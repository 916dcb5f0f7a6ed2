#include "app/comm/comm_register.h"

#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_system.h"
#include "app/comm/comm_vi.h"
#include "app/comm/comm_vo.h"
#include "app/comm/comm_vpss.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"

namespace {

int32_t P(const PCIV_MSG_S* pMsg, int i) {
    return static_cast<int32_t>(pMsg->au32Payload[i]);
}

int32_t CmdVoBindVpss(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_VoBindVpss(P(m, 0), P(m, 1), P(m, 2), P(m, 3));
}
int32_t CmdVoUnBindVpss(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_VoUnBindVpss(P(m, 0), P(m, 1), P(m, 2), P(m, 3));
}
int32_t CmdVdecUnBindVpss(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_VdecUnBindVpss(P(m, 0), P(m, 1));
}
int32_t CmdVdecBindVpss(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_VdecBindVpss(P(m, 0), P(m, 1));
}
int32_t CmdSetVpssParam(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_SetVpssParam(P(m, 0), reinterpret_cast<const uint8_t*>(&m->au32Payload[1]));
}
int32_t CmdVpssConfig(PCIV_MSG_S* m, PcivCmdContext*) {
    SIZE_S size = {m->au32Payload[1], m->au32Payload[2]};
    return Comm_VpssConfig(P(m, 0), &size);
}
int32_t CmdVpssGropConfig(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_Vpss_Grop_Config(P(m, 0));
}
int32_t CmdVdecManageVb(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_Vdec_Manage_Vb(P(m, 0), P(m, 1));
}
int32_t CmdAdaptViChn(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_AdaptViChnConfigSlaver(P(m, 0), P(m, 1), P(m, 2));
}
int32_t CmdViPubConfig(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_ViPubConfig(P(m, 0), P(m, 1));
}
int32_t CmdViChnConfig(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_ViChnConfig(P(m, 0), static_cast<int32_t>(m->au32Payload[1] & 0xFFFF), P(m, 2),
                            static_cast<int32_t>(m->au32Payload[3] & 0xFFFF));
}
int32_t CmdViBindVpss(PCIV_MSG_S* m, PcivCmdContext*) {
    return Comm_ViBindVpss(P(m, 0), P(m, 1));
}

}  // namespace

void CommRegisterModule() {
    PCIV_RegisterCmdHandler(41, CmdVoBindVpss);
    PCIV_RegisterCmdHandler(42, CmdVoUnBindVpss);
    PCIV_RegisterCmdHandler(43, CmdVdecUnBindVpss);
    PCIV_RegisterCmdHandler(44, CmdVdecBindVpss);
    PCIV_RegisterCmdHandler(48, CmdSetVpssParam);
    PCIV_RegisterCmdHandler(62, CmdVpssConfig);
    PCIV_RegisterCmdHandler(84, CmdVpssGropConfig);
    PCIV_RegisterCmdHandler(85, CmdVdecManageVb);
    PCIV_RegisterCmdHandler(87, CmdAdaptViChn);
    PCIV_RegisterCmdHandler(92, CmdViPubConfig);
    PCIV_RegisterCmdHandler(93, CmdViChnConfig);
    PCIV_RegisterCmdHandler(94, CmdViBindVpss);
    SlaveSetHvrCapHook(Comm_SetHvrCap);
    SlaveSetSampleSysInitHook(SampleSysInit);
    SlaveSetInitVpssChnMapHook(Comm_InitVpssChnMap);
    GraphicsSetVoPubConfigCascadeHook(Comm_VoPubConfig_Cascade);
    GraphicsSetVpssParamHooks(Comm_SetVpssParam, Comm_GetVpssDefParam);
}
