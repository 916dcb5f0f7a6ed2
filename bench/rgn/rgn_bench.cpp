// Overlay regions: a D1 picture's titles (a 264x24 name and a 96x24 clock, the program's sizes for a
// D1 stream) drawn into it, as the encoder does for every picture: converting the bitmaps' colours at
// each draw, against keeping them converted with the bitmaps (pictures/s of each in the same run).
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/drivers/core/pattern.h"
#include "platform/drivers/rgn/rgn_composite.h"

namespace {

namespace rgn = varnelle::drivers::rgn;
using varnelle::drivers::PatternFrame;

constexpr int kW = 704, kH = 576;

struct Title {
    int x, y, w, h;
};
constexpr Title kTitles[] = {{360, 400, 264, 24}, {32, 32, 96, 24}};

// Text-like bitmaps: opaque white strokes over a clear black background.
std::vector<rgn::OverlayBitmap> Bitmaps() {
    std::mt19937 rng(7);
    std::vector<rgn::OverlayBitmap> out(std::size(kTitles));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].Assign(kTitles[i].w, kTitles[i].h, 0x0000);
        uint16_t* px = out[i].Edit();
        for (int p = 0; p < kTitles[i].w * kTitles[i].h; ++p) {
            if (rng() % 3 == 0) px[p] = 0xFFFF;
        }
    }
    return out;
}

void BM_DrawTitles(benchmark::State& state) {
    const bool kept = state.range(0) != 0;
    std::vector<uint8_t> picture(static_cast<size_t>(kW) * kH * 3 / 2, 100);
    const PatternFrame frame{picture.data(), kW, picture.data() + kW * kH, kW, kW, kH};
    std::vector<rgn::OverlayBitmap> bitmaps = Bitmaps();
    for (auto _ : state) {
        std::vector<rgn::Layer> layers(std::size(kTitles));
        for (size_t i = 0; i < layers.size(); ++i) {
            layers[i].overlay = bitmaps[i].Layer(kTitles[i].x, kTitles[i].y, 128, 0);
            if (!kept) layers[i].overlay.converted = nullptr;
        }
        rgn::Composite(frame, layers);
        benchmark::DoNotOptimize(picture.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(kept ? "kept converted" : "converted at each draw");
}
BENCHMARK(BM_DrawTitles)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
