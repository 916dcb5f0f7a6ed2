// The JPEG and MJPEG channels of /dev/vdec. Such a channel has a stream ring in simulated RAM (its
// working buffer, request 49) into which every picture sent is stored as it comes, wrapping at the
// ring's end, followed by 15 zero bytes. The user-space decoder takes pictures out in order (44, never
// waiting), gives them back in the same order (45), asks for frame buffers (46: a block of the decoder's
// module pools, else of the common pools), gives them back as frames (47) and reports each picture's
// outcome (50). Decoded frames go to the receivers bound to the channel (frame_router.h) and wait for
// GetFrame. An unbound channel lends no picture and no buffer while eight frames wait for GetFrame, so
// the decoder waits for the user; a bound channel, whose frames nobody may fetch, keeps at most eight
// and drops its oldest unfetched frame when it needs a buffer, rather than stall.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/drivers/core/video_frames.h"
#include "sdk/common/mk_comm_video.h"
#include "sdk/jpegd/jpegd_ioctl.h"

namespace varnelle::drivers {

// What a test sees of a JPEG channel.
struct VdecJpegView {
    bool active;  // the channel is a JPEG or MJPEG channel
    uint32_t ringPhys;
    uint32_t ringSize;
    uint32_t writeOffset;  // where the next picture goes
    uint32_t storedPictures;  // in the ring, taken or not
    uint32_t takenPictures;   // out with the decoder
    uint32_t buffersOut;      // frame buffers handed out and not given back
    uint32_t framesQueued;    // waiting for GetFrame
    uint32_t framesFetched;   // handed to GetFrame and not released
    uint64_t droppedFrames;
    uint64_t reportCount[5];  // per error type 0 to 4
    std::vector<JPEGD_REPORT_S> reports;  // the latest, oldest first
    JPEGD_FRAME_S lastFrame;  // the last frame record given back (kept when the channel goes)
    uint32_t frameBufWaiters;  // frame-buffer requests held by the test hook
};

namespace vdec {

inline bool IsJpegType(uint32_t type) { return type == PT_JPEG || type == PT_MJPEG; }

// The decoder's user id among the module pools.
inline constexpr int kPoolUser = 4;
// Reports kept for the test view.
inline constexpr size_t kJpegReportsKept = 64;

struct JpegPicture {
    uint64_t pos;  // ring position of its first byte (counted from the ring's creation)
    uint32_t len;  // with the trailer
    uint64_t pts;
};

struct JpegChn {
    bool active = false;
    uint32_t ringPhys = 0;
    uint32_t ringSize = 0;
    uint8_t* ring = nullptr;  // the driver's mapping
    uint64_t writePos = 0;    // end of the newest picture
    uint64_t readPos = 0;     // start of the oldest picture still stored
    std::deque<JpegPicture> pictures;
    size_t taken = 0;  // the oldest `taken` pictures are out with the decoder
    std::vector<uint32_t> buffers;  // blocks handed out as frame buffers
    std::deque<HeldFrame> frames;   // decoded, waiting for GetFrame
    std::vector<HeldFrame> fetched;  // handed to GetFrame and not given back
    uint64_t dropped = 0;
    uint64_t reportCount[5] = {};
    std::deque<JPEGD_REPORT_S> reports;
    JPEGD_FRAME_S lastFrame{};
    bool holdFrameBufs = false;  // test hook: frame-buffer requests wait while set
    uint32_t frameBufWaiters = 0;
};

}  // namespace vdec
}  // namespace varnelle::drivers
