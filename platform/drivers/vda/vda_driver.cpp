#include "platform/drivers/vda/vda_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

constexpr int kMaxChn = VDA_MAX_CHN_NUM;
constexpr size_t kMaxQueued = 4;  // input pictures waiting for the analysis, per channel

struct VdaFile : dev::File {
    int chn = -1;
};

// Where a channel's results lie: one slot per result held, each the SAD rows, then the objects.
struct Geometry {
    uint32_t mb = 16;  // macroblock side
    uint32_t mbW = 0, mbH = 0;
    uint32_t sadBytes = 1;  // per value
    uint32_t stride = 0;    // bytes per SAD row
    uint32_t objMax = 0;
    uint32_t slotSize = 0;
    uint32_t slots = 1;
    uint32_t SadArea() const { return stride * mbH; }
};

// What only the analysis touches; its own lock lets pictures be compared outside the driver's lock.
struct Analysis {
    std::mutex mutex;  // guards everything below
    std::vector<uint8_t> background;
    std::vector<uint8_t> lastSent;
    std::vector<uint8_t> lastInput;  // the last input picture analysed, and its number
    uint64_t lastInputIndex = 0;
    uint32_t occRun[VDA_OD_RGN_NUM_MAX] = {};
    uint32_t clearRun[VDA_OD_RGN_NUM_MAX] = {};
    uint32_t alarm[VDA_OD_RGN_NUM_MAX] = {};
};

struct Result {
    VDA_DATA_S data;
    int slot;
    bool fetched;
};

// An input picture kept for the analysis, with its number since the channel started receiving.
struct Queued {
    HeldFrame frame;
    uint64_t index;
};

struct Channel {
    uint64_t generation = 0;
    VDA_CHN_ATTR_S attr{};
    Geometry geo;
    uint32_t bufPhys = 0;
    uint32_t bufSize = 0;
    bool receiving = false;
    uint64_t seen = 0;    // input pictures offered since the channel started receiving
    std::deque<Queued> queued;
    uint64_t pushed = 0;  // results made by hand
    std::deque<Result> results;  // oldest first
    std::vector<bool> slotBusy;
    uint32_t seq = 0;
    uint64_t produced = 0, dropped = 0;
    uint32_t lastWord = 0;
    VDA_DATA_S last{};
    std::deque<vda_view::Injection> injections;
    std::shared_ptr<Analysis> analysis = std::make_shared<Analysis>();

    bool Md() const { return attr.enWorkMode == VDA_WORK_MODE_MD; }
    uint32_t Interval() const { return Md() ? attr.unAttr.stMdAttr.u32VdaIntvl : attr.unAttr.stOdAttr.u32VdaIntvl; }
    uint32_t Waiting() const {
        return static_cast<uint32_t>(std::count_if(results.begin(), results.end(), [](const Result& r) { return !r.fetched; }));
    }
};

// The checked geometry of an attribute record, or nothing when it is refused.
std::optional<Geometry> GeometryOf(const VDA_CHN_ATTR_S& a) {
    if (a.u32Width == 0 || a.u32Height == 0 || a.u32Width > VDA_MAX_SIDE || a.u32Height > VDA_MAX_SIDE) return std::nullopt;
    uint32_t mbSize, sadBits, interval;
    Geometry g;
    if (a.enWorkMode == VDA_WORK_MODE_MD) {
        const VDA_MD_ATTR_S& md = a.unAttr.stMdAttr;
        mbSize = md.enMbSize;
        sadBits = md.enMbSadBits;
        interval = md.u32VdaIntvl;
        if (md.u32MdBufNum == 0 || md.u32MdBufNum > VDA_MD_BUF_NUM_MAX || md.u32ObjNumMax > 1024) return std::nullopt;
        g.slots = md.u32MdBufNum;
        g.objMax = md.u32ObjNumMax;
    } else if (a.enWorkMode == VDA_WORK_MODE_OD) {
        const VDA_OD_ATTR_S& od = a.unAttr.stOdAttr;
        mbSize = od.enMbSize;
        sadBits = od.enMbSadBits;
        interval = od.u32VdaIntvl;
        if (od.u32RgnNum == 0 || od.u32RgnNum > VDA_OD_RGN_NUM_MAX) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (mbSize > VDA_MB_16PIXEL || sadBits > VDA_MB_SAD_16BIT || interval == 0) return std::nullopt;
    g.mb = mbSize == VDA_MB_8PIXEL ? 8 : 16;
    g.mbW = (a.u32Width + g.mb - 1) / g.mb;
    g.mbH = (a.u32Height + g.mb - 1) / g.mb;
    g.sadBytes = sadBits == VDA_MB_SAD_8BIT ? 1 : 2;
    g.stride = (g.mbW * g.sadBytes + 15) & ~15u;
    g.slotSize = (g.SadArea() + g.objMax * static_cast<uint32_t>(sizeof(VDA_OBJ_S)) + 15) & ~15u;
    return g;
}

// SAD of each macroblock between two pictures of w x h luma: the mean absolute difference of its
// pixels for 8-bit values, their sum (at most 65535) for 16-bit ones.
std::vector<uint16_t> MacroblockSad(const uint8_t* a, const uint8_t* b, uint32_t w, uint32_t h, const Geometry& g) {
    std::vector<uint16_t> sad(static_cast<size_t>(g.mbW) * g.mbH);
    for (uint32_t my = 0; my < g.mbH; ++my) {
        for (uint32_t mx = 0; mx < g.mbW; ++mx) {
            uint64_t sum = 0, pixels = 0;
            for (uint32_t y = my * g.mb; y < std::min(h, (my + 1) * g.mb); ++y) {
                for (uint32_t x = mx * g.mb; x < std::min(w, (mx + 1) * g.mb); ++x) {
                    sum += static_cast<uint64_t>(std::abs(a[y * w + x] - b[y * w + x]));
                    ++pixels;
                }
            }
            sad[my * g.mbW + mx] = static_cast<uint16_t>(g.sadBytes == 1 ? std::min<uint64_t>(255, sum / pixels)
                                                                          : std::min<uint64_t>(65535, sum));
        }
    }
    return sad;
}

// The luma of a frame resampled (nearest pixel) to w x h; empty when the frame is not in RAM.
std::vector<uint8_t> SampleLuma(const HeldFrame& frame, uint32_t w, uint32_t h) {
    const uint8_t* src = frame.Plane(0);
    const uint32_t fw = frame.Width(), fh = frame.Height(), stride = frame.Stride(0);
    if (src == nullptr || fw == 0 || fh == 0) return {};
    std::vector<uint8_t> out(static_cast<size_t>(w) * h);
    std::vector<uint32_t> cols(w);
    for (uint32_t x = 0; x < w; ++x) cols[x] = static_cast<uint32_t>(uint64_t{x} * fw / w);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = src + static_cast<size_t>(uint64_t{y} * fh / h) * stride;
        uint8_t* dst = out.data() + static_cast<size_t>(y) * w;
        for (uint32_t x = 0; x < w; ++x) dst[x] = row[cols[x]];
    }
    return out;
}

class VdaDriver : public dev::Driver, public FrameSink {
public:
    VdaDriver() : Driver("/dev/vda") {}
    ~VdaDriver() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_workCv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    std::unique_ptr<dev::File> Open(int) override { return std::make_unique<VdaFile>(); }

    void Release(dev::File& file) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& f = static_cast<VdaFile&>(file);
        if (f.chn >= 0) std::erase(m_files[f.chn], &f);
    }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override {
        auto& f = static_cast<VdaFile&>(file);
        if (request == mk::vda::kBind) return Bind(f, request, arg);
        if (f.chn < 0) return dev::Fail(EBADFD);
        switch (request) {
            case mk::vda::kCreateChn: return Create(f.chn, request, arg);
            case mk::vda::kDestroyChn: return Destroy(f.chn);
            case mk::vda::kStartRecvPic: return SetReceiving(f.chn, true);
            case mk::vda::kStopRecvPic: return SetReceiving(f.chn, false);
            case mk::vda::kGetData: return GetData(f.chn, request, arg);
            case mk::vda::kReleaseData: return ReleaseData(f.chn, request, arg);
            case mk::vda::kResetOdRegion: return ResetOdRegion(f.chn, request, arg);
            case mk::vda::kGetBuf: return GetBuf(f.chn, request, arg);
            case mk::vda::kSendPic: return SendPic(f.chn, request, arg);
            default: return dev::Fail(ENOTTY);
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int chn = 0; chn < kMaxChn; ++chn) Drop(chn);
        m_dataCv.notify_all();
    }

    std::optional<vda_view::Channel> View(int chn) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(chn);
        if (c == nullptr) return std::nullopt;
        vda_view::Channel v;
        v.attr = c->attr;
        v.receiving = c->receiving;
        v.bufPhys = c->bufPhys;
        v.bufSize = c->bufSize;
        v.waiting = c->Waiting();
        v.held = static_cast<uint32_t>(c->results.size()) - v.waiting;
        v.produced = c->produced;
        v.dropped = c->dropped;
        v.lastWord = c->lastWord;
        v.last = c->last;
        return v;
    }

    void Inject(int chn, const vda_view::Injection& injection) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Channel* c = Find(chn)) c->injections.push_back(injection);
    }

    bool ProduceNow(int chn) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return false;
            auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VDA, 0, chn});
            job = MakeJob(chn, *c, src ? PatternOf(*src) : chn, ++c->pushed * c->Interval());
        }
        RunJob(job);
        return true;
    }

    // Input pictures of a bound channel: queued while the channel receives, the due ones and the one
    // before each (its reference); the analysis thread takes them.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(dst.s32ChnId);
        if (c == nullptr || !c->receiving) return false;
        const uint64_t index = ++c->seen;
        const uint32_t interval = c->Interval();
        if (!Due(index, interval) && !Due(index + 1, interval)) return false;
        c->queued.push_back(Queued{frame, index});
        while (c->queued.size() > kMaxQueued) c->queued.pop_front();
        m_workCv.notify_all();
        return true;
    }
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Channel* c = Find(dst.s32ChnId)) c->queued.clear();
    }

private:
    // One result to make: from the input's test pattern (picture `picture`), or from a picture sent.
    struct Job {
        int chn = -1;
        uint64_t generation = 0;
        VDA_CHN_ATTR_S attr{};
        Geometry geo;
        int pattern = 0;
        uint64_t picture = 0;
        std::optional<std::vector<uint8_t>> sent;
        std::vector<Queued> inputs;  // input pictures: the last one makes the result
        std::optional<vda_view::Injection> injection;
        std::shared_ptr<Analysis> analysis;
    };

    static int PatternOf(const MPP_CHN_S& src) { return src.enModId == MK_ID_VPSS ? src.s32DevId : src.s32ChnId; }

    Channel* Find(int chn) { return chn >= 0 && chn < kMaxChn ? m_chn[chn].get() : nullptr; }

    // Call with m_mutex held.
    void Drop(int chn) {
        if (!m_chn[chn]) return;
        mem::ZoneAllocator::Local().Free(m_chn[chn]->bufPhys);
        m_chn[chn].reset();
        UpdateReadable(chn);
    }

    void UpdateReadable(int chn) {
        Channel* c = Find(chn);
        const bool ready = c != nullptr && c->Waiting() > 0;
        for (VdaFile* f : m_files[chn]) f->SetReadable(ready);
    }

    int Bind(VdaFile& f, unsigned long request, void* arg) {
        uint32_t chn;
        if (CopyRequestIn(request, arg, &chn) != 0) return -1;
        if (chn >= static_cast<uint32_t>(kMaxChn)) return MK_ERR_VDA_INVALID_CHNID;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (f.chn >= 0) std::erase(m_files[f.chn], &f);
        f.chn = static_cast<int>(chn);
        m_files[chn].push_back(&f);
        UpdateReadable(f.chn);
        return 0;
    }

    int Create(int chn, unsigned long request, void* arg) {
        VDA_CHN_ATTR_S attr;
        if (CopyRequestIn(request, arg, &attr) != 0) return -1;
        std::optional<Geometry> geo = GeometryOf(attr);
        if (!geo) return MK_ERR_VDA_ILLEGAL_PARAM;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_chn[chn]) return MK_ERR_VDA_EXIST;
        auto c = std::make_unique<Channel>();
        c->generation = ++m_generation;
        c->attr = attr;
        c->geo = *geo;
        c->bufSize = static_cast<uint32_t>(mem::PageSpan(0, uint64_t{geo->slotSize} * geo->slots));
        c->bufPhys = mem::ZoneAllocator::Local().Allocate(c->bufSize, "", "vda " + std::to_string(chn));
        if (c->bufPhys == 0) return MK_ERR_VDA_NOMEM;
        c->slotBusy.assign(geo->slots, false);
        m_chn[chn] = std::move(c);
        return 0;
    }

    int Destroy(int chn) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_chn[chn]) return MK_ERR_VDA_UNEXIST;
        Drop(chn);
        m_dataCv.notify_all();
        return 0;
    }

    int SetReceiving(int chn, bool on) {
        std::shared_ptr<Analysis> analysis;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VDA_UNEXIST;
            c->receiving = on;
            c->seen = 0;
            c->queued.clear();
            if (on && !m_thread.joinable()) m_thread = std::thread([this] { Loop(); });
            m_workCv.notify_all();
            m_dataCv.notify_all();
            analysis = c->analysis;
        }
        if (on) {
            std::lock_guard<std::mutex> lock(analysis->mutex);
            analysis->background.clear();  // taken from the first picture received
            analysis->lastInput.clear();
        }
        return 0;
    }

    int GetBuf(int chn, unsigned long request, void* arg) {
        VDA_BUF_REQ_S buf{};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VDA_UNEXIST;
            buf = VDA_BUF_REQ_S{c->bufPhys, c->bufSize};
        }
        return CopyRequestOut(request, arg, buf);
    }

    int GetData(int chn, unsigned long request, void* arg) {
        VDA_GETDATA_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        std::unique_lock<std::mutex> lock(m_mutex);
        Channel* c = Find(chn);
        if (c == nullptr) return MK_ERR_VDA_UNEXIST;
        const uint64_t generation = c->generation;
        for (;;) {
            auto it = std::find_if(c->results.begin(), c->results.end(), [](const Result& r) { return !r.fetched; });
            if (it != c->results.end()) {
                it->fetched = true;
                req.stData = it->data;
                UpdateReadable(chn);
                lock.unlock();
                return CopyRequestOut(request, arg, req);
            }
            if (req.s32Wait == 0) return MK_ERR_VDA_BUF_EMPTY;
            // Nothing would ever come: a wait here could only end with the process.
            if (!c->receiving) return MK_ERR_VDA_NOT_PERM;
            m_dataCv.wait(lock);
            c = Find(chn);
            if (c == nullptr || c->generation != generation) return MK_ERR_VDA_UNEXIST;
        }
    }

    int ReleaseData(int chn, unsigned long request, void* arg) {
        VDA_DATA_S data;
        if (CopyRequestIn(request, arg, &data) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(chn);
        if (c == nullptr) return MK_ERR_VDA_UNEXIST;
        auto it = std::find_if(c->results.begin(), c->results.end(),
                               [&](const Result& r) { return r.fetched && r.data.u32Seq == data.u32Seq; });
        if (it == c->results.end()) return MK_ERR_VDA_ILLEGAL_PARAM;
        c->slotBusy[it->slot] = false;
        c->results.erase(it);
        return 0;
    }

    int ResetOdRegion(int chn, unsigned long request, void* arg) {
        uint32_t rgn;
        if (CopyRequestIn(request, arg, &rgn) != 0) return -1;
        std::shared_ptr<Analysis> analysis;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VDA_UNEXIST;
            if (c->Md()) return MK_ERR_VDA_NOT_PERM;
            if (rgn >= c->attr.unAttr.stOdAttr.u32RgnNum) return MK_ERR_VDA_ILLEGAL_PARAM;
            analysis = c->analysis;
        }
        std::lock_guard<std::mutex> lock(analysis->mutex);
        analysis->alarm[rgn] = 0;
        analysis->occRun[rgn] = 0;
        analysis->clearRun[rgn] = 0;
        analysis->background.clear();  // taken again from the next picture
        return 0;
    }

    int SendPic(int chn, unsigned long request, void* arg) {
        VDA_PIC_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VDA_UNEXIST;
            const VIDEO_FRAME_INFO_S& f = req.stFrame;
            if (f.u32Width != c->attr.u32Width || f.u32Height != c->attr.u32Height || f.u32Stride[0] < f.u32Width)
                return MK_ERR_VDA_ILLEGAL_PARAM;
            c->lastWord = req.u32Word;
            job = MakeJob(chn, *c, chn, 0);
        }
        const VIDEO_FRAME_INFO_S& f = req.stFrame;
        const mem::Ram& ram = mem::Ram::Local();
        // Rows are addressed in 64 bits: a stride near 2^32 must not wrap back into RAM.
        const uint64_t lastRow = uint64_t{f.u32PhyAddr[0]} + uint64_t{f.u32Height - 1} * f.u32Stride[0];
        if (!ram.Contains(f.u32PhyAddr[0], f.u32Width) || !ram.Contains(lastRow, f.u32Width)) return MK_ERR_VDA_ILLEGAL_PARAM;
        std::vector<uint8_t> luma(static_cast<size_t>(f.u32Width) * f.u32Height);
        for (uint32_t y = 0; y < f.u32Height; ++y) {
            const uint64_t row = uint64_t{f.u32PhyAddr[0]} + uint64_t{y} * f.u32Stride[0];
            if (!ram.Read(static_cast<uint32_t>(row), luma.data() + size_t{y} * f.u32Width, f.u32Width))
                return MK_ERR_VDA_ILLEGAL_PARAM;
        }
        job.sent = std::move(luma);
        RunJob(job);
        return 0;
    }

    // Call with m_mutex held.
    Job MakeJob(int chn, Channel& c, int pattern, uint64_t picture) {
        Job job;
        job.chn = chn;
        job.generation = c.generation;
        job.attr = c.attr;
        job.geo = c.geo;
        job.pattern = pattern;
        job.picture = picture;
        if (!c.injections.empty()) {
            job.injection = c.injections.front();
            c.injections.pop_front();
        }
        job.analysis = c.analysis;
        return job;
    }

    // Analyses outside the driver's lock, then queues the result.
    void RunJob(Job& job) {
        const uint32_t w = job.attr.u32Width, h = job.attr.u32Height;
        const Geometry& g = job.geo;
        auto patternPicture = [&](uint64_t index) {
            std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
            DrawTestPattern(PatternFrame{luma.data(), w, nullptr, 0, static_cast<int>(w), static_cast<int>(h)},
                            job.pattern, index);
            return luma;
        };
        const bool md = job.attr.enWorkMode == VDA_WORK_MODE_MD;
        std::vector<uint16_t> sad;
        uint32_t alarms[VDA_OD_RGN_NUM_MAX] = {};
        {
            Analysis& an = *job.analysis;
            std::lock_guard<std::mutex> lock(an.mutex);
            std::vector<uint8_t> cur, ref;
            if (!job.inputs.empty()) {
                // Input pictures: each is the reference of the one right after it; the last one
                // makes the result.
                bool follows = false;
                for (const Queued& q : job.inputs) {
                    std::vector<uint8_t> pic = SampleLuma(q.frame, w, h);
                    if (pic.empty()) continue;
                    follows = !an.lastInput.empty() && an.lastInputIndex + 1 == q.index;
                    ref = std::exchange(an.lastInput, pic);
                    an.lastInputIndex = q.index;
                    cur = std::move(pic);
                }
                job.inputs.clear();  // their blocks go back before the result is queued
                if (cur.empty()) return;
                if (!follows) ref = cur;  // nothing right before it: no motion to tell
            } else {
                cur = job.sent ? *job.sent : patternPicture(job.picture);
                if (md && job.sent) {
                    ref = std::exchange(an.lastSent, cur);  // the sent picture is the next one's reference
                    if (ref.empty()) return;                // the first has nothing to compare with
                } else if (md) {
                    ref = job.picture == 0 ? cur : patternPicture(job.picture - 1);
                }
            }
            if (!md) {
                if (an.background.empty()) an.background = cur;
                ref = an.background;
            }
            sad = MacroblockSad(ref.data(), cur.data(), w, h, g);
            if (!md) Occlusion(job.attr.unAttr.stOdAttr, g, sad, an, alarms);
        }
        const vda_view::Injection inj = job.injection.value_or(vda_view::Injection{});
        if (inj.sad) sad = *inj.sad;
        sad.resize(static_cast<size_t>(g.mbW) * g.mbH);
        if (inj.alarms) std::copy(inj.alarms->begin(), inj.alarms->end(), alarms);

        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(job.chn);
        if (c == nullptr || c->generation != job.generation) return;
        int slot = TakeSlot(*c);
        if (slot < 0) {
            ++c->dropped;
            return;
        }
        const uint32_t slotPhys = c->bufPhys + static_cast<uint32_t>(slot) * g.slotSize;
        VDA_DATA_S d{};
        d.enWorkMode = job.attr.enWorkMode;
        d.u32MbWidth = g.mbW;
        d.u32MbHeight = g.mbH;
        d.u64Pts = host::MonotonicUs();
        d.u32Seq = ++c->seq;
        if (md) {
            std::vector<uint8_t> rows(g.SadArea(), 0);
            for (size_t i = 0; i < sad.size(); ++i) {
                uint8_t* p = rows.data() + (i / g.mbW) * g.stride + (i % g.mbW) * g.sadBytes;
                p[0] = static_cast<uint8_t>(g.sadBytes == 1 ? std::min<uint16_t>(sad[i], 255) : sad[i] & 0xFF);
                if (g.sadBytes == 2) p[1] = static_cast<uint8_t>(sad[i] >> 8);
            }
            mem::Ram::Local().Write(slotPhys, rows.data(), rows.size());
            VDA_MD_DATA_S& m = d.unData.stMdData;
            m.bMbSadValid = 1;
            m.stMbSadData = {reinterpret_cast<MK_VOID*>(uintptr_t{inj.sadPhys.value_or(slotPhys)}), g.stride,
                             g.sadBytes == 1 ? static_cast<MK_U32>(VDA_MB_SAD_8BIT) : static_cast<MK_U32>(VDA_MB_SAD_16BIT)};
            if (inj.objects) {
                const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(inj.objects->size()), g.objMax);
                const uint32_t objPhys = slotPhys + g.SadArea();
                mem::Ram::Local().Write(objPhys, inj.objects->data(), n * sizeof(VDA_OBJ_S));
                m.bObjValid = 1;
                m.stObjData.u32ObjNum = n;
                m.stObjData.pstAddr = reinterpret_cast<VDA_OBJ_S*>(uintptr_t{inj.objPhys.value_or(objPhys)});
            }
        } else {
            d.unData.stOdData.u32RgnNum = job.attr.unAttr.stOdAttr.u32RgnNum;
            std::copy(std::begin(alarms), std::end(alarms), d.unData.stOdData.abRgnAlarm);
        }
        c->results.push_back(Result{d, slot, false});
        c->last = d;
        ++c->produced;
        UpdateReadable(job.chn);
        m_dataCv.notify_all();
    }

    // A free slot, freeing the oldest result not fetched when none is; -1 when every slot is held.
    static int TakeSlot(Channel& c) {
        for (size_t i = 0; i < c.slotBusy.size(); ++i) {
            if (!c.slotBusy[i]) {
                c.slotBusy[i] = true;
                return static_cast<int>(i);
            }
        }
        auto it = std::find_if(c.results.begin(), c.results.end(), [](const Result& r) { return !r.fetched; });
        if (it == c.results.end()) return -1;
        const int slot = it->slot;
        c.results.erase(it);
        ++c.dropped;
        return slot;
    }

    // Updates each region's runs and alarm from one result's SAD against the background.
    static void Occlusion(const VDA_OD_ATTR_S& od, const Geometry& g, const std::vector<uint16_t>& sad, Analysis& an,
                          uint32_t* alarms) {
        for (uint32_t r = 0; r < od.u32RgnNum; ++r) {
            const VDA_OD_RGN_ATTR_S& rg = od.astOdRgnAttr[r];
            uint64_t total = 0, changed = 0;
            for (uint32_t my = 0; my < g.mbH; ++my) {
                for (uint32_t mx = 0; mx < g.mbW; ++mx) {
                    // A macroblock belongs to the region whose rectangle holds its centre.
                    const int64_t cx = int64_t{mx} * g.mb + g.mb / 2, cy = int64_t{my} * g.mb + g.mb / 2;
                    if (cx < rg.stRect.s32X || cy < rg.stRect.s32Y || cx >= rg.stRect.s32X + int64_t{rg.stRect.u32Width} ||
                        cy >= rg.stRect.s32Y + int64_t{rg.stRect.u32Height})
                        continue;
                    ++total;
                    changed += sad[my * g.mbW + mx] > rg.u32SadTh;
                }
            }
            const bool occluded = total > 0 && changed * 100 >= uint64_t{rg.u32AreaTh} * total;
            if (occluded) {
                an.clearRun[r] = 0;
                if (++an.occRun[r] >= std::max(1u, rg.u32OccCntTh)) an.alarm[r] = 1;
            } else {
                an.occRun[r] = 0;
                if (++an.clearRun[r] >= std::max(1u, rg.u32UnOccCntTh)) an.alarm[r] = 0;
            }
            alarms[r] = an.alarm[r];
        }
    }

    static bool Due(uint64_t index, uint32_t interval) { return index % interval == 0; }

    // Analyses the input pictures queued by OnFrame: a result for every Interval()-th picture of a
    // channel's input, against the picture before it (motion) or the background (occlusion).
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            std::vector<Job> jobs;
            for (int chn = 0; chn < kMaxChn; ++chn) {
                Channel* c = Find(chn);
                if (c == nullptr || c->queued.empty()) continue;
                // One result per due picture, each with the pictures queued before it.
                std::vector<Queued> inputs;
                while (!c->queued.empty()) {
                    inputs.push_back(std::move(c->queued.front()));
                    c->queued.pop_front();
                    if (!Due(inputs.back().index, c->Interval())) continue;
                    Job job = MakeJob(chn, *c, chn, 0);
                    job.inputs = std::move(inputs);
                    inputs.clear();
                    jobs.push_back(std::move(job));
                }
                // A reference waits for its due picture.
                for (Queued& q : inputs) c->queued.push_back(std::move(q));
            }
            if (jobs.empty()) {
                m_workCv.wait(lock);
                continue;
            }
            lock.unlock();
            for (Job& job : jobs) RunJob(job);
            jobs.clear();
            lock.lock();
        }
    }

    std::mutex m_mutex;                  // guards everything below
    std::condition_variable m_dataCv;    // a result came, or a channel went or stopped
    std::condition_variable m_workCv;    // input pictures were queued, or the driver stops
    std::unique_ptr<Channel> m_chn[kMaxChn];
    std::vector<VdaFile*> m_files[kMaxChn];
    uint64_t m_generation = 0;
    bool m_stop = false;
    std::thread m_thread;
};

std::shared_ptr<VdaDriver> Instance() { return dev::Registry::Get<VdaDriver>("/dev/vda"); }

}  // namespace

void InstallVdaDriver() {
    InstallDriverOnce<VdaDriver>();
    // The registered driver receives the pictures bound to detection channels.
    if (auto driver = Instance()) FrameRouter::Instance().Attach(MK_ID_VDA, driver.get());
}

namespace vda_view {

std::optional<Channel> Get(int chn) {
    auto d = Instance();
    return d ? d->View(chn) : std::nullopt;
}

void Inject(int chn, const Injection& injection) {
    if (auto d = Instance()) d->Inject(chn, injection);
}

bool Produce(int chn) {
    auto d = Instance();
    return d && d->ProduceNow(chn);
}

}  // namespace vda_view

}  // namespace varnelle::drivers
