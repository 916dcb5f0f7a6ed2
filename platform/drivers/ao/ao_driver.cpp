#include "platform/drivers/ao/ao_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/host/clock.h"

namespace varnelle::drivers {
namespace {

constexpr uint32_t kDefaultFrameCount = 4;

struct Frame {
    std::vector<uint8_t> track[2];
};

struct Chn {
    bool enabled = false;
    std::deque<Frame> fifo;
    uint64_t playedFrames = 0;
    uint64_t underruns = 0;
    uint64_t refusals = 0;
    std::vector<uint8_t> played[2];
    AUDIO_DUMPFILE_CFG_S dump{};
    AO_RESMP_DBG_S resmp{};
    AO_VQE_DBG_S vqe{};
};

struct Dev {
    bool attrSet = false;
    bool enabled = false;
    AIO_ATTR_S attr{};
    AO_MUTE_S mute{};
    uint32_t clkDir = 0;
    uint64_t startUs = 0;  // when it was enabled
    uint64_t played = 0;   // periods played since then
};

class AoFile : public dev::File {
public:
    int index = -1;  // set by the bind request
};

bool RateOk(uint32_t rate) {
    static const uint32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 96000};
    return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

uint32_t FrameBytes(const AIO_ATTR_S& a) { return a.u32PtNumPerFrm << a.enBitwidth; }
uint32_t Capacity(const AIO_ATTR_S& a) { return a.u32FrameCount != 0 ? a.u32FrameCount : kDefaultFrameCount; }
uint32_t Tracks(const AIO_ATTR_S& a) { return a.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1; }

}  // namespace

struct AoDriver::State {
    mutable std::mutex mutex;  // guards everything below
    std::condition_variable room;     // a queue gave up a frame, or a channel went away
    mutable std::condition_variable blocked;  // a send began to wait
    std::condition_variable wake;     // the pacer has something new to time
    Dev dev[AO_DEV_MAX_NUM];
    Chn chn[AO_CHN_INDEX_NUM];
    bool held = false;
    uint64_t heldUs = 0;
    int64_t offsetUs = 0;  // the running clock's distance from the host's monotonic clock
    bool record = false;
    bool stop = false;
    uint64_t generation = 0;  // bumped by every reset
    uint64_t blocks = 0;  // waits for room begun since the last reset
    std::thread pacer;

    uint64_t Now() const { return held ? heldUs : static_cast<uint64_t>(host::MonotonicUs() + offsetUs); }

    // Plays every period that has fallen due by `now` on every enabled device.
    void Drain(uint64_t now) {
        bool freed = false;
        for (int d = 0; d < AO_DEV_MAX_NUM; ++d) {
            Dev& dv = dev[d];
            if (!dv.enabled || now < dv.startUs) continue;
            const uint64_t due = (now - dv.startUs) * dv.attr.enSampleRate / (1000000ull * dv.attr.u32PtNumPerFrm);
            for (; dv.played < due; ++dv.played) {
                for (int c = 0; c < AO_MAX_CHN_NUM; ++c) {
                    Chn& ch = chn[AoChnIndex(d, c)];
                    if (!ch.enabled) continue;
                    if (ch.fifo.empty()) {
                        ++ch.underruns;
                        continue;
                    }
                    if (record) {
                        for (uint32_t t = 0; t < Tracks(dv.attr); ++t) {
                            const std::vector<uint8_t>& bytes = ch.fifo.front().track[t];
                            if (dv.mute.bEnable) {
                                ch.played[t].insert(ch.played[t].end(), bytes.size(), 0);
                            } else {
                                ch.played[t].insert(ch.played[t].end(), bytes.begin(), bytes.end());
                            }
                        }
                    }
                    ch.fifo.pop_front();
                    ++ch.playedFrames;
                    freed = true;
                }
            }
        }
        if (freed) room.notify_all();
    }

    // When the pacer should look again: the next period of any enabled device.
    uint64_t NextDue() const {
        uint64_t next = UINT64_MAX;
        for (const Dev& dv : dev) {
            if (!dv.enabled) continue;
            const uint64_t at = dv.startUs + (dv.played + 1) * 1000000ull * dv.attr.u32PtNumPerFrm / dv.attr.enSampleRate;
            next = std::min(next, at);
        }
        return next;
    }

    void Pace() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stop) {
            if (held) {
                wake.wait(lock);
                continue;
            }
            Drain(Now());
            const uint64_t next = NextDue();
            if (next == UINT64_MAX) {
                wake.wait(lock);
            } else {
                const uint64_t now = Now();
                if (next > now) wake.wait_for(lock, std::chrono::microseconds(next - now));
            }
        }
    }

    int Send(int index, const AO_SEND_FRAME_REQ_S& req) {
        std::unique_lock<std::mutex> lock(mutex);
        Dev& dv = dev[index / AO_MAX_CHN_NUM];
        Chn& ch = chn[index];
        if (!dv.attrSet) return MK_ERR_AO_NOT_CONFIG;
        if (!dv.enabled || !ch.enabled) return MK_ERR_AO_NOT_ENABLED;
        const AUDIO_FRAME_S& f = req.stFrame;
        if (f.enSoundmode != dv.attr.enSoundmode || f.enBitwidth != dv.attr.enBitwidth) return MK_ERR_AO_NOT_SUPPORT;
        if (f.u32Len != FrameBytes(dv.attr)) return MK_ERR_AO_ILLEGAL_PARAM;
        const uint32_t tracks = Tracks(dv.attr);
        for (uint32_t t = 0; t < tracks; ++t) {
            if (f.pVirAddr[t] == nullptr) return dev::Fail(EFAULT);
        }
        if (req.s32MilliSec < -1) return MK_ERR_AO_ILLEGAL_PARAM;
        const uint64_t gen = generation;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(req.s32MilliSec, 0));
        while (ch.fifo.size() >= Capacity(dv.attr)) {
            if (req.s32MilliSec == 0) {
                ++ch.refusals;
                return MK_ERR_AO_BUF_FULL;
            }
            ++blocks;
            blocked.notify_all();
            bool timedOut = false;
            if (req.s32MilliSec < 0) {
                room.wait(lock);
            } else {
                timedOut = room.wait_until(lock, deadline) == std::cv_status::timeout;
            }
            if (gen != generation || !dv.enabled || !ch.enabled) return MK_ERR_AO_NOT_ENABLED;
            if (timedOut && ch.fifo.size() >= Capacity(dv.attr)) {
                ++ch.refusals;
                return MK_ERR_AO_BUF_FULL;
            }
        }
        Frame frame;
        for (uint32_t t = 0; t < tracks; ++t) {
            const auto* p = static_cast<const uint8_t*>(f.pVirAddr[t]);
            frame.track[t].assign(p, p + f.u32Len);
        }
        ch.fifo.push_back(std::move(frame));
        return 0;
    }
};

AoDriver::AoDriver() : Driver("/dev/ao"), m_state(std::make_unique<State>()) {
    m_state->pacer = std::thread([s = m_state.get()] { s->Pace(); });
}

AoDriver::~AoDriver() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stop = true;
    }
    m_state->wake.notify_all();
    m_state->pacer.join();
}

std::shared_ptr<AoDriver> AoDriver::Get() {
    InstallAoDriver();
    return dev::Registry::Get<AoDriver>("/dev/ao");
}

std::unique_ptr<dev::File> AoDriver::Open(int) { return std::make_unique<AoFile>(); }

int AoDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<AoFile&>(file);
    State& s = *m_state;
    if (request == MK_AO_IOC_BIND) {
        MK_U32 index = 0;
        if (CopyRequestIn(request, arg, &index) != 0) return -1;
        if (index >= AO_CHN_INDEX_NUM) return dev::Fail(EINVAL);
        f.index = static_cast<int>(index);
        return 0;
    }
    if (f.index < 0) return dev::Fail(EBADF);
    const int index = f.index;
    if (request == MK_AO_IOC_SEND_FRAME) {
        AO_SEND_FRAME_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        return s.Send(index, req);
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    Dev& dv = s.dev[index / AO_MAX_CHN_NUM];
    Chn& ch = s.chn[index];
    switch (request) {
        case MK_AO_IOC_SET_PUBATTR: {
            AIO_ATTR_S a;
            if (CopyRequestIn(request, arg, &a) != 0) return -1;
            if (dv.enabled) return MK_ERR_AO_NOT_PERM;
            if (!RateOk(a.enSampleRate) || a.enBitwidth >= AUDIO_BIT_WIDTH_BUTT ||
                a.enSoundmode >= AUDIO_SOUND_MODE_BUTT || a.u32PtNumPerFrm == 0 ||
                a.u32PtNumPerFrm > AO_MAX_FRAME_BYTES || FrameBytes(a) > AO_MAX_FRAME_BYTES ||
                a.u32ChnCount > AO_MAX_CHN_NUM) {
                return MK_ERR_AO_ILLEGAL_PARAM;
            }
            dv.attr = a;
            dv.attrSet = true;
            return 0;
        }
        case MK_AO_IOC_GET_PUBATTR:
            if (!dv.attrSet) return MK_ERR_AO_NOT_CONFIG;
            return CopyRequestOut(request, arg, dv.attr);
        case MK_AO_IOC_ENABLE:
            if (!dv.attrSet) return MK_ERR_AO_NOT_CONFIG;
            if (!dv.enabled) {
                dv.enabled = true;
                dv.startUs = s.Now();
                dv.played = 0;
                s.wake.notify_all();
            }
            return 0;
        case MK_AO_IOC_DISABLE:
            dv.enabled = false;
            s.room.notify_all();
            return 0;
        case MK_AO_IOC_ENABLE_CHN:
            if (!dv.attrSet) return MK_ERR_AO_NOT_CONFIG;
            ch.enabled = true;
            return 0;
        case MK_AO_IOC_DISABLE_CHN:
            ch.enabled = false;
            ch.fifo.clear();
            s.room.notify_all();
            return 0;
        case MK_AO_IOC_CLEAR_CHN_BUF:
            ch.fifo.clear();
            s.room.notify_all();
            return 0;
        case MK_AO_IOC_QUERY_CHN_STAT: {
            AO_CHN_STATE_S st{};
            if (dv.attrSet) {
                st.u32ChnTotalNum = Capacity(dv.attr);
                st.u32ChnBusyNum = static_cast<MK_U32>(std::min<size_t>(ch.fifo.size(), st.u32ChnTotalNum));
                st.u32ChnFreeNum = st.u32ChnTotalNum - st.u32ChnBusyNum;
            }
            return CopyRequestOut(request, arg, st);
        }
        case MK_AO_IOC_CHN_STATE:
            return CopyRequestOut(request, arg, static_cast<MK_U32>(dv.enabled && ch.enabled ? 1 : 0));
        case MK_AO_IOC_RESMP_DBG:
            return CopyRequestIn(request, arg, &ch.resmp);
        case MK_AO_IOC_VQE_DBG:
            return CopyRequestIn(request, arg, &ch.vqe);
        case MK_AO_IOC_SET_CLKDIR:
            return CopyRequestIn(request, arg, &dv.clkDir);
        case MK_AO_IOC_SET_MUTE:
            return CopyRequestIn(request, arg, &dv.mute);
        case MK_AO_IOC_GET_MUTE:
            return dev::CopyOut(arg, dv.mute);
        case MK_AO_IOC_SET_DUMP:
            return CopyRequestIn(request, arg, &ch.dump);
        case MK_AO_IOC_GET_DUMP:
            return CopyRequestOut(request, arg, ch.dump);
        default:
            return dev::Fail(ENOTTY);
    }
}

AoDevView AoDriver::Device(int d) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const Dev& dv = m_state->dev[d];
    return AoDevView{dv.attrSet, dv.enabled, dv.attr, dv.mute, dv.clkDir};
}

AoChnView AoDriver::Channel(int index) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const Chn& ch = m_state->chn[index];
    const Dev& dv = m_state->dev[index / AO_MAX_CHN_NUM];
    AoChnView v{};
    v.enabled = ch.enabled;
    v.capacity = dv.attrSet ? Capacity(dv.attr) : 0;
    v.queued = static_cast<uint32_t>(ch.fifo.size());
    v.playedFrames = ch.playedFrames;
    v.underruns = ch.underruns;
    v.refusals = ch.refusals;
    v.played[0] = ch.played[0];
    v.played[1] = ch.played[1];
    v.dump = ch.dump;
    v.resmp = ch.resmp;
    v.vqe = ch.vqe;
    return v;
}

void AoDriver::RecordPlayed(bool on) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->record = on;
}

void AoDriver::HoldClock(bool held) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    if (held == s.held) return;
    // The time line goes on from where it stood, so no device sees it jump.
    if (held) {
        s.heldUs = s.Now();
    } else {
        s.offsetUs = static_cast<int64_t>(s.heldUs) - static_cast<int64_t>(host::MonotonicUs());
    }
    s.held = held;
    s.wake.notify_all();
}

void AoDriver::Tick(uint64_t us) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->held) return;
    m_state->heldUs += us;
    m_state->Drain(m_state->heldUs);
}

bool AoDriver::WaitForBlockedSends(uint64_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->blocked.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_state->blocks >= n; });
}

void AoDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    for (Dev& dv : s.dev) dv = Dev{};
    for (Chn& ch : s.chn) ch = Chn{};
    ++s.generation;
    s.blocks = 0;
    s.room.notify_all();
    s.wake.notify_all();
}

void InstallAoDriver() { InstallDriverOnce<AoDriver>(); }

}  // namespace varnelle::drivers
