// The master's reading of what the slave pushes into its rings: each notice's data is a run of frame
// records (a 48-byte stream header, the payload, zero padding to a multiple of 4). The splitter checks
// every header (magic, payload type, padded length, that the record lies inside the notice), follows
// the sequence numbers and time stamps per channel, and writes each H.264 channel's payload to
// venc-<chn>.h264 and each JPEG picture to jpeg-<chn>-<n>.jpg under its folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace varnelle::master {

// What the master has seen of one channel of a ring.
struct ChannelStats {
    uint64_t frames = 0;
    uint64_t bytes = 0;         // payload bytes
    uint64_t seqGaps = 0;       // frames whose sequence number was not the previous one + 1
    uint64_t seqRestarts = 0;   // sequence numbers that started again at 0 (a rebuilt encoder channel)
    uint64_t ptsBackwards = 0;  // time stamps not later than the previous frame's
    uint64_t keyFrames = 0;     // H.264 frames that begin with a sequence parameter set
    uint32_t firstSeq = 0;
    uint32_t lastSeq = 0;
    uint64_t lastPts = 0;
    uint64_t firstPts = 0;
    uint32_t lastDataType = 0;
    // Time stamp and data type of each frame in arrival order (the first kFrameLog of them).
    std::vector<std::pair<uint64_t, uint32_t>> log;
    // Time stamp and arrival (monotonic microseconds, the clock of the slave's time stamps on this
    // machine) of each frame, the first kFrameLog of them.
    std::vector<std::pair<uint64_t, uint64_t>> arrivals;
    static constexpr size_t kFrameLog = 1u << 16;
};

struct SplitStats {
    uint64_t records = 0;
    uint64_t badRecords = 0;  // a header that failed a check; the rest of its notice is skipped
    std::map<uint32_t, ChannelStats> channels;
};

// One frame record as read from a notice.
struct StreamRecord {
    uint32_t payloadType;
    uint32_t length;
    uint32_t paddedLength;
    uint32_t seq;
    uint64_t pts;
    uint32_t chn;
    uint32_t frameEnd;
    uint32_t dataType;
    const uint8_t* payload;
};

// Reads the record at `data` (`size` bytes left in the notice): the number of bytes it takes (48 +
// padded length), or 0 when the header is bad or the record runs past the notice.
size_t ParseStreamRecord(const uint8_t* data, size_t size, StreamRecord* pRecord);

class StreamSplitter {
public:
    // `outDir` empty: nothing is written, only counted. `jpeg` names what the ring carries.
    StreamSplitter(std::string outDir, bool jpeg);
    ~StreamSplitter();
    StreamSplitter(const StreamSplitter&) = delete;
    StreamSplitter& operator=(const StreamSplitter&) = delete;

    // Takes the data of one notice. Any thread; one notice at a time.
    void Feed(const uint8_t* data, size_t size);
    SplitStats Stats() const;

private:
    void Take(const StreamRecord& r, uint64_t arrivedUs);

    std::string m_outDir;
    bool m_jpeg;
    mutable std::mutex m_mutex;  // guards everything below
    SplitStats m_stats;
    std::map<uint32_t, FILE*> m_files;  // H.264 file per channel
};

}  // namespace varnelle::master
