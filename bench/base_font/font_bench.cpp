// Title rendering cost: the TrueType renderer's first render (empty cache) and repeated render of one
// 32-character title at height 24, against rendering the same glyphs straight through FreeType, and the
// bitmap-font renderer on the same title for scale.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "base/font/bitmap_font_manager.h"
#include "base/font/font_manager_tt.h"
#include "tools/fontgen/fontgen.h"

namespace {

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kTitle = "Channel 01 Front Gate 2026-12-09";  // 32 characters
constexpr int kWidth = 512;
constexpr int kHeight = 24;
const FontSize kSize{24, 24};

void BM_TrueTypeFirstRender(benchmark::State& state) {
    std::vector<uint8_t> dst(kWidth / 8 * kHeight);
    for (auto _ : state) {
        state.PauseTiming();
        auto renderer = std::make_unique<CFontManagerTT>(kFont);  // opening the face is not counted
        std::memset(dst.data(), 0, dst.size());
        state.ResumeTiming();
        int width = kWidth;
        benchmark::DoNotOptimize(renderer->TextToBitmap(dst.data(), width, kHeight, kTitle, &kSize));
        state.PauseTiming();
        renderer.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TrueTypeFirstRender)->Unit(benchmark::kMicrosecond);

void BM_TrueTypeCachedRender(benchmark::State& state) {
    CFontManagerTT renderer(kFont);
    std::vector<uint8_t> dst(kWidth / 8 * kHeight);
    int width = kWidth;
    renderer.TextToBitmap(dst.data(), width, kHeight, kTitle, &kSize);
    for (auto _ : state) {
        std::memset(dst.data(), 0, dst.size());
        benchmark::DoNotOptimize(renderer.TextToBitmap(dst.data(), width, kHeight, kTitle, &kSize));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TrueTypeCachedRender)->Unit(benchmark::kMicrosecond);

// The same glyphs loaded, rendered and thresholded into the one-bit destination by hand.
void RenderDirect(FT_Face face, std::vector<uint8_t>& dst) {
    std::memset(dst.data(), 0, dst.size());
    FT_Set_Pixel_Sizes(face, 0, kHeight);
    long x = 0;
    const int baseline = (kHeight * 3) >> 2;
    for (const char* p = kTitle; *p != '\0'; ++p) {
        if (FT_Load_Char(face, static_cast<unsigned char>(*p), FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot g = face->glyph;
        const long px0 = x + (g->metrics.horiBearingX >> 6);
        const long y0 = baseline + ((-g->metrics.horiBearingY) >> 6);
        for (unsigned r = 0; r < g->bitmap.rows; ++r) {
            const long y = y0 + r;
            if (y < 0 || y >= kHeight) continue;
            const uint8_t* row = g->bitmap.buffer + r * g->bitmap.pitch;
            for (unsigned c = 0; c < g->bitmap.width; ++c) {
                const long px = px0 + c;
                if (row[c] != 0 && px >= 0 && px < kWidth)
                    dst[static_cast<size_t>(y) * (kWidth / 8) + px / 8] |=
                        static_cast<uint8_t>(0x80u >> (px % 8));
            }
        }
        x += g->metrics.horiAdvance >> 6;
    }
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
}

// Every glyph rendered each time on a face that has rendered before.
void BM_FreeTypeDirect(benchmark::State& state) {
    FT_Library lib = nullptr;
    FT_Face face = nullptr;
    if (FT_Init_FreeType(&lib) != 0 || FT_New_Face(lib, kFont, 0, &face) != 0) {
        state.SkipWithError("cannot open font");
        return;
    }
    FT_Select_Charmap(face, FT_ENCODING_UNICODE);
    std::vector<uint8_t> dst(kWidth / 8 * kHeight);
    for (auto _ : state) RenderDirect(face, dst);
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
}
BENCHMARK(BM_FreeTypeDirect)->Unit(benchmark::kMicrosecond);

// The same on a freshly opened face (opening not counted), like the renderer's first render.
void BM_FreeTypeDirectFreshFace(benchmark::State& state) {
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib) != 0) {
        state.SkipWithError("cannot start FreeType");
        return;
    }
    std::vector<uint8_t> dst(kWidth / 8 * kHeight);
    for (auto _ : state) {
        state.PauseTiming();
        FT_Face face = nullptr;
        if (FT_New_Face(lib, kFont, 0, &face) != 0) {
            state.SkipWithError("cannot open font");
            break;
        }
        FT_Select_Charmap(face, FT_ENCODING_UNICODE);
        state.ResumeTiming();
        RenderDirect(face, dst);
        state.PauseTiming();
        FT_Done_Face(face);
        state.ResumeTiming();
    }
    FT_Done_FreeType(lib);
}
BENCHMARK(BM_FreeTypeDirectFreshFace)->Unit(benchmark::kMicrosecond);

// The bitmap font pair is built once from the same font; the renderer lives for the whole run.
CFontManager* BitmapRenderer() {
    static CFontManager* renderer = [] {
        char dir[] = "/tmp/varnelle-font-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr) return static_cast<CFontManager*>(nullptr);
        const std::string path = std::string(dir) + "/Font.bin";
        std::string error;
        auto source = varnelle::fontgen::GlyphSource::Open(kFont, 24, 24, &error);
        if (source == nullptr) return static_cast<CFontManager*>(nullptr);
        const auto font = varnelle::fontgen::BuildFont(*source, varnelle::fontgen::DefaultRanges(*source));
        if (!varnelle::fontgen::WriteFile(path, varnelle::fontgen::Serialize(font)))
            return static_cast<CFontManager*>(nullptr);
        auto* r = new CFontManager(path, "");
        std::remove(path.c_str());  // the renderer keeps the file open
        rmdir(dir);
        return r;
    }();
    return renderer;
}

void BM_BitmapFontRender(benchmark::State& state) {
    CFontManager* renderer = BitmapRenderer();
    if (renderer == nullptr) {
        state.SkipWithError("cannot build the bitmap font");
        return;
    }
    std::vector<uint8_t> dst(kWidth / 8 * kHeight);
    int width = kWidth;
    for (auto _ : state) {
        std::memset(dst.data(), 0, dst.size());
        benchmark::DoNotOptimize(renderer->TextToBitmap(dst.data(), width, kHeight, kTitle, &kSize));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BitmapFontRender)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
