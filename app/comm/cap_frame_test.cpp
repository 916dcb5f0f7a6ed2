#include "app/comm/cap_frame.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Headers written out by hand from the layout: I frame 1920x1080 at 25 fps, 0x1234 bytes, time
// 0x89ABCDEF; then 2560x1440 (width bit 11 in flag bit 4) and 2048x2160 (width bit 11, height bit 11).
TEST(CapFrameTest, IFrameHeadersMatchTheLayoutByteForByte) {
    struct Case {
        uint32_t w, h;
        uint8_t flags, b6, b7;
    } cases[] = {
        {1920, 1080, 0x02, 0xF0, 0x87},
        {2560, 1440, 0x12, 0x40, 0xB4},
        {2048, 2160, 0x52, 0x00, 0x0E},
        {8184, 8184, 0xF2, 0xFF, 0xFF},
    };
    for (const Case& c : cases) {
        uint8_t buf[16];
        ASSERT_EQ(CapFrameWriteHeader(buf, CAP_FRAME_I, 0x1234, 25, c.w, c.h, 0x89ABCDEF, 0), 16u);
        const uint8_t want[16] = {0, 0, 1, 0xFD, c.flags, 25, c.b6, c.b7, 0xEF, 0xCD, 0xAB, 0x89, 0x34, 0x12, 0, 0};
        EXPECT_EQ(std::memcmp(buf, want, 16), 0) << c.w << "x" << c.h;
        CapFrameHeader h;
        ASSERT_EQ(CapFrameReadHeader(buf, 16, &h), 1);
        EXPECT_EQ(h.u32Kind, static_cast<uint32_t>(CAP_FRAME_I));
        EXPECT_EQ(h.u32Width, c.w);
        EXPECT_EQ(h.u32Height, c.h);
        EXPECT_EQ(h.u32FrameLen, 0x1234u);
        EXPECT_EQ(h.u32Time, 0x89ABCDEFu);
        EXPECT_EQ(h.u32HeadLen, 16u);
    }
}

TEST(CapFrameTest, ShortHeadersAndPictures) {
    uint8_t buf[16];
    ASSERT_EQ(CapFrameWriteHeader(buf, CAP_FRAME_P, 0x01020304, 0, 0, 0, 0, 0), 8u);
    const uint8_t p[8] = {0, 0, 1, 0xFC, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(buf, p, 8), 0);
    ASSERT_EQ(CapFrameWriteHeader(buf, CAP_FRAME_AUDIO, 480, 0, 0, 0, 0, 14), 8u);
    const uint8_t a[8] = {0, 0, 1, 0xF0, 14, 2, 0xE0, 0x01};
    EXPECT_EQ(std::memcmp(buf, a, 8), 0);
    // A picture never carries the size extension bits.
    ASSERT_EQ(CapFrameWriteHeader(buf, CAP_FRAME_PICTURE, 9, 30, 2560, 1440, 7, 0), 16u);
    EXPECT_EQ(buf[3], 0xFA);
    EXPECT_EQ(buf[4], 2);
    EXPECT_EQ(CapFrameWriteHeader(buf, 2, 9, 30, 704, 576, 7, 0), 0u) << "kind 2 has no header";
    EXPECT_EQ(CapFrameWriteHeader(buf, 5, 9, 30, 704, 576, 7, 0), 0u);
}

TEST(CapFrameTest, ReaderTakesTheRateFromFiveBitsAndNeedsTheWholeHeader) {
    uint8_t buf[16] = {0, 0, 1, 0xFD, 0x02, 0xF9, 88, 72, 0, 0, 0, 0, 5, 0, 0, 0};
    CapFrameHeader h;
    EXPECT_EQ(CapFrameReadHeader(buf, 15, &h), -1);
    ASSERT_EQ(CapFrameReadHeader(buf, 16, &h), 1);
    EXPECT_EQ(h.u32FrameRate, 25u);
    EXPECT_EQ(h.u32Width, 704u);
    EXPECT_EQ(h.u32Height, 576u);
    // The audio codec byte is the reader's to interpret; the length is two bytes.
    const uint8_t a[8] = {0, 0, 1, 0xF0, 22, 2, 0x41, 0x06};
    EXPECT_EQ(CapFrameReadHeader(a, 7, &h), -1);
    ASSERT_EQ(CapFrameReadHeader(a, 8, &h), 1);
    EXPECT_EQ(h.u32Kind, static_cast<uint32_t>(CAP_FRAME_AUDIO));
    EXPECT_EQ(h.u32FrameLen, 1601u);
    EXPECT_EQ(h.u32Codec, 22u);
    for (const std::vector<uint8_t>& other :
         {std::vector<uint8_t>{0, 0, 1, 0xFB, 0, 0, 0, 0}, {0, 0, 0, 1, 0xFD, 0, 0, 0}, {0, 0, 1}}) {
        EXPECT_EQ(CapFrameReadHeader(other.data(), other.size(), &h), 0);
    }
}

TEST(CapFrameTest, PackedTimeFields) {
    struct Case {
        int year, mon, day, hour, min, sec;
        uint32_t packed;
    } cases[] = {
        {2024, 2, 29, 13, 45, 59, 59u | 45u << 6 | 13u << 12 | 29u << 17 | 2u << 22 | 24u << 26},
        {2000, 1, 1, 0, 0, 0, 1u << 17 | 1u << 22},
        {2063, 12, 31, 23, 59, 59, 59u | 59u << 6 | 23u << 12 | 31u << 17 | 12u << 22 | 63u << 26},
        {1999, 12, 31, 23, 0, 0, 23u << 12 | 31u << 17 | 12u << 22},  // years before 2000 give 0
    };
    for (const Case& c : cases) {
        struct tm t = {};
        t.tm_year = c.year - 1900;
        t.tm_mon = c.mon - 1;
        t.tm_mday = c.day;
        t.tm_hour = c.hour;
        t.tm_min = c.min;
        t.tm_sec = c.sec;
        EXPECT_EQ(CapFramePackTime(t), c.packed) << c.year;
        uint32_t f[6];
        CapFrameUnpackTime(c.packed, f);
        EXPECT_EQ(f[1], static_cast<uint32_t>(c.mon));
        EXPECT_EQ(f[2], static_cast<uint32_t>(c.day));
        EXPECT_EQ(f[5], static_cast<uint32_t>(c.sec));
        if (c.year >= 2000) {
            EXPECT_EQ(f[0], static_cast<uint32_t>(c.year));
        }
    }
}

}  // namespace
