#include "draw/dev_mouse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "draw/gdi.h"
#include "draw/testing/mouse_message.h"
#include "draw/testing/test_util.h"

namespace {

using varnelle::draw::internal::MouseDecoder;
using varnelle::draw::internal::MouseMessages;

using varnelle::draw::testing::Msg;
using varnelle::draw::testing::Pos;

// Feeds one packet read at tick now and gives the messages it posts.
std::vector<Msg> Feed(MouseDecoder& d, uint8_t buttons, int8_t dx, int8_t dy, int8_t wheel, uint32_t now) {
    const uint8_t packet[4] = {buttons, static_cast<uint8_t>(dx), static_cast<uint8_t>(dy), static_cast<uint8_t>(wheel)};
    MouseMessages out;
    d.OnPacket(packet, now, &out);
    std::vector<Msg> v;
    for (int i = 0; i < out.count; ++i) v.push_back({out.items[i].code, out.items[i].first, out.items[i].second});
    return v;
}

MouseDecoder Bounded() {
    MouseDecoder d;
    d.SetBounds(CRect(0, 0, 720, 576));
    return d;
}

TEST(MouseDecoderTest, FoundMovedWheelAndButtons) {
    MouseDecoder d = Bounded();
    EXPECT_EQ(d.Position(), Point(360, 288));
    struct Step {
        uint8_t buttons;
        int8_t dx, dy, wheel;
        uint32_t now;
        std::vector<Msg> want;
    };
    const std::vector<Step> steps = {
        // Bit 7: no mouse announced, but the movement counts (y grows downwards).
        {0x80, 5, 3, 0, 1000, {{0x20006, 0x80, Pos(365, 285)}}},
        {0x00, 0, 0, 0, 1010, {{0x20004, 0, 0}}},
        {0x00, 0, 0, -2, 1020, {{0x20007, 0xFFFE0000, Pos(365, 285)}}},
        {0x00, 0, 0, 3, 1020, {{0x20007, 0x00030000, Pos(365, 285)}}},
        {0x01, 0, 0, 0, 2000, {{0x20008, 1, Pos(365, 285)}}},
        {0x03, 0, 0, 0, 2010, {{0x2000B, 3, Pos(365, 285)}}},
        {0x07, -1, 0, 1, 2020, {{0x20006, 7, Pos(364, 285)}, {0x20007, 0x00010007, Pos(364, 285)},
                               {0x2000E, 7, Pos(364, 285)}}},
        {0x00, 0, 0, 0, 2030, {{0x20009, 0, Pos(364, 285)}, {0x2000C, 0, Pos(364, 285)}, {0x2000F, 0, Pos(364, 285)}}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        EXPECT_EQ(Feed(d, s.buttons, s.dx, s.dy, s.wheel, s.now), s.want) << "step " << i;
    }
    EXPECT_TRUE(d.Present());
}

TEST(MouseDecoderTest, StaysInsideItsBounds) {
    MouseDecoder d = Bounded();
    std::mt19937 rng(2);
    for (int i = 0; i < 20000; ++i) {
        const auto dx = static_cast<int8_t>(rng()), dy = static_cast<int8_t>(rng());
        Feed(d, 0, dx, dy, 0, 0);
        const Point p = d.Position();
        ASSERT_GE(p.x, 0);
        ASSERT_LE(p.x, 719);
        ASSERT_GE(p.y, 0);
        ASSERT_LE(p.y, 575);
    }
    // Pushing against an edge moves nothing and posts nothing.
    for (int i = 0; i < 10; ++i) Feed(d, 0, -127, 127, 0, 0);
    EXPECT_EQ(d.Position(), Point(0, 0));
    EXPECT_TRUE(Feed(d, 0, -1, 1, 0, 0).empty());
    EXPECT_EQ(Feed(d, 0, 1, -1, 0, 0), (std::vector<Msg>{{0x20006, 0, Pos(1, 1)}}));
}

TEST(MouseDecoderTest, NoBoundsNoClamping) {
    MouseDecoder d;
    Feed(d, 0, -10, 10, 0, 0);
    EXPECT_EQ(d.Position(), Point(-10, -10));
}

TEST(MouseDecoderTest, DoubleClicks) {
    MouseDecoder d = Bounded();
    Feed(d, 0, 0, 0, 0, 5000);
    const uint32_t at = Pos(360, 288);
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 5000), (std::vector<Msg>{{0x20008, 1, at}}));
    Feed(d, 0, 0, 0, 0, 5100);
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 5300), (std::vector<Msg>{{0x2000A, 1, at}})) << "300 ms later";
    Feed(d, 0, 0, 0, 0, 5400);
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 5600), (std::vector<Msg>{{0x20008, 1, at}})) << "the double click used it";
    Feed(d, 0, 0, 0, 0, 5700);
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 6050), (std::vector<Msg>{{0x20008, 1, at}})) << "450 ms: too late";
    Feed(d, 0, 0, 0, 0, 6060);
    // The right button keeps its own time.
    EXPECT_EQ(Feed(d, 2, 0, 0, 0, 6100), (std::vector<Msg>{{0x2000B, 2, at}}));
    Feed(d, 0, 0, 0, 0, 6110);
    EXPECT_EQ(Feed(d, 2, 0, 0, 0, 6120), (std::vector<Msg>{{0x2000D, 2, at}}));
}

TEST(MouseDecoderTest, MovingAwayFromThePressForgetsIt) {
    MouseDecoder d = Bounded();
    Feed(d, 0, 0, 0, 0, 100000);
    Feed(d, 1, 0, 0, 0, 100000);
    Feed(d, 0, 40, -30, 0, 100010);  // 40 across, 30 down: 1200 > 900
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 100100)[0].code, 0x20008u);
    Feed(d, 0, 30, -30, 0, 100110);  // 30 x 30 = 900 is not above
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 100200)[0].code, 0x2000Au);
}

// The tick starts near 0: a first press within 450 ms of it is a press, not a double click.
TEST(MouseDecoderTest, NoEarlierPressEarlyInTheTick) {
    MouseDecoder d = Bounded();
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 100).back().code, 0x20008u);
    Feed(d, 0, 0, 0, 0, 150);
    EXPECT_EQ(Feed(d, 1, 0, 0, 0, 200).back().code, 0x2000Au);
}

TEST(MouseDecoderTest, MissingPacketsLoseAPresentMouseOnce) {
    MouseDecoder d = Bounded();
    MouseMessages out;
    d.OnMissing(&out);
    EXPECT_EQ(out.count, 0);
    Feed(d, 0, 0, 0, 0, 1);
    d.OnMissing(&out);
    d.OnMissing(&out);
    ASSERT_EQ(out.count, 1);
    EXPECT_EQ(out.items[0].code, 0x20005u);
    EXPECT_FALSE(d.Present());
    EXPECT_EQ(Feed(d, 0, 0, 0, 0, 2), (std::vector<Msg>{{0x20004, 0, 0}})) << "found again";
}

// Without a mouse (the library's own read hook) a started reader waits between reads instead of
// spinning, and announces nothing.
TEST(DevMouseTest, IdleReaderUsesAlmostNoProcessor) {
    CDevMouse* mouse = CDevMouse::instance();
    EXPECT_EQ(mouse->GetThreadName(), "DevMouse");
    int tid = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((tid = mouse->GetThreadId()) < 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_GT(tid, 0);
    const int64_t before = varnelle::draw::testing::ThreadCpuNs(tid);
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t used = varnelle::draw::testing::ThreadCpuNs(tid) - before;
    EXPECT_LT(used, 20'000'000) << "more than 1% of a core over 2 s";
    EXPECT_FALSE(mouse->isPresent());
}

TEST(DevMouseTest, SetRectCentresThePointer) {
    CDevMouse* mouse = CDevMouse::instance();
    mouse->setRect(nullptr);
    const CRect bounds(0, 0, 720, 576);
    mouse->setRect(&bounds);
    EXPECT_EQ(mouse->getPosition(), Point(360, 288));
    mouse->setPosition(5, 6);
    EXPECT_EQ(mouse->getPosition(), Point(5, 6));
}

}  // namespace
