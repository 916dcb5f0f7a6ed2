// The stream path of the H.264 and H.265 channels: packets into a channel's buffer, the pictures out of
// it, and the waits of senders and picture takers.
#include <algorithm>
#include <cstring>

#include "platform/drivers/vdec/vdec_codec.h"
#include "platform/drivers/vdec/vdec_state.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VDEC, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr int kErrPerm = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);
constexpr int kErrEmpty = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_EMPTY);
constexpr int kErrFull = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_FULL);

using vdec::Clock;

Clock::time_point Deadline(int32_t ms) {
    return ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
}

// Waits for a change on the channel until `deadline` (none: max), counted as a waiter.
void Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, vdec::Chn& c, Clock::time_point deadline) {
    ++c.waiters;
    if (deadline == Clock::time_point::max()) {
        cv.wait(lock);
    } else {
        cv.wait_until(lock, deadline);
    }
    --c.waiters;
}

// The request block of a waiting request: the record's address and the time-out, checked.
template <typename T>
int TimedRequest(unsigned long request, void* arg, T** record, int32_t* ms) {
    VdecTimedReq<T> req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (req.pstRecord == nullptr) return dev::Fail(EFAULT);
    if (req.s32MilliSec < -1) return kErrParam;
    *record = req.pstRecord;
    *ms = req.s32MilliSec;
    return 0;
}

// Whether the NAL unit whose header begins at `h` opens a picture.
bool OpensPicture(uint32_t payloadType, const uint8_t* data, size_t len, size_t h) {
    if (payloadType == PT_H264) {
        // Slices (1), partition A (2) and IDR slices (5) open with first_mb_in_slice, ue(v), so 0 is a
        // single 1 bit; partitions B and C open with a slice id instead.
        unsigned type = data[h] & 0x1F;
        bool slice = type == 1 || type == 2 || type == 5;
        return slice && h + 1 < len && (data[h + 1] & 0x80);
    }
    if (payloadType == PT_H265) {
        // VCL types 0-31; first_slice_segment_in_pic_flag follows the two-byte header.
        unsigned type = (data[h] >> 1) & 0x3F;
        return type <= 31 && h + 2 < len && (data[h + 2] & 0x80);
    }
    return false;
}

// Lanes of the pair scan; GCC and Clang lower the vector compares to the machine's SIMD.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

Bytes16 Load16(const uint8_t* p) {
    Bytes16 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Whether a zero byte follows a zero byte anywhere in p[0..64]: a start code needs two.
bool HasZeroPair(const uint8_t* p) {
    const Bytes16 zero = {};
    auto pairs = [&](const uint8_t* q) { return (Load16(q) == zero) & (Load16(q + 1) == zero); };
    const auto any = pairs(p) | pairs(p + 16) | pairs(p + 32) | pairs(p + 48);
    uint64_t half[2];
    std::memcpy(half, &any, sizeof(half));
    return (half[0] | half[1]) != 0;
}

}  // namespace

uint32_t CountVdecFrames(uint32_t payloadType, const uint8_t* data, size_t len) {
    if (data == nullptr) return 0;
    uint32_t frames = 0;
    // i is where the 00 00 01 of a start code may begin, and a NAL header must follow it. 64 places
    // at a time are ruled out while no two zeros meet: in a coded stream they meet only at
    // start codes and emulation prevention, so a megabyte packet is read about as fast as memory goes.
    size_t i = 0;
    while (i + 3 < len) {
        if (i + 65 <= len && !HasZeroPair(data + i)) {
            i += 64;
            continue;
        }
        const size_t blockEnd = std::min(i + 64, len - 3);
        while (i < blockEnd) {
            if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
                ++i;
                continue;
            }
            if (OpensPicture(payloadType, data, len, i + 3)) ++frames;
            i += 3;  // the next start code begins at the header at the earliest
        }
    }
    return frames;
}

int VdecDriver::State::Send(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    const VDEC_STREAM_S* record;
    int32_t ms;
    if (int ret = TimedRequest(request, arg, &record, &ms); ret != 0) return ret;
    VDEC_STREAM_S st;
    if (dev::CopyIn(&st, record) != 0) return -1;
    if (st.u32Len > 0 && st.pu8Addr == nullptr) return dev::Fail(EFAULT);
    vdec::Chn& c = chns[chn];
    if (!c.receiving) return kErrPerm;
    if (st.u32Len > c.attr.u32BufSize) return kErrParam;  // could never fit
    // An empty packet carries only its flags; one with neither is nothing to the decoder.
    if (st.u32Len == 0 && st.bEndOfStream == 0) return 0;
    const uint64_t generation = c.generation;
    const uint32_t type = c.attr.enType;

    // The caller's bytes are copied and parsed outside the lock.
    const size_t padded = size_t{st.u32Len} + vdec::VideoDecoder::kPadding;
    vdec::Packet packet{TakeSpareLocked(chn, padded), st.u32Len, 0, st.u64PTS, st.bEndOfFrame != 0,
                        st.bEndOfStream != 0};
    lock.unlock();
    packet.data.reserve(padded);
    packet.data.assign(st.pu8Addr, st.pu8Addr + st.u32Len);
    packet.data.resize(padded, 0);
    packet.frames = CountVdecFrames(type, packet.data.data(), st.u32Len);
    lock.lock();

    const Clock::time_point deadline = Deadline(ms);
    for (;;) {
        // Stopped, reset or destroyed since the call began: the packet belongs to a stream that is gone.
        if (c.generation != generation) {
            if (c.created) KeepSpareLocked(chn, std::move(packet.data));
            return c.created ? kErrPerm : kErrUnexist;
        }
        if (c.queuedBytes + st.u32Len <= c.attr.u32BufSize) break;
        if (ms == 0 || Clock::now() >= deadline) {
            KeepSpareLocked(chn, std::move(packet.data));
            return kErrFull;
        }
        Wait(lock, changed[chn], c, deadline);
    }
    journal.Packet(chn, st, packet.data.data());
    AcceptLocked(chn, std::move(packet));
    return 0;
}

void VdecDriver::State::AcceptLocked(int chn, vdec::Packet packet) {
    vdec::Chn& c = chns[chn];
    c.queuedBytes += packet.len;
    c.queuedFrames += packet.frames;
    c.receivedFrames += packet.frames;
    c.queue.push_back(std::move(packet));
    work[chn].notify_all();
}

std::vector<uint8_t> VdecDriver::State::TakeSpareLocked(int chn, size_t len) {
    std::vector<std::vector<uint8_t>>& spare = chns[chn].spare;
    if (spare.empty()) return {};
    // The smallest that holds the packet, else the largest (it grows).
    size_t best = 0;
    for (size_t i = 1; i < spare.size(); ++i) {
        const size_t cap = spare[i].capacity(), bestCap = spare[best].capacity();
        const bool fits = cap >= len, bestFits = bestCap >= len;
        if (fits != bestFits ? fits : (fits ? cap < bestCap : cap > bestCap)) best = i;
    }
    std::vector<uint8_t> buf = std::move(spare[best]);
    spare.erase(spare.begin() + static_cast<ptrdiff_t>(best));
    return buf;
}

void VdecDriver::State::KeepSpareLocked(int chn, std::vector<uint8_t> buf) {
    vdec::Chn& c = chns[chn];
    if (buf.capacity() == 0 || c.spare.size() >= vdec::kSpareBuffers) return;
    size_t kept = buf.capacity();
    for (const std::vector<uint8_t>& b : c.spare) kept += b.capacity();
    if (kept > c.attr.u32BufSize) return;
    c.spare.push_back(std::move(buf));
}

int VdecDriver::State::TakeFrame(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    VIDEO_FRAME_INFO_S* record;
    int32_t ms;
    if (int ret = TimedRequest(request, arg, &record, &ms); ret != 0) return ret;
    vdec::Chn& c = chns[chn];
    const uint64_t generation = c.generation;
    const Clock::time_point deadline = Deadline(ms);
    while (c.pics.empty()) {
        if (ms == 0 || c.generation != generation || Clock::now() >= deadline) return kErrEmpty;
        Wait(lock, pictures[chn], c, deadline);
    }
    if (dev::CopyOut(record, c.pics.front().frame()) != 0) return -1;  // the picture stays queued
    c.fetched.push_back(std::move(c.pics.front()));
    c.pics.pop_front();
    // Room for the decoder's pictures. Only a decoder that waits for it is woken: one waiting for
    // packets would wake for nothing, twice a picture.
    if (c.outputWaits) work[chn].notify_all();
    return 0;
}

int VdecDriver::State::ReleaseFrameLocked(int chn, unsigned long request, void* arg) {
    const int ret = ReleaseHeldFrame(chns[chn].fetched, request, arg, kErrParam);
    if (ret == 0 && chns[chn].outputWaits) work[chn].notify_all();  // a block may be free for the decoder
    return ret;
}

int VdecDriver::State::GetUserData(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    VDEC_USER_DATA_S* record;
    int32_t ms;
    if (int ret = TimedRequest(request, arg, &record, &ms); ret != 0) return ret;
    // User data comes only where a test puts it: the wait ends at its time-out or when the channel
    // is stopped, reset or destroyed.
    vdec::Chn& c = chns[chn];
    const uint64_t generation = c.generation;
    const Clock::time_point deadline = Deadline(ms);
    while (c.userData.empty()) {
        if (ms == 0 || c.generation != generation || Clock::now() >= deadline) return kErrEmpty;
        Wait(lock, changed[chn], c, deadline);
    }
    if (dev::CopyOut(record, c.userData.front()) != 0) return -1;
    c.userData.pop_front();
    ++c.userDataOut;
    return 0;
}

}  // namespace varnelle::drivers
