#include "sdk/audio/vqe/internal/vqe_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace mk::vqe {

SampleCache::~SampleCache() {
    delete[] m_nodes;
    delete[] m_partial;
}

bool SampleCache::Create(MK_S32 nodes, MK_S32 frame) {
    if (nodes <= 0 || frame <= 0) return false;
    m_nodes = new (std::nothrow) MK_S16[static_cast<size_t>(nodes) * frame];
    m_partial = new (std::nothrow) MK_S16[frame];
    if (m_nodes == nullptr || m_partial == nullptr) return false;
    m_frame = frame;
    m_count = nodes;
    m_free = nodes;
    return true;
}

void SampleCache::Append(const MK_S16* samples, MK_S32 n) {
    if (m_partialNum + n < m_frame) {
        std::memcpy(m_partial + m_partialNum, samples, n * sizeof(MK_S16));
        m_partialNum += n;
        return;
    }
    MK_S32 first = m_frame - m_partialNum;
    MK_S16* node = WriteNode();
    std::memcpy(node, m_partial, m_partialNum * sizeof(MK_S16));
    std::memcpy(node + m_partialNum, samples, first * sizeof(MK_S16));
    AdvanceWrite();
    samples += first;
    n -= first;
    while (n >= m_frame) {
        std::memcpy(WriteNode(), samples, m_frame * sizeof(MK_S16));
        AdvanceWrite();
        samples += m_frame;
        n -= m_frame;
    }
    std::memcpy(m_partial, samples, n * sizeof(MK_S16));
    m_partialNum = n;
}

void SampleCache::AdvanceRead() {
    m_read = (m_read + 1) % m_count;
    ++m_free;
}

void SampleCache::AdvanceWrite() {
    m_write = (m_write + 1) % m_count;
    --m_free;
}

void SampleCache::Take(MK_S16* out, MK_S32 n) {
    MK_S32 fromPartial = std::min(n, m_partialNum);
    std::memcpy(out, m_partial, fromPartial * sizeof(MK_S16));
    std::memmove(m_partial, m_partial + fromPartial, (m_partialNum - fromPartial) * sizeof(MK_S16));
    m_partialNum -= fromPartial;
    out += fromPartial;
    n -= fromPartial;
    while (n > 0) {
        const MK_S16* node = ReadNode();
        MK_S32 take = std::min(n, m_frame);
        std::memcpy(out, node, take * sizeof(MK_S16));
        // The untaken tail becomes the partial buffer, which is empty here.
        std::memcpy(m_partial, node + take, (m_frame - take) * sizeof(MK_S16));
        m_partialNum = m_frame - take;
        AdvanceRead();
        out += take;
        n -= take;
    }
}

MK_S64 CacheCount(const RESAMPLER_S* res, MK_S64 n) {
    return res != nullptr ? Resampler_GetOutputNum(res, static_cast<MK_S32>(n)) : n;
}

MK_S32 AppendThrough(RESAMPLER_S* res, MK_S16* work, SampleCache& cache, const MK_S16* in, MK_S32 n) {
    if (res == nullptr) {
        cache.Append(in, n);
        return 0;
    }
    MK_S32 got = 0;
    MK_S32 ret = Resampler_Process(res, in, work, n, &got, RESAMPLER_MODE_IN);
    if (ret != 0) return ret;
    cache.Append(work, got);
    return 0;
}

MK_S32 ReadThrough(SampleCache& cache, RESAMPLER_S* res, MK_S16* work, MK_S16* out, MK_S32 wanted, MK_S32 flag,
                   MK_S32 limit, MK_S32 errBad, MK_S32 errShort) {
    MK_S64 needed = res != nullptr ? Resampler_GetInputNum(res, wanted, 1) : wanted;
    MK_S32 mode = RESAMPLER_MODE_OUT_EXACT;
    if (needed > limit) {
        if (flag != 1) return errBad;
        needed = limit;
        mode = RESAMPLER_MODE_OUT_PARTIAL;
    }
    MK_S32 take = static_cast<MK_S32>(needed);
    if (cache.Ready() < needed) {
        if (flag != 1) return errShort;
        take = cache.Ready();
        mode = RESAMPLER_MODE_OUT_PARTIAL;
    }
    if (res == nullptr) {
        cache.Take(out, take);
        return flag == 1 ? take : 0;
    }
    cache.Take(work, take);
    MK_S32 count = wanted;
    MK_S32 ret = Resampler_Process(res, work, out, take, &count, mode);
    if (ret != 0) return flag == 1 ? -1 : ret;
    return flag == 1 ? count : 0;
}

}  // namespace mk::vqe
