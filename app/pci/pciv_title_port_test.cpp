#include "app/pci/pciv_title_port.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_test_master.h"
#include "platform/mcc/mcc_driver.h"

namespace {

using varnelle::testing::FakeMaster;

constexpr uint32_t kTitlePort = 123;

PCIV_MSG_S Typed(uint32_t type, uint32_t word) {
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = type;
    m.stMsgHead.u32MsgLen = 4;
    m.au32Payload[0] = word;
    return m;
}

TEST(PcivMsgQueueTest, KeepsOrderDropsBeyondItsRoomAndWaitsWithAStop) {
    PcivMsgQueue q("test", 3);
    PCIV_MSG_S out;
    EXPECT_EQ(q.Take(&out, 0), PCIV_MSG_TIMEOUT) << "empty";
    ::testing::internal::CaptureStdout();
    for (uint32_t i = 0; i < 5; ++i) {
        PCIV_MSG_S m = Typed(1, i);
        EXPECT_EQ(q.Put(&m), i < 3) << i;
    }
    std::string lines = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(q.Dropped(), 2u);
    EXPECT_EQ(lines.find("test queue full"), lines.rfind("test queue full")) << "one line for the first drop";
    EXPECT_NE(lines.find("test queue full"), std::string::npos) << lines;
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(q.Take(&out, 0), 0);
        EXPECT_EQ(out.au32Payload[0], i);
        EXPECT_EQ(out.stMsgHead.u32MsgLen, 4u);
    }
    EXPECT_EQ(q.Size(), 0u);
    // A taker without a time limit is woken by a message from another thread, or by its stop.
    PcivStop stop;
    std::atomic<int> result{1};
    std::thread t([&] { result = q.Take(&out, -1, &stop); });
    PCIV_MSG_S m = Typed(1, 42);
    q.Put(&m);
    t.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(out.au32Payload[0], 42u);
    std::thread s([&] { result = q.Take(&out, -1, &stop); });
    stop.Request();
    s.join();
    EXPECT_EQ(result.load(), PCIV_MSG_TIMEOUT);
}

class TitlePortTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        varnelle::mcc::InstallMccDriver();
    }
    static void TearDownTestSuite() {
        PCIV_TitlePortStop();
        delete s_bus;
    }
    static varnelle::testing::ScopedBus* s_bus;
};
varnelle::testing::ScopedBus* TitlePortTest::s_bus = nullptr;

TEST_F(TitlePortTest, ReadNeedsAValidPortWord) {
    PCIV_SetTitlePort(0);
    PCIV_MSG_S m;
    EXPECT_EQ(HwPCIV_ReadMessage(&m), -1);
    PCIV_SetTitlePort(300);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(HwPCIV_ReadMessage(&m), -1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("invalid pci msg port(0,300)"), std::string::npos);
    PCIV_SetTitlePort(0);
}

// The titles and the OSD notices share one port: each reaches its own reader, in order, whatever the
// mix, and a type given back goes to the titles again.
TEST_F(TitlePortTest, EachTypeReachesTheQueueThatClaimedIt) {
    FakeMaster master;
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(PCIV_OpenMsgPort(0, kTitlePort), 0);
    PCIV_SetTitlePort(kTitlePort);
    PcivMsgQueue notices("osd notice");
    ASSERT_TRUE(PCIV_TitlePortClaim(PCIV_MSGTYPE_NOTIFY, &notices));
    PcivMsgQueue other("other");
    EXPECT_FALSE(PCIV_TitlePortClaim(PCIV_MSGTYPE_NOTIFY, &other)) << "one reader per type";
    PCIV_TitlePortStart();
    PCIV_TitlePortStart();  // once only

    const uint32_t types[] = {0, 18, 1, 18, 1, 7, 18, 0};
    for (uint32_t i = 0; i < std::size(types); ++i) {
        ASSERT_TRUE(master.SendMsg(kTitlePort, types[i], &i, 4));
    }
    std::vector<uint32_t> titles, notes;
    PCIV_MSG_S m;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(HwPCIV_ReadMessageTimeout(&m, 5000, nullptr), 0);
        EXPECT_NE(m.stMsgHead.u32MsgType, 18u);
        titles.push_back(m.au32Payload[0]);
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(notices.Take(&m, 5000), 0);
        EXPECT_EQ(m.stMsgHead.u32MsgType, 18u);
        notes.push_back(m.au32Payload[0]);
    }
    EXPECT_EQ(titles, (std::vector<uint32_t>{0, 2, 4, 5, 7}));
    EXPECT_EQ(notes, (std::vector<uint32_t>{1, 3, 6}));

    // Only the queue that holds the type gives it back.
    PCIV_TitlePortRelease(PCIV_MSGTYPE_NOTIFY, &other);
    EXPECT_FALSE(PCIV_TitlePortClaim(PCIV_MSGTYPE_NOTIFY, &other));
    PCIV_TitlePortRelease(PCIV_MSGTYPE_NOTIFY, &notices);
    uint32_t word = 99;
    ASSERT_TRUE(master.SendMsg(kTitlePort, 18, &word, 4));
    ASSERT_EQ(HwPCIV_ReadMessageTimeout(&m, 5000, nullptr), 0);
    EXPECT_EQ(m.stMsgHead.u32MsgType, 18u);
    EXPECT_EQ(m.au32Payload[0], 99u);
    EXPECT_EQ(notices.Size(), 0u);

    // The reader stops and starts again.
    PCIV_TitlePortStop();
    PCIV_TitlePortStart();
    ASSERT_TRUE(master.SendMsg(kTitlePort, 1, &word, 4));
    ASSERT_EQ(HwPCIV_ReadMessageTimeout(&m, 5000, nullptr), 0);
    EXPECT_EQ(m.stMsgHead.u32MsgType, 1u);
    PCIV_TitlePortStop();
    PCIV_SetTitlePort(0);
    PCIV_CloseMsgPort(0, kTitlePort);
}

}  // namespace
