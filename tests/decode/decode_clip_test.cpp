// A clip from the master to the slave's decoders: ffmpeg makes a 4-second 720p H.264 clip, the master
// simulator (in this process, chip 0) feeds it through decoder slots, and the slave program (a child
// process on a private bus) writes what each decoder took to its trace ($VARNELLE_TRACE). Every
// packet the decoder took is checked against ffmpeg's own packets of the clip (size, MD5, in order,
// with its time stamp), and the taken stream against the clip's decoded pictures.
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavutil/md5.h>
}

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/master_link/shell.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_decode.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

using varnelle::master::BadNotice;
using varnelle::master::DecodeOptions;
using varnelle::master::DecodeResult;
using varnelle::master::MasterSim;
using varnelle::testing::Shell;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Md5(const uint8_t* data, size_t len) {
    uint8_t sum[16];
    av_md5_sum(sum, data, static_cast<int>(len));
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", sum[i]);
    return hex;
}

// One packet: its time stamp in microseconds, size and MD5.
struct Packet {
    uint64_t ptsUs;
    size_t size;
    std::string md5;
};

// The packets of an ffmpeg framemd5 listing (time base from its "#tb 0: 1/N" line).
std::vector<Packet> FrameMd5Packets(const std::string& listing) {
    std::vector<Packet> v;
    uint64_t tb = 1;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#tb 0: 1/", 0) == 0) tb = std::strtoull(line.c_str() + 9, nullptr, 10);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');) {
            x.erase(0, x.find_first_not_of(' '));
            f.push_back(x);
        }
        if (f.size() < 6) continue;
        v.push_back({std::strtoull(f[2].c_str(), nullptr, 10) * 1000000 / tb, std::stoul(f[4]), f[5]});
    }
    return v;
}

// The packets of a decoder's trace: the log's packet lines over the bytes of its .h264 file.
std::vector<Packet> TracePackets(const std::string& dir, int chn) {
    std::vector<uint8_t> bytes = ReadFile(dir + "/vdec-" + std::to_string(chn) + ".h264");
    std::ifstream log(dir + "/vdec-" + std::to_string(chn) + ".log");
    std::vector<Packet> v;
    for (std::string line; std::getline(log, line);) {
        uint64_t seq, off, pts;
        unsigned len;
        if (std::sscanf(line.c_str(), "packet seq=%" SCNu64 " offset=%" SCNu64 " len=%u pts=%" SCNu64, &seq, &off, &len,
                        &pts) != 4) {
            continue;
        }
        if (off + len > bytes.size()) {
            v.push_back({pts, len, "(past the end of the bytes)"});
            continue;
        }
        v.push_back({pts, len, Md5(bytes.data() + off, len)});
    }
    return v;
}

// Lines of a decoder's and a display channel's trace, in time order: {time, "vdec start"}...
std::vector<std::pair<uint64_t, std::string>> Timeline(const std::string& dir, int vdec, int voLayer, int voChn) {
    std::vector<std::pair<uint64_t, std::string>> t;
    auto take = [&t](const std::string& path, const std::string& tag) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find(" at=");
            if (at == std::string::npos || line.rfind("packet", 0) == 0) continue;
            t.push_back({std::strtoull(line.c_str() + at + 4, nullptr, 10), tag + " " + line.substr(0, line.find(' '))});
        }
    };
    take(dir + "/vdec-" + std::to_string(vdec) + ".log", "vdec");
    take(dir + "/vo-" + std::to_string(voLayer) + "-" + std::to_string(voChn) + ".log", "vo");
    std::stable_sort(t.begin(), t.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return t;
}

class DecodeClipTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int st;
        Shell("command -v ffmpeg >/dev/null 2>&1", &st);
        if (st != 0) return;
        // One bus for the program (the message channel binds to it once); the clip lies in it too.
        s_bus = varnelle::testing::MakePrivateBus("decode");
        if (s_bus.empty()) return;
        s_clip = s_bus + "/clip.h264";
        Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 4 -c:v libx264 -g 25 -bf 0 " + s_clip,
              &st);
        if (st != 0) return;
        s_packets = FrameMd5Packets(Shell("ffmpeg -v error -i " + s_clip + " -c copy -f framemd5 -", &st));
        s_decoded = Shell("ffmpeg -v error -i " + s_clip + " -f framemd5 - | grep -v '^#' | cut -d, -f6", &st);
        s_stream = ReadFile(s_clip);
    }
    static void TearDownTestSuite() {
        if (!s_bus.empty()) varnelle::testing::RemoveBus(s_bus);
    }

    void SetUp() override {
        ASSERT_FALSE(s_bus.empty());
        if (s_packets.empty()) GTEST_SKIP() << "ffmpeg with libx264 is not available";
        m_bus = s_bus;
        m_trace = m_bus + "/trace-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directory(m_trace);
        setenv("VARNELLE_TRACE", m_trace.c_str(), 1);
        bool started = m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log");
        unsetenv("VARNELLE_TRACE");
        ASSERT_TRUE(started);
        varnelle::master::SimOptions opt;
        opt.log = &m_log;
        opt.printBeats = false;
        opt.replyTimeoutMs = 5000;
        m_sim = std::make_unique<MasterSim>(opt);
        ASSERT_EQ(m_sim->Open(), 0);
        ASSERT_EQ(m_sim->ConnectSlave(10000), 0) << m_slave.Log();
        ASSERT_EQ(m_sim->SendSetup(), 0) << m_log.str() << m_slave.Log();
    }
    void TearDown() override {
        if (m_sim) m_sim->Stop();
        m_slave.Kill();
    }

    // The trace of decoder `chn` once it holds `count` packets (the slave writes as it takes them).
    std::vector<Packet> WaitTrace(int chn, size_t count) {
        std::vector<Packet> got;
        for (int i = 0; i < 200; ++i) {
            got = TracePackets(m_trace, chn);
            if (got.size() >= count) break;
            usleep(50000);
        }
        return got;
    }
    static void ExpectSame(const std::vector<Packet>& got, const std::vector<Packet>& want, const char* what) {
        ASSERT_EQ(got.size(), want.size()) << what;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i].size, want[i].size) << what << " packet " << i;
            EXPECT_EQ(got[i].md5, want[i].md5) << what << " packet " << i;
            EXPECT_EQ(got[i].ptsUs, want[i].ptsUs) << what << " packet " << i;
        }
    }

    static std::string s_clip, s_decoded, s_bus;
    static std::vector<Packet> s_packets;
    static std::vector<uint8_t> s_stream;
    std::string m_bus, m_trace;
    std::ostringstream m_log;
    varnelle::testing::SlaveProcess m_slave;
    std::unique_ptr<MasterSim> m_sim;
};
std::string DecodeClipTest::s_clip, DecodeClipTest::s_decoded, DecodeClipTest::s_bus;
std::vector<Packet> DecodeClipTest::s_packets;
std::vector<uint8_t> DecodeClipTest::s_stream;

// Two slots fed at once, each access unit in one to three fragments: every decoder takes the clip's
// packets byte for byte, in order, with their time stamps, and what it took decodes as the clip does.
TEST_F(DecodeClipTest, TwoSlotsAtOnceReachTheirDecodersByteForByte) {
    DecodeResult r[2];
    std::thread feeders[2];
    for (uint32_t s = 0; s < 2; ++s) {
        feeders[s] = std::thread([this, s, &r] {
            DecodeOptions opt;
            opt.seed = 11 + s;
            r[s] = FeedDecodeSlot(*m_sim, s, s_stream, opt);
        });
    }
    for (auto& t : feeders) t.join();
    for (uint32_t s = 0; s < 2; ++s) {
        EXPECT_FALSE(r[s].setupFailed) << m_log.str() << m_slave.Log();
        EXPECT_EQ(r[s].frames, s_packets.size());
        EXPECT_GT(r[s].fragments, r[s].frames) << "frames went in more than one fragment";
        EXPECT_EQ(r[s].ackMismatches, 0u) << "slot " << s;
        EXPECT_EQ(r[s].ackMissing, 0u) << "slot " << s;
        ExpectSame(WaitTrace(static_cast<int>(s), s_packets.size()), s_packets, s == 0 ? "slot 0" : "slot 1");
        int st;
        std::string tapped = Shell("ffmpeg -v error -i " + m_trace + "/vdec-" + std::to_string(s) +
                                       ".h264 -f framemd5 - | grep -v '^#' | cut -d, -f6",
                                   &st);
        EXPECT_EQ(st, 0);
        EXPECT_EQ(tapped, s_decoded) << "slot " << s << ": the taken stream decodes as the clip";
    }
}

// A master's bad notices cost the frames they belong to and nothing else.
TEST_F(DecodeClipTest, BadNoticesCostOnlyTheirFrames) {
    const BadNotice kinds[] = {BadNotice::kEndPastBuffer, BadNotice::kLongLength, BadNotice::kNoRecord,
                               BadNotice::kStartPastEnd};
    std::set<size_t> bad;
    DecodeOptions opt;
    opt.seed = 5;
    opt.bad = [&](size_t f) {
        if (f % 9 != 4) return BadNotice::kNone;
        bad.insert(f);
        return kinds[(f / 9) % 4];
    };
    DecodeResult r = FeedDecodeSlot(*m_sim, 2, s_stream, opt);
    EXPECT_EQ(r.ackMismatches, 0u) << "refused notices are acknowledged by their own offsets";
    EXPECT_EQ(r.ackMissing, 0u);
    EXPECT_EQ(r.badFrames, bad.size());
    std::vector<Packet> want;
    for (size_t i = 0; i < s_packets.size(); ++i) {
        if (bad.count(i) == 0) want.push_back(s_packets[i]);
    }
    ExpectSame(WaitTrace(2, want.size()), want, "slot 2");
}

// The playback commands after the clip: 70 (sent with it), then 74, 72, 73, 69 and 71, each seen in
// the decoder's and the display channel's trace in that order.
TEST_F(DecodeClipTest, PlaybackCommandsAppearInOrderInTheTrace) {
    DecodeOptions opt;
    opt.maxFrames = 30;
    DecodeResult r = FeedDecodeSlot(*m_sim, 3, s_stream, opt);
    ASSERT_FALSE(r.setupFailed) << m_log.str();
    const uint32_t chn = 3;
    const std::pair<uint32_t, uint32_t> cmds[] = {{74, 0}, {72, 0}, {73, 0}, {69, 1}, {71, 0}};
    for (auto [code, p1] : cmds) {
        uint32_t p[2] = {chn, p1};
        EXPECT_EQ(m_sim->Command(code, p, sizeof(p)), 0);
        // The playback commands have no answer; one the slave answers (a code past its table) shows
        // this one has run, so the next one's trace lines come later.
        uint32_t word = 0;
        EXPECT_EQ(m_sim->Command(200, &word, 4), 0);
    }
    std::vector<std::string> want = {"vdec start",  // 70
                                     "vo pause",    "vo hide",   // 74 with still-show 0
                                     "vo resume",   "vo show",   // 72
                                     "vdec stop",   "vdec reset", "vdec start",  // 73
                                     "vdec stop",   "vdec reset", "vdec start",  // 69
                                     "vdec stop",   "vdec reset", "vo hide"};    // 71
    std::vector<std::pair<uint64_t, std::string>> t = Timeline(m_trace, 3, 8, 3);
    size_t k = 0;
    for (const auto& [at, what] : t) {
        if (k < want.size() && what == want[k]) ++k;
    }
    std::string seen;
    for (const auto& e : t) seen += e.second + "\n";
    EXPECT_EQ(k, want.size()) << "missing from " << want[std::min(k, want.size() - 1)] << " on; the trace:\n" << seen;
}

}  // namespace
