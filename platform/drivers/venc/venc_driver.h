// /dev/venc: the simulated video encoder. Channels are made from their attribute record; each has a
// stream ring in simulated RAM (page-aligned, whole pages) that the SDK maps through a second
// descriptor as a mirror (the ring twice back to back).
//
// A channel that receives encodes the pictures that reach it through its binding ({8, 0, channel}, as
// a frame sink) or that are sent with SendFrame: real H.264 (openh264) or JPEG (libjpeg). Its rate
// control's frame rates thin the received pictures (its destination rate of every source rate's);
// the rest wait in a short queue (a full queue lets its oldest go, counted missed) for the encoder
// threads. A picture of another size is scaled to the channel's picture size (a processing channel in
// auto mode is asked for that size, so it rarely is); the channel's regions are drawn into the
// encoder's own copy. The stream keeps the pictures' time stamps. A stopped channel, or one unbound,
// drops the pictures it queued.
//
// A frame is a run of packs, each a 64-byte driver header followed by one NAL unit (or one JPEG
// picture); a frame that does not fit the free ring is dropped and counted, never written over
// unreleased data. Frames are released in order only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sdk/venc/venc_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/venc (once).
void InstallVencDriver();

// The 64-byte header the driver keeps in front of every pack in the ring.
struct VencPackHeader {
    uint32_t magic;  // kVencPackMagic
    uint32_t len;    // pack bytes, this header included
    uint32_t seq;    // the frame's sequence number
    uint32_t index;  // the pack's place in its frame
    uint64_t pts;
    uint32_t dataType;
    uint32_t dataOffset;
    uint32_t frameEnd;
    uint32_t chn;
    uint32_t reserved[6];
};
static_assert(sizeof(VencPackHeader) == VENC_STREAM_OFFSET);
constexpr uint32_t kVencPackMagic = 0x434E4556;  // "VENC"

// Test-side view of the driver's state.
namespace venc_view {

struct Channel {
    bool receiving = false;
    bool sourceBound = false;
    VENC_CHN_ATTR_S attr{};
    uint32_t ringPhys = 0;
    uint32_t ringDrvAddr = 0;
    uint32_t ringSize = 0;
    uint64_t writePos = 0;    // bytes written since creation, less those a reset dropped
    uint64_t releasePos = 0;  // bytes released since creation
    uint32_t queuedFrames = 0;   // waiting to be fetched
    uint32_t fetchedFrames = 0;  // fetched, not yet released
    uint64_t encodedFrames = 0;  // put into the ring
    uint64_t droppedFrames = 0;  // encoded but found no room
    uint64_t missedFrames = 0;   // received but never encoded (the queue was full, or the picture unreadable)
    uint64_t receivedFrames = 0;  // pictures taken from the binding
    uint64_t thinnedFrames = 0;   // pictures the rate control let go
    uint32_t pendingPictures = 0;  // pictures waiting for the encoder thread
    uint64_t keyFrames = 0;
    int getWaiters = 0;  // gets waiting in the driver for a frame
    int vbPool = -1;
    uint32_t frameRate = 0;
    uint32_t gop = 0;
    std::vector<uint8_t> lastUserData;
    int thread = 0;  // the encoder thread of its received pictures
};

// The channel's state; nothing when the driver is not installed or the channel does not exist.
std::optional<Channel> Get(int chn);
// Encodes `frames` test pictures (core/pattern.h) on the calling thread, whether or not the channel
// receives: the pattern of its source's number, or its own when unbound. Frames put into the ring.
int PushFrames(int chn, int frames);
// CPU time the encoder threads have used, in microseconds.
uint64_t EncoderThreadCpuUs();

}  // namespace venc_view

}  // namespace varnelle::drivers
