#include "platform/drivers/tde/tde_driver.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/tde/tde_blit.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {
namespace {

constexpr size_t kMaxJobs = 128;
constexpr size_t kMaxOpsPerJob = 4096;

class TdeDriver : public dev::Driver {
public:
    TdeDriver() : Driver("/dev/mk_tde") {}

    int Ioctl(dev::File&, unsigned long request, void* arg) override {
        switch (request) {
            case mk::tde::kBeginJob: return BeginJob(arg);
            case mk::tde::kEndJob: return EndJob(request, arg);
            case mk::tde::kCancelJob: return CancelJob(request, arg);
            case mk::tde::kFill: return Queue<TDE_FILL_REQ_S>(request, arg, &TdeDriver::PrepareFill);
            case mk::tde::kCopy: return Queue<TDE_SIMPLE_REQ_S>(request, arg, &TdeDriver::PrepareSimple);
            case mk::tde::kScale: return Queue<TDE_SIMPLE_REQ_S>(request, arg, &TdeDriver::PrepareSimple);
            case mk::tde::kTwoSource: return Queue<TDE_TWOSRC_REQ_S>(request, arg, &TdeDriver::PrepareTwoSource);
            case mk::tde::kParam: return Queue<TDE_PARAM_REQ_S>(request, arg, &TdeDriver::PrepareParam);
            case mk::tde::kSimple7: return Queue<TDE_SIMPLE_REQ_S>(request, arg, nullptr);
            case mk::tde::kSpecial: return Queue<TDE_SPECIAL_REQ_S>(request, arg, nullptr);
            case mk::tde::kFour12:
            case mk::tde::kFour13: return Queue<TDE_FOUR_REQ_S>(request, arg, nullptr);
            case mk::tde::kThree: return Queue<TDE_THREE_REQ_S>(request, arg, nullptr);
            case mk::tde::kSetValue10:
            case mk::tde::kSetValue17:
            case mk::tde::kSetValue21:
            case mk::tde::kSetValue22:
            case mk::tde::kSetValue24: return SetValue<uint32_t>(request, arg);
            case mk::tde::kSetFlag19: return SetValue<uint8_t>(request, arg);
            case mk::tde::kGetValue18: return GetValue<uint32_t>(request, arg, mk::tde::kSetValue17);
            case mk::tde::kGetFlag20: return GetValue<uint8_t>(request, arg, mk::tde::kSetFlag19);
            case mk::tde::kRequest14:
            case mk::tde::kRequest15: {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_state.values[request];
                return 0;
            }
            default: return dev::Fail(ENOTTY);
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.clear();
        m_state = tde_view::State{};
    }

    tde_view::State View() {
        std::lock_guard<std::mutex> lock(m_mutex);
        tde_view::State s = m_state;
        s.openJobs = m_jobs.size();
        return s;
    }

private:
    // A queued operation: what to draw, or nothing for one whose drawing the engine does not define
    // (its job is refused when it ends).
    using Op = std::function<void()>;
    using Prepare = int (TdeDriver::*)(unsigned long request, const void* record, Op* op);

    struct Job {
        std::vector<Op> ops;
    };

    // The surface's memory and the rectangle, checked: 0, or the code that refuses them.
    int Resolve(const TDE2_SURFACE_S& s, const TDE2_RECT_S& r, tde::Surface* out, tde::Rect* rect) {
        if (s.enColorFmt >= TDE2_COLOR_FMT_BUTT) return MK_ERR_TDE_NOT_SUPPORT;
        const uint32_t bpp = tde::BytesPerPixel(s.enColorFmt);
        if (s.u32Width == 0 || s.u32Height == 0 || s.u32Stride < uint64_t{s.u32Width} * bpp ||
            s.u32PhyAddr % bpp != 0 || s.u32Stride % bpp != 0)
            return MK_ERR_TDE_OUT_OF_RANGE;
        const uint64_t bytes = uint64_t{s.u32Stride} * (s.u32Height - 1) + uint64_t{s.u32Width} * bpp;
        if (!mem::Ram::Local().Contains(s.u32PhyAddr, bytes)) return MK_ERR_TDE_OUT_OF_RANGE;
        if (RamBase() == nullptr) return MK_ERR(MK_ID_TDE, MK_ERR_NOMEM);
        if (r.s32Xpos < 0 || r.s32Ypos < 0 || uint64_t{static_cast<uint32_t>(r.s32Xpos)} + r.u32Width > s.u32Width ||
            uint64_t{static_cast<uint32_t>(r.s32Ypos)} + r.u32Height > s.u32Height)
            return MK_ERR_TDE_OUT_OF_RANGE;
        *out = tde::Surface{RamBase() + (s.u32PhyAddr - mem::kRamBase), s.u32Stride, s.u32Width, s.u32Height,
                            s.enColorFmt};
        *rect = tde::Rect{static_cast<uint32_t>(r.s32Xpos), static_cast<uint32_t>(r.s32Ypos), r.u32Width, r.u32Height};
        return 0;
    }

    // The whole of this chip's RAM, mapped once: surfaces are reached without a mapping per operation.
    uint8_t* RamBase() {
        std::call_once(m_ramOnce, [this] {
            const mem::Ram& ram = mem::Ram::Local();
            m_ram = static_cast<uint8_t*>(ram.Map(ram.base(), ram.size()));
        });
        return m_ram;
    }

    int PrepareFill(unsigned long, const void* record, Op* op) {
        const auto& req = *static_cast<const TDE_FILL_REQ_S*>(record);
        tde::Surface s;
        tde::Rect r;
        if (int ret = Resolve(req.stDst, req.stDstRect, &s, &r)) return ret;
        const uint32_t value = req.u32FillData;
        *op = [s, r, value] { tde::Fill(s, r, value); };
        return 0;
    }

    int PrepareSimple(unsigned long request, const void* record, Op* op) {
        const auto& req = *static_cast<const TDE_SIMPLE_REQ_S*>(record);
        tde::Surface src, dst;
        tde::Rect sr, dr;
        if (int ret = Resolve(req.stSrc, req.stSrcRect, &src, &sr)) return ret;
        if (int ret = Resolve(req.stDst, req.stDstRect, &dst, &dr)) return ret;
        if (request == mk::tde::kScale) {
            *op = [=] { tde::Scale(src, sr, dst, dr); };
        } else {
            *op = [=] { tde::Copy(src, sr, dst, dr); };
        }
        return 0;
    }

    int PrepareTwoSource(unsigned long, const void* record, Op* op) {
        const auto& req = *static_cast<const TDE_TWOSRC_REQ_S*>(record);
        tde::Surface dst, s1, s2;
        tde::Rect dr, r1, r2;
        if (int ret = Resolve(req.stDst, req.stDstRect, &dst, &dr)) return ret;
        const bool has1 = !(req.u32Absent & TDE_ABSENT_SRC1);
        const bool has2 = !(req.u32Absent & TDE_ABSENT_SRC2);
        if (has1) {
            // Without its rectangle the first source is read where the destination is written.
            const TDE2_RECT_S rect1 = (req.u32Absent & TDE_ABSENT_SRC1_RECT) ? req.stDstRect : req.stSrc1Rect;
            if (int ret = Resolve(req.stSrc1, rect1, &s1, &r1)) return ret;
            if (r1.w != dr.w || r1.h != dr.h) return MK_ERR_TDE_OUT_OF_RANGE;
        }
        if (has2) {
            const TDE2_RECT_S rect2 = (req.u32Absent & TDE_ABSENT_SRC2_RECT) ? req.stDstRect : req.stSrc2Rect;
            if (int ret = Resolve(req.stSrc2, rect2, &s2, &r2)) return ret;
        }
        const uint32_t ga = (req.u32Absent & TDE_ABSENT_OPT) ? 255 : req.stOpt.u32GlobalAlpha;
        *op = [=] { tde::Over(has1 ? &s1 : nullptr, r1, has2 ? &s2 : nullptr, r2, dst, dr, ga); };
        return 0;
    }

    // The source over the destination, as the two-source operation draws it with the destination as
    // its first source. The parameter has no drawing of its own: an operation that carries one is
    // left undefined.
    int PrepareParam(unsigned long, const void* record, Op* op) {
        const auto& req = *static_cast<const TDE_PARAM_REQ_S*>(record);
        tde::Surface dst, src;
        tde::Rect dr, sr;
        if (int ret = Resolve(req.stDst, req.stDstRect, &dst, &dr)) return ret;
        const bool hasSrc = !(req.u32Absent & TDE_ABSENT_SRC1);
        if (hasSrc) {
            const TDE2_RECT_S rect = (req.u32Absent & TDE_ABSENT_SRC1_RECT) ? req.stDstRect : req.stSrcRect;
            if (int ret = Resolve(req.stSrc, rect, &src, &sr)) return ret;
        }
        if (!(req.u32Absent & TDE_ABSENT_PARAM)) return 0;
        const uint32_t ga = (req.u32Absent & TDE_ABSENT_OPT_PARAM) ? 255 : req.stOpt.u32GlobalAlpha;
        *op = [=] { tde::Over(nullptr, dr, hasSrc ? &src : nullptr, sr, dst, dr, ga); };
        return 0;
    }

    // The record as it came, for the test view.
    template <typename Record>
    void Keep(unsigned long request, const Record& req) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&req);
        m_state.lastRecords[request].assign(bytes, bytes + sizeof req);
    }

    int BeginJob(void* arg) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_jobs.size() >= kMaxJobs) return MK_ERR_TDE_FULL;
        TDE_HANDLE handle = 1;
        while (m_jobs.count(handle) != 0) ++handle;
        // The handle goes back through a write request's word, as the engine's driver answers it.
        if (dev::CopyOut(arg, handle) != 0) return -1;
        m_jobs.emplace(handle, Job{});
        return 0;
    }

    template <typename Record>
    int Queue(unsigned long request, void* arg, Prepare prepare) {
        Record req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        Keep(request, req);
        Op op;
        if (prepare != nullptr) {
            if (int ret = (this->*prepare)(request, &req, &op)) return ret;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_jobs.find(req.s32Handle);
        if (it == m_jobs.end()) return MK_ERR_TDE_INVALID_HANDLE;
        if (it->second.ops.size() >= kMaxOpsPerJob) return MK_ERR_TDE_FULL;
        it->second.ops.push_back(std::move(op));
        return 0;
    }

    int EndJob(unsigned long request, void* arg) {
        TDE_ENDJOB_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        Keep(request, req);
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_jobs.find(req.s32Handle);
            if (it == m_jobs.end()) return MK_ERR_TDE_INVALID_HANDLE;
            job = std::move(it->second);
            m_jobs.erase(it);
        }
        // A job with an operation the engine cannot draw is refused whole: nothing of it is drawn, and
        // nothing reports success for it.
        if (std::any_of(job.ops.begin(), job.ops.end(), [](const Op& op) { return !op; })) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_state.opsDropped += job.ops.size();
            ++m_state.jobsRefused;
            return MK_ERR_TDE_NOT_SUPPORT;
        }
        // Drawn without the lock: other threads' jobs go on meanwhile.
        for (Op& op : job.ops) op();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state.opsRun += job.ops.size();
        return 0;
    }

    int CancelJob(unsigned long request, void* arg) {
        TDE_HANDLE handle;
        if (CopyRequestIn(request, arg, &handle) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_jobs.find(handle);
        if (it == m_jobs.end()) return MK_ERR_TDE_INVALID_HANDLE;
        m_state.opsDropped += it->second.ops.size();
        m_jobs.erase(it);
        return 0;
    }

    template <typename T>
    int SetValue(unsigned long request, void* arg) {
        T v;
        if (CopyRequestIn(request, arg, &v) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state.values[request] = v;
        return 0;
    }

    template <typename T>
    int GetValue(unsigned long request, void* arg, unsigned long setter) {
        T v;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            v = static_cast<T>(m_state.values[setter]);
        }
        return CopyRequestOut(request, arg, v);
    }

    std::mutex m_mutex;  // guards m_jobs and m_state
    std::map<TDE_HANDLE, Job> m_jobs;
    tde_view::State m_state;
    std::once_flag m_ramOnce;
    uint8_t* m_ram = nullptr;
};

std::shared_ptr<TdeDriver> Instance() { return dev::Registry::Get<TdeDriver>("/dev/mk_tde"); }

}  // namespace

void InstallTdeDriver() { InstallDriverOnce<TdeDriver>(); }

namespace tde_view {

std::optional<State> Get() {
    auto d = Instance();
    return d ? std::optional<State>(d->View()) : std::nullopt;
}

}  // namespace tde_view

}  // namespace varnelle::drivers
