// One message from the master through the command table: every handler, over the simulated drivers,
// on a private bus. Input: the command code (4 bytes, little-endian), then the payload (at most 4096
// bytes). Whatever the input, the reply rule holds and nothing crashes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_fuzz_slave.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_test_master.h"
#include "sdk/vb/mpi_vb.h"

namespace {

void* EndAtOnce(void*) {
    return nullptr;
}

int32_t Step() {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::testing::StartFuzzSlave("fuzzcmd");
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 16;
    conf.astCommPool[0].u32BlkSize = 4096;
    conf.astCommPool[0].u32BlkCnt = 4;
    if (MK_MPI_VB_SetConf(&conf) != 0 || MK_MPI_VB_Init() != 0) std::abort();
    SlaveRegisterCmdHandlers();
    SlaveRegisterMediaCmdHandlers();
    SlaveSetHvrCapHook([](const HVR_CAP_S*) -> int32_t { return 0; });
    SlaveSetSampleSysInitHook(Step);
    SlaveSetInitVpssChnMapHook(Step);
    SlaveSetHwSplitDevInitHook(Step);
    SlaveSetSplitCreateHook(Step);
    SlaveSetVdecStreamThread(EndAtOnce);
    SlaveSetOsdBufferThread(EndAtOnce);
    SlaveSetPlayParamsHook([](const uint8_t*) -> int32_t { return 0; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static PCIV_MSG_S msg;
    std::memset(&msg, 0, sizeof(msg));
    uint32_t code;
    std::memcpy(&code, data, 4);
    size_t len = size - 4 > PCIV_MSG_MAXLEN ? PCIV_MSG_MAXLEN : size - 4;
    std::memcpy(msg.au32Payload, data + 4, len);
    msg.stMsgHead.u32Target = 1;
    msg.stMsgHead.u32MsgType = code;
    msg.stMsgHead.u32MsgLen = static_cast<uint32_t>(len);
    // The reply rule, against the hand-written list of answered codes (code 59 replays a kept 57 or
    // the zero message: both answered).
    varnelle::testing::RunCmdKeepingReplyRule(&msg, code > 96 || varnelle::testing::CodeIsAnswered(code));
    return 0;
}
