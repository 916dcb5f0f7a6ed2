#include "platform/drivers/vo/vo_trace.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

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

}  // namespace
