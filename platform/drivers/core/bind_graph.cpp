#include "platform/drivers/core/bind_graph.h"

#include <algorithm>

#include "platform/drivers/core/kernel.h"

namespace varnelle::drivers {

BindGraph& BindGraph::Instance() {
    static BindGraph* graph = [] {
        auto* g = new BindGraph;
        RegisterResetHook([g] { g->Clear(); });
        return g;
    }();
    return *graph;
}

int BindGraph::Bind(const MPP_CHN_S& src, const MPP_CHN_S& dst) {
    Listener listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Edge& e : m_edges) {
            if (SameChn(e.dst, dst)) return MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
        }
        m_edges.push_back({src, dst});
        listener = m_listener;
    }
    if (listener) listener(true, src, dst);
    return 0;
}

int BindGraph::Unbind(const MPP_CHN_S& dst, const MPP_CHN_S* named) {
    Listener listener;
    MPP_CHN_S src;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_edges.begin(), m_edges.end(), [&](const Edge& e) { return SameChn(e.dst, dst); });
        if (it == m_edges.end()) return MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST);
        if (named != nullptr && !SameChn(*named, it->src)) return MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
        src = it->src;
        m_edges.erase(it);
        listener = m_listener;
    }
    if (listener) listener(false, src, dst);
    return 0;
}

void BindGraph::SetListener(Listener listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = std::move(listener);
}

std::optional<MPP_CHN_S> BindGraph::SourceOf(const MPP_CHN_S& dst) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Edge& e : m_edges) {
        if (SameChn(e.dst, dst)) return e.src;
    }
    return std::nullopt;
}

std::vector<MPP_CHN_S> BindGraph::DestinationsOf(const MPP_CHN_S& src) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<MPP_CHN_S> out;
    for (const Edge& e : m_edges) {
        if (SameChn(e.src, src)) out.push_back(e.dst);
    }
    return out;
}

size_t BindGraph::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_edges.size();
}

void BindGraph::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_edges.clear();
}

}  // namespace varnelle::drivers
