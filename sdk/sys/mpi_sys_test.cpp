#include "sdk/sys/mpi_sys.h"

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/logmpp/logmpp_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
using drivers::BindGraph;

constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0028006u);
constexpr MK_S32 kErrPerm = static_cast<MK_S32>(0xA0028009u);
constexpr MK_S32 kErrNotReady = static_cast<MK_S32>(0xA0028010u);
constexpr MK_S32 kInjected = static_cast<MK_S32>(0xA0078010u);

MK_S32 ReceiveNothing(MK_S32, MK_S32, MK_U32, MPP_DATA_TYPE_E, MK_VOID*) {
    return 0;
}

class MpiSysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("mpisys");
        drivers::InstallSysDriver();
        drivers::InstallMmzDriver();
        drivers::InstallLogmppDriver();
        drivers::InstallMemDriver();
    }
    void SetUp() override {
        for (const char* path : {"/dev/sys", "/dev/mmz_userdev", "/dev/logmpp", "/dev/mem"}) {
            dev::Registry::Find(path)->ClearFaults();
        }
        BindGraph::Instance().Clear();
        ASSERT_EQ(SYS_BIND_Init(), 0);
        BIND_SENDER_INFO_S adec{MK_ID_ADEC, 1, 32, nullptr};
        ASSERT_EQ(SYS_BIND_RegisterSender(&adec), 0);
        BIND_RECEIVER_INFO_S ao{MK_ID_AO, 3, 20, ReceiveNothing, nullptr};
        ASSERT_EQ(SYS_BIND_RegisterReceiver(&ao), 0);
    }
    static dev::Driver& Sys() { return *dev::Registry::Find("/dev/sys"); }
    static drivers::SysDriver& SysView() { return *dev::Registry::Get<drivers::SysDriver>("/dev/sys"); }
    static drivers::MmzDriver& Mmz() { return *dev::Registry::Get<drivers::MmzDriver>("/dev/mmz_userdev"); }
};

struct RequestCase {
    const char* name;
    const char* node;
    unsigned long request;
    std::function<MK_S32()> call;
};

// Every one-request operation, called with valid arguments (the bind comes before its lookup and unbind).
std::vector<RequestCase> RequestCases() {
    static MPP_SYS_CONF_S conf{16};
    static MK_U64 u64;
    static MK_U32 word;
    static MK_SYS_RECORD8_S key{{1, 2}};
    static MK_SYS_RECORD16_S value{};
    static MPP_CHN_S vi{MK_ID_VIU, 0, 0}, grp{MK_ID_VPSS, 0, 0}, src;
    static char name[17];
    static LOG_LEVEL_CONF_S log{MK_ID_VENC, 3, "venc"};
    return {
        {"SetConf", "/dev/sys", MK_SYS_IOC_SET_CONF, [] { return MK_MPI_SYS_SetConf(&conf); }},
        {"GetConf", "/dev/sys", MK_SYS_IOC_GET_CONF, [] { return MK_MPI_SYS_GetConf(&conf); }},
        {"SetU64First", "/dev/sys", MK_SYS_IOC_SET_U64_FIRST, [] { return MK_MPI_SYS_SetU64First(5); }},
        {"SetU64Second", "/dev/sys", MK_SYS_IOC_SET_U64_SECOND, [] { return MK_MPI_SYS_SetU64Second(5); }},
        {"GetU64", "/dev/sys", MK_SYS_IOC_GET_U64, [] { return MK_MPI_SYS_GetU64(&u64); }},
        {"GetWord", "/dev/sys", MK_SYS_IOC_GET_WORD, [] { return MK_MPI_SYS_GetWord(&word); }},
        {"Command", "/dev/sys", MK_SYS_IOC_COMMAND, [] { return MK_MPI_SYS_Command(); }},
        {"SetRecordPair", "/dev/sys", MK_SYS_IOC_SET_PAIR,
         [] { return MK_MPI_SYS_SetRecordPair(&key, &value); }},
        {"QueryRecordPair", "/dev/sys", MK_SYS_IOC_QUERY_PAIR,
         [] { return MK_MPI_SYS_QueryRecordPair(&key, &value); }},
        {"Bind", "/dev/sys", MK_SYS_IOC_BIND, [] { return MK_MPI_SYS_Bind(&vi, &grp); }},
        {"GetBindbyDest", "/dev/sys", MK_SYS_IOC_GET_BIND_BY_DEST,
         [] { return MK_MPI_SYS_GetBindbyDest(&grp, &src); }},
        {"UnBind", "/dev/sys", MK_SYS_IOC_UNBIND, [] { return MK_MPI_SYS_UnBind(&vi, &grp); }},
        {"SetMemConf", "/dev/sys", MK_SYS_IOC_SET_MEM_CONF, [] { return MK_MPI_SYS_SetMemConf(&vi, "ddr"); }},
        {"GetMemConf", "/dev/sys", MK_SYS_IOC_GET_MEM_CONF, [] { return MK_MPI_SYS_GetMemConf(&vi, name); }},
        {"SetLogLevel", "/dev/logmpp", MK_LOG_IOC_SET_CONF, [] { return MK_MPI_LOG_SetLevelConf(&log); }},
        {"GetLogLevel", "/dev/logmpp", MK_LOG_IOC_GET_CONF, [] { return MK_MPI_LOG_GetLevelConf(&log); }},
        {"FlushAll", "/dev/mmz_userdev", MK_MMZ_IOC_FLUSH_ALL,
         [] { return MK_MPI_SYS_MmzFlushCache(0, nullptr, 0); }},
        {"FlushRange", "/dev/mmz_userdev", MK_MMZ_IOC_FLUSH_RANGE,
         [] { return MK_MPI_SYS_MmzFlushCache(0x40000000, nullptr, 64); }},
    };
}

TEST_F(MpiSysTest, DriverAnswersReachTheCallerBitForBit) {
    for (const RequestCase& c : RequestCases()) {
        dev::Driver& driver = *dev::Registry::Find(c.node);
        driver.FailRequest(c.request, kInjected);
        EXPECT_EQ(c.call(), kInjected) << c.name;
        driver.FailRequest(c.request, -1, 1, EIO);
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(errno, EIO) << c.name;
        EXPECT_EQ(c.call(), 0) << c.name << " after the faults are used up";
    }
}

TEST_F(MpiSysTest, RefusedRequestsThatFoldIntoNotReady) {
    Sys().FailRequest(MK_SYS_IOC_GET_CUSTOMER_ID, kInjected);
    MK_U32 id = 0;
    EXPECT_EQ(MK_MPI_SYS_GetChipCustomerId(&id), kErrNotReady);
    SysView().SetCustomerId(0x5A5A);
    EXPECT_EQ(MK_MPI_SYS_GetChipCustomerId(&id), 0);
    EXPECT_EQ(id, 0x5A5Au);
    Sys().FailRequest(MK_SYS_IOC_SET_WORD, -1);
    EXPECT_EQ(MK_MPI_SYS_SetWord(9), kErrNotReady);
    EXPECT_EQ(MK_MPI_SYS_SetWord(9), 0);
    MK_U32 word = 0;
    EXPECT_EQ(MK_MPI_SYS_GetWord(&word), 0);
    EXPECT_EQ(word, 9u);
}

// Requests the SYS module sent since the counters were reset, over every node it uses.
int RequestsSent() {
    int n = 0;
    for (const RequestCase& c : RequestCases()) n += dev::Registry::Find(c.node)->RequestCount(c.request);
    for (unsigned long r : {MK_SYS_IOC_GET_CUSTOMER_ID, MK_SYS_IOC_SET_WORD})
        n += dev::Registry::Find("/dev/sys")->RequestCount(r);
    for (unsigned long r : {MK_MMZ_IOC_ALLOC, MK_MMZ_IOC_REMAP, MK_MMZ_IOC_REMAP_CACHED}) {
        n += dev::Registry::Find("/dev/mmz_userdev")->RequestCount(r);
    }
    for (const char* path : {"/dev/sys", "/dev/mmz_userdev", "/dev/logmpp"})
        dev::Registry::Find(path)->ResetCounters();
    return n;
}

TEST_F(MpiSysTest, NullRecordsAreRefusedBeforeAnyRequest) {
    MPP_CHN_S chn{MK_ID_VIU, 0, 0};
    MK_SYS_RECORD8_S key{};
    MK_SYS_RECORD16_S value{};
    MPP_BIND_DEST_S list;
    MK_U32 phys;
    MK_VOID* vir;
    struct {
        const char* name;
        std::function<MK_S32()> call;
        MK_S32 want;
    } cases[] = {
        {"SetConf", [] { return MK_MPI_SYS_SetConf(nullptr); }, kErrNull},
        {"GetConf", [] { return MK_MPI_SYS_GetConf(nullptr); }, kErrNull},
        {"GetU64", [] { return MK_MPI_SYS_GetU64(nullptr); }, kErrNull},
        {"GetWord", [] { return MK_MPI_SYS_GetWord(nullptr); }, kErrNull},
        {"GetChipCustomerId", [] { return MK_MPI_SYS_GetChipCustomerId(nullptr); }, kErrNull},
        {"SetRecordPair", [&] { return MK_MPI_SYS_SetRecordPair(&key, nullptr); }, kErrNull},
        {"QueryRecordPair", [&] { return MK_MPI_SYS_QueryRecordPair(nullptr, &value); }, kErrNull},
        {"Bind", [&] { return MK_MPI_SYS_Bind(&chn, nullptr); }, kErrNull},
        {"UnBind", [&] { return MK_MPI_SYS_UnBind(&chn, nullptr); }, kErrNull},
        {"GetBindbyDest", [&] { return MK_MPI_SYS_GetBindbyDest(&chn, nullptr); }, kErrNull},
        {"GetBindbySrc", [&] { return MK_MPI_SYS_GetBindbySrc(nullptr, &list); }, kErrNull},
        {"SetMemConf", [] { return MK_MPI_SYS_SetMemConf(nullptr, "x"); }, kErrNull},
        {"GetMemConf", [] { return MK_MPI_SYS_GetMemConf(nullptr, nullptr); }, kErrNull},
        {"GetReg", [] { return MK_MPI_SYS_GetReg(0x40000000, nullptr); }, kErrNull},
        {"SetLogLevel", [] { return MK_MPI_LOG_SetLevelConf(nullptr); }, -1},
        {"GetLogLevel", [] { return MK_MPI_LOG_GetLevelConf(nullptr); }, -1},
        {"MmzAlloc", [&] { return MK_MPI_SYS_MmzAlloc(&phys, nullptr, "a", nullptr, 4096); }, -1},
        {"MmzAllocCached", [&] { return MK_MPI_SYS_MmzAlloc_Cached(nullptr, &vir, "a", nullptr, 4096); }, -1},
    };
    RequestsSent();
    size_t blocks = Mmz().BlockCount();
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.want) << c.name;
        EXPECT_EQ(RequestsSent(), 0) << c.name;
    }
    EXPECT_EQ(Mmz().BlockCount(), blocks);
}

TEST_F(MpiSysTest, UnopenableSysNodeReturnsErrnoAndIsRetried) {
    ASSERT_EQ(MK_MPI_SYS_CloseFd(), 0);
    Sys().FailOpen(ENXIO, 3);
    MPP_SYS_CONF_S conf{16};
    EXPECT_EQ(MK_MPI_SYS_SetConf(&conf), ENXIO);
    EXPECT_EQ(MK_MPI_SYS_GetFd(), ENXIO);
    EXPECT_EQ(MK_MPI_SYS_MmapCache(0x40000000, 4096), nullptr);
    int fd = MK_MPI_SYS_GetFd();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(MK_MPI_SYS_GetFd(), fd);
    EXPECT_EQ(MK_MPI_SYS_SetConf(&conf), 0);
    EXPECT_EQ(SysView().ConfWord(), 16u);
}

TEST_F(MpiSysTest, UnopenableSysNodeGivesErrnoAheadOfEveryOtherAnswer) {
    MK_U32 id = 0;
    struct {
        const char* name;
        std::function<MK_S32()> call;
        MK_S32 wantOnceOpen;
    } cases[] = {
        {"GetChipCustomerId", [&] { return MK_MPI_SYS_GetChipCustomerId(&id); }, 0},
        {"SetWord", [] { return MK_MPI_SYS_SetWord(9); }, 0},
        {"GetU64 null", [] { return MK_MPI_SYS_GetU64(nullptr); }, kErrNull},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(MK_MPI_SYS_CloseFd(), 0);
        Sys().FailOpen(ENXIO, 1);
        EXPECT_EQ(c.call(), ENXIO) << c.name;
        EXPECT_EQ(c.call(), c.wantOnceOpen) << c.name;
    }
    // The null value record is refused without a message of its own.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_SYS_GetU64(nullptr), kErrNull);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(MpiSysTest, KernelBindsAreNormalisedBeforeTheyAreSent) {
    struct Case {
        MPP_CHN_S src, dst, wantSrc, wantDst;
    } cases[] = {
        {{MK_ID_VIU, 5, 3}, {MK_ID_VPSS, 2, 3}, {MK_ID_VIU, 0, 3}, {MK_ID_VPSS, 2, 0}},
        {{MK_ID_VDEC, 4, 1}, {MK_ID_VOU, 1, 6}, {MK_ID_VDEC, 0, 1}, {MK_ID_VOU, 1, 6}},
        {{MK_ID_VOU, 1, 7}, {MK_ID_DEVONLY, 2, 9}, {MK_ID_VOU, 1, 0}, {MK_ID_DEVONLY, 2, 0}},
        {{MK_ID_VPSS, 3, 2}, {MK_ID_VENC, 0, 4}, {MK_ID_VPSS, 3, 2}, {MK_ID_VENC, 0, 4}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MK_MPI_SYS_Bind(&c.src, &c.dst), 0);
        auto src = BindGraph::Instance().SourceOf(c.wantDst);
        ASSERT_TRUE(src.has_value()) << c.dst.enModId;
        EXPECT_TRUE(drivers::SameChn(*src, c.wantSrc)) << c.src.enModId;
        MPP_CHN_S back{};
        ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&c.dst, &back), 0);
        EXPECT_TRUE(drivers::SameChn(back, c.wantSrc));
        ASSERT_EQ(MK_MPI_SYS_UnBind(nullptr, &c.dst), 0);
        EXPECT_FALSE(BindGraph::Instance().SourceOf(c.wantDst).has_value());
    }
    // A second source for a bound destination is the driver's refusal, passed through.
    MPP_CHN_S vi0{MK_ID_VIU, 0, 0}, vi1{MK_ID_VIU, 0, 1}, venc{MK_ID_VENC, 0, 0};
    ASSERT_EQ(MK_MPI_SYS_Bind(&vi0, &venc), 0);
    EXPECT_EQ(MK_MPI_SYS_Bind(&vi1, &venc), kErrPerm);
}

TEST_F(MpiSysTest, AudioDecoderBindsStayInTheProcess) {
    MPP_CHN_S adec{MK_ID_ADEC, 0, 3}, ao{MK_ID_AO, 1, 2}, other{MK_ID_AO, 2, 2};
    Sys().ResetCounters();
    ASSERT_EQ(MK_MPI_SYS_Bind(&adec, &ao), 0);
    EXPECT_EQ(Sys().RequestCount(MK_SYS_IOC_BIND), 0);
    EXPECT_EQ(BindGraph::Instance().Size(), 0u);
    MPP_CHN_S back{};
    ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&ao, &back), 0);
    EXPECT_EQ(Sys().RequestCount(MK_SYS_IOC_GET_BIND_BY_DEST), 0);
    EXPECT_TRUE(drivers::SameChn(back, adec));

    // An audio output channel the table has not bound is asked of the kernel.
    EXPECT_EQ(MK_MPI_SYS_GetBindbyDest(&other, &back), static_cast<MK_S32>(0xA0028005u));
    EXPECT_EQ(Sys().RequestCount(MK_SYS_IOC_GET_BIND_BY_DEST), 1);

    MPP_BIND_DEST_S list;
    MPP_CHN_S query = adec;
    ASSERT_EQ(MK_MPI_SYS_GetBindbySrc(&query, &list), 0);
    ASSERT_EQ(list.u32Num, 1u);
    EXPECT_TRUE(drivers::SameChn(list.astMppChn[0], ao));
    ASSERT_EQ(MK_MPI_SYS_UnBind(&adec, &ao), 0);
    EXPECT_EQ(Sys().RequestCount(MK_SYS_IOC_UNBIND), 0);
    ASSERT_EQ(MK_MPI_SYS_GetBindbySrc(&query, &list), 0);
    EXPECT_EQ(list.u32Num, 0u);
}

TEST_F(MpiSysTest, BindsBySourceServeOnlyTheAudioDecoder) {
    MPP_BIND_DEST_S list;
    MPP_CHN_S vdec{MK_ID_VDEC, 6, 1};
    EXPECT_EQ(MK_MPI_SYS_GetBindbySrc(&vdec, &list), kErrPerm);
    EXPECT_EQ(vdec.s32DevId, 0) << "normalised in place before the refusal";
    MPP_CHN_S vo{MK_ID_VOU, 1, 5};
    EXPECT_EQ(MK_MPI_SYS_GetBindbySrc(&vo, &list), kErrPerm);
    EXPECT_EQ(vo.s32ChnId, 0);
}

TEST_F(MpiSysTest, ZoneNamesKeepToTheirSixteenBytes) {
    MPP_CHN_S ai{MK_ID_AI, 0, 2};
    ASSERT_EQ(MK_MPI_SYS_SetMemConf(&ai, "a-name-of-twenty-chars"), 0);
    EXPECT_EQ(SysView().MemConfOf(ai), "a-name-of-twenty");
    char buf[20];
    std::memset(buf, 'Z', sizeof(buf));
    ASSERT_EQ(MK_MPI_SYS_GetMemConf(&ai, buf), 0);
    EXPECT_EQ(std::string(buf, 16), "a-name-of-twenty");
    EXPECT_EQ(buf[16], 'Z') << "nothing is written past the 16 bytes";

    ASSERT_EQ(MK_MPI_SYS_SetMemConf(&ai, "ddr1"), 0);
    std::memset(buf, 'Z', sizeof(buf));
    ASSERT_EQ(MK_MPI_SYS_GetMemConf(&ai, buf), 0);
    EXPECT_STREQ(buf, "ddr1");
    EXPECT_EQ(MK_MPI_SYS_GetMemConf(&ai, nullptr), 0);
    ASSERT_EQ(MK_MPI_SYS_SetMemConf(&ai, nullptr), 0);
    EXPECT_EQ(SysView().MemConfOf(ai), "");
}

TEST_F(MpiSysTest, ZoneBlockIsTheSameBytesThroughEveryMapping) {
    MK_U32 phys = 0;
    MK_VOID* vir = nullptr;
    ASSERT_EQ(MK_MPI_SYS_MmzAlloc(&phys, &vir, "shared", nullptr, 3 * 4096), 0);
    ASSERT_NE(vir, nullptr);
    EXPECT_FALSE(Mmz().IsCachedMapping(vir));
    std::memcpy(static_cast<char*>(vir) + 4100, "one memory", 11);

    auto* viaMem = static_cast<char*>(MK_MPI_SYS_Mmap(phys + 4100, 11));
    auto* viaSys = static_cast<char*>(MK_MPI_SYS_MmapCache(phys + 4100, 11));
    ASSERT_NE(viaMem, nullptr);
    ASSERT_NE(viaSys, nullptr);
    EXPECT_STREQ(viaMem, "one memory");
    EXPECT_STREQ(viaSys, "one memory");
    EXPECT_EQ(MK_MPI_SYS_Munmap(viaMem, 11), 0);
    EXPECT_EQ(MK_MPI_SYS_Munmap(viaSys, 11), 0);

    ASSERT_EQ(MK_MPI_SYS_SetReg(phys + 8192, 0xCAFEF00D), 0);
    MK_U32 reg = 0;
    std::memcpy(&reg, static_cast<char*>(vir) + 8192, 4);
    EXPECT_EQ(reg, 0xCAFEF00Du);
    std::memcpy(static_cast<char*>(vir) + 8196, "\x78\x56\x34\x12", 4);
    ASSERT_EQ(MK_MPI_SYS_GetReg(phys + 8196, &reg), 0);
    EXPECT_EQ(reg, 0x12345678u);

    ASSERT_EQ(MK_MPI_SYS_MmzFree(phys, vir), 0);
    EXPECT_FALSE(Mmz().Owns(phys));

    ASSERT_EQ(MK_MPI_SYS_MmzAlloc_Cached(&phys, &vir, "cached", "", 4096), 0);
    EXPECT_TRUE(Mmz().IsCachedMapping(vir));
    ASSERT_EQ(MK_MPI_SYS_MmzFree(phys, nullptr), 0);
}

TEST_F(MpiSysTest, MappingRefusesSizeZeroAndAddressesOutsideRam) {
    EXPECT_EQ(MK_MPI_SYS_MmapCache(0x40000000, 0), nullptr);
    EXPECT_EQ(MK_MPI_SYS_MmapCache(0x20000000, 16), nullptr);
    MK_U32 reg = 7;
    EXPECT_EQ(MK_MPI_SYS_SetReg(0x20000000, 1), -1);
    EXPECT_EQ(MK_MPI_SYS_GetReg(0x20000000, &reg), -1);
    EXPECT_EQ(reg, 7u);
    // The last word of RAM is reachable, the word after it is not.
    auto& ram = varnelle::mem::Ram::Local();
    MK_U32 last = static_cast<MK_U32>(ram.base() + ram.size() - 4);
    EXPECT_EQ(MK_MPI_SYS_SetReg(last, 3), 0);
    EXPECT_EQ(MK_MPI_SYS_GetReg(last, &reg), 0);
    EXPECT_EQ(reg, 3u);
}

TEST_F(MpiSysTest, FailedZoneMapGivesTheBlockBack) {
    size_t blocks = Mmz().BlockCount();
    MK_U32 phys = 0;
    MK_VOID* vir = nullptr;
    Mmz().FailRequest(MK_MMZ_IOC_REMAP, -1, 1, ENOMEM);
    EXPECT_EQ(MK_MPI_SYS_MmzAlloc(&phys, &vir, "lost", nullptr, 4096), -1);
    EXPECT_EQ(Mmz().BlockCount(), blocks);
    Mmz().FailRequest(MK_MMZ_IOC_REMAP_CACHED, -1, 1, ENOMEM);
    EXPECT_EQ(MK_MPI_SYS_MmzAlloc_Cached(&phys, &vir, "lost", nullptr, 4096), -1);
    EXPECT_EQ(Mmz().BlockCount(), blocks);
    EXPECT_EQ(MK_MPI_SYS_MmzAlloc(&phys, &vir, "none", "nosuchzone", 4096), -1);
    EXPECT_EQ(Mmz().BlockCount(), blocks);
}

TEST_F(MpiSysTest, FreeStillFreesWhenTheUnmapFails) {
    MK_U32 phys = 0;
    MK_VOID* vir = nullptr;
    ASSERT_EQ(MK_MPI_SYS_MmzAlloc(&phys, &vir, "unmapped", nullptr, 4096), 0);
    ASSERT_EQ(MK_MPI_SYS_MmzFree(phys, vir), 0);
    // Now unmapped: the unmap fails, the free of an unknown block too.
    EXPECT_EQ(MK_MPI_SYS_MmzFree(phys, vir), -1);
    ASSERT_EQ(MK_MPI_SYS_MmzAlloc(&phys, &vir, "kept", nullptr, 4096), 0);
    Mmz().FailRequest(MK_MMZ_IOC_UNMAP, -1);
    EXPECT_EQ(MK_MPI_SYS_MmzFree(phys, vir), -1);
    EXPECT_EQ(Mmz().MapCount(phys), 1) << "the refused unmap left the mapping, so the free waits";
    EXPECT_EQ(MK_MPI_SYS_MmzFree(phys, vir), 0);
    EXPECT_FALSE(Mmz().Owns(phys));
}

TEST_F(MpiSysTest, LogRecordsRoundTripPerModule) {
    LOG_LEVEL_CONF_S set{MK_ID_VPSS, 6, "vpss"};
    ASSERT_EQ(MK_MPI_LOG_SetLevelConf(&set), 0);
    LOG_LEVEL_CONF_S get{MK_ID_VPSS, 0, ""};
    ASSERT_EQ(MK_MPI_LOG_GetLevelConf(&get), 0);
    EXPECT_EQ(get.s32Level, 6);
    EXPECT_STREQ(get.cModName, "vpss");
    LOG_LEVEL_CONF_S bad{MK_ID_BUTT, 1, ""};
    EXPECT_EQ(MK_MPI_LOG_SetLevelConf(&bad), -1);
    EXPECT_EQ(errno, EINVAL);
    LOG_LEVEL_CONF_S unset{MK_ID_HDMI, 9, "x"};
    ASSERT_EQ(MK_MPI_LOG_GetLevelConf(&unset), 0);
    EXPECT_EQ(unset.enModId, MK_ID_HDMI);
    EXPECT_EQ(unset.s32Level, 0);
    EXPECT_STREQ(unset.cModName, "");

    int fd = dev::Open("/dev/logmpp", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(dev::Ioctl(fd, MK_LOG_IOC_GET_CONF, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(dev::Ioctl(fd, _IOW('L', 2, LOG_LEVEL_CONF_S), &set), -1);
    EXPECT_EQ(errno, ENOTTY);
    dev::Close(fd);
}

TEST_F(MpiSysTest, CloseFdClosesEveryDescriptorAndTheyReopen) {
    LOG_LEVEL_CONF_S log{MK_ID_VIU, 1, ""};
    ASSERT_EQ(MK_MPI_LOG_SetLevelConf(&log), 0);
    ASSERT_GE(MK_MPI_SYS_GetFd(), 0);
    void* p = MK_MPI_SYS_Mmap(0x40000000, 4);
    ASSERT_NE(p, nullptr);
    MK_MPI_SYS_Munmap(p, 4);
    int open = Sys().OpenFiles() + dev::Registry::Find("/dev/logmpp")->OpenFiles() +
               dev::Registry::Find("/dev/mem")->OpenFiles();
    ASSERT_EQ(MK_MPI_SYS_CloseFd(), 0);
    EXPECT_EQ(Sys().OpenFiles() + dev::Registry::Find("/dev/logmpp")->OpenFiles() +
                  dev::Registry::Find("/dev/mem")->OpenFiles(),
              open - 3);
    EXPECT_EQ(MK_MPI_SYS_CloseFd(), 0) << "closing closed descriptors is a no-op";
    EXPECT_EQ(MK_MPI_LOG_SetLevelConf(&log), 0);
    EXPECT_GE(MK_MPI_SYS_GetFd(), 0);
}

}  // namespace

namespace {

// The set-up thread writes the timer setting while the audio threads read it; under ThreadSanitizer a
// plain word is reported as a race here.
TEST(MpiSysTimerSettingTest, WrittenAndReadFromSeveralThreads) {
    std::atomic<int> readersUp{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    std::atomic<long> ones{0};
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            readersUp.fetch_add(1);
            while (!stop.load()) ones.fetch_add(g_s32HRTimer == 1 ? 1 : 0);
        });
    }
    while (readersUp.load() < 2) std::this_thread::yield();
    for (int i = 0; i < 1000; ++i) g_s32HRTimer = i % 2;
    g_s32HRTimer = 0;
    stop = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(g_s32HRTimer.load(), 0);
}

}  // namespace
