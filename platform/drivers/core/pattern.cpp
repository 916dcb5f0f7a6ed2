#include "platform/drivers/core/pattern.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace varnelle::drivers {
namespace {

// 5x7 glyphs of the digits and the colon, one row a byte, bit 4 the leftmost column.
constexpr uint8_t kGlyphs[11][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},  // ':'
};
constexpr int kColon = 10;

// Sixteen hues as (U, V): 128 + 96 * (cos, sin) of 22.5-degree steps.
constexpr uint8_t kHues[16][2] = {
    {224, 128}, {217, 165}, {196, 196}, {165, 217}, {128, 224}, {91, 217}, {60, 196}, {39, 165},
    {32, 128},  {39, 91},   {60, 60},   {91, 39},   {128, 32},  {165, 39}, {196, 60}, {217, 91},
};
constexpr uint8_t kLevels[3] = {96, 144, 192};

constexpr uint8_t kWhite = 235;
constexpr uint8_t kBlack = 16;
constexpr uint8_t kNeutral = 128;
// The scene never reaches the labels' black and white, so a label's edge is where those values end.
constexpr int kSceneMin = 24, kSceneMax = 228;

// ---- The scene behind the labels ----
//
// A camera's picture costs an encoder its texture (once per key frame), its noise (every picture) and
// what moves. Drawing that per pixel for eight 1080p inputs at 25 pictures a second would cost more
// than the encoders, so the scene is made of precomputed tiles: a texture repeated every kTileW x
// kTileH pixels, in kPhases copies that share the texture and differ in their noise. Each picture
// copies, for each kBand-row band and tile column, the copy its own hash picks, so the noise changes
// from picture to picture where the texture stays (as an encoder sees a still camera's noise).
constexpr int kTileW = 256, kTileH = 128, kPhases = 8, kBand = 16;
constexpr int kChromaTileH = kTileH / 2;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value from -1 to 1 for a point of an integer grid.
float Lattice(uint64_t seed, int x, int y) {
    const uint64_t h =
        Mix(seed ^ Mix((static_cast<uint64_t>(static_cast<uint32_t>(x)) << 32) | static_cast<uint32_t>(y)));
    return static_cast<float>(h >> 40) / static_cast<float>(1u << 23) - 1.0f;
}

// Smooth noise from -1 to 1 with features about `cell` pixels across, repeating every w x h pixels
// (multiples of `cell`).
float Smooth(uint64_t seed, int x, int y, int cell, int w, int h) {
    const int gw = w / cell, gh = h / cell;
    const int gx = x / cell, gy = y / cell;
    auto ease = [](float t) { return t * t * (3 - 2 * t); };
    const float fx = ease(static_cast<float>(x % cell) / static_cast<float>(cell));
    const float fy = ease(static_cast<float>(y % cell) / static_cast<float>(cell));
    const float a = Lattice(seed, gx % gw, gy % gh), b = Lattice(seed, (gx + 1) % gw, gy % gh);
    const float c = Lattice(seed, gx % gw, (gy + 1) % gh), d = Lattice(seed, (gx + 1) % gw, (gy + 1) % gh);
    return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
}

uint8_t Clamp(float v, int lo, int hi) {
    return static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), lo, hi));
}

struct SceneTiles {
    // Per luma level: kPhases tiles of kTileH rows of kTileW bytes.
    std::array<std::vector<uint8_t>, 3> luma;
    // Per hue: kChromaTileH rows of kTileW bytes, chroma pairs V then U. Chroma has no noise of its own.
    std::array<std::vector<uint8_t>, 16> chroma;
};

SceneTiles MakeSceneTiles() {
    SceneTiles t;
    // Texture: blotches of three sizes and a fine grain, about +-45 in luma.
    std::vector<float> texture(static_cast<size_t>(kTileW) * kTileH);
    for (int y = 0; y < kTileH; ++y) {
        for (int x = 0; x < kTileW; ++x) {
            texture[static_cast<size_t>(y) * kTileW + x] =
                26 * Smooth(1, x, y, 64, kTileW, kTileH) + 12 * Smooth(2, x, y, 16, kTileW, kTileH) +
                6 * Smooth(3, x, y, 4, kTileW, kTileH) + 3 * Lattice(4, x, y);
        }
    }
    // Noise of each copy: a fine grain, and speckles a few pixels across that survive the scaling
    // down to a sub stream's size.
    std::vector<float> noise(static_cast<size_t>(kPhases) * kTileW * kTileH);
    for (int k = 0; k < kPhases; ++k) {
        for (int y = 0; y < kTileH; ++y) {
            for (int x = 0; x < kTileW; ++x) {
                noise[(static_cast<size_t>(k) * kTileH + y) * kTileW + x] =
                    7 * Smooth(100 + k, x, y, 8, kTileW, kTileH) + 4 * Lattice(200 + k, x, y);
            }
        }
    }
    for (int l = 0; l < 3; ++l) {
        std::vector<uint8_t>& tile = t.luma[l];
        tile.resize(noise.size());
        for (size_t i = 0; i < tile.size(); ++i) {
            tile[i] = Clamp(kLevels[l] + texture[i % texture.size()] + noise[i], kSceneMin, kSceneMax);
        }
    }
    // Chroma: the hue, shifted in slow patches.
    std::vector<float> dv(static_cast<size_t>(kTileW / 2) * kChromaTileH), du(dv.size());
    for (int y = 0; y < kChromaTileH; ++y) {
        for (int x = 0; x < kTileW / 2; ++x) {
            dv[static_cast<size_t>(y) * (kTileW / 2) + x] =
                12 * Smooth(5, x, y, 16, kTileW / 2, kChromaTileH);
            du[static_cast<size_t>(y) * (kTileW / 2) + x] =
                12 * Smooth(6, x, y, 16, kTileW / 2, kChromaTileH);
        }
    }
    for (int h = 0; h < 16; ++h) {
        std::vector<uint8_t>& tile = t.chroma[h];
        tile.resize(static_cast<size_t>(kTileW) * kChromaTileH);
        for (size_t i = 0; i < dv.size(); ++i) {
            tile[2 * i] = Clamp(kHues[h][1] + dv[i], 16, 240);
            tile[2 * i + 1] = Clamp(kHues[h][0] + du[i], 16, 240);
        }
    }
    return t;
}

const SceneTiles& Tiles() {
    // Never destroyed: the capture threads draw with it until the process has ended.
    static const SceneTiles* tiles = new SceneTiles(MakeSceneTiles());
    return *tiles;
}

// Copies bytes [x0, x1) of plane row `y` from `tiles` (`phases` tiles of `tileH` rows of kTileW
// bytes), the tile of each tile column chosen by `seed` and the row's band.
void SceneSpan(uint8_t* row, const uint8_t* tiles, int tileH, int phases, uint64_t seed, int y, int x0,
               int x1) {
    const size_t tileBytes = static_cast<size_t>(tileH) * kTileW;
    const uint8_t* const line = tiles + static_cast<size_t>(y % tileH) * kTileW;
    for (int x = x0; x < x1;) {
        const int col = x / kTileW;
        const int end = std::min(x1, (col + 1) * kTileW);
        const int phase = phases == 1 ? 0
                                      : static_cast<int>(Mix(seed ^ (static_cast<uint64_t>(y / kBand) << 20) ^
                                                             static_cast<uint64_t>(col)) %
                                                         kPhases);
        std::memcpy(row + x, line + phase * tileBytes + x % kTileW, static_cast<size_t>(end - x));
        x = end;
    }
}

// ---- Drawing helpers ----

// Fills the clipped rectangle of the luma plane, and the chroma under it with neutral grey.
void FillBox(const PatternFrame& f, int x0, int y0, int w, int h, uint8_t luma, bool neutralChroma) {
    int x1 = std::min(f.width, x0 + w), y1 = std::min(f.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    if (x1 <= x0 || y1 <= y0) return;
    for (int y = y0; y < y1; ++y) std::memset(f.y + y * f.yStride + x0, luma, static_cast<size_t>(x1 - x0));
    if (!neutralChroma || f.uv == nullptr) return;
    // Chroma bytes [x0 & ~1, x1) of the chroma rows that cover the box.
    int cx0 = x0 & ~1;
    for (int cy = y0 / 2; cy < (y1 + 1) / 2; ++cy) {
        std::memset(f.uv + cy * f.uvStride + cx0, kNeutral, static_cast<size_t>(x1 - cx0));
    }
}

// Chroma pairs (V, U) over bytes [x0, x1) of a chroma row; x0 even. A few pairs by hand, then copies
// of what is done, doubling (byte by byte, the frame's chroma cost more than the rest of the scene).
void FillPairs(uint8_t* row, int x0, int x1, uint8_t u, uint8_t v) {
    uint8_t* const p = row + x0;
    const int n = x1 - x0;
    int done = std::min(n, 32);
    for (int i = 0; i < done; ++i) p[i] = (i & 1) ? u : v;
    while (done < n) {
        const int more = std::min(done, n - done);
        std::memcpy(p + done, p, static_cast<size_t>(more));
        done += more;
    }
}

// Draws `text` (digits and colons) in white with scale `s` starting at (x, y); returns its width.
int DrawText(const PatternFrame& f, const int* glyphs, int n, int x, int y, int s) {
    for (int i = 0; i < n; ++i) {
        const uint8_t* g = kGlyphs[glyphs[i]];
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                if (g[gy] & (0x10 >> gx)) FillBox(f, x + (i * 6 + gx) * s, y + gy * s, s, s, kWhite, false);
            }
        }
    }
    return n * 6 * s - s;
}

// A black box with `text` in it, the box one scale unit larger than the text on every side.
void DrawLabel(const PatternFrame& f, const int* glyphs, int n, int x, int y, int s) {
    FillBox(f, x, y, n * 6 * s + s, 9 * s, kBlack, true);
    DrawText(f, glyphs, n, x + s, y + s, s);
}

void FillPlanes(const PatternFrame& f, PatternYuv c) {
    for (int y = 0; y < f.height; ++y) std::memset(f.y + y * f.yStride, c.y, static_cast<size_t>(f.width));
    if (f.uv == nullptr) return;
    uint8_t* first = f.uv;
    for (int x = 0; x < f.width; ++x) first[x] = (x & 1) ? c.u : c.v;
    for (int y = 1; y < (f.height + 1) / 2; ++y) std::memcpy(f.uv + y * f.uvStride, first, static_cast<size_t>(f.width));
}

// Where the camera scene lies: inside a thin frame along the picture's edges, and outside the
// signature area; both stay flat in the signature colour. Luma columns and rows, and the chroma bytes
// and rows that lie wholly inside (scene) or cover (signature area) them.
struct Layout {
    int ix0, ix1, iy0, iy1;      // inside the frame
    int icx0, icx1, icy0, icy1;  // chroma inside the frame
    int kx0, kx1, ky0, ky1;      // the signature area, within the inside
    int kcx0, kcx1, kcy0, kcy1;  // chroma covering it

    bool Inside(int y) const { return y >= iy0 && y < iy1; }
    bool ChromaInside(int cy) const { return cy >= icy0 && cy < icy1; }
    bool Kept(int y) const { return y >= ky0 && y < ky1; }
    bool ChromaKept(int cy) const { return cy >= kcy0 && cy < kcy1; }
};

Layout LayoutOf(int w, int h) {
    Layout l{};
    const int bx = std::min(w / 2, std::max(3, w / 64)), by = std::min(h / 2, std::max(3, h / 64));
    l.ix0 = bx;
    l.ix1 = w - bx;
    l.iy0 = by;
    l.iy1 = h - by;
    l.icx0 = (l.ix0 + 1) & ~1;
    l.icx1 = std::max(l.icx0, l.ix1 & ~1);
    l.icy0 = (l.iy0 + 1) / 2;
    l.icy1 = std::max(l.icy0, l.iy1 / 2);
    const PatternRect r = PatternSignatureRect(w, h);
    l.kx0 = std::clamp(r.x, l.ix0, l.ix1);
    l.kx1 = std::clamp(r.x + r.width, l.kx0, l.ix1);
    l.ky0 = std::clamp(r.y, l.iy0, l.iy1);
    l.ky1 = std::clamp(r.y + r.height, l.ky0, l.iy1);
    if (r.width > 0 && r.height > 0) {
        l.kcx0 = r.x & ~1;
        l.kcx1 = std::min(w, (r.x + r.width + 1) & ~1);
        l.kcy0 = r.y / 2;
        l.kcy1 = (r.y + r.height + 1) / 2;
    }
    return l;
}

// Calls `span(x0, x1)` for the parts of [x0, x1) outside [k0, k1).
template <class Span>
void Outside(int x0, int x1, int k0, int k1, Span span) {
    if (k1 <= k0 || x1 <= k0 || x0 >= k1) {
        if (x0 < x1) span(x0, x1);
        return;
    }
    if (x0 < k0) span(x0, k0);
    if (k1 < x1) span(k1, x1);
}

// The textured, noisy scene inside the frame and around the signature area; both of those in the
// signature colour.
void DrawScene(const PatternFrame& f, int channel, uint64_t frameIndex, const Layout& l) {
    const unsigned k = static_cast<unsigned>(std::max(channel, 0));
    const PatternYuv sig = PatternSignature(channel);
    const SceneTiles& tiles = Tiles();
    const uint8_t* luma = tiles.luma[(k / 16) % 3].data();
    const uint64_t seed = Mix((static_cast<uint64_t>(k) << 40) ^ frameIndex);
    for (int y = 0; y < f.height; ++y) {
        uint8_t* row = f.y + y * f.yStride;
        auto flat = [&](int a, int b) { std::memset(row + a, sig.y, static_cast<size_t>(b - a)); };
        if (!l.Inside(y)) {
            flat(0, f.width);
            continue;
        }
        flat(0, l.ix0);
        auto scene = [&](int a, int b) { SceneSpan(row, luma, kTileH, kPhases, seed, y, a, b); };
        if (l.Kept(y)) {
            scene(l.ix0, l.kx0);
            flat(l.kx0, l.kx1);
            scene(l.kx1, l.ix1);
        } else {
            scene(l.ix0, l.ix1);
        }
        flat(l.ix1, f.width);
    }
    if (f.uv == nullptr) return;
    const uint8_t* chroma = tiles.chroma[(k * 7) % 16].data();
    for (int cy = 0; cy < (f.height + 1) / 2; ++cy) {
        uint8_t* row = f.uv + cy * f.uvStride;
        auto flat = [&](int a, int b) { FillPairs(row, a, b, sig.u, sig.v); };
        if (!l.ChromaInside(cy)) {
            flat(0, f.width);
            continue;
        }
        flat(0, l.icx0);
        auto scene = [&](int a, int b) {
            if (a < b) SceneSpan(row, chroma, kChromaTileH, 1, 0, cy, a, b);
        };
        if (l.ChromaKept(cy)) {
            Outside(l.icx0, l.icx1, l.kcx0, l.kcx1, scene);
            const int a = std::max(l.icx0, l.kcx0), b = std::min(l.icx1, l.kcx1);
            if (a < b) flat(a, b);
        } else {
            scene(l.icx0, l.icx1);
        }
        flat(l.icx1, f.width);
    }
}

// Things that cross the scene, each bouncing inside the frame at its own speed. They pass behind the
// signature area and the labels. Sizes are fractions of the picture; speeds are in thousandths of its
// width or height a picture.
struct Mover {
    bool ellipse;
    int wDiv, hDiv;
    int vx, vy;
    uint8_t lumaA, lumaB;  // in stripes, so the thing has a texture of its own
    int hue;
};
constexpr Mover kMovers[] = {
    {true, 6, 5, 7, 4, 60, 84, 3},    {false, 5, 8, -5, 2, 200, 176, 9}, {true, 10, 8, 11, -9, 150, 112, 12},
    {false, 12, 4, 3, -6, 40, 68, 6}, {true, 8, 10, -9, 7, 222, 196, 0}, {false, 7, 9, 6, 10, 100, 132, 14},
};

// Where a thing is `travelled` pixels from its start, bouncing within [0, room].
int Bounce(int64_t travelled, int room) {
    if (room <= 0) return 0;
    const int64_t m = ((travelled % (2 * room)) + 2 * room) % (2 * room);
    return static_cast<int>(m <= room ? m : 2 * room - m);
}

void DrawMovers(const PatternFrame& f, int channel, uint64_t frameIndex, const Layout& l) {
    const uint64_t k = static_cast<uint64_t>(std::max(channel, 0));
    const int iw = l.ix1 - l.ix0, ih = l.iy1 - l.iy0;
    if (iw <= 0 || ih <= 0) return;
    // The paths start again after a million pictures, so the sums below stay small.
    const int64_t t = static_cast<int64_t>(frameIndex % 1000000);
    for (size_t i = 0; i < std::size(kMovers); ++i) {
        const Mover& m = kMovers[i];
        const int ow = std::max(2, f.width / m.wDiv), oh = std::max(2, f.height / m.hDiv);
        const uint64_t start = Mix(k * 16 + i);
        const int ox =
            l.ix0 +
            Bounce(static_cast<int64_t>(start % 4096) * iw / 1024 + t * m.vx * f.width / 1000, iw - ow);
        const int oy = l.iy0 + Bounce(static_cast<int64_t>((start >> 16) % 4096) * ih / 1024 +
                                          t * m.vy * f.height / 1000,
                                      ih - oh);
        const int stripe = std::max(1, oh / 6);
        const uint8_t u = kHues[m.hue][0], v = kHues[m.hue][1];
        for (int y = std::max(l.iy0, oy); y < std::min(l.iy1, oy + oh); ++y) {
            int x0 = ox, x1 = ox + ow;
            if (m.ellipse) {
                const double dy = (2.0 * (y - oy) + 1 - oh) / oh;
                const int half = static_cast<int>(ow / 2.0 * std::sqrt(std::max(0.0, 1 - dy * dy)));
                x0 = ox + ow / 2 - half;
                x1 = ox + ow / 2 + half;
            }
            x0 = std::max(l.ix0, x0);
            x1 = std::min(l.ix1, x1);
            const uint8_t luma = ((y - oy) / stripe) % 2 ? m.lumaB : m.lumaA;
            uint8_t* row = f.y + y * f.yStride;
            auto lumaSpan = [&](int a, int b) { std::memset(row + a, luma, static_cast<size_t>(b - a)); };
            Outside(x0, x1, l.Kept(y) ? l.kx0 : 0, l.Kept(y) ? l.kx1 : 0, lumaSpan);
            const int cy = y / 2;
            if (f.uv == nullptr || y % 2 != 0 || !l.ChromaInside(cy)) continue;
            uint8_t* crow = f.uv + cy * f.uvStride;
            auto chromaSpan = [&](int a, int b) { FillPairs(crow, a, b, u, v); };
            const int cx0 = std::max(l.icx0, x0 & ~1), cx1 = std::min(l.icx1, (x1 + 1) & ~1);
            Outside(cx0, cx1, l.ChromaKept(cy) ? l.kcx0 : 0, l.ChromaKept(cy) ? l.kcx1 : 0, chromaSpan);
        }
    }
}

}  // namespace

PatternYuv PatternSignature(int channel) {
    unsigned k = static_cast<unsigned>(std::max(channel, 0));
    // Seven steps at a time, so that neighbouring channels get far-apart hues.
    const uint8_t* hue = kHues[(k * 7) % 16];
    return PatternYuv{kLevels[(k / 16) % 3], hue[0], hue[1]};
}

PatternRect PatternSignatureRect(int width, int height) {
    return PatternRect{width / 2, height / 16, width * 15 / 16 - width / 2, height / 2 - height / 16};
}

void DrawFlat(const PatternFrame& f, PatternYuv colour) {
    if (f.y == nullptr || f.width <= 0 || f.height <= 0) return;
    FillPlanes(f, colour);
}

void DrawTestPattern(const PatternFrame& f, int channel, uint64_t frameIndex, int secondsOfDay,
                     PatternScene scene) {
    if (f.y == nullptr || f.width <= 0 || f.height <= 0) return;
    if (scene == PatternScene::kCamera) {
        const Layout layout = LayoutOf(f.width, f.height);
        DrawScene(f, channel, frameIndex, layout);
        DrawMovers(f, channel, frameIndex, layout);
    } else {
        FillPlanes(f, PatternSignature(channel));
    }

    // The channel's number, about a quarter of the picture high, kept left of the signature area.
    int digits[12];
    int n = 0;
    unsigned c = static_cast<unsigned>(std::max(channel, 0));
    int reversed[12];
    do {
        reversed[n++] = static_cast<int>(c % 10);
        c /= 10;
    } while (c != 0 && n < 12);
    for (int i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
    const int margin = f.width / 16;
    const int room = std::max(1, f.width / 2 - 2 * margin);
    int scale = std::max(1, std::min(f.height / 28, room / (6 * n + 1)));
    DrawLabel(f, digits, n, margin, f.height / 16, scale);

    // The moving element: a white bar that crosses the band between five and six eighths of the height.
    const int barW = std::max(2, f.width / 32);
    const int span = std::max(1, f.width - barW);
    const uint64_t step = static_cast<uint64_t>(std::max(1, f.width / 50));
    const int barX = static_cast<int>((frameIndex * step) % static_cast<uint64_t>(span));
    FillBox(f, barX, f.height * 5 / 8, barW, f.height / 8, kWhite, true);

    // The time of day at the bottom left.
    if (secondsOfDay >= 0) {
        int t = secondsOfDay % 86400;
        int hh = t / 3600, mm = t / 60 % 60, ss = t % 60;
        const int text[8] = {hh / 10, hh % 10, kColon, mm / 10, mm % 10, kColon, ss / 10, ss % 10};
        int ts = std::max(1, std::min(f.height / 48, std::max(1, f.width - 2 * margin) / (6 * 8 + 1)));
        DrawLabel(f, text, 8, margin, f.height - f.height / 32 - 9 * ts, ts);
    }
}

}  // namespace varnelle::drivers
