// The master's default session: a product at work, as the recorder's main program drives its slave.
// The product (the simulator's default settings) is an 8-input 1080P hybrid recorder (type 656) with four playback decoders whose first
// decoder channel is 0, so that the playback records, the decoder channels and the decoder groups line
// up. The session sets the slave up, provides both rings, starts every capture channel's main (D1
// H.264), sub (CIF H.264) and JPEG streams with a name and a time-stamp title each, lays the inputs out
// on the display (top half), plays a clip through every decoder slot at its real pace into a playback
// window (bottom half), switches motion and blind detection on, and keeps the time titles going until
// the session's time is up. The report says what flowed and, where nothing did, why.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/pci/pciv_proto.h"

namespace varnelle::master {

class MasterSim;

// How a product wires its inputs: the capture channel and device of logical channel `chn`, as the
// master's own table knows them (-1 when it does not know the system type).
struct CaptureInput {
    int32_t viChn, viDev;
};
CaptureInput InputOf(uint32_t u32SysType, uint32_t chn);

// The first decoder processing group of a product whose inputs take two groups each (the decoders'
// groups follow the inputs' two sets).
int32_t FirstDecoderGroup(const SLAVE_SYS_PARAM_S& p);

struct SessionOptions {
    int durationS = 10;
    // Where the clips are made with ffmpeg (and kept); empty: the decoder slots stay idle.
    std::string clipDir;
    // A TrueType font the slave finds as /data/Fonts/<name>.ttf under its root.
    std::string font = "DejaVuSans";
    int screenWidth = 1920, screenHeight = 1080;
    // Called once every slave is at work, when the session's time starts (measurements begin here).
    std::function<void()> running;
};

// One stream of a capture channel as the master saw it.
struct StreamReport {
    uint32_t chn = 0;        // logical channel
    uint32_t type = 0;       // 0 main, 1 sub, 4 JPEG
    uint32_t ringChn = 0;    // the channel number its records carry
    uint32_t fps = 0;        // the rate asked for
    uint32_t kbps = 0;
    uint32_t width = 0, height = 0;
    uint64_t startUs = 0;    // when its start command was answered
    uint64_t frames = 0, bytes = 0, keyFrames = 0, seqGaps = 0;
    double seconds = 0;      // from the start's answer to the end of the session
    double due = 0;          // frames due in that time at its rate
    std::string refused;     // the first command the slave refused for it, with its answer
    std::vector<uint64_t> latencyUs;  // per frame, from its time stamp to its arrival at the master
};

struct SlotReport {
    uint32_t slot = 0;
    std::string clip;
    uint32_t width = 0, height = 0;
    size_t frames = 0, fragments = 0, acked = 0, ackMismatches = 0, ackMissing = 0;
    bool setupFailed = false;
    int32_t group = 0;
    uint16_t window[4] = {};  // left, top, right, bottom on the screen
};

struct SessionReport {
    int chip = 0;
    std::vector<StreamReport> streams;
    std::vector<SlotReport> slots;
    uint16_t splitWindows[32][4] = {};  // per logical channel, the input's window
    uint32_t channels = 0;              // logical channels 0 .. channels - 1
    uint64_t heartbeats = 0;
    double beatP50Ms = 0, beatP99Ms = 0, beatMaxMs = 0;
    std::vector<std::string> problems;  // set-up steps the slave refused
    std::string clipProblem;            // why no clip was played, if none was
    double seconds = 0;
};

// Runs the session on a connected simulator (heartbeats started) with every slave it serves, a report
// each, in the order of MasterSim::SlaveChips; MasterSim::Interrupt ends it early. 0, or -1 when the
// set-up failed so badly that nothing could run.
int RunProductSessions(MasterSim& sim, const SessionOptions& options, std::vector<SessionReport>* pReports);
// The same for a simulator of one slave.
int RunProductSession(MasterSim& sim, const SessionOptions& options, SessionReport* pReport);

// The report as a person reads it, one line each, through the simulator's log.
void PrintSessionReport(MasterSim& sim, const SessionReport& report);

}  // namespace varnelle::master
