// The drawing library's raster routines, colour conversion and region operations against pixman's,
// each pair timed in the same loop. Counters: ours and pixman's megapixels per second and their
// ratio (ours / pixman, higher is better); for regions the time ratio (ours / pixman, lower is
// better).
#include <benchmark/benchmark.h>
#include <pixman.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "draw/graphics_engine.h"
#include "draw/region.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ns(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count();
}

// Megapixels per second of each side, and ours over pixman's.
void ReportRates(benchmark::State& state, double pixels, double oursNs, double pixmanNs) {
    const double ours = pixels / oursNs * 1e3;
    const double ref = pixels / pixmanNs * 1e3;
    state.counters["ours_MP/s"] = ours;
    state.counters["pixman_MP/s"] = ref;
    state.counters["ratio"] = ours / ref;
}

struct Surface {
    int w, h;
    uint32_t pitch;  // bytes
    std::vector<uint32_t> words;
    explicit Surface(int width, int height) : w(width), h(height), pitch(uint32_t(width) * 2),
                                             words(size_t(width) * height / 2 + 1) {}
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words.data()); }
    uint32_t* bits() { return words.data(); }
    int strideWords() const { return int(pitch / 4); }
};

// 16-bit fill: the fill routine once per row, as a drawing context calls it, against pixman_fill.
void BM_Fill16(benchmark::State& state) {
    Surface s(int(state.range(0)), int(state.range(1)));
    GraphicsObject obj;
    selectObject(obj, 0, 1);
    double oursNs = 0, pixmanNs = 0;
    uint32_t value = 0x1234;
    for (auto _ : state) {
        ++value;
        auto t0 = Clock::now();
        for (int y = 0; y < s.h; ++y) obj.fill(s.bytes() + size_t(y) * s.pitch, s.w, value);
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        pixman_fill(s.bits(), s.strideWords(), 16, 0, 0, s.w, s.h, value);
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        oursNs += Ns(t0, t1);
        pixmanNs += Ns(t1, t2);
    }
    ReportRates(state, double(s.w) * s.h * double(state.iterations()), oursNs, pixmanNs);
}
BENCHMARK(BM_Fill16)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// 16-bit copy: the copy routine once per row against pixman_blt.
void BM_Copy16(benchmark::State& state) {
    Surface src(int(state.range(0)), int(state.range(1))), dst(src.w, src.h);
    std::mt19937 rng(1);
    for (auto& w : src.words) w = rng();
    GraphicsObject obj;
    selectObject(obj, 0, 1);
    double oursNs = 0, pixmanNs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int y = 0; y < src.h; ++y) {
            obj.copy(dst.bytes() + size_t(y) * dst.pitch, src.w, src.bytes() + size_t(y) * src.pitch, 0, 0);
        }
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        pixman_blt(src.bits(), dst.bits(), src.strideWords(), dst.strideWords(), 16, 16, 0, 0, 0, 0, src.w, src.h);
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        oursNs += Ns(t0, t1);
        pixmanNs += Ns(t1, t2);
    }
    ReportRates(state, double(src.w) * src.h * double(state.iterations()), oursNs, pixmanNs);
}
BENCHMARK(BM_Copy16)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// Keyed 16-bit copy (a quarter of the source pixels carry the key); pixman has no such operation.
void BM_KeyedCopy16(benchmark::State& state) {
    Surface src(int(state.range(0)), int(state.range(1))), dst(src.w, src.h);
    std::mt19937 rng(2);
    for (auto& w : src.words) w = rng();
    const uint16_t key = 0x7C1F;
    auto* px = reinterpret_cast<uint16_t*>(src.bytes());
    for (size_t i = 0; i < size_t(src.w) * src.h; i += 4) px[i] = key;
    GraphicsObject obj;
    selectObject(obj, 0, 1);
    for (auto _ : state) {
        for (int y = 0; y < src.h; ++y) {
            obj.copy(dst.bytes() + size_t(y) * dst.pitch, src.w, src.bytes() + size_t(y) * src.pitch, 1, key);
        }
        benchmark::ClobberMemory();
    }
    state.counters["ours_MP/s"] =
        benchmark::Counter(double(src.w) * src.h * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_KeyedCopy16)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// RgbToPixel on every pixel of an a8r8g8b8 picture, as a caller's loop that the compiler may
// vectorise (RgbToPixel is inline); the alpha bit is the transparency flag.
template <int Format>
__attribute__((noinline, optimize("O3"))) void ConvertLoop(const uint32_t* src, uint16_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t v = src[i];
        dst[i] = static_cast<uint16_t>(
            RgbToPixel(Format, int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF), int(v >> 31)));
    }
}
// The same loop also built for AVX2, taken at run time where the processor has it, as pixman picks
// its own SIMD routines at run time.
template <int Format>
__attribute__((noinline, optimize("O3"), target_clones("avx2", "default"))) void ConvertLoopDispatched(
    const uint32_t* src, uint16_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t v = src[i];
        dst[i] = static_cast<uint16_t>(
            RgbToPixel(Format, int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF), int(v >> 31)));
    }
}

// RgbToPixel over 1920 x 1080 against pixman's conversion of the same picture. range(0): format (0
// ARGB1555, 1 RGB565); range(1): 0 the baseline loop, 1 the dispatched one.
void BM_RgbToPixel(benchmark::State& state) {
    const int format = int(state.range(0));
    const bool dispatched = state.range(1) == 1;
    constexpr int w = 1920, h = 1080;
    std::vector<uint32_t> argb(size_t(w) * h);
    std::mt19937 rng(3);
    for (auto& v : argb) v = rng();
    std::vector<uint16_t> ours(argb.size()), ref(argb.size());
    pixman_image_t* src = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, argb.data(), w * 4);
    pixman_image_t* dst = pixman_image_create_bits(format == 0 ? PIXMAN_a1r5g5b5 : PIXMAN_r5g6b5, w, h,
                                                   reinterpret_cast<uint32_t*>(ref.data()), w * 2);
    auto convert = format == 0 ? (dispatched ? ConvertLoopDispatched<0> : ConvertLoop<0>)
                               : (dispatched ? ConvertLoopDispatched<1> : ConvertLoop<1>);
    double oursNs = 0, pixmanNs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        convert(argb.data(), ours.data(), argb.size());
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, w, h);
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        oursNs += Ns(t0, t1);
        pixmanNs += Ns(t1, t2);
    }
    if (ours != ref) state.SkipWithError("the conversions differ");
    pixman_image_unref(src);
    pixman_image_unref(dst);
    ReportRates(state, double(w) * h * double(state.iterations()), oursNs, pixmanNs);
}
BENCHMARK(BM_RgbToPixel)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"format", "dispatched"})
    ->Unit(benchmark::kMicrosecond);

// Two regions of n random rectangles each, on a 1000 x 1000 area.
struct RegionPair {
    CRegion a, b;
    pixman_region32_t pa, pb;
    explicit RegionPair(int n) {
        pixman_region32_init(&pa);
        pixman_region32_init(&pb);
        std::mt19937 rng{static_cast<uint32_t>(n)};
        std::uniform_int_distribution<int> pos(0, 900), len(5, 100);
        for (int i = 0; i < 2 * n; ++i) {
            const int l = pos(rng), t = pos(rng), wd = len(rng), ht = len(rng);
            const CRect r(l, t, l + wd, t + ht);
            (i < n ? a : b).AddRect(r);
            pixman_region32_union_rect(i < n ? &pa : &pb, i < n ? &pa : &pb, l, t, unsigned(wd), unsigned(ht));
        }
    }
    ~RegionPair() {
        pixman_region32_fini(&pa);
        pixman_region32_fini(&pb);
    }
};

// A copy of the first region, intersected with or less the second (range(1): 0 intersect, 1
// subtract); counters: both times per operation and ours over pixman's.
void BM_RegionOp(benchmark::State& state) {
    const int n = int(state.range(0));
    const bool subtract = state.range(1) == 1;
    RegionPair pair(n);
    CRegion work;
    pixman_region32_t pwork;
    pixman_region32_init(&pwork);
    double oursNs = 0, pixmanNs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        work.Assign(&pair.a);
        if (subtract) {
            work.SubtractRgn(&pair.b);
        } else {
            work.IntersectRgn(&pair.b);
        }
        benchmark::DoNotOptimize(work.GetFirstRect());
        auto t1 = Clock::now();
        pixman_region32_copy(&pwork, &pair.pa);
        if (subtract) {
            pixman_region32_subtract(&pwork, &pwork, &pair.pb);
        } else {
            pixman_region32_intersect(&pwork, &pwork, &pair.pb);
        }
        benchmark::DoNotOptimize(pixman_region32_n_rects(&pwork));
        auto t2 = Clock::now();
        oursNs += Ns(t0, t1);
        pixmanNs += Ns(t1, t2);
    }
    pixman_region32_fini(&pwork);
    const double it = double(state.iterations());
    state.counters["ours_us"] = oursNs / it / 1e3;
    state.counters["pixman_us"] = pixmanNs / it / 1e3;
    state.counters["time_ratio"] = oursNs / pixmanNs;
}
BENCHMARK(BM_RegionOp)
    ->ArgsProduct({{4, 16, 256}, {0, 1}})
    ->ArgNames({"rects", "subtract"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
