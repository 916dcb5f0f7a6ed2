#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_test_master.h"
#include "platform/dev/driver.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mcc/mcc_uapi.h"

namespace {

using varnelle::dev::Registry;

class PcivChipTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        varnelle::mcc::InstallMccDriver();
    }
    static void TearDownTestSuite() { delete s_bus; }
    void TearDown() override {
        Registry::Find("/dev/mcc_userdev")->ClearFaults();
        for (int s : m_chips) ::close(s);
        for (int c : m_ids) ::unlink(varnelle::mcc::SocketPath(c).c_str());
    }

    // A chip whose socket is present in the bus directory.
    void AddChip(int chip) {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, varnelle::mcc::SocketPath(chip).c_str());
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(::listen(s, 4), 0);
        m_chips.push_back(s);
        m_ids.push_back(chip);
    }

    static varnelle::testing::ScopedBus* s_bus;
    std::vector<int> m_chips;
    std::vector<int> m_ids;
};
varnelle::testing::ScopedBus* PcivChipTest::s_bus = nullptr;

TEST_F(PcivChipTest, EnumerationFillsLocalAndRemoteIds) {
    AddChip(0);
    AddChip(3);
    ASSERT_EQ(PcivEnumChip(), 0);
    PCIV_CHIP_TABLE_S* t = PcivGetChipTable();
    EXPECT_EQ(t->s32LocalId, 1);
    ASSERT_EQ(t->u32RemoteNum, 2u);
    EXPECT_EQ(t->as32RemoteId[0], 0);
    EXPECT_EQ(t->as32RemoteId[1], 3);
    for (int i = 2; i < PCIV_MAX_CHIP; ++i) EXPECT_EQ(t->as32RemoteId[i], -1) << i;
}

TEST_F(PcivChipTest, EnumerationKeepsEveryIdTheRecordHolds) {
    AddChip(0);
    for (int chip = 2; chip < 32; ++chip) AddChip(chip);
    ASSERT_EQ(PcivEnumChip(), 0);
    PCIV_CHIP_TABLE_S* t = PcivGetChipTable();
    ASSERT_EQ(t->u32RemoteNum, 31u);
    EXPECT_EQ(t->as32RemoteId[0], 0);
    EXPECT_EQ(t->as32RemoteId[30], 31);
    EXPECT_EQ(t->as32RemoteId[31], -1);
}

TEST_F(PcivChipTest, EnumerationFailuresLeaveNoIds) {
    AddChip(0);
    auto drv = Registry::Find("/dev/mcc_userdev");
    struct Case {
        const char* what;
        void (*inject)(varnelle::dev::Driver&);
    } cases[] = {
        {"device missing", [](varnelle::dev::Driver& d) { d.FailOpen(ENODEV); }},
        {"attribute init", [](varnelle::dev::Driver& d) { d.FailRequest(MK_MCC_IOC_ATTR_INIT, -1); }},
        {"remote ids", [](varnelle::dev::Driver& d) { d.FailRequest(MK_MCC_IOC_GET_REMOTE_ID, -1); }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(PcivEnumChip(), 0);
        ASSERT_EQ(PcivGetChipTable()->u32RemoteNum, 1u);
        int before = drv->OpenFiles();
        c.inject(*drv);
        EXPECT_EQ(PcivEnumChip(), -1) << c.what;
        EXPECT_EQ(PcivGetChipTable()->u32RemoteNum, 0u) << c.what;
        EXPECT_EQ(PcivGetChipTable()->as32RemoteId[0], -1) << c.what;
        EXPECT_EQ(drv->OpenFiles(), before) << c.what << ": the descriptor is not kept";
        drv->ClearFaults();
    }
}

TEST(PcivSlotTest, DecoderSlotsAreZeroToSeven) {
    EXPECT_EQ(PcivGetChnTrans(-1), nullptr);
    EXPECT_EQ(PcivGetChnTrans(8), nullptr);
    EXPECT_EQ(PcivGetChnTrans(0), &PcivGetChipTable()->astChnTrans[0]);
    EXPECT_EQ(PcivGetChnTrans(7), &PcivGetChipTable()->astChnTrans[7]);
    EXPECT_NE(PcivGetVencTrans(), PcivGetJpegTrans());
    EXPECT_EQ(PcivGetOsdTrans(), &PcivGetChipTable()->stOsdTrans);
}

}  // namespace
