// The processing groups' frame path: the input queues, the workers that crop and scale each picture
// for the enabled channels, the channels' output to bound receivers and to GetChnFrame, and the frame
// and luminance requests.
#include <algorithm>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/vpss/vpss_state.h"

namespace varnelle::drivers {
namespace {

constexpr MK_S32 Err(int num) { return MK_ERR(MK_ID_VPSS, num); }
constexpr uint32_t kMaxSide = 8192;

MPP_CHN_S ChnAddr(int grp, int chn) { return MPP_CHN_S{MK_ID_VPSS, grp, chn}; }

// A frame's planes for the scaler; empty when they do not lie in RAM.
Yuv420SpPlanes PlanesOf(const HeldFrame& f) {
    uint8_t* y = f.Plane(0);
    uint8_t* uv = f.Plane(1);
    if (y == nullptr || uv == nullptr) return Yuv420SpPlanes{};
    return Yuv420SpPlanes{y, f.Stride(0), uv, f.Stride(1), static_cast<int>(f.Width()), static_cast<int>(f.Height())};
}

bool Usable(const SIZE_S& s) { return s.u32Width > 0 && s.u32Height > 0 && s.u32Width <= kMaxSide && s.u32Height <= kMaxSide; }
bool SameSize(const SIZE_S& a, const SIZE_S& b) { return a.u32Width == b.u32Width && a.u32Height == b.u32Height; }

}  // namespace

RECT_S VpssCropRect(const VPSS_CROP_INFO_S& crop, uint32_t width, uint32_t height) {
    const RECT_S whole{0, 0, width, height};
    if (!crop.bEnable) return whole;
    int64_t x = crop.stCropRect.s32X, y = crop.stCropRect.s32Y;
    int64_t w = crop.stCropRect.u32Width, h = crop.stCropRect.u32Height;
    if (crop.enCropCoordinate == VPSS_CROP_RATIO_COOR) {
        x = x * width / 1000;
        y = y * height / 1000;
        w = w * width / 1000;
        h = h * height / 1000;
    }
    // An even corner keeps the chroma pairs of the part aligned with the picture's.
    const int64_t x0 = std::clamp<int64_t>(x, 0, width) & ~int64_t{1};
    const int64_t y0 = std::clamp<int64_t>(y, 0, height) & ~int64_t{1};
    const int64_t x1 = std::clamp<int64_t>(x + w, 0, width), y1 = std::clamp<int64_t>(y + h, 0, height);
    if (x1 - x0 < 2 || y1 - y0 < 2) return whole;
    return RECT_S{static_cast<MK_S32>(x0), static_cast<MK_S32>(y0), static_cast<MK_U32>(x1 - x0),
                  static_cast<MK_U32>(y1 - y0)};
}

bool VpssDriver::AcceptLocked(int grp, const HeldFrame& frame) {
    Grp& g = m_groups[grp];
    if (!g.created || !g.started) return false;
    if (g.userFrameRateCtrl && !g.rate.Keep()) {
        ++g.thinned;
        return false;
    }
    while (g.input.size() >= QueueLength(g)) {
        g.input.pop_front();
        ++g.dropped;
    }
    const uint64_t seq = g.nextSeq++;
    g.input.push_back(Grp::Input{frame, seq});
    ++g.received;
    if (g.backupFrame || g.grpWaiters > 0) {
        g.newest = frame;
        g.newestSeq = seq;
    }
    m_changed.notify_all();
    return true;
}

int VpssDriver::SendFrame(int grp, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    Grp& g = m_groups[grp];
    if (!g.started) return Err(MK_ERR_NOT_PERM);
    const VIDEO_FRAME_INFO_S& f = req.stFrame;
    // Rows as long as the picture (chroma pairs whole), both planes in RAM: every reader stays inside.
    if (!Usable(SIZE_S{f.u32Width, f.u32Height}) || f.u32Stride[0] < f.u32Width ||
        f.u32Stride[1] < ((f.u32Width + 1) & ~1u))
        return Err(MK_ERR_ILLEGAL_PARAM);
    HeldFrame frame(f);
    if (frame.Plane(0) == nullptr || frame.Plane(1) == nullptr) return Err(MK_ERR_ILLEGAL_PARAM);
    const uint64_t life = g.life;
    // A live source lets the oldest queued picture go; a picture sent by hand waits for room instead.
    const bool room = WaitFor(m_changed, lock, req.s32MilliSec, [&] {
        return g.life != life || !g.started || g.input.size() < QueueLength(g);
    });
    if (g.life != life) return Err(MK_ERR_UNEXIST);
    if (!g.started) return Err(MK_ERR_NOT_PERM);
    if (!room) return Err(MK_ERR_BUF_FULL);
    // A picture the group's frame-rate control lets go is taken all the same.
    AcceptLocked(grp, frame);
    lock.unlock();
    WakeWorker(grp);
    return 0;
}

int VpssDriver::GetFrame(int grp, int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    Grp& g = m_groups[grp];
    const uint64_t life = g.life;
    if (chn < 0) {
        ++g.grpWaiters;
        const bool ready = WaitFor(m_changed, lock, req.s32MilliSec,
                                   [&] { return g.life != life || (g.newest && g.newestSeq > g.givenSeq); });
        if (g.life != life) return Err(MK_ERR_UNEXIST);  // destroyed: the count went with the group
        --g.grpWaiters;
        if (!ready) return Err(MK_ERR_BUF_EMPTY);
        req.stFrame = g.newest->frame();
        if (CopyRequestOut(request, arg, req) != 0) return -1;  // nothing handed out
        g.givenSeq = g.newestSeq;
        g.userHeld.push_back(*g.newest);
        if (!g.backupFrame && g.grpWaiters == 0) g.newest.reset();
        return 0;
    }
    Chn& c = g.chn[chn];
    // The user holds at most the depth's pictures, so one that never releases cannot drain the pools.
    auto full = [&] { return c.userHeld.size() >= Depth(c); };
    if (full()) return Err(MK_ERR_BUF_EMPTY);
    const bool ready = WaitFor(m_changed, lock, req.s32MilliSec, [&] { return g.life != life || !c.queue.empty(); });
    if (g.life != life) return Err(MK_ERR_UNEXIST);
    if (!ready || full()) return Err(MK_ERR_BUF_EMPTY);  // another getter may have taken the last room
    req.stFrame = c.queue.front().frame();
    if (CopyRequestOut(request, arg, req) != 0) return -1;  // the picture stays queued
    c.userHeld.push_back(std::move(c.queue.front()));
    c.queue.pop_front();
    return 0;
}

int VpssDriver::RegionLuma(Grp& g, unsigned long request, void* arg) {
    // Every channel scales the group's picture, so the picture the group keeps stands for each of them.
    return FillRegionLuma(g.newest ? &*g.newest : nullptr, request, arg, Err(MK_ERR_ILLEGAL_PARAM));
}

void VpssDriver::ReplayLocked(int grp, int chn) {
    Grp& g = m_groups[grp];
    if (g.started && g.backupFrame && g.newest) g.chn[chn].replay = true;
}

void VpssDriver::WakeWorker(int grp) { m_workers[grp % kWorkers]->thread->Wake(); }

uint64_t VpssDriver::Work(int worker) {
    for (;;) {
        std::optional<Plan> plan;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            plan = NextPlanLocked(worker);
        }
        if (!plan) return PacedThread::kIdle;
        const int grp = plan->grp;
        Run(*plan, worker);
        plan.reset();  // its pictures go back before the group counts it done
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_groups[grp].inFlight;
        m_changed.notify_all();
    }
}

std::optional<VpssDriver::Plan> VpssDriver::NextPlanLocked(int worker) {
    Worker& w = *m_workers[worker];
    const int count = (kGroups - worker + kWorkers - 1) / kWorkers;
    for (int k = 0; k < count; ++k) {
        const int slot = (w.cursor + k) % count;
        const int grp = worker + kWorkers * slot;
        Grp& g = m_groups[grp];
        if (!g.started) continue;
        const bool replay = g.newest && std::any_of(std::begin(g.chn), std::end(g.chn), [](const Chn& c) { return c.replay; });
        if (g.input.empty() && !replay) continue;
        w.cursor = (slot + 1) % count;  // the other groups come first next time
        ++g.inFlight;

        Plan plan;
        plan.grp = grp;
        plan.generation = g.generation;
        const bool fresh = !g.input.empty();
        if (fresh) {
            plan.input = std::move(g.input.front().frame);
            plan.seq = g.input.front().seq;
            g.input.pop_front();
            m_changed.notify_all();  // room for a picture sent by hand
        } else {
            plan.input = *g.newest;
        }
        const uint32_t width = plan.input->Width(), height = plan.input->Height();
        plan.crop = VpssCropRect(g.store.Value<VPSS_CROP_INFO_S>(mk::vpss::kSetGrpCrop, {}), width, height);
        plan.groupSize = SIZE_S{plan.crop.u32Width, plan.crop.u32Height};
        const auto pre = g.store.Value<VPSS_PRESCALE_INFO_S>(mk::vpss::kSetPreScale, {});
        if (pre.bPreScale && Usable(pre.stDestSize)) plan.groupSize = pre.stDestSize;
        const auto sizer = g.store.Value<VPSS_SIZER_INFO_S>(mk::vpss::kSetGrpSizer, {});
        if (sizer.bSizer && Usable(sizer.stSize)) plan.groupSize = sizer.stSize;

        for (int chn = 0; chn < kChannels; ++chn) {
            Chn& c = g.chn[chn];
            const bool wanted = fresh ? c.enabled : c.replay;
            c.replay = false;  // a new picture shows anyway
            if (!wanted) continue;
            if (fresh && !c.rate.Keep()) {
                ++c.thinned;
                continue;
            }
            const auto mode = c.store.Value<VPSS_CHN_MODE_S>(mk::vpss::kSetChnMode, VPSS_CHN_MODE_S{});
            const SIZE_S size{mode.u32Width, mode.u32Height};
            const bool user = mode.enChnMode == VPSS_CHN_MODE_USER && Usable(size);
            plan.outs.push_back(Plan::Out{chn, c.generation, user, user ? size : SIZE_S{}, c.vbPool, Depth(c) > 0, {}});
        }
        return plan;
    }
    return std::nullopt;
}

void VpssDriver::Run(Plan& plan, int worker) {
    FrameRouter& router = FrameRouter::Instance();
    const HeldFrame& in = *plan.input;
    const SIZE_S inSize{in.Width(), in.Height()};
    const bool whole = plan.crop.s32X == 0 && plan.crop.s32Y == 0 && SameSize({plan.crop.u32Width, plan.crop.u32Height}, inSize);
    Yuv420SpScaler& scaler = m_workers[worker]->scaler;
    std::optional<Yuv420SpPlanes> src;  // the cropped input, read once it is needed

    std::vector<bool> tried(plan.outs.size(), false);
    for (size_t i = 0; i < plan.outs.size(); ++i) {
        Plan::Out& o = plan.outs[i];
        const MPP_CHN_S addr = ChnAddr(plan.grp, o.chn);
        if (!o.queue && !router.HasDestinations(addr)) continue;  // nobody would take it
        tried[i] = true;
        if (!o.user) o.size = router.WantedSize(addr).value_or(plan.groupSize);
        if (whole && SameSize(o.size, inSize)) {
            o.frame = in;  // passes on as it is
            continue;
        }
        // Channels of one size and pool share one picture.
        auto same = std::find_if(plan.outs.begin(), plan.outs.begin() + static_cast<std::ptrdiff_t>(i), [&](const Plan::Out& p) {
            return p.frame && p.pool == o.pool && SameSize(p.size, o.size);
        });
        if (same != plan.outs.begin() + static_cast<std::ptrdiff_t>(i)) {
            o.frame = same->frame;
            continue;
        }
        if (!src) {
            src = PlanesOf(in).Sub(plan.crop.s32X, plan.crop.s32Y, static_cast<int>(plan.crop.u32Width),
                                   static_cast<int>(plan.crop.u32Height));
        }
        if (src->IsEmpty() || !Usable(o.size)) continue;
        std::optional<HeldFrame> out =
            AllocFrame(FrameBlocks{o.pool}, o.size.u32Width, o.size.u32Height, in.frame().u64pts, in.frame().u32TimeRef);
        if (out && scaler.Scale(*src, PlanesOf(*out))) o.frame = std::move(out);
    }

    std::vector<std::pair<int, HeldFrame>> publish;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Grp& g = m_groups[plan.grp];
        if (g.generation != plan.generation) return;  // stopped, reset, destroyed or unbound meanwhile
        if (plan.seq != 0) {
            ++g.processed;
            if (!g.backupFrame && g.grpWaiters == 0 && g.newestSeq == plan.seq) g.newest.reset();
        }
        for (size_t i = 0; i < plan.outs.size(); ++i) {
            Plan::Out& o = plan.outs[i];
            Chn& c = g.chn[o.chn];
            if (!c.enabled || c.generation != o.chnGeneration) continue;
            if (!o.frame) {
                if (tried[i]) ++c.lost;
                continue;
            }
            ++c.made;
            c.lastSize = o.size;
            if (const MK_U32 depth = Depth(c); depth > 0) {
                c.queue.push_back(*o.frame);
                while (c.queue.size() > depth) c.queue.pop_front();
            }
            publish.emplace_back(o.chn, std::move(*o.frame));
        }
        m_changed.notify_all();
    }
    // Receivers take their time over OnFrame (they may even be groups of this driver): no lock held.
    for (const auto& [chn, frame] : publish) router.Publish(ChnAddr(plan.grp, chn), frame);
}

}  // namespace varnelle::drivers
