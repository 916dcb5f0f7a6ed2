// The sample ring held against a plain queue of bytes of the same capacity, over every state a small
// ring reaches and every length.
#include "sdk/audio/aenc/aenc_ring.h"

#include <deque>
#include <vector>

#include <gtest/gtest.h>

namespace {

using mk::aenc::SampleRing;

constexpr uint32_t kSize = 8;

struct Model {
    std::deque<uint8_t> bytes;
    uint8_t next = 1;
};

// Every (read, wrap-or-not, held) state of an 8-byte ring, reached by real operations.
TEST(AencRingTest, AgreesWithAQueueInEveryStateAndLength) {
    for (uint32_t start = 0; start < kSize; ++start) {
        for (uint32_t held = 0; held <= kSize; ++held) {
            for (uint32_t len = 0; len <= kSize + 1; ++len) {
                std::vector<uint8_t> store(kSize, 0);
                SampleRing r{store.data(), kSize, 0, 0, false};
                Model m;
                // Move the start to `start`, then fill `held` bytes.
                std::vector<uint8_t> fill(kSize);
                ASSERT_TRUE(r.Append(fill.data(), start));
                r.Consume(start);
                std::vector<uint8_t> in(held);
                for (uint8_t& b : in) b = m.next++;
                ASSERT_TRUE(r.Append(in.data(), held));
                m.bytes.assign(in.begin(), in.end());
                SCOPED_TRACE(::testing::Message() << "start " << start << " held " << held << " len " << len);
                ASSERT_EQ(r.Held(), held);
                // Room exactly when the queue's capacity allows.
                EXPECT_EQ(r.HasRoom(len), len <= kSize - held);
                std::vector<uint8_t> more(len);
                for (uint8_t& b : more) b = m.next++;
                const bool appended = r.Append(more.data(), len);
                EXPECT_EQ(appended, len <= kSize - held);
                if (appended) m.bytes.insert(m.bytes.end(), more.begin(), more.end());
                EXPECT_EQ(r.wrap ? r.write <= r.read : r.write >= r.read, true);
                // The oldest bytes come out first, joined across the end.
                std::vector<uint8_t> out(len);
                const bool peeked = r.Peek(out.data(), len);
                EXPECT_EQ(peeked, len <= m.bytes.size());
                if (peeked) {
                    EXPECT_EQ(out, std::vector<uint8_t>(m.bytes.begin(), m.bytes.begin() + len));
                    r.Consume(len);
                    m.bytes.erase(m.bytes.begin(), m.bytes.begin() + len);
                } else {
                    const uint32_t before = r.Held();
                    r.Consume(len);
                    EXPECT_EQ(r.Held(), before) << "nothing moves";
                }
                EXPECT_EQ(r.Held(), m.bytes.size());
                std::vector<uint8_t> rest(m.bytes.size());
                ASSERT_TRUE(r.Peek(rest.data(), static_cast<uint32_t>(rest.size())));
                EXPECT_EQ(rest, std::vector<uint8_t>(m.bytes.begin(), m.bytes.end()));
            }
        }
    }
}

TEST(AencRingTest, EqualPositionsMeanEmptyOrFullByTheWrapFlag) {
    std::vector<uint8_t> store(kSize);
    SampleRing r{store.data(), kSize, 0, 0, false};
    std::vector<uint8_t> b(kSize, 7);
    ASSERT_TRUE(r.Append(b.data(), 3));
    r.Consume(3);
    EXPECT_EQ(r.read, r.write);
    EXPECT_FALSE(r.wrap);
    EXPECT_EQ(r.Held(), 0u);
    ASSERT_TRUE(r.Append(b.data(), kSize));  // ends exactly where it began
    EXPECT_EQ(r.read, r.write);
    EXPECT_TRUE(r.wrap);
    EXPECT_EQ(r.Held(), kSize);
    EXPECT_FALSE(r.HasRoom(1));
    r.Consume(kSize - 3);  // the read position reaches the end and starts over
    EXPECT_EQ(r.read, 0u);
    EXPECT_FALSE(r.wrap);
}

}  // namespace
