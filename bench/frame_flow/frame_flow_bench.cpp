// The frame flow.
//  - Drawing one 704x576 test picture.
//  - 16 capture channels of 704x576 at 25 fps handing their frames to a bound receiver, stepped on
//    the stopped media clock: the producer thread's CPU time per frame, and the cores that makes at
//    the live rate (16 x 25 frames a second).
//  - 16 inputs of 704x576 at 25 fps through processing groups to H.264 encoder channels, live, as the
//    program wires them, against the encoder alone fed the same pictures at the same rate: the cores
//    the whole process uses in each (streams fetched as the program does), and their ratio (the flow
//    should add at most a quarter to the encoder's cost).
#include <sys/select.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "platform/host/clock.h"
#include "platform/host/test_bus.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drivers = varnelle::drivers;

constexpr int kW = 704, kH = 576;

// A capture channel of kW x kH at 25 fps, enabled.
void StartCapture(VI_CHN chn) {
    VI_CHN_ATTR_S attr{};
    attr.stCapRect = {0, 0, kW, kH};
    attr.u32DestWidth = kW;
    attr.u32DestHeight = kH;
    attr.s32SrcFrameRate = attr.s32DstFrameRate = 25;
    MK_MPI_VI_SetChnAttr(chn, &attr);
    MK_MPI_VI_EnableChn(chn);
}

void BM_DrawPattern(benchmark::State& state) {
    std::vector<uint8_t> pic(drivers::FrameBytes(kW, kH));
    const size_t stride = drivers::FrameStride(kW);
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
    const int pool = drivers::VbPools::Instance().CreatePool(drivers::FrameBytes(kW, kH), 64, "");
    drivers::testing::ManualClock clock;
    drivers::testing::RecordingSink sink(50, 1);
    constexpr int kChannels = 16;
    for (int chn = 0; chn < kChannels; ++chn) {
        drivers::BindGraph::Instance().Bind({MK_ID_VIU, 0, chn}, {50, 0, chn});
        StartCapture(chn);
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

constexpr int kFlowChannels = 16;

uint64_t ProcessCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// Fetches every waiting frame of the channels as the program's fetch thread does (select, query, get,
// copy the payload out, release) until `stop`; counts the frames.
void FetchLoop(const std::atomic<bool>& stop, std::atomic<uint64_t>& frames) {
    std::vector<VENC_PACK_S> packs(16);
    std::vector<uint8_t> out(4u << 20);
    while (!stop) {
        fd_set set;
        FD_ZERO(&set);
        int maxFd = -1;
        for (VENC_CHN chn = 0; chn < kFlowChannels; ++chn) {
            int fd = MK_MPI_VENC_GetFd(chn);
            FD_SET(fd, &set);
            maxFd = std::max(maxFd, fd);
        }
        timeval tv{0, 100000};
        if (select(maxFd + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
        for (VENC_CHN chn = 0; chn < kFlowChannels; ++chn) {
            if (!FD_ISSET(MK_MPI_VENC_GetFd(chn), &set)) continue;
            VENC_CHN_STATUS_S status{};
            if (MK_MPI_VENC_Query(chn, &status) != MK_SUCCESS || status.u32FramePacks == 0) continue;
            if (packs.size() < status.u32FramePacks) packs.resize(status.u32FramePacks);
            VENC_STREAM_S st{};
            st.pstPack = packs.data();
            st.u32PackCnt = status.u32FramePacks;
            if (MK_MPI_VENC_GetStream(chn, &st, 0) != MK_SUCCESS) continue;
            size_t n = 0;
            for (MK_U32 i = 0; i < st.u32PackCnt; ++i) {
                const VENC_PACK_S& p = packs[i];
                const size_t len = p.u32Len - p.u32DataOffset;
                if (n + len <= out.size()) std::memcpy(out.data() + n, p.pu8UserAddr + p.u32DataOffset, len);
                n += len;
            }
            MK_MPI_VENC_ReleaseStream(chn, &st);
            ++frames;
        }
    }
}

struct FlowRun {
    double cores = 0;       // the process's CPU time over the wall time
    double framesPerS = 0;  // encoded frames fetched
    double encoderCores = 0, processingCores = 0, captureCores = 0;
};

// Runs for `seconds` after a second to settle, with the streams fetched; `feed` (if any) runs on its
// own thread until stopped.
template <typename Feed>
FlowRun Measure(double seconds, Feed feed) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> frames{0};
    std::thread fetcher([&] { FetchLoop(stop, frames); });
    std::thread feeder([&] { feed(stop); });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the streams start
    auto vpss = varnelle::dev::Registry::Get<drivers::VpssDriver>("/dev/vpss");
    auto vi = drivers::ViDriver::Get();
    const uint64_t cpu0 = ProcessCpuUs(), enc0 = drivers::venc_view::EncoderThreadCpuUs();
    const uint64_t vpss0 = vpss->WorkerCpuUs(), vi0 = vi->ProducerCpuUs(), frames0 = frames;
    const uint64_t t0 = varnelle::host::MonotonicUs();
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<uint64_t>(seconds * 1e6)));
    const double wall = static_cast<double>(varnelle::host::MonotonicUs() - t0);
    FlowRun r;
    r.cores = static_cast<double>(ProcessCpuUs() - cpu0) / wall;
    r.encoderCores = static_cast<double>(drivers::venc_view::EncoderThreadCpuUs() - enc0) / wall;
    r.processingCores = static_cast<double>(vpss->WorkerCpuUs() - vpss0) / wall;
    r.captureCores = static_cast<double>(vi->ProducerCpuUs() - vi0) / wall;
    r.framesPerS = static_cast<double>(frames - frames0) * 1e6 / wall;
    stop = true;
    feeder.join();
    fetcher.join();
    return r;
}

void StartEncoders() {
    for (VENC_CHN chn = 0; chn < kFlowChannels; ++chn) {
        VENC_CHN_ATTR_S a{};
        a.stVeAttr.enType = PT_H264;
        a.stVeAttr.stAttrH264e = {kW, kH, (kW * kH * 3 / 256 + 1) * 64, 2, 1, kW, kH, 0, 0};
        a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
        a.stRcAttr.stAttrH264Cbr = {25, 1, 25, 25, 2048, 2, {0, 0}};
        MK_MPI_VENC_CreateChn(chn, &a);
        MK_MPI_VENC_StartRecvPic(chn);
    }
}

void StopAll() {
    for (VENC_CHN chn = 0; chn < kFlowChannels; ++chn) MK_MPI_VENC_StopRecvPic(chn);
    MPI_VENC_Exit();
    MK_MPI_VB_Exit();
    drivers::ResetMediaState();
}

void SetUpPools() {
    drivers::InstallAll();
    drivers::ResetMediaState();
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 1;
    conf.astCommPool[0].u32BlkSize = drivers::FrameBytes(kW, kH);
    conf.astCommPool[0].u32BlkCnt = 8 * kFlowChannels;
    MK_MPI_VB_SetConf(&conf);
    MK_MPI_VB_Init();
}

// The encoder alone: each channel receives a picture of the test pattern 25 times a second, handed on
// under a processing channel's address with no processing group behind it.
FlowRun EncoderAlone(double seconds) {
    SetUpPools();
    StartEncoders();
    std::vector<drivers::HeldFrame> pictures;
    for (int chn = 0; chn < kFlowChannels; ++chn) {
        std::optional<drivers::HeldFrame> f = drivers::AllocFrame(drivers::FrameBlocks{}, kW, kH, 0, 0);
        if (!f) return {};
        drivers::DrawTestPattern({f->Plane(0), f->Stride(0), f->Plane(1), f->Stride(1), kW, kH}, chn, 0, 45296);
        pictures.push_back(*f);
        MPP_CHN_S src{MK_ID_VPSS, chn, 0}, dst{MK_ID_VENC, 0, chn};
        MK_MPI_SYS_Bind(&src, &dst);
    }
    FlowRun r = Measure(seconds, [&](const std::atomic<bool>& stop) {
        drivers::FramePacer pacer;
        pacer.Start(varnelle::host::MonotonicUs(), 25);
        while (!stop) {
            if (std::optional<uint64_t> n = pacer.Take(varnelle::host::MonotonicUs())) {
                for (int chn = 0; chn < kFlowChannels; ++chn) {
                    drivers::FrameRouter::Instance().Publish({MK_ID_VPSS, chn, 0}, pictures[chn]);
                }
            }
            const uint64_t now = varnelle::host::MonotonicUs(), next = pacer.NextDueUs();
            if (next > now) std::this_thread::sleep_for(std::chrono::microseconds(std::min<uint64_t>(next - now, 10000)));
        }
    });
    pictures.clear();
    StopAll();
    return r;
}

// The whole flow: 16 capture channels bound to their processing groups (made as the program makes
// input groups), each group's channel 0 bound to an encoder channel.
FlowRun WholeFlow(double seconds) {
    SetUpPools();
    StartEncoders();
    for (int chn = 0; chn < kFlowChannels; ++chn) {
        VPSS_GRP_ATTR_S grp{kW, kH, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 1, 0, 1, 0, 0, 1};
        MK_MPI_VPSS_CreateGrp(chn, &grp);
        for (VPSS_CHN c = 0; c < 3; ++c) MK_MPI_VPSS_EnableChn(chn, c);
        MK_MPI_VPSS_DisableBackupFrame(chn);
        MK_MPI_VPSS_StartGrp(chn);
        MPP_CHN_S vi{MK_ID_VIU, 0, chn}, in{MK_ID_VPSS, chn, 0}, out{MK_ID_VPSS, chn, 0}, venc{MK_ID_VENC, 0, chn};
        MK_MPI_SYS_Bind(&vi, &in);
        MK_MPI_SYS_Bind(&out, &venc);
        StartCapture(chn);
    }
    FlowRun r = Measure(seconds, [](const std::atomic<bool>&) {});
    for (int chn = 0; chn < kFlowChannels; ++chn) MK_MPI_VI_DisableChn(chn);
    StopAll();
    return r;
}

void BM_FlowThroughProcessingToEncoder16D1(benchmark::State& state) {
    varnelle::host::UsePrivateBus("flowbench");
    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        const FlowRun alone = EncoderAlone(seconds);
        const FlowRun flow = WholeFlow(seconds);
        state.counters["alone_cores"] = alone.cores;
        state.counters["alone_fps"] = alone.framesPerS;
        state.counters["flow_cores"] = flow.cores;
        state.counters["flow_fps"] = flow.framesPerS;
        state.counters["flow_encoder_cores"] = flow.encoderCores;
        state.counters["flow_vpss_cores"] = flow.processingCores;
        state.counters["flow_vi_cores"] = flow.captureCores;
        state.counters["flow_vs_alone"] = alone.cores > 0 ? flow.cores / alone.cores : 0;
        state.counters["target_max"] = 1.25;
    }
}
BENCHMARK(BM_FlowThroughProcessingToEncoder16D1)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
