// 2D engine benchmarks: a 1080p fill and a 1080p blit of one source over another, each as one job
// through the SDK and the simulated engine, against pixman doing the same on ordinary memory in the
// same run. `speed_vs_pixman` is pixman's time over ours (1 means as fast).
#include <pixman.h>

#include <chrono>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/drivers/tde/tde_driver.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/tde/mpi_tde.h"

namespace {

using varnelle::mem::Ram;
using varnelle::mem::ZoneAllocator;
using Clock = std::chrono::steady_clock;

constexpr MK_U32 kW = 1920, kH = 1080;

double Ns(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::nano>(b - a).count(); }

// A 1080p surface in simulated RAM, filled with premultiplied pixels, and a copy of its bytes.
struct RamSurface {
    TDE2_SURFACE_S s{};
    std::vector<uint32_t> bytes;
    explicit RamSurface(MK_U32 fmt, uint32_t seed) {
        const MK_U32 bpp = fmt == TDE2_COLOR_FMT_ARGB8888 ? 4 : 2;
        s.enColorFmt = fmt;
        s.u32Width = kW;
        s.u32Height = kH;
        s.u32Stride = kW * bpp;
        s.u32PhyAddr = ZoneAllocator::Local().Allocate(uint64_t{s.u32Stride} * kH);
        bytes.resize(size_t{s.u32Stride} * kH / 4);
        uint32_t x = seed;
        for (uint32_t& p : bytes) {
            x = x * 1664525u + 1013904223u;
            const uint32_t a = x >> 24;
            p = a << 24 | ((x >> 16) & 0xFF) * a / 255 << 16 | ((x >> 8) & 0xFF) * a / 255 << 8 | (x & 0xFF) * a / 255;
        }
        Ram::Local().Write(s.u32PhyAddr, bytes.data(), bytes.size() * 4);
    }
    ~RamSurface() { ZoneAllocator::Local().Free(s.u32PhyAddr); }
};

void Report(benchmark::State& state, double oursNs, double pixmanNs, int64_t n) {
    state.counters["ours_ms"] = oursNs / static_cast<double>(n) / 1e6;
    state.counters["pixman_ms"] = pixmanNs / static_cast<double>(n) / 1e6;
    state.counters["speed_vs_pixman"] = pixmanNs / oursNs;
}

void BM_Fill1080p(benchmark::State& state) {
    const MK_U32 fmt = static_cast<MK_U32>(state.range(0));
    const int bpp = fmt == TDE2_COLOR_FMT_ARGB8888 ? 32 : 16;
    RamSurface dst(fmt, 1);
    std::vector<uint32_t> ref(dst.bytes);
    const TDE2_RECT_S all{0, 0, kW, kH};
    const MK_U32 value = bpp == 32 ? 0x80402010u : 0x8000u;
    double ours = 0, pixman = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        TDE_HANDLE h = MK_TDE2_BeginJob();
        MK_TDE2_Bitblit(h, &dst.s, &all, value);
        if (MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10) != MK_SUCCESS) state.SkipWithError("job failed");
        auto t1 = Clock::now();
        pixman_fill(ref.data(), static_cast<int>(dst.s.u32Stride / 4), bpp, 0, 0, kW, kH, value);
        benchmark::DoNotOptimize(ref.data());
        auto t2 = Clock::now();
        ours += Ns(t0, t1);
        pixman += Ns(t1, t2);
        ++n;
    }
    Report(state, ours, pixman, n);
}
BENCHMARK(BM_Fill1080p)->Arg(TDE2_COLOR_FMT_ARGB8888)->Arg(TDE2_COLOR_FMT_ARGB1555)->Unit(benchmark::kMillisecond);

// The second source over the first in place, as a surface-list entry draws: dst = src over dst.
void BM_Over1080p(benchmark::State& state) {
    const MK_U32 alpha = static_cast<MK_U32>(state.range(0));
    RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 2), src(TDE2_COLOR_FMT_ARGB8888, 3);
    std::vector<uint32_t> refDst(dst.bytes), refSrc(src.bytes);
    pixman_image_t* pd = pixman_image_create_bits(PIXMAN_a8r8g8b8, kW, kH, refDst.data(), kW * 4);
    pixman_image_t* ps = pixman_image_create_bits(PIXMAN_a8r8g8b8, kW, kH, refSrc.data(), kW * 4);
    pixman_color_t c{0, 0, 0, static_cast<uint16_t>(alpha * 257)};
    pixman_image_t* mask = alpha == 255 ? nullptr : pixman_image_create_solid_fill(&c);
    const TDE2_RECT_S all{0, 0, kW, kH};
    TDE2_OPT_S opt{};
    opt.u32GlobalAlpha = alpha;
    double ours = 0, pixman = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        TDE_HANDLE h = MK_TDE2_BeginJob();
        MK_TDE2_TwoSourceBlit(h, &dst.s, &all, &src.s, &all, &dst.s, &all, &opt);
        if (MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10) != MK_SUCCESS) state.SkipWithError("job failed");
        auto t1 = Clock::now();
        pixman_image_composite32(PIXMAN_OP_OVER, ps, mask, pd, 0, 0, 0, 0, 0, 0, kW, kH);
        auto t2 = Clock::now();
        ours += Ns(t0, t1);
        pixman += Ns(t1, t2);
        ++n;
    }
    if (mask != nullptr) pixman_image_unref(mask);
    pixman_image_unref(ps);
    pixman_image_unref(pd);
    Report(state, ours, pixman, n);
}
BENCHMARK(BM_Over1080p)->Arg(255)->Arg(128)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    varnelle::host::UsePrivateBus("tdebench");
    varnelle::drivers::InstallTdeDriver();
    if (MK_TDE2_Open() != MK_SUCCESS) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MK_TDE2_Close();
    return 0;
}
