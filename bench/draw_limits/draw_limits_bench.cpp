// Drawings whose arguments could make them cost far more than what they draw: a pen as wide as an
// int along lines and rounded corners that run far off the surface, and a TrueType string of 100,000
// characters of which one line shows. Each should take about what its visible pixels take.
// Counters: the pen's copies walked per drawing; the text's most glyph pictures (and their bytes)
// held at once, and what its thread keeps afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/font/font_manager.h"
#include "draw/dc.h"
#include "draw/internal/work_counters.h"
#include "draw/locales.h"
#include "draw/testing/test_util.h"

namespace {

using varnelle::draw_internal::Counters;

// Standard output goes nowhere while it lives: a wide pen prints a warning for every line.
class Quiet {
public:
    Quiet() : m_saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int m_saved;
};

// 0: a level line, 1: a slanted one, both two million pixels long across a 1920 x 1080 surface.
void BM_HugePenLine(benchmark::State& state) {
    CDC dc(CDC::kMemory, 1920, 1080);
    dc.SetPen(0xFFFFFF, 0, INT_MAX);
    const bool slanted = state.range(0) == 1;
    Counters().lineCopies = 0;
    const Quiet quiet;
    for (auto _ : state) {
        dc.MoveTo(-1000000, slanted ? -300000 : 500);
        dc.LineTo(1000000, slanted ? 700000 : 500);
        benchmark::ClobberMemory();
    }
    state.counters["copies"] = double(Counters().lineCopies) / double(state.iterations());
}
BENCHMARK(BM_HugePenLine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A rounded rectangle two million pixels wide with the largest radius: its corner sides are long
// diagonals.
void BM_HugePenRectangle(benchmark::State& state) {
    CDC dc(CDC::kMemory, 1920, 1080);
    dc.SetPen(0xFFFFFF, 0, INT_MAX);
    dc.SetRectStyle(kRectNoFill);
    const CRect r(-1000000, -1000000, 1000000, 1000000);
    Counters().lineCopies = 0;
    const Quiet quiet;
    for (auto _ : state) {
        dc.Rectangle(&r, INT_MAX, INT_MAX);
        benchmark::ClobberMemory();
    }
    state.counters["copies"] = double(Counters().lineCopies) / double(state.iterations());
}
BENCHMARK(BM_HugePenRectangle)->Unit(benchmark::kMillisecond);

// 100,000 characters of DejaVu Sans at 255 pixels into a 1920 x 300 rectangle: left-aligned (the
// line ends at the rectangle), centred (half the string lies left of it on the one line) and wrapped.
void BM_LongTrueTypeString(benchmark::State& state) {
    varnelle::draw::testing::TempDir root("bench-text");
    std::filesystem::create_directories(root.Path() + "/data/Fonts");
    std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                               root.Path() + "/data/Fonts/DejaVuSans.ttf");
    setenv("VARNELLE_ROOT", root.Path().c_str(), 1);
    IFontManager::SetFontFile("/data/Fonts/DejaVuSans.ttf", "/data/Fonts/DejaVuSans.ttf");
    const Size size(255, 255);
    SetDefaultFontSize(0, &size);
    {
        const Quiet quiet;
        CLocales::instance();
    }
    std::string text;
    while (text.size() < 100000) text += "Quick brown foxes jump over lazy dogs. ";
    text.resize(100000);

    CDC dc(CDC::kMemory, 1920, 300);
    dc.SetTextColor(0xFFFFFF, kFontNormal);
    const int formats[] = {0, kTextCentre, kTextWrap};
    dc.SetTextFormat(formats[state.range(0)]);
    const CRect r(0, 0, 1920, 300);
    Counters() = {};
    for (auto _ : state) {
        dc.DrawText(&r, text.c_str(), int(text.size()));
        benchmark::ClobberMemory();
    }
    state.counters["peak_pictures"] = double(Counters().peakGlyphPictures);
    state.counters["peak_picture_KiB"] = double(Counters().peakGlyphBytes) / 1024;
    state.counters["kept_KiB"] = double(Counters().textScratchBytes) / 1024;
    unsetenv("VARNELLE_ROOT");
}
BENCHMARK(BM_LongTrueTypeString)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
