#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/host/clock.h"
#include "platform/host/env.h"
#include "platform/host/test_bus.h"

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

// A directory that cannot be made is an error; there is no fallback that the exit clean-up would
// remove. The checks run in a child that leaves by _exit, so no exit handler runs whatever happens.
TEST(PrivateBusTest, UnmakeableDirectoryFailsAndLeavesTheBusAlone) {
    const std::string longTag(300, 'x');
    for (const char* tag : {"no/such/folder", longTag.c_str()}) {
        EXPECT_EXIT(
            {
                setenv("VARNELLE_BUS", "/dev/shm/varnelle-kept", 1);
                try {
                    UsePrivateBus(tag);
                    _exit(1);
                } catch (const std::runtime_error&) {
                }
                _exit(std::string(std::getenv("VARNELLE_BUS")) == "/dev/shm/varnelle-kept" ? 0 : 2);
            },
            ::testing::ExitedWithCode(0), "")
            << tag;
    }
}

// At exit the directory it made goes, with its contents, even when $VARNELLE_BUS has been pointed
// elsewhere since; the other directory stays.
TEST(PrivateBusTest, ExitRemovesOnlyTheDirectoryItMade) {
    namespace fs = std::filesystem;
    std::string other = "/dev/shm/varnelle-hostother-XXXXXX";
    ASSERT_NE(mkdtemp(other.data()), nullptr);
    const std::string tag = "hosttest-" + std::to_string(getpid());
    EXPECT_EXIT(
        {
            const std::string& dir = UsePrivateBus(tag.c_str());
            std::FILE* f = std::fopen((dir + "/ram-1").c_str(), "w");
            if (f != nullptr) std::fclose(f);
            setenv("VARNELLE_BUS", other.c_str(), 1);
            std::exit(fs::exists(dir + "/ram-1") ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::exists(other));
    int left = 0;
    for (const auto& entry : fs::directory_iterator("/dev/shm")) {
        left += entry.path().string().rfind("/dev/shm/varnelle-" + tag + "-", 0) == 0;
    }
    EXPECT_EQ(left, 0);
    fs::remove_all(other);
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

TEST(HostClockTest, TimesOutsideTheClocksRangeAreRefusedAndChangeNothing) {
    int64_t before = WallOffsetUs();
    for (timeval t : {timeval{-1, 0}, timeval{253402300800, 0}, timeval{0x7FFFFFFFFFFFFFFF, 0},
                      timeval{1000, -1}, timeval{1000, 1000000}}) {
        errno = 0;
        EXPECT_EQ(SetWallClock(t), -1) << t.tv_sec;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_LE(std::llabs(WallOffsetUs() - before), 1000000);
    timeval last{253402300799, 0};  // 9999-12-31 23:59:59 UTC
    EXPECT_EQ(SetWallClock(last), 0);
    EXPECT_LE(WallSeconds() - last.tv_sec, 2);
    timeval host;
    gettimeofday(&host, nullptr);
    SetWallClock(host);
}

}  // namespace
}  // namespace varnelle::host
