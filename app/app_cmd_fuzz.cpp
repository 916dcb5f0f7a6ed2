// Every registered command of the whole program through the command table, on a private bus with the
// media drivers installed and the master's set-up done first (port map, command 96 for a 4-input
// product with JPEG, standard and resolution), so the capture, split, decode, detection and set-up
// handlers meet hostile payloads on a running media system. Input: byte 0 picks the command among the
// registered ones (command 96 is the set-up and is not picked), the rest is its payload (at most 4096
// bytes). Whatever the input, the reply rule holds and nothing crashes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/app_modules.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_fuzz_slave.h"
#include "app/pci/pciv_host.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_test_master.h"

namespace {

std::vector<uint32_t>& Codes() {
    static auto* v = new std::vector<uint32_t>;
    return *v;
}

bool Run(uint32_t code, const void* pPayload, uint32_t len) {
    static PCIV_MSG_S msg;
    return varnelle::testing::RunFuzzCmd(&msg, code, pPayload, len);
}

void SetUp() {
    const std::vector<uint32_t> ports = varnelle::testing::MasterPortPlan();
    Run(86, ports.data(), static_cast<uint32_t>(4 * ports.size()));
    SLAVE_SYS_PARAM_S p = varnelle::testing::FuzzSysParams();
    p.stSlaveCfg.u8JpegEnable = 1;
    Run(96, &p, sizeof(p));
    const uint32_t vstd[2] = {0, 0};
    Run(24, vstd, sizeof(vstd));
    const uint32_t size[2] = {1280, 720};
    Run(25, size, sizeof(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::testing::StartFuzzSlave("fuzzapp");
    AppRegisterModules();
    for (uint32_t code = 0; code < PCIV_CMD_COUNT; ++code) {
        if (code != 96 && PCIV_CmdHasHandler(code)) Codes().push_back(code);
    }
    if (Codes().empty()) std::abort();
    SetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t code = Codes()[data[0] % Codes().size()];
    const size_t len = size - 1 > PCIV_MSG_MAXLEN ? PCIV_MSG_MAXLEN : size - 1;
    Run(code, data + 1, static_cast<uint32_t>(len));
    return 0;
}
