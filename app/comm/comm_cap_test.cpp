// Capabilities: the derived codes, classes and tests against tables written out by hand, the built-in
// tables, and the text tables read, checked and written under a chip root made for the test.
#include "app/comm/comm_cap.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"

namespace {

HVR_CAP_S Analog(int slot, int16_t n, uint32_t pb = 0) {
    HVR_CAP_S c{};
    c.as16Analog[slot] = n;
    c.u32MaxPlayBackWay = pb;
    return c;
}

void Store(uint32_t dev, const HVR_CAP_S& cap) {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32DevType = dev;
    p.u32ChnEnd = 8;
    p.stHvrCap = cap;
    SlaveStoreSysParam(&p);
}

TEST(CapTest, LargestAnalogPictureIsTheFirstClassPresent) {
    struct Case {
        int slot;
        int32_t code;
    } cases[] = {{HVR_CAP_CIF, 3},  {HVR_CAP_D1, 0},   {HVR_CAP_960H, 10}, {HVR_CAP_720P, 11}, {HVR_CAP_1080P, 14},
                 {HVR_CAP_960P, 2}, {HVR_CAP_3M, 17},  {HVR_CAP_4M, 16},   {HVR_CAP_5M, 18},   {HVR_CAP_8M, 20}};
    for (const Case& c : cases) EXPECT_EQ(CommMaxPicSizeOf(Analog(c.slot, 4)), c.code) << c.slot;
    EXPECT_EQ(CommMaxPicSizeOf(HVR_CAP_S{}), 0) << "no analog channel reads as D1";
    HVR_CAP_S both = Analog(HVR_CAP_1080P, 8);
    both.as16Analog[HVR_CAP_CIF] = 4;
    EXPECT_EQ(CommMaxPicSizeOf(both), 3) << "CIF is tested first, not the largest";
    HVR_CAP_S digital{};
    digital.as16Digital[HVR_CAP_8M] = 8;
    EXPECT_EQ(CommMaxPicSizeOf(digital), 0);
    HVR_CAP_S negative = Analog(HVR_CAP_CIF, -1);
    negative.as16Analog[HVR_CAP_5M] = 2;
    EXPECT_EQ(CommMaxPicSizeOf(negative), 18);
}

TEST(CapTest, SizeClassByProductAndRecord) {
    struct Case {
        uint32_t dev;
        int slot;
        int16_t n;
        int32_t cls;
    } cases[] = {
        {651, HVR_CAP_960P, 16, 14}, {654, HVR_CAP_960P, 16, 14}, {660, HVR_CAP_960P, 16, 14},
        {652, HVR_CAP_960P, 24, 16}, {653, HVR_CAP_960P, 32, 17}, {655, HVR_CAP_960P, 8, 25},
        {651, HVR_CAP_1080P, 8, 15}, {656, HVR_CAP_1080P, 8, 15}, {658, HVR_CAP_1080P, 16, 15},
        {659, HVR_CAP_1080P, 16, 15}, {660, HVR_CAP_1080P, 32, 15}, {661, HVR_CAP_1080P, 32, 15},
        {655, HVR_CAP_1080P, 8, 12}, {657, HVR_CAP_1080P, 4, 12}, {652, HVR_CAP_1080P, 8, 25},
        {656, HVR_CAP_5M, 8, 18},    {659, HVR_CAP_5M, 16, 18},   {657, HVR_CAP_5M, 8, 18},
        {657, HVR_CAP_5M, 4, 20},    {651, HVR_CAP_5M, 8, 25},    {651, HVR_CAP_4M, 8, 19},
        {656, HVR_CAP_4M, 15, 19},   {657, HVR_CAP_4M, 16, 21},   {660, HVR_CAP_4M, 32, 21},
        {659, HVR_CAP_4M, 8, 25},    {656, HVR_CAP_3M, 16, 22},   {657, HVR_CAP_3M, 8, 23},
        {660, HVR_CAP_3M, 8, 25},    {651, HVR_CAP_8M, 4, 24},    {999, HVR_CAP_8M, 1, 24},
        {656, HVR_CAP_D1, 8, 25},    {656, HVR_CAP_CIF, 8, 25},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CommCapSizeClass(c.dev, Analog(c.slot, c.n)), c.cls) << c.dev << " slot " << c.slot << " n " << c.n;
    }
    HVR_CAP_S both = Analog(HVR_CAP_960P, 8);
    both.as16Analog[HVR_CAP_1080P] = 8;
    EXPECT_EQ(CommCapSizeClass(656, both), 25) << "960P decides first, and 656 has no 960P class";
    EXPECT_EQ(CommCapSizeClass(656, HVR_CAP_S{}), 25);
}

// The class once latched at its first call, before any record, for the whole run: it follows the
// record in force instead, again at every command 96.
TEST(CapTest, SizeClassFollowsTheRecordInForce) {
    SlaveResetSysCfg();
    EXPECT_EQ(Comm_GetMaxCapSize(), 25);
    Store(656, Analog(HVR_CAP_1080P, 8));
    EXPECT_EQ(Comm_GetMaxCapSize(), 15);
    Store(656, Analog(HVR_CAP_4M, 16));
    EXPECT_EQ(Comm_GetMaxCapSize(), 21);
    HVR_CAP_S cap = Analog(HVR_CAP_3M, 16);
    EXPECT_EQ(Comm_SetHvrCap(&cap), 0);
    EXPECT_EQ(Comm_GetMaxCapSize(), 22);
    EXPECT_EQ(std::memcmp(Comm_GetHvrCap(), &cap, sizeof(cap)), 0);
    SlaveSysCfg copy = SlaveGetSysCfg();
    EXPECT_EQ(std::memcmp(&copy.stHvrCap, &cap, sizeof(cap)), 0);
    EXPECT_EQ(Comm_SetHvrCap(nullptr), -1);
    SlaveResetSysCfg();
}

TEST(CapTest, WideAndLargeTests) {
    struct Case {
        uint32_t dev;
        int slot;
        int16_t n;
        uint32_t pb;
        bool wide, large;
    } cases[] = {
        {659, HVR_CAP_5M, 16, 8, true, true},      {656, HVR_CAP_5M, 16, 8, false, false},
        {659, HVR_CAP_5M, 8, 8, false, false},     {651, HVR_CAP_4M, 32, 16, true, true},
        {651, HVR_CAP_4M, 16, 32, false, false},   {660, HVR_CAP_1080P, 32, 32, true, true},
        {660, HVR_CAP_1080P, 32, 16, false, true}, {660, HVR_CAP_1080P, 16, 32, false, false},
    };
    for (const Case& c : cases) {
        HVR_CAP_S cap = Analog(c.slot, c.n, c.pb);
        EXPECT_EQ(CommWideTest(c.dev, cap), c.wide) << c.dev << " " << c.slot << " " << c.n << " " << c.pb;
        EXPECT_EQ(CommLargeTest(c.dev, cap), c.large) << c.dev << " " << c.slot << " " << c.n << " " << c.pb;
    }
}

TEST(CapTest, BuiltinTables) {
    struct Count {
        uint32_t dev;
        int32_t n;
    } counts[] = {{651, 9}, {652, 4}, {653, 5}, {654, 7}, {655, 5}, {656, 7}, {657, 4},
                  {658, 3}, {659, 5}, {660, 3}, {661, 2}, {650, 0}, {662, 0}, {0, 0}};
    HVR_CAP_TABLE_S t;
    for (const Count& c : counts) {
        EXPECT_EQ(CommBuiltinHvrCapTable(c.dev, &t), 0);
        EXPECT_EQ(t.s32Num, c.n) << c.dev;
    }
    // Product 656 in full.
    CommBuiltinHvrCapTable(656, &t);
    HVR_CAP_S want[7] = {};
    want[0].as16Analog[HVR_CAP_4M] = 16, want[0].u32MaxPlayBackWay = 8;
    want[1].as16Analog[HVR_CAP_4M] = 8, want[1].as16Digital[HVR_CAP_4M] = 8, want[1].u32MaxPlayBackWay = 8;
    want[2].as16Analog[HVR_CAP_4M] = 8, want[2].u32MaxPlayBackWay = 8;
    want[3].as16Analog[HVR_CAP_3M] = 16, want[3].u32MaxPlayBackWay = 16;
    want[4].as16Digital[HVR_CAP_1080P] = 8, want[4].as16Digital[HVR_CAP_D1] = 8, want[4].u32MaxPlayBackWay = 8;
    want[5].as16Digital[HVR_CAP_D1] = 4, want[5].as16Digital[HVR_CAP_5M] = 4, want[5].u32MaxPlayBackWay = 4;
    want[6].as16Digital[HVR_CAP_5M] = 4, want[6].u32MaxPlayBackWay = 4;
    for (int i = 0; i < 7; ++i) EXPECT_EQ(std::memcmp(&t.astCap[i], &want[i], sizeof(HVR_CAP_S)), 0) << i;
    HVR_CAP_S zero{};
    for (int i = 7; i < HVR_CAP_TABLE_MAX; ++i) EXPECT_EQ(std::memcmp(&t.astCap[i], &zero, sizeof(zero)), 0) << i;
    // The boards without a product answer query 129 with nothing: one record of zero channels.
    for (uint32_t none : {65534u, 65535u}) {
        CommBuiltinHvrCapTable(none, &t);
        EXPECT_EQ(t.s32Num, 1);
        EXPECT_EQ(std::memcmp(&t.astCap[0], &zero, sizeof(zero)), 0);
    }
}

// A chip root of the test's own under the working folder, removed at the end.
class CapFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "comm-cap-root-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = std::filesystem::absolute(tmpl);
        std::filesystem::create_directories(m_root / "mnt/custom");
        std::filesystem::create_directories(m_root / "var");
        setenv("VARNELLE_ROOT", m_root.c_str(), 1);
        CaptureResetHVRCapCustom();
        Store(660, HVR_CAP_S{});
    }
    void TearDown() override {
        unsetenv("VARNELLE_ROOT");
        CaptureResetHVRCapCustom();
        SlaveResetSysCfg();
        std::filesystem::remove_all(m_root);
    }
    void WriteCustom(const std::string& text) {
        std::ofstream(m_root / "mnt/custom/HvrTotalMode") << text;
    }
    std::string ReadSummary() {
        std::ifstream in(m_root / "var/HvrTotalMode");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool SameTable(const HVR_CAP_TABLE_S& a, const HVR_CAP_TABLE_S& b) {
        return std::memcmp(&a, &b, sizeof(a)) == 0;
    }
    std::filesystem::path m_root;
};

TEST_F(CapFileTest, SummaryHasOneLinePerCountAndAlwaysThePlayBackLine) {
    ASSERT_EQ(CaptureSaveTotalHVRCap(), 0);
    EXPECT_EQ(ReadSummary(),
              "Analog-n4MChn: 32\nMaxPlayBackWayChn: 16\n"
              "Analog-n1080PChn: 32\nMaxPlayBackWayChn: 16\n"
              "Digital-n5MChn: 8\nMaxPlayBackWayChn: 8\n");
    Store(656, HVR_CAP_S{});
    ASSERT_EQ(CaptureSaveTotalHVRCap(), 0);
    std::string text = ReadSummary();
    EXPECT_NE(text.find("Analog-n4MChn: 8\nDigital-n4MChn: 8\nMaxPlayBackWayChn: 8\n"), std::string::npos) << text;
}

TEST_F(CapFileTest, WriterThenReaderGivesTheBuiltinTable) {
    for (uint32_t dev : {651u, 656u, 660u}) {
        Store(dev, HVR_CAP_S{});
        CaptureResetHVRCapCustom();
        ASSERT_EQ(CaptureSaveTotalHVRCap(), 0);
        std::filesystem::copy_file(m_root / "var/HvrTotalMode", m_root / "mnt/custom/HvrTotalMode",
                                   std::filesystem::copy_options::overwrite_existing);
        HVR_CAP_TABLE_S got, builtin;
        ASSERT_EQ(CaptureGetTotalHVRCapCustom(&got), 0);
        CaptureGetTotalHVRCapDefault(&builtin);
        EXPECT_TRUE(SameTable(got, builtin)) << dev;
        EXPECT_EQ(CaptureCheckHVRCap(&got), 0) << dev;
    }
}

TEST_F(CapFileTest, CustomSubsetIsKeptAndReadOnlyOnce) {
    WriteCustom("# one mode of this board\nAnalog-n1080PChn: 32\nnoise without the key\nMaxPlayBackWayChn: 16\n");
    HVR_CAP_TABLE_S got;
    ASSERT_EQ(CaptureGetTotalHVRCap(&got), 0);
    ASSERT_EQ(got.s32Num, 1);
    HVR_CAP_S want = Analog(HVR_CAP_1080P, 32, 16);
    EXPECT_EQ(std::memcmp(&got.astCap[0], &want, sizeof(want)), 0);
    WriteCustom("Digital-n5MChn: 8\nMaxPlayBackWayChn: 8\n");
    HVR_CAP_TABLE_S again;
    ASSERT_EQ(CaptureGetTotalHVRCap(&again), 0);
    EXPECT_TRUE(SameTable(got, again)) << "the kept copy, not the file";
}

TEST_F(CapFileTest, CustomFilesThatDoNotMatchGiveTheBuiltinTable) {
    const char* cases[] = {
        // The same record twice against one built-in record.
        "Analog-n4MChn: 32\nMaxPlayBackWayChn: 16\nAnalog-n4MChn: 32\nMaxPlayBackWayChn: 16\n",
        // A record of no built-in kind.
        "Analog-n4MChn: 31\nMaxPlayBackWayChn: 16\n",
        // No closed record at all.
        "Analog-n4MChn: 32\n",
        "",
    };
    HVR_CAP_TABLE_S builtin;
    CaptureGetTotalHVRCapDefault(&builtin);
    for (const char* text : cases) {
        CaptureResetHVRCapCustom();
        WriteCustom(text);
        HVR_CAP_TABLE_S got;
        ASSERT_EQ(CaptureGetTotalHVRCapCustom(&got), 0);
        EXPECT_TRUE(SameTable(got, builtin)) << text;
    }
}

TEST_F(CapFileTest, UnclosedRecordDoesNotCount) {
    WriteCustom("Digital-n5MChn: 8\nMaxPlayBackWayChn: 8\nAnalog-n4MChn: 32\n");
    HVR_CAP_TABLE_S got;
    ASSERT_EQ(CaptureGetTotalHVRCapCustom(&got), 0);
    EXPECT_EQ(got.s32Num, 1);
    EXPECT_EQ(got.astCap[0].as16Digital[HVR_CAP_5M], 8);
}

// The table has room for 32 records: a longer file stops there instead of writing past the table.
TEST_F(CapFileTest, LongFileStopsAtThirtyTwoRecords) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "Digital-n5MChn: 8\nMaxPlayBackWayChn: 8\n";
    text += "Analog-n4MChn: 32\n";
    WriteCustom(text);
    HVR_CAP_TABLE_S got, builtin;
    ASSERT_EQ(CaptureGetTotalHVRCapCustom(&got), 0);
    CaptureGetTotalHVRCapDefault(&builtin);
    EXPECT_TRUE(SameTable(got, builtin)) << "32 equal records cannot all match";
}

TEST_F(CapFileTest, MissingFile) {
    HVR_CAP_TABLE_S got, builtin;
    EXPECT_EQ(CaptureGetTotalHVRCapCustom(&got), -1);
    ASSERT_EQ(CaptureGetTotalHVRCap(&got), 0);
    CaptureGetTotalHVRCapDefault(&builtin);
    EXPECT_TRUE(SameTable(got, builtin));
    EXPECT_EQ(CaptureGetTotalHVRCap(nullptr), -1);
    Store(650, HVR_CAP_S{});
    std::memset(&got, 0x5A, sizeof(got));
    ASSERT_EQ(CaptureGetTotalHVRCap(&got), 0);
    HVR_CAP_TABLE_S zero{};
    EXPECT_TRUE(SameTable(got, zero)) << "no record: the whole table zeroed";
}

TEST_F(CapFileTest, SummaryFolderMissing) {
    std::filesystem::remove_all(m_root / "var");
    EXPECT_EQ(CaptureSaveTotalHVRCap(), -1);
}

TEST_F(CapFileTest, Checker) {
    HVR_CAP_TABLE_S list{};
    EXPECT_EQ(CaptureCheckHVRCap(nullptr), -1);
    EXPECT_EQ(CaptureCheckHVRCap(&list), -1) << "no record";
    list.s32Num = 33;
    EXPECT_EQ(CaptureCheckHVRCap(&list), -1) << "more than the table holds";
    list.s32Num = 2;
    list.astCap[0] = Analog(HVR_CAP_1080P, 32, 16);
    list.astCap[1].as16Digital[HVR_CAP_5M] = 8;
    list.astCap[1].u32MaxPlayBackWay = 8;
    EXPECT_EQ(CaptureCheckHVRCap(&list), 0);
    list.astCap[1] = list.astCap[0];
    EXPECT_EQ(CaptureCheckHVRCap(&list), -2) << "one built-in record matches once";
    list.astCap[1] = Analog(HVR_CAP_1080P, 32, 32);
    EXPECT_EQ(CaptureCheckHVRCap(&list), -2);
}

}  // namespace
