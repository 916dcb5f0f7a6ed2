#include "platform/drivers/core/request_copy.h"

#include <cerrno>
#include <cstdint>

#include <gtest/gtest.h>

namespace varnelle::drivers {
namespace {

struct Rec12 {
    uint32_t w[3];
};

struct Case {
    const char* what;
    unsigned long request;
    bool inOk;   // a copy in is allowed
    bool outOk;  // a copy out is allowed
};

// A 12-byte record may travel only under a request that says 12 bytes, in the request's direction.
TEST(RequestCopyTest, SizeAndDirectionOfTheRequestDecide) {
    const Case cases[] = {
        {"write 12", _IOW('Q', 1, Rec12), true, false},
        {"read 12", _IOR('Q', 1, Rec12), false, true},
        {"read-write 12", _IOWR('Q', 1, Rec12), true, true},
        {"write 8", _IOW('Q', 1, uint64_t), false, false},
        {"read-write 16", _IOWR('Q', 1, uint32_t[4]), false, false},
        {"no record", _IO('Q', 1), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rec12 caller{{1, 2, 3}};
        Rec12 kept{};
        errno = 0;
        EXPECT_EQ(CopyRequestIn(c.request, &caller, &kept), c.inOk ? 0 : -1);
        if (c.inOk) {
            EXPECT_EQ(kept.w[2], 3u);
        } else {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(kept.w[0], 0u) << "a refused copy changes nothing";
        }
        Rec12 answer{{7, 8, 9}};
        Rec12 out{};
        EXPECT_EQ(CopyRequestOut(c.request, &out, answer), c.outOk ? 0 : -1);
        EXPECT_EQ(out.w[0], c.outOk ? 7u : 0u);
        uint8_t bytes[12] = {};
        EXPECT_EQ(CopyRequestInBytes(c.request, &caller, bytes, sizeof bytes), c.inOk ? 0 : -1);
        EXPECT_EQ(CopyRequestOutBytes(c.request, bytes, &answer, sizeof answer), c.outOk ? 0 : -1);
        EXPECT_EQ(CheckNoRecord(c.request), _IOC_DIR(c.request) == _IOC_NONE ? 0 : -1);
    }
}

TEST(RequestCopyTest, NullArgumentIsAFault) {
    Rec12 rec{};
    errno = 0;
    EXPECT_EQ(CopyRequestIn(_IOWR('Q', 2, Rec12), nullptr, &rec), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(CopyRequestOut(_IOWR('Q', 2, Rec12), nullptr, rec), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(CopyRequestInBytes(_IOW('Q', 2, Rec12), nullptr, &rec, sizeof rec), -1);
    EXPECT_EQ(errno, EFAULT);
}

}  // namespace
}  // namespace varnelle::drivers
