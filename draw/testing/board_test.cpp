// A board whose hooks give a layer (the test layer) and a mouse (the mouse node): mouse events reach
// the GDI front's listeners, and a listener moves the cursor over layer 0, also while another
// thread draws under the cursor's guard.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "draw/cursor.h"
#include "draw/dev_mouse.h"
#include "draw/draw_hooks.h"
#include "draw/gdi.h"
#include "draw/testing/printers.h"
#include "draw/testing/test_layer.h"
#include "draw/testing/test_util.h"
#include "platform/dev/dev.h"
#include "platform/drivers/mouse/mouse_driver.h"

namespace {

std::atomic<int> g_mouseFd{-1};

}  // namespace

// This board's mouse is the mouse node.
int DevMouseOpenHook() {
    if (g_mouseFd.load() < 0) g_mouseFd.store(varnelle::dev::Open("/dev/mouse", O_RDONLY));
    return 0;
}

int DevMouseReadHook(void* pBuf) {
    const int fd = g_mouseFd.load();
    return fd >= 0 && varnelle::dev::Read(fd, pBuf, 4) == 4 ? 0 : -1;
}

namespace {

using varnelle::draw::testing::TestLayer;
using varnelle::draw::testing::TestLayerCall;
using varnelle::drivers::MouseDriver;

constexpr int kW = 720;
constexpr int kH = 576;
constexpr auto kWait = std::chrono::seconds(10);

// Moves the cursor to each position the mouse reports, and counts what it heard.
class Follower : public CGdiObject {
public:
    int OnMouse(uint32_t msg, uint32_t, uint32_t pos, int) {
        if (msg == kMouseMoved) CCursor::instance()->setPosition(int(pos >> 16), int(pos & 0xFFFF), true);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heard.push_back(msg);
        m_cond.notify_all();
        return 0;
    }
    // Waits until msg has been heard count times in all.
    bool WaitFor(uint32_t msg, int count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kWait, [&] { return std::count(m_heard.begin(), m_heard.end(), msg) >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<uint32_t> m_heard;
};

class BoardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        varnelle::drivers::InstallMouseDriver();
        testing::internal::CaptureStdout();
        CGDI::instance()->start();  // refreshes layer 0 before the cursor reads it
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(MouseDriver::Get()->WaitForWaiting(1, kWait));
    }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new BoardEnvironment);

// An arrow-ish cursor: an opaque light block with a dark edge, hot spot at its corner.
void WriteCursor(const std::string& path) {
    std::vector<uint8_t> f(326, 0);
    auto put16 = [&](size_t at, uint32_t v) { f[at] = uint8_t(v), f[at + 1] = uint8_t(v >> 8); };
    put16(2, 2), put16(4, 1), f[6] = 32, f[7] = 32, f[18] = 22;
    put16(36, 1);
    for (int row = 0; row < 32; ++row) {
        const int fileRow = 31 - row;
        const uint32_t shape = row < 16 ? ~0u << (31 - row) : 0;  // a triangle
        const uint32_t inner = row < 16 && row > 1 ? ~0u << (31 - row + 1) & ~(1u << 31) : 0;
        for (int b = 0; b < 4; ++b) {
            f[70 + 4 * fileRow + b] = uint8_t(inner >> (24 - 8 * b));          // XOR: light inside
            f[198 + 4 * fileRow + b] = uint8_t(~shape >> (24 - 8 * b));        // AND: see-through outside
        }
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
}

TEST(BoardTest, MouseMovesTheCursorOverLayerZero) {
    auto driver = MouseDriver::Get();
    TestLayer& layer = *TestLayer::Get(0);
    CCursor* cursor = CCursor::instance();
    varnelle::draw::testing::TempDir dir("board");
    WriteCursor(dir.File("arrow.cur"));
    ASSERT_EQ(cursor->MakeCursor(dir.File("arrow.cur").c_str(), 0), 1);
    const std::vector<uint16_t> background(layer.pixels(0), layer.pixels(0) + kW * kH);

    Follower follower;
    const GdiListener listener = GdiListener::Member(&follower, &Follower::OnMouse);
    ASSERT_EQ(CGDI::instance()->addListener(listener), 1);
    const CRect bounds(0, 0, kW, kH);
    CDevMouse::instance()->setRect(&bounds);
    cursor->setPosition(kW / 2, kH / 2, false);
    cursor->enable(true);
    cursor->show(true);

    layer.ClearCalls();
    ASSERT_TRUE(driver->Inject(0, 20, -10, 0));
    ASSERT_TRUE(follower.WaitFor(kMouseMoved, 1));
    Point p;
    cursor->getPosition(&p);
    EXPECT_EQ(p, Point(380, 298));
    EXPECT_EQ(CDevMouse::instance()->getPosition(), Point(380, 298));
    bool toldLayer = false;
    for (const TestLayerCall& c : layer.Calls()) toldLayer |= c.op == TestLayerCall::kSetCursorPos && c.a == 380 && c.b == 298;
    EXPECT_TRUE(toldLayer);
    // The light inside of the arrow shows just below and right of the hot spot; the old place is clean.
    EXPECT_EQ(layer.Pixel(0, 381, 298 + 5), 0x7FFF);
    EXPECT_EQ(layer.Pixel(0, 361, 288 + 5), background[(288 + 5) * kW + 361]);
    varnelle::draw::testing::TraceLayer("board-cursor");

    cursor->show(false);
    EXPECT_TRUE(std::equal(background.begin(), background.end(), layer.pixels(0)));
    CGDI::instance()->removeListener(listener);
}

// The mouse thread moves the cursor while this thread draws under its guard: no drawn pixel is lost
// and no cursor pixel is left behind.
TEST(BoardTest, MovesFromTheMouseThreadDuringGuardedDrawing) {
    auto driver = MouseDriver::Get();
    TestLayer& layer = *TestLayer::Get(0);
    CCursor* cursor = CCursor::instance();
    varnelle::draw::testing::TempDir dir("board");
    WriteCursor(dir.File("arrow.cur"));
    ASSERT_EQ(cursor->MakeCursor(dir.File("arrow.cur").c_str(), 1), 1);
    cursor->setCursor(1);
    cursor->show(false);
    std::vector<uint16_t> shadow(layer.pixels(0), layer.pixels(0) + kW * kH);
    Follower follower;
    const GdiListener listener = GdiListener::Member(&follower, &Follower::OnMouse);
    ASSERT_EQ(CGDI::instance()->addListener(listener), 1);
    cursor->enable(true);
    cursor->show(true);

    std::thread injector([&] {
        std::mt19937 rng(6);
        for (int i = 0; i < 2000; ++i) {
            while (!driver->Inject(0, int8_t(rng() % 61) - 30, int8_t(rng() % 61) - 30, 0)) std::this_thread::yield();
        }
        // A click after the moves: once it is heard, every move before it has been handled.
        while (!driver->Inject(4, 0, 0, 0)) std::this_thread::yield();
    });
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        const int l = int(rng() % kW), t = int(rng() % kH);
        const CRect r(l, t, std::min(kW, l + 1 + int(rng() % 60)), std::min(kH, t + 1 + int(rng() % 60)));
        const auto v = static_cast<uint16_t>(rng());
        cursor->guardRect(0, &r);
        for (int y = r.top; y < r.bottom; ++y) {
            for (int x = r.left; x < r.right; ++x) layer.pixels(0)[y * kW + x] = shadow[y * kW + x] = v;
        }
        cursor->guardRect(1, &r);
    }
    injector.join();
    ASSERT_TRUE(follower.WaitFor(kMouseMiddleDown, 1));
    ASSERT_TRUE(driver->Inject(0, 0, 0, 0));
    ASSERT_TRUE(follower.WaitFor(kMouseMiddleUp, 1));
    CGDI::instance()->removeListener(listener);
    cursor->show(false);
    EXPECT_TRUE(std::equal(shadow.begin(), shadow.end(), layer.pixels(0)));
}

}  // namespace
