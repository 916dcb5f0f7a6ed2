#include "tools/varnelle-master/master_product.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "app/pci/pciv_host.h"
#include "platform/host/clock.h"
#include "tools/varnelle-master/master_decode.h"
#include "tools/varnelle-master/master_sim.h"

namespace varnelle::master {
namespace {

// Product 656 wires logical channel k to this capture channel (its device is the channel / 4).
constexpr int8_t k656Input[32] = {12, 13, 14, 15, 8,  9,  10, 11, 0,  1,  2,  3,  4,  5,  6,  7,
                                  28, 29, 30, 31, 24, 25, 26, 27, 19, 18, 17, 16, 20, 21, 22, 23};

constexpr uint32_t kFps = 25;
constexpr uint32_t kMainKbps = 2048, kSubKbps = 512;
constexpr uint32_t kSizeD1 = 0, kSizeCif = 3, kSize1080P = 14;
constexpr uint32_t kInputFormat1080P = 2;
constexpr uint32_t kPlaySlots = 4;

// The clips the decoder slots play: ffmpeg sources, each picture different from the last.
struct Clip {
    const char* name;
    const char* source;
    uint32_t width, height;
};
constexpr Clip kClips[kPlaySlots] = {
    {"clip-0.h264", "testsrc2=size=704x576:rate=25", 704, 576},
    {"clip-1.h264", "testsrc=size=1280x720:rate=25", 1280, 720},
    {"clip-2.h264", "testsrc2=size=1280x720:rate=25,vflip", 1280, 720},
    {"clip-3.h264", "testsrc=size=704x576:rate=25,negate", 704, 576},
};

// Words of a format record of command 32: kind, rate control, size code, quality, rate, flags
// (bit 0 enabled), bit rate in kbit/s, GOP in seconds.
std::vector<uint32_t> FormatWords(uint32_t chn, uint32_t type, uint8_t size, uint8_t fps, uint16_t kbps) {
    const uint8_t f[12] = {0, 0, size, 2, fps, 1, static_cast<uint8_t>(kbps & 0xFF), static_cast<uint8_t>(kbps >> 8),
                           2, 0, 0, 0};
    std::vector<uint32_t> w(5, 0);
    w[0] = chn;
    w[1] = type;
    std::memcpy(&w[2], f, sizeof(f));
    return w;
}

uint32_t Rect(uint16_t a, uint16_t b) {
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 16;
}

std::string TimeText() {
    const time_t t = host::WallSeconds();
    struct tm tm;
    localtime_r(&t, &tm);
    char s[32];
    std::strftime(s, sizeof(s), "%Y-%m-%d %H:%M:%S", &tm);
    return s;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// Makes `clip` from the lavfi `source` with ffmpeg; true when ffmpeg exited with 0. An interrupt ends
// ffmpeg at once; an unfinished clip goes, so no later session plays it.
bool MakeClip(const MasterSim& sim, const std::string& source, const std::string& clip) {
    std::vector<std::string> args = {"ffmpeg",  "-nostdin", "-v", "error", "-y",       "-f",      "lavfi",
                                     "-i",      source,     "-t", "4",     "-pix_fmt", "yuv420p", "-c:v",
                                     "libx264", "-g",       "25", "-bf",   "0",        clip};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int st = 0;
    pid_t r;
    while ((r = waitpid(pid, &st, WNOHANG)) == 0 || (r < 0 && errno == EINTR)) {
        if (sim.Interrupted()) {
            ::kill(pid, SIGKILL);
            r = waitpid(pid, &st, 0);
            break;
        }
        usleep(10000);
    }
    const bool made = r == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    std::error_code ec;
    if (!made) std::filesystem::remove(clip, ec);
    return made;
}

// The clips the decoder slots play and where (no slot when the clips cannot be made).
std::vector<SlotReport> MakeClips(const MasterSim& sim, const SessionOptions& opt, const SLAVE_SYS_PARAM_S& p,
                                  std::string* pProblem) {
    std::vector<SlotReport> slots;
    if (opt.clipDir.empty()) {
        *pProblem = "no folder for the clips";
        return slots;
    }
    std::error_code ec;
    std::filesystem::create_directories(opt.clipDir, ec);
    const int32_t firstGroup = FirstDecoderGroup(p);
    const uint16_t w = static_cast<uint16_t>(opt.screenWidth / 4);
    const uint16_t top = static_cast<uint16_t>(opt.screenHeight / 2);
    for (uint32_t i = 0; i < kPlaySlots && i < p.u32PlayDecNum; ++i) {
        const Clip& c = kClips[i];
        SlotReport rep;
        rep.slot = i;
        rep.clip = opt.clipDir + "/" + c.name;
        rep.width = c.width;
        rep.height = c.height;
        rep.group = firstGroup + static_cast<int32_t>(i);
        rep.window[0] = static_cast<uint16_t>(i * w);
        rep.window[1] = top;
        rep.window[2] = static_cast<uint16_t>((i + 1) * w);
        rep.window[3] = static_cast<uint16_t>(opt.screenHeight);
        struct stat st;
        if (::stat(rep.clip.c_str(), &st) != 0 && !MakeClip(sim, c.source, rep.clip)) {
            *pProblem = (sim.Interrupted() ? "interrupted while ffmpeg made "
                                           : "ffmpeg (with libx264) could not make ") +
                        rep.clip;
            return {};
        }
        slots.push_back(rep);
    }
    return slots;
}

// What the master does with one slave chip once the set-up has reached every chip.
class ChipSession {
public:
    ChipSession(MasterSim& sim, const SessionOptions& opt, const SLAVE_SYS_PARAM_S& p, int chip, SessionReport* r)
        : m_sim(sim), m_opt(opt), m_p(p), m_chip(chip), m_r(*r) {
        m_r.chip = chip;
        m_r.channels = m_p.u32ChnEnd - m_p.u32ChnStart;
    }
    ~ChipSession() { StopFeeds(); }

    // Rings, the split, the inputs and their streams, detection, the layout, then the decoder slots.
    void Start();
    void SendTitles(bool withNames);
    void StopFeeds();
    void Finish(uint64_t endUs);

private:
    // A command the slave answers: its result; a refusal goes into the report under `what`. Once
    // interrupted, nothing more is sent (-1).
    int Answered(const std::string& what, uint32_t code, const std::vector<uint32_t>& words) {
        if (m_sim.Interrupted()) return -1;
        const int r = m_sim.CommandTo(m_chip, code, words.data(), static_cast<uint32_t>(4 * words.size()));
        if (r != 0) m_r.problems.push_back(what + ": command " + std::to_string(code) + " answered " + std::to_string(r));
        return r;
    }
    // A command without an answer: the slave reports nothing back.
    void Told(uint32_t code, const std::vector<uint32_t>& words) {
        if (m_sim.Interrupted()) return;
        m_sim.CommandTo(m_chip, code, words.data(), static_cast<uint32_t>(4 * words.size()));
    }

    void StartRings();
    void StartInputs();
    void LayOut();
    void StartDetection();
    void StartPlayback();

    MasterSim& m_sim;
    const SessionOptions& m_opt;
    const SLAVE_SYS_PARAM_S m_p;
    const int m_chip;
    SessionReport& m_r;
    std::atomic<bool> m_stopFeeds{false};
    std::vector<std::thread> m_feeds;
};

void ChipSession::Start() {
    StartRings();
    Answered("split start", 26, {0, 0});
    StartInputs();
    StartDetection();
    LayOut();
    StartPlayback();
}

void ChipSession::StartRings() {
    if (m_sim.Interrupted()) return;
    // The sender takes its buffer from one common pool block: a ring fits in the largest.
    const uint32_t vsize = 3u << 20, jsize = 1u << 20;
    Ring v{"video", m_sim.AllocRing(vsize), vsize, PCIV_HOST_PORT_VENC_NOTICE, PCIV_HOST_PORT_VENC_ACK, m_chip};
    Ring j{"jpeg", m_sim.AllocRing(jsize), jsize, PCIV_HOST_PORT_JPEG_NOTICE, PCIV_HOST_PORT_JPEG_ACK, m_chip};
    if (v.phys == 0 || j.phys == 0) {
        m_r.problems.push_back("the rings do not fit in the master's RAM");
        return;
    }
    if (m_sim.StartRing(10, v) != 0) m_r.problems.push_back("the video ring (command 10) was refused");
    if (m_sim.StartRing(11, j) != 0) m_r.problems.push_back("the JPEG ring (command 11) was refused");
}

void ChipSession::StartInputs() {
    std::set<int32_t> devices;
    for (uint32_t k = 0; k < m_r.channels && !m_sim.Interrupted(); ++k) {
        const CaptureInput in = InputOf(m_p.u32SysType, k);
        if (in.viChn < 0) {
            m_r.problems.push_back("channel " + std::to_string(k) + ": the master does not know its input");
            continue;
        }
        if (devices.insert(in.viDev).second) Told(92, {static_cast<uint32_t>(in.viDev), 0});
        Told(93, {static_cast<uint32_t>(in.viChn), kSize1080P, 0, 0});
        Answered("channel " + std::to_string(k) + " JPEG", 82, {k});
        const std::string c = "channel " + std::to_string(k);
        if (Answered(c, 28, {k}) != 0 || Answered(c, 31, {k, 0}) != 0) continue;
        // The input to its processing group (the chip's first groups serve the inputs in order).
        Told(94, {static_cast<uint32_t>(in.viChn), k});
        // The input carries 1080P at 25 frames a second.
        Told(87, {k, kInputFormat1080P, kFps});
        struct Stream {
            uint32_t type;
            uint8_t size;
            uint8_t fps;
            uint16_t kbps;
            uint32_t w, h;
        } streams[] = {{0, kSizeD1, kFps, kMainKbps, 704, 576},
                       {1, kSizeCif, kFps, kSubKbps, 352, 288},
                       {4, kSizeD1, 1, kSubKbps, 704, 576}};
        for (const Stream& s : streams) {
            StreamReport rep;
            rep.chn = k;
            rep.type = s.type;
            rep.ringChn = s.type == 4 ? k : 2 * k + s.type;
            rep.fps = s.fps;
            rep.kbps = s.type == 4 ? 0 : s.kbps;
            rep.width = s.w;
            rep.height = s.h;
            const int r = m_sim.CommandTo(m_chip, 32, FormatWords(k, s.type, s.size, s.fps, s.kbps).data(), 20);
            if (r != 0) rep.refused = "command 32 (format) answered " + std::to_string(r);
            m_r.streams.push_back(rep);
        }
    }
    if (m_sim.SendFont(m_opt.font, m_chip) != 0) m_r.problems.push_back("font name: the title port is not open");
    SendTitles(true);
    for (StreamReport& s : m_r.streams) {
        if (!s.refused.empty() || m_sim.Interrupted()) continue;
        const uint32_t words[2] = {s.chn, s.type};
        const int r = m_sim.CommandTo(m_chip, 30, words, sizeof(words));
        if (r != 0) s.refused = "command 30 (start) answered " + std::to_string(r);
        s.startUs = host::MonotonicUs();
    }
}

void ChipSession::SendTitles(bool withNames) {
    // Index 0 is the time: the slave renders channel 0's text once and shows it on every channel.
    for (uint32_t k = 0; k < m_r.channels; ++k) {
        MasterSim::Title t;
        t.chn = k;
        t.index = 0;
        t.x = 180;
        t.y = 200;
        t.width = 264;
        t.height = 24;
        t.bgColor = 0xFE000000;  // black, nearly opaque
        t.text = TimeText();
        m_sim.SendTitle(t, m_chip);
        if (!withNames) continue;
        t.index = 1;
        t.x = 200;
        t.y = 16;
        t.width = 96;
        t.text = "CAM " + std::to_string(k + 1);
        m_sim.SendTitle(t, m_chip);
    }
}

void ChipSession::LayOut() {
    // Mode 5 (16 windows) shows the chip's channels in order: its inputs take the top half, four to a
    // row; the playback windows take the bottom half.
    const uint16_t w = static_cast<uint16_t>(m_opt.screenWidth / 4), h = static_cast<uint16_t>(m_opt.screenHeight / 4);
    std::vector<uint32_t> words(6 + 2 * 32, 0);
    words[0] = 5;
    for (uint32_t k = 0; k < m_r.channels && k < 8; ++k) {
        uint16_t* r = m_r.splitWindows[k];
        r[0] = static_cast<uint16_t>((k % 4) * w);
        r[1] = static_cast<uint16_t>((k / 4) * h);
        r[2] = static_cast<uint16_t>(r[0] + w);
        r[3] = static_cast<uint16_t>(r[1] + h);
        words[6 + 2 * k] = Rect(r[0], r[1]);
        words[7 + 2 * k] = Rect(r[2], r[3]);
    }
    Answered("layout", 27, words);
}

void ChipSession::StartDetection() {
    for (uint32_t k = 0; k < m_r.channels; ++k) {
        // Every cell watched at sensitivity 6; blind detection at level 3.
        std::vector<uint32_t> motion(22, 0);
        motion[0] = k;
        motion[1] = 6;
        for (int row = 0; row < 12; ++row) motion[2 + row] = 0xFFFF;
        motion[21] = 1;
        Told(88, motion);
        Told(90, {k, 3, 1});
    }
    Told(89, {});
    Told(91, {});
}

void ChipSession::StartPlayback() {
    for (SlotReport& rep : m_r.slots) {
        if (m_sim.Interrupted()) break;
        // The slot's decoder group, at the clip's size.
        Told(62, {static_cast<uint32_t>(rep.group), rep.width, rep.height});
        std::ifstream in(rep.clip, std::ios::binary);
        auto stream = std::make_shared<std::vector<uint8_t>>((std::istreambuf_iterator<char>(in)),
                                                             std::istreambuf_iterator<char>());
        m_feeds.emplace_back([this, &rep, stream] {
            DecodeOptions opt;
            opt.seed = rep.slot + 1;
            opt.vpssGroup = rep.group;
            opt.width = rep.width;
            opt.height = rep.height;
            opt.realTime = true;
            opt.stop = &m_stopFeeds;
            opt.chip = m_chip;
            opt.started = [this, &rep] {
                // The playback window: no zoom (p2 1), a display rectangle (p3 0) at bytes 24..31.
                Told(65, {rep.slot, 0, 1, 0, 0, 0, Rect(rep.window[0], rep.window[1]), Rect(rep.window[2], rep.window[3])});
            };
            DecodeResult res = FeedDecodeSlot(m_sim, rep.slot, *stream, opt);
            rep.frames = res.frames;
            rep.fragments = res.fragments;
            rep.acked = res.acked;
            rep.ackMismatches = res.ackMismatches;
            rep.ackMissing = res.ackMissing;
            rep.setupFailed = res.setupFailed;
        });
    }
}

void ChipSession::StopFeeds() {
    m_stopFeeds.store(true);
    for (auto& t : m_feeds) t.join();
    m_feeds.clear();
}

void ChipSession::Finish(uint64_t endUs) {
    StopFeeds();
    const SplitStats video = m_sim.Split("video", m_chip);
    const SplitStats jpeg = m_sim.Split("jpeg", m_chip);
    for (StreamReport& s : m_r.streams) {
        const SplitStats& from = s.type == 4 ? jpeg : video;
        auto it = from.channels.find(s.ringChn);
        if (it != from.channels.end()) {
            s.frames = it->second.frames;
            s.bytes = it->second.bytes;
            s.keyFrames = it->second.keyFrames;
            s.seqGaps = it->second.seqGaps;
            for (const auto& [pts, arrived] : it->second.arrivals) {
                if (arrived >= pts) s.latencyUs.push_back(arrived - pts);
            }
        }
        if (s.startUs != 0 && endUs > s.startUs) {
            s.seconds = static_cast<double>(endUs - s.startUs) / 1e6;
            s.due = s.seconds * s.fps;
        }
    }
    const std::vector<uint64_t> beats = m_sim.BeatTimes(m_chip);
    std::vector<double> periods;
    for (size_t i = 1; i < beats.size(); ++i) periods.push_back(static_cast<double>(beats[i] - beats[i - 1]) / 1000.0);
    m_r.heartbeats = beats.size();
    m_r.beatP50Ms = Percentile(periods, 0.5);
    m_r.beatP99Ms = Percentile(periods, 0.99);
    m_r.beatMaxMs = periods.empty() ? 0 : *std::max_element(periods.begin(), periods.end());
}

}  // namespace

CaptureInput InputOf(uint32_t u32SysType, uint32_t chn) {
    if (chn >= 32) return {-1, -1};
    switch (u32SysType) {
        case 0:  // every channel on capture channel 0
            return {0, 0};
        case 656:
            return {k656Input[chn], k656Input[chn] / 4};
        default:
            return {-1, -1};
    }
}

int32_t FirstDecoderGroup(const SLAVE_SYS_PARAM_S& p) {
    return 2 * static_cast<int32_t>(p.u32ChnEnd - p.u32ChnStart);
}

int RunProductSessions(MasterSim& sim, const SessionOptions& options, std::vector<SessionReport>* pReports) {
    const std::vector<int> chips = sim.SlaveChips();
    pReports->assign(chips.size(), SessionReport{});
    for (size_t i = 0; i < chips.size(); ++i) (*pReports)[i].chip = chips[i];
    const uint64_t t0 = host::MonotonicUs();
    // The simulator's settings (its product's, unless its user changed them before the heartbeats).
    const SLAVE_SYS_PARAM_S p = PcivHostGetState()->stSysParam;
    // The clips first: making them costs ffmpeg some seconds that should not fall into the streams'.
    std::string clipProblem;
    const std::vector<SlotReport> slots = MakeClips(sim, options, p, &clipProblem);
    auto finish = [&](int ret) {
        for (SessionReport& r : *pReports) r.seconds = static_cast<double>(host::MonotonicUs() - t0) / 1e6;
        return ret;
    };
    if (sim.Interrupted()) return finish(0);
    // The set-up and the time reach every slave at once.
    if (sim.SendSetup(0, static_cast<uint32_t>(options.screenWidth), static_cast<uint32_t>(options.screenHeight)) != 0) {
        for (SessionReport& r : *pReports) r.problems.push_back("set-up (commands 96, 24, 25) refused");
        return finish(-1);
    }
    sim.SendTime();
    std::vector<std::unique_ptr<ChipSession>> sessions;
    for (size_t i = 0; i < chips.size(); ++i) {
        SessionReport& r = (*pReports)[i];
        r.slots = slots;
        r.clipProblem = clipProblem;
        sessions.push_back(std::make_unique<ChipSession>(sim, options, p, chips[i], &r));
        sessions.back()->Start();
    }
    if (options.running) options.running();
    const uint64_t start = host::MonotonicUs();
    const uint64_t end = start + static_cast<uint64_t>(options.durationS) * 1000000;
    // The time titles move on every second, as the master's clock does.
    uint64_t nextTitle = start + 1000000;
    while (!sim.Interrupted() && host::MonotonicUs() < end) {
        if (host::MonotonicUs() >= nextTitle) {
            for (auto& s : sessions) s->SendTitles(false);
            nextTitle += 1000000;
        }
        usleep(20000);
    }
    const uint64_t endUs = host::MonotonicUs();
    for (auto& s : sessions) s->StopFeeds();
    for (auto& s : sessions) s->Finish(endUs);
    return finish(0);
}

int RunProductSession(MasterSim& sim, const SessionOptions& options, SessionReport* pReport) {
    std::vector<SessionReport> reports;
    const int r = RunProductSessions(sim, options, &reports);
    *pReport = reports.empty() ? SessionReport{} : reports.front();
    return r;
}

void PrintSessionReport(MasterSim& sim, const SessionReport& r) {
    static const char* const kKind[] = {"main", "sub", "", "", "JPEG"};
    sim.Log("summary of %.1f s (chip %d):", r.seconds, r.chip);
    std::vector<std::string> notFlowing;
    for (const StreamReport& s : r.streams) {
        if (s.type == 4) {
            sim.Log("  channel %u JPEG pictures: %llu (%.1f KiB)", s.chn, static_cast<unsigned long long>(s.frames),
                    static_cast<double>(s.bytes) / 1024.0);
        } else {
            const double secs = s.seconds > 0 ? s.seconds : 1;
            sim.Log("  channel %u %s stream %ux%u: %llu of %.0f frames due at %u/s, %.1f frames/s, %.0f kbit/s "
                    "(asked %u), %llu key frames, %llu sequence gaps",
                    s.chn, kKind[s.type], s.width, s.height, static_cast<unsigned long long>(s.frames), s.due, s.fps,
                    static_cast<double>(s.frames) / secs, static_cast<double>(s.bytes) * 8 / 1000 / secs, s.kbps,
                    static_cast<unsigned long long>(s.keyFrames), static_cast<unsigned long long>(s.seqGaps));
        }
        if (s.frames == 0) {
            notFlowing.push_back("channel " + std::to_string(s.chn) + " " + kKind[s.type] + ": nothing arrived: " +
                                 (s.refused.empty() ? std::string("the slave refused none of its commands (see its log)")
                                                    : s.refused));
        }
    }
    for (const SlotReport& s : r.slots) {
        sim.Log("  decode slot %u (%s, %ux%u, group %d): %zu frames in %zu fragments fed, %zu acknowledged, %zu wrong, "
                "%zu missing",
                s.slot, s.clip.c_str(), s.width, s.height, s.group, s.frames, s.fragments, s.acked, s.ackMismatches,
                s.ackMissing);
        if (s.setupFailed) notFlowing.push_back("decode slot " + std::to_string(s.slot) + ": its set-up was refused");
    }
    if (!r.clipProblem.empty()) notFlowing.push_back("decoder slots idle: " + r.clipProblem);
    sim.Log("  heartbeats: %llu, period p50 %.1f ms, p99 %.1f ms, max %.1f ms",
            static_cast<unsigned long long>(r.heartbeats), r.beatP50Ms, r.beatP99Ms, r.beatMaxMs);
    sim.Log("  screen-0.png (the cascade output): the inputs of channels 0-%u in the top half, %zu playback "
            "windows in the bottom half; the slave writes it to its $VARNELLE_TRACE",
            r.channels == 0 ? 0 : r.channels - 1, r.slots.size());
    for (const std::string& p : r.problems) sim.Log("  refused: %s", p.c_str());
    for (const std::string& p : notFlowing) sim.Log("  not flowing: %s", p.c_str());
}

}  // namespace varnelle::master
