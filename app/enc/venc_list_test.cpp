// The capture lists' writers and reader without the chip: JPEGCopy2Buf's framing and failures, the
// rate codes of the snapshot thread, and CaptureGetBuffer's cycling over the lists.
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/cap_list.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/enc/venc_list.h"
#include "app/enc/venc_snap.h"

namespace {

// Node buffers of a chosen size from the test's own heap; all freed by the fixture.
std::vector<void*> g_buffers;
uint32_t g_nodeSize = 8192;

int Alloc(void* pDesc, uint32_t u32Size) {
    auto* d = static_cast<CapBufDesc*>(pDesc);
    const uint32_t n = std::min(u32Size, g_nodeSize);
    void* p = std::malloc(n);
    if (p == nullptr) return -1;
    g_buffers.push_back(p);
    d->pu8WritePos = static_cast<uint8_t*>(p);
    d->u32Capacity = n;
    return 0;
}
int Refuse(void*, uint32_t) {
    return -1;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class CapListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = 2;
        p.u32DecNum = 2;
        SlaveStoreSysParam(&p);
        g_nodeSize = 8192;
        CapListSetAllocHook(Alloc);
    }
    void TearDown() override {
        CaptureListsClear();
        for (void* p : g_buffers) std::free(p);
        g_buffers.clear();
        CapListSetAllocHook(nullptr);
        SlaveResetSysCfg();
    }
};

// A picture of two packs, each with bytes before its payload that must not be stored.
struct TwoPacks {
    uint8_t a[12], b[7];
    VENC_PACK_S packs[2];
    VENC_STREAM_S stream;
    TwoPacks() {
        for (uint8_t i = 0; i < sizeof a; ++i) a[i] = static_cast<uint8_t>(0xA0 + i);
        for (uint8_t i = 0; i < sizeof b; ++i) b[i] = static_cast<uint8_t>(0xB0 + i);
        std::memset(packs, 0, sizeof packs);
        packs[0].pu8UserAddr = a;
        packs[0].u32Len = sizeof a;
        packs[0].u32DataOffset = 2;
        packs[0].u64Pts = 123456;
        packs[1].pu8UserAddr = b;
        packs[1].u32Len = sizeof b;
        packs[1].u32DataOffset = 0;
        std::memset(&stream, 0, sizeof stream);
        stream.pstPack = packs;
        stream.u32PackCnt = 2;
    }
};

TEST_F(CapListsTest, APictureIsStoredAsHeaderThenItsPacksInOneFrame) {
    CapList list{nullptr, nullptr};
    TwoPacks pic;
    CapStreamInfo info{1, 360, 288, 0};
    ASSERT_EQ(JPEGCopy2Buf(&info, &list, &pic.stream), 0);
    ASSERT_EQ(JPEGCopy2Buf(&info, &list, &pic.stream), 0);
    CapFrameNode* n = list.pOldest;
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->pNext, nullptr);
    EXPECT_EQ(n->u32SlotCnt, 2u) << "two frames counted";
    const uint32_t frame = 16 + 10 + 7;
    EXPECT_EQ(n->u32Used, 2 * frame);
    EXPECT_EQ(n->u32PacketStart, 2 * frame) << "the frame end is the fill";
    const uint8_t* buf = n->stBuf.pu8WritePos - n->u32Used;
    for (uint32_t f = 0; f < 2; ++f) {
        const uint8_t* h = buf + f * frame;
        // Picture header by hand: 00 00 01 FA, flags 2, rate, width / 8, height / 8, time, length.
        EXPECT_EQ(h[0], 0);
        EXPECT_EQ(h[1], 0);
        EXPECT_EQ(h[2], 1);
        EXPECT_EQ(h[3], 0xFA);
        EXPECT_EQ(h[5], 1);
        EXPECT_EQ(h[6], 360 / 8);
        EXPECT_EQ(h[7], 288 / 8);
        EXPECT_EQ(Le32(h + 12), 17u);
        EXPECT_EQ(std::memcmp(h + 16, pic.a + 2, 10), 0);
        EXPECT_EQ(std::memcmp(h + 26, pic.b, 7), 0);
        const CapPacketSlot& s = n->astSlot[f];
        EXPECT_EQ(s.u8Flags, CAP_SLOT_START | CAP_SLOT_END);
        EXPECT_EQ(s.u8Kind, 4);
        EXPECT_EQ(s.u16Start, f * frame);
        EXPECT_EQ(s.u32FrameLen, frame);
        EXPECT_EQ(s.u16PacketLen, frame);
    }
    EXPECT_EQ(info.u64Pts, 123456u);
    while (list.pOldest != nullptr) CapListFree(&list, list.pOldest);
}

TEST_F(CapListsTest, APictureLargerThanANodeGoesOnInNewNodesWithItsEndInTheLast) {
    g_nodeSize = 20;  // the header and 4 bytes
    CapList list{nullptr, nullptr};
    TwoPacks pic;
    CapStreamInfo info{1, 64, 64, 0};
    ASSERT_EQ(JPEGCopy2Buf(&info, &list, &pic.stream), 0);
    std::vector<uint8_t> all;
    int nodes = 0;
    for (CapFrameNode* n = list.pOldest; n != nullptr; n = n->pNext, ++nodes) {
        all.insert(all.end(), n->stBuf.pu8WritePos - n->u32Used, n->stBuf.pu8WritePos);
    }
    EXPECT_EQ(nodes, 2);
    ASSERT_EQ(all.size(), 33u);
    EXPECT_EQ(std::memcmp(all.data() + 16, pic.a + 2, 10), 0);
    EXPECT_EQ(std::memcmp(all.data() + 26, pic.b, 7), 0);
    EXPECT_EQ(list.pOldest->astSlot[0].u8Flags, CAP_SLOT_START);
    EXPECT_NE(list.pNewest->astSlot[0].u8Flags & CAP_SLOT_END, 0);
    EXPECT_EQ(list.pOldest->bFull, 1u);
    while (list.pOldest != nullptr) CapListFree(&list, list.pOldest);
}

TEST_F(CapListsTest, FailuresStoreNothingAndAnswerMinusOne) {
    TwoPacks pic;
    CapStreamInfo info{1, 64, 64, 0};
    struct Case {
        const char* what;
        CapListAllocFn alloc;
        uint32_t nodeSize;
        bool nullInfo, nullList, badOffset;
    } cases[] = {
        {"no header information", Alloc, 8192, true, false, false},
        {"no list", Alloc, 8192, false, true, false},
        {"no buffer for the node", Refuse, 8192, false, false, false},
        {"header larger than a node", Alloc, 8, false, false, false},
        {"pack offset beyond the pack", Alloc, 8192, false, false, true},
    };
    for (const Case& c : cases) {
        g_nodeSize = c.nodeSize;
        CapListSetAllocHook(c.alloc);
        CapList list{nullptr, nullptr};
        TwoPacks p;
        if (c.badOffset) p.packs[1].u32DataOffset = 8;
        EXPECT_EQ(JPEGCopy2Buf(c.nullInfo ? nullptr : &info, c.nullList ? nullptr : &list, &p.stream), -1) << c.what;
        CapListInfoS in{};
        CapListInfo(&list, &in);
        uint32_t frames = 0;
        for (CapFrameNode* n = list.pOldest; n != nullptr; n = n->pNext) frames += n->u32SlotCnt;
        EXPECT_EQ(frames, 0u) << c.what;
        while (list.pOldest != nullptr) CapListFree(&list, list.pOldest);
    }
    (void)pic;
}

TEST(JpegSnapInterval, RateCodesGiveTheirIntervalAndCodeZeroOneSecond) {
    struct {
        uint32_t code;
        uint64_t us;
    } cases[] = {{0, 1000000}, {1, 1000000}, {2, 500000}, {25, 40000}, {127, 7874},
                 {128, 128000000}, {250, 6000000}, {255, 1000000}};
    for (const auto& c : cases) EXPECT_EQ(JpegSnapIntervalUs(c.code), c.us) << c.code;
}

// A node with `frames` frames in list `idx`, moved on from (full) or not.
void PutNode(uint32_t idx, uint32_t frames, bool full) {
    CapList* l = CaptureGetList(idx);
    ASSERT_NE(l, nullptr) << idx;
    CapFrameNode* n = CapListAlloc(l, 64);
    ASSERT_NE(n, nullptr);
    n->u32SlotCnt = frames;
    n->bFull = full ? 1 : 0;
    n->u32Used = 10 * idx + frames;
    n->stBuf.pu8WritePos += n->u32Used;
}

TEST_F(CapListsTest, GetBufferCyclesThroughTheListsTakingCompleteNodesOnly) {
    // 2 channels: lists 0..3 are streams, 4.. JPEG of channel number list - 4; eight lists in all.
    ASSERT_EQ(CaptureListCount(), 3u * 2 + 2);
    PutNode(0, 1, true);   // main of channel 0: moved on from
    PutNode(2, 3, false);  // main of channel 1: several frames but not moved on from
    PutNode(3, 2, false);  // sub of channel 1: more than one frame
    PutNode(1, 1, false);  // sub of channel 0: one frame only
    PutNode(7, 1, true);   // JPEG of channel number 3 (a decode channel)
    struct Want {
        int32_t chn;
        uint32_t type, used;
    } want[] = {{0, 0, 1}, {1, 1, 32}, {3, 4, 71}};
    for (const Want& w : want) {
        int32_t chn = -9;
        uint32_t type = 9;
        CaptureBufferS mem{};
        ASSERT_EQ(CaptureGetBuffer(&chn, &type, &mem), 0);
        EXPECT_EQ(chn, w.chn);
        EXPECT_EQ(type, w.type);
        EXPECT_EQ(mem.u32Used, w.used);
        ASSERT_NE(mem.pu8Data, nullptr);
    }
    int32_t chn;
    uint32_t type;
    CaptureBufferS mem{};
    EXPECT_EQ(CaptureGetBuffer(&chn, &type, &mem), -1) << "only incomplete nodes are left";
    EXPECT_EQ(CaptureGetList(2)->pOldest != nullptr && CaptureGetList(1)->pOldest != nullptr, true);
    // The cycle goes on after the last list served: a new complete node in list 0 comes before list 7's.
    PutNode(7, 1, true);
    PutNode(0, 1, true);
    ASSERT_EQ(CaptureGetBuffer(&chn, &type, &mem), 0);
    EXPECT_EQ(type, 0u);
    ASSERT_EQ(CaptureGetBuffer(&chn, &type, &mem), 0);
    EXPECT_EQ(type, 4u);
}

TEST_F(CapListsTest, GetBufferRefusesNullArguments) {
    int32_t chn;
    uint32_t type;
    CaptureBufferS mem;
    PutNode(0, 1, true);
    EXPECT_EQ(CaptureGetBuffer(nullptr, &type, &mem), -1);
    EXPECT_EQ(CaptureGetBuffer(&chn, nullptr, &mem), -1);
    EXPECT_EQ(CaptureGetBuffer(&chn, &type, nullptr), -1);
    EXPECT_NE(CaptureGetList(0)->pOldest, nullptr) << "nothing taken";
}

TEST_F(CapListsTest, JpegListsFollowTheStreamListsAndEndWithTheDecodeChannels) {
    EXPECT_EQ(CaptureJpegListOf(0), 4);
    EXPECT_EQ(CaptureJpegListOf(3), 7);  // decode channel 1, the last list
    EXPECT_EQ(CaptureJpegListOf(4), -1);
    EXPECT_EQ(CaptureJpegListOf(-1), -1);
    EXPECT_NE(CaptureGetList(7), nullptr);
    EXPECT_EQ(CaptureGetList(8), nullptr);
}

TEST(CaptureDspInfo, ANullRecordIsRefused) {
    EXPECT_EQ(CaptureGetDspInfoV2(nullptr), -1);
}

}  // namespace

namespace {

int32_t Wiring(int32_t chn, int32_t sel) {
    if (sel != 0) return 3;
    return chn == 1 ? 17 : 14;
}

TEST(CaptureDspInfo, EachChannelReportsItsWiringSizesAndRateOnceBuilt) {
    SLAVE_SYS_PARAM_S p{};
    p.u32ChnEnd = 2;
    p.stSlaveCfg.u8JpegEnable = 1;
    SlaveStoreSysParam(&p);
    CommSetSplitGetChnViHook(Wiring);
    CaptureDspInfoReset();
    CAPTURE_DSP_INFO_S d{};
    ASSERT_EQ(CaptureGetDspInfoV2(&d), 0);
    EXPECT_EQ(d.u32ChnNum, 2u);
    EXPECT_EQ(d.u32StreamNum, 4u);
    EXPECT_EQ(d.u32Flags, CAPTURE_DSP_JPEG);
    EXPECT_EQ(d.astChn[0].u32MainSizes, (1u << 14) | (1u << 3));
    EXPECT_EQ(d.astChn[0].u32SubSizes, 1u << 3);
    EXPECT_EQ(d.astChn[0].u32MainMaxFps, 25u);
    EXPECT_EQ(d.astChn[1].u32MainSizes, (1u << 17) | (1u << 3));
    EXPECT_EQ(d.astChn[1].u32MainMaxFps, 15u) << "wiring value 17 runs at 15";
    EXPECT_EQ(d.astChn[2].u32MainSizes, 0u);
    // Built once: a later set-up is not seen until the cache is dropped.
    p.u32ChnEnd = 1;
    p.stSlaveCfg.u8JpegEnable = 0;
    SlaveStoreSysParam(&p);
    CAPTURE_DSP_INFO_S again{};
    ASSERT_EQ(CaptureGetDspInfoV2(&again), 0);
    EXPECT_EQ(std::memcmp(&again, &d, sizeof d), 0);
    CaptureDspInfoReset();
    ASSERT_EQ(CaptureGetDspInfoV2(&again), 0);
    EXPECT_EQ(again.u32ChnNum, 1u);
    EXPECT_EQ(again.u32Flags, 0u);
    CaptureDspInfoReset();
    CommClearSetupHooks();
    SlaveResetSysCfg();
}

}  // namespace
