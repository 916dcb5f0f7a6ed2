#include "platform/drivers/vo/vo_screen.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace varnelle::drivers::vo {

namespace {

// The interface timing codes whose sizes the program relies on: its resolution command maps each
// display size to one of these.
struct TimingEntry {
    MK_U32 code;
    Timing size;
};
constexpr TimingEntry kTimings[] = {
    {6, {1920, 1080}}, {8, {1280, 720}},   {16, {800, 600}},  {17, {1024, 768}},
    {18, {1280, 1024}}, {20, {1440, 900}}, {26, {2560, 1440}}, {30, {3840, 2160}},
};
constexpr Timing kDefaultTiming{1920, 1080};
// The largest screen a timing of its own may ask for, and the largest picture a channel is scaled to.
constexpr int kMaxScreenSide = 4096;
constexpr int64_t kMaxDrawnSide = 4096;
// The largest picture the video drivers make.
constexpr uint32_t kMaxFrameSide = 8192;
// Coordinates beyond this are as good as infinite on any screen.
constexpr int64_t kMaxCoord = 1 << 16;

uint8_t Clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// [a0, a1) and [b0, b1) intersected, as [lo, hi); empty when hi <= lo.
std::pair<int64_t, int64_t> Overlap(int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
    return {std::max(a0, b0), std::min(a1, b1)};
}

bool SameRect(const RECT_S& a, const RECT_S& b) {
    return a.s32X == b.s32X && a.s32Y == b.s32Y && a.u32Width == b.u32Width && a.u32Height == b.u32Height;
}

}  // namespace

Yuv BackgroundYuv(MK_U32 rgb) {
    const int r = static_cast<int>((rgb >> 16) & 0xFF), g = static_cast<int>((rgb >> 8) & 0xFF),
              b = static_cast<int>(rgb & 0xFF);
    // Video-range BT.601, coefficients in 1/65536.
    const int y = 16 + ((16829 * r + 33039 * g + 6416 * b + 32768) >> 16);
    const int u = 128 + ((-9714 * r - 19070 * g + 28784 * b + 32768) >> 16);
    const int v = 128 + ((28784 * r - 24103 * g - 4681 * b + 32768) >> 16);
    return Yuv{Clamp8(y), Clamp8(u), Clamp8(v)};
}

Timing TimingOf(const VO_PUB_ATTR_S& pub) {
    for (const TimingEntry& t : kTimings) {
        if (t.code == pub.enIntfSync) return t.size;
    }
    const int w = pub.stSyncInfo.u16Hact, h = pub.stSyncInfo.u16Vact;
    if (w > 0 && h > 0 && w <= kMaxScreenSide && h <= kMaxScreenSide) return Timing{w, h};
    return kDefaultTiming;
}

Screen::Screen(int width, int height)
    : m_width(width),
      m_height(height),
      m_stride(FrameStride(static_cast<uint32_t>(width))),
      m_bytes(FrameBytes(static_cast<uint32_t>(width), static_cast<uint32_t>(height))) {}

Yuv420SpPlanes Screen::Planes() {
    return Yuv420SpPlanes{m_bytes.data(), m_stride, m_bytes.data() + m_stride * m_height, m_stride, m_width, m_height};
}

std::pair<uint8_t, uint8_t> Screen::ChromaAt(int x, int y) const {
    const size_t at = m_stride * m_height + static_cast<size_t>(y / 2) * m_stride + static_cast<size_t>(x & ~1);
    return {m_bytes[at], m_bytes[at + 1]};
}

void Screen::Fill(Yuv colour) {
    uint8_t* y = m_bytes.data();
    for (int row = 0; row < m_height; ++row) std::memset(y + row * m_stride, colour.y, static_cast<size_t>(m_width));
    // Chroma pairs Cr, Cb.
    uint8_t* uv = y + m_stride * m_height;
    const size_t pairs = static_cast<size_t>(m_width + 1) / 2;
    for (size_t i = 0; i < pairs; ++i) {
        uv[2 * i] = colour.v;
        uv[2 * i + 1] = colour.u;
    }
    for (int row = 1; row < (m_height + 1) / 2; ++row) std::memcpy(uv + row * m_stride, uv, 2 * pairs);
}

Compositor::PlanKey Compositor::KeyOf(const ScreenPlan& plan) {
    PlanKey key{plan.width, plan.height, plan.background, {}};
    key.draws.reserve(plan.draws.size());
    for (const ChannelDraw& d : plan.draws) key.draws.push_back(DrawKey{d.layer, d.chn, d.seq, d.rect, d.clip});
    return key;
}

bool Compositor::Same(const PlanKey& a, const PlanKey& b) {
    if (a.width != b.width || a.height != b.height || !(a.background == b.background) ||
        a.draws.size() != b.draws.size()) {
        return false;
    }
    for (size_t i = 0; i < a.draws.size(); ++i) {
        const DrawKey &x = a.draws[i], &y = b.draws[i];
        if (x.layer != y.layer || x.chn != y.chn || x.seq != y.seq || !SameRect(x.rect, y.rect) ||
            !SameRect(x.clip, y.clip)) {
            return false;
        }
    }
    return true;
}

RECT_S MapToScreen(const RECT_S& chnRect, const VO_VIDEO_LAYER_ATTR_S& layer, int screenW, int screenH,
                   RECT_S* layerClip) {
    // The master sets these records: clamped first, so no product below can overflow.
    auto clampPos = [](MK_S32 v) { return std::clamp<int64_t>(v, -kMaxCoord, kMaxCoord); };
    auto clampLen = [](MK_U32 v) { return std::min<int64_t>(v, kMaxCoord); };
    int64_t dx = clampPos(layer.stDispRect.s32X), dy = clampPos(layer.stDispRect.s32Y);
    int64_t dw = clampLen(layer.stDispRect.u32Width), dh = clampLen(layer.stDispRect.u32Height);
    if (dw == 0 || dh == 0) dx = 0, dy = 0, dw = screenW, dh = screenH;
    int64_t iw = clampLen(layer.stImageSize.u32Width), ih = clampLen(layer.stImageSize.u32Height);
    if (iw == 0 || ih == 0) iw = dw, ih = dh;
    *layerClip = RECT_S{static_cast<MK_S32>(dx), static_cast<MK_S32>(dy), static_cast<MK_U32>(dw), static_cast<MK_U32>(dh)};
    const int64_t cx = clampPos(chnRect.s32X), cy = clampPos(chnRect.s32Y);
    int64_t x0 = dx + cx * dw / iw, x1 = dx + (cx + clampLen(chnRect.u32Width)) * dw / iw;
    int64_t y0 = dy + cy * dh / ih, y1 = dy + (cy + clampLen(chnRect.u32Height)) * dh / ih;
    // Round the corner down to even (floor, also below zero) so chroma pairs line up with the screen's.
    x0 -= ((x0 % 2) + 2) % 2;
    y0 -= ((y0 % 2) + 2) % 2;
    if (x1 <= x0 || y1 <= y0 || x1 - x0 > kMaxDrawnSide || y1 - y0 > kMaxDrawnSide || x0 >= screenW ||
        y0 >= screenH || x1 <= 0 || y1 <= 0) {
        return RECT_S{0, 0, 0, 0};
    }
    return RECT_S{static_cast<MK_S32>(x0), static_cast<MK_S32>(y0), static_cast<MK_U32>(x1 - x0),
                  static_cast<MK_U32>(y1 - y0)};
}

std::shared_ptr<Screen> Compositor::FreeBuffer(int width, int height) {
    for (auto& b : m_buffers) {
        // Only this compositor can hand a buffer out, so one it alone holds stays free.
        if (b.use_count() == 1 && b->Width() == width && b->Height() == height) return b;
    }
    // Buffers of another size, or more than a few held by readers, are let go.
    std::erase_if(m_buffers, [&](const std::shared_ptr<Screen>& b) {
        return b.use_count() == 1 && (b->Width() != width || b->Height() != height);
    });
    auto fresh = std::make_shared<Screen>(width, height);
    if (m_buffers.size() < 4) m_buffers.push_back(fresh);
    return fresh;
}

bool Compositor::Update(Scaled& s, const ChannelDraw& d) {
    const int w = static_cast<int>(d.rect.u32Width), h = static_cast<int>(d.rect.u32Height);
    if (s.seq == d.seq && s.width == w && s.height == h && !s.bytes.empty()) return true;
    // Pictures sent by hand may describe themselves wrongly: rows shorter than the picture would read
    // past the planes.
    const uint32_t fw = d.frame.Width(), fh = d.frame.Height();
    if (fw == 0 || fh == 0 || fw > kMaxFrameSide || fh > kMaxFrameSide || d.frame.Stride(0) < fw ||
        d.frame.Stride(1) < 2 * ((fw + 1) / 2)) {
        return false;
    }
    uint8_t* y = d.frame.Plane(0);
    uint8_t* uv = d.frame.Plane(1);
    if (y == nullptr || uv == nullptr) return false;
    const size_t stride = static_cast<size_t>((w + 1) & ~1);
    s.bytes.resize(stride * h + stride * ((h + 1) / 2));
    Yuv420SpPlanes src{y, d.frame.Stride(0), uv, d.frame.Stride(1), static_cast<int>(d.frame.Width()),
                       static_cast<int>(d.frame.Height())};
    Yuv420SpPlanes dst{s.bytes.data(), stride, s.bytes.data() + stride * h, stride, w, h};
    if (!s.scaler.Scale(src, dst)) return false;
    m_scaledCount.fetch_add(1, std::memory_order_relaxed);
    s.seq = d.seq;
    s.width = w;
    s.height = h;
    return true;
}

void Compositor::Blit(const Scaled& s, const ChannelDraw& d, Screen& screen) {
    const int64_t x = d.rect.s32X, y = d.rect.s32Y;
    // The part of the picture that lies on the screen and in its layer's display rectangle.
    auto [x0, x1] = Overlap(x, x + s.width, 0, screen.Width());
    std::tie(x0, x1) = Overlap(x0, x1, d.clip.s32X, static_cast<int64_t>(d.clip.s32X) + d.clip.u32Width);
    auto [y0, y1] = Overlap(y, y + s.height, 0, screen.Height());
    std::tie(y0, y1) = Overlap(y0, y1, d.clip.s32Y, static_cast<int64_t>(d.clip.s32Y) + d.clip.u32Height);
    if (x1 <= x0 || y1 <= y0) return;
    const size_t stride = static_cast<size_t>((s.width + 1) & ~1);
    const uint8_t* sy = s.bytes.data();
    const uint8_t* suv = sy + stride * s.height;
    Yuv420SpPlanes out = screen.Planes();
    for (int64_t row = y0; row < y1; ++row) {
        std::memcpy(out.y + row * out.yStride + x0, sy + (row - y) * stride + (x0 - x), static_cast<size_t>(x1 - x0));
    }
    // Whole chroma pairs from the even column at or before x0 to the pair that holds x1 - 1; the rows
    // that hold y0 to y1 - 1. x and y are even, so pairs and rows line up with the picture's.
    const int64_t cx0 = x0 & ~int64_t{1}, cx1 = std::min<int64_t>((x1 + 1) & ~int64_t{1}, 2 * ((screen.Width() + 1) / 2));
    const int64_t cy0 = y0 / 2, cy1 = (y1 + 1) / 2;
    for (int64_t row = cy0; row < cy1; ++row) {
        std::memcpy(out.uv + row * out.uvStride + cx0, suv + (row - y / 2) * stride + (cx0 - x),
                    static_cast<size_t>(cx1 - cx0));
    }
}

std::shared_ptr<const Screen> Compositor::Compose(const ScreenPlan& plan) {
    PlanKey key = KeyOf(plan);
    if (m_haveLast && Same(key, m_last)) return nullptr;
    std::shared_ptr<Screen> screen = FreeBuffer(plan.width, plan.height);
    screen->Fill(plan.background);
    for (auto& [key, s] : m_scaled) s.used = false;
    for (const ChannelDraw& d : plan.draws) {
        if (d.rect.u32Width == 0 || d.rect.u32Height == 0) continue;
        Scaled& s = m_scaled[{d.layer, d.chn}];
        s.used = true;
        if (Update(s, d)) Blit(s, d, *screen);
    }
    std::erase_if(m_scaled, [](const auto& entry) { return !entry.second.used; });
    m_last = std::move(key);
    m_haveLast = true;
    return screen;
}

void Compositor::Clear() {
    m_last = PlanKey{};
    m_haveLast = false;
    m_scaled.clear();
}

bool WriteScreenPng(const Screen& screen, const std::string& path) {
    const int w = screen.Width(), h = screen.Height();
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * 3);
    volatile bool ok = false;
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        // A person looks at it about once a second: speed over size.
        png_set_compression_level(png, 1);
        // One filter rather than the best of five a row: a fifth of the time, and for screens (flat
        // areas, pictures that repeat down the rows) as small as any.
        png_set_filter(png, 0, PNG_FILTER_UP);
        png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        const size_t stride = screen.Stride();
        for (int y = 0; y < h; ++y) {
            const uint8_t* luma = screen.Bytes().data() + static_cast<size_t>(y) * stride;
            const uint8_t* pairs = screen.Bytes().data() + stride * h + static_cast<size_t>(y / 2) * stride;
            for (int x = 0; x < w; x += 2) {
                // Video-range BT.601 to RGB, coefficients in 1/65536; the chroma terms once a pair.
                const int d = pairs[x + 1] - 128, e = pairs[x] - 128;  // pairs hold Cr, then Cb
                const int r = 104597 * e + 32768, g = -25675 * d - 53279 * e + 32768, b = 132201 * d + 32768;
                for (int k = x; k < std::min(x + 2, w); ++k) {
                    const int c = (luma[k] - 16) * 76309;
                    rgb[3 * k] = Clamp8((c + r) >> 16);
                    rgb[3 * k + 1] = Clamp8((c + g) >> 16);
                    rgb[3 * k + 2] = Clamp8((c + b) >> 16);
                }
            }
            png_write_row(png, rgb.data());
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    const bool written = std::fclose(f) == 0 && ok;
    if (!written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace varnelle::drivers::vo
