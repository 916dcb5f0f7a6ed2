// The title thread's messages and rendering, against the region driver's view: which picture each
// stream gets, the size limits, the shared index-0 title, font names, and the thread on the title port.
#include "app/cascade/cascade_manager.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_title_port.h"
#include "base/font/font_manager.h"
#include "base/font/font_test_util.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/mcc/mcc_driver.h"

namespace {

namespace rgn = varnelle::drivers::rgn_view;
namespace fs = std::filesystem;

constexpr uint32_t kEnd = 4;
constexpr uint32_t kTitlePort = 123;

PCIV_MSG_S FontMsg(const char* name, size_t len) {
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = CASCADE_MSG_FONT;
    m.stMsgHead.u32MsgLen = CASCADE_FONT_NAME_LEN;
    std::memcpy(m.au32Payload, name, len);
    return m;
}

// A title message for `chn` (main, sub and JPEG sizes as given).
PCIV_MSG_S TitleMsg(uint32_t chn, uint32_t index, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                    const std::string& text, uint32_t mainSize, uint32_t subSize = 0, uint32_t jpegSize = 0) {
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = CASCADE_MSG_TITLE;
    m.stMsgHead.u32MsgLen = sizeof(CASCADE_TITLE_MSG_S);
    CASCADE_TITLE_MSG_S t{};
    t.u32Chn = chn;
    const uint32_t head[2] = {index, 1};
    const uint16_t place[4] = {x, y, w, h};
    const uint32_t colours[2] = {0xFFFFFF, 0x000000};
    std::memcpy(t.au8Title, head, 8);
    std::memcpy(t.au8Title + 8, place, 8);
    std::memcpy(t.au8Title + 16, colours, 8);
    std::memcpy(t.szText, text.data(), std::min(text.size(), sizeof(t.szText)));
    t.astStream[0].u32Size = mainSize;
    t.astStream[1].u32Size = subSize;
    t.astStream[2].u32Size = jpegSize;
    std::memcpy(m.au32Payload, &t, sizeof(t));
    return m;
}

class CascadeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        varnelle::drivers::InstallAll();
        varnelle::mcc::InstallMccDriver();
        // The chip's font folder under a root of this test's own.
        s_root = new varnelle::font_test::TempDir;
        ::setenv("VARNELLE_ROOT", s_root->Path().c_str(), 1);
        const fs::path fonts = fs::path(s_root->Path()) / "data/Fonts";
        fs::create_directories(fonts);
        ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont((fonts / "Font.bin").string(), 24));
        ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont((fonts / "FontSmall.bin").string(), 16));
        fs::copy_file(varnelle::font_test::kDejaVu, fonts / "DejaVuSans.ttf");
    }
    static void TearDownTestSuite() {
        ::unsetenv("VARNELLE_ROOT");
        delete s_root;
        delete s_bus;
    }
    void SetUp() override {
        varnelle::drivers::ResetMediaState();
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = kEnd;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(CaptureStateInit(), 0);
        CaptureTitleInit();
        for (uint32_t c = 0; c < kEnd; ++c) {
            CaptureStream(c, 0)->s32SizeCode = 0;
            CaptureStream(c, 1)->s32SizeCode = 3;
            CaptureTitleSetReady(c, 1);
        }
        m_mgr = CCascadeManager::instance();
        PCIV_MSG_S font = FontMsg("DejaVuSans", 10);
        ASSERT_EQ(m_mgr->HandleMessage(&font), 0);
    }
    void TearDown() override {
        CaptureResetState();
        SlaveResetSysCfg();
        varnelle::drivers::ResetMediaState();
    }
    static std::optional<rgn::Region> Main(uint32_t chn, uint32_t index) {
        return rgn::Get(OsdTitleHandle(kEnd, chn, 0, index));
    }
    static varnelle::testing::ScopedBus* s_bus;
    static varnelle::font_test::TempDir* s_root;
    CCascadeManager* m_mgr = nullptr;
};
varnelle::testing::ScopedBus* CascadeTest::s_bus = nullptr;
varnelle::font_test::TempDir* CascadeTest::s_root = nullptr;

TEST_F(CascadeTest, TheStreamsSizeValueChoosesDoubleFullOrHalf) {
    struct Case {
        const char* font;
        uint32_t size;
        uint32_t w, h;
    };
    const Case cases[] = {
        {"DejaVuSans", 1021, 192, 96}, {"DejaVuSans", 1020, 96, 48}, {"DejaVuSans", 401, 96, 48},
        {"DejaVuSans", 400, 48, 24},   {"Thai", 400, 96, 48},        {"DejaVuSans", 0, 48, 24},
    };
    for (const Case& c : cases) {
        PCIV_MSG_S font = FontMsg(c.font, std::strlen(c.font));
        ASSERT_EQ(m_mgr->HandleMessage(&font), 0);
        PCIV_MSG_S m = TitleMsg(1, 1, 8, 8, 96, 48, "Cam 1", c.size);
        ASSERT_EQ(m_mgr->HandleMessage(&m), 0);
        auto r = Main(1, 1);
        ASSERT_TRUE(r.has_value()) << c.font << " " << c.size;
        EXPECT_EQ(r->attr.unAttr.stOverlay.stSize.u32Width, c.w) << c.font << " " << c.size;
        EXPECT_EQ(r->attr.unAttr.stOverlay.stSize.u32Height, c.h) << c.font << " " << c.size;
        // A size value below 1 puts no title on the sub or JPEG stream.
        EXPECT_FALSE(rgn::Get(OsdTitleHandle(kEnd, 1, 1, 1)).has_value());
    }
}

TEST_F(CascadeTest, TheDoublePictureIsTheFullOneInBlocksWithTwoColoursOnly) {
    PCIV_MSG_S m = TitleMsg(2, 1, 8, 8, 96, 48, std::string("Door 2\0Hall", 11), 700, 1021);
    ASSERT_EQ(m_mgr->HandleMessage(&m), 0);
    auto full = Main(2, 1);
    auto dbl = rgn::Get(OsdTitleHandle(kEnd, 2, 1, 1));
    ASSERT_TRUE(full.has_value());
    ASSERT_TRUE(dbl.has_value());
    std::set<uint16_t> colours(full->pixels.begin(), full->pixels.end());
    EXPECT_EQ(colours, (std::set<uint16_t>{0x0000, 0x7FFF})) << "white text on black";
    // Both lines drew ink: each band of 24 rows has text colour in it.
    for (int band = 0; band < 2; ++band) {
        size_t ink = 0;
        for (int y = band * 24; y < band * 24 + 24; ++y)
            for (int x = 0; x < 96; ++x) ink += full->pixels[y * 96 + x] == 0x7FFF;
        EXPECT_GT(ink, 40u) << "band " << band;
    }
    ASSERT_EQ(dbl->pixels.size(), 4 * full->pixels.size());
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 192; ++x)
            ASSERT_EQ(dbl->pixels[y * 192 + x], full->pixels[(y / 2) * 96 + x / 2]) << x << "," << y;
}

TEST_F(CascadeTest, TitlesOf8200PixelsAreRefused) {
    PCIV_MSG_S big = TitleMsg(0, 1, 0, 0, 100, 82, "x", 700);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(m_mgr->HandleMessage(&big), 0);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("length of string out of length w:100, h:82"),
              std::string::npos);
    EXPECT_EQ(rgn::Count(), 0u);
    // Sizes whose product passes 2^31: refused too, not wrapped below the limit.
    using Size = std::pair<uint16_t, uint16_t>;
    for (const auto& [w, h] : {Size{65535, 32769}, Size{65535, 65535}, Size{32768, 65535}}) {
        PCIV_MSG_S huge = TitleMsg(0, 1, 0, 0, w, h, "x", 700);
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(m_mgr->HandleMessage(&huge), 0);
        EXPECT_NE(::testing::internal::GetCapturedStdout().find("length of string out of length"), std::string::npos)
            << w << "x" << h;
    }
    EXPECT_EQ(rgn::Count(), 0u);
    PCIV_MSG_S ok = TitleMsg(0, 1, 0, 0, 911, 9, "x", 700);  // 8199 pixels
    ASSERT_EQ(m_mgr->HandleMessage(&ok), 0);
    auto r = Main(0, 1);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->attr.unAttr.stOverlay.stSize.u32Width, 908u);
}

TEST_F(CascadeTest, IndexZeroOfOtherChannelsShowsWhatChannelZeroRendered) {
    PCIV_MSG_S other = TitleMsg(3, 0, 0, 0, 128, 24, "before", 700);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(m_mgr->HandleMessage(&other), 0);
    ::testing::internal::GetCapturedStdout();
    // Nothing rendered for channel 0 in this process yet, or the last render's size is used.
    PCIV_MSG_S zero = TitleMsg(0, 0, 0, 0, 160, 24, "2026-12-09 12:00:00", 700);
    ASSERT_EQ(m_mgr->HandleMessage(&zero), 0);
    PCIV_MSG_S three = TitleMsg(3, 0, 16, 16, 160, 48, "ZZZZZZZZ", 700);
    ASSERT_EQ(m_mgr->HandleMessage(&three), 0);
    auto r0 = Main(0, 0), r3 = Main(3, 0);
    ASSERT_TRUE(r0.has_value());
    ASSERT_TRUE(r3.has_value());
    EXPECT_EQ(r3->attr.unAttr.stOverlay.stSize.u32Width, 160u) << "channel 0's size, not its own";
    EXPECT_EQ(r3->attr.unAttr.stOverlay.stSize.u32Height, 24u);
    EXPECT_EQ(r3->pixels, r0->pixels);
    EXPECT_EQ(r3->channels[0].second.unChnAttr.stOverlayChn.stPoint.s32X, 32) << "its own place";
}

TEST_F(CascadeTest, FontNamesAreCutAt32AndRefusedWithASlash) {
    PCIV_MSG_S slash = FontMsg("../../etc/passwd", 16);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(m_mgr->HandleMessage(&slash), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_STREQ(m_mgr->FontName(), "DejaVuSans") << "the earlier choice stands";
    EXPECT_TRUE(IFontManager::IsTrueType());
    const std::string full32(32, 'N');
    PCIV_MSG_S longName = FontMsg(full32.c_str(), 32);
    ASSERT_EQ(m_mgr->HandleMessage(&longName), 0);
    EXPECT_EQ(std::string(m_mgr->FontName()), full32);
    EXPECT_FALSE(IFontManager::IsTrueType()) << "no such file: the bitmap fonts";
}

TEST_F(CascadeTest, ATextFieldWithoutNulEndsAtTheField) {
    // Every byte of the text field set: each line is cut at the field's end, nothing past it is read.
    PCIV_MSG_S m = TitleMsg(1, 2, 0, 0, 160, 48, std::string(64, 'W'), 700);
    ASSERT_EQ(m_mgr->HandleMessage(&m), 0);
    auto r = Main(1, 2);
    ASSERT_TRUE(r.has_value());
    size_t ink[2] = {};
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 160; ++x) ink[y / 24] += r->pixels[y * 160 + x] != 0;
    EXPECT_GT(ink[0], 0u);
    EXPECT_EQ(ink[1], 0u) << "no second line: the first took the whole field";
}

TEST_F(CascadeTest, MessagesOfAnotherTypeOrLengthAreRefused) {
    PCIV_MSG_S m = TitleMsg(0, 1, 0, 0, 32, 24, "x", 700);
    m.stMsgHead.u32MsgLen = 119;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(m_mgr->HandleMessage(&m), -1);
    m.stMsgHead.u32MsgType = 2;
    m.stMsgHead.u32MsgLen = 120;
    EXPECT_EQ(m_mgr->HandleMessage(&m), -1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("HwPCIV_ReadMessage Error 2 120"),
              std::string::npos);
    EXPECT_EQ(rgn::Count(), 0u);
}

TEST_F(CascadeTest, TheThreadTakesFontAndTitleFromTheTitlePort) {
    varnelle::testing::FakeMaster master;
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(PCIV_OpenMsgPort(0, kTitlePort), 0);
    PCIV_SetTitlePort(kTitlePort);
    ASSERT_TRUE(m_mgr->Start());
    PCIV_MSG_S font = FontMsg("DejaVuSans", 10);
    PCIV_MSG_S title = TitleMsg(2, 3, 8, 8, 64, 24, "Gate", 700);
    ASSERT_TRUE(master.Send(kTitlePort, &font, 16 + font.stMsgHead.u32MsgLen));
    ASSERT_TRUE(master.Send(kTitlePort, &title, 16 + title.stMsgHead.u32MsgLen));
    for (int i = 0; i < 20000 && !Main(2, 3).has_value(); ++i) usleep(500);
    EXPECT_TRUE(Main(2, 3).has_value());
    m_mgr->Stop(true);
    PCIV_SetTitlePort(0);
    PCIV_TitlePortStop();
    PCIV_CloseMsgPort(0, kTitlePort);
}

}  // namespace
