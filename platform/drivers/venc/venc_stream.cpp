// The stream ring: frames queued in coding order, fetched oldest first, released in order only.
#include <chrono>
#include <cstring>

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/venc/venc_driver_internal.h"

namespace varnelle::drivers::venc {

int VencDriver::GetStream(VencFile& f, unsigned long request, void* arg) {
    VENC_STREAM_S st;
    if (CopyRequestIn(request, arg, &st) != 0) return -1;
    int chn = f.chn;
    std::unique_lock<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    const uint64_t generation = c->generation;
    auto ready = [&] {
        c = Find(chn);
        return f.chn != chn || c == nullptr || c->generation != generation || c->fetched < c->frames.size();
    };
    ++c->getWaiters;
    bool got = true;
    if (f.getTimeoutMs < 0) {
        m_streamCv.wait(lock, ready);
    } else {
        got = m_streamCv.wait_for(lock, std::chrono::milliseconds(f.getTimeoutMs), ready);
    }
    // The channel may be gone; a later one of the same number never counted this waiter.
    if (Channel* now = Find(chn); now != nullptr && now->generation == generation) --now->getWaiters;
    if (!got) return MK_ERR_VENC_BUF_EMPTY;
    // The descriptor was closed (or bound elsewhere) while the get waited: nobody would release
    // what it took.
    if (f.chn != chn) return MK_ERR_VENC_SYS_NOTREADY;
    if (c == nullptr || c->generation != generation) return MK_ERR_VENC_UNEXIST;
    const Frame& fr = c->frames[c->fetched];
    if (st.u32PackCnt < fr.packs.size()) return MK_ERR_VENC_ILLEGAL_PARAM;  // the caller sizes from Query
    if (st.pstPack == nullptr) return dev::Fail(EFAULT);
    for (size_t i = 0; i < fr.packs.size(); ++i) {
        const Pack& p = fr.packs[i];
        VENC_PACK_S& out = st.pstPack[i];
        std::memset(&out, 0, sizeof(out));
        out.u32PhysAddr = c->ringPhys + static_cast<uint32_t>(p.pos % c->ringSize);
        out.pu8UserAddr = reinterpret_cast<MK_U8*>(static_cast<uintptr_t>(DrvAddr(*c, p.pos)));
        out.u32Len = p.len;
        out.u64Pts = fr.pts;
        out.bFrameEnd = p.frameEnd ? 1 : 0;
        out.u32DataType = p.dataType;
        out.u32DataOffset = 0;
    }
    st.u32PackCnt = static_cast<MK_U32>(fr.packs.size());
    st.u32SeqNum = fr.seq;
    std::memset(st.au32StreamInfo, 0, sizeof(st.au32StreamInfo));
    st.au32StreamInfo[0] = fr.key ? 1 : 0;
    st.au32StreamInfo[1] = fr.payloadBytes;
    ++c->fetched;
    UpdateReadable(chn);
    return CopyRequestOut(request, arg, st);
}

int VencDriver::ReleaseStream(int chn, unsigned long request, void* arg) {
    VENC_STREAM_S st;
    if (CopyRequestIn(request, arg, &st) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    // Only the oldest fetched frame may go back, and only as it was handed out.
    if (c->fetched == 0) return MK_ERR_VENC_NOT_PERM;
    const Frame& fr = c->frames.front();
    if (st.u32SeqNum != fr.seq || st.u32PackCnt != fr.packs.size()) return MK_ERR_VENC_NOT_PERM;
    if (st.pstPack == nullptr) return dev::Fail(EFAULT);
    for (size_t i = 0; i < fr.packs.size(); ++i) {
        const VENC_PACK_S& p = st.pstPack[i];
        if (reinterpret_cast<uintptr_t>(p.pu8UserAddr) != DrvAddr(*c, fr.packs[i].pos) || p.u32Len != fr.packs[i].len)
            return MK_ERR_VENC_NOT_PERM;
    }
    c->releasePos = fr.endPos;
    c->frames.pop_front();
    --c->fetched;
    return 0;
}

bool VencDriver::Commit(const Job& job, std::vector<Unit>& units, bool key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(job.chn);
    if (c == nullptr || c->generation != job.generation) return false;
    uint64_t need = 0;
    for (const Unit& u : units) need += Align4(VENC_STREAM_OFFSET + u.bytes.size());
    if (need > c->ringSize - (c->writePos - c->releasePos)) {
        // Unreleased packs are never written over; the stream must restart from a key frame.
        ++c->dropped;
        c->keyRequested = true;
        return false;
    }
    Frame fr;
    fr.seq = c->seq++;
    fr.pts = job.pts;
    fr.key = key;
    fr.payloadBytes = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& u = units[i];
        uint32_t len = static_cast<uint32_t>(VENC_STREAM_OFFSET + u.bytes.size());
        VencPackHeader h{};
        h.magic = kVencPackMagic;
        h.len = len;
        h.seq = fr.seq;
        h.index = static_cast<uint32_t>(i);
        h.pts = job.pts;
        h.dataType = u.dataType;
        h.frameEnd = i + 1 == units.size() ? 1 : 0;
        h.chn = static_cast<uint32_t>(job.chn);
        // The mirror mapping makes a pack that runs past the ring's end one contiguous write.
        uint8_t* dst = c->ring + c->writePos % c->ringSize;
        std::memcpy(dst, &h, sizeof(h));
        std::memcpy(dst + sizeof(h), u.bytes.data(), u.bytes.size());
        fr.packs.push_back(Pack{c->writePos, len, u.dataType, h.frameEnd != 0});
        fr.payloadBytes += static_cast<uint32_t>(u.bytes.size());
        c->writePos += Align4(len);
    }
    fr.endPos = c->writePos;
    c->frames.push_back(std::move(fr));
    ++c->encoded;
    if (key) ++c->keys;
    UpdateReadable(job.chn);
    m_streamCv.notify_all();
    return true;
}

}  // namespace varnelle::drivers::venc
