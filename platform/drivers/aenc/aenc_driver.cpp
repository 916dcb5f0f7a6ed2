#include "platform/drivers/aenc/aenc_driver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

class AencFile : public dev::File {
public:
    int chn = -1;  // set by the bind request
};

}  // namespace

struct AencDriver::State {
    struct Chn {
        bool created = false;
        AENC_CHN_ATTR_S attr{};
        bool kernelEncode = false;
        bool hasBuffer = false;
        AENC_STREAM_BUF_S buf{};
        uint8_t* map = nullptr;  // the buffer mapped for reading slot headers
        // Packets counted from the buffer's start: published, handed out, given back.
        uint64_t published = 0;
        uint64_t handed = 0;
        uint64_t released = 0;
        uint32_t waiters = 0;
        uint64_t epoch = 0;  // counts destroys and buffer releases, so waiting getters notice one
        AENC_DBG_INFO_S dbg{};
        int dbgCount = 0;
        uint64_t kernelFrames = 0;
        int32_t shift = 0;
        AUDIO_DUMPFILE_CFG_S dump{};
        std::set<AencFile*> files;

        uint32_t Slots() const { return buf.u32DataLen / buf.u32CbPackLen; }
        uint32_t SlotOffset(uint64_t packet) const {
            return buf.u32HeadLen + static_cast<uint32_t>(packet % Slots()) * buf.u32CbPackLen;
        }
        uint32_t SlotPhys(uint64_t packet) const { return buf.u32PhyAddr + SlotOffset(packet); }
        AENC_STREAM_HEADER_S Header(uint64_t packet) const {
            AENC_STREAM_HEADER_S h;
            std::memcpy(&h, map + SlotOffset(packet), sizeof(h));
            return h;
        }
    };

    std::mutex mutex;            // guards everything below
    std::condition_variable cv;  // packets published, channels gone
    Chn chns[AENC_MAX_CHN_NUM];
    std::set<uint32_t> kernelTypes;

    void UpdateReadable(int chn) {
        const bool ready = chns[chn].handed < chns[chn].published;
        for (AencFile* f : chns[chn].files) f->SetReadable(ready);
    }

    void DropBufferLocked(int chn) {
        Chn& c = chns[chn];
        if (c.map != nullptr) mem::Ram::Unmap(c.map, c.buf.u32HeadLen + c.buf.u32DataLen);
        c.map = nullptr;
        c.hasBuffer = false;
        c.buf = AENC_STREAM_BUF_S{};
        c.published = c.handed = c.released = 0;
        ++c.epoch;
        UpdateReadable(chn);
        cv.notify_all();
    }

    int SetBuffer(int chn, unsigned long request, const void* arg) {
        AENC_STREAM_BUF_S b;
        if (CopyRequestIn(request, arg, &b) != 0) return -1;
        Chn& c = chns[chn];
        if (c.hasBuffer) return MK_ERR_AENC_NOT_PERM;
        if (b.u32HeadLen != AENC_RING_HEAD_LEN || b.u32CbPackLen == 0 || b.u32CbPackLen % 4 != 0 ||
            b.u32DataLen < b.u32CbPackLen || b.u32DataLen % b.u32CbPackLen != 0) {
            return MK_ERR_AENC_ILLEGAL_PARAM;
        }
        // The whole buffer must be one zone block the process was given.
        std::optional<mem::ZoneAllocator::Block> blk = mem::ZoneAllocator::Local().Find(b.u32PhyAddr);
        if (!blk || blk->phys != b.u32PhyAddr ||
            blk->size < static_cast<uint64_t>(b.u32HeadLen) + b.u32DataLen) {
            return MK_ERR_AENC_ILLEGAL_PARAM;
        }
        c.map = static_cast<uint8_t*>(mem::Ram::Local().Map(b.u32PhyAddr, b.u32HeadLen + b.u32DataLen));
        if (c.map == nullptr) return MK_ERR_AENC_NOMEM;
        c.buf = b;
        c.hasBuffer = true;
        c.published = c.handed = c.released = 0;
        return 0;
    }

    // The SDK wrote the slots up to `tail`: each new one must carry a header that fits its slot.
    int Publish(int chn, unsigned long request, const void* arg) {
        uint32_t tail;
        if (CopyRequestIn(request, arg, &tail) != 0) return -1;
        Chn& c = chns[chn];
        if (!c.created || !c.hasBuffer) return MK_ERR_AENC_UNEXIST;
        if (tail >= c.buf.u32DataLen || tail % c.buf.u32CbPackLen != 0) return MK_ERR_AENC_ILLEGAL_PARAM;
        const uint32_t slots = c.Slots();
        const uint64_t at = c.published % slots;
        const uint64_t fresh = (tail / c.buf.u32CbPackLen + slots - at) % slots;
        // One slot always stays empty.
        if (c.published + fresh - c.released > slots - 1) return MK_ERR_AENC_BUF_FULL;
        for (uint64_t k = 0; k < fresh; ++k) {
            if (c.Header(c.published + k).u32Len > c.buf.u32CbPackLen - sizeof(AENC_STREAM_HEADER_S)) {
                return MK_ERR_AENC_ILLEGAL_PARAM;
            }
        }
        c.published += fresh;
        UpdateReadable(chn);
        cv.notify_all();
        return 0;
    }

    int GetStream(int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
        AENC_GET_STREAM_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        Chn& c = chns[chn];
        if (!c.created || !c.hasBuffer) return MK_ERR_AENC_UNEXIST;
        if (req.s32MilliSec < -1) return MK_ERR_AENC_ILLEGAL_PARAM;
        const uint64_t epoch = c.epoch;
        auto ready = [&c, epoch] { return c.handed < c.published || c.epoch != epoch; };
        ++c.waiters;
        if (req.s32MilliSec == -1) {
            cv.wait(lock, ready);
        } else if (req.s32MilliSec > 0) {
            cv.wait_for(lock, std::chrono::milliseconds(req.s32MilliSec), ready);
        }
        --c.waiters;
        if (c.epoch != epoch || !c.created) return MK_ERR_AENC_UNEXIST;
        if (c.handed >= c.published) return MK_ERR_AENC_BUF_EMPTY;
        const AENC_STREAM_HEADER_S h = c.Header(c.handed);
        const uint32_t slot = c.SlotPhys(c.handed);
        if (h.u32Len > c.buf.u32CbPackLen - sizeof(h)) return MK_ERR_AENC_ILLEGAL_PARAM;
        ++c.handed;
        UpdateReadable(chn);
        req.u32PhyAddr = slot + static_cast<uint32_t>(sizeof(h)) + static_cast<uint32_t>(c.shift);
        c.shift = 0;
        req.u32Len = h.u32Len;
        req.u64TimeStamp = h.u64TimeStamp;
        req.u32Seq = h.u32Seq;
        return CopyRequestOut(request, arg, req);
    }

    int ReleaseStream(int chn, unsigned long request, const void* arg) {
        AUDIO_STREAM_S s;
        if (CopyRequestIn(request, arg, &s) != 0) return -1;
        Chn& c = chns[chn];
        if (!c.created || !c.hasBuffer) return MK_ERR_AENC_UNEXIST;
        // Only the oldest packet out comes back.
        if (c.released >= c.handed || s.u32PhyAddr != c.SlotPhys(c.released) + sizeof(AENC_STREAM_HEADER_S)) {
            return MK_ERR_AENC_ILLEGAL_PARAM;
        }
        ++c.released;
        return 0;
    }

    void DestroyLocked(int chn) {
        Chn& c = chns[chn];
        c.created = false;
        c.attr = AENC_CHN_ATTR_S{};
        c.kernelEncode = false;
        ++c.epoch;
        UpdateReadable(chn);
        cv.notify_all();
    }
};

AencDriver::AencDriver() : Driver("/dev/aenc"), m_state(std::make_unique<State>()) {}
AencDriver::~AencDriver() = default;

std::shared_ptr<AencDriver> AencDriver::Get() {
    InstallAencDriver();
    return dev::Registry::Get<AencDriver>("/dev/aenc");
}

std::unique_ptr<dev::File> AencDriver::Open(int) {
    return std::make_unique<AencFile>();
}

void AencDriver::Release(dev::File& file) {
    auto& f = static_cast<AencFile&>(file);
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (f.chn >= 0) m_state->chns[f.chn].files.erase(&f);
}

int AencDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<AencFile&>(file);
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (request == MK_AENC_IOC_BIND) {
        uint32_t chn;
        if (CopyRequestIn(request, arg, &chn) != 0) return -1;
        if (chn >= AENC_MAX_CHN_NUM) return MK_ERR_AENC_INVALID_CHNID;
        if (f.chn >= 0) s.chns[f.chn].files.erase(&f);
        f.chn = static_cast<int>(chn);
        s.chns[chn].files.insert(&f);
        s.UpdateReadable(f.chn);
        return 0;
    }
    if (f.chn < 0) return MK_ERR_AENC_SYS_NOTREADY;
    const int chn = f.chn;
    State::Chn& c = s.chns[chn];
    switch (request) {
        case MK_AENC_IOC_QUERY_KERNEL: {
            AENC_KERNEL_QUERY_S q;
            if (CopyRequestIn(request, arg, &q) != 0) return -1;
            if (q.enType >= AENC_MAX_PAYLOAD_TYPE) return MK_ERR_AENC_ILLEGAL_PARAM;
            q.bKernelEncode = s.kernelTypes.count(q.enType) ? 1 : 0;
            return CopyRequestOut(request, arg, q);
        }
        case MK_AENC_IOC_SET_STREAM_BUF:
            return s.SetBuffer(chn, request, arg);
        case MK_AENC_IOC_RELEASE_STREAM_BUF:
            if (CheckNoRecord(request) != 0) return -1;
            if (!c.hasBuffer) return MK_ERR_AENC_UNEXIST;
            s.DropBufferLocked(chn);
            return 0;
        case MK_AENC_IOC_CREATE_CHN: {
            AENC_CHN_ATTR_S a;
            if (CopyRequestIn(request, arg, &a) != 0) return -1;
            if (c.created) return MK_ERR_AENC_EXIST;
            c.created = true;
            c.attr = a;
            c.attr.pValue = nullptr;  // a user address means nothing here
            c.kernelEncode = s.kernelTypes.count(a.enType) != 0;
            c.kernelFrames = 0;
            return 0;
        }
        case MK_AENC_IOC_DESTROY_CHN: {
            if (CheckNoRecord(request) != 0) return -1;
            if (!c.created) return MK_ERR_AENC_UNEXIST;
            s.DestroyLocked(chn);
            lock.unlock();
            AiDriver::Get()->DropBound(chn);  // frames held for the channel go back
            return 0;
        }
        case MK_AENC_IOC_GET_FRAME: {
            if (!RequestCarries(request, _IOC_READ, sizeof(AUDIO_FRAME_RECORD_S))) return dev::Fail(EINVAL);
            if (!c.created) return MK_ERR_AENC_UNEXIST;
            lock.unlock();
            AUDIO_FRAME_RECORD_S rec{};
            const int ret = AiDriver::Get()->TakeBound(chn, &rec);
            if (ret != 0) return MK_ERR_AENC_BUF_EMPTY;
            return CopyRequestOut(request, arg, rec);
        }
        case MK_AENC_IOC_RELEASE_FRAME: {
            AUDIO_FRAME_RECORD_S rec;
            if (CopyRequestIn(request, arg, &rec) != 0) return -1;
            lock.unlock();
            return AiDriver::Get()->ReleaseBound(chn, rec) == 0 ? 0 : MK_ERR_AENC_ILLEGAL_PARAM;
        }
        case MK_AENC_IOC_DBG_INFO: {
            AENC_DBG_INFO_S d;
            if (CopyRequestIn(request, arg, &d) != 0) return -1;
            c.dbg = d;
            ++c.dbgCount;
            return 0;
        }
        case MK_AENC_IOC_GET_STREAM:
            return s.GetStream(chn, request, arg, lock);
        case MK_AENC_IOC_RELEASE_STREAM:
            return s.ReleaseStream(chn, request, arg);
        case MK_AENC_IOC_KERNEL_ENCODE: {
            AUDIO_FRAME_S frame;
            if (CopyRequestIn(request, arg, &frame) != 0) return -1;
            if (!c.created) return MK_ERR_AENC_UNEXIST;
            if (!c.kernelEncode) return MK_ERR_AENC_NOT_SUPPORT;
            ++c.kernelFrames;
            return 0;
        }
        case MK_AENC_IOC_UPDATE_WRTAIL:
            return s.Publish(chn, request, arg);
        case MK_AENC_IOC_NEW_PACKET:
            if (CheckNoRecord(request) != 0) return -1;
            s.UpdateReadable(chn);
            s.cv.notify_all();
            return 0;
        case MK_AENC_IOC_SET_DUMP: {
            AUDIO_DUMPFILE_CFG_S d;
            if (CopyRequestIn(request, arg, &d) != 0) return -1;
            c.dump = d;
            return 0;
        }
        case MK_AENC_IOC_GET_DUMP:
            return CopyRequestOut(request, arg, c.dump);
        default:
            return dev::Fail(ENOTTY);
    }
}

void AencDriver::SetKernelEncode(uint32_t type, bool kernel) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (kernel) {
        m_state->kernelTypes.insert(type);
    } else {
        m_state->kernelTypes.erase(type);
    }
}

void AencDriver::ShiftNextPacket(int chn, int32_t delta) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->chns[chn].shift = delta;
}

AencChnView AencDriver::Channel(int chn) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const State::Chn& c = m_state->chns[chn];
    return AencChnView{c.created,   c.attr,         c.kernelEncode, c.hasBuffer, c.buf,
                       c.published, c.handed,       c.released,     c.waiters,   c.dbg,
                       c.dbgCount,  c.kernelFrames, c.dump};
}

int AencDriver::CreatedChannels() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    int n = 0;
    for (const State::Chn& c : m_state->chns) n += c.created ? 1 : 0;
    return n;
}

void AencDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (int chn = 0; chn < AENC_MAX_CHN_NUM; ++chn) {
        State::Chn& c = m_state->chns[chn];
        if (c.created) m_state->DestroyLocked(chn);
        if (c.hasBuffer) m_state->DropBufferLocked(chn);
        std::set<AencFile*> files = std::move(c.files);
        const uint64_t epoch = c.epoch;
        const uint32_t waiters = c.waiters;
        c = State::Chn{};
        c.files = std::move(files);
        c.epoch = epoch;
        c.waiters = waiters;
    }
    m_state->kernelTypes.clear();
}

void InstallAencDriver() {
    InstallAiDriver();
    InstallDriverOnce<AencDriver>();
}

}  // namespace varnelle::drivers
