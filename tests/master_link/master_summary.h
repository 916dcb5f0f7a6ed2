// Reading the master simulator tool's log in the process-level tests: the results of its capture
// steps and its closing summary of the video ring.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace varnelle::testing {

// The result each "capture channel N main stream (input I): R" line ends with, in order.
inline std::vector<int> CaptureResults(const std::string& log) {
    std::vector<int> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("main stream (input");
        const size_t colon = line.rfind("): ");
        if (at == std::string::npos || colon == std::string::npos || colon < at) continue;
        out.push_back(std::atoi(line.c_str() + colon + 3));
    }
    return out;
}

struct ChannelSummary {
    uint64_t frames = 0, gaps = 0, restarts = 0;
    uint32_t firstSeq = 0;
};

// A ring's line (its notices and their sequence gaps) and its channels' lines.
struct RingSummary {
    uint64_t notices = 0, noticeGaps = 0;
    std::map<unsigned, ChannelSummary> channels;
};
using VideoSummary = RingSummary;

// The summary of ring `name` ("video" or "jpeg").
inline RingSummary ReadRingSummary(const std::string& log, const std::string& name) {
    RingSummary out;
    const std::string head = name + " ring: ";
    const size_t at = log.find(head);
    if (at == std::string::npos) return out;
    std::istringstream in(log.substr(at));
    std::string line;
    std::getline(in, line);
    uint64_t bytes = 0, wraps = 0;
    std::sscanf(line.c_str() + head.size(), "%" SCNu64 " bytes in %" SCNu64 " notices, %" SCNu64 " wraps, %" SCNu64,
                &bytes, &out.notices, &wraps, &out.noticeGaps);
    while (std::getline(in, line)) {
        const size_t c = line.find("channel ");
        unsigned chn;
        uint64_t payload, keys, backwards;
        ChannelSummary s;
        if (c != std::string::npos &&
            std::sscanf(line.c_str() + c,
                        "channel %u: %" SCNu64 " frames, %" SCNu64 " bytes, %" SCNu64 " key frames, %" SCNu64
                        " sequence gaps, %" SCNu64 " restarts, %" SCNu64
                        " time stamps not rising, first sequence %u",
                        &chn, &s.frames, &payload, &keys, &s.gaps, &s.restarts, &backwards,
                        &s.firstSeq) == 8) {
            out.channels[chn] = s;
        } else if (line.find(head) == std::string::npos) {
            break;
        }
    }
    return out;
}

inline VideoSummary ReadVideoSummary(const std::string& log) {
    return ReadRingSummary(log, "video");
}

}  // namespace varnelle::testing
