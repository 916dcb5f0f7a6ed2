// Command 27 that rebuilds a 16-window layout every time (two window sets in turn), as a round trip
// from the master simulator to the program, against command 26 (answered at once, no SDK call),
// interleaved in the same run so both see the same machine. Counter "ratio" = 27 / 26; the target is
// at most 2.
#include <cstring>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "app/pci/pciv_host.h"
#include "platform/host/clock.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

std::string g_bus;
std::ostringstream g_log;

// Layout record of command 27: mode 5 (16 windows), page 0, then one window per channel.
void Layout(uint8_t* p, uint16_t shift) {
    std::memset(p, 0, 280);
    const uint32_t mode = 5;
    std::memcpy(p, &mode, 4);
    for (int k = 0; k < 16; ++k) {
        const uint16_t r[4] = {static_cast<uint16_t>((k % 4) * 480 + shift), static_cast<uint16_t>((k / 4) * 270),
                               static_cast<uint16_t>((k % 4) * 480 + 480), static_cast<uint16_t>((k / 4) * 270 + 270)};
        std::memcpy(p + 24 + 8 * k, r, sizeof(r));
    }
}

void BM_LayoutRebuildVersusAnsweredCommand(benchmark::State& state) {
    varnelle::master::SimOptions opt;
    opt.log = &g_log;
    opt.printBeats = false;
    opt.replyTimeoutMs = 5000;
    varnelle::master::MasterSim sim(opt);
    varnelle::testing::SlaveProcess slave;
    if (sim.Open() != 0 || !slave.Start(VARNELLE_PROGRAM, g_bus, g_bus + "/slave.log") ||
        sim.ConnectSlave(10000) != 0) {
        state.SkipWithError("the slave did not come up");
        return;
    }
    SLAVE_SYS_PARAM_S& p = PcivHostGetState()->stSysParam;
    p.u32ChnEnd = 16;
    p.u32ChnSetting = 16;
    p.u32FirstDecChn = 16;
    p.stHvrCap.as16Analog[HVR_CAP_1080P] = 16;
    p.stHvrCap.u32MaxPlayBackWay = 16;
    const uint32_t start[2] = {0, 0};
    if (sim.SendSetup(0, 1920, 1080) != 0 || sim.Command(26, start, sizeof(start)) != 0) {
        state.SkipWithError("the set-up failed");
        return;
    }
    uint8_t a[280], b[280];
    Layout(a, 0);
    Layout(b, 2);
    int failures = 0;
    uint64_t layoutUs = 0, plainUs = 0;
    int64_t n = 0;
    for (auto _ : state) {
        uint64_t t0 = varnelle::host::MonotonicUs();
        failures += sim.Command(27, (n & 1) ? b : a, 280) != 0;
        uint64_t t1 = varnelle::host::MonotonicUs();
        failures += sim.Command(26, start, sizeof(start)) != 0;
        uint64_t t2 = varnelle::host::MonotonicUs();
        layoutUs += t1 - t0;
        plainUs += t2 - t1;
        ++n;
    }
    state.counters["failures"] = failures;
    state.counters["cmd27_us"] = static_cast<double>(layoutUs) / static_cast<double>(n);
    state.counters["cmd26_us"] = static_cast<double>(plainUs) / static_cast<double>(n);
    state.counters["ratio"] = plainUs > 0 ? static_cast<double>(layoutUs) / static_cast<double>(plainUs) : 0;
    sim.Stop();
    slave.Kill();
}
BENCHMARK(BM_LayoutRebuildVersusAnsweredCommand)->UseRealTime()->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
    g_bus = varnelle::testing::MakePrivateBus("bench-split");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    varnelle::testing::RemoveBus(g_bus);
    return 0;
}
