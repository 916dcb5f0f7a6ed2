#include "app/comm/cap_list.h"

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/cap_frame.h"

namespace {

// Buffers for the nodes, owned by the test: each is exactly the size asked for (or the capacity the
// test chose), so a write past it shows under ASan.
struct Arena {
    std::vector<std::unique_ptr<uint8_t[]>> bufs;
    uint32_t capacity = 0;  // 0: the size asked for
    int left = 1000;        // buffers still to give
};
Arena* g_arena = nullptr;

int TestAlloc(void* pDesc, uint32_t u32Size) {
    if (g_arena == nullptr || g_arena->left-- <= 0) return -1;
    uint32_t cap = g_arena->capacity != 0 ? g_arena->capacity : u32Size;
    g_arena->bufs.emplace_back(new uint8_t[cap]);
    auto* d = static_cast<CapBufDesc*>(pDesc);
    d->pu8WritePos = g_arena->bufs.back().get();
    d->u32Capacity = cap;
    return 0;
}

uint8_t* BufStart(const CapFrameNode* n) {
    return n->stBuf.pu8WritePos - n->u32Used;
}

class CapListTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_arena = &m_arena;
        CapListSetAllocHook(TestAlloc);
    }
    void TearDown() override {
        while (CapFrameNode* n = CapListGet(&m_list)) CapListFree(&m_list, n);
        CapListSetAllocHook(nullptr);
        g_arena = nullptr;
    }
    std::vector<CapFrameNode*> Nodes() const {
        std::vector<CapFrameNode*> v;
        for (CapFrameNode* n = m_list.pOldest; n != nullptr; n = n->pNext) v.push_back(n);
        return v;
    }

    Arena m_arena;
    CapList m_list{};
};

TEST_F(CapListTest, BoardHookHasNoBuffersAndTheNodeStays) {
    CapListSetAllocHook(nullptr);
    EXPECT_EQ(CapListDetect(&m_list, 8192), nullptr);
    ASSERT_NE(m_list.pNewest, nullptr) << "the node stays in the list";
    EXPECT_EQ(m_list.pNewest, m_list.pOldest);
    EXPECT_EQ(m_list.pNewest->stBuf.pu8WritePos, nullptr);
    // A later detect with buffers to give fills the same node.
    CapListSetAllocHook(TestAlloc);
    CapFrameNode* n = CapListDetect(&m_list, 8192);
    EXPECT_EQ(n, m_list.pOldest);
    EXPECT_NE(n->stBuf.pu8WritePos, nullptr);
    EXPECT_NE(n->u32TimeSec, 0u);
    EXPECT_EQ(CapListAlloc(&m_list, CAP_NODE_MAX_SIZE + 1), nullptr);
    EXPECT_EQ(CapListAlloc(nullptr, 16), nullptr);
    EXPECT_EQ(Nodes().size(), 1u);
}

TEST_F(CapListTest, EncodedFrameIsCopiedBehindItsHeader) {
    std::vector<uint8_t> a(100), b(40);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(200 + i);
    VENC_PACK_S packs[2] = {};
    packs[0].pu8UserAddr = a.data();
    packs[0].u32Len = 100;
    packs[0].u32DataOffset = 4;  // the first 4 bytes are not stream
    packs[0].u32DataType = 7;
    packs[0].u64Pts = 123456789;
    packs[1].pu8UserAddr = b.data();
    packs[1].u32Len = 40;
    packs[1].u64Pts = 5;
    VENC_STREAM_S s = {};
    s.pstPack = packs;
    s.u32PackCnt = 2;
    CapStreamInfo info = {25, 704, 576, 0};
    ASSERT_EQ(VencCopy2Buf(&info, &m_list, &s), 0);
    EXPECT_EQ(info.u64Pts, 123456789u);
    CapFrameNode* n = m_list.pNewest;
    ASSERT_EQ(Nodes().size(), 1u);
    EXPECT_EQ(n->u32Used, 16u + 96 + 40);
    EXPECT_EQ(n->u32SlotCnt, 1u);
    EXPECT_EQ(n->u32PacketStart, n->u32Used);
    const CapPacketSlot& slot = n->astSlot[0];
    EXPECT_EQ(slot.u8Kind, CAP_FRAME_I);
    EXPECT_EQ(slot.u8Flags, CAP_SLOT_START | CAP_SLOT_END);
    EXPECT_EQ(slot.u16Start, 0u);
    EXPECT_EQ(slot.u32FrameLen, 16u + 136);
    EXPECT_EQ(slot.u16PacketLen, 152u);
    const uint8_t* p = BufStart(n);
    CapFrameHeader h;
    ASSERT_EQ(CapFrameReadHeader(p, 16, &h), 1);
    EXPECT_EQ(h.u32Kind, static_cast<uint32_t>(CAP_FRAME_I));
    EXPECT_EQ(h.u32FrameLen, 136u);
    EXPECT_EQ(h.u32Width, 704u);
    EXPECT_EQ(h.u32FrameRate, 25u);
    EXPECT_EQ(std::memcmp(p + 16, a.data() + 4, 96), 0);
    EXPECT_EQ(std::memcmp(p + 112, b.data(), 40), 0);
    // A pack of data type 8 makes a picture header, others a P header.
    packs[0].u32DataType = 8;
    ASSERT_EQ(VencCopy2Buf(&info, &m_list, &s), 0);
    EXPECT_EQ(n->astSlot[1].u8Kind, CAP_FRAME_PICTURE);
    EXPECT_EQ(n->astSlot[1].u16Start, 152u);
    packs[0].u32DataType = 1;
    ASSERT_EQ(VencCopy2Buf(&info, &m_list, &s), 0);
    EXPECT_EQ(n->astSlot[2].u8Kind, CAP_FRAME_P);
    EXPECT_EQ(n->u32Used, 152u + 152 + 8 + 136);
    packs[0].u32DataOffset = 101;
    EXPECT_EQ(VencCopy2Buf(&info, &m_list, &s), -1) << "an offset past the pack";
}

TEST_F(CapListTest, ContinuationSplitsAndAFrameStartMovesWhole) {
    m_arena.capacity = 256;
    std::vector<uint8_t> data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    CapStreamInfo info = {25, 352, 288, 0};
    ASSERT_EQ(PcivVencCopy2Buf(&info, &m_list, data.data(), 600, 1, 77), 0);
    std::vector<CapFrameNode*> nodes = Nodes();
    ASSERT_EQ(nodes.size(), 3u);
    // 8 header bytes and 248 data bytes, then 256, then the last 96 with the end flag.
    EXPECT_EQ(nodes[0]->u32Used, 256u);
    EXPECT_EQ(nodes[0]->bFull, 1u);
    EXPECT_EQ(nodes[0]->u32SlotCnt, 1u);
    EXPECT_EQ(nodes[0]->astSlot[0].u8Flags, CAP_SLOT_START);
    EXPECT_EQ(nodes[1]->u32Used, 256u);
    EXPECT_EQ(nodes[1]->astSlot[0].u8Flags, 0);
    EXPECT_EQ(nodes[2]->u32Used, 96u);
    EXPECT_EQ(nodes[2]->astSlot[0].u8Flags, CAP_SLOT_END);
    EXPECT_EQ(nodes[2]->astSlot[0].u32FrameLen, 608u);
    std::vector<uint8_t> joined;
    for (CapFrameNode* n : nodes) joined.insert(joined.end(), BufStart(n), BufStart(n) + n->u32Used);
    ASSERT_EQ(joined.size(), 608u);
    EXPECT_EQ(std::memcmp(joined.data() + 8, data.data(), 600), 0);
    // An I frame: its 16-byte header fits the 160 bytes left, 144 data bytes follow it there and the
    // last 6 go on in the next node.
    ASSERT_EQ(PcivVencCopy2Buf(&info, &m_list, data.data(), 150, 7, 78), 0);
    nodes = Nodes();
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[2]->u32Used, 256u);
    EXPECT_EQ(nodes[2]->u32SlotCnt, 2u);
    EXPECT_EQ(nodes[2]->astSlot[1].u16Start, 96u);
    EXPECT_EQ(nodes[2]->astSlot[1].u8Flags, CAP_SLOT_START);
    EXPECT_EQ(nodes[3]->u32Used, 6u);
    EXPECT_EQ(nodes[3]->astSlot[0].u8Flags, CAP_SLOT_END);
    // A frame that fills a node exactly keeps its end flag there.
    ASSERT_EQ(PcivVencCopy2Buf(&info, &m_list, data.data(), 256 - 6 - 8, 1, 79), 0);
    EXPECT_EQ(Nodes().size(), 4u);
    EXPECT_EQ(nodes[3]->u32Used, 256u);
    EXPECT_EQ(nodes[3]->astSlot[1].u8Flags, CAP_SLOT_START | CAP_SLOT_END);
    // The next header has no room left: it starts the next node, whole.
    ASSERT_EQ(PcivVencCopy2Buf(&info, &m_list, data.data(), 10, 1, 80), 0);
    nodes = Nodes();
    ASSERT_EQ(nodes.size(), 5u);
    EXPECT_EQ(nodes[4]->u32Used, 18u);
    EXPECT_EQ(nodes[4]->astSlot[0].u8Flags, CAP_SLOT_START | CAP_SLOT_END);
    // A start that no node can hold fails instead of asking for nodes for ever.
    m_arena.capacity = 4;
    CapList small{};
    EXPECT_EQ(PcivVencCopy2Buf(&info, &small, data.data(), 10, 7, 81), -1);
    while (CapFrameNode* n = CapListGet(&small)) CapListFree(&small, n);
}

TEST_F(CapListTest, NodeHoldsEightSlotsAndTheNinthFrameGoesToANewNode) {
    uint8_t data[10] = {};
    CapStreamInfo info = {25, 352, 288, 0};
    for (int i = 0; i < 9; ++i) ASSERT_EQ(PcivVencCopy2Buf(&info, &m_list, data, 10, 1, i), 0) << i;
    std::vector<CapFrameNode*> nodes = Nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]->u32SlotCnt, 8u);
    EXPECT_EQ(nodes[0]->u32Used, 8u * 18);
    EXPECT_EQ(nodes[1]->u32SlotCnt, 1u);
    EXPECT_EQ(nodes[1]->astSlot[0].u16Start, 0u);
}

TEST_F(CapListTest, FreeUnlinksTheNodeItFrees) {
    CapFrameNode* a = CapListAlloc(&m_list, 64);
    CapFrameNode* b = CapListAlloc(&m_list, 64);
    CapFrameNode* c = CapListAlloc(&m_list, 64);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(CapListFree(&m_list, b), 0);
    EXPECT_EQ(Nodes(), (std::vector<CapFrameNode*>{a, c}));
    EXPECT_EQ(c->pPrev, a);
    EXPECT_EQ(CapListFree(&m_list, c), 0);
    EXPECT_EQ(m_list.pNewest, a);
    EXPECT_EQ(a->pNext, nullptr);
    CapList other{};
    CapFrameNode* stranger = CapListAlloc(&other, 64);
    EXPECT_EQ(CapListFree(&m_list, stranger), -1) << "a node of another list";
    EXPECT_EQ(CapListFree(&other, stranger), 0);
    EXPECT_EQ(CapListFree(&m_list, nullptr), -1);
    EXPECT_EQ(CapListGet(&m_list), a);
    EXPECT_EQ(CapListFree(&m_list, a), 0);
    EXPECT_EQ(CapListGet(&m_list), nullptr);
    EXPECT_EQ(m_list.pNewest, nullptr);
    EXPECT_EQ(CapListGet(nullptr), nullptr);
}

TEST_F(CapListTest, InfoSumsFromTheOldest) {
    CapListInfoS info{9, 9};
    EXPECT_EQ(CapListInfo(nullptr, &info), 0);
    EXPECT_EQ(info.u32Nodes, 0u);
    EXPECT_EQ(CapListInfo(&m_list, nullptr), -1);
    uint8_t data[50] = {};
    CapStreamInfo si = {25, 352, 288, 0};
    m_arena.capacity = 64;
    ASSERT_EQ(PcivVencCopy2Buf(&si, &m_list, data, 50, 1, 0), 0);
    ASSERT_EQ(PcivVencCopy2Buf(&si, &m_list, data, 50, 1, 0), 0);
    ASSERT_EQ(CapListInfo(&m_list, &info), 0);
    EXPECT_EQ(info.u32Nodes, 2u);
    EXPECT_EQ(info.u32Bytes, 116u);
}

TEST_F(CapListTest, AudioPacketsAreCutToTheirLimitWithoutReadingPastThem) {
    struct Case {
        uint32_t len;
        uint32_t stored;
    } cases[] = {{500, 480}, {484, 480}, {482, 478}, {5, 1}, {4, 0}};
    for (const Case& c : cases) {
        std::unique_ptr<uint8_t[]> pkt(new uint8_t[c.len]);  // exactly the packet
        for (uint32_t i = 0; i < c.len; ++i) pkt[i] = static_cast<uint8_t>(i);
        AUDIO_STREAM_S s = {};
        s.pStream = pkt.get();
        s.u32Len = c.len;
        CapFrameNode* n = CapListDetect(&m_list, CAP_NODE_BUF_SIZE);
        ASSERT_NE(n, nullptr);
        uint32_t before = n->u32Used;
        ASSERT_EQ(AencCopy2Buf(nullptr, &m_list, &s), 0) << c.len;
        ASSERT_EQ(m_list.pNewest, n);
        const uint8_t* p = BufStart(n) + before;
        CapFrameHeader h;
        ASSERT_EQ(CapFrameReadHeader(p, 8, &h), 1);
        EXPECT_EQ(h.u32Kind, static_cast<uint32_t>(CAP_FRAME_AUDIO));
        EXPECT_EQ(h.u32Codec, 14u);
        EXPECT_EQ(h.u32FrameLen, c.stored) << c.len;
        EXPECT_EQ(std::memcmp(p + 8, pkt.get() + 4, c.stored), 0);
    }
    AUDIO_STREAM_S tiny = {};
    uint8_t three[3] = {};
    tiny.pStream = three;
    tiny.u32Len = 3;
    EXPECT_EQ(AencCopy2Buf(nullptr, &m_list, &tiny), -1);
}

TEST_F(CapListTest, FailedAudioAppendAnswersZeroAndNoNodeMinusOne) {
    m_arena.capacity = 64;
    m_arena.left = 1;
    uint8_t pkt[100] = {};
    AUDIO_STREAM_S s = {};
    s.pStream = pkt;
    s.u32Len = 100;  // 8 + 96 bytes need a second node, which the hook does not give
    EXPECT_EQ(AencCopy2Buf(nullptr, &m_list, &s), 0);
    m_arena.left = 0;
    CapList empty{};
    EXPECT_EQ(AencCopy2Buf(nullptr, &empty, &s), -1) << "no node at all";
    while (CapFrameNode* n = CapListGet(&empty)) CapListFree(&empty, n);
}

}  // namespace
