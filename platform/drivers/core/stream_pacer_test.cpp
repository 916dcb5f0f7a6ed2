#include "platform/drivers/core/stream_pacer.h"

#include <gtest/gtest.h>

namespace varnelle::drivers {
namespace {

TEST(StreamPacerTest, PicturesFallDueFromTheStartNotFromTheCalls) {
    // 40 ms a picture from t = 1000: polls at uneven moments, some late.
    StreamPacer p;
    uint64_t skipped = 0;
    struct Step {
        uint64_t now;
        std::optional<uint64_t> due;
        uint64_t skipped;
        uint64_t nextAt;
    } steps[] = {
        {1000, 0, 0, 41000},      {30000, std::nullopt, 0, 41000}, {41000, 1, 0, 81000},
        {80999, std::nullopt, 0, 81000}, {200000, 4, 2, 201000}, {201000, 5, 2, 241000},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(p.Poll(s.now, 40000, 0, &skipped), s.due) << s.now;
        EXPECT_EQ(skipped, s.skipped) << s.now;
        EXPECT_EQ(p.NextAt(40000), s.nextAt) << s.now;
    }
}

TEST(StreamPacerTest, AStoppedStreamStartsAgainAtItsFirstPicture) {
    StreamPacer p;
    EXPECT_EQ(p.Poll(500, 100, 1), std::nullopt) << "picture 1 is due one period after the start";
    EXPECT_EQ(p.Poll(600, 100, 1), 1u);
    p.Stop();
    EXPECT_FALSE(p.Running());
    EXPECT_EQ(p.Poll(10000, 100, 1), std::nullopt);
    EXPECT_EQ(p.NextAt(100), 10100u);
    EXPECT_EQ(p.Poll(10100, 100, 1), 1u);
    EXPECT_EQ(p.DueAt(3, 100), 10300u);
}

}  // namespace
}  // namespace varnelle::drivers
