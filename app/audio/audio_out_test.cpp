// The output side without the SDK: frames cut into list nodes, nodes handed to the decoder (the send
// replaced by a recorder), the reassembly of odd-sized packets across the buffer's end.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "app/audio/audio.h"
#include "app/audio/audio_internal.h"
#include "app/audio/audio_testing.h"
#include "app/comm/buf_list.h"
#include "app/comm/comm_cfg.h"
#include "sdk/audio/testing/threads.h"

namespace {

// Every call the decoder got, as bytes.
std::mutex g_sendMutex;
std::vector<std::vector<uint8_t>> g_sends;  // guarded by g_sendMutex
int g_failAfter = -1;                        // sends that succeed before one fails; -1 none

int RecordSend(const uint8_t* p, uint32_t n) {
    std::lock_guard<std::mutex> lock(g_sendMutex);
    if (g_failAfter == 0) {
        g_failAfter = -1;
        return static_cast<int>(0xA0188010u);
    }
    if (g_failAfter > 0) --g_failAfter;
    g_sends.emplace_back(p, p + n);
    return 0;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

// An audio frame as the master sends it: 00 00 01 F0, codec, 2, length, payload.
std::vector<uint8_t> Frame(uint8_t codec, const std::vector<uint8_t>& payload, int lengthField = -1) {
    const uint32_t len = lengthField < 0 ? static_cast<uint32_t>(payload.size()) : static_cast<uint32_t>(lengthField);
    std::vector<uint8_t> f = {0x00, 0x00, 0x01, 0xF0, codec, 2, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

void SetAudioSwitch(uint8_t on) {
    audio_testing::StoreSys(0, 0, on);
}

class AudioOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        AudioResetForTest();
        {
            std::lock_guard<std::mutex> lock(g_sendMutex);
            g_sends.clear();
            g_failAfter = -1;
        }
        AudioSetDecoderSendForTest(RecordSend);
        ASSERT_TRUE(AudioOutReassembly().Init(AUDIO_REASM_SIZE));
        AudioState* s = AudioGetState();
        s->pOutList = BufListCreate(241);
        // A decoder of the frames' kind stands, so no node remakes it.
        s->u32DecCreated = 1;
        s->u32DecType = AUDIO_PT_G711A;
        SetAudioSwitch(1);
    }
    void TearDown() override {
        AudioResetForTest();
        SlaveResetSysCfg();
    }

    // The nodes in the output list, taken out.
    std::vector<std::vector<uint8_t>> TakeNodes() {
        std::vector<std::vector<uint8_t>> out;
        while (BufNode* n = BufListGet(AudioGetState()->pOutList.load())) {
            out.emplace_back(n->pu8Aligned, n->pu8Aligned + n->u32Used);
            BufListFree(n);
        }
        return out;
    }

    // Hands a node of exactly the frame's bytes to the output side, as the sender thread does.
    static int Handle(const std::vector<uint8_t>& f) {
        BufNode* n = BufListAlloc(static_cast<uint32_t>(f.size()), 0);
        EXPECT_NE(n, nullptr);
        if (!f.empty()) BufListCopy(n, f.data(), static_cast<uint32_t>(f.size()));
        int r = AudioOutHandleNode(n->pu8Aligned, n->u32Used);
        BufListFree(n);
        return r;
    }

    static std::vector<std::vector<uint8_t>> Sends() {
        std::lock_guard<std::mutex> lock(g_sendMutex);
        return g_sends;
    }
};

TEST_F(AudioOutTest, PutBufCutsThePayloadInto168ByteNodes) {
    const std::vector<uint8_t> payload = Pattern(400, 1);
    const std::vector<uint8_t> f = Frame(14, payload);
    ASSERT_EQ(AudioOutPutBuf(f.data(), static_cast<int32_t>(f.size())), 0);
    const auto nodes = TakeNodes();
    ASSERT_EQ(nodes.size(), 2u);  // the last 80 bytes are dropped
    for (size_t i = 0; i < nodes.size(); ++i) {
        const std::vector<uint8_t> head = {0x00, 0x00, 0x01, 0xF0, 14, 2, 160, 0};
        ASSERT_EQ(nodes[i].size(), 168u);
        EXPECT_EQ(std::vector<uint8_t>(nodes[i].begin(), nodes[i].begin() + 8), head);
        EXPECT_EQ(0, std::memcmp(nodes[i].data() + 8, payload.data() + 160 * i, 160)) << "node " << i;
    }
}

TEST_F(AudioOutTest, PutBufRefusesWhatIsNotAFrame) {
    struct Case {
        const char* name;
        std::vector<uint8_t> buf;
        int32_t size;  // -1: the buffer's size
    };
    const std::vector<uint8_t> good = Frame(14, Pattern(160, 2));
    std::vector<uint8_t> badMagic = good;
    badMagic[3] = 0xF1;
    std::vector<uint8_t> badByte5 = good;
    badByte5[5] = 3;
    const std::vector<uint8_t> big = Frame(14, Pattern(3360 - 8 + 1, 3));
    const Case cases[] = {
        {"size 0", good, 0},
        {"size 7 (less than the header)", good, 7},  // would read before the payload
        {"negative size", good, -5},
        {"above 3360", big, -1},
        {"magic", badMagic, -1},
        {"byte 5", badByte5, -1},
    };
    for (const Case& c : cases) {
        const int32_t size = c.size == -1 ? static_cast<int32_t>(c.buf.size()) : c.size;
        // The buffer is exactly what the size says, so a read before or past it shows under ASan.
        std::vector<uint8_t> exact(c.buf.begin(), c.buf.begin() + std::max(0, std::min<int32_t>(size, static_cast<int32_t>(c.buf.size()))));
        EXPECT_EQ(AudioOutPutBuf(exact.empty() ? c.buf.data() : exact.data(), size), -1) << c.name;
        EXPECT_TRUE(TakeNodes().empty()) << c.name;
    }
    EXPECT_EQ(AudioOutPutBuf(nullptr, 100), -1);
    // Size 8 is a header alone: accepted, nothing to queue.
    EXPECT_EQ(AudioOutPutBuf(good.data(), 8), 0);
    EXPECT_TRUE(TakeNodes().empty());
}

TEST_F(AudioOutTest, PutBufDoesNothingWithTheAudioSwitchOff) {
    SetAudioSwitch(0);
    const std::vector<uint8_t> f = Frame(14, Pattern(320, 4));
    EXPECT_EQ(AudioOutPutBuf(f.data(), static_cast<int32_t>(f.size())), 0);
    EXPECT_TRUE(TakeNodes().empty());
}

TEST_F(AudioOutTest, PutBufStopsWhenTheListHoldsMoreThan60Nodes) {
    const std::vector<uint8_t> f = Frame(14, Pattern(160 * 20, 5));
    for (int i = 0; i < 4; ++i) AudioOutPutBuf(f.data(), static_cast<int32_t>(f.size()));
    // Pieces go in while the list holds at most 60 nodes and 10080 bytes (60 x 168): the 61st fits.
    EXPECT_EQ(TakeNodes().size(), 61u);
}

TEST_F(AudioOutTest, A160BytePacketReachesTheDecoderInOne164ByteCall) {
    const std::vector<uint8_t> payload = Pattern(160, 6);
    ASSERT_EQ(Handle(Frame(14, payload)), 0);
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    ASSERT_EQ(sends[0].size(), 164u);
    EXPECT_EQ(std::vector<uint8_t>(sends[0].begin(), sends[0].begin() + 4), (std::vector<uint8_t>{0x00, 0x01, 0x50, 0x00}));
    EXPECT_EQ(0, std::memcmp(sends[0].data() + 4, payload.data(), 160));
    EXPECT_EQ(AudioOutReassembly().Pending(), 0u);
}

TEST_F(AudioOutTest, NodesThatCannotBeSentAreDropped) {
    struct Case {
        const char* name;
        std::vector<uint8_t> node;
    };
    std::vector<uint8_t> badMagic = Frame(14, Pattern(160, 7));
    badMagic[2] = 0;
    const Case cases[] = {
        {"empty", {}},
        {"shorter than the header", {0x00, 0x00, 0x01, 0xF0, 14, 2, 0}},
        {"magic", badMagic},
        {"codec 7", Frame(7, Pattern(160, 8))},
        {"unknown codec", Frame(99, Pattern(160, 9))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Handle(c.node), -1) << c.name;
    }
    EXPECT_TRUE(Sends().empty());
    EXPECT_EQ(AudioOutReassembly().Pending(), 0u);
}

TEST_F(AudioOutTest, TheLengthFieldIsHeldToTheNodeAnd510) {
    // A length beyond the node: only the node's bytes are taken (the node is exactly its size).
    ASSERT_EQ(Handle(Frame(20, Pattern(100, 10), 400)), 0);
    EXPECT_EQ(AudioOutReassembly().Pending(), 100u);
    EXPECT_TRUE(Sends().empty());
    AudioOutReassembly().Reset();
    // A length of 160 on a node of 100 payload bytes is not sent in place.
    ASSERT_EQ(Handle(Frame(20, Pattern(100, 11), 160)), 0);
    EXPECT_TRUE(Sends().empty());
    EXPECT_EQ(AudioOutReassembly().Pending(), 100u);
    AudioOutReassembly().Reset();
    // At most 510 bytes of one packet: three frames go, 30 bytes wait.
    ASSERT_EQ(Handle(Frame(20, Pattern(600, 12), 600)), 0);
    EXPECT_EQ(Sends().size(), 3u);
    EXPECT_EQ(AudioOutReassembly().Pending(), 30u);
}

TEST_F(AudioOutTest, OddPacketsLeaveAsWhole164ByteFramesAcrossTheBuffersEnd) {
    // Sizes that do not divide the buffer, so pending bytes meet its end again and again.
    const uint32_t sizes[] = {150, 170, 510, 7, 333, 161, 1, 480};
    std::vector<uint8_t> all;
    uint32_t seed = 100;
    for (int round = 0; round < 60; ++round) {
        for (uint32_t n : sizes) {
            const std::vector<uint8_t> p = Pattern(n, seed++);
            all.insert(all.end(), p.begin(), p.end());
            ASSERT_EQ(Handle(Frame(20, p)), 0);
        }
    }
    ASSERT_GT(all.size(), 3u * AUDIO_REASM_SIZE);
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), all.size() / 160);
    for (size_t i = 0; i < sends.size(); ++i) {
        ASSERT_EQ(sends[i].size(), 164u) << i;
        ASSERT_EQ(std::vector<uint8_t>(sends[i].begin(), sends[i].begin() + 4),
                  (std::vector<uint8_t>{0x00, 0x01, 0x50, 0x00}))
            << i;
        ASSERT_EQ(0, std::memcmp(sends[i].data() + 4, all.data() + 160 * i, 160)) << "frame " << i;
    }
    EXPECT_EQ(AudioOutReassembly().Pending(), all.size() % 160);
}

TEST_F(AudioOutTest, AFailedSendDropsWhatIsPending) {
    {
        std::lock_guard<std::mutex> lock(g_sendMutex);
        g_failAfter = 1;
    }
    // 500 bytes: the first frame goes, the second send fails, the rest is dropped.
    ASSERT_EQ(Handle(Frame(20, Pattern(500, 13))), 0);
    EXPECT_EQ(Sends().size(), 1u);
    EXPECT_EQ(AudioOutReassembly().Pending(), 0u);
    // Afterwards the buffer starts afresh.
    const std::vector<uint8_t> p = Pattern(160, 14);
    ASSERT_EQ(Handle(Frame(20, Pattern(60, 15))), 0);
    ASSERT_EQ(Handle(Frame(20, Pattern(100, 16))), 0);
    EXPECT_EQ(Sends().size(), 2u);
    EXPECT_EQ(AudioOutReassembly().Pending(), 0u);
}

TEST_F(AudioOutTest, TheSenderThreadDrainsTheListThatPutBufFills) {
    AudioGetState()->u32Running = 1;
    ASSERT_EQ(AudioStartThreads(), 0);
    const std::vector<uint8_t> payload = Pattern(160 * 10, 17);
    const std::vector<uint8_t> f = Frame(14, payload);
    ASSERT_EQ(AudioOutPutBuf(f.data(), static_cast<int32_t>(f.size())), 0);
    ASSERT_TRUE(varnelle::audiotest::WaitFor([] { return Sends().size() == 10; }));
    const auto sends = Sends();
    for (size_t i = 0; i < sends.size(); ++i) {
        EXPECT_EQ(0, std::memcmp(sends[i].data() + 4, payload.data() + 160 * i, 160)) << i;
    }
    AudioStopThreads();
}

}  // namespace
