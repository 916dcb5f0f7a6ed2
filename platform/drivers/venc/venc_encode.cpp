// Encoding: the threads that pace every receiving, bound channel on the platform clock, the push
// hook for tests, and frames fed by hand.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/venc/venc_driver_internal.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers::venc {
namespace {

// 16-byte identifier of the user data carried in SEI messages.
constexpr uint8_t kUserDataUuid[16] = {'V', 'a', 'r', 'n', 'e', 'l', 'l', 'e', 'U', 's', 'e', 'r', 'D', 'a', 't', 'a'};

// An SEI NAL unit (user data unregistered) with start code and emulation prevention.
std::vector<uint8_t> MakeUserDataSei(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> rbsp;
    rbsp.push_back(5);  // payload type: user data unregistered
    size_t size = sizeof(kUserDataUuid) + data.size();
    for (; size >= 255; size -= 255) rbsp.push_back(0xFF);
    rbsp.push_back(static_cast<uint8_t>(size));
    rbsp.insert(rbsp.end(), kUserDataUuid, kUserDataUuid + sizeof(kUserDataUuid));
    rbsp.insert(rbsp.end(), data.begin(), data.end());
    rbsp.push_back(0x80);  // trailing bits
    std::vector<uint8_t> nal = {0, 0, 0, 1, 0x06};
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            nal.push_back(3);
            zeros = 0;
        }
        nal.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return nal;
}

}  // namespace

VencDriver::Job VencDriver::MakeJob(int chn, Channel& c, uint64_t index, uint64_t pts, int pattern) {
    Job job;
    job.chn = chn;
    job.generation = c.generation;
    job.frameIndex = index;
    job.pts = pts;
    job.pattern = pattern;
    job.key = c.keyRequested;
    c.keyRequested = false;
    job.reconfigure = c.reconfigure;
    c.reconfigure = false;
    job.userData.swap(c.pendingUserData);
    job.enc = c.enc;
    Rates r = RatesOf(c.attr);
    job.config = CodecConfig{c.attr.stVeAttr.enType, static_cast<int>(PicWidth(c.attr)),
                             static_cast<int>(PicHeight(c.attr)), r.fps, r.kbps, 80};
    job.gop = r.gop;
    return job;
}

bool VencDriver::RunJob(Job& job, uint8_t* nv12, size_t nv12Stride) {
    std::vector<Unit> units;
    bool key = job.key;
    {
        EncState& e = *job.enc;
        std::lock_guard<std::mutex> encLock(e.mutex);
        const int w = job.config.width, h = job.config.height;
        if (job.reconfigure || !e.codec) {
            e.config = job.config;
            e.codec = venc::MakeCodec(e.config);
            e.gopPos = 0;
        }
        if (!e.codec) return false;
        // A picture the codec lost leaves the next one nothing to refer to.
        auto restartWithKey = [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(job.chn);
            if (c != nullptr && c->generation == job.generation) c->keyRequested = true;
            return false;
        };
        const size_t ySize = static_cast<size_t>(w) * h;
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        if (nv12 == nullptr) {
            e.nv12.resize(Yuv420Size(w, h));
            DrawTestPattern(PatternFrame{e.nv12.data(), static_cast<size_t>(w), e.nv12.data() + ySize,
                                         static_cast<size_t>(w), w, h},
                            job.pattern, job.frameIndex);
            nv12 = e.nv12.data();
            nv12Stride = static_cast<size_t>(w);
        }
        DrawChannelRegions(MPP_CHN_S{MK_ID_VENC, 0, job.chn},
                           PatternFrame{nv12, nv12Stride, nv12 + nv12Stride * h, nv12Stride, w, h});
        // The codecs take planar chroma; the pattern and the frames fed by hand are semi-planar.
        e.i420.resize(ySize + 2 * static_cast<size_t>(cw) * ch);
        uint8_t* y = e.i420.data();
        uint8_t* u = y + ySize;
        uint8_t* v = u + static_cast<size_t>(cw) * ch;
        for (int row = 0; row < h; ++row) std::memcpy(y + row * w, nv12 + row * nv12Stride, static_cast<size_t>(w));
        const uint8_t* uvPlane = nv12 + nv12Stride * h;
        for (int row = 0; row < ch; ++row) {
            const uint8_t* src = uvPlane + row * nv12Stride;
            for (int x = 0; x < cw; ++x) {
                u[row * cw + x] = src[2 * x];
                v[row * cw + x] = src[2 * x + 1];
            }
        }
        key = key || e.gopPos == 0 || job.config.payloadType == PT_JPEG;
        venc::Picture pic{y, u, v, w, cw, w, h};
        if (!e.codec->Encode(pic, key, job.pts, &units) || units.empty()) return restartWithKey();
        e.gopPos = key ? 1 : e.gopPos + 1;
        if (e.gopPos >= job.gop) e.gopPos = 0;
        if (!job.userData.empty()) {
            auto slice = std::find_if(units.begin(), units.end(), [](const Unit& u) {
                return u.dataType == H264E_NALU_PSLICE || u.dataType == H264E_NALU_ISLICE;
            });
            units.insert(slice, Unit{H264E_NALU_SEI, MakeUserDataSei(job.userData)});
        }
        return Commit(job, units, key);
    }
}

// The channel that takes a frame sent by hand: 0 with *out set, or the code that refuses the frame.
// Call with m_mutex held.
int VencDriver::Receiver(int chn, const VIDEO_FRAME_INFO_S& frame, Channel** out) {
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    if (!c->receiving) return MK_ERR_VENC_NOT_PERM;
    if (frame.u32Width != PicWidth(c->attr) || frame.u32Height != PicHeight(c->attr)) return MK_ERR_VENC_ILLEGAL_PARAM;
    *out = c;
    return 0;
}

int VencDriver::SendFrame(VencFile& f, unsigned long request, void* arg) {
    VIDEO_FRAME_INFO_S frame;
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c;
        if (int err = Receiver(f.chn, frame, &c)) return err;
    }
    // Semi-planar 4:2:0 from simulated RAM: luma at component 0, interleaved chroma at component 1.
    // The picture is read before the job takes the channel's key-frame request and user data, so a
    // frame refused here leaves them for the next one.
    const uint32_t w = frame.u32Width, h = frame.u32Height;
    if (frame.u32Stride[0] < w || frame.u32Stride[1] < w) return MK_ERR_VENC_ILLEGAL_PARAM;
    std::vector<uint8_t> nv12(Yuv420Size(static_cast<int>(w), static_cast<int>(h)));
    const mem::Ram& ram = mem::Ram::Local();
    for (uint32_t row = 0; row < h; ++row) {
        if (!ram.Read(frame.u32PhyAddr[0] + row * frame.u32Stride[0], nv12.data() + row * w, w))
            return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    for (uint32_t row = 0; row < (h + 1) / 2; ++row) {
        if (!ram.Read(frame.u32PhyAddr[1] + row * frame.u32Stride[1], nv12.data() + w * h + row * w, w))
            return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    Job job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Again: the channel may have changed while the picture was read.
        Channel* c;
        if (int err = Receiver(f.chn, frame, &c)) return err;
        job = MakeJob(f.chn, *c, c->pushIndex++, host::MonotonicUs(), f.chn);
    }
    if (RunJob(job, nv12.data(), w)) return 0;
    GiveBack(job);
    return MK_ERR(MK_ID_VENC, MK_ERR_BUF_FULL);
}

void VencDriver::GiveBack(Job& job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(job.chn);
    if (c == nullptr || c->generation != job.generation) return;
    if (job.key) c->keyRequested = true;
    // User data inserted since stays; the frame that failed had no room for both.
    if (c->pendingUserData.empty()) c->pendingUserData.swap(job.userData);
}

int VencDriver::Push(int chn, int frames) {
    int queued = 0;
    for (int i = 0; i < frames; ++i) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) break;
            auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, chn});
            job = MakeJob(chn, *c, c->pushIndex++, host::MonotonicUs(), src ? PatternOf(*src) : chn);
        }
        if (RunJob(job)) {
            ++queued;
        } else {
            GiveBack(job);
        }
    }
    return queued;
}

void VencDriver::EnsureThread() {
    if (!m_threads.empty()) return;
    for (int i = 0; i < kEncoderThreads; ++i) m_threads.emplace_back([this, i] { EncoderLoop(i); });
}

void VencDriver::EncoderLoop(int first) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        const uint64_t now = host::MonotonicUs();
        uint64_t wake = now + kIdleWakeUs;
        std::vector<Job> jobs;
        for (int chn = first; chn < kMaxChn; chn += kEncoderThreads) {
            Channel* c = Find(chn);
            if (c == nullptr || !c->receiving) continue;
            auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, chn});
            if (!src) {
                c->streaming = false;  // pictures flow again from the next bind on
                continue;
            }
            const uint64_t period = 1000000 / RatesOf(c->attr).fps;
            if (!c->streaming) {
                c->streaming = true;
                c->streamStartUs = now;
                c->nextIndex = 0;
            }
            // The frame due now; those due before it that were never encoded are counted as missed.
            const uint64_t due = (now - c->streamStartUs) / period;
            if (due >= c->nextIndex) {
                c->missed += due - c->nextIndex;
                jobs.push_back(MakeJob(chn, *c, due, c->streamStartUs + due * period, PatternOf(*src)));
                c->nextIndex = due + 1;
            }
            wake = std::min(wake, c->streamStartUs + c->nextIndex * period);
        }
        if (jobs.empty()) {
            // Binds are not announced to this driver, so an idle wait also ends at kIdleWakeUs.
            m_workCv.wait_for(lock, std::chrono::microseconds(wake > now ? wake - now : 0));
            continue;
        }
        lock.unlock();
        for (Job& job : jobs) {
            if (!RunJob(job)) GiveBack(job);
        }
        lock.lock();
    }
}

uint64_t VencDriver::ThreadCpuUs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t total = 0;
    for (std::thread& t : m_threads) {
        clockid_t cid;
        timespec ts{};
        if (pthread_getcpuclockid(t.native_handle(), &cid) != 0 || clock_gettime(cid, &ts) != 0) continue;
        total += static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
    }
    return total;
}

}  // namespace varnelle::drivers::venc
