#include "draw/testing/cairo_compare.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

namespace varnelle::draw_testing {

namespace {

uint32_t Rgb888(uint16_t p) {
    const uint32_t r5 = p >> 11, g6 = (p >> 5) & 63, b5 = p & 31;
    return (r5 << 3 | r5 >> 2) << 16 | (g6 << 2 | g6 >> 4) << 8 | (b5 << 3 | b5 >> 2);
}

uint16_t Argb1555To565(uint16_t p) {
    const uint16_t r5 = (p >> 10) & 31, g5 = (p >> 5) & 31, b5 = p & 31;
    return static_cast<uint16_t>(r5 << 11 | (g5 << 1 | g5 >> 4) << 5 | b5);
}

// Whether `value` occurs in `pic` within `distance` of (x, y).
bool Near(const Picture& pic, int x, int y, int distance, uint16_t value) {
    const int x0 = std::max(0, x - distance), x1 = std::min(pic.Width() - 1, x + distance);
    const int y0 = std::max(0, y - distance), y1 = std::min(pic.Height() - 1, y + distance);
    for (int yy = y0; yy <= y1; ++yy)
        for (int xx = x0; xx <= x1; ++xx)
            if (pic.At(xx, yy) == value) return true;
    return false;
}

}  // namespace

Picture::Picture(int width, int height, uint16_t fill)
    : m_width(std::max(width, 0)),
      m_height(std::max(height, 0)),
      m_pixels(static_cast<size_t>(m_width) * m_height, fill) {}

Picture Picture::FromMemory(const void* pixels, int pitch, int width, int height, PixelFormat format) {
    Picture pic(width, height);
    const auto* base = static_cast<const uint8_t*>(pixels);
    for (int y = 0; y < pic.m_height; ++y) {
        const auto* row = reinterpret_cast<const uint16_t*>(base + static_cast<ptrdiff_t>(y) * pitch);
        for (int x = 0; x < pic.m_width; ++x)
            pic.Set(x, y, format == PixelFormat::kArgb1555 ? Argb1555To565(row[x]) : row[x]);
    }
    return pic;
}

bool Picture::WritePng(const std::string& path) const {
    if (m_width == 0 || m_height == 0) return false;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, m_width, m_height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return false;
    }
    cairo_surface_flush(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < m_height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        for (int x = 0; x < m_width; ++x) row[x] = Rgb888(At(x, y));
    }
    cairo_surface_mark_dirty(s);
    const bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return ok;
}

uint16_t Rgb565(uint32_t colour) {
    const uint32_t r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
    return static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
}

CairoCanvas::CairoCanvas(int width, int height, uint32_t background)
    : m_surface(cairo_image_surface_create(CAIRO_FORMAT_RGB16_565, width, height)),
      m_cr(cairo_create(m_surface)) {
    cairo_set_antialias(m_cr, CAIRO_ANTIALIAS_NONE);
    SetColor(background);
    cairo_paint(m_cr);
}

CairoCanvas::~CairoCanvas() {
    cairo_destroy(m_cr);
    cairo_surface_destroy(m_surface);
}

void CairoCanvas::SetColor(uint32_t colour) {
    // The channel's 5 or 6 bits widened back to 8, so cairo's truncation lands on them again.
    const uint16_t p = Rgb565(colour);
    const uint32_t rgb = Rgb888(p);
    cairo_set_source_rgb(m_cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                         (rgb & 0xFF) / 255.0);
}

void CairoCanvas::FillPixel(int x, int y) {
    cairo_rectangle(m_cr, x, y, 1, 1);
    cairo_fill(m_cr);
}

Picture CairoCanvas::Snapshot() const {
    cairo_surface_flush(m_surface);
    return Picture::FromMemory(cairo_image_surface_get_data(m_surface),
                               cairo_image_surface_get_stride(m_surface),
                               cairo_image_surface_get_width(m_surface),
                               cairo_image_surface_get_height(m_surface), PixelFormat::kRgb565);
}

Comparison Compare(const Picture& got, const Picture& want, int distance) {
    Comparison c;
    c.sameSize = got.Width() == want.Width() && got.Height() == want.Height();
    if (!c.sameSize) return c;
    for (int y = 0; y < got.Height(); ++y)
        for (int x = 0; x < got.Width(); ++x) {
            const uint16_t g = got.At(x, y), w = want.At(x, y);
            if (g == w) continue;
            ++c.differing;
            if (Near(want, x, y, distance, g) && Near(got, x, y, distance, w)) continue;
            if (c.beyond++ == 0) {
                c.firstX = x;
                c.firstY = y;
            }
        }
    return c;
}

const std::string& FailureDirectory() {
    static std::mutex mutex;
    static std::string dir;
    std::lock_guard<std::mutex> lock(mutex);
    if (dir.empty()) {
        const char* root = std::getenv("VARNELLE_TEST_OUT");
        std::error_code ec;
        const std::filesystem::path base = root != nullptr && *root != '\0'
                                               ? std::filesystem::path(root)
                                               : std::filesystem::current_path(ec);
        std::string pattern = (base / "varnelle-draw-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) dir = pattern;
    }
    return dir;
}

testing::AssertionResult MatchesWithin(const Picture& got, const Picture& want, Tolerance tolerance,
                                       const std::string& name) {
    const Comparison c = Compare(got, want, tolerance.distance);
    if (c.sameSize && c.beyond <= tolerance.outliers) return testing::AssertionSuccess();

    std::ostringstream msg;
    msg << name << ": ";
    if (!c.sameSize) {
        msg << "size " << got.Width() << "x" << got.Height() << ", want " << want.Width() << "x"
            << want.Height();
    } else {
        msg << c.beyond << " pixels beyond " << tolerance.distance << " px (" << tolerance.outliers
            << " allowed), " << c.differing << " differ; first at (" << c.firstX << ", " << c.firstY
            << "): got 0x" << std::hex << got.At(c.firstX, c.firstY) << ", want 0x"
            << want.At(c.firstX, c.firstY) << std::dec;
    }
    const std::string& dir = FailureDirectory();
    if (dir.empty()) return testing::AssertionFailure() << msg.str() << "; no directory for the pictures";
    const std::string stem = dir + "/" + name;
    bool written = got.WritePng(stem + "-got.png") && want.WritePng(stem + "-want.png");
    if (c.sameSize) {
        Picture diff(got.Width(), got.Height(), 0x4208);  // dark grey where equal
        for (int y = 0; y < got.Height(); ++y)
            for (int x = 0; x < got.Width(); ++x) {
                if (got.At(x, y) == want.At(x, y)) continue;
                const bool near = Near(want, x, y, tolerance.distance, got.At(x, y)) &&
                                  Near(got, x, y, tolerance.distance, want.At(x, y));
                diff.Set(x, y, near ? 0xFFE0 : 0xF800);
            }
        written = diff.WritePng(stem + "-diff.png") && written;
    }
    msg << "; pictures " << (written ? "in " : "could not all be written to ") << stem << "-*.png";
    return testing::AssertionFailure() << msg.str();
}

}  // namespace varnelle::draw_testing
