// Kernel-side state of the decoder driver, shared by its core and its stream path.
#pragma once

#include <sys/ioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/vdec/vdec_journal.h"
#include "platform/drivers/vdec/vdec_jpeg.h"

namespace varnelle::drivers::vdec {

using Clock = std::chrono::steady_clock;

struct Packet {
    std::vector<uint8_t> data;
    uint32_t frames;
};

struct Chn {
    bool created = false;
    bool receiving = false;
    VDEC_CHN_ATTR_S attr{};
    std::deque<Packet> queue;
    uint32_t queuedBytes = 0;
    uint32_t queuedFrames = 0;
    uint64_t receivedFrames = 0;
    uint64_t decodedFrames = 0;
    // Pace of the consumer: frames due since paceStart, counted from paceBase.
    Clock::time_point paceStart{};
    uint64_t paceBase = 0;
    // Bumped by stop, reset and destroy: ends every wait that began before.
    uint64_t generation = 0;
    int waiters = 0;
    VDEC_CHN_PARAM_S param{};
    VDEC_CHN_PARAM_EX_S paramEx{};
    VIDEO_FRAME_INFO_S userPic{};
    bool userPicSet = false;
    bool userPicEnabled = false;
    uint32_t userPicInstant = 0;
    uint32_t word29 = 0, word32 = 0, word34 = 0;
    VDEC_RECORD36_S record36{};
    std::deque<VDEC_USER_DATA_S> userData;  // put by tests, taken by GetUserData
    uint32_t userDataOut = 0;               // taken and not yet given back
};

}  // namespace varnelle::drivers::vdec

namespace varnelle::drivers {

struct VdecDriver::State {
    mutable std::mutex mutex;  // guards everything below
    vdec::Chn chns[VDEC_MAX_CHN_NUM];
    std::condition_variable changed[VDEC_MAX_CHN_NUM];  // room, stop, reset or destroy on a channel
    uint32_t rate[VDEC_MAX_CHN_NUM];
    VDEC_MOD_PARAM_S modParam{};
    VdecJournal journal;  // what each channel accepted and what happened to it

    State();
    // Ends a channel's waits (the caller holds the mutex).
    void Interrupt(int chn);
    void DestroyLocked(int chn);

    // Stream path (vdec_stream.cpp).
    void ConsumeLocked(int chn, vdec::Clock::time_point now);
    uint32_t DrainLocked(int chn, uint32_t maxFrames);
    int Send(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);
    int WaitForPicture(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);

    // JPEG and MJPEG channels (vdec_jpeg.cpp).
    vdec::JpegChn jpeg[VDEC_MAX_CHN_NUM];
    uint32_t jpegBufSize[VDEC_MAX_CHN_NUM] = {};  // test hook: ring size of the next creation, 0: the attribute's
    bool JpegCreateLocked(int chn);
    void JpegDestroyLocked(int chn);
    // Handles the request when it belongs to the JPEG side (true, result in *ret).
    bool JpegRequest(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg, int* ret);
};

}  // namespace varnelle::drivers
