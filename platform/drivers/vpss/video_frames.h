// Pieces the simulated video drivers share: a frame held by the driver (with a reference on its video
// buffer block, when it lies in one), attribute stores keyed by request, and region luminance.
#pragma once

#include <sys/ioctl.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "sdk/common/mk_comm_video.h"

namespace varnelle::drivers {

// A frame the driver keeps. Copies hold their own reference on the block that holds the picture, so a
// block goes back to its pool only when the last queue, display or user lets go of it.
class HeldFrame {
public:
    explicit HeldFrame(const VIDEO_FRAME_INFO_S& frame);
    HeldFrame(const HeldFrame& other);
    HeldFrame& operator=(const HeldFrame& other);
    ~HeldFrame();

    const VIDEO_FRAME_INFO_S& frame() const { return m_frame; }
    // The block handle, or 0xFFFFFFFF when the picture lies in no pool block.
    uint32_t block() const { return m_block; }
    // True when `frame` names the same picture (the user hands back what it was given).
    bool Same(const VIDEO_FRAME_INFO_S& frame) const;

private:
    void Hold();
    void Drop();

    VIDEO_FRAME_INFO_S m_frame;
    uint32_t m_block;
};

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
