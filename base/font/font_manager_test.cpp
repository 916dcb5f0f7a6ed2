#include "base/font/font_manager.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/font/bitmap_font_manager.h"
#include "base/font/font_manager_tt.h"
#include "base/font/font_test_util.h"

namespace {

using varnelle::font_test::TempDir;

struct DecodeCase {
    const char* name;
    std::vector<unsigned char> bytes;  // a NUL is appended
    uint16_t code;
    int length;
};

TEST(FontUtf8Test, DecodesTableOfSequences) {
    const DecodeCase cases[] = {
        {"ascii", {0x41}, 0x41, 1},
        {"two bytes", {0xC3, 0xA9}, 0xE9, 2},
        {"three bytes", {0xE4, 0xB8, 0xAD}, 0x4E2D, 3},
        {"four bytes stop", {0xF0, 0x9F, 0x98, 0x80}, 0, 0},
        {"two cut by ascii consumes it", {0xC3, 0x41}, 0xC0, 2},
        {"three cut by ascii", {0xE4, 0x41, 0x42}, 0x4000, 3},
        {"three cut after one continuation", {0xE4, 0xB8, 0x41}, 0x4E00, 3},
        {"three cut by a lead byte", {0xE4, 0xC3, 0xA9}, 0x4000, 3},
        {"two cut by a four-byte lead", {0xC3, 0xF0}, 0xC0, 2},
        {"stray continuation", {0x80, 0x41}, 0, 0},
        {"four-byte lead at start", {0xF8, 0x41}, 0, 0},
        {"overlong nul is not rejected", {0xC0, 0x80}, 0, 2},
        {"empty", {}, 0, 0},
        // The text ends inside a sequence: the caller must not step over the terminating NUL.
        {"two cut by the end", {0xC3}, 0, 0},
        {"three cut by the end", {0xE4, 0xB8}, 0, 0},
        {"three cut by ascii then the end", {0xE4, 0x41}, 0, 0},
        {"three cut by a lead then the end", {0xE4, 0xC3}, 0, 0},
    };
    for (const DecodeCase& c : cases) {
        std::vector<char> text(c.bytes.begin(), c.bytes.end());
        text.push_back('\0');
        int length = -1;
        EXPECT_EQ(IFontManager::DecodeUtf8Char(text.data(), length), c.code) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
    }
    int length = -1;
    EXPECT_EQ(IFontManager::DecodeUtf8Char(nullptr, length), 0);
    EXPECT_EQ(length, 0);
}

// Every code point of the basic plane against the C library's decoder in a UTF-8 locale.
TEST(FontUtf8Test, EveryBmpCodePointMatchesLibcDecoder) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    ASSERT_NE(utf8, static_cast<locale_t>(0));
    locale_t previous = uselocale(utf8);
    int checked = 0;
    for (uint32_t cp = 1; cp <= 0xFFFF; ++cp) {
        char bytes[MB_LEN_MAX + 1] = {};
        std::mbstate_t st{};
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            // Surrogates have no UTF-8 form in the C library; the decoder takes their three-byte shape.
            bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
            int length = 0;
            ASSERT_EQ(IFontManager::DecodeUtf8Char(bytes, length), cp);
            ASSERT_EQ(length, 3);
            continue;
        }
        const size_t n = std::wcrtomb(bytes, static_cast<wchar_t>(cp), &st);
        ASSERT_NE(n, static_cast<size_t>(-1)) << cp;
        wchar_t back = 0;
        std::mbstate_t st2{};
        ASSERT_EQ(std::mbrtowc(&back, bytes, n, &st2), n);
        int length = 0;
        const uint16_t code = IFontManager::DecodeUtf8Char(bytes, length);
        ASSERT_EQ(code, static_cast<uint32_t>(back)) << std::hex << cp;
        ASSERT_EQ(length, static_cast<int>(n)) << std::hex << cp;
        ++checked;
    }
    // Beyond the basic plane every character is a four-byte sequence, where callers stop.
    for (uint32_t cp = 0x10000; cp <= 0x10FFFF; cp += 0x101) {
        char bytes[MB_LEN_MAX + 1] = {};
        std::mbstate_t st{};
        ASSERT_EQ(std::wcrtomb(bytes, static_cast<wchar_t>(cp), &st), 4u);
        int length = -1;
        IFontManager::DecodeUtf8Char(bytes, length);
        ASSERT_EQ(length, 0) << std::hex << cp;
    }
    uselocale(previous);
    freelocale(utf8);
    EXPECT_EQ(checked, 0xFFFF - 0x800);
}

// Walking random bytes the way every caller does never reads past the terminating NUL (the buffers are
// sized exactly, so the address sanitizer build sees any overrun).
TEST(FontUtf8Test, WalkOverRandomBytesStaysInsideText) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(1, 255), len(0, 12);
    for (int iter = 0; iter < 20000; ++iter) {
        const int n = len(rng);
        std::vector<char> text(static_cast<size_t>(n) + 1, '\0');
        for (int i = 0; i < n; ++i) text[static_cast<size_t>(i)] = static_cast<char>(byte(rng));
        const char* p = text.data();
        while (*p != '\0') {
            int length = 0;
            IFontManager::DecodeUtf8Char(p, length);
            if (length == 0) break;
            p += length;
            ASSERT_LE(p - text.data(), n);
        }
    }
}

TEST(FontDefaultSizeTest, StartsAtSixteenAndTwentyFourAndTakesNewValues) {
    FontSize size;
    ASSERT_TRUE(GetDefaultFontSize(1, &size));
    EXPECT_EQ(size.width, 16);
    EXPECT_EQ(size.height, 16);
    ASSERT_TRUE(GetDefaultFontSize(0, &size));
    EXPECT_EQ(size.width, 24);
    EXPECT_EQ(size.height, 24);
    EXPECT_FALSE(GetDefaultFontSize(0, nullptr));

    EXPECT_TRUE(StoreDefaultFontSize(2, 20));
    EXPECT_TRUE(StoreDefaultFontSize(0, 32));
    for (int bad : {0, -1, 256}) EXPECT_FALSE(StoreDefaultFontSize(0, bad)) << bad;
    GetDefaultFontSize(7, &size);
    EXPECT_EQ(size.width, 20);
    GetDefaultFontSize(0, &size);
    EXPECT_EQ(size.height, 32);
    StoreDefaultFontSize(1, 16);
    StoreDefaultFontSize(0, 24);
}

TEST(FontDumpTest, PrintsSetPixelsAsStarsRowByRow) {
    const uint8_t bits[] = {0x81, 0x40, 0xFF, 0x00};  // 16 x 2, then nothing past the row's bytes
    CFontManagerTT renderer("");
    testing::internal::CaptureStdout();
    renderer.DumpBitmap(bits, FontSize{16, 2});
    renderer.DumpBitmap(bits, FontSize{12, 2});  // rows of one byte; columns 8 to 11 are not stored
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "*      * *      \n"
              "********        \n"
              "*      *    \n"
              " *          \n");
}

// The process-wide choice: paths are chip paths under $VARNELLE_ROOT, and both renderers follow a newly
// named font, also when they were fetched before any font was named.
TEST(FontManagerSingletonTest, SetFontFileChoosesRendererAndRenderersFollowNewFonts) {
    TempDir root;
    std::filesystem::create_directories(root.Path() + "/data/Fonts");
    ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont(root.Path() + "/data/Fonts/Font.bin", 24));
    ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont(root.Path() + "/data/Fonts/FontSmall.bin", 16));
    std::filesystem::copy_file(varnelle::font_test::kDejaVu, root.Path() + "/data/Fonts/Sans.ttf");
    const std::string thai = varnelle::font_test::ThaiFont();
    ASSERT_FALSE(thai.empty());
    std::filesystem::copy_file(thai, root.Path() + "/data/Fonts/Thai.ttf");
    ASSERT_EQ(setenv("VARNELLE_ROOT", root.Path().c_str(), 1), 0);
    // The program's check that a font exists looks in the tree the renderers open.
    EXPECT_TRUE(CFile::Access("/data/Fonts/Sans.ttf", 0));

    // Fetched before any font is named (as drawing contexts are at start-up): nothing to draw yet.
    EXPECT_FALSE(IFontManager::IsTrueType());
    IFontManager* bitmap = IFontManager::instance();
    EXPECT_EQ(bitmap, CFontManager::instance());
    EXPECT_EQ(bitmap->GetCharRaster('A', nullptr, nullptr), 0);

    IFontManager::SetFontFile("/data/Fonts/Sans.ttf", "/data/Fonts/Sans.ttf");
    EXPECT_TRUE(IFontManager::IsTrueType());
    IFontManager* tt = IFontManager::instance();
    EXPECT_EQ(tt, CFontManagerTT::instance());
    const FontSize size{24, 24};
    GlyphRaster thaiKo;
    tt->GetCharRaster(0x0E01, &size, &thaiKo);  // DejaVu Sans has no Thai: glyph index 0
    EXPECT_GT(CFontManagerTT::instance()->CachedGlyphCount(), 0u);

    IFontManager::SetFontFile("/data/Fonts/Thai.ttf", "/data/Fonts/Thai.ttf");
    EXPECT_EQ(IFontManager::instance(), tt);
    EXPECT_EQ(CFontManagerTT::instance()->CachedGlyphCount(), 0u);  // reopened on this request
    GlyphRaster thaiKo2;
    tt->GetCharRaster(0x0E01, &size, &thaiKo2);
    EXPECT_TRUE(thaiKo2.width != thaiKo.width || thaiKo2.advance != thaiKo.advance ||
                thaiKo2.rows != thaiKo.rows);

    IFontManager::SetFontFile("/data/Fonts/Font.bin", "/data/Fonts/FontSmall.bin");
    EXPECT_FALSE(IFontManager::IsTrueType());
    EXPECT_EQ(IFontManager::instance(), bitmap);
    const uint16_t preload[] = {0xE9};
    CFontManager::instance()->CacheChars(preload, 1);
    EXPECT_GT(bitmap->GetCharRaster('A', nullptr, nullptr), 0);
    const FontSize smallSize{16, 16};
    EXPECT_GT(bitmap->GetCharRaster('A', &smallSize, nullptr), 0);
    EXPECT_LT(bitmap->GetCharRaster('W', &smallSize, nullptr), bitmap->GetCharRaster('W', nullptr, nullptr));

    // Other files are opened on the next request; the preloaded codes are read again from them.
    IFontManager::SetFontFile("/data/Fonts/Missing.bin", "/data/Fonts/Missing.bin");
    EXPECT_EQ(IFontManager::instance(), bitmap);
    EXPECT_EQ(bitmap->GetCharRaster('A', nullptr, nullptr), 0);
    EXPECT_EQ(bitmap->GetCharRaster(0xE9, nullptr, nullptr), 0);
    IFontManager::SetFontFile("/data/Fonts/Font.bin", "/data/Fonts/FontSmall.bin");
    EXPECT_GT(bitmap->GetCharRaster(0xE9, nullptr, nullptr), 0);
    unsetenv("VARNELLE_ROOT");
}

}  // namespace
