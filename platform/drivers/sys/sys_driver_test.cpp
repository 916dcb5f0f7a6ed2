#include "platform/drivers/sys/sys_driver.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "sdk/sys/sys_ioctl.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::BindGraph;
using varnelle::drivers::SysDriver;

constexpr int kErrParam = MK_ERR(MK_ID_SYS, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrPerm = MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
constexpr int kErrUnexist = MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST);

class SysDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("sysdrv");
        varnelle::drivers::InstallSysDriver();
    }
    void SetUp() override {
        m_fd = dev::Open("/dev/sys", O_RDWR);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_EXIT), 0);
    }
    void TearDown() override { dev::Close(m_fd); }
    SysDriver& Driver() { return *dev::Registry::Get<SysDriver>("/dev/sys"); }
    int Bind(MPP_CHN_S src, MPP_CHN_S dst) {
        MK_SYS_BIND_REQ_S req{src, dst};
        return dev::Ioctl(m_fd, MK_SYS_IOC_BIND, &req);
    }
    int Unbind(MPP_CHN_S dst) {
        MK_SYS_BIND_REQ_S req{{}, dst};
        return dev::Ioctl(m_fd, MK_SYS_IOC_UNBIND, &req);
    }
    int SourceOf(MPP_CHN_S dst, MPP_CHN_S* src) {
        MK_SYS_BIND_REQ_S req{{}, dst};
        int ret = dev::Ioctl(m_fd, MK_SYS_IOC_GET_BIND_BY_DEST, &req);
        *src = req.stSrcChn;
        return ret;
    }

    int m_fd = -1;
};

TEST_F(SysDriverTest, KernelBindGraphRefusesASecondSource) {
    MPP_CHN_S vi{MK_ID_VIU, 0, 1}, vi2{MK_ID_VIU, 0, 2}, grp{MK_ID_VPSS, 3, 0}, src;
    ASSERT_EQ(Bind(vi, grp), 0);
    EXPECT_EQ(Bind(vi2, grp), kErrPerm);
    ASSERT_EQ(SourceOf(grp, &src), 0);
    EXPECT_EQ(src.s32ChnId, 1);
    EXPECT_EQ(Unbind(grp), 0);
    EXPECT_EQ(SourceOf(grp, &src), kErrUnexist);
    EXPECT_EQ(Unbind(grp), 0) << "unbinding an unbound destination changes nothing";
    EXPECT_EQ(Bind(vi2, grp), 0);
    EXPECT_EQ(BindGraph::Instance().Size(), 1u);
}

TEST_F(SysDriverTest, RefusesChannelAddressesOutsideTheModuleRange) {
    MPP_CHN_S good{MK_ID_VPSS, 0, 0};
    MPP_CHN_S bad[] = {{MK_ID_BUTT, 0, 0}, {-1, 0, 0}, {MK_ID_VOU, -1, 0}, {MK_ID_VOU, 0, -5}};
    for (const MPP_CHN_S& b : bad) {
        EXPECT_EQ(Bind(b, good), kErrParam);
        EXPECT_EQ(Bind(good, b), kErrParam);
        MPP_CHN_S src;
        EXPECT_EQ(SourceOf(b, &src), kErrParam);
        MK_SYS_MEM_CONF_S conf{b, "x"};
        EXPECT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_MEM_CONF, &conf), kErrParam);
    }
    EXPECT_EQ(BindGraph::Instance().Size(), 0u);
}

TEST_F(SysDriverTest, ZoneNamesUseAllSixteenBytesAndReadBackTerminated) {
    MPP_CHN_S ai{MK_ID_AI, 1, 3};
    MK_SYS_MEM_CONF_S conf{ai, {}};
    std::memcpy(conf.acMmzName, "abcdefghijklmnop", 16);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_MEM_CONF, &conf), 0);
    EXPECT_EQ(Driver().MemConfOf(ai), "abcdefghijklmnop");
    MK_SYS_MEM_CONF_EX_S back;
    std::memset(&back, 0x7F, sizeof(back));
    back.stMppChn = ai;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_GET_MEM_CONF, &back), 0);
    EXPECT_EQ(std::string(back.acMmzName, 16), "abcdefghijklmnop");
    EXPECT_EQ(back.acTerminator[0], '\0');
    // An empty name returns the channel to the default zone.
    MK_SYS_MEM_CONF_S empty{ai, {}};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_MEM_CONF, &empty), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_GET_MEM_CONF, &back), 0);
    EXPECT_EQ(back.acMmzName[0], '\0');
}

TEST_F(SysDriverTest, ExitDropsMediaStateAndInitBringsItUp) {
    MPP_CHN_S vdec{MK_ID_VDEC, 0, 4}, vo{MK_ID_VOU, 0, 4}, ai{MK_ID_AI, 0, 0};
    MK_SYS_MEM_CONF_S conf{ai, "ddr1"};
    MPP_SYS_CONF_S sysConf{16};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_CONF, &sysConf), 0);
    for (int cycle = 0; cycle < 2; ++cycle) {
        int inits = Driver().InitCount();
        ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_INIT), 0);
        EXPECT_TRUE(Driver().IsUp());
        EXPECT_EQ(Driver().InitCount(), inits + 1);
        ASSERT_EQ(Bind(vdec, vo), 0);
        ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_MEM_CONF, &conf), 0);
        ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_EXIT), 0);
        EXPECT_FALSE(Driver().IsUp());
        EXPECT_EQ(BindGraph::Instance().Size(), 0u);
        EXPECT_EQ(Driver().MemConfOf(ai), "");
    }
    // The configuration word is set before init and survives exit.
    MPP_SYS_CONF_S back{};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_GET_CONF, &back), 0);
    EXPECT_EQ(back.u32AlignWidth, 16u);
}

TEST_F(SysDriverTest, StoredValuesAndRecordPairsReadBack) {
    Driver().SetKernelConfig(1, 77);
    MK_SYS_KERNEL_CONFIG_S kc{};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_GET_KERNEL_CONFIG, &kc), 0);
    EXPECT_EQ(kc.u32HRTimer, 1u);
    EXPECT_EQ(kc.u32Reserved, 77u);

    MK_U64 v = 0x1122334455667788ull, out = 0;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_U64_SECOND, &v), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_GET_U64, &out), 0);
    EXPECT_EQ(out, v);

    MK_SYS_RECORD_PAIR_S pair{{{1, 2}}, {{10, 20, 30, 40}}};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_SET_PAIR, &pair), 0);
    MK_SYS_RECORD_PAIR_S query{{{1, 2}}, {}};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_QUERY_PAIR, &query), 0);
    EXPECT_EQ(query.stValue.au32Word[3], 40u);
    MK_SYS_RECORD_PAIR_S missing{{{2, 1}}, {}};
    EXPECT_EQ(dev::Ioctl(m_fd, MK_SYS_IOC_QUERY_PAIR, &missing), kErrUnexist);
}

TEST_F(SysDriverTest, RecordRequestsGiveEfaultForNullAndUnknownRequestsEnotty) {
    const unsigned long requests[] = {
        MK_SYS_IOC_SET_CONF,          MK_SYS_IOC_GET_CONF,     MK_SYS_IOC_SET_U64_FIRST,
        MK_SYS_IOC_GET_U64,           MK_SYS_IOC_BIND,         MK_SYS_IOC_UNBIND,
        MK_SYS_IOC_GET_BIND_BY_DEST,  MK_SYS_IOC_SET_MEM_CONF, MK_SYS_IOC_GET_MEM_CONF,
        MK_SYS_IOC_GET_CUSTOMER_ID,   MK_SYS_IOC_SET_WORD,     MK_SYS_IOC_GET_WORD,
        MK_SYS_IOC_GET_KERNEL_CONFIG, MK_SYS_IOC_SET_PAIR,     MK_SYS_IOC_QUERY_PAIR,
    };
    for (unsigned long r : requests) {
        errno = 0;
        EXPECT_EQ(dev::Ioctl(m_fd, r, nullptr), -1) << std::hex << r;
        EXPECT_EQ(errno, EFAULT) << std::hex << r;
    }
    errno = 0;
    EXPECT_EQ(dev::Ioctl(m_fd, _IO('Y', 17)), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(SysDriverTest, MapsSimulatedRamAndRefusesOtherOffsets) {
    auto& ram = varnelle::mem::Ram::Local();
    ASSERT_TRUE(ram.Write(0x40300000, "cached view", 12));
    void* p = dev::Mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0x40300000);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_STREQ(static_cast<char*>(p), "cached view");
    dev::Munmap(p, 4096);
    EXPECT_EQ(dev::Mmap(nullptr, 4096, PROT_READ, MAP_SHARED, m_fd, 0x40300010), MAP_FAILED);
    EXPECT_EQ(dev::Mmap(nullptr, 4096, PROT_READ, MAP_SHARED, m_fd, 0x10000000), MAP_FAILED);
    EXPECT_EQ(dev::Mmap(nullptr, 8192, PROT_READ, MAP_SHARED, m_fd,
                        static_cast<off_t>(ram.base() + ram.size() - 4096)),
              MAP_FAILED);
}

TEST_F(SysDriverTest, ConcurrentBindsGiveADestinationOneSource) {
    constexpr int kThreads = 8;
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &winners] {
            MPP_CHN_S src{MK_ID_VIU, 0, t}, shared{MK_ID_VENC, 0, 0}, own{MK_ID_VENC, 0, t + 1};
            if (Bind(src, shared) == 0) ++winners;
            EXPECT_EQ(Bind(src, own), 0);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(BindGraph::Instance().Size(), static_cast<size_t>(kThreads + 1));
}

}  // namespace
