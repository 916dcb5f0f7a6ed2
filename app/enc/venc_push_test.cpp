// The H.264 push: the stream header, where a record goes in the local buffer, and the fetch pass on
// real encoder channels against a master that acknowledges, or stops acknowledging, its ring.
#include "app/enc/venc_push.h"

#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "app/enc/capture_test_util.h"
#include "app/pci/pciv_slave.h"
#include "platform/dev/driver.h"
#include "platform/drivers/venc/venc_driver.h"
#include "sdk/pciv/pciv_ioctl.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace view = varnelle::drivers::venc_view;
using varnelle::testing::ParsedRecord;
using varnelle::testing::ParseRecords;
using varnelle::testing::RingMaster;

TEST(VencPushHeadTest, LengthsAndFirstPackFields) {
    struct Pack {
        uint32_t len, off;
        uint64_t pts;
        uint32_t end, type;
    };
    struct Case {
        std::vector<Pack> packs;
        uint32_t len, padded;
    };
    // Lengths are summed over (length - offset); the padding raises them to a multiple of 4.
    const Case cases[] = {
        {{{600, 0, 40000, 0, 7}, {421, 20, 40000, 1, 5}}, 1001, 1004},
        {{{1004, 0, 7, 1, 1}}, 1004, 1004},
        {{{3, 0, 1, 1, 1}}, 3, 4},
        {{}, 0, 0},
        {{{10, 10, 5, 0, 8}}, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<VENC_PACK_S> packs(c.packs.size() + 1);
        for (size_t i = 0; i < c.packs.size(); ++i) {
            packs[i].u32Len = c.packs[i].len;
            packs[i].u32DataOffset = c.packs[i].off;
            packs[i].u64Pts = c.packs[i].pts;
            packs[i].bFrameEnd = c.packs[i].end;
            packs[i].u32DataType = c.packs[i].type;
        }
        VENC_STREAM_S st{};
        st.pstPack = packs.data();
        st.u32PackCnt = static_cast<uint32_t>(c.packs.size());
        st.u32SeqNum = 77;
        PCIV_StreamHead h = VencPushMakeHead(&st, 96, 5);
        std::vector<uint8_t> b(sizeof(h));
        std::memcpy(b.data(), &h, sizeof(h));
        auto rec = ParseRecords(b.data(), b.size());
        // The header alone, read by the table's offsets (its payload is not in these bytes).
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 0), 0x55555555u);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 4), 96u);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 8), c.padded);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 12), c.len);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 16), 77u);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 20), 0u);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 32), 5u);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 36), 0u);
        uint64_t pts;
        std::memcpy(&pts, b.data() + 24, 8);
        EXPECT_EQ(pts, c.packs.empty() ? 0 : c.packs[0].pts);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 40), c.packs.empty() ? 0 : c.packs[0].end);
        EXPECT_EQ(varnelle::testing::WordAt(b.data(), 44), c.packs.empty() ? 0 : c.packs[0].type);
    }
}

TEST(VencPushHeadTest, PlacementAtTheSendLimit) {
    struct Case {
        uint32_t fill, record, limit;
        VencPushPlace want;
    };
    const Case cases[] = {
        {0, 1000, 1000, VENC_PUSH_WRITE},          // a record of the whole limit into an empty buffer
        {0, 1001, 1000, VENC_PUSH_NEVER},          // never fits, whatever is sent first
        {400, 600, 1000, VENC_PUSH_WRITE},         // exactly the room left
        {400, 601, 1000, VENC_PUSH_SEND_FIRST},    // one byte more
        {1000, 48, 1000, VENC_PUSH_SEND_FIRST},
        {0xFFFFFFF0u, 0x20, 0xFFFFFFFFu, VENC_PUSH_SEND_FIRST},  // no wrap in the sum
    };
    for (const Case& c : cases)
        EXPECT_EQ(VencPushPlaceRecord(c.fill, c.record, c.limit), c.want) << c.fill << "+" << c.record;
}

// Stops the fetch thread when a test returns, also early from a failed wait, and opens the notice
// port again where the test closed it, so that one failure leaves the next tests their process.
struct FetchJoiner {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~FetchJoiner() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (PCIV_PortFd(0, varnelle::testing::kVideoNotice) < 0)
            PCIV_OpenMsgPort(0, varnelle::testing::kVideoNotice);
    }
};

// Encoder channels 0 to 3 (capture channels 0 and 1, main and sub) with small pictures, a master that
// acknowledges its ring, and the H.264 thread's state.
class VencPushFlowTest : public ::testing::Test {
protected:
    static constexpr int kStreams = 4;

    void SetUp() override {
        m_ram = varnelle::testing::CaptureTestBus();
        m_master = std::make_unique<varnelle::testing::FakeMaster>();
        ASSERT_TRUE(m_master->ok());
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnStart = 0;
        p.u32ChnEnd = kStreams / 2;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(CaptureStateInit(), 0);
        for (int s = 0; s < kStreams; ++s) {
            VENC_CHN_ATTR_S a{};
            a.stVeAttr.enType = PT_H264;
            a.stVeAttr.stAttrH264e = {176, 144, 65536, 2, 1, 176, 144, 0, 0};
            a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
            a.stRcAttr.stAttrH264Cbr = {25, 1, 25, 25, 512, 2, {0, 0}};
            ASSERT_EQ(MK_MPI_VENC_CreateChn(s, &a), 0);
            CaptureStreamRec* rec = CaptureStream(s / 2, s % 2);
            rec->s32Fd = MK_MPI_VENC_GetFd(s);
            rec->s32Receiving = 1;
        }
        m_ctx.pSlot = &m_slot;
        m_ctx.u32PayloadType = VENC_PT_H264;
    }
    void TearDown() override {
        varnelle::testing::StopSlotSender(&m_slot);
        for (int s = 0; s < kStreams; ++s) MK_MPI_VENC_DestroyChn(s);
        CaptureResetState();
        SlaveResetSysCfg();
        varnelle::dev::Registry::Find("/dev/pciv")->ClearFaults();
    }
    bool StartSender(uint32_t size) {
        return varnelle::testing::StartSlotSender(&m_slot, varnelle::testing::kVideoRingPhys, size,
                                                  varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck);
    }
    PCIV_TRANS_SENDER_S* Sender() { return static_cast<PCIV_TRANS_SENDER_S*>(m_slot.pTrans.load()); }

    varnelle::mem::Ram* m_ram = nullptr;
    std::unique_ptr<varnelle::testing::FakeMaster> m_master;
    PCIV_TRANS_CHN_S m_slot;
    VencPushCtx m_ctx;
};

TEST_F(VencPushFlowTest, RecordsFollowEachOtherFourAlignedWithZerosInTheGaps) {
    ASSERT_TRUE(StartSender(1u << 20));
    // Whatever the buffer held before must not show through the reserved words or the padding.
    std::memset(Sender()->pu8VirAddr, 0xCC, Sender()->u32LocSize);
    for (int s = 0; s < kStreams; ++s) ASSERT_EQ(view::PushFrames(s, 3), 3);
    for (int i = 0; i < 3; ++i)
        for (int s = 0; s < kStreams; ++s) ASSERT_EQ(VencPushWriteFrame(&m_ctx, s, static_cast<uint32_t>(s)), 1);
    auto recs = ParseRecords(Sender()->pu8VirAddr, Sender()->u32Fill);
    ASSERT_EQ(recs.size(), 12u);
    EXPECT_EQ(Sender()->u32Fill % 4, 0u);
    uint32_t nextSeq[kStreams] = {};
    size_t at = 0;
    for (const ParsedRecord& r : recs) {
        EXPECT_EQ(r.at, at);
        at += 48 + r.padded;
        EXPECT_EQ(r.magic, 0x55555555u);
        EXPECT_EQ(r.pt, 96u);
        EXPECT_EQ(r.padded, (r.len + 3) / 4 * 4);
        EXPECT_EQ(r.res20, 0u);
        EXPECT_EQ(r.res36, 0u);
        EXPECT_EQ(r.padding, std::vector<uint8_t>(r.padded - r.len, 0));
        ASSERT_LT(r.chn, 4u);
        EXPECT_EQ(r.seq, nextSeq[r.chn]++) << "channel " << r.chn;
        // An H.264 frame starts with a start code; an I frame with its sequence parameter set.
        ASSERT_GE(r.payload.size(), 5u);
        EXPECT_EQ(r.payload[0] | r.payload[1] | r.payload[2], 0);
        EXPECT_EQ(r.payload[3], 1);
        EXPECT_EQ(r.payload[4] & 0x1F, r.type);
    }
    EXPECT_EQ(recs[0].type, 7u) << "the first frame is an I frame";
    for (int s = 0; s < kStreams; ++s) EXPECT_EQ(view::Get(s)->fetchedFrames, 0u) << "every frame released";
}

TEST_F(VencPushFlowTest, FourFramesWaitForTheFifthBeforeTheyAreSent) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(StartSender(1u << 20));
    for (int s = 0; s < kStreams; ++s) ASSERT_EQ(view::PushFrames(s, 1), 1);
    ASSERT_EQ(VencPushPass(&m_ctx), 4);
    EXPECT_EQ(m_ctx.stats.u64Sends.load(), 0u);
    EXPECT_GT(Sender()->u32Fill, 0u);
    ASSERT_EQ(view::PushFrames(2, 1), 1);
    ASSERT_EQ(VencPushPass(&m_ctx), 1);
    EXPECT_EQ(m_ctx.stats.u64Sends.load(), 1u);
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.RecordCount() == 5; }));
    auto recs = ring.Records();
    const uint32_t order[] = {0, 1, 2, 3, 2};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(recs[i].chn, order[i]) << i;
    EXPECT_EQ(ring.Notices(), 1u);
}

TEST_F(VencPushFlowTest, NoStreamReceivingOrNoChannelMeansWait) {
    for (int s = 0; s < kStreams; ++s) CaptureStream(s / 2, s % 2)->s32Receiving = 0;
    EXPECT_EQ(VencPushPass(&m_ctx), -1);
    CaptureStream(1, 1)->s32Receiving = 1;
    SLAVE_SYS_PARAM_S p{};
    SlaveStoreSysParam(&p);  // no capture channel on this chip
    EXPECT_EQ(VencPushPass(&m_ctx), -1);
}

TEST_F(VencPushFlowTest, StreamsWithoutDescriptorOrNotReceivingAreNotFetched) {
    ASSERT_TRUE(StartSender(1u << 20));
    for (int s = 0; s < kStreams; ++s) ASSERT_EQ(view::PushFrames(s, 1), 1);
    CaptureStream(0, 1)->s32Fd = -1;
    CaptureStream(1, 0)->s32Receiving = 0;
    ASSERT_EQ(VencPushPass(&m_ctx), 2);
    auto recs = ParseRecords(Sender()->pu8VirAddr, Sender()->u32Fill);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].chn, 0u);
    EXPECT_EQ(recs[1].chn, 3u);
    EXPECT_EQ(view::Get(1)->queuedFrames, 1u);
    EXPECT_EQ(view::Get(2)->queuedFrames, 1u);
}

TEST_F(VencPushFlowTest, AFrameBeforeAnySenderIsReleasedAndCounted) {
    ASSERT_EQ(view::PushFrames(0, 2), 2);
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 0);
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 0);
    EXPECT_EQ(m_ctx.stats.u64DropNoSender.load(), 2u);
    EXPECT_EQ(view::Get(0)->fetchedFrames, 0u);
    EXPECT_EQ(view::Get(0)->queuedFrames, 0u);
    EXPECT_EQ(m_ctx.s32SinceSend, 0);
}

TEST_F(VencPushFlowTest, AFrameLargerThanHalfTheRingIsDroppedTheRestGoes) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    // An I frame of the 176 x 144 test picture is well above 512 bytes; its P frames are below.
    ASSERT_TRUE(StartSender(1024));
    ASSERT_EQ(view::PushFrames(0, 3), 3);
    for (int i = 0; i < 3; ++i) VencPushWriteFrame(&m_ctx, 0, 0);
    EXPECT_EQ(m_ctx.stats.u64DropTooLarge.load(), 1u);
    EXPECT_EQ(m_ctx.stats.u64Frames.load(), 2u);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.RecordCount() == 2; }));
    for (const ParsedRecord& r : ring.Records()) EXPECT_LE(48 + r.padded, 512u);
    EXPECT_EQ(view::Get(0)->fetchedFrames, 0u);
}

TEST_F(VencPushFlowTest, AHeldFrameKeepsItsOwnChannelAndComesFirst) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(StartSender(1u << 20));
    ASSERT_EQ(view::PushFrames(3, 1), 1);
    ASSERT_EQ(view::PushFrames(0, 1), 1);
    // Fill the buffer to just below its send limit with a record of the master's own making, and let
    // the one send that would make room fail.
    const uint32_t limit = Sender()->u32RemoteSize / 2;
    std::vector<uint8_t> filler(limit - 40, 0);
    const uint32_t head[4] = {0x55555555, 96, limit - 88, limit - 88};
    std::memcpy(filler.data(), head, sizeof(head));
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(Sender(), filler.data(), static_cast<uint32_t>(filler.size())), 0);
    varnelle::dev::Registry::Find("/dev/pciv")->FailRequest(PCIV_DMATASK_CTRL, -1, 1);
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 0);
    ASSERT_FALSE(m_ctx.held.empty());
    EXPECT_EQ(view::Get(3)->fetchedFrames, 0u) << "the encoder has its frame back while it waits";
    // The pass that comes next writes nothing before the held frame is out.
    ASSERT_EQ(VencPushPass(&m_ctx), 0);
    EXPECT_TRUE(m_ctx.held.empty());
    ASSERT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 1);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.RecordCount() == 3; }));
    auto recs = ring.Records();
    EXPECT_EQ(recs[1].chn, 3u) << "the held frame carries the stream it came from";
    EXPECT_EQ(recs[2].chn, 0u);
}

TEST_F(VencPushFlowTest, AMasterThatStopsAcknowledgingHoldsUpNoLockAndTheStreamResumes) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(StartSender(64 * 1024));
    ring.HoldAcks(true);
    std::atomic<bool> stop{false};
    m_ctx.pStop = &stop;
    std::thread fetch([&] { SlaveVencGetStream(&m_ctx); });
    // Frames keep coming until the ring is full and the thread retries its send.
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64SendRetries.load() >= 3;
    }));
    // A capture command or a title takes the capture lock meanwhile.
    ASSERT_EQ(CaptureLock(), 0);
    ASSERT_EQ(CaptureUnlock(), 0);
    const uint64_t sentBefore = m_ctx.stats.u64Sends.load();
    ring.HoldAcks(false);
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64Sends.load() >= sentBefore + 3;
    }));
    stop = true;
    fetch.join();
    // Nothing fetched was lost: the master sees every sequence number and rising time stamps.
    auto recs = ring.Records();
    ASSERT_GT(recs.size(), 5u);
    for (size_t i = 1; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i].seq, recs[i - 1].seq + 1) << i;
        EXPECT_GT(recs[i].pts, recs[i - 1].pts) << i;
    }
    EXPECT_EQ(m_ctx.stats.u64DropNoSender.load() + m_ctx.stats.u64DropStopped.load(), 0u);
}

// The notice port is gone for a while (the channel broken) while the thread retries its send: once
// it is back the stream goes on through the same sender, every frame in order.
TEST_F(VencPushFlowTest, NoticesThatFailForAWhileLoseNoFrameAndTheStreamResumes) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(StartSender(16 * 1024));
    std::atomic<bool> stop{false};
    m_ctx.pStop = &stop;
    ASSERT_EQ(PCIV_CloseMsgPort(0, varnelle::testing::kVideoNotice), 0);
    std::thread fetch([&] { SlaveVencGetStream(&m_ctx); });
    const FetchJoiner joiner{stop, fetch};
    // Far more failed retries than the ring has room for the frames they carry.
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64SendRetries.load() >= 20;
    }));
    ASSERT_EQ(PCIV_OpenMsgPort(0, varnelle::testing::kVideoNotice), 0);
    const uint64_t sentBefore = m_ctx.stats.u64Sends.load();
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64Sends.load() >= sentBefore + 5;
    }));
    stop = true;
    fetch.join();
    // A notice sent is not yet one the master has read: its reader takes them in its own time.
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.Notices() == Sender()->u32Seq.load(); }));
    auto recs = ring.Records();
    ASSERT_GT(recs.size(), 5u);
    EXPECT_EQ(recs[0].seq, 0u);
    for (size_t i = 1; i < recs.size(); ++i) EXPECT_EQ(recs[i].seq, recs[i - 1].seq + 1) << i;
}

TEST_F(VencPushFlowTest, ASenderStoppedWhileAFrameWaitsDropsItAndLetsTheThreadGo) {
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(StartSender(64 * 1024));
    ring.HoldAcks(true);
    std::atomic<bool> stop{false};
    m_ctx.pStop = &stop;
    std::thread fetch([&] { SlaveVencGetStream(&m_ctx); });
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64SendRetries.load() >= 2;
    }));
    // A repeated command 10 stops the sender: the retry sees it and lets the slot go.
    varnelle::testing::StopSlotSender(&m_slot);
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(0, 1);
        return m_ctx.stats.u64DropNoSender.load() >= 1;
    }));
    stop = true;
    fetch.join();
    EXPECT_EQ(view::Get(0)->fetchedFrames, 0u);
}

// Command 96 renews the sender's local buffer (from the command loop, under the slot's lock) while
// the fetch thread writes into it: the stream goes on in the same ring, its notices in sequence, each
// channel's frames too (the ones fetched while the buffer is away included), and nothing is said, as
// a sender runs throughout.
TEST_F(VencPushFlowTest, ASetUpRenewsTheBufferUnderTheRunningThreadAndTheRingGoesOn) {
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    m_ctx.pSlot = slot;
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    ASSERT_TRUE(varnelle::testing::StartSlotSender(slot, varnelle::testing::kVideoRingPhys, 1u << 20,
                                                   varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck));
    auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load());
    std::atomic<bool> stop{false};
    m_ctx.pStop = &stop;
    ::testing::internal::CaptureStdout();
    std::thread fetch([&] { SlaveVencGetStream(&m_ctx); });
    const FetchJoiner joiner{stop, fetch};
    for (int round = 0; round < 10; ++round) {
        const uint64_t sends = m_ctx.stats.u64Sends.load();
        ASSERT_TRUE(RingMaster::WaitUntil([&] {
            view::PushFrames(round % kStreams, 1);
            return m_ctx.stats.u64Sends.load() > sends;
        }));
        SlaveReleaseSenderBuffers();
        // A frame fetched while the buffer is away joins what the sender carries.
        const uint64_t frames = m_ctx.stats.u64Frames.load();
        ASSERT_TRUE(RingMaster::WaitUntil([&] {
            view::PushFrames(0, 1);
            return m_ctx.stats.u64Frames.load() > frames;
        }));
        SlaveTakeSenderBuffers();
    }
    const uint64_t sends = m_ctx.stats.u64Sends.load();
    ASSERT_TRUE(RingMaster::WaitUntil([&] {
        view::PushFrames(1, 1);
        return m_ctx.stats.u64Sends.load() > sends + 1;
    }));
    stop = true;
    fetch.join();
    // The last notice may still be on its way to the master.
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.Notices() == sender->u32Seq.load(); }));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot->pTrans.load(), sender);
    EXPECT_EQ(m_ctx.stats.u64DropNoSender.load(), 0u);
    EXPECT_EQ(out.find("sender runs"), std::string::npos) << out;
    EXPECT_EQ(out.find("Trans_GetWriteOffset fail"), std::string::npos) << out;
    // Every notice the sender counted reached the master, and their data are whole records.
    EXPECT_EQ(ring.Notices(), sender->u32Seq.load());
    uint32_t next[kStreams] = {};
    for (const ParsedRecord& r : ring.Records()) {
        EXPECT_EQ(r.magic, 0x55555555u);
        ASSERT_LT(r.chn, static_cast<uint32_t>(kStreams));
        EXPECT_EQ(r.seq, next[r.chn]++) << "channel " << r.chn;
    }
    varnelle::testing::StopSlotSender(slot);
}

// Command 96 sends nothing: what the sender holds crosses into the new buffer and leaves with the send
// after the next frame, in sequence; a send that was due before the set-up is not made after it. A
// repeated command 10 drops what its sender held (counted), so the new ring starts with new frames only.
TEST_F(VencPushFlowTest, ASetUpSendsNothingAndWhatTheSenderHeldGoesWithItsNextSendOrNowhere) {
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    m_ctx.pSlot = slot;
    auto start = [&] {
        return varnelle::testing::StartSlotSender(slot, varnelle::testing::kVideoRingPhys, 1u << 20,
                                                  varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck);
    };
    auto setUp = [] {
        SlaveReleaseSenderBuffers();
        SlaveTakeSenderBuffers();
    };
    auto write = [&](int frames) {
        ASSERT_EQ(view::PushFrames(0, frames), frames);
        for (int i = 0; i < frames; ++i) ASSERT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 1);
    };
    auto noticeOf = [](const varnelle::testing::FakeMaster::Record& r) {
        return *reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
    };
    auto fill = [slot] { return static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load())->u32Fill; };
    varnelle::testing::FakeMaster::Record r;
    ASSERT_TRUE(start());
    write(3);
    const uint32_t held = fill();
    setUp();
    EXPECT_EQ(fill(), held);
    EXPECT_EQ(VencPushSend(&m_ctx), -1) << "nothing written into the new buffer yet";
    EXPECT_FALSE(m_master->Take(varnelle::testing::kVideoNotice, &r, std::chrono::milliseconds(200)));
    write(1);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(m_master->Take(varnelle::testing::kVideoNotice, &r));
    PCIV_TRANS_NOTICE_S n = noticeOf(r);
    EXPECT_EQ(n.u32Seq, 0u);
    EXPECT_EQ(n.u32Start, 0u);
    std::vector<uint8_t> data(n.u32End - n.u32Start);
    m_ram->Read(varnelle::testing::kVideoRingPhys + n.u32Start, data.data(), data.size());
    const auto recs = ParseRecords(data.data(), data.size());
    ASSERT_EQ(recs.size(), 4u);
    for (uint32_t i = 0; i < recs.size(); ++i) EXPECT_EQ(recs[i].seq, i);

    write(2);
    const uint32_t dropped = fill();
    setUp();
    const uint64_t droppedBefore = slot->u64DroppedHeld.load();  // the slot counts for the whole process
    ::testing::internal::CaptureStdout();
    SlaveStopSender(slot);  // as a repeated command 10 does, before its new sender
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot->u64DroppedHeld.load() - droppedBefore, dropped);
    EXPECT_NE(out.find("held " + std::to_string(dropped) + " bytes since its last send: dropped"), std::string::npos)
        << out;
    ASSERT_TRUE(start());
    write(1);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(m_master->Take(varnelle::testing::kVideoNotice, &r));
    n = noticeOf(r);
    EXPECT_EQ(n.u32Seq, 0u);
    EXPECT_EQ(n.u32Start, 0u);
    data.assign(n.u32End - n.u32Start, 0);
    m_ram->Read(varnelle::testing::kVideoRingPhys + n.u32Start, data.data(), data.size());
    ASSERT_EQ(ParseRecords(data.data(), data.size()).size(), 1u) << "only the frame written after the new 10";
    varnelle::testing::StopSlotSender(slot);
}

// No block for the new buffer: one line names command 10; the frames that come meanwhile are counted
// and their first drop is said once; a later set-up with room brings the stream back with the count.
// A sender without a buffer stops as any other (a repeated command 10) and gives back no block.
TEST_F(VencPushFlowTest, ASenderLeftWithoutABufferDropsFramesSaysSoOnceAndComesBack) {
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    m_ctx.pSlot = slot;
    ASSERT_TRUE(varnelle::testing::StartSlotSender(slot, varnelle::testing::kVideoRingPhys, 1u << 20,
                                                   varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck));
    SlaveReleaseSenderBuffers();
    std::vector<VB_BLK> taken;
    for (VB_BLK b; (b = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 1u << 20, nullptr)) != VB_INVALID_HANDLE;)
        taken.push_back(b);
    ASSERT_FALSE(taken.empty());
    ::testing::internal::CaptureStdout();
    SlaveTakeSenderBuffers();
    ASSERT_EQ(view::PushFrames(0, 3), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("encoded-video sender: no local buffer of 1048576 bytes in the new pools: its frames are "
                       "dropped until command 10 starts it again"),
              std::string::npos)
        << out;
    const std::string said = "no encoded-video sender runs: its frames are dropped (counted) until command 10";
    EXPECT_NE(out.find(said), std::string::npos) << out;
    EXPECT_EQ(out.find(said), out.rfind(said)) << "said once\n" << out;
    EXPECT_EQ(m_ctx.stats.u64DropNoSender.load(), 3u);
    EXPECT_EQ(view::Get(0)->fetchedFrames, 0u) << "the encoder has its frames back";

    MK_MPI_VB_ReleaseBlock(taken.back());
    taken.pop_back();
    ::testing::internal::CaptureStdout();
    SlaveReleaseSenderBuffers();
    SlaveTakeSenderBuffers();
    ASSERT_EQ(view::PushFrames(0, 1), 1);
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 0, 0), 1);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("encoded-video sender runs: 3 frames were dropped while none ran"), std::string::npos) << out;

    // Left without a buffer again, then stopped: the blocks the test holds are still its own.
    SlaveReleaseSenderBuffers();
    taken.push_back(MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 1u << 20, nullptr));
    ASSERT_NE(taken.back(), VB_INVALID_HANDLE);
    ::testing::internal::CaptureStdout();
    SlaveTakeSenderBuffers();
    ::testing::internal::GetCapturedStdout();
    varnelle::testing::StopSlotSender(slot);
    for (VB_BLK b : taken) EXPECT_EQ(MK_MPI_VB_ReleaseBlock(b), 0);
}

// A frame held for room goes on in the ring across command 96 (after what the buffer held, once a
// send is made), and a frame fetched while the buffer is renewed joins what the sender carries. When a
// repeated command 10 replaces the sender, the held frame is dropped with the line the sender's own
// held bytes get.
TEST_F(VencPushFlowTest, WhatTheThreadHoldsGoesOnAcrossASetUpAndOnlyAReplacedSenderDropsIt) {
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    m_ctx.pSlot = slot;
    RingMaster ring(m_master.get(), m_ram, varnelle::testing::kVideoRingPhys, varnelle::testing::kVideoNotice,
                    varnelle::testing::kVideoAck);
    auto start = [&] {
        return varnelle::testing::StartSlotSender(slot, varnelle::testing::kVideoRingPhys, 1u << 20,
                                                  varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck);
    };
    // A record of the test's own (channel 0) that leaves less room than any frame below the send limit.
    auto fillNearLimit = [&] {
        auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load());
        const uint32_t limit = sender->u32RemoteSize / 2;
        std::vector<uint8_t> filler(limit - 40, 0);
        const uint32_t head[4] = {0x55555555, 96, limit - 88, limit - 88};
        std::memcpy(filler.data(), head, sizeof(head));
        std::lock_guard<std::mutex> lock(slot->mtxTrans);
        ASSERT_EQ(PCIV_Trans_WriteLocBuf(sender, filler.data(), static_cast<uint32_t>(filler.size())), 0);
    };
    auto setUp = [] {
        SlaveReleaseSenderBuffers();
        SlaveTakeSenderBuffers();
    };
    ASSERT_TRUE(start());
    ASSERT_EQ(view::PushFrames(3, 5), 5);
    fillNearLimit();
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 0);
    ASSERT_FALSE(m_ctx.held.empty());
    SlaveReleaseSenderBuffers();
    EXPECT_EQ(VencPushSend(&m_ctx), -1) << "nothing is sent while the buffer is renewed";
    EXPECT_FALSE(m_ctx.held.empty()) << "no room next to the filler: the frame waits";
    SlaveTakeSenderBuffers();
    EXPECT_EQ(VencPushSend(&m_ctx), -1) << "nor is a send that was due before the set-up";
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    EXPECT_TRUE(m_ctx.held.empty());
    ASSERT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 1);
    SlaveReleaseSenderBuffers();
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 1) << "written while the buffer is away";
    SlaveTakeSenderBuffers();
    ASSERT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 1);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(RingMaster::WaitUntil([&] { return ring.RecordCount() == 5; }));
    const auto recs = ring.Records();
    for (uint32_t i = 1; i < 5; ++i) {
        EXPECT_EQ(recs[i].chn, 3u) << i;
        EXPECT_EQ(recs[i].seq, i - 1) << i;
    }

    fillNearLimit();
    EXPECT_EQ(VencPushWriteFrame(&m_ctx, 3, 3), 0);
    const size_t held = m_ctx.held.size();
    ASSERT_NE(held, 0u);
    setUp();
    const uint64_t dropped = slot->u64DroppedHeld.load();
    ::testing::internal::CaptureStdout();
    SlaveStopSender(slot);  // as a repeated command 10 does, before its new sender
    ASSERT_TRUE(start());
    EXPECT_EQ(VencPushSend(&m_ctx), -1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(m_ctx.held.empty());
    EXPECT_EQ(m_ctx.stats.u64DropStopped.load(), 1u);
    EXPECT_NE(out.find("held " + std::to_string(held) + " bytes since its last send: dropped"), std::string::npos)
        << out;
    EXPECT_GT(slot->u64DroppedHeld.load(), dropped + held) << "the filler the sender held, and the frame";
    varnelle::testing::StopSlotSender(slot);
}

}  // namespace
