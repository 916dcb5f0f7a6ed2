// What the command fuzz targets share: the slave they run as, and the reply rule every command keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_test_master.h"
#include "platform/drivers/all/install.h"
#include "platform/host/test_bus.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"

namespace varnelle::testing {

// Chip 1 on a private bus named by `tag`, with the master's RAM, every simulated driver and the
// message channel. The handlers' lines go nowhere: over many inputs they would fill the disk.
inline void StartFuzzSlave(const char* tag) {
    host::UsePrivateBus(tag);
    setenv("VARNELLE_CHIP", "1", 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    static auto* masterRam = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
    (void)masterRam;
    drivers::InstallAll();
    mcc::InstallMccDriver();
}

// Runs `msg` through the command table; traps unless it was answered as `wantAnswered` says, and an
// answer is a reply (type 22, to chip 0) of 0, 36 or 80 bytes. Whether it was answered.
inline bool RunCmdKeepingReplyRule(PCIV_MSG_S* msg, bool wantAnswered) {
    const bool answered = PCIV_RunCmd(msg);
    if (answered != wantAnswered) __builtin_trap();
    if (answered) {
        const uint32_t replyLen = msg->stMsgHead.u32MsgLen;
        if (msg->stMsgHead.u32MsgType != PCIV_MSGTYPE_CMDECHO || msg->stMsgHead.u32Target != 0) __builtin_trap();
        if (replyLen != 0 && replyLen != 36 && replyLen != 80) __builtin_trap();
    }
    return answered;
}

// Runs command `code` with `len` bytes of payload from the master (chip 0) through the command table,
// keeping the reply rule; `msg` holds the reply after. Whether it was answered.
inline bool RunFuzzCmd(PCIV_MSG_S* msg, uint32_t code, const void* pPayload, uint32_t len) {
    std::memset(msg, 0, sizeof(*msg));
    if (len != 0) std::memcpy(msg->au32Payload, pPayload, len);  // an empty input may come as null
    msg->stMsgHead.u32Target = 1;
    msg->stMsgHead.u32MsgType = code;
    msg->stMsgHead.u32MsgLen = len;
    return RunCmdKeepingReplyRule(msg, CodeIsAnswered(code));
}

// Command 96 of a 4-input 1080P product 656 with two decoder channels from channel 4.
inline SLAVE_SYS_PARAM_S FuzzSysParams() {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32SysType = 656;
    p.u32DevType = 656;
    p.u32ChnEnd = 4;
    p.u32ChnSetting = 4;
    p.u32DecNum = 2;
    p.u32FirstDecChn = 4;
    p.u32PlayDecNum = 2;
    p.u32PicSize = 3;
    p.u32BoardSubType = 47;
    p.stHvrCap.as16Analog[HVR_CAP_1080P] = 4;
    p.stHvrCap.u32MaxPlayBackWay = 2;
    return p;
}

}  // namespace varnelle::testing
