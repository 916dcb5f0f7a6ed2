// The capture side of the frame flow.
//  - Drawing one 704x576 test picture.
//  - 16 capture channels of 704x576 at 25 fps handing their frames to a bound receiver, stepped on
//    the stopped media clock: the producer thread's CPU time per frame, and the cores that makes at
//    the live rate (16 x 25 frames a second).
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vi/mpi_vi.h"

namespace {

namespace drivers = varnelle::drivers;

constexpr int kW = 704, kH = 576;

void BM_DrawPattern(benchmark::State& state) {
    std::vector<uint8_t> pic(drivers::Nv12Size(kW, kH));
    const size_t stride = drivers::Nv12Stride(kW);
    uint64_t frame = 0;
    for (auto _ : state) {
        drivers::DrawTestPattern({pic.data(), stride, pic.data() + stride * kH, stride, kW, kH}, 3, frame++, 45296);
        benchmark::DoNotOptimize(pic.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DrawPattern);

void BM_Capture16Channels(benchmark::State& state) {
    varnelle::host::UsePrivateBus("flowbench");
    drivers::InstallViDriver();
    drivers::ResetMediaState();
    auto vi = drivers::ViDriver::Get();
    const int pool = drivers::VbPools::Instance().CreatePool(drivers::Nv12Size(kW, kH), 64, "");
    drivers::testing::ManualClock clock;
    drivers::testing::RecordingSink sink(50, 1);
    constexpr int kChannels = 16;
    for (int chn = 0; chn < kChannels; ++chn) {
        VI_CHN_ATTR_S attr{};
        attr.stCapRect = {0, 0, kW, kH};
        attr.u32DestWidth = kW;
        attr.u32DestHeight = kH;
        attr.s32SrcFrameRate = attr.s32DstFrameRate = 25;
        MK_MPI_VI_SetChnAttr(chn, &attr);
        drivers::BindGraph::Instance().Bind({MK_ID_VIU, 0, chn}, {50, 0, chn});
        MK_MPI_VI_EnableChn(chn);
    }
    clock.Settle();
    const uint64_t cpu0 = vi->ProducerCpuUs();
    uint64_t frames = 0;
    for (auto _ : state) {
        clock.AdvanceMs(40);
        frames += kChannels;
    }
    const double usPerFrame = static_cast<double>(vi->ProducerCpuUs() - cpu0) / static_cast<double>(frames);
    state.counters["us_per_frame"] = usPerFrame;
    state.counters["cores_at_25fps"] = usPerFrame * kChannels * 25 / 1e6;
    for (int chn = 0; chn < kChannels; ++chn) drivers::BindGraph::Instance().Unbind({50, 0, chn});
    drivers::ResetMediaState();
    drivers::VbPools::Instance().DestroyPool(pool);
}
BENCHMARK(BM_Capture16Channels)->Iterations(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
