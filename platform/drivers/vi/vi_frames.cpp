// The capture path: the producer thread that makes each channel's due frames (test pattern, flat
// field or user picture) in pool blocks and hands them on, the user's frame queue, the luma measure
// and the user picture.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/ram_window.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vi/vi_state.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VIU, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrNotEnabled = MK_ERR(MK_ID_VIU, MK_ERR_UNEXIST);
constexpr uint32_t kMaxSize = 8192;

MPP_CHN_S SourceOf(int chn) { return MPP_CHN_S{MK_ID_VIU, 0, chn}; }

// The media clock's time of day, in seconds since local midnight.
int SecondsOfDay() {
    time_t t = static_cast<time_t>(MediaClock::WallUs() / 1000000);
    tm local{};
    localtime_r(&t, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

// Scales the user picture (nearest pixel) into `f`; parts outside RAM read as black.
void DrawUserPic(const VIDEO_FRAME_INFO_S& pic, const PatternFrame& f) {
    const uint32_t pw = pic.u32Width, ph = pic.u32Height;
    // Every byte a row may read must lie in RAM, whatever strides the record gives.
    const uint8_t* y = RamWindow(pic.u32PhyAddr[0], static_cast<size_t>(pic.u32Stride[0]) * (ph - 1) + pw);
    const uint8_t* uv =
        RamWindow(pic.u32PhyAddr[1], static_cast<size_t>(pic.u32Stride[1]) * ((ph + 1) / 2 - 1) + pw + 1);
    if (y == nullptr || uv == nullptr) {
        DrawFlat(f, PatternYuv{16, 128, 128});
        return;
    }
    std::vector<uint32_t> xs(static_cast<size_t>(f.width));
    for (int x = 0; x < f.width; ++x) xs[x] = static_cast<uint32_t>(static_cast<uint64_t>(x) * pw / f.width);
    for (int row = 0; row < f.height; ++row) {
        const uint8_t* src = y + static_cast<size_t>(static_cast<uint64_t>(row) * ph / f.height) * pic.u32Stride[0];
        uint8_t* dst = f.y + row * f.yStride;
        for (int x = 0; x < f.width; ++x) dst[x] = src[xs[x]];
    }
    for (int row = 0; row < (f.height + 1) / 2; ++row) {
        const uint32_t srow = static_cast<uint32_t>(static_cast<uint64_t>(row) * ((ph + 1) / 2) / ((f.height + 1) / 2));
        const uint8_t* src = uv + static_cast<size_t>(srow) * pic.u32Stride[1];
        uint8_t* dst = f.uv + row * f.uvStride;
        for (int x = 0; x + 1 < f.width + 1; x += 2) {
            uint32_t sx = xs[x] & ~1u;
            dst[x] = src[sx];
            if (x + 1 < f.width) dst[x + 1] = src[sx + 1];
        }
    }
}

// Draws a job's picture into the planes of `f`.
void Draw(const vi::FrameJob& job, const PatternFrame& f, int secondsOfDay) {
    switch (job.kind) {
        case vi::FrameJob::kUserPic: DrawUserPic(job.userPic, f); break;
        case vi::FrameJob::kFlat: DrawFlat(f, PatternYuv{job.level, 128, 128}); break;
        case vi::FrameJob::kPattern:
            DrawTestPattern(f, job.chn, job.index, secondsOfDay, PatternScene::kCamera);
            break;
    }
}

// The job's frame in a new block, drawn; nothing when no block is free.
std::optional<HeldFrame> Render(const vi::FrameJob& job) {
    std::optional<HeldFrame> frame = AllocFrame(FrameBlocks{job.pool}, job.width, job.height, job.ptsUs,
                                                static_cast<uint32_t>(job.index * 2));
    if (!frame) return std::nullopt;
    uint8_t* y = frame->Plane(0);
    uint8_t* uv = frame->Plane(1);
    if (y == nullptr || uv == nullptr) return std::nullopt;
    const PatternFrame f{y, frame->Stride(0), uv, frame->Stride(1), static_cast<int>(job.width),
                         static_cast<int>(job.height)};
    Draw(job, f, SecondsOfDay());
    // Covers (and any overlay) attached to the channel are part of what it captures.
    DrawChannelRegions(MPP_CHN_S{MK_ID_VIU, 0, job.chn}, f);
    return frame;
}

}  // namespace

const VI_USERPIC_ATTR_S* ViDriver::State::UserPicLocked(int chn) const {
    if (chns[chn].userPicSet) return &chns[chn].userPic;
    return publicPicSet ? &publicPic : nullptr;
}

vi::FrameJob ViDriver::State::JobLocked(int chn, uint64_t index, uint64_t ptsUs) const {
    const vi::Chn& c = chns[chn];
    vi::FrameJob job{};
    job.chn = chn;
    job.generation = c.generation;
    job.index = index;
    job.ptsUs = ptsUs;
    job.width = c.attr.u32DestWidth;
    job.height = c.attr.u32DestHeight;
    job.pool = c.pool;
    const VI_USERPIC_ATTR_S* pic = c.userPicEnabled ? UserPicLocked(chn) : nullptr;
    if (pic != nullptr) {
        job.kind = vi::FrameJob::kUserPic;
        job.userPic = pic->stUsrPicFrm;
    } else if (c.lumaLevel) {
        job.kind = vi::FrameJob::kFlat;
        job.level = *c.lumaLevel;
    } else {
        job.kind = vi::FrameJob::kPattern;
    }
    return job;
}

uint64_t ViDriver::State::Tick(uint64_t nowUs) {
    FrameRouter& router = FrameRouter::Instance();
    std::vector<vi::FrameJob> jobs;
    uint64_t next = PacedThread::kIdle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int chn = 0; chn < VIU_MAX_CHN_NUM; ++chn) {
            vi::Chn& c = chns[chn];
            if (!c.enabled || !c.pacer.Running()) continue;
            if (std::optional<uint64_t> index = c.pacer.Take(nowUs)) {
                const bool userPic = c.userPicEnabled && UserPicLocked(chn) != nullptr;
                if (!userPic && (!c.interrupt || c.noSignal)) {
                    ++c.lost;
                } else if (c.rate.Keep() && (c.depth > 0 || router.HasDestinations(SourceOf(chn)))) {
                    jobs.push_back(JobLocked(chn, *index, c.pacer.DueUs(*index)));
                }
            }
            next = std::min(next, c.pacer.NextDueUs());
        }
    }
    // Drawing and delivery run without the lock: receivers may take their time over OnFrame, and
    // the user's requests go on meanwhile.
    for (const vi::FrameJob& job : jobs) {
        std::optional<HeldFrame> frame = Render(job);
        {
            std::lock_guard<std::mutex> lock(mutex);
            vi::Chn& c = chns[job.chn];
            if (c.generation != job.generation) continue;  // disabled, restarted or reset meanwhile
            if (!frame) {
                ++c.vbFail;
                continue;
            }
        }
        router.Publish(SourceOf(job.chn), *frame);
        std::lock_guard<std::mutex> lock(mutex);
        vi::Chn& c = chns[job.chn];
        if (c.generation != job.generation) continue;
        ++c.made;
        if (c.depth > 0) {
            c.queue.push_back(std::move(*frame));
            // The user keeps the newest `depth` frames; older ones go back.
            while (c.queue.size() > c.depth) c.queue.pop_front();
            queued.notify_all();
        }
    }
    return next;
}

std::optional<HeldFrame> ViDriver::CaptureFrame(int chn) {
    if (static_cast<uint32_t>(chn) >= VIU_MAX_CHN_NUM) return std::nullopt;
    vi::FrameJob job;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        const vi::Chn& c = m_state->chns[chn];
        if (!c.enabled) return std::nullopt;
        const uint64_t now = MediaClock::NowUs();
        job = m_state->JobLocked(chn, c.pacer.DueIndex(now), now);
        if (job.kind != vi::FrameJob::kUserPic && (!c.interrupt || c.noSignal)) return std::nullopt;
    }
    return Render(job);
}

int ViDriver::State::GetFrame(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    vi::Chn& c = chns[chn];
    VI_FRAME_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!c.enabled) return kErrNotEnabled;
    // Frames reach the user only up to the depth the user asked to keep.
    if (c.depth == 0) return MK_ERR(MK_ID_VIU, MK_ERR_NOT_PERM);
    if (c.held.size() >= c.depth) return MK_ERR(MK_ID_VIU, MK_ERR_BUF_EMPTY);
    const uint64_t generation = c.generation;
    bool ready = WaitFor(queued, lock, req.s32MilliSec,
                         [&] { return c.generation != generation || !c.queue.empty(); });
    if (c.generation != generation) return kErrNotEnabled;
    if (!ready) return MK_ERR(MK_ID_VIU, MK_ERR_BUF_EMPTY);
    req.stFrame = c.queue.front().frame();
    if (CopyRequestOut(request, arg, req) != 0) return -1;  // the frame stays queued
    c.held.push_back(std::move(c.queue.front()));
    c.queue.pop_front();
    return 0;
}

int ViDriver::State::ReleaseFrameLocked(int chn, unsigned long request, void* arg) {
    VIDEO_FRAME_INFO_S frame;
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    std::vector<HeldFrame>& held = chns[chn].held;
    auto it = std::find_if(held.begin(), held.end(), [&](const HeldFrame& h) { return h.Same(frame); });
    if (it == held.end()) return kErrParam;  // not a frame this channel gave out
    held.erase(it);
    return 0;
}

int ViDriver::State::LumaLocked(int chn, unsigned long request, void* arg) {
    vi::Chn& c = chns[chn];
    if (!c.enabled) return kErrNotEnabled;
    VI_CHN_LUMA_S luma{};
    const uint64_t now = MediaClock::NowUs();
    vi::FrameJob job = JobLocked(chn, c.pacer.DueIndex(now), now);
    const uint32_t w = job.width, h = job.height;
    uint64_t sum = 0;
    if (job.kind == vi::FrameJob::kFlat) {
        sum = static_cast<uint64_t>(w) * h * job.level;
    } else if (job.kind == vi::FrameJob::kUserPic || (c.interrupt && !c.noSignal)) {
        // Without signal the input is dark: the sum stays 0.
        std::vector<uint8_t> y(static_cast<size_t>(w) * h), uv(static_cast<size_t>(w) * ((h + 1) / 2));
        Draw(job, PatternFrame{y.data(), w, uv.data(), w, static_cast<int>(w), static_cast<int>(h)}, SecondsOfDay());
        for (uint8_t v : y) sum += v;
    }
    luma.u32Luma = static_cast<uint32_t>(std::min<uint64_t>(sum, 0xFFFFFFFFu));
    return CopyRequestOut(request, arg, luma);
}

int ViDriver::State::SetUserPicLocked(int chn, unsigned long request, void* arg) {
    VI_USERPIC_ATTR_S pic;
    if (CopyRequestIn(request, arg, &pic) != 0) return -1;
    const VIDEO_FRAME_INFO_S& f = pic.stUsrPicFrm;
    if (f.u32Width < 2 || f.u32Width > kMaxSize || f.u32Height < 2 || f.u32Height > kMaxSize ||
        f.u32Stride[0] < f.u32Width) {
        return kErrParam;
    }
    if (pic.bPub) {
        publicPic = pic;
        publicPicSet = true;
    } else {
        chns[chn].userPic = pic;
        chns[chn].userPicSet = true;
    }
    return 0;
}

int ViDriver::State::EnableUserPicLocked(int chn) {
    if (UserPicLocked(chn) == nullptr) return MK_ERR(MK_ID_VIU, MK_ERR_NOT_CONFIG);
    chns[chn].userPicEnabled = true;
    return 0;
}

}  // namespace varnelle::drivers
