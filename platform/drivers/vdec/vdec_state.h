// Kernel-side state of the decoder driver, shared by its core, its stream path and its decode threads.
#pragma once

#include <sys/ioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/vdec/vdec_journal.h"
#include "platform/drivers/vdec/vdec_jpeg.h"

namespace varnelle::drivers::vdec {

using Clock = std::chrono::steady_clock;

// Pictures an H.264 channel keeps for GetFrame. Unbound, a full queue holds the decoder back until
// the user fetches; bound, the oldest gives way, as it does when no block is free.
inline constexpr size_t kMaxQueuedPics = 8;

inline constexpr uint64_t kNoStream = UINT64_MAX;

// Buffers of packets the decoder is done with that a channel keeps for the next packets: a sender
// then copies into memory it already has, where a fresh megabyte a packet costs its page faults.
inline constexpr size_t kSpareBuffers = 4;

struct Packet {
    std::vector<uint8_t> data;  // the bytes, then VideoDecoder::kPadding zero bytes
    uint32_t len;
    uint32_t frames;  // pictures that start in it
    uint64_t pts;
    bool endOfFrame;
    bool endOfStream;
};

struct Chn {
    bool created = false;
    bool receiving = false;
    VDEC_CHN_ATTR_S attr{};
    // The stream buffer: packets the decoder has not taken yet. The counts include the packet it
    // decodes, which has left the queue.
    std::deque<Packet> queue;
    uint32_t queuedBytes = 0;
    uint32_t queuedFrames = 0;
    bool decoding = false;  // the decode thread has a packet out of the queue
    // At most kSpareBuffers, together no larger than the stream buffer.
    std::vector<std::vector<uint8_t>> spare;
    bool outputWaits = false;  // the decode thread waits for a picture to be fetched or a block to be free
    uint64_t receivedFrames = 0;
    uint64_t decodedFrames = 0;  // pictures that came out of the decoder
    uint64_t streamErrors = 0;   // frames refused or damaged, pictures too large or of another format
    uint64_t droppedPics = 0;    // decoded pictures no one fetched, or with no block to go to
    // Decoded pictures: waiting for GetFrame, and fetched by the user and not yet given back.
    std::deque<HeldFrame> pics;
    std::vector<HeldFrame> fetched;
    // Bumped by stop, reset and destroy: ends every wait that began before.
    uint64_t generation = 0;
    // Bumped by creation, reset and destroy: what the decoder holds belongs to a stream that is gone.
    uint64_t stream = 0;
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
    // Per channel: room in the buffer, a JPEG picture or frame, user data, the decoder done with a
    // packet, stop, reset or destroy.
    mutable std::condition_variable changed[VDEC_MAX_CHN_NUM];
    // An H.264 or H.265 picture for GetFrame (also stop, reset, destroy).
    std::condition_variable pictures[VDEC_MAX_CHN_NUM];
    // Work for the decode thread: a packet, a picture taken or given back, reset, destroy, the hold.
    std::condition_variable work[VDEC_MAX_CHN_NUM];
    VDEC_MOD_PARAM_S modParam{};
    bool holdDecoding[VDEC_MAX_CHN_NUM] = {};  // test hook: the channel's decoder takes nothing while set
    VdecJournal journal;  // what each channel accepted and what happened to it

    ~State();
    // Ends a channel's waits (the caller holds the mutex).
    void Interrupt(int chn);
    // Drops the channel's stream and its unfetched pictures (reset, destroy).
    void DropStreamLocked(int chn);
    void DestroyLocked(int chn);

    // Stream path (vdec_stream.cpp).
    int Send(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);
    // The one place a packet joins a channel's stream.
    void AcceptLocked(int chn, vdec::Packet packet);
    // A buffer for a packet of `len` bytes: a spare one of the channel when it has one, else empty.
    std::vector<uint8_t> TakeSpareLocked(int chn, size_t len);
    // Keeps a packet's buffer for the channel's next packets while the spares have room.
    void KeepSpareLocked(int chn, std::vector<uint8_t> buf);
    int TakeFrame(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);
    int ReleaseFrameLocked(int chn, unsigned long request, void* arg);
    int GetUserData(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);

    // Decode threads (vdec_decode.cpp): one per channel number, started by its first H.264 or H.265
    // creation, kept until the driver goes.
    std::thread decoders[VDEC_MAX_CHN_NUM];
    bool stopping = false;
    // The stream whose decoder a channel's thread holds (with its reference pictures' blocks), or
    // kNoStream.
    uint64_t heldStream[VDEC_MAX_CHN_NUM];
    State();
    void StartDecoderLocked(int chn);
    // Waits until the channel's thread holds nothing of a stream that is gone (after reset, destroy).
    void SettleLocked(std::unique_lock<std::mutex>& lock, int chn);
    void DecodeLoop(int chn);

    // JPEG and MJPEG channels (vdec_jpeg.cpp).
    vdec::JpegChn jpeg[VDEC_MAX_CHN_NUM];
    uint32_t jpegBufSize[VDEC_MAX_CHN_NUM] = {};  // test hook: ring size of the next creation, 0: the attribute's
    bool JpegCreateLocked(int chn);
    void JpegDestroyLocked(int chn);
    // Handles the request when it belongs to the JPEG side (true, result in *ret).
    bool JpegRequest(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg, int* ret);
};

}  // namespace varnelle::drivers
