// The board's hooks for the drawing library, and the mouse reader and GDI front running on them
// over the mouse node.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/comm/comm_hook.h"
#include "base/thread.h"
#include "draw/dev_mouse.h"
#include "draw/gdi.h"
#include "draw/graphics_manager.h"
#include "draw/testing/mouse_message.h"
#include "draw/testing/test_util.h"
#include "platform/drivers/mouse/mouse_driver.h"

namespace {

using varnelle::drivers::MouseDriver;

constexpr auto kWait = std::chrono::seconds(10);

using varnelle::draw::testing::Msg;
using varnelle::draw::testing::Pos;

// What the GDI front's listener heard, in order.
class Heard {
public:
    static int Listen(uint32_t msg, uint32_t first, uint32_t second, int) {
        Heard& h = Get();
        std::lock_guard<std::mutex> lock(h.m_mutex);
        h.m_msgs.push_back({msg, first, second});
        h.m_cond.notify_all();
        return 0;
    }
    static Heard& Get() {
        static Heard* h = new Heard;
        return *h;
    }
    // The messages heard since the last call, once there are at least n.
    std::vector<Msg> Take(size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, kWait, [&] { return m_msgs.size() >= n; });
        std::vector<Msg> out;
        out.swap(m_msgs);
        return out;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_msgs.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Msg> m_msgs;
};

// The hooks alone, before any mouse reader exists.
TEST(CommDrawHookTest, HooksOpenAndReadTheMouseNode) {
    auto driver = MouseDriver::Get();
    GraphicsLayer* sentinel = reinterpret_cast<GraphicsLayer*>(0x1234);
    GraphicsLayer* slot = sentinel;
    GraphicsSurface request = MakeLayerRequest(0);
    EXPECT_EQ(SlaveGraphicsCreate(&request, &slot), 0);
    EXPECT_EQ(slot, sentinel) << "the board has no layer to give";

    uint8_t packet[4] = {};
    EXPECT_NE(DevMouseReadHook(packet), 0) << "not opened yet";
    const int opens = driver->OpenCount();
    EXPECT_EQ(DevMouseOpenHook(), 0);
    EXPECT_EQ(DevMouseOpenHook(), 0);
    EXPECT_EQ(driver->OpenCount(), opens + 1) << "the node is opened once";

    ASSERT_TRUE(driver->Inject(0x02, 5, -6, 1));
    EXPECT_EQ(DevMouseReadHook(packet), 0);
    EXPECT_EQ(packet[0], 0x02);
    EXPECT_EQ(static_cast<int8_t>(packet[1]), 5);
    EXPECT_EQ(static_cast<int8_t>(packet[2]), -6);
    EXPECT_EQ(static_cast<int8_t>(packet[3]), 1);
    EXPECT_NE(DevMouseReadHook(nullptr), 0);
    driver->Unplug();
    EXPECT_NE(DevMouseReadHook(packet), 0) << "an unplugged mouse gives no packet";
    driver->Plug();
    driver->FailRead(EIO);
    EXPECT_NE(DevMouseReadHook(packet), 0);
}

// As in the program: the GDI front starts the reader, which finds no mouse while nothing is
// injected and waits in its read without using the processor.
TEST(CommDrawHookTest, StartedReaderWithoutPacketsIsIdle) {
    auto driver = MouseDriver::Get();
    ASSERT_EQ(CGDI::instance()->addListener(GdiListener::Plain(Heard::Listen)), 1);
    CThreadManager::instance();  // it announces itself when first made, maybe on the mouse thread
    testing::internal::CaptureStdout();
    CGDI::instance()->start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CGDI::start()>>>>>>>>\n") << "and no layer refreshed";
    EXPECT_EQ(CGraphicsManager::instance()->GetLayer(0), nullptr);
    CDevMouse* mouse = CDevMouse::instance();
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));
    const int tid = mouse->GetThreadId();
    ASSERT_GT(tid, 0);
    const int64_t before = varnelle::draw::testing::ThreadCpuNs(tid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(varnelle::draw::testing::ThreadCpuNs(tid) - before, 20'000'000) << "more than 1% of a core";
    EXPECT_FALSE(mouse->isPresent());
    EXPECT_EQ(Heard::Get().Count(), 0u);
}

TEST(CommDrawHookTest, PacketsThroughTheNodeReachTheListener) {
    auto driver = MouseDriver::Get();
    CDevMouse* mouse = CDevMouse::instance();
    const CRect bounds(0, 0, 720, 576);
    mouse->setRect(&bounds);
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));

    // Bit 7 announces no mouse, but its movement counts.
    ASSERT_TRUE(driver->Inject(0x80, 10, 0, 0));
    EXPECT_EQ(Heard::Get().Take(1), (std::vector<Msg>{{0x20006, 0x80, Pos(370, 288)}}));
    EXPECT_FALSE(mouse->isPresent());
    ASSERT_TRUE(driver->Inject(0, 0, 0, 0));
    EXPECT_EQ(Heard::Get().Take(1), (std::vector<Msg>{{0x20004, 0, 0}}));
    EXPECT_TRUE(mouse->isPresent());

    // Far moves stop at the last column and row; packets that move nothing further post nothing.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(driver->Inject(0, 127, -127, 0));
    EXPECT_EQ(Heard::Get().Take(3), (std::vector<Msg>{{0x20006, 0, Pos(497, 415)},
                                                      {0x20006, 0, Pos(624, 542)},
                                                      {0x20006, 0, Pos(719, 575)}}));

    ASSERT_TRUE(driver->Inject(0, 0, 0, -1));
    ASSERT_TRUE(driver->Inject(1, 0, 0, 0));
    ASSERT_TRUE(driver->Inject(0, -19, 0, 0));
    EXPECT_EQ(Heard::Get().Take(4),
              (std::vector<Msg>{{0x20007, 0xFFFF0000, Pos(719, 575)},
                                {0x20008, 1, Pos(719, 575)},
                                {0x20006, 0, Pos(700, 575)},
                                {0x20009, 0, Pos(700, 575)}}));

    // Unplugged: lost; plugged again and moved: found.
    driver->Unplug();
    EXPECT_EQ(Heard::Get().Take(1), (std::vector<Msg>{{0x20005, 0, 0}}));
    EXPECT_FALSE(mouse->isPresent());
    driver->Plug();
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));
    ASSERT_TRUE(driver->Inject(0, 0, 1, 0));
    EXPECT_EQ(Heard::Get().Take(2), (std::vector<Msg>{{0x20004, 0, 0}, {0x20006, 0, Pos(700, 574)}}));
    CGDI::instance()->removeListener(GdiListener::Plain(Heard::Listen));
}

}  // namespace
