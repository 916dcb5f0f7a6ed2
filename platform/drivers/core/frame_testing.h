// Test helpers for the frame flow: a sink that stands in for a receiving module and records what
// reaches it, and a manual media clock for the length of a test. Header-only; only tests include it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/media_clock.h"

namespace varnelle::drivers::testing {

// Receives the frames bound to channels of module `modId` while it lives: counts them per destination
// and keeps the newest `keep` of each (holding their blocks, as a real receiver's queue would).
// Unbinding a destination drops what it kept for it.
class RecordingSink : public FrameSink {
public:
    explicit RecordingSink(int modId, size_t keep = 2) : m_mod(modId), m_keep(keep) {
        FrameRouter::Instance().Attach(m_mod, this);
    }
    ~RecordingSink() override { FrameRouter::Instance().Detach(m_mod, this); }
    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;

    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_accept) return false;
        Chn& c = m_chn[Key(dst)];
        c.src = src;
        ++c.received;
        c.log.push_back(frame.frame());
        c.kept.push_back(frame);
        while (c.kept.size() > m_keep) c.kept.pop_front();
        m_cv.notify_all();
        return true;
    }
    void OnBind(const MPP_CHN_S& dst, const MPP_CHN_S&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_chn[Key(dst)].binds;
    }
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Chn& c = m_chn[Key(dst)];
        c.kept.clear();
        ++c.unbinds;
    }

    // Frames taken for `dst` so far.
    uint64_t Received(const MPP_CHN_S& dst) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_chn.find(Key(dst));
        return it == m_chn.end() ? 0 : it->second.received;
    }
    // Waits (real time) until `dst` has received `frames` frames; true when it has.
    bool WaitReceived(const MPP_CHN_S& dst, uint64_t frames, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            auto it = m_chn.find(Key(dst));
            return it != m_chn.end() && it->second.received >= frames;
        });
    }
    // The records of every frame taken for `dst`, oldest first (kept or not).
    std::vector<VIDEO_FRAME_INFO_S> Log(const MPP_CHN_S& dst) const { return Get(dst).log; }
    // Copies of the frames kept for `dst`, oldest first.
    std::vector<HeldFrame> Kept(const MPP_CHN_S& dst) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_chn.find(Key(dst));
        if (it == m_chn.end()) return {};
        return std::vector<HeldFrame>(it->second.kept.begin(), it->second.kept.end());
    }
    int Binds(const MPP_CHN_S& dst) const { return Get(dst).binds; }
    int Unbinds(const MPP_CHN_S& dst) const { return Get(dst).unbinds; }
    // While false, every frame is declined.
    void SetAccept(bool accept) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accept = accept;
    }
    // Lets go of every kept frame.
    void DropAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [key, c] : m_chn) c.kept.clear();
    }

private:
    using K = std::tuple<int32_t, int32_t, int32_t>;
    struct Chn {
        MPP_CHN_S src{};
        uint64_t received = 0;
        int binds = 0;
        int unbinds = 0;
        std::deque<HeldFrame> kept;
        std::vector<VIDEO_FRAME_INFO_S> log;
    };
    static K Key(const MPP_CHN_S& c) { return K{c.enModId, c.s32DevId, c.s32ChnId}; }
    Chn Get(const MPP_CHN_S& dst) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_chn.find(Key(dst));
        return it == m_chn.end() ? Chn{} : it->second;
    }

    const int m_mod;
    const size_t m_keep;
    mutable std::mutex m_mutex;  // guards the two below
    mutable std::condition_variable m_cv;
    bool m_accept = true;
    std::map<K, Chn> m_chn;
};

// Stops the media clock for the scope (at a fixed time of day unless one is given) and starts it
// again at the end. The monotonic start is far from 0 so that "before the start" cannot occur.
class ManualClock {
public:
    static constexpr uint64_t kStartUs = 1000000000000ull;
    // 2024-03-05 12:34:56 UTC.
    static constexpr int64_t kWallUs = 1709642096ll * 1000000;

    explicit ManualClock(int64_t wallUs = kWallUs) { MediaClock::UseManual(kStartUs, wallUs); }
    ~ManualClock() { MediaClock::UseReal(); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    // Moves the clock on; what falls due is done when these return (see MediaClock::Advance).
    void Advance(uint64_t us) { MediaClock::Advance(us); }
    void AdvanceMs(uint64_t ms) { MediaClock::Advance(ms * 1000); }
    // Lets the paced threads finish what is due now (a channel just enabled makes its first frame).
    void Settle() { MediaClock::Settle(); }
};

// Calls `done()` until it holds or `timeoutMs` (real time) passed; true when it held. For counters a
// driver keeps without an event to wait on.
template <typename Pred>
bool Eventually(Pred done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace varnelle::drivers::testing
