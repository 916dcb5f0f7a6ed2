#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/host/clock.h"
#include "platform/host/env.h"

namespace varnelle::host {
namespace {

TEST(HostEnvTest, ChipPathMovesAbsolutePathsUnderRoot) {
    struct Case {
        const char* root;
        const char* path;
        const char* want;
    } cases[] = {
        {nullptr, "/data/Fonts/Font.bin", "/data/Fonts/Font.bin"},
        {"", "/data/Fonts/Font.bin", "/data/Fonts/Font.bin"},
        {"/tmp/r", "/data/Fonts/Font.bin", "/tmp/r/data/Fonts/Font.bin"},
        {"/tmp/r/", "/var/HvrTotalMode", "/tmp/r/var/HvrTotalMode"},
        {"/tmp/r", "relative.txt", "relative.txt"},
    };
    for (const Case& c : cases) {
        if (c.root) setenv("VARNELLE_ROOT", c.root, 1); else unsetenv("VARNELLE_ROOT");
        EXPECT_EQ(ChipPath(c.path), c.want) << (c.root ? c.root : "(unset)") << " " << c.path;
    }
    unsetenv("VARNELLE_ROOT");
}

TEST(HostEnvTest, ChipIdRejectsGarbage) {
    setenv("VARNELLE_CHIP", "3", 1);
    EXPECT_EQ(ChipId(), 3);
    setenv("VARNELLE_CHIP", "x", 1);
    EXPECT_EQ(ChipId(7), 7);
    setenv("VARNELLE_CHIP", "40", 1);
    EXPECT_EQ(ChipId(1), 1);
    unsetenv("VARNELLE_CHIP");
    EXPECT_EQ(ChipId(0), 0);
}

TEST(HostClockTest, SettingTheWallClockMovesOnlyTheOffset) {
    timeval before = WallNow();
    timeval target{before.tv_sec - 86400 * 365, 250000};
    SetWallClock(target);
    timeval now = WallNow();
    EXPECT_LE(target.tv_sec, now.tv_sec);
    EXPECT_LE(now.tv_sec - target.tv_sec, 2);
    // The host clock itself did not move.
    timeval host;
    gettimeofday(&host, nullptr);
    EXPECT_GE(host.tv_sec, before.tv_sec);
    SetWallClock(host);
    EXPECT_LE(std::llabs(WallOffsetUs()), 1000000);
}

}  // namespace
}  // namespace varnelle::host
