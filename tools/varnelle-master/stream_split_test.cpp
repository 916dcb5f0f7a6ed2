// The master's reading of the stream rings: header checks, per-channel sequence and time stamps, and
// the files it writes.
#include "tools/varnelle-master/stream_split.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

namespace {

using varnelle::master::ParseStreamRecord;
using varnelle::master::StreamRecord;
using varnelle::master::StreamSplitter;

struct Rec {
    uint32_t magic = 0x55555555;
    uint32_t pt = 96;
    uint32_t len = 0;
    int32_t pad = -1;  // -1: the length raised to a multiple of 4
    uint32_t seq = 0;
    uint64_t pts = 0;
    uint32_t chn = 0;
    uint32_t type = 1;
    uint8_t fill = 0xAB;
};

void Put32(std::vector<uint8_t>* v, size_t off, uint32_t x) {
    std::memcpy(v->data() + off, &x, 4);
}

// A record laid out by the table of the stream header: magic, payload type, padded length, length,
// sequence, reserved, 64-bit time stamp at 24, channel at 32, reserved, frame end, data type.
void Append(std::vector<uint8_t>* v, const Rec& r) {
    const uint32_t pad = r.pad < 0 ? (r.len + 3) / 4 * 4 : static_cast<uint32_t>(r.pad);
    const size_t at = v->size();
    v->resize(at + 48 + std::max(pad, r.len), 0);
    Put32(v, at + 0, r.magic);
    Put32(v, at + 4, r.pt);
    Put32(v, at + 8, pad);
    Put32(v, at + 12, r.len);
    Put32(v, at + 16, r.seq);
    std::memcpy(v->data() + at + 24, &r.pts, 8);
    Put32(v, at + 32, r.chn);
    Put32(v, at + 40, 1);
    Put32(v, at + 44, r.type);
    std::memset(v->data() + at + 48, r.fill, r.len);
}

TEST(StreamSplitTest, HeaderChecks) {
    struct Case {
        const char* what;
        Rec rec;
        size_t cut;  // bytes taken off the end of the notice
        size_t used;
    };
    const Case cases[] = {
        {"1001 bytes pad to 1004", Rec{.len = 1001}, 0, 48 + 1004},
        {"a multiple of 4 is its own padding", Rec{.len = 1000}, 0, 48 + 1000},
        {"no payload", Rec{.len = 0}, 0, 48},
        {"JPEG", Rec{.pt = 26, .len = 5}, 0, 48 + 8},
        {"wrong magic", Rec{.magic = 0x55555554, .len = 4}, 0, 0},
        {"unknown payload type", Rec{.pt = 97, .len = 4}, 0, 0},
        {"padded length not rounded", Rec{.len = 1001, .pad = 1001}, 0, 0},
        {"padded length a word too long", Rec{.len = 1001, .pad = 1008}, 0, 0},
        {"record past the notice", Rec{.len = 1001}, 1, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> v;
        Append(&v, c.rec);
        StreamRecord r;
        EXPECT_EQ(ParseStreamRecord(v.data(), v.size() - c.cut, &r), c.used) << c.what;
    }
    std::vector<uint8_t> shortHead(47, 0x55);
    StreamRecord r;
    EXPECT_EQ(ParseStreamRecord(shortHead.data(), shortHead.size(), &r), 0u);
}

TEST(StreamSplitTest, FollowsSequenceAndTimeStampsPerChannel) {
    std::vector<uint8_t> notice;
    // Channel 0: 0, 1, 3 (a gap), then 0 again (a rebuilt channel). Channel 1: 5, 6 with a time
    // stamp that does not rise. Channel 1's first frame is a key frame.
    Append(&notice, Rec{.len = 3, .seq = 0, .pts = 100, .chn = 0, .type = 7});
    Append(&notice, Rec{.len = 8, .seq = 5, .pts = 100, .chn = 1, .type = 7});
    Append(&notice, Rec{.len = 1, .seq = 1, .pts = 140, .chn = 0});
    Append(&notice, Rec{.len = 2, .seq = 6, .pts = 90, .chn = 1});
    Append(&notice, Rec{.len = 4, .seq = 3, .pts = 180, .chn = 0});
    Append(&notice, Rec{.len = 4, .seq = 0, .pts = 220, .chn = 0, .type = 7});
    StreamSplitter split("", false);
    split.Feed(notice.data(), notice.size());
    auto s = split.Stats();
    EXPECT_EQ(s.records, 6u);
    EXPECT_EQ(s.badRecords, 0u);
    ASSERT_EQ(s.channels.size(), 2u);
    EXPECT_EQ(s.channels[0].frames, 4u);
    EXPECT_EQ(s.channels[0].bytes, 12u);
    EXPECT_EQ(s.channels[0].seqGaps, 1u);
    EXPECT_EQ(s.channels[0].seqRestarts, 1u);
    EXPECT_EQ(s.channels[0].keyFrames, 2u);
    EXPECT_EQ(s.channels[0].ptsBackwards, 0u);
    EXPECT_EQ(s.channels[1].seqGaps, 0u);
    EXPECT_EQ(s.channels[1].ptsBackwards, 1u);
    EXPECT_EQ(s.channels[1].keyFrames, 1u);
    EXPECT_EQ(s.channels[0].firstSeq, 0u);
    EXPECT_EQ(s.channels[1].firstSeq, 5u) << "the first frame's, not the latest restart's";
}

TEST(StreamSplitTest, ABadHeaderEndsItsNoticeAndIsCounted) {
    std::vector<uint8_t> notice;
    Append(&notice, Rec{.len = 4, .seq = 0});
    Append(&notice, Rec{.magic = 0, .len = 4, .seq = 1});
    Append(&notice, Rec{.len = 4, .seq = 2});
    StreamSplitter split("", false);
    split.Feed(notice.data(), notice.size());
    auto s = split.Stats();
    EXPECT_EQ(s.records, 1u);
    EXPECT_EQ(s.badRecords, 1u);
    // A JPEG picture in the video ring is as wrong as a bad magic.
    std::vector<uint8_t> jpeg;
    Append(&jpeg, Rec{.pt = 26, .len = 4});
    split.Feed(jpeg.data(), jpeg.size());
    EXPECT_EQ(split.Stats().badRecords, 2u);
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(StreamSplitTest, WritesEachChannelsPayloadWithoutHeadersOrPadding) {
    char tmpl[] = "/dev/shm/varnelle-split-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl;
    {
        std::vector<uint8_t> notice;
        Append(&notice, Rec{.len = 3, .seq = 0, .pts = 1, .chn = 2, .fill = 1});
        Append(&notice, Rec{.len = 5, .seq = 0, .pts = 1, .chn = 3, .fill = 2});
        Append(&notice, Rec{.len = 2, .seq = 1, .pts = 2, .chn = 2, .fill = 3});
        StreamSplitter video(dir.string(), false);
        video.Feed(notice.data(), notice.size());
        std::vector<uint8_t> pictures;
        Append(&pictures, Rec{.pt = 26, .len = 6, .seq = 0, .pts = 1, .chn = 1, .fill = 4});
        Append(&pictures, Rec{.pt = 26, .len = 7, .seq = 1, .pts = 2, .chn = 1, .fill = 5});
        StreamSplitter jpeg(dir.string(), true);
        jpeg.Feed(pictures.data(), pictures.size());
    }
    EXPECT_EQ(ReadFile(dir / "venc-2.h264"), (std::vector<uint8_t>{1, 1, 1, 3, 3}));
    EXPECT_EQ(ReadFile(dir / "venc-3.h264"), std::vector<uint8_t>(5, 2));
    EXPECT_EQ(ReadFile(dir / "jpeg-1-0.jpg"), std::vector<uint8_t>(6, 4));
    EXPECT_EQ(ReadFile(dir / "jpeg-1-1.jpg"), std::vector<uint8_t>(7, 5));
    std::filesystem::remove_all(dir);
}

}  // namespace
