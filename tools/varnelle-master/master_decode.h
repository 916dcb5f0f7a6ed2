// The master's side of the decoder-stream slots and the OSD buffer: it cuts an H.264 elementary stream
// into access units, each into one to three fragments behind the 72-byte fragment header, writes them
// into a window block of the slave (allocated by command 14) and sends a notice for each; every
// acknowledgement must name the notice it answers, in order. OSD title records go the same way
// through a block of command 57 and the slot of command 58.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace varnelle::master {

class MasterSim;

// One access unit of an Annex-B stream: where it starts (with its first start code) and how long it is.
struct AccessUnit {
    size_t offset;
    size_t length;
};

// Splits an Annex-B H.264 stream into access units: a unit ends where an access unit delimiter,
// SPS, PPS, SEI or a slice with first_mb_in_slice 0 follows a slice of the unit. A 4-byte start code
// belongs whole to the unit it opens.
std::vector<AccessUnit> SplitAccessUnits(const uint8_t* data, size_t length);

// What can go wrong with a frame on purpose (a master's mistakes the slave must survive).
enum class BadNotice {
    kNone,
    kEndPastBuffer,  // the notice's end lies past the buffer
    kLongLength,     // the header's length runs past the notice
    kNoRecord,       // the header names channel 48
    kStartPastEnd,   // start above end
};

struct DecodeOptions {
    uint32_t seed = 1;              // fragment sizes
    uint32_t bufSize = 4u << 20;    // the window block the fragments go through
    uint32_t frameUs = 40000;       // pts step
    size_t maxFrames = SIZE_MAX;
    // Frames sent with a bad notice (index, kind); they are lost, nothing else is.
    std::function<BadNotice(size_t frame)> bad;
    int ackTimeoutMs = 0;  // since the last acknowledgement; 0: the simulator's reply time-out
    // The playback record: the processing group it names (-1 leaves it 0) and the clip's picture
    // size (0 leaves it 0).
    int32_t vpssGroup = -1;
    uint32_t width = 0, height = 0;
    // Each frame goes at its time from the first (pts order), as a recording plays, instead of as
    // fast as the slave makes room.
    bool realTime = false;
    // With a flag, the stream is sent again and again (time stamps going on) until the flag is set.
    const std::atomic<bool>* stop = nullptr;
    // Called once the slot plays, before the first frame (the window commands go here).
    std::function<void()> started;
    int chip = 0;  // the slave whose slot it is; 0: the first
};

struct DecodeResult {
    size_t frames = 0;        // access units sent
    size_t fragments = 0;
    size_t badFrames = 0;
    size_t ackMismatches = 0;  // an acknowledgement that does not answer the oldest open notice
    size_t ackMissing = 0;     // notices never acknowledged
    size_t acked = 0;          // acknowledgements that answered their notice
    bool setupFailed = false;
};

// Plays decoder slot `slot` (channel `first decoder channel + slot` on the link, decode and VDEC channel
// `slot` on the chip): commands 14 (the block), 55, 64 (the playback record: display channel and
// decoder `slot`, display enabled, hiding on device 8), 16 and 70 (followed by an answered command, so
// the decoder receives before the first frame), then every access unit of `stream` (once, or until
// `options.stop`). An acknowledgement that does not come within the time-out, or an interrupt, ends
// it with a line naming the notice it waited for.
DecodeResult FeedDecodeSlot(MasterSim& sim, uint32_t slot, const std::vector<uint8_t>& stream,
                            const DecodeOptions& options);

// A title record through the OSD buffer (commands 57 and 58 the first time): channel, stream, slot,
// placement, size, show; pixels of a pattern of `seed`. 0 when it was acknowledged as sent, else -1
// (an acknowledgement that did not come within the reply time-out has a line of its own).
int SendOsdRecord(MasterSim& sim, uint32_t chn, uint32_t stream, uint32_t index, uint32_t x, uint32_t y,
                  uint32_t width, uint32_t height, uint32_t show, uint8_t seed);

}  // namespace varnelle::master
