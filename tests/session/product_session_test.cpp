// The master simulator's default session, shortened: the whole chip at work, the program and the
// master as separate processes. What arrives is checked with outside tools: every stream decodes with
// ffmpeg at its size, every picture with djpeg; the screen the display wrote shows each input in its
// window (by the input's colour signature) and each clip in its playback window (against ffmpeg's own
// decode of the clip, scaled to the window); the title text stands in the stream.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/pattern.h"
#include "tests/master_link/shell.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_product.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

namespace fs = std::filesystem;
using varnelle::master::MasterSim;
using varnelle::master::SessionReport;
using varnelle::testing::Shell;
using Bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers slow every picture down many times: the rate is checked by the plain build only.
constexpr bool kRealTime = false;
#else
constexpr bool kRealTime = true;
#endif
constexpr int kSeconds = 6;

// Runs `cmd`; its output, and whether it exited with 0.
bool Ok(const std::string& cmd, std::string* out = nullptr) {
    int st = -1;
    std::string o = Shell(cmd, &st);
    if (out != nullptr) *out = o;
    return st == 0;
}

// A picture as rgb24 rows.
struct Rgb {
    int w = 0, h = 0;
    Bytes px;
    const uint8_t* At(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 3]; }
};

Rgb ReadPng(const std::string& path, int w, int h) {
    Rgb r{w, h, {}};
    std::string raw;
    if (Ok("ffmpeg -nostdin -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null", &raw)) {
        r.px.assign(raw.begin(), raw.end());
    }
    return r;
}

// Video-range BT.601 to RGB (the display's screens are YUV; their PNG is RGB).
void ToRgb(int yy, int u, int v, double rgb[3]) {
    const double y = 1.164 * (yy - 16), d = u - 128.0, e = v - 128.0;
    rgb[0] = y + 1.596 * e;
    rgb[1] = y - 0.392 * d - 0.813 * e;
    rgb[2] = y + 2.017 * d;
    for (int i = 0; i < 3; ++i) rgb[i] = std::clamp(rgb[i], 0.0, 255.0);
}

// Luma PSNR in dB of a w x h part of `screen` at (x, y) against the luma plane `ref` (the screen's
// luma comes back from its RGB by the inverse of the conversion above).
double LumaPsnr(const Rgb& screen, int x0, int y0, int w, int h, const uint8_t* ref) {
    double err = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* a = screen.At(x0 + x, y0 + y);
            const double luma = 16 + 0.257 * a[0] + 0.504 * a[1] + 0.098 * a[2];
            const double d = luma - ref[static_cast<size_t>(y) * w + x];
            err += d * d;
        }
    }
    const double mse = err / (static_cast<double>(w) * h);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class ProductSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        int st;
        Shell("ffmpeg -v error -f lavfi -i testsrc=size=64x64:rate=1 -t 1 -c:v libx264 -f null - 2>/dev/null", &st);
        if (st != 0) GTEST_SKIP() << "ffmpeg with libx264 is not available";
        m_bus = varnelle::testing::MakePrivateBus("session");
        ASSERT_FALSE(m_bus.empty());
        m_out = m_bus + "/out";
        m_trace = m_bus + "/trace";
        const std::string root = varnelle::testing::MakeSlaveRoot(m_bus);
        ASSERT_FALSE(root.empty());
        fs::create_directories(m_trace);
        ::setenv("VARNELLE_TRACE", m_trace.c_str(), 1);
        ::setenv("VARNELLE_ROOT", root.c_str(), 1);
        varnelle::master::SimOptions opt;
        opt.outDir = m_out;
        opt.printBeats = false;
        opt.replyTimeoutMs = 10000;
        opt.log = &m_log;
        m_sim = std::make_unique<MasterSim>(opt);
        ASSERT_EQ(m_sim->Open(), 0);
        ASSERT_TRUE(m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log"));
        ::unsetenv("VARNELLE_TRACE");
        ::unsetenv("VARNELLE_ROOT");
        ASSERT_EQ(m_sim->ConnectSlave(10000), 0) << m_log.str();
        m_sim->StartHeartbeats();
    }
    void TearDown() override {
        if (m_sim) m_sim->Stop();
        m_slave.Kill();
        if (!HasFailure() && !m_bus.empty()) varnelle::testing::RemoveBus(m_bus);
    }

    std::string m_bus, m_out, m_trace;
    std::ostringstream m_log;
    std::unique_ptr<MasterSim> m_sim;
    varnelle::testing::SlaveProcess m_slave;
};

TEST_F(ProductSessionTest, EveryStreamSplitWindowPlaybackWindowAndTitleAtWork) {
    varnelle::master::SessionOptions o;
    o.durationS = kSeconds;
    o.clipDir = m_out + "/clips";
    SessionReport r;
    ASSERT_EQ(varnelle::master::RunProductSession(*m_sim, o, &r), 0) << m_log.str();
    m_sim->Stop();
    ASSERT_TRUE(m_slave.Alive()) << m_slave.Log();
    EXPECT_TRUE(r.problems.empty()) << m_log.str();
    ASSERT_EQ(r.channels, 8u);
    ASSERT_EQ(r.streams.size(), 3u * r.channels);

    // ---- Every stream decodes at its size, at its rate, without gaps; every picture decodes ----
    uint64_t jpegs = 0;
    for (const varnelle::master::StreamReport& s : r.streams) {
        const std::string what = "channel " + std::to_string(s.chn) + " type " + std::to_string(s.type);
        EXPECT_TRUE(s.refused.empty()) << what << ": " << s.refused;
        EXPECT_EQ(s.seqGaps, 0u) << what;
        if (s.type == 4) {
            // Pictures go channel after channel, one a pass: a slowed build may not come round to all.
            if (kRealTime) {
                EXPECT_GE(s.frames, 1u) << what;
            }
            jpegs += s.frames;
            for (uint64_t n = 0; n < s.frames; ++n) {
                const std::string jpg = m_out + "/jpeg-" + std::to_string(s.ringChn) + "-" + std::to_string(n) + ".jpg";
                std::string ppm;
                ASSERT_TRUE(Ok("djpeg '" + jpg + "' 2>&1 | head -c 2", &ppm) && ppm == "P6") << jpg;
            }
            continue;
        }
        const std::string file = m_out + "/venc-" + std::to_string(s.ringChn) + ".h264";
        std::string size, errors;
        ASSERT_TRUE(Ok("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" + file +
                           "'",
                       &size))
            << what;
        EXPECT_EQ(size, std::to_string(s.width) + "," + std::to_string(s.height) + "\n") << what;
        EXPECT_TRUE(Ok("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1", &errors) && errors.empty())
            << what << ": " << errors;
        EXPECT_GT(s.keyFrames, 0u) << what;
        // Frames due from the start's answer to the end; the frames of the last round trip of the ring
        // (measured by the heartbeats' worst period) may still be on their way.
        if (kRealTime) {
            const double inFlight = r.beatMaxMs / 1000.0 * s.fps;
            EXPECT_GE(static_cast<double>(s.frames), 0.9 * s.due - inFlight) << what << " of " << s.due;
        }
    }

#if !defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer the pictures' pass may not come round within the session.
    EXPECT_GE(jpegs, 1u);
#endif

    // ---- Each decoder slot: every fragment acknowledged, in order ----
    ASSERT_EQ(r.slots.size(), 4u) << r.clipProblem;
    for (const varnelle::master::SlotReport& s : r.slots) {
        EXPECT_FALSE(s.setupFailed) << "slot " << s.slot;
        EXPECT_GT(s.frames, 25u) << "slot " << s.slot;
        EXPECT_EQ(s.acked, s.fragments) << "slot " << s.slot;
        EXPECT_EQ(s.ackMismatches + s.ackMissing, 0u) << "slot " << s.slot;
    }

    // ---- The screen: each input in its window, each clip in its playback window ----
    const Rgb screen = ReadPng(m_trace + "/screen-0.png", 1920, 1080);
    ASSERT_EQ(screen.px.size(), 1920u * 1080 * 3) << "no screen-0.png";
    for (uint32_t k = 0; k < r.channels; ++k) {
        const uint16_t* win = r.splitWindows[k];
        const int ww = win[2] - win[0], wh = win[3] - win[1];
        const varnelle::drivers::PatternRect sig = varnelle::drivers::PatternSignatureRect(ww, wh);
        double mean[3] = {};
        for (int y = 0; y < sig.height; ++y) {
            for (int x = 0; x < sig.width; ++x) {
                const uint8_t* p = screen.At(win[0] + sig.x + x, win[1] + sig.y + y);
                for (int i = 0; i < 3; ++i) mean[i] += p[i];
            }
        }
        for (double& m : mean) m /= static_cast<double>(sig.width) * sig.height;
        // The nearest signature among the chip's inputs must be this window's own.
        int best = -1;
        double bestDist = 1e9;
        for (uint32_t j = 0; j < r.channels; ++j) {
            double want[3];
            const auto c = varnelle::drivers::PatternSignature(varnelle::master::InputOf(656, j).viChn);
            ToRgb(c.y, c.u, c.v, want);
            double d = 0;
            for (int i = 0; i < 3; ++i) d += (want[i] - mean[i]) * (want[i] - mean[i]);
            if (d < bestDist) bestDist = d, best = static_cast<int>(j);
        }
        EXPECT_EQ(best, static_cast<int>(k)) << "split window " << k;
        EXPECT_LT(std::sqrt(bestDist), 8.0) << "split window " << k;
    }
    // The display scales with an area filter when it shrinks, as ffmpeg's "area" does.
    std::vector<std::vector<Bytes>> scaled(r.slots.size());
    for (size_t i = 0; i < r.slots.size(); ++i) {
        const varnelle::master::SlotReport& s = r.slots[i];
        const int w = s.window[2] - s.window[0], h = s.window[3] - s.window[1];
        std::string raw;
        ASSERT_TRUE(Ok("ffmpeg -nostdin -v error -i '" + s.clip + "' -vf scale=" + std::to_string(w) + ":" +
                           std::to_string(h) + ":flags=area -f rawvideo -pix_fmt yuv420p -",
                       &raw));
        const size_t size = static_cast<size_t>(w) * h * 3 / 2;
        for (size_t off = 0; off + size <= raw.size(); off += size) {
            scaled[i].emplace_back(raw.begin() + static_cast<long>(off), raw.begin() + static_cast<long>(off + size));
        }
        ASSERT_FALSE(scaled[i].empty());
    }
    for (size_t i = 0; i < r.slots.size(); ++i) {
        const varnelle::master::SlotReport& s = r.slots[i];
        const int x = s.window[0], y = s.window[1], w = s.window[2] - x, h = s.window[3] - y;
        // The best match among each clip's pictures: its own clip's, and clearly not another's.
        std::vector<double> best(r.slots.size(), 0);
        for (size_t j = 0; j < r.slots.size(); ++j) {
            for (const Bytes& pic : scaled[j]) best[j] = std::max(best[j], LumaPsnr(screen, x, y, w, h, pic.data()));
        }
        EXPECT_GT(best[i], 35.0) << "playback window " << s.slot << " shows its clip";
        for (size_t j = 0; j < r.slots.size(); ++j) {
            if (j != i) {
                EXPECT_LT(best[j], best[i] - 10) << "playback window " << s.slot << " against clip " << j;
            }
        }
    }

    // ---- The name title in the last picture of the main stream: white text on black where the input
    // is flat ----
    const std::string file = m_out + "/venc-0.h264";
    const std::string last = std::to_string(r.streams[0].frames - 1);
    std::string raw;
    ASSERT_TRUE(Ok("ffmpeg -nostdin -v error -i '" + file + "' -vf 'select=eq(n\\," + last +
                       ")' -frames:v 1 -f rawvideo -pix_fmt gray -",
                   &raw));
    ASSERT_GE(raw.size(), 704u * 576);
    size_t dark = 0, bright = 0;
    for (int y = 32; y < 56; ++y) {
        for (int x = 400; x < 496; ++x) {
            const uint8_t v = static_cast<uint8_t>(raw[static_cast<size_t>(y) * 704 + x]);
            dark += v < 48;
            bright += v > 180;
        }
    }
    EXPECT_GT(dark, 96u * 24 / 2) << "the title's black background";
    EXPECT_GT(bright, 96u * 24 / 20) << "the title's white text";
}

}  // namespace
