// The port map (command 86) on a private bus: each word is taken or refused on its own. Input: the 24
// words of the map (missing bytes are 0). The expected outcome is decided here from the rule written
// out again: a word is taken when it is a port in 101 to 227 that no earlier taken word of the map
// names; a refused role keeps its earlier port unless a taken word names it (then it has none).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_slave_thread.h"
#include "platform/host/test_bus.h"
#include "platform/mcc/mcc_driver.h"

namespace {

// Which words the map takes.
void Taken(const uint32_t* w, bool* taken) {
    for (int i = 0; i < 24; ++i) {
        taken[i] = w[i] >= 101 && w[i] <= 227;
        for (int j = 0; j < i && taken[i]; ++j) {
            if (taken[j] && w[j] == w[i]) taken[i] = false;
        }
    }
}

// What the map sets: the slot ports and the three listener ports.
void State(uint32_t* out) {
    out[0] = PcivGetVencTrans()->u32NoticePort;
    out[1] = PcivGetVencTrans()->u32AckPort;
    out[2] = PcivGetJpegTrans()->u32NoticePort;
    out[3] = PcivGetJpegTrans()->u32AckPort;
    for (int i = 0; i < 8; ++i) {
        out[4 + i] = PcivGetChnTrans(i)->u32NoticePort;
        out[12 + i] = PcivGetChnTrans(i)->u32AckPort;
    }
    out[20] = SlaveGetTimePort();
    out[21] = SlaveGetHeartbeatPort();
    out[22] = PCIV_GetTitlePort();
    out[23] = PcivGetOsdTrans()->u32AckPort;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::host::UsePrivateBus("fuzzmap");
    setenv("VARNELLE_CHIP", "1", 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    varnelle::mcc::InstallMccDriver();
    SlaveRegisterCmdHandlers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PCIV_MSG_S msg;
    std::memset(&msg, 0, sizeof(msg));
    std::memcpy(msg.au32Payload, data, size < 96 ? size : 96);
    msg.stMsgHead.u32MsgType = 86;
    msg.stMsgHead.u32MsgLen = 96;
    uint32_t before[24], after[24], words[24];
    std::memcpy(words, msg.au32Payload, 96);
    State(before);
    if (PCIV_RunCmd(&msg)) __builtin_trap();  // never answered
    State(after);
    bool taken[24];
    Taken(words, taken);
    uint32_t want[24];
    for (int i = 0; i < 24; ++i) {
        want[i] = taken[i] ? words[i] : before[i];
        for (int j = 0; j < 24 && !taken[i]; ++j) {
            if (taken[j] && words[j] == before[i]) want[i] = 0;
        }
    }
    if (std::memcmp(after, want, sizeof(after)) != 0) __builtin_trap();
    for (int i = 0; i < 24; ++i) {
        if (taken[i] && PCIV_PortFd(0, static_cast<int>(words[i])) < 0) __builtin_trap();
    }
    return 0;
}
