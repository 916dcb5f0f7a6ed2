// Titles: a 32-character index-1 title message through the title thread's handling to the region's
// bitmap load, against FreeType rendering the same text with the same face and size (warm), in the
// same run. Also the same with the font-name message before every title.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/cascade/cascade_manager.h"
#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/host/test_bus.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const std::string kText = "Front door 2026-12-09 12:34:56 A";  // 32 characters
// 336 x 24: the widest one-band title under the 8200-pixel limit.
constexpr uint16_t kW = 336, kH = 24;

static_assert(sizeof("Front door 2026-12-09 12:34:56 A") == 33);

// A private chip root with the font, removed at exit; the slave's state for one channel.
struct Rig {
    std::string root;
    Rig() {
        varnelle::host::UsePrivateBus("titlebench");
        varnelle::drivers::InstallAll();
        char tmpl[] = "/dev/shm/varnelle-titleroot-XXXXXX";
        root = ::mkdtemp(tmpl);
        fs::create_directories(root + "/data/Fonts");
        fs::copy_file(kDejaVu, root + "/data/Fonts/DejaVuSans.ttf");
        ::setenv("VARNELLE_ROOT", root.c_str(), 1);
        ::unsetenv("VARNELLE_TRACE");
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = 1;
        SlaveStoreSysParam(&p);
        CaptureStateInit();
        CaptureTitleInit();
        CaptureStream(0, 0)->s32SizeCode = 0;
        CaptureTitleSetReady(0, 1);
    }
    ~Rig() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

PCIV_MSG_S FontMsg() {
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = CASCADE_MSG_FONT;
    m.stMsgHead.u32MsgLen = CASCADE_FONT_NAME_LEN;
    std::memcpy(m.au32Payload, "DejaVuSans", 10);
    return m;
}

PCIV_MSG_S TitleMsg() {
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = CASCADE_MSG_TITLE;
    m.stMsgHead.u32MsgLen = sizeof(CASCADE_TITLE_MSG_S);
    CASCADE_TITLE_MSG_S t{};
    const uint32_t head[2] = {1, 1};
    const uint16_t place[4] = {8, 8, kW, kH};
    const uint32_t colours[2] = {0xFFFFFF, 0};
    std::memcpy(t.au8Title, head, 8);
    std::memcpy(t.au8Title + 8, place, 8);
    std::memcpy(t.au8Title + 16, colours, 8);
    std::memcpy(t.szText, kText.data(), kText.size());
    t.astStream[0].u32Size = 704;
    std::memcpy(m.au32Payload, &t, sizeof(t));
    return m;
}

// FreeType alone: the text's glyphs rendered one after the other from a warm face.
double FreeTypeUs(int rounds) {
    FT_Library lib;
    FT_Face face;
    FT_Init_FreeType(&lib);
    FT_New_Face(lib, kDejaVu, 0, &face);
    FT_Set_Pixel_Sizes(face, 0, 24);
    std::vector<uint8_t> canvas(kW * kH);
    auto once = [&] {
        long pen = 0;
        for (char c : kText) {
            if (FT_Load_Char(face, static_cast<unsigned char>(c), FT_LOAD_RENDER) != 0) continue;
            const FT_Bitmap& b = face->glyph->bitmap;
            for (unsigned r = 0; r < b.rows && r < kH; ++r)
                for (unsigned x = 0; x < b.width && pen + x < kW; ++x)
                    canvas[r * kW + pen + x] |= b.buffer[r * b.pitch + x];
            pen += face->glyph->advance.x >> 6;
        }
        benchmark::DoNotOptimize(canvas.data());
    };
    once();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) once();
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    return us / rounds;
}

void BM_FreeTypeText(benchmark::State& state) {
    for (auto _ : state) state.counters["us"] = FreeTypeUs(200);
}
BENCHMARK(BM_FreeTypeText)->Iterations(3);

void TitleLoop(benchmark::State& state, bool withFont) {
    TheRig();
    CCascadeManager* mgr = CCascadeManager::instance();
    PCIV_MSG_S font = FontMsg(), title = TitleMsg();
    mgr->HandleMessage(&font);
    mgr->HandleMessage(&title);  // the region is made; later titles only load it
    const auto t0 = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        if (withFont) mgr->HandleMessage(&font);
        mgr->HandleMessage(&title);
        ++n;
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
    const double ft = FreeTypeUs(200);
    state.counters["us_per_title"] = us;
    state.counters["freetype_us"] = ft;
    state.counters["ratio_vs_freetype"] = us / ft;
    const auto r = varnelle::drivers::rgn_view::Get(OsdTitleHandle(1, 0, 0, 1));
    state.counters["loads"] = r ? static_cast<double>(r->bitmapLoads) : 0;
}

void BM_TitleToBitmapLoad(benchmark::State& state) {
    TitleLoop(state, false);
}
BENCHMARK(BM_TitleToBitmapLoad)->MinTime(0.2);

void BM_FontNameAndTitleToBitmapLoad(benchmark::State& state) {
    TitleLoop(state, true);
}
BENCHMARK(BM_FontNameAndTitleToBitmapLoad)->MinTime(0.2);

}  // namespace

BENCHMARK_MAIN();
