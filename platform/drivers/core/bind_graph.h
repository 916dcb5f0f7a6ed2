// The kernel's bind graph: which source channel feeds each destination. A destination has at most one
// source; a source may feed many destinations. Drivers ask it whether their input is bound.
#pragma once

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
    // 0, or MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST) when the destination is not bound.
    int Unbind(const MPP_CHN_S& dst);
    std::optional<MPP_CHN_S> SourceOf(const MPP_CHN_S& dst) const;
    std::vector<MPP_CHN_S> DestinationsOf(const MPP_CHN_S& src) const;
    // True when some source feeds a destination of module `mod`, device `dev`, channel `chn`.
    bool IsBound(int mod, int dev, int chn) const { return SourceOf(MPP_CHN_S{mod, dev, chn}).has_value(); }
    size_t Size() const;
    void Clear();

private:
    struct Edge {
        MPP_CHN_S src;
        MPP_CHN_S dst;
    };
    mutable std::mutex m_mutex;  // guards m_edges
    std::vector<Edge> m_edges;
};

inline bool SameChn(const MPP_CHN_S& a, const MPP_CHN_S& b) {
    return a.enModId == b.enModId && a.s32DevId == b.s32DevId && a.s32ChnId == b.s32ChnId;
}

}  // namespace varnelle::drivers
