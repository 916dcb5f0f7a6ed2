#include "tools/varnelle-master/master_sim.h"

#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "app/cascade/cascade_proto.h"
#include "app/pci/pciv_cmd.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/host/clock.h"
#include "platform/host/env.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "tools/varnelle-master/master_decode.h"
#include "tools/varnelle-master/master_product.h"

namespace varnelle::master {
namespace {

// Rings start above the first MiB of the master's RAM (room the master keeps for itself).
constexpr uint32_t kRingArea = mem::kRamBase + (1u << 20);
// How long a reader waits for a notice before looking at its stop flag.
constexpr int kPollMs = 50;
// Heartbeat arrival times kept (ten a second: about 27 minutes).
constexpr size_t kMaxBeatTimes = 16384;
// A sleeping script step looks this often whether it was interrupted.
constexpr int kSleepSliceMs = 20;

uint32_t RoundUpPage(uint32_t v) {
    return (v + mem::kPageSize - 1) & ~static_cast<uint32_t>(mem::kPageSize - 1);
}

}  // namespace

struct MasterSim::RingReader {
    Ring ring;
    uint8_t* base = nullptr;  // the ring mapped from the master's RAM
    RingStats stats;          // guarded by MasterSim::m_mutex
    FILE* out = nullptr;
    std::unique_ptr<StreamSplitter> split;  // replaced under MasterSim::m_mutex by the reader's thread
    std::string splitDir;
    // A restart: while dropping, what arrives is dropped (the last at lastDropMs); a new epoch has the
    // reader's thread start from nothing, which it has done once readEpoch equals it.
    std::atomic<bool> dropping{false};
    std::atomic<uint64_t> lastDropMs{0};
    std::atomic<uint32_t> epoch{0};
    std::atomic<uint32_t> readEpoch{0};
};

MasterSim::MasterSim(SimOptions options) : m_opt(std::move(options)), m_nextPhys(kRingArea) {}

MasterSim::~MasterSim() {
    Stop();
}

void MasterSim::Log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    LogV(fmt, ap);
    va_end(ap);
}

void MasterSim::LogV(const char* fmt, va_list ap) {
    char line[512];
    std::vsnprintf(line, sizeof(line), fmt, ap);
    std::lock_guard<std::mutex> lock(m_logMutex);
    if (m_opt.log != nullptr) {
        *m_opt.log << "[master] " << line << "\n";
        m_opt.log->flush();
    } else {
        std::printf("[master] %s\n", line);
        std::fflush(stdout);
    }
}

void MasterSim::Missing(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    LogV(fmt, ap);
    va_end(ap);
    ++m_missed;
}

uint64_t MasterSim::Missed() const {
    return m_missed.load() + PcivHostRepliesMissed();
}

void MasterSim::Interrupt() {
    PcivHostCancelWaits();
}

bool MasterSim::Interrupted() const {
    return PcivHostWaitsCancelled();
}

std::string MasterSim::Cutoff(int timeoutMs) const {
    if (Interrupted()) return "before the interrupt";
    return "within " + std::to_string(timeoutMs > 0 ? timeoutMs : m_opt.replyTimeoutMs) + " ms";
}

int MasterSim::Open() {
    setenv("VARNELLE_CHIP", "0", 1);
    m_missed.store(0);
    mcc::InstallMccDriver(0);
    drivers::InstallPcivDriver();
    PcivHostResetState();
    PcivHostSetReplyTimeout(m_opt.replyTimeoutMs);
    ::mkdir(host::BusDir().c_str(), 0777);
    m_ram = std::make_unique<mem::Ram>(mem::RamPath(0), 0, mem::kMasterRamSize, true);
    if (!m_ram->ok()) {
        Log("cannot create the master's RAM file %s", mem::RamPath(0).c_str());
        return -1;
    }
    // Checking our own chip opens the channel, which starts listening as chip 0.
    if (PcivHostWaitChip(0, 1000) != 0) {
        Log("cannot listen on the bus %s", host::BusDir().c_str());
        return -1;
    }
    PcivHostGetState()->stSysParam = DefaultSysParams();
    Log("chip 0 on bus %s, RAM %s", host::BusDir().c_str(), mem::RamPath(0).c_str());
    return 0;
}

std::vector<int> MasterSim::SlaveChips() const {
    std::vector<int> chips;
    for (int i = 0; i < std::max(m_opt.slaves, 1); ++i) chips.push_back(m_opt.slaveChip + i);
    return chips;
}

int MasterSim::ConnectSlave(int timeoutMs) {
    const std::vector<int> chips = SlaveChips();
    const uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (int chip : chips) {
        Log("waiting for slave chip %d", chip);
        const int left = static_cast<int>(std::max<int64_t>(0, static_cast<int64_t>(deadline - host::MonotonicMs())));
        if (PcivHostWaitChip(chip, left) != 0) {
            Missing("slave chip %d did not appear %s", chip, Cutoff(timeoutMs).c_str());
            return -1;
        }
    }
    PcivHostSetRemoteChips(chips.data(), static_cast<int>(chips.size()));
    // Whatever an earlier slave on this bus left queued is not this slave's; this one sends nothing
    // but on the command port before it has the port map.
    for (int chip : chips) {
        if (PCIV_PortFd(chip, PCIV_MSGPORT_COMM) < 0) continue;
        int dropped = PcivHostDrainPort(chip, PCIV_MSGPORT_COMM);
        for (uint32_t port : PcivGetChipTable()->au32HostPort)
            dropped += PcivHostDrainPort(chip, static_cast<int>(port));
        if (dropped > 0) Log("dropped %d message(s) left from an earlier slave %d", dropped, chip);
    }
    Pciv_HostChipInit();
    for (int chip : chips) {
        if (PCIV_PortFd(chip, PCIV_MSGPORT_COMM) < 0) return -1;
        Log("slave chip %d connected; port map sent, PF window 0x%x", chip, PcivGetChipTable()->au32PfWinBase[chip]);
    }
    return 0;
}

SLAVE_SYS_PARAM_S MasterSim::DefaultSysParams() {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    // The product's own system type: type 0 would wire every channel to capture channel 0.
    p.u32SysType = 656;
    p.u32DevType = 656;  // an 8-input 1080P hybrid recorder with JPEG pictures
    p.u32ChnStart = 0;
    p.u32ChnEnd = 8;
    p.u32ChnSetting = 8;
    p.u32DecNum = 4;
    p.u32SplitOffset = 0;
    // Decode channel i reads its processing group from record i: the playback commands line up.
    p.u32FirstDecChn = 0;
    p.u32DigitalNum = 0;
    p.u32PlayDecNum = 4;
    p.u32PicSize = 3;
    p.u32BoardSubType = 47;
    p.u32EncPoolFlag = 0;
    HVR_CAP_S cap;
    std::memset(&cap, 0, sizeof(cap));
    cap.as16Analog[HVR_CAP_1080P] = 8;
    cap.u32MaxPlayBackWay = 8;
    p.stHvrCap = cap;
    p.stSlaveCfg.u8JpegEnable = 1;
    return p;
}

int MasterSim::SendSetup(uint32_t u32Standard, uint32_t u32Width, uint32_t u32Height) {
    const SLAVE_SYS_PARAM_S& p = PcivHostGetState()->stSysParam;
    Log("command 96: product %u, channels %u-%u, board %u", p.u32DevType, p.u32ChnStart, p.u32ChnEnd,
        p.u32BoardSubType);
    int ret = PcivHostSendSysParams();
    if (ret != 0) return ret;
    // The set-up brings the media system up anew: the capture devices are to be enabled again.
    m_viDevs.clear();
    ret = PcivHostGraphicsSaveVstd(u32Standard);
    Log("command 24 (standard %u): result %d", u32Standard, ret);
    if (ret != 0) return ret;
    ret = PcivHostGraphicsSetResolution(u32Width, u32Height);
    Log("command 25 (%ux%u): result %d", u32Width, u32Height, ret);
    return ret;
}

int MasterSim::SendTime() {
    SLAVE_TIME_S t = PcivHostLocalTime();
    int ret = PcivHostSendTime();
    Log("time %04d-%02d-%02d %02d:%02d:%02d sent: %d", t.s32Year, t.s32Month, t.s32Day, t.s32Hour,
        t.s32Minute, t.s32Second, ret);
    return ret;
}

int MasterSim::StartCapture(uint32_t chn, uint32_t u32Standard) {
    // The input of the channel as the product wires it: its device enabled (92, once), configured (93)
    // and told it carries 1080P at 25 frames (87), then bound to the channel's processing group (94).
    const CaptureInput in = InputOf(PcivHostGetState()->stSysParam.u32SysType, chn);
    if (in.viChn < 0) {
        Log("capture channel %u: the simulator does not know the input of system type %u", chn,
            PcivHostGetState()->stSysParam.u32SysType);
        return -1;
    }
    auto told = [this](uint32_t code, std::vector<uint32_t> w) {
        Command(code, w.data(), static_cast<uint32_t>(4 * w.size()));
    };
    if (m_viDevs.insert(in.viDev).second) told(92, {static_cast<uint32_t>(in.viDev), 0});
    told(93, {static_cast<uint32_t>(in.viChn), 14, 0, 0});
    // Format record: byte 1 mode (0 constant bit rate), byte 2 size code, byte 3 quality, byte 4 frame
    // rate, byte 5 bit 0 the stream enabled, bytes 6-7 bit rate, byte 8 GOP in seconds.
    const uint8_t format[12] = {0, 0, 14, 2, 25, 1, 0x00, 0x08, 2, 0, 0, 0};
    int ret = PcivHostCaptureCreate(chn);
    if (ret == 0) ret = PcivHostCaptureSetVstd(chn, u32Standard);
    if (ret == 0) {
        told(94, {static_cast<uint32_t>(in.viChn), chn});
        told(87, {chn, 2, 25});
    }
    if (ret == 0) ret = PcivHostCaptureSetFormat(chn, 0, format);
    if (ret == 0) ret = PcivHostCaptureStart(chn, 0);
    Log("capture channel %u main stream (input %d): %d", chn, in.viChn, ret);
    return ret;
}

int MasterSim::Command(uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply) {
    return CommandTo(0, u32Code, pPayload, u32Len, pReply);
}

int MasterSim::CommandTo(int chip, uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply) {
    chip = ChipOr(chip);
    if (PCIV_CmdIsAnswered(u32Code))
        return PcivHostSendChipWait(chip, u32Code, static_cast<uint32_t>(chip), pPayload, u32Len, pReply);
    return PCIV_SendMsg(chip, PCIV_MSGPORT_COMM, u32Len, u32Code, pPayload);
}

uint32_t MasterSim::AllocRing(uint32_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t len = RoundUpPage(size);
    if (len == 0 || !m_ram || !m_ram->Contains(m_nextPhys, len)) return 0;
    uint32_t phys = m_nextPhys;
    m_nextPhys += len;
    return phys;
}

bool MasterSim::Watching(uint32_t noticePort, int chip) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& r : m_readers) {
        if (r->ring.noticePort == noticePort && r->ring.chip == ChipOr(chip)) return true;
    }
    return false;
}

bool MasterSim::WatchRing(const Ring& given) {
    Ring ring = given;
    ring.chip = ChipOr(ring.chip);
    if (Watching(ring.noticePort, ring.chip)) {
        Log("port %u of chip %d already carries a ring", ring.noticePort, ring.chip);
        return false;
    }
    auto reader = std::make_unique<RingReader>();
    reader->ring = ring;
    reader->base = static_cast<uint8_t*>(m_ram->Map(ring.phys, ring.size));
    // With more than one slave each writes its streams to a folder of its own.
    const std::string splitDir = m_opt.outDir.empty() || m_opt.slaves <= 1
                                     ? m_opt.outDir
                                     : m_opt.outDir + "/chip" + std::to_string(ring.chip);
    if (splitDir != m_opt.outDir) ::mkdir(m_opt.outDir.c_str(), 0777);
    reader->split = std::make_unique<StreamSplitter>(splitDir, std::strcmp(ring.name, "jpeg") == 0);
    reader->splitDir = splitDir;
    if (!m_opt.outDir.empty()) {
        ::mkdir(m_opt.outDir.c_str(), 0777);
        std::string path = m_opt.outDir + "/" + ring.name + "-chip" + std::to_string(ring.chip) + ".bin";
        reader->out = std::fopen(path.c_str(), "wb");
        if (reader->out == nullptr) Log("cannot write %s", path.c_str());
    }
    RingReader* r = reader.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readers.push_back(std::move(reader));
    m_threads.emplace_back([this, r] { ReadRing(r); });
    return true;
}

int MasterSim::StartRing(uint32_t u32Code, const Ring& ring) {
    if (!WatchRing(ring)) return -1;
    PCIV_TRANS_PARAM_S p{0, 0, ring.size, ring.phys, ring.noticePort, ring.ackPort};
    int ret = CommandTo(ring.chip, u32Code, &p, sizeof(p));
    Log("command %u: %s ring of %u bytes at 0x%08x (ports %u/%u): result %d", u32Code, ring.name, ring.size,
        ring.phys, ring.noticePort, ring.ackPort, ret);
    return ret;
}

int MasterSim::ResendRings() {
    std::vector<Ring> rings;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& r : m_readers) rings.push_back(r->ring);
    }
    int sent = 0;
    for (const Ring& ring : rings) {
        const uint32_t code = ring.noticePort == PCIV_HOST_PORT_VENC_NOTICE ? 10 : ring.noticePort == PCIV_HOST_PORT_JPEG_NOTICE ? 11 : 0;
        if (code == 0) continue;
        PCIV_TRANS_PARAM_S p{0, 0, ring.size, ring.phys, ring.noticePort, ring.ackPort};
        const int ret = Command(code, &p, sizeof(p));
        Log("command %u again: %s ring of %u bytes at 0x%08x: result %d", code, ring.name, ring.size, ring.phys, ret);
        sent += ret == 0;
    }
    return sent;
}

int MasterSim::RestartRings() {
    constexpr uint64_t kQuietMs = 500;
    std::vector<RingReader*> readers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& r : m_readers) readers.push_back(r.get());
    }
    const uint64_t start = host::MonotonicMs();
    for (RingReader* r : readers) {
        r->lastDropMs = start;
        r->dropping = true;
    }
    const uint64_t deadline = start + static_cast<uint64_t>(m_opt.replyTimeoutMs);
    bool quiet = false;
    while (!quiet && !Interrupted()) {
        usleep(kSleepSliceMs * 1000);
        const uint64_t now = host::MonotonicMs();
        quiet = true;
        for (RingReader* r : readers) quiet = quiet && now - r->lastDropMs.load() >= kQuietMs;
        if (!quiet && now >= deadline) break;
    }
    for (RingReader* r : readers) {
        ++r->epoch;
        r->dropping = false;
    }
    // Whether anything arrives or not, the counts start again here: a wait after the restart sees only
    // what came after it. A reader looks at its epoch at least every poll.
    for (RingReader* r : readers) {
        while (r->readEpoch.load() != r->epoch.load() && !m_stop.load() && !Interrupted()) usleep(1000);
    }
    if (!quiet) {
        Missing("restart: the rings did not go quiet %s", Cutoff().c_str());
        return -1;
    }
    Log("restart: the rings went quiet; read from nothing again");
    return 0;
}

void MasterSim::ReadRing(RingReader* r) {
    const Ring& ring = r->ring;
    const int chip = ring.chip;
    uint32_t expectSeq = 0;
    uint32_t lastEnd = 0;
    uint32_t ackSeq = 0;
    uint32_t epoch = r->epoch.load();
    // After a restart: read as a new master reads its first message.
    const auto startAgain = [&] {
        if (epoch == r->epoch.load()) return;
        epoch = r->epoch.load();
        expectSeq = lastEnd = ackSeq = 0;
        auto split = std::make_unique<StreamSplitter>(r->splitDir, std::strcmp(ring.name, "jpeg") == 0);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            r->split = std::move(split);
            r->stats = RingStats{};
        }
        r->readEpoch = epoch;
    };
    PCIV_MSG_S msg;
    while (!m_stop.load()) {
        startAgain();
        if (PCIV_PortFd(chip, static_cast<int>(ring.noticePort)) < 0) {
            // Not connected yet: nothing can arrive.
            usleep(kPollMs * 1000);
            continue;
        }
        // Not cancelled with the waits: the slave's senders are acknowledged until Stop().
        if (PCIV_ReadMsgTimeout(chip, static_cast<int>(ring.noticePort), &msg, kPollMs) != 0) continue;
        if (r->dropping.load()) {
            r->lastDropMs = host::MonotonicMs();
            continue;
        }
        // A restart may have ended since the read began.
        startAgain();
        PCIV_TRANS_NOTICE_S n;
        bool ok = msg.stMsgHead.u32MsgType == PCIV_MSGTYPE_NOTIFY && msg.stMsgHead.u32MsgLen >= sizeof(n);
        if (ok) {
            std::memcpy(&n, msg.au32Payload, sizeof(n));
            ok = n.u32Start <= n.u32End && n.u32End <= ring.size && r->base != nullptr;
        }
        if (!ok) {
            // Acknowledging a notice we cannot place would move the sender's read position anywhere.
            std::lock_guard<std::mutex> lock(m_mutex);
            ++r->stats.badNotices;
            continue;
        }
        uint32_t len = n.u32End - n.u32Start;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n.u32Seq != expectSeq) ++r->stats.seqGaps;
            if (n.u32Start < lastEnd) ++r->stats.wraps;
            r->stats.bytes += len;
            ++r->stats.notices;
        }
        expectSeq = n.u32Seq + 1;
        lastEnd = n.u32End;
        DataSink sink;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            sink = m_sink;
        }
        if (sink) sink(ring, r->base + n.u32Start, len);
        r->split->Feed(r->base + n.u32Start, len);
        if (r->out != nullptr) std::fwrite(r->base + n.u32Start, 1, len, r->out);
        PCIV_TRANS_NOTICE_S ack{n.u32Start, n.u32End, ackSeq++};
        PCIV_SendMsg(chip, static_cast<int>(ring.ackPort), sizeof(ack), PCIV_MSGTYPE_FREE, &ack);
    }
}

RingStats MasterSim::Stats(const char* name, int chip) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& r : m_readers) {
        if (std::strcmp(r->ring.name, name) == 0 && r->ring.chip == ChipOr(chip)) return r->stats;
    }
    return RingStats{};
}

SplitStats MasterSim::Split(const char* name, int chip) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& r : m_readers) {
        if (std::strcmp(r->ring.name, name) == 0 && r->ring.chip == ChipOr(chip)) return r->split->Stats();
    }
    return SplitStats{};
}

int MasterSim::SetFormat(uint32_t chn, uint32_t stream, const uint8_t au8Format[12]) {
    int ret = PcivHostCaptureSetFormat(chn, stream, au8Format);
    Log("command 32 (channel %u stream %u: kind %u, size %u, %u fps, %u kbit/s, GOP %u s): result %d", chn, stream,
        au8Format[0], au8Format[2], au8Format[4], au8Format[6] | au8Format[7] << 8, au8Format[8], ret);
    return ret;
}

int MasterSim::ForceIdr(uint32_t chn, uint32_t stream) {
    int ret = PcivHostCaptureForceIFrame(chn, stream);
    Log("command 34 (channel %u stream %u): result %d", chn, stream, ret);
    return ret;
}

int MasterSim::SendTitleMsg(const void* pData, uint32_t u32Len, uint32_t u32Type, int chip) {
    if (chip < 0) return PcivHostSendCmd(pData, u32Len, u32Type);
    const uint32_t port = PcivGetChipTable()->u32HostTitlePort;
    if (port == 0) return -1;
    return PCIV_SendMsg(ChipOr(chip), static_cast<int>(port), u32Len, u32Type, pData);
}

int MasterSim::SendFont(const std::string& name, int chip) {
    CASCADE_FONT_NAME_S font{};
    std::memcpy(font.szName, name.data(), std::min(name.size(), sizeof(font.szName)));
    int ret = SendTitleMsg(&font, sizeof(font), CASCADE_MSG_FONT, chip);
    Log("font %s: %d", name.c_str(), ret);
    return ret;
}

int MasterSim::SendTitle(const Title& t, int chip) {
    CASCADE_TITLE_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.u32Chn = t.chn;
    const uint32_t head[2] = {t.index, t.show};
    const uint16_t place[4] = {t.x, t.y, t.width, t.height};
    const uint32_t colours[2] = {t.textColor, t.bgColor};
    std::memcpy(m.au8Title, head, sizeof(head));
    std::memcpy(m.au8Title + 8, place, sizeof(place));
    std::memcpy(m.au8Title + 16, colours, sizeof(colours));
    // Lines end in NUL each; the text field keeps what fits.
    std::string text = t.text;
    for (char& ch : text) {
        if (ch == '|') ch = '\0';
    }
    std::memcpy(m.szText, text.data(), std::min(text.size(), sizeof(m.szText)));
    for (int i = 0; i < CASCADE_SIZE_NUM; ++i) m.astStream[i].u32Size = t.sizes[i];
    int ret = SendTitleMsg(&m, sizeof(m), CASCADE_MSG_TITLE, chip);
    // Titles come every second: quiet, only a failed one has a line.
    if (ret != 0 || m_opt.printBeats) {
        Log("title channel %u index %u show %u at %u,%u %ux%u: %d", t.chn, t.index, t.show, t.x, t.y, t.width, t.height,
            ret);
    }
    return ret;
}

void MasterSim::SetDataSink(DataSink sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = std::move(sink);
}

void MasterSim::StartHeartbeats() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < SlaveChips().size(); ++i) {
        m_threads.emplace_back([this, i] { BeatLoop(static_cast<int>(i)); });
    }
}

void MasterSim::BeatLoop(int index) {
    const int chip = SlaveChips()[static_cast<size_t>(index)];
    while (!m_stop.load()) {
        SLAVE_HEARTBEAT_S beat;
        if (PcivGetChipTable()->u32HostHeartPort == 0) {
            // No port map sent yet: nothing can arrive.
            usleep(kPollMs * 1000);
            continue;
        }
        if (PcivHostStatusStep(index, kPollMs, &beat) != 1) continue;
        const uint64_t n = m_beats.fetch_add(1) + 1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // A simulator left running for days keeps only the latest arrival times.
            std::vector<uint64_t>& times = m_beatTimes[chip % kMaxChips];
            if (times.size() >= kMaxBeatTimes) times.erase(times.begin(), times.begin() + kMaxBeatTimes / 2);
            times.push_back(host::MonotonicUs());
        }
        if (m_opt.printBeats) {
            Log("heartbeat %llu from chip %d: motion 0x%08x blind 0x%08x", static_cast<unsigned long long>(n), chip,
                beat.u32MotionBitmap, beat.u32BlindBitmap);
        }
    }
}

std::vector<uint64_t> MasterSim::BeatTimes(int chip) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_beatTimes[ChipOr(chip) % kMaxChips];
}

bool MasterSim::WaitHeartbeats(uint64_t count, int timeoutMs) const {
    uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(timeoutMs);
    while (m_beats.load() < count) {
        if (host::MonotonicMs() >= deadline || Interrupted()) return false;
        usleep(5000);
    }
    return true;
}

void MasterSim::Stop() {
    m_stop.store(true);
    PcivHostStopThreads();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& r : m_readers) {
        if (r->base != nullptr) mem::Ram::Unmap(r->base, r->ring.size);
        r->base = nullptr;
        if (r->out != nullptr) std::fclose(r->out);
        r->out = nullptr;
    }
}

namespace {

bool ParseWords(std::istringstream& in, std::vector<uint32_t>* words) {
    std::string tok;
    while (in >> tok) {
        char* end = nullptr;
        unsigned long v = std::strtoul(tok.c_str(), &end, 0);
        if (end == tok.c_str() || *end != '\0') return false;
        words->push_back(static_cast<uint32_t>(v));
    }
    return true;
}

}  // namespace

int MasterSim::RunScript(std::istream& in) {
    std::string line;
    int number = 0;
    // The last line that ran a step: one whose wait ended without what it waited for, or that an
    // interrupt cut short, stops the script; once interrupted, no line runs.
    int ran = 0;
    const uint64_t missed = Missed();
    const auto stopsHere = [&] { return ran != 0 && (Missed() != missed || Interrupted()); };
    while (std::getline(in, line)) {
        if (stopsHere()) return ran;
        ++number;
        auto hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb)) continue;
        if (Interrupted()) return number;
        ran = number;
        if (verb == "font") {
            std::string name;
            if (!(words >> name)) {
                Log("line %d: font needs a name", number);
                return number;
            }
            SendFont(name);
            continue;
        }
        if (verb == "title") {
            // title CH INDEX SHOW X Y W H COLOUR BG MAIN SUB JPEG TEXT...
            uint32_t v[12];
            bool ok = true;
            for (uint32_t& x : v) {
                std::string tok;
                char* end = nullptr;
                ok = ok && (words >> tok) && (x = static_cast<uint32_t>(std::strtoul(tok.c_str(), &end, 0)), *end == '\0');
            }
            if (!ok) {
                Log("line %d: title needs 12 numbers and a text", number);
                return number;
            }
            Title t;
            t.chn = v[0];
            t.index = v[1];
            t.show = v[2];
            t.x = static_cast<uint16_t>(v[3]);
            t.y = static_cast<uint16_t>(v[4]);
            t.width = static_cast<uint16_t>(v[5]);
            t.height = static_cast<uint16_t>(v[6]);
            t.textColor = v[7];
            t.bgColor = v[8];
            for (int i = 0; i < 3; ++i) t.sizes[i] = v[9 + i];
            std::getline(words >> std::ws, t.text);
            SendTitle(t);
            continue;
        }
        if (verb == "decode") {
            // decode SLOT FILE [SEED]: an H.264 elementary stream through decoder slot SLOT.
            uint32_t slot = 0, seed = 1;
            std::string file;
            if (!(words >> slot >> file) || slot >= PCIV_VDEC_SLOT_NUM) {
                Log("line %d: decode needs a slot (0-7) and a file", number);
                return number;
            }
            words >> seed;
            int32_t group = -1;
            words >> group;
            std::ifstream in(file, std::ios::binary);
            std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) {
                Log("line %d: cannot read %s", number, file.c_str());
                return number;
            }
            DecodeOptions opt;
            opt.seed = seed;
            opt.vpssGroup = group;
            FeedDecodeSlot(*this, slot, stream, opt);
            continue;
        }
        std::vector<uint32_t> args;
        if (!ParseWords(words, &args)) {
            Log("line %d: bad number", number);
            return number;
        }
        // A command the slave refuses is logged and the session goes on; only a line that cannot be
        // run stops it.
        if (verb == "setup") {
            SendSetup(args.size() > 0 ? args[0] : 0, args.size() > 1 ? args[1] : 1920,
                      args.size() > 2 ? args[2] : 1080);
        } else if (verb == "time") {
            SendTime();
        } else if (verb == "cmd" || verb == "raw") {
            // cmd CODE [WORD...]: the words are the payload. raw CODE LEN [WORD...]: LEN bytes, zero-filled.
            size_t first = verb == "cmd" ? 1 : 2;
            if (args.size() < first) {
                Log("line %d: %s needs a code%s", number, verb.c_str(), verb == "raw" ? " and a length" : "");
                return number;
            }
            uint32_t len = verb == "cmd" ? static_cast<uint32_t>(4 * (args.size() - 1)) : args[1];
            if (len > PCIV_MSG_MAXLEN) {
                Log("line %d: payload of %u bytes is longer than a message", number, len);
                return number;
            }
            std::vector<uint8_t> payload(len, 0);
            for (size_t i = first; i < args.size() && 4 * (i - first) + 4 <= len; ++i) {
                std::memcpy(payload.data() + 4 * (i - first), &args[i], 4);
            }
            PCIV_MSG_S reply;
            int r = Command(args[0], payload.data(), len, &reply);
            if (PCIV_CmdIsAnswered(args[0])) {
                Log("command %u (%u bytes): result %d, reply length %u", args[0], len, r,
                    r == -1 ? 0u : reply.stMsgHead.u32MsgLen);
            } else {
                Log("command %u (%u bytes) sent: %d", args[0], len, r);
            }
        } else if (verb == "rings") {
            if (Watching(PCIV_HOST_PORT_VENC_NOTICE) || Watching(PCIV_HOST_PORT_JPEG_NOTICE)) {
                // A master set up again gives the slave its senders again, on the rings it reads.
                if (ResendRings() != 2) {
                    Log("line %d: the rings are provided already", number);
                    return number;
                }
                continue;
            }
            // The sender takes its buffer from one common pool block: the ring fits in the largest.
            uint32_t vsize = args.size() > 0 ? args[0] : (3u << 20);
            uint32_t jsize = args.size() > 1 ? args[1] : (1u << 20);
            Ring v{"video", AllocRing(vsize), vsize, PCIV_HOST_PORT_VENC_NOTICE, PCIV_HOST_PORT_VENC_ACK};
            Ring j{"jpeg", AllocRing(jsize), jsize, PCIV_HOST_PORT_JPEG_NOTICE, PCIV_HOST_PORT_JPEG_ACK};
            if (v.phys == 0 || j.phys == 0) {
                Log("line %d: the rings do not fit in the master's RAM", number);
                return number;
            }
            StartRing(10, v);
            StartRing(11, j);
        } else if (verb == "capture") {
            if (args.empty()) {
                Log("line %d: capture needs a channel", number);
                return number;
            }
            StartCapture(args[0]);
        } else if (verb == "format") {
            // format CH STREAM KIND RC SIZE QUALITY FPS FLAGS KBPS GOP
            if (args.size() != 10) {
                Log("line %d: format needs a channel, a stream and 8 format values", number);
                return number;
            }
            const uint8_t format[12] = {static_cast<uint8_t>(args[2]), static_cast<uint8_t>(args[3]),
                                        static_cast<uint8_t>(args[4]), static_cast<uint8_t>(args[5]),
                                        static_cast<uint8_t>(args[6]), static_cast<uint8_t>(args[7]),
                                        static_cast<uint8_t>(args[8] & 0xFF), static_cast<uint8_t>(args[8] >> 8),
                                        static_cast<uint8_t>(args[9]), 0, 0, 0};
            SetFormat(args[0], args[1], format);
        } else if (verb == "idr") {
            if (args.size() != 2) {
                Log("line %d: idr needs a channel and a stream", number);
                return number;
            }
            ForceIdr(args[0], args[1]);
        } else if (verb == "play" || verb == "stop" || verb == "resume" || verb == "flush" || verb == "pause" ||
                   verb == "direction") {
            // The playback commands on decode channel SLOT: play 70, stop 71, resume 72, flush 73,
            // pause SLOT [STILL] 74, direction SLOT DIR 69.
            static const std::pair<const char*, uint32_t> kCodes[] = {{"play", 70},  {"stop", 71},  {"resume", 72},
                                                                      {"flush", 73}, {"pause", 74}, {"direction", 69}};
            uint32_t code = 0;
            for (const auto& [name, c] : kCodes) {
                if (verb == name) code = c;
            }
            if (args.empty() || (code == 69 && args.size() < 2)) {
                Log("line %d: %s needs a slot%s", number, verb.c_str(), code == 69 ? " and a direction" : "");
                return number;
            }
            uint32_t payload[2] = {args[0], args.size() > 1 ? args[1] : 0};
            PlayState& play = Play();
            std::lock_guard<std::mutex> lock(play.mutex);
            int r = Command(code, payload, sizeof(payload));
            if ((code == 70 || code == 71) && args[0] < std::size(play.started)) play.started[args[0]] = code == 70;
            Log("command %u (%s %u) sent: %d", code, verb.c_str(), args[0], r);
        } else if (verb == "osd") {
            // osd CHN STREAM INDEX X Y W H [SHOW]: a title record through the OSD buffer.
            if (args.size() < 7) {
                Log("line %d: osd needs channel, stream, index, x, y, width and height", number);
                return number;
            }
            SendOsdRecord(*this, args[0], args[1], args[2], args[3], args[4], args[5], args[6],
                          args.size() > 7 ? args[7] : 1, static_cast<uint8_t>(number));
        } else if (verb == "sleep") {
            const uint64_t end = host::MonotonicMs() + (args.empty() ? 0 : args[0]);
            for (uint64_t now = host::MonotonicMs(); now < end && !Interrupted(); now = host::MonotonicMs())
                usleep(static_cast<useconds_t>(std::min<uint64_t>(end - now, kSleepSliceMs)) * 1000);
        } else if (verb == "restart") {
            RestartRings();
        } else if (verb == "frames" || verb == "pictures") {
            // frames CHN N [RESTARTS]: waits until channel CHN of the video ring has started its sequence
            // again RESTARTS times (default 0) and sent its frame of sequence number N - 1 since;
            // pictures: the same of the JPEG ring.
            const char* ringName = verb == "frames" ? "video" : "jpeg";
            if (args.size() < 2) {
                Log("line %d: %s needs a channel and a count", number, verb.c_str());
                return number;
            }
            const uint64_t restarts = args.size() > 2 ? args[2] : 0;
            // Progress is what the step waits for: a restart of the sequence while restarts are awaited,
            // then each frame. The wait gives up once none came for the time-out: frames of a channel
            // that does not start again never end it.
            uint64_t frames = 0, seqRestarts = 0;
            uint32_t lastSeq = 0;
            auto progressed = [&] {
                const SplitStats s = Split(ringName);
                const auto it = s.channels.find(args[0]);
                if (it == s.channels.end()) return false;
                const ChannelStats& c = it->second;
                const bool awaited =
                    c.seqRestarts > seqRestarts || (c.seqRestarts >= restarts && c.frames > frames);
                frames = c.frames;
                seqRestarts = c.seqRestarts;
                lastSeq = c.lastSeq;
                return awaited;
            };
            auto reached = [&] {
                return seqRestarts > restarts ||
                       (seqRestarts == restarts && frames > 0 && lastSeq + 1 >= args[1]);
            };
            progressed();
            const uint64_t limit = static_cast<uint64_t>(m_opt.replyTimeoutMs);
            uint64_t deadline = host::MonotonicMs() + limit;
            while (!reached() && host::MonotonicMs() < deadline && !Interrupted()) {
                usleep(10000);
                if (progressed()) deadline = host::MonotonicMs() + limit;
            }
            if (!reached()) {
                Missing(
                    "line %d: channel %u sent no frame %s (%llu came; frame %u after %llu restarts awaited)",
                    number, args[0], Cutoff().c_str(), static_cast<unsigned long long>(frames), args[1] - 1,
                    static_cast<unsigned long long>(restarts));
            }
        } else if (verb == "heartbeats") {
            // Each heartbeat within the time-out of the one before.
            const uint64_t want = Heartbeats() + (args.empty() ? 1 : args[0]);
            while (Heartbeats() < want) {
                const uint64_t next = Heartbeats() + 1;
                if (!WaitHeartbeats(next, m_opt.replyTimeoutMs)) {
                    Missing("line %d: heartbeat %llu did not come %s", number,
                            static_cast<unsigned long long>(next), Cutoff().c_str());
                    break;
                }
            }
        } else {
            Log("line %d: unknown verb '%s'", number, verb.c_str());
            return number;
        }
    }
    return stopsHere() ? ran : 0;
}

}  // namespace varnelle::master
