#include "platform/drivers/ai/ai_driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "sdk/audio/testing/speech_signal.h"

namespace varnelle::drivers {
namespace {

constexpr uint32_t kMaxPoints = 4096;
constexpr int kAencChns = 49;
constexpr uint64_t kMaxCatchUp = 64;    // frames a late generator makes up at once; older ones are missed
constexpr double kSpeechSeconds = 4.0;  // the speech-like signal repeats after this

class AiFile : public dev::File {
public:
    int index = -1;  // channel index, set by the bind request
};

struct Held {
    uint32_t handle;
    int srcIndex;
    AUDIO_FRAME_RECORD_S rec;
};

bool ValidRate(uint32_t rate) {
    switch (rate) {
        case 8000:
        case 11025:
        case 12000:
        case 16000:
        case 22050:
        case 24000:
        case 32000:
        case 44100:
        case 48000:
        case 64000:
        case 96000:
            return true;
        default:
            return false;
    }
}

uint32_t TrackBytes(const AIO_ATTR_S& a) {
    return a.u32PtNumPerFrm * AudioBytesPerPoint(a.enBitwidth);
}
// A track's room in a block: 8-bit samples may be widened to 16 bits in place.
uint32_t TrackRoom(const AIO_ATTR_S& a) {
    return TrackBytes(a) * (a.enBitwidth == AUDIO_BIT_WIDTH_8 ? 2 : 1);
}

// A frame given back is the one handed out only when every field the driver filled to tell frames
// apart matches: a block comes round again for later frames, so its address alone would let a stale
// second release free the next frame's block.
bool SameFrame(const AUDIO_FRAME_S& out, const AUDIO_FRAME_S& back) {
    return out.u32PhyAddr[0] == back.u32PhyAddr[0] && out.u32PoolId[0] == back.u32PoolId[0] &&
           out.u32Seq == back.u32Seq && out.u64TimeStamp == back.u64TimeStamp;
}

void ReleaseAll(std::deque<Held>& q) {
    for (const Held& h : q) VbPools::Instance().Release(h.handle);
    q.clear();
}
void ReleaseAll(std::vector<Held>& v) {
    for (const Held& h : v) VbPools::Instance().Release(h.handle);
    v.clear();
}

}  // namespace

struct AiDriver::State {
    struct Dev {
        bool attrSet = false;
        AIO_ATTR_S attr{};
        bool enabled = false;
        int pool = -1;
        uint32_t trackMode = 0;
        uint32_t clkDir = 0;
    };
    struct Chn {
        bool enabled = false;
        uint32_t depth = 0;
        bool aec = false;
        bool refFrame = false;
        AI_AEC_AO_S aecAo{-1, -1};
        AiSource source = AiSource::kNone;
        double freq = 1000.0;
        double level = -6.0;
        std::vector<int16_t> speech;
        uint64_t startUs = 0;
        uint64_t generated = 0;  // generator frames made (or skipped) since enable
        uint64_t captured = 0;
        uint64_t missed = 0;
        uint32_t seq = 0;
        uint64_t epoch = 0;  // counts disables, so waiting getters notice one
        uint32_t waiters = 0;
        std::deque<Held> queue;
        std::vector<Held> held;
        std::vector<uint32_t> ring;  // reference blocks
        uint32_t ringNext = 0;
        AI_RESMP_DBG_S resmp{};
        AI_VQE_DBG_S vqe{};
        int vqeCount = 0;
        int32_t volume = 0;
        AUDIO_SAVE_FILE_INFO_S dump{};
        std::set<AiFile*> files;
    };
    struct Bound {
        std::deque<Held> queue;
        std::vector<Held> held;
    };

    std::mutex mutex;            // guards everything below
    std::condition_variable cv;  // frames captured, channels disabled, generators changed
    Dev devs[AI_DEV_MAX_NUM];
    Chn chns[AI_CHN_INDEX_NUM];
    Bound bound[kAencChns];
    std::thread gen;
    bool genRun = false;
    bool genStop = false;

    void UpdateReadable(int index) {
        const bool ready = !chns[index].queue.empty();
        for (AiFile* f : chns[index].files) f->SetReadable(ready);
    }

    void DropRing(Chn& c) {
        for (uint32_t h : c.ring) VbPools::Instance().Release(h);
        c.ring.clear();
        c.ringNext = 0;
    }

    // Takes a reference block from the channel's ring, making the ring on first use.
    std::optional<VbPools::BlockInfo> NextRefBlock(Chn& c, const Dev& d) {
        VbPools& pools = VbPools::Instance();
        while (c.ring.size() < kRefRing) {
            uint32_t h = pools.GetBlock(d.pool, 2 * TrackRoom(d.attr), "", true, VbPools::kPrivate);
            if (h == VbPools::kInvalid) break;
            c.ring.push_back(h);
        }
        if (c.ring.empty()) return std::nullopt;
        return pools.Block(c.ring[c.ringNext++ % c.ring.size()]);
    }

    void DisableChnLocked(int index) {
        Chn& c = chns[index];
        c.enabled = false;
        ++c.epoch;
        ReleaseAll(c.queue);
        for (Bound& b : bound) {
            for (auto it = b.queue.begin(); it != b.queue.end();) {
                if (it->srcIndex != index) {
                    ++it;
                    continue;
                }
                VbPools::Instance().Release(it->handle);
                it = b.queue.erase(it);
            }
        }
        DropRing(c);
        UpdateReadable(index);
        cv.notify_all();
    }

    int CaptureLocked(int index, const uint8_t* t0, const uint8_t* t1, uint32_t len, uint64_t ts,
                      bool withRef, const uint8_t* ref, uint32_t refLen) {
        const int devId = index / AI_MAX_CHN_NUM;
        Dev& d = devs[devId];
        Chn& c = chns[index];
        if (!d.enabled || !c.enabled) return MK_ERR_AI_NOT_ENABLED;
        if (len == 0 || len > TrackBytes(d.attr)) return MK_ERR_AI_ILLEGAL_PARAM;
        VbPools& pools = VbPools::Instance();
        const uint32_t room = TrackRoom(d.attr);
        const uint32_t blk = pools.GetBlock(d.pool, 2 * room, "", true, VbPools::kPrivate);
        std::optional<VbPools::BlockInfo> info = blk == VbPools::kInvalid ? std::nullopt : pools.Block(blk);
        if (!info) {
            ++c.missed;
            return MK_ERR_AI_NOMEM;
        }
        const bool stereo = d.attr.enSoundmode == AUDIO_SOUND_MODE_STEREO;
        mem::Ram& ram = mem::Ram::Local();
        ram.Write(info->phys, t0, len);
        if (stereo) ram.Write(info->phys + room, t1, len);

        Held h{blk, index, {}};
        AUDIO_FRAME_S& f = h.rec.stFrame;
        f.enBitwidth = d.attr.enBitwidth;
        f.enSoundmode = stereo ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO;
        f.u32PhyAddr[0] = info->phys;
        f.u32PhyAddr[1] = stereo ? info->phys + room : 0;
        f.u64TimeStamp = ts;
        f.u32Seq = c.seq++;
        f.u32Len = len;
        f.u32PoolId[0] = static_cast<uint32_t>(d.pool);
        f.u32PoolId[1] = stereo ? static_cast<uint32_t>(d.pool) : 0;
        if ((c.aec || c.refFrame) && withRef) {
            if (std::optional<VbPools::BlockInfo> r = NextRefBlock(c, d)) {
                std::vector<uint8_t> bytes(len, 0);
                std::memcpy(bytes.data(), ref, std::min(len, refLen));
                ram.Write(r->phys, bytes.data(), len);
                AUDIO_FRAME_S& rf = h.rec.stAecFrm.stRefFrame;
                rf = f;
                rf.enSoundmode = AUDIO_SOUND_MODE_MONO;
                rf.u32PhyAddr[0] = r->phys;
                rf.u32PhyAddr[1] = 0;
                rf.u32PoolId[1] = 0;
                h.rec.stAecFrm.bValid = MK_TRUE;
                h.rec.stAecFrm.u32Reserved = 1;
            }
        }
        ++c.captured;

        int takers = 0;
        if (c.depth > 0) {
            while (c.queue.size() >= c.depth) {
                pools.Release(c.queue.front().handle);
                c.queue.pop_front();
            }
            c.queue.push_back(h);
            ++takers;
        }
        const MPP_CHN_S src{MK_ID_AI, devId, index % AI_MAX_CHN_NUM};
        for (const MPP_CHN_S& dst : BindGraph::Instance().DestinationsOf(src)) {
            if (dst.enModId != MK_ID_AENC || static_cast<uint32_t>(dst.s32ChnId) >= kAencChns) continue;
            Bound& b = bound[dst.s32ChnId];
            while (b.queue.size() >= kBoundDepth) {
                pools.Release(b.queue.front().handle);
                b.queue.pop_front();
            }
            if (takers > 0) pools.AddRef(blk);
            b.queue.push_back(h);
            ++takers;
        }
        if (takers == 0) pools.Release(blk);
        UpdateReadable(index);
        cv.notify_all();
        return 0;
    }

    int16_t SampleLocked(const Chn& c, const Dev& d, uint64_t n) const {
        if (c.source == AiSource::kSpeech && !c.speech.empty()) return c.speech[n % c.speech.size()];
        const double amp = 32767.0 * std::pow(10.0, c.level / 20.0);
        const double rate = d.attr.enSampleRate;
        return static_cast<int16_t>(
            std::lround(amp * std::sin(2.0 * 3.14159265358979323846 * c.freq *
                                       static_cast<double>(n % (1ull << 40)) / rate)));
    }

    // Makes generator frame `k` of the channel.
    void GenerateLocked(int index, uint64_t k) {
        Chn& c = chns[index];
        const Dev& d = devs[index / AI_MAX_CHN_NUM];
        const uint32_t points = d.attr.u32PtNumPerFrm;
        const uint32_t bpp = AudioBytesPerPoint(d.attr.enBitwidth);
        std::vector<uint8_t> bytes(static_cast<size_t>(points) * bpp);
        for (uint32_t i = 0; i < points; ++i) {
            const int16_t s = SampleLocked(c, d, k * points + i);
            if (bpp == 1) {
                bytes[i] = static_cast<uint8_t>(s >> 8);
            } else {
                std::memcpy(&bytes[2 * i], &s, 2);
            }
        }
        const uint64_t ts = c.startUs + k * points * 1000000ull / d.attr.enSampleRate;
        std::vector<uint8_t> silence(bytes.size(), 0);
        CaptureLocked(index, bytes.data(), bytes.data(), static_cast<uint32_t>(bytes.size()), ts, true,
                      silence.data(), static_cast<uint32_t>(silence.size()));
    }

    // The capture thread: makes every generator frame that is due, then sleeps to the next.
    void GenLoop() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!genStop) {
            bool any = false;
            uint64_t nextUs = UINT64_MAX;
            const uint64_t now = host::MonotonicUs();
            for (int index = 0; index < AI_CHN_INDEX_NUM; ++index) {
                Chn& c = chns[index];
                const Dev& d = devs[index / AI_MAX_CHN_NUM];
                if (!c.enabled || !d.enabled || c.source == AiSource::kNone) continue;
                any = true;
                const uint64_t period = 1000000ull * d.attr.u32PtNumPerFrm;  // over the rate
                const uint64_t due = (now - c.startUs) * d.attr.enSampleRate / period;
                if (due > c.generated + kMaxCatchUp) {
                    c.missed += due - kMaxCatchUp - c.generated;
                    c.generated = due - kMaxCatchUp;
                }
                while (c.generated < due) GenerateLocked(index, c.generated++);
                nextUs = std::min(nextUs, c.startUs + (c.generated + 1) * period / d.attr.enSampleRate);
            }
            if (!any) break;
            const auto wait = std::chrono::microseconds(nextUs > now ? nextUs - now : 0);
            cv.wait_for(lock, wait);
        }
        genRun = false;
    }

    // Starts the capture thread when a generator channel needs it, or tells the running one.
    void KickGeneratorLocked(std::unique_lock<std::mutex>& lock) {
        if (genRun) {
            cv.notify_all();
            return;
        }
        if (gen.joinable()) {
            // The last one ended by itself: it no longer needs the lock to finish.
            lock.unlock();
            gen.join();
            lock.lock();
            if (genRun) return;
        }
        genRun = true;
        gen = std::thread([this] { GenLoop(); });
    }

    void ResetLocked() {
        for (int index = 0; index < AI_CHN_INDEX_NUM; ++index) {
            Chn& c = chns[index];
            DisableChnLocked(index);
            ReleaseAll(c.held);
            std::set<AiFile*> files = std::move(c.files);
            const uint64_t epoch = c.epoch;
            const uint32_t waiters = c.waiters;
            c = Chn{};
            c.waiters = waiters;
            c.files = std::move(files);
            c.epoch = epoch;  // never back: a getter compares it with what it saw
        }
        for (Bound& b : bound) {
            ReleaseAll(b.queue);
            ReleaseAll(b.held);
        }
        for (Dev& d : devs) {
            if (d.pool >= 0) VbPools::Instance().DestroyPool(d.pool);
            d = Dev{};
        }
        cv.notify_all();
    }
};

AiDriver::AiDriver() : Driver("/dev/ai"), m_state(std::make_unique<State>()) {}

AiDriver::~AiDriver() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->genStop = true;
        m_state->cv.notify_all();
    }
    if (m_state->gen.joinable()) m_state->gen.join();
}

std::shared_ptr<AiDriver> AiDriver::Get() {
    InstallAiDriver();
    return dev::Registry::Get<AiDriver>("/dev/ai");
}

std::unique_ptr<dev::File> AiDriver::Open(int) {
    return std::make_unique<AiFile>();
}

void AiDriver::Release(dev::File& file) {
    auto& f = static_cast<AiFile&>(file);
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (f.index >= 0) m_state->chns[f.index].files.erase(&f);
}

namespace {

template <typename T>
int Store(unsigned long request, const void* arg, T* field) {
    T v;
    if (CopyRequestIn(request, arg, &v) != 0) return -1;
    *field = v;
    return 0;
}

bool ValidAo(const AI_AEC_AO_S& ao) {
    return static_cast<uint32_t>(ao.s32AoDev) < AI_DEV_MAX_NUM &&
           static_cast<uint32_t>(ao.s32AoChn) < AI_MAX_CHN_NUM;
}

}  // namespace

int AiDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<AiFile&>(file);
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (request == MK_AI_IOC_BIND) {
        uint32_t index;
        if (CopyRequestIn(request, arg, &index) != 0) return -1;
        if (index >= AI_CHN_INDEX_NUM) return MK_ERR_AI_INVALID_CHNID;
        if (f.index >= 0) s.chns[f.index].files.erase(&f);
        f.index = static_cast<int>(index);
        s.chns[index].files.insert(&f);
        s.UpdateReadable(f.index);
        return 0;
    }
    if (f.index < 0) return MK_ERR_AI_SYS_NOTREADY;
    const int devId = f.index / AI_MAX_CHN_NUM;
    const int chnId = f.index % AI_MAX_CHN_NUM;
    State::Dev& d = s.devs[devId];
    State::Chn& c = s.chns[f.index];
    switch (request) {
        case MK_AI_IOC_SET_PUBATTR: {
            AIO_ATTR_S a;
            if (CopyRequestIn(request, arg, &a) != 0) return -1;
            if (d.enabled) return MK_ERR_AI_NOT_PERM;
            if (!ValidRate(a.enSampleRate) || a.enBitwidth > AUDIO_BIT_WIDTH_16 ||
                a.enSoundmode > AUDIO_SOUND_MODE_STEREO || a.u32PtNumPerFrm == 0 ||
                a.u32PtNumPerFrm > kMaxPoints || a.u32ChnCount == 0 || a.u32ChnCount > AI_MAX_CHN_NUM) {
                return MK_ERR_AI_ILLEGAL_PARAM;
            }
            d.attr = a;
            d.attrSet = true;
            return 0;
        }
        case MK_AI_IOC_GET_PUBATTR:
            if (!d.attrSet) return MK_ERR_AI_NOT_CONFIG;
            return CopyRequestOut(request, arg, d.attr);
        case MK_AI_IOC_CLR_PUBATTR:
            if (d.enabled) return MK_ERR_AI_NOT_PERM;
            d.attrSet = false;
            return 0;
        case MK_AI_IOC_ENABLE: {
            if (!d.attrSet) return MK_ERR_AI_NOT_CONFIG;
            if (d.enabled) return 0;
            const int pool = VbPools::Instance().CreatePool(
                2 * TrackRoom(d.attr), d.attr.u32ChnCount * kBlocksPerChn, "", true, VbPools::kPrivate);
            if (pool < 0) return MK_ERR_AI_NOMEM;
            d.pool = pool;
            d.enabled = true;
            return 0;
        }
        case MK_AI_IOC_DISABLE: {
            if (!d.enabled) return 0;
            // The pool goes with the device: not while a frame of it is out.
            for (int i = devId * AI_MAX_CHN_NUM; i < (devId + 1) * AI_MAX_CHN_NUM; ++i) {
                if (!s.chns[i].held.empty()) return MK_ERR_AI_BUSY;
            }
            for (const State::Bound& b : s.bound) {
                for (const Held& h : b.held) {
                    if (h.srcIndex / AI_MAX_CHN_NUM == devId) return MK_ERR_AI_BUSY;
                }
            }
            for (int i = devId * AI_MAX_CHN_NUM; i < (devId + 1) * AI_MAX_CHN_NUM; ++i) s.DisableChnLocked(i);
            VbPools::Instance().DestroyPool(d.pool);
            d.pool = -1;
            d.enabled = false;
            return 0;
        }
        case MK_AI_IOC_GET_POOL:
            if (!d.enabled) return MK_ERR_AI_NOT_ENABLED;
            return CopyRequestOut(request, arg, static_cast<MK_U32>(d.pool));
        case MK_AI_IOC_GET_CHN_PARAM:
            return CopyRequestOut(request, arg, AI_CHN_PARAM_S{c.depth});
        case MK_AI_IOC_SET_CHN_PARAM: {
            AI_CHN_PARAM_S p;
            if (CopyRequestIn(request, arg, &p) != 0) return -1;
            if (p.u32UsrFrmDepth > kMaxDepth) return MK_ERR_AI_ILLEGAL_PARAM;
            c.depth = p.u32UsrFrmDepth;
            while (c.queue.size() > c.depth) {
                VbPools::Instance().Release(c.queue.front().handle);
                c.queue.pop_front();
            }
            s.UpdateReadable(f.index);
            return 0;
        }
        case MK_AI_IOC_GET_FRAME: {
            AI_FRAME_REQ_S req;
            if (CopyRequestIn(request, arg, &req) != 0) return -1;
            if (req.s32MilliSec < -1) return MK_ERR_AI_ILLEGAL_PARAM;
            if (!c.enabled) return MK_ERR_AI_NOT_ENABLED;
            if (c.depth == 0) return MK_ERR_AI_NOT_PERM;
            const uint64_t epoch = c.epoch;
            auto ready = [&c, epoch] { return !c.queue.empty() || c.epoch != epoch; };
            ++c.waiters;
            if (req.s32MilliSec == -1) {
                s.cv.wait(lock, ready);
            } else if (req.s32MilliSec > 0) {
                s.cv.wait_for(lock, std::chrono::milliseconds(req.s32MilliSec), ready);
            }
            --c.waiters;
            if (c.epoch != epoch || !c.enabled) return MK_ERR_AI_NOT_ENABLED;
            if (c.queue.empty()) return MK_ERR_AI_BUF_EMPTY;
            Held h = c.queue.front();
            c.queue.pop_front();
            c.held.push_back(h);
            s.UpdateReadable(f.index);
            req.stFrame = h.rec.stFrame;
            req.stAecFrm = h.rec.stAecFrm;
            return CopyRequestOut(request, arg, req);
        }
        case MK_AI_IOC_RELEASE_FRAME: {
            AUDIO_FRAME_RECORD_S rec;
            if (CopyRequestIn(request, arg, &rec) != 0) return -1;
            const uint32_t phys = rec.stFrame.u32PhyAddr[0];
            auto it = std::find_if(c.held.begin(), c.held.end(),
                                   [&rec](const Held& h) { return SameFrame(h.rec.stFrame, rec.stFrame); });
            if (it != c.held.end()) {
                VbPools::Instance().Release(it->handle);
                c.held.erase(it);
                return 0;
            }
            // A block of the caller's own resampling pool, which it took for an up-sampled frame.
            std::optional<VbPools::BlockInfo> b = VbPools::Instance().BlockAt(phys);
            std::optional<VbPools::PoolInfo> p = b ? VbPools::Instance().Pool(b->pool) : std::nullopt;
            bool devicePool = false;
            for (const State::Dev& any : s.devs) devicePool |= b && any.pool == b->pool;
            if (b && p && p->ex && !devicePool &&
                static_cast<uint32_t>(b->pool) == rec.stFrame.u32PoolId[0]) {
                VbPools::Instance().Release(b->handle);
                return 0;
            }
            return MK_ERR_AI_ILLEGAL_PARAM;
        }
        case MK_AI_IOC_AEC_ON:
        case MK_AI_IOC_REF_FRAME_ON: {
            AI_AEC_AO_S ao;
            if (CopyRequestIn(request, arg, &ao) != 0) return -1;
            if (!ValidAo(ao)) return MK_ERR_AI_ILLEGAL_PARAM;
            if (!c.enabled) return MK_ERR_AI_NOT_ENABLED;
            (request == MK_AI_IOC_AEC_ON ? c.aec : c.refFrame) = true;
            c.aecAo = ao;
            return 0;
        }
        case MK_AI_IOC_AEC_OFF:
        case MK_AI_IOC_REF_FRAME_OFF:
            if (CheckNoRecord(request) != 0) return -1;
            (request == MK_AI_IOC_AEC_OFF ? c.aec : c.refFrame) = false;
            if (!c.aec && !c.refFrame) s.DropRing(c);
            return 0;
        case MK_AI_IOC_ENABLE_CHN:
            if (!d.enabled) return MK_ERR_AI_NOT_PERM;
            if (static_cast<uint32_t>(chnId) >= d.attr.u32ChnCount) return MK_ERR_AI_INVALID_CHNID;
            if (c.enabled) return 0;
            c.enabled = true;
            c.seq = 0;
            c.generated = 0;
            c.startUs = host::MonotonicUs();
            if (c.source != AiSource::kNone) s.KickGeneratorLocked(lock);
            return 0;
        case MK_AI_IOC_DISABLE_CHN:
            if (CheckNoRecord(request) != 0) return -1;
            if (c.enabled) s.DisableChnLocked(f.index);
            return 0;
        case MK_AI_IOC_RESMP_DBG:
            return Store(request, arg, &c.resmp);
        case MK_AI_IOC_VQE_DBG:
            if (Store(request, arg, &c.vqe) != 0) return -1;
            ++c.vqeCount;
            return 0;
        case MK_AI_IOC_VQE_VOLUME:
            return Store(request, arg, &c.volume);
        case MK_AI_IOC_SET_TRACK_MODE:
            return Store(request, arg, &d.trackMode);
        case MK_AI_IOC_GET_TRACK_MODE:
            return CopyRequestOut(request, arg, d.trackMode);
        case MK_AI_IOC_SET_CLKDIR:
            return Store(request, arg, &d.clkDir);
        case MK_AI_IOC_GET_CLKDIR:
            return CopyRequestOut(request, arg, d.clkDir);
        case MK_AI_IOC_SET_DUMP:
            return Store(request, arg, &c.dump);
        case MK_AI_IOC_GET_DUMP:
            return CopyRequestOut(request, arg, c.dump);
        default:
            return dev::Fail(ENOTTY);
    }
}

int AiDriver::Inject(int devId, int chn, const AiInjectFrame& frame) {
    if (static_cast<uint32_t>(devId) >= AI_DEV_MAX_NUM || static_cast<uint32_t>(chn) >= AI_MAX_CHN_NUM) {
        return MK_ERR_AI_INVALID_CHNID;
    }
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    const int index = AiChnIndex(devId, chn);
    const uint32_t len = static_cast<uint32_t>(frame.track0.size());
    std::vector<uint8_t> t1 = frame.track1;
    t1.resize(len, 0);
    const uint64_t ts = frame.timeStamp ? *frame.timeStamp : host::MonotonicUs();
    return s.CaptureLocked(index, frame.track0.data(), t1.data(), len, ts, frame.withRef, frame.ref.data(),
                           static_cast<uint32_t>(frame.ref.size()));
}

void AiDriver::SetSource(int devId, int chn, AiSource source, double freqHz, double level) {
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    const int index = AiChnIndex(devId, chn);
    State::Chn& c = s.chns[index];
    const State::Dev& d = s.devs[devId];
    c.source = source;
    c.freq = freqHz;
    c.level = level;
    c.speech.clear();
    if (source == AiSource::kSpeech) {
        const double rate = d.attrSet ? static_cast<double>(d.attr.enSampleRate) : 8000.0;
        c.speech.resize(static_cast<size_t>(rate * kSpeechSeconds));
        varnelle::voice::SpeechLike(c.speech.data(), static_cast<int>(c.speech.size()), level,
                                    static_cast<uint32_t>(index + 1), rate);
    }
    if (c.enabled && source != AiSource::kNone) s.KickGeneratorLocked(lock);
}

int16_t AiDriver::SourceSample(int devId, int chn, uint64_t index) const {
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.SampleLocked(s.chns[AiChnIndex(devId, chn)], s.devs[devId], index);
}

AiChnView AiDriver::Channel(int devId, int chn) const {
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    const State::Chn& c = s.chns[AiChnIndex(devId, chn)];
    uint32_t boundHeld = 0;
    for (const State::Bound& b : s.bound) {
        for (const Held& h : b.held) boundHeld += h.srcIndex == AiChnIndex(devId, chn) ? 1 : 0;
    }
    return AiChnView{c.enabled,  c.depth,
                     c.aec,      c.refFrame,
                     c.aecAo,    static_cast<uint32_t>(c.queue.size()),
                     c.waiters,  static_cast<uint32_t>(c.held.size()),
                     boundHeld,  c.captured,
                     c.missed,   static_cast<uint32_t>(c.ring.size()),
                     c.resmp,    c.vqe,
                     c.vqeCount, c.volume,
                     c.dump};
}

AiDevView AiDriver::Device(int devId) const {
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    const State::Dev& d = s.devs[devId];
    return AiDevView{d.attrSet, d.enabled, d.attr, d.pool, d.trackMode, d.clkDir};
}

uint32_t AiDriver::HeldBlocks() const {
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    uint32_t n = 0;
    for (const State::Chn& c : s.chns) n += static_cast<uint32_t>(c.held.size());
    for (const State::Bound& b : s.bound) n += static_cast<uint32_t>(b.held.size());
    return n;
}

int AiDriver::TakeBound(int aencChn, AUDIO_FRAME_RECORD_S* out) {
    if (static_cast<uint32_t>(aencChn) >= kAencChns) return MK_ERR_AI_INVALID_CHNID;
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    State::Bound& b = s.bound[aencChn];
    if (b.queue.empty()) return MK_ERR_AI_BUF_EMPTY;
    b.held.push_back(b.queue.front());
    b.queue.pop_front();
    *out = b.held.back().rec;
    return 0;
}

int AiDriver::ReleaseBound(int aencChn, const AUDIO_FRAME_RECORD_S& rec) {
    if (static_cast<uint32_t>(aencChn) >= kAencChns) return MK_ERR_AI_INVALID_CHNID;
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<Held>& held = s.bound[aencChn].held;
    auto it = std::find_if(held.begin(), held.end(),
                           [&rec](const Held& h) { return SameFrame(h.rec.stFrame, rec.stFrame); });
    if (it == held.end()) return MK_ERR_AI_ILLEGAL_PARAM;
    VbPools::Instance().Release(it->handle);
    held.erase(it);
    return 0;
}

void AiDriver::DropBound(int aencChn) {
    if (static_cast<uint32_t>(aencChn) >= kAencChns) return;
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    ReleaseAll(s.bound[aencChn].queue);
    ReleaseAll(s.bound[aencChn].held);
}

void AiDriver::Reset() {
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.genStop = true;
    s.cv.notify_all();
    lock.unlock();
    if (s.gen.joinable()) s.gen.join();
    lock.lock();
    s.genStop = false;
    s.genRun = false;
    s.ResetLocked();
}

void InstallAiDriver() {
    InstallDriverOnce<AiDriver>();
}

}  // namespace varnelle::drivers
