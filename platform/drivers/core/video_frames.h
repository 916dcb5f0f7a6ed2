// Frames as the simulated video drivers hold them: a picture in a video buffer block, shared by every
// queue, display and user that holds a copy. Also the pieces the drivers share around frames: attribute
// stores keyed by request, region luminance and the frame waits.
//
// Ownership: a HeldFrame owns one reference on the block that holds its picture; copying takes another,
// destroying (or moving from) gives it back, so a block goes back to its pool exactly when the last
// holder lets go. A frame whose picture lies in no block (a picture of the user's own memory) is held
// without a reference. Drivers never release a block by hand.
#pragma once

#include <sys/ioctl.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/drivers/core/vb_pools.h"
#include "sdk/common/mk_comm_video.h"

namespace varnelle::drivers {

class HeldFrame {
public:
    // Holds the picture of `frame`, taking a reference on the block that holds its luma (if any).
    explicit HeldFrame(const VIDEO_FRAME_INFO_S& frame);
    // Takes over a reference the caller already has on `block` (a fresh block from the pools).
    static HeldFrame Adopt(const VIDEO_FRAME_INFO_S& frame, uint32_t block);
    HeldFrame(const HeldFrame& other);
    HeldFrame(HeldFrame&& other) noexcept;
    HeldFrame& operator=(const HeldFrame& other);
    HeldFrame& operator=(HeldFrame&& other) noexcept;
    ~HeldFrame();

    const VIDEO_FRAME_INFO_S& frame() const { return m_frame; }
    // The block handle, or 0xFFFFFFFF when the picture lies in no pool block.
    uint32_t block() const { return m_block; }
    // True when `frame` names the same picture (the user hands back what it was given).
    bool Same(const VIDEO_FRAME_INFO_S& frame) const;

    uint32_t Width() const { return m_frame.u32Width; }
    uint32_t Height() const { return m_frame.u32Height; }
    // The semi-planar 4:2:0 planes in this process: plane 0 is luma (Height() rows), plane 1 the
    // chroma pairs, V then U ((Height() + 1) / 2 rows), each of Stride(plane) bytes a row. Null when the
    // plane does not lie in RAM. Producers write them before they publish; consumers only read.
    uint8_t* Plane(int plane) const;
    uint32_t Stride(int plane) const { return m_frame.u32Stride[plane]; }

private:
    HeldFrame(const VIDEO_FRAME_INFO_S& frame, uint32_t block) : m_frame(frame), m_block(block) {}
    void Hold();
    void Drop();

    VIDEO_FRAME_INFO_S m_frame;
    uint32_t m_block;
};

// Frames in pool blocks are pixel format 23, semi-planar 4:2:0 as this chip keeps it: rows of
// FrameStride(width) bytes, the luma plane, then the chroma plane right after it, whose pairs hold Cr
// (V) first, then Cb (U) (NV21, as the JPEG decoder writes it).
inline uint32_t FrameStride(uint32_t width) { return (width + 15) & ~15u; }
inline uint32_t FrameBytes(uint32_t width, uint32_t height) {
    return FrameStride(width) * height + FrameStride(width) * ((height + 1) / 2);
}

// Where a producer takes the blocks of its frames: a pool by id, or the smallest common pool of a user
// whose blocks are large enough (VbPools::GetBlock with pool -1).
struct FrameBlocks {
    int pool = -1;
    int user = VbPools::kCommon;
    std::string zone;
};

// A new width x height frame in a block taken from `from`, described as the capture, processing and
// decoding drivers hand frames on: frame field, pixel format 23, both plane addresses and strides, the
// block's pool, `ptsUs` and `timeRef`. Its pixels are not written. Nothing when no block is free or
// the size is out of range (0, or above 8192 on a side).
std::optional<HeldFrame> AllocFrame(const FrameBlocks& from, uint32_t width, uint32_t height, uint64_t ptsUs,
                                    uint32_t timeRef);

// A record a driver keeps verbatim: what is set is what a get reads back; before a set, the default.
// Scope is the driver's own kind of object the record belongs to, Defaults how it makes a default.
template <typename Scope, typename Defaults>
struct StorePair {
    unsigned long set, get;
    size_t size;
    Scope scope;
    Defaults defaults;
};
// The pair for records of type T under request numbers setNr (write) and getNr (read).
#define VIDEO_STORE_PAIR(Pair, magic, scope, setNr, getNr, T, defaults) \
    Pair{_IOW(magic, setNr, T), _IOR(magic, getNr, T), sizeof(T), scope, defaults}

// The pair whose set or get request is `request`, or null.
template <typename Pair, size_t N>
const Pair* FindStorePair(const Pair (&pairs)[N], unsigned long request) {
    for (const Pair& p : pairs) {
        if (request == p.set || request == p.get) return &p;
    }
    return nullptr;
}

// Records set and read back by request, one store per object. A record never set reads as its
// default. Not thread-safe: the driver's lock guards it.
class AttrStore {
public:
    // A request's record of `size` bytes in and out, checked against the request number: -1/EINVAL
    // when the request does not carry it, -1/EFAULT for a null pointer. Get copies `defaults` when the
    // record was never set.
    int Set(unsigned long key, unsigned long request, const void* arg, size_t size);
    int Get(unsigned long key, unsigned long request, void* arg, size_t size,
            const std::vector<uint8_t>& defaults) const;
    // The same for the driver's own use.
    void Put(unsigned long key, const void* data, size_t size);
    void Read(unsigned long key, void* out, size_t size, const std::vector<uint8_t>& defaults) const;
    // The record as a value of type T, or `fallback` when never set.
    template <typename T>
    T Value(unsigned long key, T fallback) const {
        auto it = m_records.find(key);
        if (it == m_records.end() || it->second.size() != sizeof(T)) return fallback;
        T v;
        std::memcpy(&v, it->second.data(), sizeof(T));
        return v;
    }
    void Clear() { m_records.clear(); }

private:
    std::map<unsigned long, std::vector<uint8_t>> m_records;
};

template <typename T>
std::vector<uint8_t> RecordBytes(const T& record) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

// Drops the frame of `held` that names the same picture as the frame record that `request` carries at
// `arg`: 0, -1 with errno, or `notHeldCode` when the caller holds no such frame.
int ReleaseHeldFrame(std::vector<HeldFrame>& held, unsigned long request, const void* arg, int notHeldCode);

// Answers the region-luminance request block that `request` carries at `arg` from `frame` (null or
// outside any pool block: sums of 0): 0, -1 with errno, or `tooManyCode` for more regions than the
// block holds.
int FillRegionLuma(const HeldFrame* frame, unsigned long request, void* arg, int tooManyCode);

// Sums the luma bytes of each region of the picture (clipped to it) into the request block. A picture
// outside the simulated RAM gives sums of 0.
void MeasureRegionLuma(const VIDEO_FRAME_INFO_S& frame, VIDEO_REGION_LUMA_REQ_S* req);

// Waits under `lock` until `ready()` holds, for `milliSec` (-1 for ever, 0 not at all). True when ready.
template <typename Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int32_t milliSec, Pred ready) {
    if (milliSec < 0) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(milliSec), ready);
}

}  // namespace varnelle::drivers
