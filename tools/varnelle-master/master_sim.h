// The master-chip simulator, built on the master-side link code: it plays chip 0 on the bus, creates
// the master's RAM file, waits for a slave, hands it its ports and set-up, sends the time, collects
// heartbeats, provides stream rings in its RAM and acknowledges what the slave pushes into them.
//
// One MasterSim per process at a time (the link code keeps process-wide state). Every wait has a
// time-out (the reply time-out, since the wait's last progress), so nothing here hangs on a slave that
// stops answering; a wait that ends without what it waited for says so in a line and counts in
// Missed(). Interrupt() ends every wait at once. Threads it starts are stopped by Stop() or the
// destructor.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/pci/pciv_host.h"
#include "tools/varnelle-master/stream_split.h"

namespace varnelle::mem {
class Ram;
}

namespace varnelle::master {

struct SimOptions {
    int slaveChip = 1;
    int slaves = 1;               // the master serves chips slaveChip .. slaveChip + slaves - 1
    int replyTimeoutMs = 3000;
    std::string outDir;           // received streams are written here when set
    bool printBeats = true;       // one line per heartbeat and per title
    std::ostream* log = nullptr;  // progress lines; null: standard output
};

// What the master has seen of one stream ring.
struct RingStats {
    uint64_t bytes = 0;
    uint64_t notices = 0;
    uint64_t wraps = 0;       // notices that started back at offset 0 after data further on
    uint64_t seqGaps = 0;     // notices whose sequence number was not the one expected
    uint64_t badNotices = 0;  // wrong type, short, or outside the ring: not acknowledged
};

// A ring in the master's RAM that one slave sender fills.
struct Ring {
    const char* name = "";
    uint32_t phys = 0;
    uint32_t size = 0;
    uint32_t noticePort = 0;
    uint32_t ackPort = 0;
    int chip = 0;  // the slave that fills it; 0: the first
};

// Called with each notice's data, in ring order, on the ring's reader thread.
using DataSink = std::function<void(const Ring& ring, const uint8_t* data, size_t length)>;

class MasterSim {
public:
    explicit MasterSim(SimOptions options);
    ~MasterSim();
    MasterSim(const MasterSim&) = delete;
    MasterSim& operator=(const MasterSim&) = delete;

    // Creates the master's RAM file (<bus>/ram-0, emptied) and starts listening as chip 0. Call once
    // $VARNELLE_BUS is set. 0 or -1.
    int Open();

    // Waits for every slave, then brings them up: command port, port map (command 86), PF window.
    // Messages left from an earlier slave on this bus are dropped first. 0 or -1 on time-out.
    int ConnectSlave(int timeoutMs);
    // The slave chips this master serves, the first first.
    std::vector<int> SlaveChips() const;

    // The master's settings for command 96: the 8-input product of the default session.
    static SLAVE_SYS_PARAM_S DefaultSysParams();
    // Command 96 with the current settings, then commands 24 (video standard) and 25 (resolution),
    // which wait for their replies. 0, or the first failure.
    int SendSetup(uint32_t u32Standard = 0, uint32_t u32Width = 1920, uint32_t u32Height = 1080);
    int SendTime();
    // Starts the main stream of capture channel `chn`: its input as the product wires it (commands 92,
    // 93 and 87), 28 (create), 31 (standard), 94 (the input to the channel's group), 32 (an enabled
    // 1080P format at 25 frames, 2048 kbit/s) and 30 (start). 0, or the first failing result.
    int StartCapture(uint32_t chn, uint32_t u32Standard = 0);

    // Sends one command: answered codes wait for the reply (its result, or -1 after the time-out);
    // others return the send's result. `pReply` may be null.
    int Command(uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply = nullptr);
    // The same to slave `chip` (0: the first).
    int CommandTo(int chip, uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply = nullptr);

    // Carves a ring of `size` bytes (page-aligned) out of the master's RAM. 0 when it does not fit.
    uint32_t AllocRing(uint32_t size);
    // Starts reading and acknowledging notices of `ring`, then sends the start command (10 for the
    // encoded-video ring, 11 for the JPEG ring) and returns its reply's result (-1 on time-out, or
    // when the ring's notice port is already watched).
    int StartRing(uint32_t u32Code, const Ring& ring);
    // Reading and acknowledging only (the sender is started some other way). False when the notice
    // port is already watched: two readers would split one stream between them.
    bool WatchRing(const Ring& ring);
    // Commands 10 and 11 again for the rings already read (a master that sets the slave up again):
    // how many were answered with 0.
    int ResendRings();
    // The master restarts: what reaches it of its rings is dropped, unacknowledged, until they stay quiet
    // for half a second (a line and a miss when they do not within the reply time-out); then, before it
    // returns, its readers start from nothing, as a new master's would: sequence 0 expected, no frames
    // seen, no statistics.
    // The next ResendRings gives the slave the same rings again. 0, or -1 when they did not go quiet.
    int RestartRings();
    bool Watching(uint32_t noticePort, int chip = 0) const;
    RingStats Stats(const char* name, int chip = 0) const;
    // The frame records read from a ring so far, per channel.
    SplitStats Split(const char* name, int chip = 0) const;
    void SetDataSink(DataSink sink);

    // Collects heartbeats, a thread per slave, until Stop().
    void StartHeartbeats();
    uint64_t Heartbeats() const { return m_beats.load(); }
    // Monotonic microseconds at which the latest heartbeats of slave `chip` (0: the first) arrived
    // (at least the last 8,192).
    std::vector<uint64_t> BeatTimes(int chip = 0) const;
    // Waits until at least `count` heartbeats arrived in all; false after `timeoutMs`.
    bool WaitHeartbeats(uint64_t count, int timeoutMs) const;

    // Command 32 with a 12-byte format record, and command 34 (an I frame), for a stream of a channel.
    int SetFormat(uint32_t chn, uint32_t stream, const uint8_t au8Format[12]);
    int ForceIdr(uint32_t chn, uint32_t stream);
    // The title channel: a font name (type 0, cut to 32 bytes) and a title text (type 1), to slave
    // `chip`, or to every slave for -1. In the text '|' separates lines. -1 while the port map has not
    // named the title port.
    int SendFont(const std::string& name, int chip = -1);
    struct Title {
        uint32_t chn = 0, index = 0, show = 1;
        uint16_t x = 0, y = 0, width = 0, height = 0;
        uint32_t textColor = 0xFFFFFF, bgColor = 0;
        uint32_t sizes[3] = {704, 352, 704};  // main, sub, JPEG picture size values
        std::string text;
    };
    int SendTitle(const Title& title, int chip = -1);

    // Runs a session script (see RunScript in the tool's help). 0, or the number of the first line that
    // cannot be run, whose wait ended without what it waited for, or that an interrupt cut short.
    int RunScript(std::istream& in);

    // Ends every wait of the simulator (replies, acknowledgements, frames, heartbeats, the slave) at once
    // and makes later ones give up without waiting, until the next Open(): the master is going. Safe in a
    // signal handler.
    static void Interrupt();
    bool Interrupted() const;
    // One line naming what a wait did not get; counted in Missed().
    void Missing(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Waits that ended without what they waited for, replies included.
    uint64_t Missed() const;
    // How a wait that gave up ended, for its line: "within N ms" (N: `timeoutMs`, 0 for the reply
    // time-out), or "before the interrupt".
    std::string Cutoff(int timeoutMs = 0) const;
    int ReplyTimeoutMs() const { return m_opt.replyTimeoutMs; }

    // Stops every thread this simulator started.
    void Stop();

    int SlaveChip() const { return m_opt.slaveChip; }
    // `chip`, or the first slave for 0.
    int ChipOr(int chip) const { return chip > 0 ? chip : m_opt.slaveChip; }
    // The OSD buffer the master feeds through commands 57 and 58 (none until the first record).
    struct OsdSlot {
        uint32_t addr = 0;   // as the master names it
        uint32_t local = 0;  // in the slave's RAM
        uint32_t pos = 0;
        uint32_t seq = 0;
        uint32_t ackSeq = 0;
    };
    OsdSlot& Osd() { return m_osd; }
    // The master's copy of the decode channels' started flags, which every command 64 carries whole:
    // a slot's 64 to 70 go out under the mutex, so no other slot's 64 clears the flag a 70 set.
    struct PlayState {
        std::mutex mutex;
        uint32_t started[48] = {};
    };
    PlayState& Play(int chip = 0) { return m_play[ChipOr(chip) % kMaxChips]; }

    // One line of progress.
    void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

private:
    static constexpr int kMaxChips = 32;
    struct RingReader;
    void ReadRing(RingReader* reader);
    void BeatLoop(int index);
    void LogV(const char* fmt, va_list ap);
    int SendTitleMsg(const void* pData, uint32_t u32Len, uint32_t u32Type, int chip);

    SimOptions m_opt;
    std::unique_ptr<mem::Ram> m_ram;
    uint32_t m_nextPhys;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_beats{0};
    std::atomic<uint64_t> m_missed{0};  // waits of the simulator's own, replies not included
    mutable std::mutex m_mutex;  // guards m_beatTimes, m_readers and their stats, m_sink, m_nextPhys
    std::vector<uint64_t> m_beatTimes[kMaxChips];
    std::vector<std::unique_ptr<RingReader>> m_readers;
    DataSink m_sink;
    std::vector<std::thread> m_threads;
    std::mutex m_logMutex;  // one line at a time
    OsdSlot m_osd;          // the thread that runs the script only
    std::set<int32_t> m_viDevs;  // capture devices enabled so far (the script's thread)
    PlayState m_play[kMaxChips];
};

}  // namespace varnelle::master
