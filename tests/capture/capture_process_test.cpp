// Capture end to end: the slave program and the master simulator as separate processes. The master
// sets the system up with JPEG on, provides its rings, starts the main (704x576, 25 frames a second,
// GOP 2 s), sub (CIF) and JPEG streams of channel 0, asks for an I frame after 3 s, names a font and
// sends a title. What arrives is checked with outside tools: ffprobe reads the H.264 streams, djpeg the
// pictures, and Pillow draws the title text the region bitmaps must match.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "platform/host/clock.h"
#include "platform/host/test_bus.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

namespace fs = std::filesystem;
using varnelle::master::MasterSim;

constexpr const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kTitle = "Cam 1";
// The streams run 6 s at 25 frames a second: their time stamps span 150 +- 5 frame times, more by
// what the start and stop commands took on a loaded machine. An encoder that falls behind (a machine
// busy with builds) misses frames whose time has passed: counted by it and never sent, so they show as
// gaps in the time stamps.
constexpr double kFrameSlack = 5.0;
constexpr uint64_t kMissSlack = 15;
#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer the processing group's scaling, a byte at a time through the checker, gets
// through about a third of the pictures: what needs every picture (the frame count, a third key frame
// 50 frames on) is checked by the other builds; the order, the decoding and the key frames that come
// are checked here too.
constexpr bool kEveryPicture = false;
constexpr uint64_t kQueuedUs = 1000000;
#elif defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer on a busy machine the processing group can still hold several pictures when
// the I frame is asked for; they are coded after the request.
constexpr bool kEveryPicture = true;
constexpr uint64_t kQueuedUs = 400000;
#else
constexpr bool kEveryPicture = true;
constexpr uint64_t kQueuedUs = 0;
#endif
constexpr uint64_t kFrameUs = 40000;
// Title on the signature area of the test picture (a flat colour): grid (200, 72), 96 x 24.
constexpr uint16_t kTitleX = 200, kTitleY = 72, kTitleW = 96, kTitleH = 24;

// Runs `cmd` with the shell; its standard output, and its exit status in `status`.
std::string Shell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    const int st = ::pclose(p);
    if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) v.push_back(l);
    return v;
}

std::vector<uint8_t> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class CaptureProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The master's channel in this process listens on the first bus it opened: one bus for the whole
        // program (removed when it exits), and for each test a directory of its own, kept when it fails.
        m_bus = varnelle::host::UsePrivateBus("capture");
        std::string dir = "/dev/shm/varnelle-capture-run-XXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
        m_out = m_dir + "/out";
        m_trace = m_dir + "/trace";
        m_root = varnelle::testing::MakeSlaveRoot(m_dir);
        ASSERT_FALSE(m_root.empty());
        fs::create_directories(m_trace);
        ::setenv("VARNELLE_TRACE", m_trace.c_str(), 1);
        ::setenv("VARNELLE_ROOT", m_root.c_str(), 1);
        varnelle::master::SimOptions opt;
        opt.outDir = m_out;
        opt.printBeats = false;
        opt.replyTimeoutMs = 5000;
        opt.log = &m_log;
        m_sim = std::make_unique<MasterSim>(opt);
        ASSERT_EQ(m_sim->Open(), 0);
        ASSERT_TRUE(m_slave.Start(VARNELLE_PROGRAM, m_bus, m_dir + "/slave.log"));
        ASSERT_EQ(m_sim->ConnectSlave(10000), 0) << m_log.str();
    }
    void TearDown() override {
        m_sim->Stop();
        m_slave.Kill();
        ::unsetenv("VARNELLE_TRACE");
        ::unsetenv("VARNELLE_ROOT");
        if (!HasFailure()) fs::remove_all(m_dir);
    }
    int Cmd(uint32_t code, std::vector<uint32_t> words) {
        return m_sim->Command(code, words.data(), static_cast<uint32_t>(4 * words.size()));
    }
    int Format(uint32_t chn, uint32_t type, std::vector<uint8_t> f) {
        std::vector<uint32_t> words(5, 0);
        words[0] = chn;
        words[1] = type;
        std::memcpy(&words[2], f.data(), 12);
        return Cmd(32, words);
    }

    std::string m_bus, m_dir, m_out, m_trace, m_root;
    std::ostringstream m_log;
    std::unique_ptr<MasterSim> m_sim;
    varnelle::testing::SlaveProcess m_slave;
};

TEST_F(CaptureProcessTest, StreamsPicturesAndTitlesReachTheMaster) {
    // System type 0 wires every channel to capture channel 0: the camera of channel 0, its device
    // enabled (command 92), configured (93) and told its input is 720p at 25 frames a second (87), then
    // bound to the processing group the standard command makes (94).
    PcivHostGetState()->stSysParam.u32SysType = 0;
    PcivHostGetState()->stSysParam.stSlaveCfg.u8JpegEnable = 1;
    ASSERT_EQ(m_sim->SendSetup(), 0) << m_log.str();
    ASSERT_EQ(Cmd(92, {0, 0}), 0);
    ASSERT_EQ(Cmd(93, {0, 0, 0, 0}), 0);
    ASSERT_EQ(Cmd(87, {0, 1, 25}), 0);
    varnelle::master::Ring video{"video", m_sim->AllocRing(3u << 20), 3u << 20, PCIV_HOST_PORT_VENC_NOTICE,
                                 PCIV_HOST_PORT_VENC_ACK};
    varnelle::master::Ring jpeg{"jpeg", m_sim->AllocRing(1u << 20), 1u << 20, PCIV_HOST_PORT_JPEG_NOTICE,
                                PCIV_HOST_PORT_JPEG_ACK};
    ASSERT_EQ(m_sim->StartRing(10, video), 0) << m_log.str();
    ASSERT_EQ(m_sim->StartRing(11, jpeg), 0) << m_log.str();
    ASSERT_EQ(Cmd(82, {0}), 0);
    ASSERT_EQ(Cmd(28, {0}), 0);
    ASSERT_EQ(Cmd(31, {0, 0}), 0);
    ASSERT_EQ(Cmd(94, {0, 0}), 0);
    // kind, rate control, size code, quality, rate, flags, bit rate (2 bytes), GOP seconds.
    ASSERT_EQ(Format(0, 0, {0, 0, 0, 2, 25, 1, 0x00, 0x08, 2, 0, 0, 0}), 0);
    ASSERT_EQ(Format(0, 1, {0, 0, 3, 2, 25, 1, 0x00, 0x02, 2, 0, 0, 0}), 0);
    ASSERT_EQ(Format(0, 4, {0, 0, 0, 2, 1, 1, 0x00, 0x02, 2, 0, 0, 0}), 0);
    ASSERT_EQ(m_sim->SendFont("DejaVuSans"), 0);
    MasterSim::Title t;
    t.chn = 0;
    t.index = 1;
    t.x = kTitleX;
    t.y = kTitleY;
    t.width = kTitleW;
    t.height = kTitleH;
    t.textColor = 0xFFFFFF;
    t.bgColor = 0xFE000000;  // black, nearly opaque
    t.sizes[0] = 704;        // the picture as it is
    t.sizes[1] = 352;        // half size on the sub stream
    t.sizes[2] = 704;
    t.text = kTitle;
    ASSERT_EQ(m_sim->SendTitle(t), 0);
    // The times around each command, on the clock the streams' time stamps use: on a loaded machine
    // a command takes a while, and the frames' window grows by as much.
    const uint64_t startSent = varnelle::host::MonotonicUs();
    ASSERT_EQ(Cmd(30, {0, 0}), 0);
    ASSERT_EQ(Cmd(30, {0, 1}), 0);
    const uint64_t start = varnelle::host::MonotonicUs();
    ASSERT_EQ(Cmd(30, {0, 4}), 0);
    while (varnelle::host::MonotonicUs() < start + 3000000) usleep(20000);
    const uint64_t idrSent = varnelle::host::MonotonicUs();
    ASSERT_EQ(Cmd(34, {0, 0}), 0);
    const uint64_t idrDone = varnelle::host::MonotonicUs();
    while (varnelle::host::MonotonicUs() < start + 6000000) usleep(20000);
    const uint64_t stopSent = varnelle::host::MonotonicUs();
    ASSERT_EQ(Cmd(33, {0, 0}), 0);
    ASSERT_EQ(Cmd(33, {0, 1}), 0);
    const uint64_t stopDone = varnelle::host::MonotonicUs();
    // Pictures go to the master five at a time, and one channel makes one a pass (about 1.8 s with
    // the seven idle channels): wait for the first batch.
    while (m_sim->Stats("jpeg").notices == 0 && varnelle::host::MonotonicUs() < start + 20000000)
        usleep(50000);
    ASSERT_EQ(Cmd(33, {0, 4}), 0);
    usleep(500000);  // the last batch on its way
    m_sim->Stop();
    ASSERT_TRUE(m_slave.Alive()) << m_slave.Log();

    const varnelle::master::SplitStats split = m_sim->Split("video");
    {
        // ---- The H.264 streams: every frame in order, decoded cleanly, at 25 a second ----
        // 6 s of frames is 150; the window the commands leave open may be wider by their latency.
        const double shortest = static_cast<double>(stopSent - start) / kFrameUs;
        const double longest = static_cast<double>(stopDone - startSent) / kFrameUs;
        EXPECT_EQ(split.badRecords, 0u);
        for (uint32_t chn : {0u, 1u}) {
            ASSERT_EQ(split.channels.count(chn), 1u) << chn << "\n" << m_slave.Log();
            const varnelle::master::ChannelStats& c = split.channels.at(chn);
            const uint64_t due = (c.lastPts - c.firstPts + kFrameUs / 2) / kFrameUs + 1;
            if (kEveryPicture) {
                EXPECT_GE(static_cast<double>(due), shortest - kFrameSlack) << chn;
            }
            EXPECT_LE(static_cast<double>(due), longest + kFrameSlack) << chn;
            ASSERT_LE(c.frames, due) << chn;
            if (kEveryPicture) {
                EXPECT_LE(due - c.frames, kMissSlack) << chn << ": frames missed";
            }
            EXPECT_EQ(c.seqGaps, 0u) << chn;
            EXPECT_EQ(c.seqRestarts, 0u) << chn;
            EXPECT_EQ(c.ptsBackwards, 0u) << chn;
            const std::string file = m_out + "/venc-" + std::to_string(chn) + ".h264";
            int status = 0;
            const std::string errors = Shell("ffmpeg -v error -i " + file + " -f null - 2>&1", &status);
            EXPECT_EQ(status, 0) << file;
            EXPECT_EQ(errors, "") << file;
            const std::vector<std::string> frames = Lines(Shell(
                "ffprobe -v error -select_streams v -show_entries frame=key_frame,width,height -of csv=p=0 " +
                file));
            EXPECT_EQ(frames.size(), c.frames) << file;
            if (!frames.empty()) {
                EXPECT_EQ(frames[0], chn == 0 ? "1,704,576" : "1,352,288") << file;
            }
        }

        // ---- GOP 50 kept, the requested I frame within two frames ----
        {
            const std::vector<std::string> frames =
                Lines(Shell("ffprobe -v error -select_streams v -show_entries frame=key_frame -of csv=p=0 " +
                            m_out + "/venc-0.h264"));
            std::vector<size_t> keys;
            for (size_t i = 0; i < frames.size(); ++i)
                if (frames[i] == "1") keys.push_back(i);
            ASSERT_GE(keys.size(), kEveryPicture ? 3u : 2u);
            EXPECT_EQ(keys[0], 0u);
            // The frames taken while the request was on its way, by their time stamps (the same clock
            // on this host); the I frame within two of them.
            const auto& log = split.channels.at(0).log;
            ASSERT_EQ(log.size(), frames.size());
            auto frameAt = [&log](uint64_t us) {
                size_t i = 0;
                while (i < log.size() && log[i].first < us) ++i;
                return i;
            };
            // Pictures that waited in the processing group when the request came may be coded after it:
            // under ThreadSanitizer that queue is some 10 pictures (0.4 s) deep.
            const size_t first = frameAt(idrSent - kQueuedUs), last = frameAt(idrDone);
            size_t requested = keys.size();
            for (size_t k = 0; k < keys.size(); ++k) {
                if (keys[k] + 2 >= first && keys[k] <= last + 2) requested = k;
            }
            ASSERT_LT(requested, keys.size()) << "no I frame near frames " << first << " to " << last;
            for (size_t k = 1; k < keys.size(); ++k) {
                if (k == requested) {
                    EXPECT_LE(keys[k] - keys[k - 1], 50u);
                } else {
                    EXPECT_EQ(keys[k] - keys[k - 1], 50u)
                        << "key frames " << keys[k - 1] << " and " << keys[k];
                }
            }
        }

        // ---- JPEG pictures at the asked size ----
        {
            const varnelle::master::SplitStats pics = m_sim->Split("jpeg");
            EXPECT_EQ(pics.badRecords, 0u);
            ASSERT_EQ(pics.channels.count(0), 1u);
            const varnelle::master::ChannelStats& c = pics.channels.at(0);
            EXPECT_GE(c.frames, 3u);
            EXPECT_EQ(c.seqGaps, 0u);
            EXPECT_EQ(c.ptsBackwards, 0u);
            const fs::path pnm = fs::path(m_dir) / "picture.pnm";
            for (uint64_t n = 0; n < c.frames; ++n) {
                const std::string file = m_out + "/jpeg-0-" + std::to_string(n) + ".jpg";
                int status = 0;
                const std::string errors =
                    Shell("djpeg -pnm -outfile " + pnm.string() + " " + file + " 2>&1", &status);
                EXPECT_EQ(status, 0) << file << ": " << errors;
                EXPECT_EQ(errors, "") << file;
                std::ifstream in(pnm, std::ios::binary);
                std::string magic;
                uint32_t w = 0, h = 0;
                in >> magic >> w >> h;
                EXPECT_EQ(magic, "P6") << file;
                EXPECT_EQ(w, 704u) << file;
                EXPECT_EQ(h, 576u) << file;
            }
        }
    }

    // ---- Title bitmaps: PNGs for a person, two colours, the text as Pillow draws it ----
    const fs::path keep = fs::path(CAPTURE_KEEP_DIR);
    fs::create_directories(keep);
    struct Bitmap {
        uint32_t handle;
        int size;  // the text's pixel size in this bitmap
    };
    // Main stream title 1 on encoder channel 0 (handle 0 + 1 x 4 x 8), the sub stream's (handle 33) at
    // half size.
    for (const Bitmap& b : {Bitmap{32, 24}, Bitmap{33, 12}}) {
        const fs::path raw = fs::path(m_trace) / ("rgn-" + std::to_string(b.handle) + ".argb1555");
        const fs::path txt = fs::path(m_trace) / ("rgn-" + std::to_string(b.handle) + ".txt");
        ASSERT_TRUE(fs::exists(raw)) << raw << "\n" << m_slave.Log();
        std::ifstream in(txt);
        std::string word;
        uint32_t w = 0, h = 0;
        in >> word >> w >> h;
        ASSERT_EQ(word, "bitmap");
        EXPECT_EQ(w, b.size == 24 ? kTitleW : kTitleW / 2u);
        EXPECT_EQ(h, b.size == 24 ? kTitleH : kTitleH / 2u);
        const fs::path png = keep / ("title-" + std::to_string(b.handle) + ".png");
        int status = 0;
        Shell("ffmpeg -v error -y -f rawvideo -pix_fmt rgb555le -s " + std::to_string(w) + "x" +
                  std::to_string(h) + " -i " + raw.string() + " " + png.string() + " 2>&1",
              &status);
        ASSERT_EQ(status, 0) << png;
        if (b.size != 24) continue;  // the half-size picture is sampled, not drawn at 12 pixels
        const std::string report = Shell(std::string(VARNELLE_PYTHON3) + " " + TITLE_CHECK + " " +
                                             png.string() + " '" + kTitle + "' " + kDejaVu + " 24 2>&1",
                                         &status);
        EXPECT_EQ(status, 0) << report;
    }

    // ---- The title is in the stream itself: in its place the picture differs from around it ----
    {
        // A late frame (a slow run may have fewer than 150), luma only. The title lands at (400, 144)
        // on 704 x 576.
        const uint64_t frames = split.channels.at(0).frames;
        ASSERT_GE(frames, 10u);
        const std::string pick = std::to_string(frames - 10);
        const std::string file = m_out + "/venc-0.h264";
        const fs::path frame = fs::path(m_dir) / "frame.gray";
        int status = 0;
        Shell("ffmpeg -v error -y -i " + file + " -vf select='eq(n\\," + pick +
                  ")' -frames:v 1 -f rawvideo -pix_fmt gray " + frame.string() + " 2>&1",
              &status);
        ASSERT_EQ(status, 0);
        const std::vector<uint8_t> y = ReadAll(frame);
        ASSERT_EQ(y.size(), 704u * 576u);
        auto mean = [&](int x0, int y0, int w, int h) {
            double s = 0;
            for (int yy = y0; yy < y0 + h; ++yy)
                for (int xx = x0; xx < x0 + w; ++xx) s += y[yy * 704 + xx];
            return s / (w * h);
        };
        int bright = 0;
        for (int yy = 144; yy < 168; ++yy)
            for (int xx = 400; xx < 496; ++xx) bright += y[yy * 704 + xx] > 180;
        const double inTitle = mean(400, 144, 96, 24), beside = mean(520, 144, 96, 24);
        EXPECT_GT(std::abs(inTitle - beside), 20.0) << inTitle << " vs " << beside;
        EXPECT_GT(bright, 30) << "the text's light pixels";
    }
}

}  // namespace
