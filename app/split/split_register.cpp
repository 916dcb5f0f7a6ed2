#include "app/comm/comm_setup_hooks.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "app/split/split.h"
#include "app/split/split_cmd.h"

namespace {

int32_t CmdSplitStart(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return SplitStart(pMsg->au32Payload[1]);
}

}  // namespace

void SplitRegisterModule() {
    SlaveSetHwSplitDevInitHook(HwSplitDevInit);
    SlaveSetSplitCreateHook(SplitCreate);
    CommSetSplitGetChnWiringHook(SplitGetChnWiring);
    CommSetSplitSetChnPicSizeHook(SplitSetChnPicSize);
    CommSetSplitGetChnViHook(SplitGetChnVi);
    CommSetSplitGetVstdHook(SplitGetVstd);
    CommSetSplitGetSinglePreviewHook(SplitGetSinglePreview);
    PCIV_RegisterCmdHandler(26, CmdSplitStart);
    SplitRegisterCmds();
}
