// Decoder channel operations of the command loop.
#include "app/pci/pciv_slave.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

int32_t CmdVdecChnOp(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    typedef MK_S32 (*ChnOp)(VDEC_CHN);
    static const ChnOp kOps[] = {MK_MPI_VDEC_StopRecvStream, MK_MPI_VDEC_StartRecvStream,
                                 MK_MPI_VDEC_ResetChn};
    uint32_t u32Op = pMsg->au32Payload[1];
    if (u32Op >= sizeof(kOps) / sizeof(kOps[0])) return 0;
    return kOps[u32Op](static_cast<VDEC_CHN>(pMsg->au32Payload[0]));
}

}  // namespace

void SlaveRegisterVdecCmdHandlers() {
    PCIV_RegisterCmdHandler(78, CmdVdecChnOp);
}
