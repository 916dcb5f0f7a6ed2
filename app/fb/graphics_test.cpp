#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/fb/graphics.h"

namespace {

// What the hooks saw, in order.
std::map<uint32_t, uint32_t> g_head;
std::vector<std::string> g_calls;
GraphicsDisplayDefaults g_defaults{};

void SetHead(uint32_t i, uint32_t v) {
    g_head[i] = v;
    g_calls.push_back("head" + std::to_string(i));
}
void SetDefaults(const GraphicsDisplayDefaults* d) {
    g_defaults = *d;
    g_calls.push_back("defaults");
}
GraphicsDisplayGeometry g_cascadeSaw{};
int PubConfig(int dev) {
    g_cascadeSaw = GraphicsGetDisplayGeometry();
    g_calls.push_back("cascade" + std::to_string(dev));
    return 0;
}
int VdecDefaults(uint32_t vstd) {
    g_calls.push_back("avdec" + std::to_string(vstd));
    return 0;
}

class GraphicsTest : public ::testing::Test {
protected:
    void SetUp() override {
        GraphicsReset();
        g_head.clear();
        g_calls.clear();
        GraphicsSetDecHeadWordHook(SetHead);
        GraphicsSetDecDisplayDefaultsHook(SetDefaults);
        GraphicsSetVoPubConfigCascadeHook(PubConfig);
        GraphicsSetAVdecSetDefaultsHook(VdecDefaults);
    }
    void TearDown() override { GraphicsReset(); }
};

TEST_F(GraphicsTest, TheFirstStandardWins) {
    EXPECT_EQ(GraphicsGetState()->u32Vstd, 0u) << "PAL until told";
    EXPECT_EQ(GraphicsSaveVstd(0, GRAPHICS_VSTD_NTSC), 0);
    EXPECT_EQ(GraphicsSaveVstd(0, GRAPHICS_VSTD_PAL), 0);
    EXPECT_EQ(GraphicsGetState()->u32Vstd, 1u);
    EXPECT_EQ(g_head[3], 1u);
    EXPECT_EQ(g_calls.size(), 1u) << "the second call writes nothing";
}

TEST_F(GraphicsTest, ResolutionsMapToInterfaceCodes) {
    struct Case {
        uint32_t w, h, wantW, wantH, code, imgW, imgH;
    } cases[] = {
        {800, 600, 800, 600, 16, 704, 576},       {1024, 768, 1024, 768, 17, 1024, 768},
        {1280, 1024, 1280, 1024, 18, 1280, 1024}, {1280, 720, 1280, 720, 8, 1280, 720},
        {1920, 1080, 1920, 1080, 6, 1920, 1080},  {1440, 900, 1440, 900, 20, 1440, 900},
        {3840, 2160, 3840, 2160, 30, 3840, 2160}, {2560, 1440, 2560, 1440, 26, 2560, 1440},
        {1366, 768, 1024, 768, 17, 1024, 768},    {0, 0, 1024, 768, 17, 1024, 768},
    };
    for (const Case& c : cases) {
        uint32_t size[2] = {c.w, c.h};
        EXPECT_EQ(GraphicsSetResolution(size), 0);
        EXPECT_EQ(GraphicsGetState()->u32Width, c.wantW) << c.w << "x" << c.h;
        EXPECT_EQ(GraphicsGetState()->u32Height, c.wantH) << c.w << "x" << c.h;
        EXPECT_EQ(g_head[15], c.code) << c.w << "x" << c.h;
        EXPECT_EQ(g_head[8], c.imgW);
        EXPECT_EQ(g_head[9], c.imgH);
        EXPECT_EQ(g_head[4], c.wantW);
        EXPECT_EQ(g_head[6], c.wantW);
        EXPECT_EQ(g_head[7], c.wantH);
        // The cascade reads the geometry of this very command.
        EXPECT_EQ(g_cascadeSaw.u32IntfSync, c.code) << c.w << "x" << c.h;
        EXPECT_EQ(g_cascadeSaw.u32Width, c.wantW);
        EXPECT_EQ(g_cascadeSaw.u32Height, c.wantH);
        EXPECT_EQ(g_cascadeSaw.u32ImgWidth, c.imgW);
        EXPECT_EQ(g_cascadeSaw.u32ImgHeight, c.imgH);
        EXPECT_EQ(g_cascadeSaw.u32FrameRate, 25u);
    }
}

TEST_F(GraphicsTest, GeometryBeforeAnyResolutionAndAfterReset) {
    for (int round = 0; round < 2; ++round) {
        GraphicsDisplayGeometry g = GraphicsGetDisplayGeometry();
        EXPECT_EQ(g.u32IntfSync, 17u);
        EXPECT_EQ(g.u32Width, 1024u);
        EXPECT_EQ(g.u32Height, 768u);
        EXPECT_EQ(g.u32ImgWidth, 1024u);
        EXPECT_EQ(g.u32ImgHeight, 768u);
        uint32_t size[2] = {800, 600};
        GraphicsSetResolution(size);
        GraphicsReset();
    }
}

TEST_F(GraphicsTest, StandardSetsRateAndDefaultsAndOrder) {
    GraphicsSaveVstd(0, GRAPHICS_VSTD_NTSC);
    g_calls.clear();
    uint32_t size[2] = {1280, 720};
    GraphicsSetResolution(size);
    EXPECT_EQ(g_head[14], 30u);
    EXPECT_EQ(g_head[16], 1u);
    EXPECT_EQ(g_head[12], 0u);
    EXPECT_EQ(g_defaults.u32Height, 480u);
    EXPECT_EQ(g_defaults.u32Ntsc, 1u);
    EXPECT_EQ(g_defaults.u32FrameRate, 30u);
    EXPECT_EQ(g_defaults.u32Width, 704u);
    // The display and the decoder defaults come before the final size words.
    std::vector<std::string> tail(g_calls.end() - 5, g_calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"defaults", "cascade0", "avdec1", "head6", "head7"}));
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Each module sets its own hook; the ones still missing say so once per command and the command goes
// on with the others.
TEST_F(GraphicsTest, HooksAreSetOneByOneAndEachMissingOneIsOneLine) {
    struct Case {
        bool head, defaults, cascade, avdec;
        std::vector<std::string> calls;  // of a resolution change, after the head words
        size_t lines;
    } cases[] = {
        {false, false, false, false, {}, 4},
        {false, false, true, false, {"cascade0"}, 3},
        {false, true, false, true, {"defaults", "avdec0"}, 2},
        {true, true, true, true, {"defaults", "cascade0", "avdec0"}, 0},
    };
    for (const Case& c : cases) {
        GraphicsReset();
        g_calls.clear();
        if (c.head) GraphicsSetDecHeadWordHook(SetHead);
        if (c.defaults) GraphicsSetDecDisplayDefaultsHook(SetDefaults);
        if (c.cascade) GraphicsSetVoPubConfigCascadeHook(PubConfig);
        if (c.avdec) GraphicsSetAVdecSetDefaultsHook(VdecDefaults);
        uint32_t size[2] = {1920, 1080};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(GraphicsSetResolution(size), 0);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(GraphicsGetState()->u32Width, 1920u);
        EXPECT_EQ(Count(out, "is not available on this slave"), c.lines) << out;
        EXPECT_EQ(Count(out, "../fb/Graphics.c"), c.lines) << out;
        std::vector<std::string> calls;
        for (const std::string& call : g_calls) {
            if (call.rfind("head", 0) != 0) calls.push_back(call);
        }
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(g_calls.size() - calls.size(), c.head ? 12u : 0u) << "every head word, or none";
    }
    GraphicsReset();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(GraphicsSaveVstd(0, GRAPHICS_VSTD_NTSC), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(Count(out, "the decode block is not available"), 1u) << out;
    EXPECT_EQ(GraphicsGetState()->u32Vstd, 1u) << "kept even without the decode block";
}

}  // namespace
