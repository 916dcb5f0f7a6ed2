// The decode threads of the H.264 and H.265 channels: each takes its channel's packets in order,
// decodes them outside the driver's lock, and hands every picture on as a frame in a pool block.
#include <sys/prctl.h>

#include <optional>
#include <string>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/ram_window.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_codec.h"
#include "platform/drivers/vdec/vdec_state.h"

namespace varnelle::drivers {
namespace {

// Blocks are polled for while none is free: the modules that hold them give them back without a word.
constexpr auto kBlockPoll = std::chrono::milliseconds(10);

MPP_CHN_S SourceOf(int chn) { return MPP_CHN_S{MK_ID_VDEC, 0, chn}; }

// A frame for a picture: a block of the decoder's module pools, else of the common pools.
std::optional<HeldFrame> AllocPicture(uint32_t width, uint32_t height, uint64_t pts, uint32_t timeRef) {
    std::optional<HeldFrame> f = AllocFrame(FrameBlocks{-1, vdec::kPoolUser, ""}, width, height, pts, timeRef);
    if (!f) f = AllocFrame(FrameBlocks{}, width, height, pts, timeRef);
    return f;
}

// Whether any pool the pictures come from has blocks of `size` bytes, free or not.
bool PoolsCanHold(uint32_t size) {
    VbPools& pools = VbPools::Instance();
    for (int id : pools.PoolIds()) {
        std::optional<VbPools::PoolInfo> p = pools.Pool(id);
        if (p && !p->ex && (p->user == vdec::kPoolUser || p->user == VbPools::kCommon) && p->zone.empty() &&
            p->blockSize >= size) {
            return true;
        }
    }
    return false;
}

uint32_t LargestSide(uint32_t side) { return side == 0 ? VdecDriver::kMaxPicSize : side; }

// Blocks that stay free when one is lent to the decoder for a reference picture: the pictures it
// cannot place in a block, and the other users of the pools, need some, or the decoder could end up
// waiting for a block that only its own references hold.
constexpr uint32_t kLendReserve = 2;

// A block for the decoder to write a picture into, from the decoder's module pools when there are
// any, else from the common pools; nothing when that would leave fewer than kLendReserve free.
std::optional<vdec::OutBlock> LendBlock(uint32_t stride, uint32_t rows, uint32_t size) {
    VbPools& pools = VbPools::Instance();
    std::vector<VbPools::PoolInfo> family[2];  // module pools, common pools
    for (int id : pools.PoolIds()) {
        std::optional<VbPools::PoolInfo> p = pools.Pool(id);
        if (!p || p->ex || !p->zone.empty()) continue;
        if (p->user == vdec::kPoolUser) family[0].push_back(*p);
        if (p->user == VbPools::kCommon) family[1].push_back(*p);
    }
    for (const VbPools::PoolInfo& p : family[family[0].empty() ? 1 : 0]) {
        if (p.blockSize < size || p.freeBlocks <= kLendReserve) continue;
        const uint32_t handle = pools.GetBlock(p.id, size);
        if (handle == VbPools::kInvalid) continue;
        VIDEO_FRAME_INFO_S f{};
        f.u32Field = MK_FIELD_FRAME;
        f.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        f.u32PhyAddr[0] = pools.Block(handle)->phys;
        f.u32Stride[0] = f.u32Stride[1] = f.u32Stride[2] = stride;
        f.u32PoolId = static_cast<uint32_t>(p.id);
        uint8_t* base = RamWindow(f.u32PhyAddr[0], size);
        HeldFrame block = HeldFrame::Adopt(f, handle);
        if (base == nullptr) return std::nullopt;
        return vdec::OutBlock{std::move(block), base, stride, rows};
    }
    return std::nullopt;
}

// The record of a picture whose luma the decoder wrote into `b`: the chroma follows the luma rows.
VIDEO_FRAME_INFO_S LentPicture(const vdec::Picture& pic, uint32_t timeRef) {
    const vdec::OutBlock& b = *pic.block;
    VIDEO_FRAME_INFO_S f = b.frame.frame();
    const uint32_t phys = f.u32PhyAddr[0];
    f.u32Width = pic.width;
    f.u32Height = pic.height;
    f.u32PhyAddr[0] = phys + static_cast<uint32_t>(pic.plane[0] - b.base);  // after a cropped top or left
    f.u32PhyAddr[1] = f.u32PhyAddr[2] = phys + b.stride * b.rows;
    f.u64pts = pic.pts;
    f.u32TimeRef = timeRef;
    return f;
}

}  // namespace

VdecDriver::State::~State() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        for (auto& cv : work) cv.notify_all();
    }
    for (std::thread& t : decoders) {
        if (t.joinable()) t.join();
    }
}

void VdecDriver::State::SettleLocked(std::unique_lock<std::mutex>& lock, int chn) {
    changed[chn].wait(lock, [&] {
        return stopping || heldStream[chn] == vdec::kNoStream || heldStream[chn] == chns[chn].stream;
    });
}

void VdecDriver::State::StartDecoderLocked(int chn) {
    if (!decoders[chn].joinable()) decoders[chn] = std::thread([this, chn] { DecodeLoop(chn); });
}

void VdecDriver::State::DecodeLoop(int chn) {
    const std::string name = "vdec-chn-" + std::to_string(chn);
    prctl(PR_SET_NAME, name.c_str());
    vdec::Chn& c = chns[chn];
    std::unique_ptr<vdec::VideoDecoder> decoder;
    uint64_t decoderStream = 0;  // the stream the decoder holds
    uint32_t made = 0;           // pictures of that stream

    // Hands one picture on; false when its stream is gone (reset, destroy) or the driver stops.
    auto output = [&](uint64_t stream, const vdec::Picture& pic) {
        std::unique_lock<std::mutex> lock(mutex);
        auto gone = [&] { return stopping || c.stream != stream; };
        if (gone()) return false;
        ++c.decodedFrames;
        const uint32_t timeRef = 2 * made++;
        std::optional<HeldFrame> frame;
        if (pic.block != nullptr) {
            // The luma is in its block already: only the chroma goes in.
            const vdec::OutBlock& b = *pic.block;
            frame.emplace(LentPicture(pic, timeRef));
            lock.unlock();
            vdec::WriteChromaNv21(pic, b.base + static_cast<size_t>(b.stride) * b.rows, b.stride);
            lock.lock();
            if (gone()) return false;
        }
        for (;;) {
            const bool bound = FrameRouter::Instance().HasDestinations(SourceOf(chn));
            // Unfetched pictures: bound, the oldest gives way; unbound, the user is waited for.
            if (c.pics.size() >= vdec::kMaxQueuedPics && bound) {
                c.pics.pop_front();
                ++c.droppedPics;
            }
            if (c.pics.size() < vdec::kMaxQueuedPics) {
                if (frame) break;
                frame = AllocPicture(pic.width, pic.height, pic.pts, timeRef);
                if (frame) {
                    lock.unlock();
                    vdec::WritePictureNv21(pic, frame->Plane(0), frame->Stride(0), frame->Plane(1), frame->Stride(1));
                    lock.lock();
                    if (gone()) return false;
                    continue;  // the queue may have filled meanwhile
                }
                if (!PoolsCanHold(FrameBytes(pic.width, pic.height))) {
                    ++c.droppedPics;  // no pool will ever hold it
                    return true;
                }
                if (bound && !c.pics.empty()) {
                    c.pics.pop_front();
                    ++c.droppedPics;
                    continue;
                }
            }
            c.outputWaits = true;
            work[chn].wait_for(lock, kBlockPoll);
            c.outputWaits = false;
            if (gone()) return false;
        }
        c.pics.push_back(*frame);
        pictures[chn].notify_all();
        lock.unlock();
        FrameRouter::Instance().Publish(SourceOf(chn), *frame);
        return true;
    };

    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work[chn].wait(lock, [&] {
            return stopping || (!holdDecoding[chn] && !c.queue.empty()) || (decoder && decoderStream != c.stream);
        });
        if (stopping) return;
        if (decoder && decoderStream != c.stream) {
            // Its stream went (reset, destroy): the decoder goes, and the blocks of its pictures
            // with it, before anything of another stream.
            lock.unlock();
            decoder.reset();
            lock.lock();
            heldStream[chn] = vdec::kNoStream;
            changed[chn].notify_all();
            continue;
        }
        if (holdDecoding[chn] || c.queue.empty()) continue;
        vdec::Packet packet = std::move(c.queue.front());
        c.queue.pop_front();
        c.decoding = true;
        const uint64_t stream = c.stream;
        const VDEC_CHN_ATTR_S attr = c.attr;
        if (!decoder) heldStream[chn] = stream;
        lock.unlock();

        if (!decoder) {
            decoder = vdec::VideoDecoder::Create(attr.enType, LargestSide(attr.u32PicWidth),
                                                 LargestSide(attr.u32PicHeight), attr.u32BufSize, attr.enMode == 0,
                                                 LendBlock);
            decoderStream = stream;
            made = 0;
        }
        uint32_t errors = 1;  // a decoder that cannot be had refuses every packet
        if (decoder) {
            errors = decoder->Feed(&packet.data, packet.len, packet.pts, packet.endOfFrame, packet.endOfStream,
                                   [&](const vdec::Picture& pic) { return output(stream, pic); });
        }

        lock.lock();
        c.decoding = false;
        if (!decoder) heldStream[chn] = vdec::kNoStream;
        if (c.stream == stream) {
            c.queuedBytes -= packet.len;
            c.queuedFrames -= packet.frames;
            c.streamErrors += errors;
        }
        if (c.created) KeepSpareLocked(chn, std::move(packet.data));
        changed[chn].notify_all();  // room for senders, and the packet is done
    }
}

}  // namespace varnelle::drivers
