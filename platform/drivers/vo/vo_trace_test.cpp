#include "platform/drivers/vo/vo_trace.h"

#include <png.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/vo/vo_driver.h"

namespace {

namespace drv = varnelle::drivers;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A display channel's show, hide, pause and resume reach the trace in the order they were asked for,
// one file per channel.
TEST(VoTraceTest, ChannelStateChangesGoToTheTrace) {
    char tmpl[] = "/dev/shm/varnelle-votrace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    setenv("VARNELLE_TRACE", dir.c_str(), 1);  // read at the first trace line of the process
    drv::VoDriver d;
    auto bind = [&d](uint32_t layer, uint32_t chn) {
        auto f = d.Open(0);
        uint32_t word = (layer << 8) | chn;
        EXPECT_EQ(d.Ioctl(*f, mk::vo::kBind, &word), 0);
        return f;
    };
    auto a = bind(8, 5);
    auto b = bind(8, 6);
    for (unsigned long r : {mk::vo::kShowChn, mk::vo::kPauseChn, mk::vo::kHideChn, mk::vo::kResumeChn}) {
        EXPECT_EQ(d.Ioctl(*a, r, nullptr), 0);
    }
    EXPECT_EQ(d.Ioctl(*b, mk::vo::kHideChn, nullptr), 0);
    unsetenv("VARNELLE_TRACE");
    std::string la = ReadAll(dir + "/vo-8-5.log");
    size_t show = la.find("show at="), pause = la.find("pause at="), hide = la.find("hide at="),
           resume = la.find("resume at=");
    EXPECT_TRUE(show < pause && pause < hide && hide < resume && resume != std::string::npos) << la;
    EXPECT_EQ(ReadAll(dir + "/vo-8-6.log").rfind("hide at=", 0), 0u);
    std::filesystem::remove_all(dir);
}

// Screens offered faster than they are written: a reader of the file finds a whole picture every
// time, and the newest screen offered is the one the file holds in the end.
TEST(VoTraceTest, ScreenWriterKeepsUpWithTheNewestScreenAndNeverShowsHalfAFile) {
    char tmpl[] = "/dev/shm/varnelle-screentrace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, path = dir + "/screen-1.png";
    auto luma = [&](png_image& image) {  // the first pixel's grey, -1 when the file cannot be read whole
        image = png_image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, path.c_str())) return -1;
        image.format = PNG_FORMAT_GRAY;
        std::vector<uint8_t> px(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) return -1;
        return static_cast<int>(px[0]);
    };
    constexpr int kScreens = 40;
    {
        drv::vo::ScreenTrace trace;
        std::atomic<bool> done{false};
        std::thread display([&] {
            for (int i = 0; i < kScreens; ++i) {
                auto screen = std::make_shared<drv::vo::Screen>(320, 240);
                screen->Fill({static_cast<uint8_t>(16 + 5 * i), 128, 128});
                trace.Offer(1, std::move(screen), static_cast<uint64_t>(i) + 1, dir);
            }
            done = true;
        });
        int reads = 0;
        png_image image;
        EXPECT_TRUE(drv::testing::Eventually([&] {
            if (std::filesystem::exists(path)) {
                EXPECT_NE(luma(image), -1) << "a half-written file";
                ++reads;
            }
            return done && reads > 0;
        }));
        display.join();
        // Video-range luma 16 + 5 i is grey 255 * 5 i / 219.
        const int last = (255 * 5 * (kScreens - 1) + 109) / 219;
        // Beside it, the count of screens the device had composed by then.
        const std::string composed = "screens " + std::to_string(kScreens) + "\n";
        EXPECT_TRUE(drv::testing::Eventually(
            [&] { return std::abs(luma(image) - last) <= 1 && ReadAll(dir + "/display-1.txt") == composed; }));
        const auto counts = trace.CountsOf(1);
        EXPECT_GE(counts.written, 1u);
        EXPECT_LE(counts.written + counts.unchanged, static_cast<uint64_t>(kScreens));
        EXPECT_EQ(counts.failed, 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::filesystem::remove_all(dir);
}

}  // namespace
