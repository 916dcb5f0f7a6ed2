#include "platform/drivers/core/frame_router.h"

#include <chrono>
#include <optional>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"

namespace varnelle::drivers {

FrameRouter& FrameRouter::Instance() {
    static FrameRouter* router = [] {
        auto* r = new FrameRouter;  // never destroyed: producers may publish while the process exits
        RegisterResetHook([r] { r->ResetCounts(); });
        return r;
    }();
    return *router;
}

FrameRouter::FrameRouter() {
    BindGraph::Instance().SetListener(
        [this](bool bound, const MPP_CHN_S& src, const MPP_CHN_S& dst) { OnGraphChange(bound, src, dst); });
}

MPP_CHN_S FrameRouter::NormaliseSource(const MPP_CHN_S& src) {
    MPP_CHN_S n = src;
    if (n.enModId == MK_ID_VIU || n.enModId == MK_ID_VDEC) n.s32DevId = 0;
    if (n.enModId == MK_ID_VOU) n.s32ChnId = 0;
    return n;
}

void FrameRouter::Attach(int modId, FrameSink* sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sinks[modId] = sink;
}

void FrameRouter::Detach(int modId, FrameSink* sink) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_sinks.find(modId);
    if (it == m_sinks.end() || it->second != sink) return;
    // New deliveries find no sink; the ones running finish first.
    it->second = nullptr;
    WaitDeliveriesBefore(lock, m_nextSeq);
}

void FrameRouter::WaitDeliveriesBefore(std::unique_lock<std::mutex>& lock, uint64_t seq) {
    m_changed.wait(lock, [&] { return m_running.empty() || *m_running.begin() >= seq; });
}

template <typename Fn>
bool FrameRouter::WithSink(int mod, Fn fn) {
    FrameSink* sink;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sinks.find(mod);
        if (it == m_sinks.end() || it->second == nullptr) return false;
        sink = it->second;
        seq = m_nextSeq++;
        m_running.insert(seq);
    }
    fn(sink);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running.erase(m_running.find(seq));
    }
    m_changed.notify_all();
    return true;
}

int FrameRouter::Publish(const MPP_CHN_S& source, const HeldFrame& frame) {
    const MPP_CHN_S src = NormaliseSource(source);
    int taken = 0;
    uint64_t declined = 0, unrouted = 0;
    for (const MPP_CHN_S& dst : BindGraph::Instance().DestinationsOf(src)) {
        bool took = false;
        bool reached = WithSink(dst.enModId, [&](FrameSink* sink) {
            // Checked once numbered: an unbind since the destinations were read has waited for this
            // delivery, or this delivery sees it and stops here.
            std::optional<MPP_CHN_S> now = BindGraph::Instance().SourceOf(dst);
            if (now && SameChn(*now, src)) took = sink->OnFrame(dst, src, frame);
        });
        if (!reached) {
            ++unrouted;
        } else if (took) {
            ++taken;
        } else {
            ++declined;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Counts& c = m_counts[KeyOf(src)];
        ++c.published;
        c.taken += static_cast<uint64_t>(taken);
        c.declined += declined;
        c.unrouted += unrouted;
    }
    m_changed.notify_all();
    return taken;
}

bool FrameRouter::HasDestinations(const MPP_CHN_S& src) const {
    return !BindGraph::Instance().DestinationsOf(NormaliseSource(src)).empty();
}

std::optional<SIZE_S> FrameRouter::WantedSize(const MPP_CHN_S& source) {
    const MPP_CHN_S src = NormaliseSource(source);
    std::optional<SIZE_S> best;
    for (const MPP_CHN_S& dst : BindGraph::Instance().DestinationsOf(src)) {
        WithSink(dst.enModId, [&](FrameSink* sink) {
            std::optional<SIZE_S> size = sink->WantedSize(dst);
            if (size && (!best || uint64_t{size->u32Width} * size->u32Height > uint64_t{best->u32Width} * best->u32Height)) {
                best = size;
            }
        });
    }
    return best;
}

void FrameRouter::OnGraphChange(bool bound, const MPP_CHN_S& src, const MPP_CHN_S& dst) {
    if (!bound) {
        // The graph has changed already: deliveries that may not have seen it end before the notice.
        std::unique_lock<std::mutex> lock(m_mutex);
        WaitDeliveriesBefore(lock, m_nextSeq);
    }
    WithSink(dst.enModId, [&](FrameSink* sink) {
        if (bound) {
            sink->OnBind(dst, src);
        } else {
            sink->OnUnbind(dst, src);
        }
    });
}

FrameRouter::Counts FrameRouter::CountsOf(const MPP_CHN_S& src) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_counts.find(KeyOf(NormaliseSource(src)));
    return it == m_counts.end() ? Counts{} : it->second;
}

bool FrameRouter::WaitPublished(const MPP_CHN_S& source, uint64_t frames, int timeoutMs) const {
    const Key key = KeyOf(NormaliseSource(source));
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = m_counts.find(key);
        return it != m_counts.end() && it->second.published >= frames;
    });
}

void FrameRouter::ResetCounts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counts.clear();
}

}  // namespace varnelle::drivers
