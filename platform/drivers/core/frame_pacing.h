// The two rules of timed frames, as pure values a driver keeps per stream and tests exhaustively.
//
// FramePacer: frame n of a stream started at S with F frames per second is due at S + n * 1e6 / F
// microseconds, rounded up; with a period of P microseconds instead, at S + n * P (computed from S and
// n, never by adding up periods, so it never drifts). A producer that wakes late makes only the newest
// frame due and counts the ones it skipped as missed. A stream may start at a frame other than 0: the
// frames before it are never due (a result that compares one interval of pictures comes first after
// that interval).
//
// RateControl: a receiver that takes D of every S frames (a destination frame rate below the source's)
// keeps frame k (counted from 0) when floor((k + 1) * D / S) > floor(k * D / S): the kept frames are
// spread evenly and exactly D of every S pass. D <= 0, S <= 0 or D >= S keeps every frame.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace varnelle::drivers {

// The frame rates a driver honours are 1 to kMaxFrameRate a second; any other stands for the default,
// so no setting can make a producer or an encoder spin.
constexpr uint32_t kDefaultFrameRate = 25;
constexpr uint32_t kMaxFrameRate = 120;
inline uint32_t BoundedFrameRate(int64_t fps) {
    return fps >= 1 && fps <= kMaxFrameRate ? static_cast<uint32_t>(fps) : kDefaultFrameRate;
}

class FramePacer {
public:
    // Starts a stream whose frame 0 would be due at `startUs`, `fps` frames a second (0 counts as 1);
    // the first frame it gives is `first`. The counts start afresh.
    void Start(uint64_t startUs, uint32_t fps, uint64_t first = 0) { Begin(startUs, 1000000, fps == 0 ? 1 : fps, first); }
    // The same with one frame every `periodUs` microseconds (0 counts as 1).
    void StartPeriod(uint64_t startUs, uint64_t periodUs, uint64_t first = 0) {
        Begin(startUs, periodUs == 0 ? 1 : periodUs, 1, first);
    }
    void Stop() { m_running = false; }
    bool Running() const { return m_running; }

    uint64_t DueUs(uint64_t index) const { return m_startUs + (index * m_unitUs + m_perUnit - 1) / m_perUnit; }
    // The index of the newest frame due at `nowUs` (0 before the start): the n with DueUs(n) <= nowUs
    // < DueUs(n + 1).
    uint64_t DueIndex(uint64_t nowUs) const {
        return nowUs <= m_startUs ? 0 : (nowUs - m_startUs) * m_perUnit / m_unitUs;
    }
    // When the next frame not yet taken falls due; UINT64_MAX when stopped.
    uint64_t NextDueUs() const { return m_running ? DueUs(m_next) : UINT64_MAX; }

    // The frame to make at `nowUs`: the newest one due and not taken yet, or nothing. Frames due before
    // it that were never taken count as missed.
    std::optional<uint64_t> Take(uint64_t nowUs) {
        if (!m_running || nowUs < DueUs(m_next)) return std::nullopt;
        uint64_t due = std::max(DueIndex(nowUs), m_next);
        m_missed += due - m_next;
        m_next = due + 1;
        ++m_taken;
        return due;
    }

    // Frames taken, and frames skipped as missed, since the stream started.
    uint64_t Taken() const { return m_taken; }
    uint64_t Missed() const { return m_missed; }

private:
    void Begin(uint64_t startUs, uint64_t unitUs, uint64_t perUnit, uint64_t first) {
        m_running = true;
        m_startUs = startUs;
        m_unitUs = unitUs;
        m_perUnit = perUnit;
        m_next = first;
        m_taken = 0;
        m_missed = 0;
    }

    bool m_running = false;
    uint64_t m_startUs = 0;
    uint64_t m_unitUs = 1000000;  // m_perUnit frames fall due every m_unitUs microseconds
    uint64_t m_perUnit = 1;
    uint64_t m_next = 0;  // the first frame not yet taken
    uint64_t m_taken = 0;
    uint64_t m_missed = 0;
};

class RateControl {
public:
    RateControl() = default;
    RateControl(int32_t srcFps, int32_t dstFps) { Set(srcFps, dstFps); }

    // New rates start the count afresh.
    void Set(int32_t srcFps, int32_t dstFps) {
        m_src = srcFps;
        m_dst = dstFps;
        m_count = 0;
    }
    bool Active() const { return m_src > 0 && m_dst > 0 && m_dst < m_src; }

    // Whether the next frame passes; counts it either way.
    bool Keep() {
        if (!Active()) return true;
        uint64_t k = m_count++;
        uint64_t src = static_cast<uint64_t>(m_src), dst = static_cast<uint64_t>(m_dst);
        bool keep = (k + 1) * dst / src > k * dst / src;
        if (m_count == src) m_count = 0;  // the pattern repeats every S frames
        return keep;
    }

private:
    int32_t m_src = 0;
    int32_t m_dst = 0;
    uint64_t m_count = 0;
};

}  // namespace varnelle::drivers
