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

// The hooks alone: no layer, and no mouse: the node is never opened and a packet there is not read.
TEST(CommDrawHookTest, HooksOpenNothingAndReadNoPacket) {
    auto driver = MouseDriver::Get();
    GraphicsLayer* sentinel = reinterpret_cast<GraphicsLayer*>(0x1234);
    GraphicsLayer* slot = sentinel;
    GraphicsSurface request = MakeLayerRequest(0);
    EXPECT_EQ(SlaveGraphicsCreate(&request, &slot), 0);
    EXPECT_EQ(slot, sentinel) << "the board has no layer to give";

    const int opens = driver->OpenCount();
    EXPECT_EQ(DevMouseOpenHook(), 0);
    EXPECT_EQ(driver->OpenCount(), opens) << "the node is not opened";
    ASSERT_TRUE(driver->Inject(0x02, 5, -6, 1));
    const size_t queued = driver->Queued();
    uint8_t packet[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_NE(DevMouseReadHook(packet), 0) << "no packet";
    EXPECT_NE(DevMouseReadHook(nullptr), 0);
    EXPECT_EQ(packet[0], 0xAA) << "the buffer is left alone";
    EXPECT_EQ(driver->Queued(), queued) << "the node's packet stays unread";
}

// As in the program: the GDI front starts the reader, which finds no mouse and asks again once a
// second, without using the processor; packets given to the node never reach the listener.
TEST(CommDrawHookTest, StartedReaderFindsNoMouseAndIsIdle) {
    auto driver = MouseDriver::Get();
    ASSERT_EQ(CGDI::instance()->addListener(GdiListener::Plain(Heard::Listen)), 1);
    CThreadManager::instance();  // it announces itself when first made, maybe on the mouse thread
    testing::internal::CaptureStdout();
    CGDI::instance()->start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CGDI::start()>>>>>>>>\n") << "and no layer refreshed";
    EXPECT_EQ(CGraphicsManager::instance()->GetLayer(0), nullptr);
    CDevMouse* mouse = CDevMouse::instance();
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (mouse->GetThreadId() <= 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int tid = mouse->GetThreadId();
    ASSERT_GT(tid, 0);
    const int64_t before = varnelle::draw::testing::ThreadCpuNs(tid);
    ASSERT_TRUE(driver->Inject(0, 10, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LT(varnelle::draw::testing::ThreadCpuNs(tid) - before, 25'000'000) << "more than 1% of a core";
    EXPECT_FALSE(mouse->isPresent());
    EXPECT_EQ(Heard::Get().Count(), 0u);
    EXPECT_EQ(driver->WaitForWaiting(1, std::chrono::milliseconds(50)), false) << "nobody reads the node";
    CGDI::instance()->removeListener(GdiListener::Plain(Heard::Listen));
}

}  // namespace
