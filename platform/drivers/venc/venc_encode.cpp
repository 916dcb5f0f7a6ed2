// Encoding: pictures received through the bindings, queued per channel and encoded by the encoder
// threads; frames fed by hand; the push hook for tests.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/venc/venc_driver_internal.h"

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

VencDriver::VencDriver() : Driver("/dev/venc") {
    for (int i = 0; i < kEncoderThreads; ++i) {
        m_threads[i] = std::make_unique<PacedThread>("venc-" + std::to_string(i), [this, i](uint64_t) { return EncodeReceived(i); });
    }
}

VencDriver::~VencDriver() {
    FrameRouter::Instance().Detach(MK_ID_VENC, this);
    for (auto& t : m_threads) t.reset();  // joins, before the channels go
}

bool VencDriver::OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) {
    const int chn = dst.s32ChnId;
    if (chn < 0 || chn >= kMaxChn) return false;
    int thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(chn);
        if (c == nullptr || !c->receiving) return false;
        // The rate control encodes its destination rate of every source rate's pictures.
        if (!c->rate.Keep()) {
            ++c->thinned;
            return false;
        }
        ++c->received;
        c->pictures.push_back(frame);
        while (c->pictures.size() > kPictureQueue) {
            c->pictures.pop_front();
            ++c->missed;
        }
        thread = c->thread;
    }
    m_threads[thread]->Wake();
    return true;
}

void VencDriver::OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) {
    if (dst.s32ChnId < 0 || dst.s32ChnId >= kMaxChn) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Channel* c = Find(dst.s32ChnId)) c->pictures.clear();
}

std::optional<SIZE_S> VencDriver::WantedSize(const MPP_CHN_S& dst) {
    if (dst.s32ChnId < 0 || dst.s32ChnId >= kMaxChn) return std::nullopt;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(dst.s32ChnId);
    if (c == nullptr) return std::nullopt;
    return SIZE_S{PicWidth(c->attr), PicHeight(c->attr)};
}

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
    ++m_jobsInFlight;
    return job;
}

bool VencDriver::RunJob(Job& job) {
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
        // The picture at the channel's size in a buffer of the encoder's own: the regions drawn into it
        // must not reach the other receivers of a shared picture.
        const size_t stride = static_cast<size_t>(2 * cw);
        e.picture.resize(stride * h + stride * ch);
        uint8_t* y = e.picture.data();
        uint8_t* vu = y + stride * h;
        if (job.picture) {
            const HeldFrame& p = *job.picture;
            Yuv420SpPlanes src{p.Plane(0), p.Stride(0), p.Plane(1), p.Stride(1), static_cast<int>(p.Width()),
                               static_cast<int>(p.Height())};
            if (!e.scaler.Scale(src, Yuv420SpPlanes{y, stride, vu, stride, w, h})) {
                std::lock_guard<std::mutex> lock(m_mutex);  // a picture outside RAM: never encoded
                Channel* c = Find(job.chn);
                if (c != nullptr && c->generation == job.generation) ++c->missed;
                return false;
            }
        } else {
            DrawTestPattern(PatternFrame{y, stride, vu, stride, w, h}, job.pattern, job.frameIndex);
        }
        DrawChannelRegions(MPP_CHN_S{MK_ID_VENC, 0, job.chn}, PatternFrame{y, stride, vu, stride, w, h});
        // The codecs take planar chroma; the chip's pictures hold chroma pairs, V first.
        e.i420.resize(ySize + 2 * static_cast<size_t>(cw) * ch);
        uint8_t* py = e.i420.data();
        uint8_t* pu = py + ySize;
        uint8_t* pv = pu + static_cast<size_t>(cw) * ch;
        for (int row = 0; row < h; ++row) std::memcpy(py + row * w, y + row * stride, static_cast<size_t>(w));
        for (int row = 0; row < ch; ++row) {
            const uint8_t* src = vu + row * stride;
            uint8_t* u = pu + row * cw;
            uint8_t* v = pv + row * cw;
            for (int x = 0; x < cw; ++x) {
                v[x] = src[2 * x];
                u[x] = src[2 * x + 1];
            }
        }
        key = key || e.gopPos == 0 || job.config.payloadType == PT_JPEG;
        venc::Picture pic{py, pu, pv, w, cw, w, h};
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
int VencDriver::Receiver(int chn, Channel** out) {
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    if (!c->receiving) return MK_ERR_VENC_NOT_PERM;
    *out = c;
    return 0;
}

int VencDriver::SendFrame(VencFile& f, unsigned long request, void* arg) {
    VIDEO_FRAME_INFO_S frame;
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    // Semi-planar 4:2:0 from simulated RAM: luma at component 0, chroma pairs at component 1. Any size
    // within the limits is scaled to the picture size. The picture is checked before the job takes
    // the channel's key-frame request and user data, so a frame refused here leaves them for the next.
    const uint32_t w = frame.u32Width, h = frame.u32Height;
    if (w == 0 || h == 0 || w > kMaxPicSide || h > kMaxPicSide || frame.u32Stride[0] < w ||
        frame.u32Stride[1] < ((w + 1) & ~1u))  // chroma rows hold whole pairs
        return MK_ERR_VENC_ILLEGAL_PARAM;
    HeldFrame picture(frame);
    if (picture.Plane(0) == nullptr || picture.Plane(1) == nullptr) return MK_ERR_VENC_ILLEGAL_PARAM;
    Job job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c;
        if (int err = Receiver(f.chn, &c)) return err;
        job = MakeJob(f.chn, *c, c->pushIndex++, frame.u64pts, f.chn);
    }
    job.picture = std::move(picture);
    const bool ok = RunJob(job);
    Finish(job, ok);
    return ok ? 0 : MK_ERR(MK_ID_VENC, MK_ERR_BUF_FULL);
}

void VencDriver::Finish(Job& job, bool ok) {
    job.picture.reset();  // before the reset that waits for this job may let the pools go
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_jobsInFlight == 0) m_jobsIdle.notify_all();
    Channel* c = Find(job.chn);
    if (ok || c == nullptr || c->generation != job.generation) return;
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
            job = MakeJob(chn, *c, c->pushIndex++, MediaClock::NowUs(), src ? PatternOf(*src) : chn);
        }
        const bool ok = RunJob(job);
        Finish(job, ok);
        if (ok) ++queued;
    }
    return queued;
}

uint64_t VencDriver::EncodeReceived(int thread) {
    for (;;) {
        std::optional<Job> job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Channels take turns, one picture each, so that a busy one holds up no other. A channel
            // that moved here while its last thread still encodes waits for that thread's wake.
            for (int k = 0; k < kMaxChn && !job; ++k) {
                const int chn = (m_cursor[thread] + k) % kMaxChn;
                Channel* c = Find(chn);
                if (c == nullptr || c->thread != thread || c->encoding || !c->receiving ||
                    c->pictures.empty())
                    continue;
                HeldFrame picture = std::move(c->pictures.front());
                c->pictures.pop_front();
                const uint64_t pts = picture.frame().u64pts;
                job = MakeJob(chn, *c, c->received, pts, chn);
                job->picture = std::move(picture);
                c->encoding = true;
                m_cursor[thread] = (chn + 1) % kMaxChn;
            }
        }
        if (!job) return PacedThread::kIdle;
        Finish(*job, RunJob(*job));
        Encoded(*job, thread);
    }
}

void VencDriver::Encoded(const Job& job, int thread) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(job.chn);
    if (c == nullptr || c->generation != job.generation) return;
    c->encoding = false;
    if (c->thread != thread && !c->pictures.empty()) m_threads[c->thread]->Wake();
}

uint64_t VencDriver::ThreadCpuUs() {
    uint64_t total = 0;
    for (const auto& t : m_threads) total += t->CpuUs();
    return total;
}

}  // namespace varnelle::drivers::venc
