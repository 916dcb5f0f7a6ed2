// The stream path: packets into a channel's buffer, the consumer that empties it at the channel's
// pace, and the waits of senders and picture takers.
#include <algorithm>

#include "platform/drivers/vdec/vdec_state.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VDEC, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr int kErrPerm = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);
constexpr int kErrEmpty = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_EMPTY);
constexpr int kErrFull = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_FULL);

using vdec::Clock;

void PopFront(vdec::Chn& c) {
    const vdec::Packet& p = c.queue.front();
    c.queuedBytes -= static_cast<uint32_t>(p.data.size());
    c.queuedFrames -= p.frames;
    c.decodedFrames += p.frames;
    c.queue.pop_front();
}

// Restarts the pace when the queue is empty, so idle time is not banked as frames due.
void RestartPaceIfEmpty(vdec::Chn& c, Clock::time_point now) {
    if (!c.queue.empty()) return;
    c.paceStart = now;
    c.paceBase = c.decodedFrames;
}

// Waits until `wake` (or without limit when it is max), counting the caller as a waiter.
void Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, vdec::Chn& c, Clock::time_point wake) {
    ++c.waiters;
    if (wake == Clock::time_point::max()) {
        cv.wait(lock);
    } else {
        cv.wait_until(lock, wake);
    }
    --c.waiters;
}

Clock::time_point Deadline(Clock::time_point now, int32_t ms) {
    return ms < 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(ms);
}

}  // namespace

uint32_t CountVdecFrames(uint32_t payloadType, const uint8_t* data, size_t len, bool endOfFrame) {
    if (payloadType != PT_H264 && payloadType != PT_H265) return endOfFrame ? 1 : 0;
    if (data == nullptr) return 0;
    uint32_t frames = 0;
    size_t i = 0;
    while (i + 3 < len) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
            ++i;
            continue;
        }
        size_t h = i + 3;  // the NAL unit header
        if (payloadType == PT_H264) {
            // Slices (1), partition A (2) and IDR slices (5) open with first_mb_in_slice, ue(v), so 0
            // is a single 1 bit; partitions B and C open with a slice id instead.
            unsigned type = data[h] & 0x1F;
            bool slice = type == 1 || type == 2 || type == 5;
            if (slice && h + 1 < len && (data[h + 1] & 0x80)) ++frames;
        } else {
            // VCL types 0-31; first_slice_segment_in_pic_flag follows the two-byte header.
            unsigned type = (data[h] >> 1) & 0x3F;
            if (type <= 31 && h + 2 < len && (data[h + 2] & 0x80)) ++frames;
        }
        i = h;
    }
    return frames;
}

void VdecDriver::State::ConsumeLocked(int chn, Clock::time_point now) {
    vdec::Chn& c = chns[chn];
    if (c.queue.empty() || rate[chn] == 0) {
        // Paused or idle: the pace counts from now.
        c.paceStart = now;
        c.paceBase = c.decodedFrames;
        return;
    }
    auto elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(now - c.paceStart).count();
    uint64_t due = c.paceBase + static_cast<uint64_t>(std::max<int64_t>(elapsedUs, 0)) * rate[chn] / 1000000;
    bool took = false;
    while (!c.queue.empty() && c.decodedFrames < due) {
        PopFront(c);
        took = true;
    }
    RestartPaceIfEmpty(c, now);
    if (took) changed[chn].notify_all();
}

uint32_t VdecDriver::State::DrainLocked(int chn, uint32_t maxFrames) {
    vdec::Chn& c = chns[chn];
    uint64_t before = c.decodedFrames;
    while (!c.queue.empty() && c.decodedFrames - before < maxFrames) PopFront(c);
    RestartPaceIfEmpty(c, Clock::now());
    changed[chn].notify_all();
    return static_cast<uint32_t>(c.decodedFrames - before);
}

int VdecDriver::State::Send(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    VdecTimedReq<const VDEC_STREAM_S> req;
    VDEC_STREAM_S st;
    if (CopyRequestIn(request, arg, &req) != 0 || dev::CopyIn(&st, req.pstRecord) != 0) return -1;
    if (st.u32Len > 0 && st.pu8Addr == nullptr) return dev::Fail(EFAULT);
    if (req.s32MilliSec < -1) return kErrParam;
    vdec::Chn& c = chns[chn];
    if (!c.receiving) return kErrPerm;
    if (st.u32Len > c.attr.u32BufSize) return kErrParam;  // could never fit
    const uint64_t generation = c.generation;
    const uint32_t type = c.attr.enType;

    // The caller's bytes are copied and parsed outside the lock.
    lock.unlock();
    vdec::Packet packet{std::vector<uint8_t>(st.pu8Addr, st.pu8Addr + st.u32Len), 0};
    packet.frames = CountVdecFrames(type, packet.data.data(), packet.data.size(), st.bEndOfFrame != 0);
    lock.lock();

    const Clock::time_point deadline = Deadline(Clock::now(), req.s32MilliSec);
    for (;;) {
        Clock::time_point now = Clock::now();
        ConsumeLocked(chn, now);
        // Stopped, reset or destroyed since the call began: the packet belongs to a stream that is gone.
        if (c.generation != generation) return c.created ? kErrPerm : kErrUnexist;
        if (c.queuedBytes + st.u32Len <= c.attr.u32BufSize) break;
        if (req.s32MilliSec == 0 || now >= deadline) return kErrFull;
        Clock::time_point wake = deadline;
        if (rate[chn] > 0 && !c.queue.empty()) {
            auto nextUs = (c.decodedFrames + 1 - c.paceBase) * 1000000 / rate[chn];
            wake = std::min(wake, c.paceStart + std::chrono::microseconds(nextUs));
        }
        Wait(lock, changed[chn], c, wake);
    }
    RestartPaceIfEmpty(c, Clock::now());
    journal.Packet(chn, st, packet.data.data());
    c.queuedBytes += st.u32Len;
    c.queuedFrames += packet.frames;
    c.receivedFrames += packet.frames;
    c.queue.push_back(std::move(packet));
    return 0;
}

int VdecDriver::State::WaitForPicture(std::unique_lock<std::mutex>& lock, int chn, unsigned long request,
                                      void* arg) {
    const bool userData = request == mk::vdec::kGetUserData;
    int32_t ms;
    void* record;
    if (userData) {
        VdecTimedReq<VDEC_USER_DATA_S> req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        ms = req.s32MilliSec;
        record = req.pstRecord;
    } else {
        VdecTimedReq<VIDEO_FRAME_INFO_S> req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        ms = req.s32MilliSec;
        record = req.pstRecord;
    }
    if (record == nullptr) return dev::Fail(EFAULT);
    if (ms < -1) return kErrParam;
    // Decoding is not simulated, so no picture ever comes, and user data only when a test puts it: the
    // wait ends at its time-out or when the channel is stopped, reset or destroyed.
    vdec::Chn& c = chns[chn];
    const uint64_t generation = c.generation;
    const Clock::time_point deadline = Deadline(Clock::now(), ms);
    for (;;) {
        if (userData && !c.userData.empty()) {
            if (dev::CopyOut(record, c.userData.front()) != 0) return -1;
            c.userData.pop_front();
            ++c.userDataOut;
            return 0;
        }
        if (ms == 0 || c.generation != generation || Clock::now() >= deadline) return kErrEmpty;
        Wait(lock, changed[chn], c, deadline);
    }
}

}  // namespace varnelle::drivers
