// The detection thread's evaluation of one result per channel for 32 channels (every cell of the grid
// watched, 640 x 480 pictures in 16-pixel macroblocks, 8-bit SAD rows of the driver's stride) against
// copying the same SAD bytes with memcpy. Target: the pass at most 8 times the copy. Run both in one
// process; the ratio is the pass's time over the copy's.
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/alarm/alarm_motion.h"

namespace {

constexpr int kChannels = 32;
constexpr uint32_t kMbW = 40, kMbH = 30, kStride = 48;  // the driver's rows: 40 values to 16 bytes

struct Results {
    std::vector<uint8_t> sad[kChannels];
    VDA_DATA_S data[kChannels];
    uint8_t map[MOTION_MB_MAP_BYTES];
    Results() {
        uint32_t rows[MOTION_REGION_ROWS] = {};
        for (int r = 0; r < 12; ++r) rows[r] = 0xFFFF;
        MotionBuildMbMap(rows, map);
        std::mt19937 rng(7);
        for (int c = 0; c < kChannels; ++c) {
            sad[c].resize(kStride * kMbH);
            for (uint8_t& v : sad[c]) v = static_cast<uint8_t>(rng() % 32);
            std::memset(&data[c], 0, sizeof(data[c]));
            data[c].u32MbWidth = kMbW;
            data[c].u32MbHeight = kMbH;
            data[c].unData.stMdData.bMbSadValid = 1;
            data[c].unData.stMdData.stMbSadData.u32Stride = kStride;
        }
    }
};

const Results& Data() {
    static Results r;
    return r;
}

void BM_MotionPass32(benchmark::State& state) {
    const Results& r = Data();
    for (auto _ : state) {
        uint32_t motion = 0;
        for (int c = 0; c < kChannels; ++c) {
            if (MotionCountChanged(r.map, r.data[c], r.sad[c].data(), 12) >= 6) motion |= 1u << c;
        }
        benchmark::DoNotOptimize(motion);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChannels * kStride * kMbH);
}
BENCHMARK(BM_MotionPass32);

void BM_MemcpySad32(benchmark::State& state) {
    const Results& r = Data();
    static std::vector<uint8_t> out(kChannels * kStride * kMbH);
    for (auto _ : state) {
        for (int c = 0; c < kChannels; ++c) std::memcpy(out.data() + c * kStride * kMbH, r.sad[c].data(), kStride * kMbH);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChannels * kStride * kMbH);
}
BENCHMARK(BM_MemcpySad32);

}  // namespace

BENCHMARK_MAIN();
