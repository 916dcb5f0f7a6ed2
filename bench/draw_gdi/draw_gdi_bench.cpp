// The drawing context's shapes and text against cairo's, each pair timed in the same loop on 16-bit
// surfaces without antialiasing (text with cairo's grey antialiasing, as our coverage blend is).
// Counters: each side's time per iteration and `ratio` = cairo's time / ours (higher is better; 1 is
// as fast as cairo, 0.5 half as fast).
#include <benchmark/benchmark.h>
#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/font/font_manager.h"
#include "draw/dc.h"
#include "draw/locales.h"
#include "draw/testing/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ns(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count();
}

void Report(benchmark::State& state, double oursNs, double cairoNs) {
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_us"] = oursNs / n / 1e3;
    state.counters["cairo_us"] = cairoNs / n / 1e3;
    state.counters["ratio"] = cairoNs / oursNs;
}

// Each iteration runs ours, then cairo's (which ends by flushing its surface).
template <class Ours, class Theirs>
void Race(benchmark::State& state, Ours&& ours, Theirs&& theirs) {
    double oursNs = 0, cairoNs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        ours();
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        theirs();
        const auto t2 = Clock::now();
        oursNs += Ns(t0, t1);
        cairoNs += Ns(t1, t2);
    }
    Report(state, oursNs, cairoNs);
}

struct Cairo {
    cairo_surface_t* surface;
    cairo_t* cr;
    Cairo(int w, int h)
        : surface(cairo_image_surface_create(CAIRO_FORMAT_RGB16_565, w, h)), cr(cairo_create(surface)) {
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    }
    ~Cairo() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    void Flush() { cairo_surface_flush(surface); }
};

// 1000 vertices on a circle, each joined to the one `step` places on: a star whose sides cross many
// times, filled by the even-odd rule.
std::vector<Point> Star(int step) {
    std::vector<Point> p;
    for (int i = 0; i < 1000; ++i) {
        const double t = 2 * M_PI * ((i * step) % 1000) / 1000;
        p.emplace_back(static_cast<int>(960 + 530 * std::cos(t)), static_cast<int>(540 + 530 * std::sin(t)));
    }
    return p;
}

// 1000 vertices alternating between two radii: a star of 500 points.
std::vector<Point> Spikes() {
    std::vector<Point> p;
    for (int i = 0; i < 1000; ++i) {
        const double t = 2 * M_PI * i / 1000;
        const double r = i % 2 == 0 ? 535 : 380;
        p.emplace_back(static_cast<int>(960 + r * std::cos(t)), static_cast<int>(540 + r * std::sin(t)));
    }
    return p;
}

void BM_Star(benchmark::State& state) {
    const std::vector<Point> star = state.range(0) == 0 ? Spikes() : Star(static_cast<int>(state.range(0)));
    CDC dc(CDC::kMemory, 1920, 1080);
    dc.SetBrush(0x00FF00, 0);
    dc.SetPen(0xFFFFFF, 0, 0);  // the fill alone
    Cairo c(1920, 1080);
    cairo_set_fill_rule(c.cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_set_source_rgb(c.cr, 0, 1, 0);
    Race(
        state, [&] { dc.Polygon(star.data(), static_cast<int>(star.size())); },
        [&] {
            cairo_move_to(c.cr, star[0].x, star[0].y);
            for (const Point& q : star) cairo_line_to(c.cr, q.x, q.y);
            cairo_close_path(c.cr);
            cairo_fill(c.cr);
            c.Flush();
        });
}
// 0: 500 points (a simple polygon); 499 and 333: sides crossing across the whole picture.
BENCHMARK(BM_Star)->Arg(0)->Arg(333)->Arg(499)->Unit(benchmark::kMillisecond);

void BM_Lines(benchmark::State& state) {
    std::mt19937 rng(1);
    std::vector<Point> ends(20000);
    for (Point& p : ends) p = Point(static_cast<int>(rng() % 1920), static_cast<int>(rng() % 1080));
    CDC dc(CDC::kMemory, 1920, 1080);
    dc.SetPen(0xFFFFFF, 0, 1);
    Cairo c(1920, 1080);
    cairo_set_source_rgb(c.cr, 1, 1, 1);
    cairo_set_line_width(c.cr, 1);
    Race(
        state,
        [&] {
            for (size_t i = 0; i < ends.size(); i += 2) {
                dc.MoveTo(ends[i].x, ends[i].y);
                dc.LineTo(ends[i + 1].x, ends[i + 1].y);
            }
        },
        [&] {
            // Cairo at its fastest: one path of 10,000 segments, stroked once.
            for (size_t i = 0; i < ends.size(); i += 2) {
                cairo_move_to(c.cr, ends[i].x + 0.5, ends[i].y + 0.5);
                cairo_line_to(c.cr, ends[i + 1].x + 0.5, ends[i + 1].y + 0.5);
            }
            cairo_stroke(c.cr);
            c.Flush();
        });
}
BENCHMARK(BM_Lines)->Unit(benchmark::kMillisecond);

void BM_FilledEllipses(benchmark::State& state) {
    std::mt19937 rng(2);
    std::vector<CRect> boxes(200);
    for (CRect& r : boxes) {
        const int w = 20 + static_cast<int>(rng() % 600), h = 20 + static_cast<int>(rng() % 400);
        const int x = static_cast<int>(rng() % (1920 - w)), y = static_cast<int>(rng() % (1080 - h));
        r = CRect(x, y, x + w, y + h);
    }
    CDC dc(CDC::kMemory, 1920, 1080);
    dc.SetBrush(0x0000FF, 0);
    dc.SetPen(0, 0, 0);  // the interior alone
    Cairo c(1920, 1080);
    cairo_set_source_rgb(c.cr, 1, 0, 0);
    Race(
        state, [&] { for (const CRect& r : boxes) dc.Ellipse(&r); },
        [&] {
            for (const CRect& r : boxes) {
                // The same box as the context's: even semi-axes about the rectangle's centre.
                const int rx = r.Width() >> 1, ry = r.Height() >> 1;
                cairo_save(c.cr);
                cairo_translate(c.cr, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
                cairo_scale(c.cr, rx, ry);
                cairo_arc(c.cr, 0, 0, 1, 0, 2 * M_PI);
                cairo_restore(c.cr);
                cairo_fill(c.cr);
            }
            c.Flush();
        });
}
BENCHMARK(BM_FilledEllipses)->Unit(benchmark::kMillisecond);

// 32 characters of DejaVu Sans at 24 pixels, every glyph already cached on both sides, blended over
// an RGB565 picture.
void BM_TrueTypeText(benchmark::State& state) {
    static const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    varnelle::draw::testing::TempDir root("bench");
    std::filesystem::create_directories(root.Path() + "/data/Fonts");
    std::filesystem::copy_file(kFont, root.Path() + "/data/Fonts/DejaVuSans.ttf");
    setenv("VARNELLE_ROOT", root.Path().c_str(), 1);
    IFontManager::SetFontFile("/data/Fonts/DejaVuSans.ttf", "/data/Fonts/DejaVuSans.ttf");
    const Size size(24, 24);
    SetDefaultFontSize(0, &size);
    CLocales::instance();
    const char* text = "Quick brown foxes jump over dogs";  // 32 characters

    CDC dc(CDC::kMemory, 640, 48);
    dc.SetTextColor(0xFFFFFF, kFontNormal);
    const CRect r(0, 0, 640, 48);

    FT_Library lib;
    FT_Face face;
    FT_Init_FreeType(&lib);
    FT_New_Face(lib, kFont, 0, &face);
    cairo_font_face_t* cf = cairo_ft_font_face_create_for_ft_face(face, 0);
    Cairo c(640, 48);
    cairo_set_antialias(c.cr, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_face(c.cr, cf);
    cairo_set_font_size(c.cr, 24);
    cairo_set_source_rgb(c.cr, 1, 1, 1);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(c.cr, options);
    // Both caches warm.
    dc.DrawText(&r, text, 100);
    cairo_move_to(c.cr, 0, 19);
    cairo_show_text(c.cr, text);

    Race(
        state, [&] { dc.DrawText(&r, text, 100); },
        [&] {
            cairo_move_to(c.cr, 0, 19);
            cairo_show_text(c.cr, text);
            c.Flush();
        });
    cairo_font_options_destroy(options);
    cairo_font_face_destroy(cf);
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    unsetenv("VARNELLE_ROOT");
}
BENCHMARK(BM_TrueTypeText)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
