// Command 96 through the command table with the drivers in process, on the largest plan (capture size
// class 21 on product 660: about 765 MB of pools), against a memset of as many bytes as the plan
// creates, in the same run. The pools are carved from the simulated RAM and never touched whole, so
// the set-up should cost a small fraction of writing the memory once. Counter "ratio" = set-up /
// memset; the target is at most 0.05.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>

#include "app/comm/comm_register.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_sysplan.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/host/test_bus.h"

namespace {

namespace drv = varnelle::drivers;

SLAVE_SYS_PARAM_S LargestPlan() {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32DevType = 660;
    p.u32ChnStart = 0;
    p.u32ChnEnd = 16;
    p.u32DecNum = 8;
    p.u32FirstDecChn = 16;
    p.stHvrCap.as16Analog[HVR_CAP_4M] = 32;
    p.stHvrCap.u32MaxPlayBackWay = 16;
    return p;
}

int32_t Nothing() { return 0; }
void NothingHeld() {}

void Setup() {
    static bool done = [] {
        varnelle::host::UsePrivateBus("bench-setup");
        drv::InstallAll();
        PCIV_ClearCmdHandlers();
        SlaveRegisterCmdHandlers();
        CommRegisterModule();
        // The modules built on the set-up are not part of it.
        SlaveSetHwSplitDevInitHook(Nothing);
        SlaveSetSplitCreateHook(Nothing);
        CommSetReleaseLossPicHook(NothingHeld);
        return true;
    }();
    (void)done;
}

// The bytes the plan's pools span, as the buffer-pool driver laid them out.
uint64_t PoolBytes() {
    uint64_t total = 0;
    for (int id : drv::VbPools::Instance().PoolIds()) {
        if (auto p = drv::VbPools::Instance().Pool(id)) total += p->size;
    }
    return total;
}

void BM_SetUpVersusMemset(benchmark::State& state) {
    Setup();
    PCIV_MSG_S msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.stMsgHead.u32MsgType = 96;
    msg.stMsgHead.u32MsgLen = sizeof(SLAVE_SYS_PARAM_S);
    SLAVE_SYS_PARAM_S p = LargestPlan();
    std::memcpy(msg.au32Payload, &p, sizeof(p));
    PCIV_RunCmd(&msg);
    const uint64_t bytes = PoolBytes();
    std::unique_ptr<uint8_t[]> mem(new uint8_t[bytes]);
    double setupNs = 0, memsetNs = 0;
    int round = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        PCIV_RunCmd(&msg);
        auto t1 = std::chrono::steady_clock::now();
        std::memset(mem.get(), ++round, bytes);
        benchmark::DoNotOptimize(mem.get());
        benchmark::ClobberMemory();
        auto t2 = std::chrono::steady_clock::now();
        setupNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        memsetNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    state.counters["plan_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["setup_ms"] = setupNs / 1e6 / static_cast<double>(state.iterations());
    state.counters["memset_ms"] = memsetNs / 1e6 / static_cast<double>(state.iterations());
    state.counters["ratio"] = memsetNs > 0 ? setupNs / memsetNs : 0;
}
BENCHMARK(BM_SetUpVersusMemset)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
