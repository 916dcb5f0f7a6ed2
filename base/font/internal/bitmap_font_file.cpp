#include "base/font/internal/bitmap_font_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnelle::font_internal {
namespace {

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads exactly `n` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, void* dst, size_t n, uint64_t offset) {
    auto* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
        const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

BitmapFontFile::~BitmapFontFile() {
    Close();
}

void BitmapFontFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_ranges.clear();
    m_ascii.clear();
    m_iWidth = m_iHeight = m_iGlyphBytes = 0;
}

FontFileError BitmapFontFile::Open(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FontFileError::kCannotOpen;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FontFileError::kCannotOpen;
    }
    const uint64_t fileLength = static_cast<uint64_t>(st.st_size);
    auto fail = [fd](FontFileError e) {
        ::close(fd);
        return e;
    };

    std::array<uint8_t, kHeaderBytes> header{};
    if (!ReadAt(fd, header.data(), header.size(), 0)) return fail(FontFileError::kShortHeader);
    if (Le32(&header[16]) != fileLength) return fail(FontFileError::kLengthMismatch);
    const uint32_t count = Le32(&header[20]);
    if (count == 0) return fail(FontFileError::kNoRanges);
    if (kHeaderBytes + static_cast<uint64_t>(count) * kRangeBytes > fileLength)
        return fail(FontFileError::kTableOutsideFile);

    std::vector<uint8_t> table(static_cast<size_t>(count) * kRangeBytes);
    if (!ReadAt(fd, table.data(), table.size(), kHeaderBytes)) return fail(FontFileError::kTableOutsideFile);
    std::vector<BitmapFontRange> ranges(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = &table[static_cast<size_t>(i) * kRangeBytes];
        ranges[i] =
            BitmapFontRange{Le16(e), Le16(e + 2), Le16(e + 4), Le16(e + 6), Le32(e + 8), Le32(e + 12)};
    }

    const int width = ranges[0].width;
    const int height = ranges[0].height;
    if (width <= 0 || width % 8 != 0 || width > kMaxGlyphPixels || height <= 0 || height > kMaxGlyphPixels)
        return fail(FontFileError::kBadGlyphSize);
    const uint64_t glyphBytes = static_cast<uint64_t>(width) * height / 8;
    if (glyphBytes > fileLength) return fail(FontFileError::kBadGlyphSize);

    for (uint32_t i = 0; i < count; ++i) {
        const BitmapFontRange& r = ranges[i];
        if (r.end < r.first || (i > 0 && r.first < ranges[i - 1].first))
            return fail(FontFileError::kRangesUnsorted);
        const uint64_t n = static_cast<uint64_t>(r.end - r.first);
        if (r.glyphOffset + n * glyphBytes > fileLength || r.advanceOffset + n > fileLength)
            return fail(FontFileError::kRangeOutsideFile);
    }

    m_fd = fd;
    m_header = header;
    m_ranges = std::move(ranges);
    m_iWidth = width;
    m_iHeight = height;
    m_iGlyphBytes = static_cast<int>(glyphBytes);

    // Every code below 128 goes through the same range lookup as the rest, so a range that straddles
    // 128 fills its ASCII part too.
    m_ascii.assign(static_cast<size_t>(m_iGlyphBytes + 1) * 128, 0);
    for (uint16_t c = 0; c < 128; ++c) {
        if (Find(c) == nullptr) continue;
        m_ascii[static_cast<size_t>(m_iGlyphBytes) * 128 + c] =
            static_cast<uint8_t>(ReadGlyph(c, &m_ascii[static_cast<size_t>(m_iGlyphBytes) * c]));
    }
    return FontFileError::kNone;
}

const BitmapFontRange* BitmapFontFile::Find(uint16_t code) const {
    // The last range whose first code is at most `code`.
    auto it = std::upper_bound(m_ranges.begin(), m_ranges.end(), code,
                               [](uint16_t c, const BitmapFontRange& r) { return c < r.first; });
    if (it == m_ranges.begin()) return nullptr;
    --it;
    return code < it->end ? &*it : nullptr;
}

int BitmapFontFile::ReadGlyph(uint16_t code, uint8_t* glyph) const {
    if (m_fd < 0) return 0;
    const BitmapFontRange* r = Find(code);
    if (r == nullptr) {
        if (glyph != nullptr) std::memset(glyph, 0xFF, static_cast<size_t>(m_iGlyphBytes));
        return m_iWidth / 2;
    }
    const uint64_t index = code - r->first;
    if (glyph != nullptr &&
        !ReadAt(m_fd, glyph, static_cast<size_t>(m_iGlyphBytes), r->glyphOffset + index * m_iGlyphBytes)) {
        std::memset(glyph, 0, static_cast<size_t>(m_iGlyphBytes));
        return 0;
    }
    uint8_t advance = 0;
    if (!ReadAt(m_fd, &advance, 1, r->advanceOffset + index)) {
        if (glyph != nullptr) std::memset(glyph, 0, static_cast<size_t>(m_iGlyphBytes));
        return 0;
    }
    return advance;
}

int BitmapFontFile::Glyph(uint16_t code, uint8_t* glyph) const {
    if (m_fd < 0) return 0;
    if (code >= 128) return ReadGlyph(code, glyph);
    const size_t gb = static_cast<size_t>(m_iGlyphBytes);
    if (glyph != nullptr) std::memcpy(glyph, &m_ascii[gb * code], gb);
    return m_ascii[gb * 128 + code];
}

}  // namespace varnelle::font_internal
