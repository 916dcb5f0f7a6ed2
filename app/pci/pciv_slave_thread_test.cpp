#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_test_master.h"
#include "platform/host/clock.h"
#include "platform/mcc/mcc_driver.h"

namespace {

using varnelle::testing::FakeMaster;

constexpr uint32_t kHeartPort = 122;
constexpr uint32_t kTimePort = 121;

class SlaveThreadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
        s_bus = new varnelle::testing::ScopedBus;
        varnelle::mcc::InstallMccDriver();
    }
    static void TearDownTestSuite() { delete s_bus; }
    static varnelle::testing::ScopedBus* s_bus;
};
varnelle::testing::ScopedBus* SlaveThreadTest::s_bus = nullptr;

SLAVE_TIME_S Time(int y, int mo, int d, int h, int mi, int s) {
    return SLAVE_TIME_S{y, mo, d, 0, h, mi, s, 0};
}

time_t Utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
}

TEST_F(SlaveThreadTest, HeartbeatCarriesBothBitmapsOnceThePortIsGiven) {
    FakeMaster master;
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(PCIV_OpenMsgPort(0, kHeartPort), 0);
    SlaveSetHeartbeatPort(0);
    SlaveSetMotionBitmap(0x5);
    SlaveSetBlindBitmap(0x80000001u);
    std::atomic<bool> stop{false};
    std::thread t(SlaveHeartbeatLoop, &stop);
    FakeMaster::Record r;
    EXPECT_FALSE(master.Take(kHeartPort, &r, std::chrono::milliseconds(200))) << "no port, no heartbeat";
    SlaveSetHeartbeatPort(kHeartPort);
    ASSERT_TRUE(master.Take(kHeartPort, &r));
    EXPECT_EQ(r.bytes, 16u + 8u);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 54u);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 8u);
    EXPECT_EQ(r.msg.stMsgHead.u32Target, 0u);
    EXPECT_EQ(r.msg.au32Payload[0], 0x5u);
    EXPECT_EQ(r.msg.au32Payload[1], 0x80000001u);
    SlaveSetBlindBitmap(0);
    // The next beats follow the bitmaps as they change.
    for (int i = 0; i < 20 && r.msg.au32Payload[1] != 0; ++i) ASSERT_TRUE(master.Take(kHeartPort, &r));
    EXPECT_EQ(r.msg.au32Payload[1], 0u);
    stop = true;
    t.join();
    SlaveSetHeartbeatPort(0);
    PCIV_CloseMsgPort(0, kHeartPort);
}

// Two threads each toggle their own bits of one bitmap many times over; a read-modify-write that is not
// one step would, sooner or later, write back a stale copy and lose the other thread's bit.
// The beats keep a 100 ms grid: a late send shortens the next wait, never below half a period; a
// stall starts the grid anew.
TEST(SlaveHeartbeatTest, BeatsKeepToTheirGrid) {
    struct Case {
        uint64_t due, now, next;
    } cases[] = {
        {0, 5000, 105000},          // the first beat
        {100000, 100300, 200000},   // a little late: the grid holds
        {100000, 150000, 200000},   // half a period late: still the grid
        {100000, 170000, 220000},   // later: half a period after this one
        {100000, 199999, 249999},   // late by all but a microsecond
        {100000, 200000, 250000},   // a whole period late: half a period from now
        {100000, 300000, 400000},   // two periods late: starts anew from now
        {100000, 950000, 1050000},  // a stall of most of a second: no burst of missed beats
    };
    for (const Case& c : cases) EXPECT_EQ(SlaveNextBeatUs(c.due, c.now), c.next) << c.due << " " << c.now;
}

TEST_F(SlaveThreadTest, BitmapBitsOfTwoThreadsAreNeverLost) {
    struct Ops {
        void (*set)(int32_t);
        void (*clear)(int32_t);
        void (*clearAll)();
        uint32_t (*get)();
    };
    for (const Ops& ops : {Ops{SlaveSetMotionBit, SlaveClearMotionBit, SlaveClearMotionBitmap, SlaveGetMotionBitmap},
                           Ops{SlaveSetBlindBit, SlaveClearBlindBit, SlaveClearBlindBitmap, SlaveGetBlindBitmap}}) {
        ops.clearAll();
        ops.set(31);  // a bit neither thread touches
        auto toggle = [&](int32_t chn) {
            for (int i = 0; i < 20000; ++i) {
                ops.set(chn);
                ops.clear(chn);
            }
            ops.set(chn);
        };
        std::thread a(toggle, 0), b(toggle, 1);
        a.join();
        b.join();
        EXPECT_EQ(ops.get(), 0x80000003u);
        ops.set(-1);
        ops.set(32);
        ops.clear(40);
        EXPECT_EQ(ops.get(), 0x80000003u) << "channels outside 0..31 change nothing";
        ops.clearAll();
        EXPECT_EQ(ops.get(), 0u);
    }
}

TEST_F(SlaveThreadTest, TimeSetMovesOnlyThePlatformClock) {
    FakeMaster master;
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(PCIV_OpenMsgPort(0, kTimePort), 0);
    SlaveSetTimePort(kTimePort);
    time_t hostBefore = ::time(nullptr);
    std::atomic<bool> stop{false};
    std::thread t(SlaveTimeSyncLoop, &stop);
    uint32_t beat[2] = {1, 2};
    ASSERT_TRUE(master.SendMsg(kTimePort, 54, beat, 8)) << "another type on the time port is ignored";
    SLAVE_TIME_S short_ = Time(2001, 1, 1, 0, 0, 0);
    ASSERT_TRUE(master.SendMsg(kTimePort, 23, &short_, 8)) << "a short date is refused";
    SLAVE_TIME_S tm = Time(2020, 2, 29, 8, 15, 0);
    ASSERT_TRUE(master.SendMsg(kTimePort, 23, &tm, sizeof(tm)));
    const time_t want = Utc(2020, 2, 29, 8, 15, 0);
    // Wait for the listener to have taken all three messages.
    while (varnelle::mcc::QueuedMessages(0, kTimePort) != 0 ||
           std::llabs(varnelle::host::WallSeconds() - want) > 5) {
        std::this_thread::yield();
    }
    EXPECT_LE(std::llabs(varnelle::host::WallSeconds() - want), 5);
    EXPECT_LE(std::llabs(::time(nullptr) - hostBefore), 60) << "the host clock is never set";
    stop = true;
    t.join();
    SlaveSetTimePort(0);
    PCIV_CloseMsgPort(0, kTimePort);
}

TEST_F(SlaveThreadTest, DatesAreNormalisedNotRejected) {
    struct Case {
        SLAVE_TIME_S in;
        time_t want;
    } cases[] = {
        {Time(2018, 13, 1, 0, 0, 0), Utc(2019, 1, 1, 0, 0, 0)},
        {Time(2018, 3, 0, 12, 0, 0), Utc(2018, 2, 28, 12, 0, 0)},
        {Time(2038, 1, 19, 3, 14, 8), Utc(2038, 1, 19, 3, 14, 8)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SlaveSetCurrentTime(&c.in), 0);
        EXPECT_LE(std::llabs(varnelle::host::WallSeconds() - c.want), 5)
            << c.in.s32Year << "-" << c.in.s32Month;
    }
}

// The master sends its local time; a zone with summer time must read it back unchanged, summer and
// winter. UTC offsets of Berlin written by hand: +2 in summer, +1 in winter.
TEST_F(SlaveThreadTest, LocalTimeInAZoneWithSummerTimeReadsBackAsSent) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    struct Case {
        SLAVE_TIME_S in;
        time_t utc;
    } cases[] = {
        {Time(2020, 7, 15, 8, 15, 0), Utc(2020, 7, 15, 6, 15, 0)},
        {Time(2020, 1, 15, 8, 15, 0), Utc(2020, 1, 15, 7, 15, 0)},
        {Time(2020, 3, 29, 1, 59, 59), Utc(2020, 3, 29, 0, 59, 59)},  // the last second of winter time
        {Time(2020, 3, 29, 3, 0, 0), Utc(2020, 3, 29, 1, 0, 0)},      // the first of summer time
        {Time(2020, 12, 31, 23, 59, 59), Utc(2020, 12, 31, 22, 59, 59)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SlaveSetCurrentTime(&c.in), 0);
        time_t now = varnelle::host::WallSeconds();
        EXPECT_LE(std::llabs(now - c.utc), 2) << c.in.s32Month << "-" << c.in.s32Day;
        struct tm local = {};
        localtime_r(&now, &local);
        EXPECT_EQ(local.tm_hour, c.in.s32Hour) << c.in.s32Month << "-" << c.in.s32Day;
        EXPECT_EQ(local.tm_mday, c.in.s32Day);
        EXPECT_EQ(local.tm_mon + 1, c.in.s32Month);
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

// What the time-set port may carry: a whole type 23 sets the clock; other types are ignored; short
// messages, dates that cannot be converted and times the clock cannot hold are refused, each leaving
// the clock where it was.
TEST_F(SlaveThreadTest, TimeMessagesTheClockRefusesLeaveItAlone) {
    SLAVE_TIME_S good = Time(2021, 6, 1, 12, 0, 0);
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = PCIV_MSGTYPE_SETTIME;
    m.stMsgHead.u32MsgLen = sizeof(good);
    std::memcpy(m.au32Payload, &good, sizeof(good));
    ASSERT_EQ(SlaveTakeTimeMsg(&m), 0);
    const time_t want = Utc(2021, 6, 1, 12, 0, 0);
    struct Case {
        const char* what;
        uint32_t type, len;
        SLAVE_TIME_S t;
        int result;
    } cases[] = {
        {"another type", 54, 32, Time(1999, 1, 1, 0, 0, 0), 1},
        {"short", 23, 24, Time(1999, 1, 1, 0, 0, 0), -1},
        {"before 1970", 23, 32, Time(1969, 12, 31, 0, 0, 0), -1},
        {"after 9999", 23, 32, Time(10000, 1, 1, 0, 0, 0), -1},
        {"lowest year", 23, 32, Time(INT_MIN, 1, 1, 0, 0, 0), -1},
        {"lowest month", 23, 32, Time(2020, INT_MIN, 1, 0, 0, 0), -1},
        {"highest everything", 23, 32, Time(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX), -1},
    };
    for (const Case& c : cases) {
        PCIV_MSG_S bad{};
        bad.stMsgHead.u32MsgType = c.type;
        bad.stMsgHead.u32MsgLen = c.len;
        std::memcpy(bad.au32Payload, &c.t, sizeof(c.t));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(SlaveTakeTimeMsg(&bad), c.result) << c.what;
        ::testing::internal::GetCapturedStdout();
        EXPECT_LE(std::llabs(varnelle::host::WallSeconds() - want), 5) << c.what;
    }
}

}  // namespace
