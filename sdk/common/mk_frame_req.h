// The frame request block shared by the video modules: a frame and a time-out, sent in one request.
// Range, null and open checks stay with each module, which orders them its own way.
#pragma once

#include "platform/dev/dev.h"
#include "sdk/common/mk_comm_video.h"

namespace mk {

// Hands `frame` to the driver with the caller's time-out; the driver's answer unchanged.
inline MK_S32 SendFrameRequest(int fd, unsigned long request, const VIDEO_FRAME_INFO_S& frame,
                               MK_S32 milliSec) {
    VIDEO_FRAME_REQ_S block{};
    block.stFrame = frame;
    block.s32MilliSec = milliSec;
    return varnelle::dev::Ioctl(fd, request, &block);
}

// Asks the driver for a frame; *got is what the block holds afterwards, zeros when the driver put
// nothing there (the block starts zeroed). The driver's answer unchanged.
inline MK_S32 GetFrameRequest(int fd, unsigned long request, MK_S32 milliSec, VIDEO_FRAME_INFO_S* got) {
    VIDEO_FRAME_REQ_S block{};
    block.s32MilliSec = milliSec;
    MK_S32 ret = varnelle::dev::Ioctl(fd, request, &block);
    *got = block.stFrame;
    return ret;
}

}  // namespace mk
