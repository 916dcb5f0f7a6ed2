// The display's picture work.
//  - Scaling one semi-planar 4:2:0 picture at the sizes the display and the processing groups use:
//    our bilinear scaler against libswscale's bilinear on the same pictures, one size at a time
//    (pictures/s), and the whole set of sizes in turn with the CPU time of each and their ratio, which
//    chose the scaler.
//  - Composing a 1920x1080 screen of a 4x4 split of D1 pictures through the display driver, every
//    channel with a new picture each screen: the display thread's CPU time per screen, the screens a
//    second one core makes that way, and that against twice the display rate of 60 (target >= 1).
//    Also with the channels' pictures coming at 25 a second (at staggered times) on the 60 a second
//    display, as live inputs do: then most of a screen is as it was.
//  - Writing such a screen as the trace's PNG file (the trace writes one about once a second).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "platform/dev/dev.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/scaler.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vo/vo_screen.h"
#include "platform/host/test_bus.h"

namespace {

namespace drivers = varnelle::drivers;

// A picture in its own buffer with the drivers' row stride.
struct Picture {
    Picture(int w, int h) : bytes(drivers::FrameBytes(w, h)), stride(drivers::FrameStride(w)), width(w), height(h) {}
    drivers::Yuv420SpPlanes Planes() {
        return {bytes.data(), stride, bytes.data() + stride * height, stride, width, height};
    }
    std::vector<uint8_t> bytes;
    size_t stride;
    int width, height;
};

struct Sizes {
    int sw, sh, dw, dh;
};
// Display: a 4x4 and a 2x2 split of D1 inputs on 1920x1080, a full-screen D1, a 1080p input in a 4x4
// split and a 720p one in a 4x2. Processing: D1 to CIF and QCIF, 1080p to D1 and CIF.
const Sizes kSizes[] = {{704, 576, 480, 270},   {704, 576, 960, 540},    {704, 576, 1920, 1080},
                        {1920, 1080, 480, 270}, {1280, 720, 480, 540},   {704, 576, 352, 288},
                        {704, 576, 176, 144},   {1920, 1080, 704, 576},  {1920, 1080, 352, 288}};

Picture Source(int w, int h) {
    Picture p(w, h);
    drivers::Yuv420SpPlanes pl = p.Planes();
    drivers::DrawTestPattern({pl.y, pl.yStride, pl.uv, pl.uvStride, w, h}, 5, 17, 45296);
    return p;
}

const char* const kIsaNames[] = {"plain", "sse2", "avx2"};

// Our scaler in each of its instruction-set variants (the second argument) that the processor runs.
void BM_ScaleOwn(benchmark::State& state) {
    const Sizes s = kSizes[state.range(0)];
    const auto isa = static_cast<drivers::ScalerIsa>(state.range(1));
    Picture src = Source(s.sw, s.sh), dst(s.dw, s.dh);
    drivers::Yuv420SpScaler scaler(isa);
    if (scaler.Isa() != isa) {
        state.SkipWithError("not on this processor");
        return;
    }
    for (auto _ : state) {
        scaler.Scale(src.Planes(), dst.Planes());
        benchmark::DoNotOptimize(dst.bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(s.sw) + "x" + std::to_string(s.sh) + "->" + std::to_string(s.dw) + "x" +
                   std::to_string(s.dh) + " " + kIsaNames[state.range(1)]);
}
BENCHMARK(BM_ScaleOwn)->ArgsProduct({benchmark::CreateDenseRange(0, std::size(kSizes) - 1, 1), {0, 1, 2}});

void BM_ScaleSwscale(benchmark::State& state) {
    const Sizes s = kSizes[state.range(0)];
    Picture src = Source(s.sw, s.sh), dst(s.dw, s.dh);
    SwsContext* ctx = sws_getContext(s.sw, s.sh, AV_PIX_FMT_NV21, s.dw, s.dh, AV_PIX_FMT_NV21, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr);
    drivers::Yuv420SpPlanes in = src.Planes(), out = dst.Planes();
    const uint8_t* srcSlice[4] = {in.y, in.uv, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(in.yStride), static_cast<int>(in.uvStride), 0, 0};
    uint8_t* dstSlice[4] = {out.y, out.uv, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(out.yStride), static_cast<int>(out.uvStride), 0, 0};
    for (auto _ : state) {
        sws_scale(ctx, srcSlice, srcStride, 0, s.sh, dstSlice, dstStride);
        benchmark::DoNotOptimize(dst.bytes.data());
    }
    sws_freeContext(ctx);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(s.sw) + "x" + std::to_string(s.sh) + "->" + std::to_string(s.dw) + "x" +
                   std::to_string(s.dh));
}
BENCHMARK(BM_ScaleSwscale)->DenseRange(0, std::size(kSizes) - 1);

uint64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Every size once with each scaler per iteration: own_us and swscale_us per set, and
// swscale_over_own (above 1: ours is faster).
void BM_ScaleSetOwnVsSwscale(benchmark::State& state) {
    struct Job {
        Picture src, dst;
        SwsContext* ctx;
    };
    std::vector<Job> jobs;
    for (const Sizes& s : kSizes) {
        jobs.push_back(Job{Source(s.sw, s.sh), Picture(s.dw, s.dh),
                           sws_getContext(s.sw, s.sh, AV_PIX_FMT_NV21, s.dw, s.dh, AV_PIX_FMT_NV21, SWS_BILINEAR,
                                          nullptr, nullptr, nullptr)});
    }
    drivers::Yuv420SpScaler scaler;
    uint64_t ownNs = 0, swsNs = 0;
    for (auto _ : state) {
        uint64_t t0 = ThreadCpuNs();
        for (Job& j : jobs) scaler.Scale(j.src.Planes(), j.dst.Planes());
        uint64_t t1 = ThreadCpuNs();
        for (Job& j : jobs) {
            drivers::Yuv420SpPlanes in = j.src.Planes(), out = j.dst.Planes();
            const uint8_t* srcSlice[4] = {in.y, in.uv, nullptr, nullptr};
            const int srcStride[4] = {static_cast<int>(in.yStride), static_cast<int>(in.uvStride), 0, 0};
            uint8_t* dstSlice[4] = {out.y, out.uv, nullptr, nullptr};
            const int dstStride[4] = {static_cast<int>(out.yStride), static_cast<int>(out.uvStride), 0, 0};
            sws_scale(j.ctx, srcSlice, srcStride, 0, in.height, dstSlice, dstStride);
        }
        uint64_t t2 = ThreadCpuNs();
        ownNs += t1 - t0;
        swsNs += t2 - t1;
        benchmark::DoNotOptimize(jobs.back().dst.bytes.data());
    }
    for (Job& j : jobs) sws_freeContext(j.ctx);
    const double n = static_cast<double>(state.iterations());
    state.counters["own_us"] = static_cast<double>(ownNs) / n / 1000;
    state.counters["swscale_us"] = static_cast<double>(swsNs) / n / 1000;
    state.counters["swscale_over_own"] = static_cast<double>(swsNs) / static_cast<double>(ownNs);
}
BENCHMARK(BM_ScaleSetOwnVsSwscale);

// A descriptor of /dev/vo bound to `word`.
int VoFd(MK_U32 word) {
    int fd = varnelle::dev::Open("/dev/vo", O_RDONLY);
    varnelle::dev::Ioctl(fd, mk::vo::kBind, &word);
    return fd;
}

void BM_Compose16ChannelSplit(benchmark::State& state) {
    varnelle::host::UsePrivateBus("vobench");
    drivers::InstallVoDriver();
    drivers::ResetMediaState();
    auto vo = varnelle::dev::Registry::Get<drivers::VoDriver>("/dev/vo");
    constexpr int kChannels = 16, kW = 704, kH = 576;
    const int pool = drivers::VbPools::Instance().CreatePool(drivers::FrameBytes(kW, kH), 2 * kChannels, "");
    // Two pictures per input, sent in turn so each screen has a new one in every channel.
    std::vector<drivers::HeldFrame> frames;
    for (int i = 0; i < 2 * kChannels; ++i) {
        std::optional<drivers::HeldFrame> f = drivers::AllocFrame(drivers::FrameBlocks{pool}, kW, kH, 0, 0);
        drivers::DrawTestPattern({f->Plane(0), f->Stride(0), f->Plane(1), f->Stride(1), kW, kH}, i % kChannels,
                                 static_cast<uint64_t>(i), 45296);
        frames.push_back(*f);
    }
    drivers::testing::ManualClock clock;
    const int dev = VoFd(0);  // device 0, layer 0 and the module share word 0
    VO_PUB_ATTR_S pub{};
    pub.enIntfType = 16;
    pub.enIntfSync = 6;  // 1920 x 1080
    varnelle::dev::Ioctl(dev, mk::vo::kSetPubAttr, &pub);
    VO_VIDEO_LAYER_ATTR_S layer{{0, 0, 1920, 1080}, {1920, 1080}, 60, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
    varnelle::dev::Ioctl(dev, mk::vo::kSetVideoLayerAttr, &layer);
    varnelle::dev::Ioctl(dev, mk::vo::kEnableVideoLayer);
    std::vector<int> chn;
    for (int c = 0; c < kChannels; ++c) {
        chn.push_back(VoFd(static_cast<MK_U32>(c)));
        VO_CHN_ATTR_S attr{0, {(c % 4) * 480, (c / 4) * 270, 480, 270}, 0};
        varnelle::dev::Ioctl(chn.back(), mk::vo::kSetChnAttr, &attr);
        varnelle::dev::Ioctl(chn.back(), mk::vo::kEnableChn);
    }
    varnelle::dev::Ioctl(dev, mk::vo::kEnable);
    clock.Settle();
    const uint64_t cpu0 = vo->DisplayCpuUs();
    const uint64_t screens0 = vo->Device(0).screens;
    const bool live = state.range(0) != 0;
    uint64_t round = 0;
    for (auto _ : state) {
        for (int c = 0; c < kChannels; ++c) {
            // Live: channel c's pictures fall due every 40 ms from c * 2.5 ms on.
            const uint64_t now = round * 16667 + 40000 - c * 2500, before = now - 16667;
            if (live && now / 40000 == before / 40000) continue;
            VIDEO_FRAME_REQ_S req{frames[static_cast<size_t>((round % 2) * kChannels + c)].frame(), 0, 0};
            varnelle::dev::Ioctl(chn[static_cast<size_t>(c)], mk::vo::kSendFrame, &req);
        }
        ++round;
        clock.Advance(16667);
    }
    state.SetLabel(live ? "inputs at 25/s" : "every channel new each screen");
    const double screens = static_cast<double>(vo->Device(0).screens - screens0);
    const double usPerScreen = static_cast<double>(vo->DisplayCpuUs() - cpu0) / screens;
    state.counters["us_per_screen"] = usPerScreen;
    state.counters["screens_per_s_one_core"] = 1e6 / usPerScreen;
    state.counters["vs_target_120"] = 1e6 / usPerScreen / 120;
    for (int fd : chn) varnelle::dev::Close(fd);
    varnelle::dev::Close(dev);
    frames.clear();
    drivers::ResetMediaState();
    drivers::VbPools::Instance().DestroyPool(pool);
}
BENCHMARK(BM_Compose16ChannelSplit)->Arg(0)->Arg(1)->Iterations(300)->UseRealTime();

// A 1920x1080 screen of a 4x4 split of test pictures to PNG, in a directory of its own.
void BM_WriteScreenPng(benchmark::State& state) {
    drivers::vo::Screen screen(1920, 1080);
    screen.Fill({16, 128, 128});
    drivers::Yuv420SpScaler scaler;
    for (int c = 0; c < 16; ++c) {
        Picture src(704, 576);
        drivers::Yuv420SpPlanes pl = src.Planes();
        drivers::DrawTestPattern({pl.y, pl.yStride, pl.uv, pl.uvStride, 704, 576}, c, 17, 45296);
        scaler.Scale(src.Planes(), screen.Planes().Sub((c % 4) * 480, (c / 4) * 270, 480, 270));
    }
    char tmpl[] = "/dev/shm/varnelle-pngbench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    for (auto _ : state) {
        if (!drivers::vo::WriteScreenPng(screen, dir + "/screen-0.png")) state.SkipWithError("not written");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(dir + "/screen-0.png"));
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_WriteScreenPng)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
