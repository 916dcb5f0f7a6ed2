// The JPEG side of the decoder driver: the stream ring, the pictures lent to the user-space decoder, its
// frame buffers and the frames it gives back.
#include <algorithm>
#include <cstring>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_state.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VDEC, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr int kErrPerm = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);
constexpr int kErrNoBuf = MK_ERR(MK_ID_VDEC, MK_ERR_NOBUF);
constexpr int kErrEmpty = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_EMPTY);
constexpr int kErrFull = MK_ERR(MK_ID_VDEC, MK_ERR_BUF_FULL);

using vdec::Clock;
using vdec::JpegChn;

constexpr uint8_t kTail[JPEGD_STREAM_TAIL] = {};

uint32_t Offset(const JpegChn& j, uint64_t pos) { return static_cast<uint32_t>(pos % j.ringSize); }

// Copies `len` bytes into the ring at `pos`, wrapping at its end.
void RingWrite(JpegChn& j, uint64_t pos, const uint8_t* data, uint32_t len) {
    const uint32_t off = Offset(j, pos);
    const uint32_t first = std::min(len, j.ringSize - off);
    std::memcpy(j.ring + off, data, first);
    std::memcpy(j.ring, data + first, len - first);
}

void ReleaseBlocks(std::vector<uint32_t>& blocks) {
    for (uint32_t b : blocks) VbPools::Instance().Release(b);
    blocks.clear();
}


// The frame buffer a picture needs: rows 64-byte aligned, 16-line aligned height, 4:2:0 chroma after.
uint64_t FrameBufSize(uint32_t width, uint32_t height) {
    const uint64_t stride = (static_cast<uint64_t>(width) + 63) / 64 * 64;
    const uint64_t rows = (static_cast<uint64_t>(height) + 15) / 16 * 16;
    return stride * rows * 3 / 2;
}

MPP_CHN_S SourceOf(int chn) { return MPP_CHN_S{MK_ID_VDEC, 0, chn}; }

bool IsBound(int chn) { return FrameRouter::Instance().HasDestinations(SourceOf(chn)); }

Clock::time_point Deadline(int32_t ms) {
    return ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
}

// Waits for a change on the channel until `deadline` (none: max), counted as a waiter.
void WaitForChange(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, Clock::time_point deadline) {
    vdec::Chn& c = s.chns[chn];
    ++c.waiters;
    if (deadline == Clock::time_point::max()) {
        s.changed[chn].wait(lock);
    } else {
        s.changed[chn].wait_until(lock, deadline);
    }
    --c.waiters;
}

}  // namespace

bool VdecDriver::State::JpegCreateLocked(int chn) {
    JpegChn& j = jpeg[chn];
    j = JpegChn{};
    j.active = true;
    const uint32_t size = jpegBufSize[chn] != 0 ? jpegBufSize[chn] : chns[chn].attr.u32BufSize;
    if (size <= JPEGD_STREAM_TAIL) return true;  // no working buffer: the user side refuses the channel
    const uint32_t phys = mem::ZoneAllocator::Local().Allocate(size, "", "vdec-jpeg");
    if (phys == 0) return false;
    void* ring = mem::Ram::Local().Map(phys, size);
    if (ring == nullptr) {
        mem::ZoneAllocator::Local().Free(phys);
        return false;
    }
    j.ringPhys = phys;
    j.ringSize = size;
    j.ring = static_cast<uint8_t*>(ring);
    return true;
}

void VdecDriver::State::JpegDestroyLocked(int chn) {
    JpegChn& j = jpeg[chn];
    if (!j.active) return;
    ReleaseBlocks(j.buffers);
    j.fetched.clear();
    j.frames.clear();
    if (j.ring != nullptr) {
        mem::Ram::Unmap(j.ring, j.ringSize);
        mem::ZoneAllocator::Local().Free(j.ringPhys);
    }
    const uint32_t waiters = j.frameBufWaiters;  // still blocked here; they see the channel gone
    const JPEGD_FRAME_S last = j.lastFrame;      // the test view shows what came back last
    j = JpegChn{};
    j.frameBufWaiters = waiters;
    j.lastFrame = last;
}

namespace {

// Everything below runs with the driver's mutex held.

// Stores one picture and its trailer, waiting for room as SendStream's time-out allows.
int JpegSend(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    VdecTimedReq<const VDEC_STREAM_S> req;
    VDEC_STREAM_S st;
    if (CopyRequestIn(request, arg, &req) != 0 || dev::CopyIn(&st, req.pstRecord) != 0) return -1;
    if (st.u32Len > 0 && st.pu8Addr == nullptr) return dev::Fail(EFAULT);
    if (req.s32MilliSec < -1) return kErrParam;
    vdec::Chn& c = s.chns[chn];
    JpegChn& j = s.jpeg[chn];
    if (!c.receiving) return kErrPerm;
    if (st.u32Len == 0) return 0;  // nothing to store
    const uint64_t need = static_cast<uint64_t>(st.u32Len) + JPEGD_STREAM_TAIL;
    if (need > j.ringSize) return kErrParam;  // could never fit
    const uint64_t generation = c.generation;
    const Clock::time_point deadline = Deadline(req.s32MilliSec);
    while (j.ringSize - (j.writePos - j.readPos) < need) {
        if (req.s32MilliSec == 0 || Clock::now() >= deadline) return kErrFull;
        WaitForChange(s, lock, chn, deadline);
        // Stopped, reset or destroyed meanwhile: the picture belongs to a stream that is gone.
        if (c.generation != generation) return c.created ? kErrPerm : kErrUnexist;
    }
    RingWrite(j, j.writePos, st.pu8Addr, st.u32Len);
    RingWrite(j, j.writePos + st.u32Len, kTail, JPEGD_STREAM_TAIL);
    j.pictures.push_back(vdec::JpegPicture{j.writePos, static_cast<uint32_t>(need), st.u64PTS});
    j.writePos += need;
    c.queuedBytes = static_cast<uint32_t>(j.writePos - j.readPos);
    c.queuedFrames = static_cast<uint32_t>(j.pictures.size());
    ++c.receivedFrames;
    return 0;
}

JPEGD_STREAM_S StreamRecord(const JpegChn& j, const vdec::JpegPicture& p) {
    JPEGD_STREAM_S r{};
    const uint32_t off = Offset(j, p.pos);
    const uint32_t first = std::min(p.len, j.ringSize - off);
    r.au32PhyAddr[0] = j.ringPhys + off;
    r.au32PhyAddr[1] = first < p.len ? j.ringPhys : 0;
    r.au32Len[0] = first;
    r.au32Len[1] = p.len - first;
    r.u64PTS = p.pts;
    return r;
}

// An unbound channel whose frames wait for GetFrame: a full queue holds the decoder back until the user
// fetches (as an H.264 channel's does), rather than let it take every block of the pools.
bool UnfetchedFull(const JpegChn& j, int chn) {
    return j.frames.size() + j.buffers.size() >= vdec::kMaxQueuedPics && !IsBound(chn);
}

int GetStream(JpegChn& j, int chn, unsigned long request, void* arg) {
    if (j.taken >= j.pictures.size() || UnfetchedFull(j, chn)) return kErrEmpty;
    if (CopyRequestOut(request, arg, StreamRecord(j, j.pictures[j.taken])) != 0) return -1;
    ++j.taken;
    return 0;
}

// Only the oldest picture out with the decoder goes back, as it was lent.
int ReleaseStream(VdecDriver::State& s, int chn, unsigned long request, void* arg) {
    JpegChn& j = s.jpeg[chn];
    JPEGD_STREAM_S r;
    if (CopyRequestIn(request, arg, &r) != 0) return -1;
    if (j.taken == 0) return kErrPerm;
    const JPEGD_STREAM_S lent = StreamRecord(j, j.pictures.front());
    if (r.au32PhyAddr[0] != lent.au32PhyAddr[0] || r.au32PhyAddr[1] != lent.au32PhyAddr[1] ||
        r.au32Len[0] != lent.au32Len[0] || r.au32Len[1] != lent.au32Len[1]) {
        return kErrPerm;
    }
    j.pictures.pop_front();
    --j.taken;
    j.readPos = j.pictures.empty() ? j.writePos : j.pictures.front().pos;
    vdec::Chn& c = s.chns[chn];
    c.queuedBytes = static_cast<uint32_t>(j.writePos - j.readPos);
    c.queuedFrames = static_cast<uint32_t>(j.pictures.size());
    s.changed[chn].notify_all();  // room for senders
    return 0;
}

int GetFrameBuf(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request,
                void* arg) {
    JpegChn& j = s.jpeg[chn];
    JPEGD_FRAME_BUF_S r;
    if (CopyRequestIn(request, arg, &r) != 0) return -1;
    ++j.frameBufWaiters;
    s.changed[chn].wait(lock, [&] { return !j.holdFrameBufs || !j.active; });
    --j.frameBufWaiters;
    if (!j.active) return kErrUnexist;
    if (r.u32Width == 0 || r.u32Height == 0 || r.u32Format > JPEGD_FMT_MAX_DECODED) return kErrParam;
    const uint64_t size = FrameBufSize(r.u32Width, r.u32Height);
    if (size > UINT32_MAX) return kErrParam;
    if (UnfetchedFull(j, chn)) return kErrNoBuf;
    VbPools& pools = VbPools::Instance();
    uint32_t block = VbPools::kInvalid;
    for (;;) {
        block = pools.GetBlock(-1, static_cast<uint32_t>(size), "", false, vdec::kPoolUser);
        if (block == VbPools::kInvalid) block = pools.GetBlock(-1, static_cast<uint32_t>(size));
        if (block != VbPools::kInvalid) break;
        // A bound channel's frames go to its receiver, not to GetFrame: its oldest gives way.
        if (j.frames.empty() || !IsBound(chn)) return kErrNoBuf;
        j.frames.pop_front();
        ++j.dropped;
    }
    const std::optional<VbPools::BlockInfo> info = pools.Block(block);
    r.u32PhyAddr = info->phys;
    r.u32Size = info->size;
    r.u32Token = block;
    if (CopyRequestOut(request, arg, r) != 0) {
        pools.Release(block);
        return -1;
    }
    j.buffers.push_back(block);
    return 0;
}

VIDEO_FRAME_INFO_S FrameInfo(const JPEGD_FRAME_S& f, const VbPools::BlockInfo& block) {
    VIDEO_FRAME_INFO_S v{};
    v.u32Width = f.u32Width;
    v.u32Height = f.u32Height;
    v.u32Field = MK_FIELD_FRAME;
    v.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    v.u32PhyAddr[0] = f.u32LumaPhyAddr;
    v.u32PhyAddr[1] = f.u32ChromaPhyAddr;
    v.u32PhyAddr[2] = f.u32ChromaEndPhyAddr;
    v.u32Stride[0] = f.u32LumaStride;
    v.u32Stride[1] = f.u32ChromaStride;
    v.u32Stride[2] = f.u32ChromaStride;
    v.u64pts = f.u64PTS;
    v.u32PoolId = static_cast<MK_U32>(block.pool);
    return v;
}

// A frame buffer comes back: as a picture for the bound receivers and GetFrame, or empty.
int PutFrame(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    JpegChn& j = s.jpeg[chn];
    JPEGD_FRAME_S f;
    if (CopyRequestIn(request, arg, &f) != 0) return -1;
    auto it = std::find(j.buffers.begin(), j.buffers.end(), f.u32Token);
    if (it == j.buffers.end()) return kErrParam;
    const std::optional<VbPools::BlockInfo> block = VbPools::Instance().Block(f.u32Token);
    if (!block || block->phys != f.u32LumaPhyAddr) return kErrParam;
    if (f.bPicture == 1) {
        const uint64_t end = static_cast<uint64_t>(block->phys) + block->size;
        if (f.u32Width == 0 || f.u32Height == 0 || f.u32ChromaPhyAddr < block->phys || f.u32ChromaEndPhyAddr > end) {
            return kErrParam;
        }
    }
    j.buffers.erase(it);
    j.lastFrame = f;
    if (f.bPicture != 1) {
        VbPools::Instance().Release(f.u32Token);
        return 0;
    }
    const HeldFrame frame = HeldFrame::Adopt(FrameInfo(f, *block), f.u32Token);
    // Bound, nobody may fetch: the oldest unfetched frame gives way.
    const bool bound = IsBound(chn);
    if (bound && j.frames.size() >= vdec::kMaxQueuedPics) {
        j.frames.pop_front();
        ++j.dropped;
    }
    j.frames.push_back(frame);
    ++s.chns[chn].decodedFrames;
    s.changed[chn].notify_all();
    if (bound) {
        // Receivers run on this thread and may take locks of their own: not under the driver's.
        lock.unlock();
        FrameRouter::Instance().Publish(SourceOf(chn), frame);
        lock.lock();
    }
    return 0;
}

int Report(JpegChn& j, unsigned long request, void* arg) {
    JPEGD_REPORT_S r;
    if (CopyRequestIn(request, arg, &r) != 0) return -1;
    if (r.s32ErrType >= 0 && r.s32ErrType < 5) ++j.reportCount[r.s32ErrType];
    j.reports.push_back(r);
    if (j.reports.size() > vdec::kJpegReportsKept) j.reports.pop_front();
    return 0;
}

int GetFrame(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    VdecTimedReq<VIDEO_FRAME_INFO_S> req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (req.pstRecord == nullptr) return dev::Fail(EFAULT);
    if (req.s32MilliSec < -1) return kErrParam;
    vdec::Chn& c = s.chns[chn];
    JpegChn& j = s.jpeg[chn];
    const uint64_t generation = c.generation;
    const Clock::time_point deadline = Deadline(req.s32MilliSec);
    while (j.frames.empty()) {
        if (req.s32MilliSec == 0 || c.generation != generation || Clock::now() >= deadline) return kErrEmpty;
        WaitForChange(s, lock, chn, deadline);
    }
    if (dev::CopyOut(req.pstRecord, j.frames.front().frame()) != 0) return -1;
    j.fetched.push_back(std::move(j.frames.front()));
    j.frames.pop_front();
    return 0;
}


// The driver's reset of a JPEG channel: pictures and unfetched frames go; frames the user holds stay his.
void ResetJpeg(JpegChn& j) {
    j.pictures.clear();
    j.taken = 0;
    j.writePos = j.readPos = 0;
    ReleaseBlocks(j.buffers);
    j.frames.clear();
}

bool IsJpegRequest(unsigned long request) {
    switch (request) {
        case MK_JPEGD_IOC_GET_STREAM:
        case MK_JPEGD_IOC_RELEASE_STREAM:
        case MK_JPEGD_IOC_GET_FRAME_BUF:
        case MK_JPEGD_IOC_PUT_FRAME:
        case MK_JPEGD_IOC_BUF_INFO:
        case MK_JPEGD_IOC_REPORT: return true;
        default: return false;
    }
}

}  // namespace

bool VdecDriver::State::JpegRequest(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg,
                                    int* ret) {
    JpegChn& j = jpeg[chn];
    if (!j.active) {
        if (!IsJpegRequest(request)) return false;
        *ret = kErrPerm;  // a channel of another type has no JPEG side
        return true;
    }
    vdec::Chn& c = chns[chn];
    switch (request) {
        case MK_JPEGD_IOC_GET_STREAM: *ret = GetStream(j, chn, request, arg); return true;
        case MK_JPEGD_IOC_RELEASE_STREAM: *ret = ReleaseStream(*this, chn, request, arg); return true;
        case MK_JPEGD_IOC_GET_FRAME_BUF: *ret = GetFrameBuf(*this, lock, chn, request, arg); return true;
        case MK_JPEGD_IOC_PUT_FRAME: *ret = PutFrame(*this, lock, chn, request, arg); return true;
        case MK_JPEGD_IOC_BUF_INFO: {
            JPEGD_BUF_INFO_S info{};
            info.u32PhyAddr = j.ringPhys;
            info.u32Len = j.ringSize;
            *ret = CopyRequestOut(request, arg, info);
            return true;
        }
        case MK_JPEGD_IOC_REPORT: *ret = Report(j, request, arg); return true;
        case mk::vdec::kSendStream: *ret = JpegSend(*this, lock, chn, request, arg); return true;
        case mk::vdec::kGetFrame: *ret = GetFrame(*this, lock, chn, request, arg); return true;
        case mk::vdec::kReleaseFrame: *ret = ReleaseHeldFrame(j.fetched, request, arg, kErrParam); return true;
        case mk::vdec::kResetChn:
            ResetJpeg(j);
            c.queuedBytes = c.queuedFrames = 0;
            return false;  // the common reset follows
        default: return false;
    }
}

VdecJpegView VdecDriver::JpegChannel(int chn) const {
    VdecJpegView v{};
    if (static_cast<unsigned>(chn) >= VDEC_MAX_CHN_NUM) return v;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const JpegChn& j = m_state->jpeg[chn];
    v.active = j.active;
    v.ringPhys = j.ringPhys;
    v.ringSize = j.ringSize;
    v.writeOffset = j.ringSize != 0 ? Offset(j, j.writePos) : 0;
    v.storedPictures = static_cast<uint32_t>(j.pictures.size());
    v.takenPictures = static_cast<uint32_t>(j.taken);
    v.buffersOut = static_cast<uint32_t>(j.buffers.size());
    v.framesQueued = static_cast<uint32_t>(j.frames.size());
    v.framesFetched = static_cast<uint32_t>(j.fetched.size());
    v.droppedFrames = j.dropped;
    std::copy(std::begin(j.reportCount), std::end(j.reportCount), v.reportCount);
    v.reports.assign(j.reports.begin(), j.reports.end());
    v.lastFrame = j.lastFrame;
    v.frameBufWaiters = j.frameBufWaiters;
    return v;
}

void VdecDriver::HoldJpegFrameBufs(int chn, bool hold) {
    if (static_cast<unsigned>(chn) >= VDEC_MAX_CHN_NUM) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->jpeg[chn].holdFrameBufs = hold;
    m_state->changed[chn].notify_all();
}

bool VdecDriver::SetJpegWritePos(int chn, uint32_t offset) {
    if (static_cast<unsigned>(chn) >= VDEC_MAX_CHN_NUM) return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    JpegChn& j = m_state->jpeg[chn];
    if (!j.active || !j.pictures.empty() || offset >= j.ringSize) return false;
    j.writePos = j.readPos = offset;
    return true;
}

void VdecDriver::SetJpegBufSize(int chn, uint32_t bytes) {
    if (static_cast<unsigned>(chn) >= VDEC_MAX_CHN_NUM) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->jpegBufSize[chn] = bytes;
}

}  // namespace varnelle::drivers
