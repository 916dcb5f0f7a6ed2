// The display thread: at each enabled device's frame rate it takes what the device shows (a plan built
// under the driver's lock), composes the screen without the lock, puts it up, and now and then hands
// it to the trace's writer.
#include <algorithm>
#include <climits>
#include <string>

#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vo/vo_requests.h"
#include "platform/host/env.h"

namespace varnelle::drivers {

using namespace vo;

namespace {

constexpr MK_U32 kMaxDisplayRate = 240;
constexpr uint64_t kTraceEveryUs = 1000000;

template <typename T>
T Record(const AttrStore& store, unsigned long setRequest, int index) {
    T value{};
    store.Read(setRequest, &value, sizeof value, RecordDefaults(setRequest, index));
    return value;
}

}  // namespace

ScreenPlan VoDriver::PlanLocked(int dev) const {
    ScreenPlan plan;
    const VO_PUB_ATTR_S pub = Record<VO_PUB_ATTR_S>(m_devs[dev].store, kSetPubAttr, dev);
    const Timing timing = TimingOf(pub);
    plan.width = timing.width;
    plan.height = timing.height;
    plan.background = BackgroundYuv(pub.u32BgColor);

    // Layers bottom first: by priority, then by number.
    std::vector<std::pair<MK_U32, int>> layers;
    for (int l = 0; l < VO_MAX_LAYER_NUM; ++l) {
        const Lay& lay = m_layers[l];
        if (lay.enabled && lay.device == dev) {
            layers.emplace_back(Record<MK_U32>(lay.store, kSetVideoLayerPriority, l), l);
        }
    }
    std::sort(layers.begin(), layers.end());
    for (const auto& [priority, l] : layers) {
        const Lay& lay = m_layers[l];
        const auto layerAttr = Record<VO_VIDEO_LAYER_ATTR_S>(lay.store, kSetVideoLayerAttr, l);
        std::vector<std::pair<MK_U32, int>> chns;
        std::vector<VO_CHN_ATTR_S> attrs(VO_MAX_CHN_NUM);
        for (int c = 0; c < VO_MAX_CHN_NUM; ++c) {
            const Chn& chn = lay.chn[c];
            if (!chn.enabled || !chn.shown || chn.showing.empty()) continue;
            attrs[c] = Record<VO_CHN_ATTR_S>(chn.store, kSetChnAttr, c);
            chns.emplace_back(attrs[c].u32Priority, c);
        }
        std::sort(chns.begin(), chns.end());
        for (const auto& [chnPriority, c] : chns) {
            const Chn& chn = lay.chn[c];
            RECT_S rect = attrs[c].stRect;
            // A display position, once set, moves the channel's rectangle.
            const POINT_S pos = chn.store.Value<POINT_S>(kSetChnDispPos, POINT_S{INT32_MIN, INT32_MIN});
            if (pos.s32X != INT32_MIN) rect.s32X = pos.s32X, rect.s32Y = pos.s32Y;
            RECT_S clip{};
            const RECT_S onScreen = MapToScreen(rect, layerAttr, plan.width, plan.height, &clip);
            plan.draws.push_back(ChannelDraw{l, c, chn.showing.front(), chn.showSeq, onScreen, clip});
        }
    }
    return plan;
}

uint64_t VoDriver::DisplayTick(uint64_t nowUs) {
    struct Job {
        int dev;
        ScreenPlan plan;
    };
    std::vector<Job> jobs;
    uint64_t generation = 0;
    uint64_t next = PacedThread::kIdle;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        generation = m_generation;
        if (m_composedGeneration != m_generation) {
            for (Compositor& c : m_compositors) c.Clear();
            std::fill(std::begin(m_tracedId), std::end(m_tracedId), 0);
            m_composedGeneration = m_generation;
        }
        for (int dev = 0; dev < VO_MAX_DEV_NUM; ++dev) {
            Dv& d = m_devs[dev];
            if (!d.enabled) continue;
            const MK_U32 fps = std::clamp<MK_U32>(Record<MK_U32>(d.store, kSetDevFrameRate, dev), 1, kMaxDisplayRate);
            if (!d.pacer.Running() || d.fps != fps) {
                d.pacer.Start(nowUs, fps);
                d.fps = fps;
            }
            if (d.pacer.Take(nowUs)) {
                // A device enabled afresh starts from a blank screen.
                if (!d.screen) m_compositors[dev].Clear();
                jobs.push_back(Job{dev, PlanLocked(dev)});
            }
            next = std::min(next, d.pacer.NextDueUs());
        }
    }
    for (Job& job : jobs) {
        std::shared_ptr<const Screen> screen = m_compositors[job.dev].Compose(job.plan);
        job.plan.draws.clear();  // lets go of the frames before the lock is taken again
        std::lock_guard<std::mutex> lock(m_mutex);
        Dv& d = m_devs[job.dev];
        if (m_generation != generation || !d.enabled) continue;  // reset or disabled meanwhile
        if (screen) {
            d.screen = std::move(screen);
            d.screenId = ++m_screenIds;
            d.screenPtsUs = nowUs;
        }
        ++d.screens;
        m_frameShown.notify_all();
    }
    if (!jobs.empty()) TraceScreens(nowUs);
    return next;
}

void VoDriver::TraceScreens(uint64_t nowUs) {
    for (int dev = 0; dev < VO_MAX_DEV_NUM; ++dev) {
        std::shared_ptr<const Screen> screen;
        uint64_t id = 0, composed = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Dv& d = m_devs[dev];
            if (!d.enabled || !d.screen || d.screenId == m_tracedId[dev]) continue;
            if (m_tracedId[dev] != 0 && nowUs - m_tracedUs[dev] < kTraceEveryUs) continue;
            screen = d.screen;
            id = d.screenId;
            composed = d.screens;
        }
        // Whether tracing is on is looked up only when a screen would be written.
        m_tracedUs[dev] = nowUs;
        m_tracedId[dev] = id;
        const std::string dir = host::TraceDir();
        if (!dir.empty()) m_screenTrace.Offer(dev, std::move(screen), composed, dir);
    }
}

}  // namespace varnelle::drivers
