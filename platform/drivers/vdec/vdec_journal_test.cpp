#include "platform/drivers/vdec/vdec_journal.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/vdec/vdec_driver.h"

namespace {

namespace drv = varnelle::drivers;
namespace req = mk::vdec;

constexpr int32_t kNotReceiving = static_cast<int32_t>(0xA0058009);
constexpr int32_t kFull = static_cast<int32_t>(0xA005800F);
constexpr int32_t kTooLarge = static_cast<int32_t>(0xA0058003);

uint64_t g_now = 1000;
uint64_t Now() {
    return g_now;
}

// A driver of the test's own, driven through its request interface on one channel.
class Channel {
public:
    explicit Channel(drv::VdecDriver& d, uint32_t chn) : m_d(d), m_f(d.Open(0)) {
        m_d.Ioctl(*m_f, req::kBind, &chn);
    }
    int Create(uint32_t bufSize) {
        VDEC_CHN_ATTR_S a = {96, bufSize, 5, 1920, 1080, 2, 1, 0};
        return m_d.Ioctl(*m_f, req::kCreateChn, &a);
    }
    int Op(unsigned long r) { return m_d.Ioctl(*m_f, r, nullptr); }
    int Send(const std::vector<uint8_t>& data, uint64_t pts, uint32_t eof = 1, uint32_t eos = 0) {
        VDEC_STREAM_S st = {data.data(), static_cast<MK_U32>(data.size()), pts, eof, eos};
        VdecTimedReq<const VDEC_STREAM_S> r = {&st, 0};
        return m_d.Ioctl(*m_f, req::kSendStream, &r);
    }

private:
    drv::VdecDriver& m_d;
    std::unique_ptr<varnelle::dev::File> m_f;
};

std::vector<uint8_t> Bytes(uint32_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 3 * i);
    if (n >= 5) {
        const uint8_t idr[5] = {0, 0, 1, 0x65, 0x88};
        std::memcpy(v.data(), idr, 5);
    }
    return v;
}

TEST(VdecJournalTest, PacketsAndEventsInOrderOutliveConsumption) {
    drv::VdecDriver d;
    d.EnableJournal(true);
    d.SetJournalClock(Now);
    Channel c(d, 3);
    ASSERT_EQ(c.Create(4096), 0);
    // The decoder takes nothing while held: the buffer is full until the test lets it go.
    d.HoldDecoding(3, true);
    std::vector<uint8_t> a = Bytes(1000, 1), b = Bytes(2000, 2), big = Bytes(5000, 3);
    EXPECT_EQ(c.Send(a, 7), kNotReceiving);
    ASSERT_EQ(c.Op(req::kStartRecvStream), 0);
    g_now = 2000;
    ASSERT_EQ(c.Send(a, 40000), 0);
    g_now = 3000;
    ASSERT_EQ(c.Send(b, 80000, 1, 1), 0);
    EXPECT_EQ(c.Send(b, 120000), kFull);
    EXPECT_EQ(c.Send(big, 160000), kTooLarge);
    d.HoldDecoding(3, false);
    ASSERT_TRUE(d.WaitDecoded(3, 5000));
    EXPECT_EQ(d.Channel(3).queuedPackets, 0u) << "consumed by the decoder";
    ASSERT_EQ(c.Op(req::kStopRecvStream), 0);
    ASSERT_EQ(c.Op(req::kResetChn), 0);
    ASSERT_EQ(c.Op(req::kDestroyChn), 0);

    std::vector<drv::VdecJournalPacket> p = d.JournalPackets(3);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].u64Offset, 0u);
    EXPECT_EQ(p[0].u32Len, 1000u);
    EXPECT_EQ(p[0].u64Pts, 40000u);
    EXPECT_EQ(p[0].u64ArrivalUs, 2000u);
    EXPECT_TRUE(p[0].bEndOfFrame);
    EXPECT_FALSE(p[0].bEndOfStream);
    EXPECT_EQ(p[1].u64Offset, 1000u);
    EXPECT_EQ(p[1].u64ArrivalUs, 3000u);
    EXPECT_TRUE(p[1].bEndOfStream);
    EXPECT_EQ(d.JournalBytes(3, 0, 1000), a);
    EXPECT_EQ(d.JournalBytes(3, 1000, 5000), b) << "the log holds what was taken, no more";

    using K = drv::VdecJournalKind;
    struct Want {
        K kind;
        int32_t code;
    } want[] = {{K::kCreate, 0},  {K::kRefuse, kNotReceiving}, {K::kStart, 0}, {K::kRefuse, kFull},
                {K::kRefuse, kTooLarge}, {K::kStop, 0},        {K::kReset, 0}, {K::kDestroy, 0}};
    std::vector<drv::VdecJournalEvent> e = d.JournalEvents(3);
    ASSERT_EQ(e.size(), sizeof(want) / sizeof(want[0]));
    for (size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].kind, want[i].kind) << i;
        EXPECT_EQ(e[i].s32Code, want[i].code) << i;
    }
    // Packets and events share one order.
    EXPECT_LT(e[2].u64Seq, p[0].u64Seq);
    EXPECT_LT(p[1].u64Seq, e[3].u64Seq);
    EXPECT_TRUE(d.JournalPackets(4).empty());
    d.ClearJournal();
    EXPECT_TRUE(d.JournalPackets(3).empty());
}

TEST(VdecJournalTest, OffWhileNotEnabled) {
    drv::VdecDriver d;
    Channel c(d, 0);
    ASSERT_EQ(c.Create(4096), 0);
    ASSERT_EQ(c.Op(req::kStartRecvStream), 0);
    ASSERT_EQ(c.Send(Bytes(100, 1), 1), 0);
    EXPECT_TRUE(d.JournalPackets(0).empty());
    EXPECT_TRUE(d.JournalEvents(0).empty());
}

// With $VARNELLE_TRACE set the bytes and the log lines go to files there.
TEST(VdecJournalTest, TraceFilesHoldTheBytesAndTheLines) {
    char tmpl[] = "/dev/shm/varnelle-vdecjournal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    setenv("VARNELLE_TRACE", dir.c_str(), 1);
    {
        drv::VdecDriver d;
        unsetenv("VARNELLE_TRACE");
        Channel c(d, 9);
        ASSERT_EQ(c.Create(1 << 16), 0);
        ASSERT_EQ(c.Op(req::kStartRecvStream), 0);
        std::vector<uint8_t> a = Bytes(300, 4), b = Bytes(77, 5);
        ASSERT_EQ(c.Send(a, 11), 0);
        ASSERT_EQ(c.Send(b, 22), 0);
        ASSERT_EQ(c.Op(req::kResetChn), 0);
        std::ifstream h(dir + "/vdec-9.h264", std::ios::binary);
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(h)), std::istreambuf_iterator<char>());
        std::vector<uint8_t> want = a;
        want.insert(want.end(), b.begin(), b.end());
        EXPECT_EQ(got, want);
        std::ifstream l(dir + "/vdec-9.log");
        std::string log((std::istreambuf_iterator<char>(l)), std::istreambuf_iterator<char>());
        size_t create = log.find("create seq=0"), start = log.find("start seq=1"),
               p1 = log.find("packet seq=2 offset=0 len=300 pts=11 eof=1 eos=0"),
               p2 = log.find("packet seq=3 offset=300 len=77 pts=22"), reset = log.find("reset seq=4");
        EXPECT_TRUE(create < start && start < p1 && p1 < p2 && p2 < reset && reset != std::string::npos) << log;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
