// The sample caches of the voice-quality engines: a closed ring of F-sample nodes and a partial buffer.
// An input cache is appended to and read whole nodes at a time, its partial buffer holding the newest
// samples that do not make a whole node yet; an output cache is filled whole nodes at a time and read
// any count at a time, its partial buffer holding the tail of the last node partly read.
#pragma once

#include "sdk/audio/vqe/resampler.h"
#include "sdk/common/mk_type.h"

namespace mk::vqe {

class SampleCache {
public:
    SampleCache() = default;
    SampleCache(const SampleCache&) = delete;
    SampleCache& operator=(const SampleCache&) = delete;
    ~SampleCache();

    // false when out of memory.
    bool Create(MK_S32 nodes, MK_S32 frame);
    bool IsCreated() const { return m_nodes != nullptr; }

    MK_S32 FreeNodes() const { return m_free; }
    MK_S32 FullNodes() const { return m_count - m_free; }
    MK_S32 PartialNum() const { return m_partialNum; }
    MK_S32 Nodes() const { return m_count; }

    // Samples an append may take: the free nodes and the partial buffer, one short of a node more.
    MK_S32 Room() const { return m_frame * (m_free + 1) - m_partialNum - 1; }
    // Appends n <= Room() samples.
    void Append(const MK_S16* samples, MK_S32 n);

    // Whole nodes: the oldest full one to read, the next free one to fill.
    const MK_S16* ReadNode() const { return Node(m_read); }
    MK_S16* WriteNode() { return Node(m_write); }
    void AdvanceRead();   // one node more free
    void AdvanceWrite();  // one node less free

    // Output side: samples ready to take, and taking n of them (partial buffer first, then nodes).
    MK_S32 Ready() const { return m_partialNum + m_frame * FullNodes(); }
    void Take(MK_S16* out, MK_S32 n);

private:
    MK_S16* Node(MK_S32 i) const { return m_nodes + static_cast<long>(i) * m_frame; }

    MK_S32 m_frame = 0;
    MK_S32 m_count = 0;
    MK_S32 m_free = 0;
    MK_S32 m_read = 0;
    MK_S32 m_write = 0;
    MK_S16* m_nodes = nullptr;
    MK_S16* m_partial = nullptr;  // m_frame samples
    MK_S32 m_partialNum = 0;
};

// Samples `n` written become in the cache: resampled when `res` is given.
MK_S64 CacheCount(const RESAMPLER_S* res, MK_S64 n);

// Appends n samples, through `res` (mode 0, into `work`) when given; 0 or the resampler's code. The
// caller has checked the room.
MK_S32 AppendThrough(RESAMPLER_S* res, MK_S16* work, SampleCache& cache, const MK_S16* in, MK_S32 n);

// Reads `wanted` samples at the output rate from `cache` through `res` (when given; `work` takes the
// cache's samples) into `out`, taking at most `limit` from the cache. Flag 1: the count delivered, or
// -1; flag 0: 0, `errShort` when fewer than wanted are ready, `errBad` when the read exceeds `limit`.
MK_S32 ReadThrough(SampleCache& cache, RESAMPLER_S* res, MK_S16* work, MK_S16* out, MK_S32 wanted, MK_S32 flag,
                   MK_S32 limit, MK_S32 errBad, MK_S32 errShort);

}  // namespace mk::vqe
