#include "base/font/font_manager.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/font/bitmap_font_manager.h"
#include "base/font/font_manager_tt.h"
#include "base/font/internal/one_bit.h"

namespace {

std::atomic<bool> g_bTrueType{false};
std::atomic<int> g_iSmallDefault{16};
std::atomic<int> g_iNormalDefault{24};

}  // namespace

uint16_t IFontManager::DecodeUtf8Char(const char* text, int& length) {
    length = 0;
    if (text == nullptr) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    uint16_t value = 0;
    int pending = 0;  // continuation bytes still expected
    int i = 0;
    // A sequence cut short returns early with its declared length; the caller will step over that
    // many bytes, so the text must not end inside them.
    auto cut = [&](uint16_t v) -> uint16_t {
        for (int k = i + 1; k < length; ++k) {
            if (p[k] == 0) {
                length = 0;
                return 0;
            }
        }
        return v;
    };
    for (;; ++i) {
        const unsigned char b = p[i];
        if (b == 0) {
            length = 0;  // the text ends, also inside a sequence
            return 0;
        }
        if (b < 0x80) {
            if (pending != 0) return cut(value);
            length = 1;
            return b;
        }
        if ((b & 0xC0) == 0x80) {
            if (pending == 0) return 0;  // stray continuation byte: length 0
            if (pending == 1) return cut(static_cast<uint16_t>(value | (b & 0x3F)));
            value = static_cast<uint16_t>(value | ((b & 0x3F) << 6));
            pending = 1;
            continue;
        }
        if ((b & 0xE0) == 0xC0 || (b & 0xF0) == 0xE0) {
            if (pending != 0) return cut(value);
            const bool two = (b & 0xE0) == 0xC0;
            length = two ? 2 : 3;
            value = two ? static_cast<uint16_t>((b & 0x1F) << 6) : static_cast<uint16_t>((b & 0x0F) << 12);
            pending = two ? 1 : 2;
            continue;
        }
        // Four-byte (and longer, invalid) lead bytes: the value so far, length 0 at the start.
        return pending != 0 ? cut(value) : 0;
    }
}

void IFontManager::SetFontFile(const char* path, const char* smallPath) {
    if (path == nullptr) return;
    if (std::strstr(path, ".bin") == nullptr) {
        CFontManagerTT::SetFontFile(path);
        g_bTrueType.store(true);
    } else {
        CFontManager::SetFontFile(path, smallPath != nullptr ? smallPath : "");
        g_bTrueType.store(false);
    }
}

IFontManager* IFontManager::instance() {
    if (g_bTrueType.load()) return CFontManagerTT::instance();
    return CFontManager::instance();
}

bool IFontManager::IsTrueType() {
    return g_bTrueType.load();
}

bool GetDefaultFontSize(int smallFlag, FontSize* size) {
    if (size == nullptr) return false;
    const int s = smallFlag != 0 ? g_iSmallDefault.load() : g_iNormalDefault.load();
    *size = FontSize{s, s};
    return true;
}

bool StoreDefaultFontSize(int smallFlag, int pixels) {
    if (pixels < 1 || pixels > 255) return false;
    (smallFlag != 0 ? g_iSmallDefault : g_iNormalDefault).store(pixels);
    return true;
}

namespace varnelle::font_internal {

void DumpOneBit(const uint8_t* bitmap, int width, int height) {
    if (bitmap == nullptr || width <= 0 || height <= 0) return;
    const int stride = width / 8;
    for (int r = 0; r < height; ++r) {
        const uint8_t* row = bitmap + static_cast<long>(r) * stride;
        for (int c = 0; c < width; ++c) std::putchar(c < stride * 8 && OneBitAt(row, c) ? '*' : ' ');
        std::putchar('\n');
    }
}

}  // namespace varnelle::font_internal
