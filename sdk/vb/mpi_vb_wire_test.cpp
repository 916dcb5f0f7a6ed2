// What the VB module puts on the wire: a recording driver stands in for /dev/vb.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vb/mpi_vb_testing.h"

namespace {

using varnelle::dev::File;

class RecordingVb : public varnelle::dev::Driver {
public:
    RecordingVb() : Driver("/dev/vb") {}

    int Ioctl(File&, unsigned long request, void* arg) override {
        std::lock_guard<std::mutex> lock(mutex);
        size_t size = _IOC_SIZE(request);
        auto* bytes = static_cast<unsigned char*>(arg);
        sent.push_back({request, arg ? std::vector<unsigned char>(bytes, bytes + size) : std::vector<unsigned char>{}});
        auto it = answers.find(request);
        if (it != answers.end() && arg != nullptr) std::memcpy(arg, it->second.data(), it->second.size());
        return 0;
    }
    struct Sent {
        unsigned long request;
        std::vector<unsigned char> record;
    };
    template <typename T>
    T Last(unsigned long request) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->request != request) continue;
            T rec;
            EXPECT_EQ(it->record.size(), sizeof(T));
            std::memcpy(&rec, it->record.data(), sizeof(T));
            return rec;
        }
        ADD_FAILURE() << "request " << std::hex << request << " not sent";
        return T{};
    }
    template <typename T>
    void Answer(unsigned long request, const T& rec) {
        std::lock_guard<std::mutex> lock(mutex);
        auto* p = reinterpret_cast<const unsigned char*>(&rec);
        answers[request].assign(p, p + sizeof(T));
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return sent.size();
    }

    std::mutex mutex;  // guards sent and answers
    std::vector<Sent> sent;
    std::map<unsigned long, std::vector<unsigned char>> answers;
};

class VbWireTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("vbwire");
        static auto vb = [] {
            auto driver = std::make_shared<RecordingVb>();
            varnelle::dev::Registry::Register(driver);
            return driver;
        }();
        s_vb = vb;
        varnelle::drivers::InstallMemDriver();
    }
    static void TearDownTestSuite() {
        mk::vb_testing::CloseDevice();
    }
    void SetUp() override {
        mk::vb_testing::CloseDevice();
        std::lock_guard<std::mutex> lock(s_vb->mutex);
        s_vb->sent.clear();
        s_vb->answers.clear();
    }

    static inline std::shared_ptr<RecordingVb> s_vb;
};

TEST_F(VbWireTest, GetBlockSendsSizeAndZoneOnlyForAnyPool) {
    struct Case {
        VB_POOL pool;
        MK_U32 size;
        const char* zone;
        MK_U32 wantSize, wantAny;
        const char* wantZone;
    } cases[] = {
        {3, 5000, "ddr1", 0, 0, ""},
        {0, 123, nullptr, 0, 0, ""},
        {VB_INVALID_POOLID, 5000, "ddr1", 5000, 1, "ddr1"},
        {VB_INVALID_POOLID, 64, nullptr, 64, 1, ""},
    };
    for (const Case& c : cases) {
        VB_POOL_INFO_S answer{};
        answer.u32Handle = 0x0102;
        s_vb->Answer(VB_IOC_GET_BLOCK, answer);
        EXPECT_EQ(MK_MPI_VB_GetBlock(c.pool, c.size, c.zone), 0x0102u);
        auto rec = s_vb->Last<VB_POOL_INFO_S>(VB_IOC_GET_BLOCK);
        EXPECT_EQ(rec.u32PoolId, c.pool);
        EXPECT_EQ(rec.u32BlkSize, c.wantSize) << c.pool;
        EXPECT_EQ(rec.u32BlkCnt, 0u);
        EXPECT_EQ(rec.u32Handle, VB_INVALID_HANDLE);
        EXPECT_EQ(rec.u32AnyPool, c.wantAny);
        EXPECT_EQ(std::string(rec.acMmzName, strnlen(rec.acMmzName, 16)), c.wantZone);
        EXPECT_EQ(rec.u32NameEnd, 0u);
        EXPECT_EQ(rec.u32PhyAddr, 0u);
    }
}

TEST_F(VbWireTest, CreateRecordsCarryTheirFieldsAndNamesUpToSixteenCharacters) {
    VB_POOL_INFO_S answer{};
    answer.u32PoolId = 7;
    s_vb->Answer(VB_IOC_CREATE_POOL, answer);
    s_vb->Answer(VB_IOC_CREATE_CALLER_POOL, answer);
    EXPECT_EQ(MK_MPI_VB_CreatePool(4096, 3, "0123456789abcdef"), 7u);
    auto rec = s_vb->Last<VB_POOL_INFO_S>(VB_IOC_CREATE_POOL);
    EXPECT_EQ(rec.u32PoolId, VB_INVALID_POOLID);
    EXPECT_EQ(rec.u32BlkSize, 4096u);
    EXPECT_EQ(rec.u32BlkCnt, 3u);
    EXPECT_EQ(rec.u32Handle, VB_INVALID_HANDLE);
    EXPECT_EQ(std::memcmp(rec.acMmzName, "0123456789abcdef", 16), 0);
    EXPECT_EQ(rec.u32NameEnd, 0u);
    size_t before = s_vb->Count();
    EXPECT_EQ(MK_MPI_VB_CreatePool(4096, 3, "0123456789abcdefg"), VB_INVALID_POOLID) << "would be cut short";
    EXPECT_EQ(MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 1, "0123456789abcdefg"), VB_INVALID_HANDLE);
    EXPECT_EQ(s_vb->Count(), before) << "nothing sent";
    EXPECT_EQ(MK_MPI_VB_CreateUserPool(5, "z"), 7u);
    rec = s_vb->Last<VB_POOL_INFO_S>(VB_IOC_CREATE_CALLER_POOL);
    EXPECT_EQ(rec.u32BlkSize, 0u);
    EXPECT_EQ(rec.u32BlkCnt, 5u);
    EXPECT_STREQ(rec.acMmzName, "z");
    answer.u32Handle = 0x0300;
    s_vb->Answer(VB_IOC_ADD_CALLER_BLOCK, answer);
    EXPECT_EQ(MK_MPI_VB_AddUserBlock(3, 0x70000000, 0x800), 0x0300u);
    rec = s_vb->Last<VB_POOL_INFO_S>(VB_IOC_ADD_CALLER_BLOCK);
    EXPECT_EQ(rec.u32PoolId, 3u);
    EXPECT_EQ(rec.u32BlkSize, 0x800u);
    EXPECT_EQ(rec.u32BlkCnt, 0u);
    EXPECT_EQ(rec.u32PhyAddr, 0x70000000u);
}

TEST_F(VbWireTest, ModulePlanTravelsWithItsUserId) {
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 4;
    conf.astCommPool[2] = {1234, 5, "ddr0"};
    ASSERT_EQ(MK_MPI_VB_SetModPoolConf(21, &conf), MK_SUCCESS);
    auto rec = s_vb->Last<VB_MOD_POOL_CONF_S>(VB_IOC_SET_MOD_POOL_CONF);
    EXPECT_EQ(rec.u32Uid, 21u);
    EXPECT_EQ(std::memcmp(&rec.stConf, &conf, sizeof(conf)), 0);
    ASSERT_EQ(MK_MPI_VB_InitModCommPool(21), MK_SUCCESS);
    EXPECT_EQ(s_vb->Last<MK_U32>(VB_IOC_INIT_MOD_POOL), 21u);
}

TEST_F(VbWireTest, AFailedMappingOfThePoolGivesNoMemoryAndUnlocksItsEntry) {
    // A pool the driver places outside RAM cannot be mapped through /dev/mem.
    s_vb->Answer(VB_IOC_POOL_MAP_INFO, VB_POOL_MAP_S{9, 0x10000, 0x10000000, 0});
    EXPECT_EQ(MK_MPI_VB_MmapPool(9), MK_ERR(MK_ID_VB, MK_ERR_NOMEM));
    void* addr = nullptr;
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(9, 0x10000000, &addr), MK_ERR(MK_ID_VB, MK_ERR_SYS_NOTREADY));
    s_vb->Answer(VB_IOC_POOL_MAP_INFO, VB_POOL_MAP_S{9, 0x10000, 0x40010000, 0});
    ASSERT_EQ(MK_MPI_VB_MmapPool(9), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(9, 0x4001FFFF, &addr), MK_SUCCESS);
    static_cast<char*>(addr)[0] = 1;
    EXPECT_EQ(s_vb->Last<VB_POOL_MAP_S>(VB_IOC_POOL_MAP_INFO).u32PoolId, 9u);
    // The driver answers the in-use word in place: 0 lets the unmap go ahead.
    s_vb->Answer(VB_IOC_POOL_IN_USE, MK_U32{1});
    EXPECT_EQ(MK_MPI_VB_MunmapPool(9), MK_ERR(MK_ID_VB, MK_ERR_BUSY));
    s_vb->Answer(VB_IOC_POOL_IN_USE, MK_U32{0});
    EXPECT_EQ(MK_MPI_VB_MunmapPool(9), MK_SUCCESS);
    EXPECT_EQ(s_vb->Last<MK_U32>(VB_IOC_POOL_IN_USE), 9u);
}

}  // namespace
