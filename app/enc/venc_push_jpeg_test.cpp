// The JPEG push: one picture per started channel and pass, in the size the last type-4 format asked
// for, the encoder channel made again for a new size without a new bind.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_system.h"
#include "app/enc/capture_cmd.h"
#include "app/enc/capture_state.h"
#include "app/enc/capture_test_util.h"
#include "app/enc/venc_push.h"
#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/venc/venc_driver.h"
#include "sdk/sys/sys_ioctl.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace view = varnelle::drivers::venc_view;
namespace vt = varnelle::testing;
using varnelle::drivers::BindGraph;

int32_t Wiring(int32_t chn, int32_t* vi, int32_t* dev) {
    *vi = chn;
    *dev = chn / 4;
    return chn >= 0 && chn < 32 ? 0 : -1;
}
int32_t ChnVi(int32_t, int32_t sel) {
    return sel == 0 ? 0 : 3;
}

// The size libjpeg reads from a picture; {0, 0} when it is no JPEG.
std::pair<uint32_t, uint32_t> JpegSize(const std::vector<uint8_t>& data) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
    std::pair<uint32_t, uint32_t> size{0, 0};
    if (jpeg_read_header(&d, TRUE) == JPEG_HEADER_OK) size = {d.image_width, d.image_height};
    jpeg_destroy_decompress(&d);
    return size;
}

class JpegPushTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ram = vt::CaptureTestBus();
        m_master = std::make_unique<vt::FakeMaster>();
        ASSERT_TRUE(m_master->ok());
        SLAVE_SYS_PARAM_S p{};
        p.u32DevType = 656;
        p.u32ChnEnd = 2;
        p.u32PicSize = 3;
        p.stHvrCap.as16Analog[HVR_CAP_D1] = 2;
        p.stSlaveCfg.u8JpegEnable = 1;
        SlaveStoreSysParam(&p);
        CommSetSplitGetChnWiringHook(Wiring);
        CommSetSplitGetChnViHook(ChnVi);
        Comm_InitVpssChnMap();
        CaptureGetState()->s32ThreadsStarted = 1;
        ASSERT_EQ(CaptureSetChnFlag(1), 0);
        ASSERT_EQ(CaptureCreate(1), 0);
        ASSERT_EQ(CaptureSetVstd(1, 0), 0);
        ASSERT_TRUE(vt::StartCaptureInput(1, 1, 704, 576));
        m_ctx.pSlot = &m_slot;
        m_ctx.u32PayloadType = VENC_PT_JPEG;
        ASSERT_TRUE(vt::StartSlotSender(&m_slot, vt::kJpegRingPhys, 4u << 20, vt::kJpegNotice, vt::kJpegAck));
    }
    void TearDown() override {
        MK_MPI_VI_DisableChn(1);
        vt::StopSlotSender(&m_slot);
        for (int e = 0; e < VENC_MAX_CHN_NUM; ++e) MK_MPI_VENC_DestroyChn(e);
        CaptureResetState();
        CommClearSetupHooks();
        SlaveResetSysCfg();
        BindGraph::Instance().Clear();
    }
    varnelle::mem::Ram* m_ram = nullptr;
    std::unique_ptr<vt::FakeMaster> m_master;
    PCIV_TRANS_CHN_S m_slot;
    VencPushCtx m_ctx;
};

TEST_F(JpegPushTest, ANewSizeGivesPicturesOfThatSizeWithoutANewBind) {
    vt::RingMaster ring(m_master.get(), m_ram, vt::kJpegRingPhys, vt::kJpegNotice, vt::kJpegAck);
    const VENC_CHN j = CaptureChn(1)->s32JpegVencChn.load();
    ASSERT_EQ(j, 1 + 2 * 2 + 2 * 2);
    const auto source = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, j});
    ASSERT_TRUE(source.has_value());
    auto sys = varnelle::dev::Registry::Find("/dev/sys");
    const int binds = sys->RequestCount(MK_SYS_IOC_BIND),
              creates = varnelle::dev::Registry::Find("/dev/venc")->RequestCount(VENC_IOC_CreateChn);
    ASSERT_EQ(CaptureStart(1, 4), 0);
    const uint8_t cif[12] = {0, 0, 3, 2, 1, 1, 0, 8, 1, 0, 0, 0};
    ASSERT_EQ(CaptureSetFormat(1, 4, cif), 0);
    // Channel 0 has no JPEG started: its turn passes. A picture of the new size arrives.
    for (int i = 0; i < 5 && m_ctx.stats.u64Frames.load() == 0; ++i) ASSERT_EQ(JpegPushPass(&m_ctx), 0);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(
        vt::RingMaster::WaitUntil([&] { return ring.RecordCount() == m_ctx.stats.u64Frames.load(); }));
    auto recs = ring.Records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].pt, 26u);
    EXPECT_EQ(recs[0].chn, 1u) << "the capture channel, not the encoder channel";
    EXPECT_EQ(JpegSize(recs[0].payload), std::make_pair(352u, 288u));
    EXPECT_EQ(view::Get(j)->attr.stVeAttr.stAttrJpeg.u32PicWidth, 352u);
    EXPECT_EQ(view::Get(j)->attr.stVeAttr.stAttrJpeg.u32BufSize, 352u * 288 * 2);
    EXPECT_FALSE(view::Get(j)->receiving) << "stopped after its picture";
    EXPECT_EQ(varnelle::dev::Registry::Find("/dev/venc")->RequestCount(VENC_IOC_CreateChn), creates + 1);
    EXPECT_EQ(sys->RequestCount(MK_SYS_IOC_BIND), binds) << "the channel kept its bind";
    auto after = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, j});
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->s32DevId, source->s32DevId);
    EXPECT_EQ(after->s32ChnId, source->s32ChnId);
    EXPECT_EQ(CaptureChn(1)->u64JpegPts.load(), recs.back().pts);
}

TEST_F(JpegPushTest, AFailedRebuildDropsTheChannelWithOneLine) {
    auto venc = varnelle::dev::Registry::Find("/dev/venc");
    ASSERT_EQ(CaptureStart(1, 4), 0);
    const uint8_t cif[12] = {0, 0, 3, 2, 1, 1, 0, 8, 1, 0, 0, 0};
    ASSERT_EQ(CaptureSetFormat(1, 4, cif), 0);
    venc->FailRequest(VENC_IOC_CreateChn, static_cast<int>(0xA0088005));
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(JpegPushPass(&m_ctx), 0);
    const std::string first = ::testing::internal::GetCapturedStdout();
    venc->ClearFaults();
    EXPECT_NE(first.find("not made again"), std::string::npos) << first;
    EXPECT_EQ(CaptureChn(1)->s32JpegFd.load(), -1);
    EXPECT_EQ(CaptureChn(1)->s32JpegFormatSet.load(), 0) << "it rests until the next JPEG format";
    // The next pass has nothing to say about it.
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(JpegPushPass(&m_ctx), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m_ctx.stats.u64Frames.load(), 0u);
}

TEST_F(JpegPushTest, AChannelWithoutAStartedJpegIsPassedOver) {
    const uint8_t cif[12] = {0, 0, 3, 2, 1, 1, 0, 8, 1, 0, 0, 0};
    ASSERT_EQ(CaptureSetFormat(1, 4, cif), 0);
    ASSERT_EQ(JpegPushPass(&m_ctx), 0);
    EXPECT_EQ(m_ctx.stats.u64Frames.load(), 0u);
    EXPECT_EQ(view::Get(CaptureChn(1)->s32JpegVencChn.load())->attr.stVeAttr.stAttrJpeg.u32PicWidth, 704u);
}

}  // namespace

namespace {

TEST_F(JpegPushTest, APictureWaitingForRoomDoesNotKeepItsEncoderChannel) {
    vt::RingMaster ring(m_master.get(), m_ram, vt::kJpegRingPhys, vt::kJpegNotice, vt::kJpegAck);
    const VENC_CHN j = CaptureChn(1)->s32JpegVencChn.load();
    ASSERT_EQ(view::PushFrames(j, 1), 1);
    auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(m_slot.pTrans.load());
    // The buffer is filled to just below what one send carries, with a record of the master's own.
    const uint32_t limit = sender->u32RemoteSize / 2;
    std::vector<uint8_t> filler(limit - 40, 0);
    const uint32_t head[4] = {0x55555555, 26, limit - 88, limit - 88};
    std::memcpy(filler.data(), head, sizeof(head));
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(sender, filler.data(), static_cast<uint32_t>(filler.size())), 0);
    ASSERT_EQ(VencPushWriteFrame(&m_ctx, j, 1), 0);
    ASSERT_FALSE(m_ctx.held.empty());
    // The encoder channel can go (a size change, a format) while the picture waits.
    EXPECT_EQ(MK_MPI_VENC_DestroyChn(j), 0);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_EQ(VencPushSend(&m_ctx), 0);
    ASSERT_TRUE(vt::RingMaster::WaitUntil([&] { return ring.RecordCount() == 2; }));
    const vt::ParsedRecord pic = ring.Records()[1];
    EXPECT_EQ(pic.chn, 1u);
    EXPECT_EQ(JpegSize(pic.payload), std::make_pair(704u, 576u));
}

}  // namespace
