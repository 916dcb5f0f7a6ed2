// The kernel's bind graph: which source channel feeds each destination. A destination has at most one
// source; a source may feed many destinations. Drivers ask it whether their input is bound; the frame
// router (frame_router.h) follows it to deliver frames and hears of every change.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "sdk/common/mk_type.h"

namespace varnelle::drivers {

class BindGraph {
public:
    static BindGraph& Instance();

    // 0, or MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM) when the destination already has a source.
    int Bind(const MPP_CHN_S& src, const MPP_CHN_S& dst);
    // 0, or MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST) when the destination is not bound. With `src`, the
    // binding goes only when src is the destination's source: another gives MK_ERR(MK_ID_SYS,
    // MK_ERR_NOT_PERM) and the binding stays.
    int Unbind(const MPP_CHN_S& dst, const MPP_CHN_S* src = nullptr);
    std::optional<MPP_CHN_S> SourceOf(const MPP_CHN_S& dst) const;
    std::vector<MPP_CHN_S> DestinationsOf(const MPP_CHN_S& src) const;
    // True when some source feeds a destination of module `mod`, device `dev`, channel `chn`.
    bool IsBound(int mod, int dev, int chn) const { return SourceOf(MPP_CHN_S{mod, dev, chn}).has_value(); }
    size_t Size() const;
    // Drops every binding without telling the listener (the system's exit resets the drivers anyway).
    void Clear();

    // Told of each bind made (bound true) and unbind done, after the graph changed, with no lock held.
    using Listener = std::function<void(bool bound, const MPP_CHN_S& src, const MPP_CHN_S& dst)>;
    void SetListener(Listener listener);

private:
    struct Edge {
        MPP_CHN_S src;
        MPP_CHN_S dst;
    };
    mutable std::mutex m_mutex;  // guards m_edges and m_listener
    std::vector<Edge> m_edges;
    Listener m_listener;
};

inline bool SameChn(const MPP_CHN_S& a, const MPP_CHN_S& b) {
    return a.enModId == b.enModId && a.s32DevId == b.s32DevId && a.s32ChnId == b.s32ChnId;
}

}  // namespace varnelle::drivers
