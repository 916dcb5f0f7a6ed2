#include "platform/drivers/rgn/rgn_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/rgn/rgn_composite.h"
#include "platform/host/env.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

struct Region {
    RGN_ATTR_S attr{};
    rgn::OverlayBitmap bitmap;  // overlays: what is shown, with its pixels converted for drawing
    uint32_t canvasPhys[RGN_CANVAS_NUM] = {};
    uint32_t canvasStride = 0;
    int front = 0;             // the canvas last shown
    int handedOut = -1;        // the canvas last handed out, until it is shown
    int64_t forcedIndex = -1;  // test view: the index the next canvas request answers
    std::vector<std::pair<MPP_CHN_S, RGN_CHN_ATTR_S>> channels;
    uint32_t word11 = 0;
    uint64_t loads = 0;

    bool IsOverlay() const { return attr.enType == OVERLAY_RGN; }
    uint32_t Width() const { return attr.unAttr.stOverlay.stSize.u32Width; }
    uint32_t Height() const { return attr.unAttr.stOverlay.stSize.u32Height; }
    uint32_t CanvasSize() const { return canvasStride * Height(); }
};

bool ValidSize(uint32_t w, uint32_t h) { return w >= 1 && h >= 1 && w <= RGN_MAX_SIDE && h <= RGN_MAX_SIDE; }

// Writes the loaded bitmap and what it belongs to, for a person to look at.
void TraceBitmap(RGN_HANDLE handle, const BITMAP_S& bmp, const std::vector<uint16_t>& pixels,
                 const Region& region) {
    const std::string dir = host::TraceDir();
    if (dir.empty()) return;
    const std::string base = dir + "/rgn-" + std::to_string(handle);
    if (FILE* f = std::fopen((base + ".argb1555").c_str(), "wb")) {
        std::fwrite(pixels.data(), sizeof(uint16_t), pixels.size(), f);
        std::fclose(f);
    }
    if (FILE* f = std::fopen((base + ".txt").c_str(), "w")) {
        std::fprintf(f, "bitmap %u %u\nregion %u %u\n", bmp.u32Width, bmp.u32Height, region.Width(),
                     region.Height());
        for (const auto& [chn, attr] : region.channels) {
            std::fprintf(f, "channel %d %d %d at %d %d\n", chn.enModId, chn.s32DevId, chn.s32ChnId,
                         attr.unChnAttr.stOverlayChn.stPoint.s32X, attr.unChnAttr.stOverlayChn.stPoint.s32Y);
        }
        std::fclose(f);
    }
}

class RgnDriver : public dev::Driver {
public:
    RgnDriver() : Driver("/dev/rgn") {}

    int Ioctl(dev::File&, unsigned long request, void* arg) override {
        switch (request) {
            case mk::rgn::kCreate: return Create(request, arg);
            case mk::rgn::kDestroy: return Destroy(request, arg);
            case mk::rgn::kSetBitMap: return SetBitMap(request, arg);
            case mk::rgn::kAttachToChn: return Attach(request, arg);
            case mk::rgn::kRequest11: return Request11(request, arg);
            case mk::rgn::kGetCanvas: return GetCanvas(request, arg);
            case mk::rgn::kUpdateCanvas: return UpdateCanvas(request, arg);
            default: return dev::Fail(ENOTTY);
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [handle, r] : m_regions) FreeCanvases(r);
        m_regions.clear();
    }

    // Draws the shown regions of `chn` into the picture.
    void Draw(const MPP_CHN_S& chn, const PatternFrame& picture) {
        struct Entry {
            bool cover;
            uint32_t layer;
            RGN_HANDLE handle;
            rgn::Layer draw;
        };
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Entry> entries;
        for (auto& [handle, r] : m_regions) {
            for (const auto& [c, a] : r.channels) {
                if (!SameChn(c, chn) || !a.bShow) continue;
                rgn::Layer l;
                l.cover = !r.IsOverlay();
                uint32_t layer;
                if (l.cover) {
                    const COVER_CHN_ATTR_S& cv = a.unChnAttr.stCoverChn;
                    l.coverRect = rgn::CoverLayer{cv.stRect.s32X, cv.stRect.s32Y, static_cast<int>(cv.stRect.u32Width),
                                                  static_cast<int>(cv.stRect.u32Height), cv.u32Color};
                    layer = cv.u32Layer;
                } else {
                    const OVERLAY_CHN_ATTR_S& ov = a.unChnAttr.stOverlayChn;
                    l.overlay = r.bitmap.Layer(ov.stPoint.s32X, ov.stPoint.s32Y, ov.u32FgAlpha, ov.u32BgAlpha);
                    layer = ov.u32Layer;
                }
                entries.push_back(Entry{l.cover, layer, handle, l});
            }
        }
        if (entries.empty()) return;
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.cover != b.cover) return a.cover;
            if (a.layer != b.layer) return a.layer < b.layer;
            return a.handle < b.handle;
        });
        std::vector<rgn::Layer> layers;
        layers.reserve(entries.size());
        for (const Entry& e : entries) layers.push_back(e.draw);
        // Under the lock: a bitmap load never changes pixels halfway through a picture.
        rgn::Composite(picture, layers);
    }

    std::optional<rgn_view::Region> View(RGN_HANDLE handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_regions.find(handle);
        if (it == m_regions.end()) return std::nullopt;
        const Region& r = it->second;
        rgn_view::Region v;
        v.attr = r.attr;
        v.pixels = r.bitmap.Pixels();
        v.conversions = r.bitmap.Conversions();
        v.channels = r.channels;
        std::copy(std::begin(r.canvasPhys), std::end(r.canvasPhys), v.canvasPhys);
        v.word11 = r.word11;
        v.bitmapLoads = r.loads;
        return v;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_regions.size();
    }
    void ForceIndex(RGN_HANDLE handle, uint32_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_regions.find(handle);
        if (it != m_regions.end()) it->second.forcedIndex = index;
    }

private:
    Region* Find(RGN_HANDLE handle) {
        auto it = m_regions.find(handle);
        return it == m_regions.end() ? nullptr : &it->second;
    }

    static void FreeCanvases(Region& r) {
        for (uint32_t& phys : r.canvasPhys) {
            if (phys != 0) mem::ZoneAllocator::Local().Free(phys);
            phys = 0;
        }
    }

    int Create(unsigned long request, void* arg) {
        RGN_CREATE_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        if (req.Handle >= RGN_HANDLE_MAX) return MK_ERR_RGN_ILLEGAL_PARAM;
        Region r;
        r.attr = req.stAttr;
        if (r.attr.enType == OVERLAY_RGN) {
            const OVERLAY_ATTR_S& ov = r.attr.unAttr.stOverlay;
            if (!ValidSize(ov.stSize.u32Width, ov.stSize.u32Height)) return MK_ERR_RGN_ILLEGAL_PARAM;
            if (ov.enPixelFmt != MK_PIXEL_FORMAT_RGB_1555) return MK_ERR_RGN_NOT_SUPPORT;
        } else if (r.attr.enType == COVER_RGN) {
            std::memset(&r.attr.unAttr, 0, sizeof(r.attr.unAttr));
        } else {
            return MK_ERR_RGN_ILLEGAL_PARAM;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Find(req.Handle) != nullptr) return MK_ERR_RGN_EXIST;
        if (r.IsOverlay()) {
            r.bitmap.Assign(static_cast<int>(r.Width()), static_cast<int>(r.Height()),
                            static_cast<uint16_t>(r.attr.unAttr.stOverlay.u32BgColor));
            r.canvasStride = (r.Width() * 2 + 15) & ~15u;
            for (uint32_t& phys : r.canvasPhys) {
                phys = mem::ZoneAllocator::Local().Allocate(r.CanvasSize(), "", "rgn canvas");
                if (phys == 0) {
                    FreeCanvases(r);
                    return MK_ERR_RGN_NOMEM;
                }
            }
        }
        m_regions.emplace(req.Handle, std::move(r));
        return 0;
    }

    int Destroy(unsigned long request, void* arg) {
        RGN_HANDLE handle;
        if (CopyRequestIn(request, arg, &handle) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        Region* r = Find(handle);
        if (r == nullptr) return MK_ERR_RGN_UNEXIST;
        FreeCanvases(*r);
        m_regions.erase(handle);
        return 0;
    }

    int SetBitMap(unsigned long request, void* arg) {
        RGN_BITMAP_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        const BITMAP_S& bmp = req.stBitmap;
        if (bmp.pData == nullptr) return MK_ERR_RGN_NULL_PTR;
        if (bmp.enPixelFormat != MK_PIXEL_FORMAT_RGB_1555) return MK_ERR_RGN_NOT_SUPPORT;
        if (!ValidSize(bmp.u32Width, bmp.u32Height)) return MK_ERR_RGN_ILLEGAL_PARAM;
        // The caller's pixels are copied now, whatever the caller does with them afterwards.
        std::vector<uint16_t> src(static_cast<size_t>(bmp.u32Width) * bmp.u32Height);
        std::memcpy(src.data(), bmp.pData, src.size() * sizeof(uint16_t));
        Region traced;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Region* r = Find(req.Handle);
            if (r == nullptr) return MK_ERR_RGN_UNEXIST;
            if (!r->IsOverlay()) return MK_ERR_RGN_NOT_PERM;
            const uint32_t w = r->Width(), h = r->Height();
            const uint16_t bg = static_cast<uint16_t>(r->attr.unAttr.stOverlay.u32BgColor);
            uint16_t* pixels = r->bitmap.Edit();
            std::fill_n(pixels, static_cast<size_t>(w) * h, bg);
            const uint32_t cw = std::min(w, bmp.u32Width), ch = std::min(h, bmp.u32Height);
            for (uint32_t y = 0; y < ch; ++y) {
                std::copy_n(src.data() + static_cast<size_t>(y) * bmp.u32Width, cw, pixels + static_cast<size_t>(y) * w);
            }
            ++r->loads;
            traced.attr = r->attr;
            traced.channels = r->channels;
        }
        TraceBitmap(req.Handle, bmp, src, traced);
        return 0;
    }

    int Attach(unsigned long request, void* arg) {
        RGN_ATTACH_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        const MPP_CHN_S& chn = req.stChn;
        if (chn.enModId <= 0 || chn.enModId >= MK_ID_BUTT || chn.s32DevId < 0 || chn.s32ChnId < 0)
            return MK_ERR_RGN_ILLEGAL_PARAM;
        std::lock_guard<std::mutex> lock(m_mutex);
        Region* r = Find(req.Handle);
        if (r == nullptr) return MK_ERR_RGN_UNEXIST;
        const RGN_CHN_ATTR_S& a = req.stChnAttr;
        if (a.enType != r->attr.enType) return MK_ERR_RGN_ILLEGAL_PARAM;
        if (r->IsOverlay()) {
            const OVERLAY_CHN_ATTR_S& ov = a.unChnAttr.stOverlayChn;
            if (ov.u32FgAlpha > RGN_ALPHA_MAX || ov.u32BgAlpha > RGN_ALPHA_MAX) return MK_ERR_RGN_ILLEGAL_PARAM;
        } else {
            const COVER_CHN_ATTR_S& cv = a.unChnAttr.stCoverChn;
            if (cv.enCoverType != AREA_RECT || cv.stRect.u32Width > RGN_MAX_SIDE || cv.stRect.u32Height > RGN_MAX_SIDE)
                return MK_ERR_RGN_ILLEGAL_PARAM;
        }
        for (const auto& [c, attr] : r->channels) {
            if (SameChn(c, chn)) return MK_ERR_RGN_EXIST;
        }
        r->channels.emplace_back(chn, a);
        return 0;
    }

    int Request11(unsigned long request, void* arg) {
        RGN_WORD_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        Region* r = Find(req.Handle);
        if (r == nullptr) return MK_ERR_RGN_UNEXIST;
        r->word11 = req.u32Value;
        return 0;
    }

    int GetCanvas(unsigned long request, void* arg) {
        RGN_CANVAS_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        Region* r = Find(req.Handle);
        if (r == nullptr) return MK_ERR_RGN_UNEXIST;
        if (!r->IsOverlay()) return MK_ERR_RGN_NOT_PERM;
        const int back = 1 - r->front;
        r->handedOut = back;
        req.u32Index = static_cast<uint32_t>(back);
        if (r->forcedIndex >= 0) {
            req.u32Index = static_cast<uint32_t>(r->forcedIndex);
            r->forcedIndex = -1;
        }
        req.u32Size = r->CanvasSize();
        req.stCanvas = RGN_CANVAS_INFO_S{r->canvasPhys[back], nullptr, r->attr.unAttr.stOverlay.stSize,
                                         r->canvasStride, MK_PIXEL_FORMAT_RGB_1555};
        return CopyRequestOut(request, arg, req);
    }

    int UpdateCanvas(unsigned long request, void* arg) {
        RGN_HANDLE handle;
        if (CopyRequestIn(request, arg, &handle) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        Region* r = Find(handle);
        if (r == nullptr) return MK_ERR_RGN_UNEXIST;
        if (r->handedOut < 0) return MK_ERR_RGN_NOT_PERM;
        const uint32_t w = r->Width();
        uint16_t* pixels = r->bitmap.Edit();
        for (uint32_t y = 0; y < r->Height(); ++y) {
            if (!mem::Ram::Local().Read(r->canvasPhys[r->handedOut] + y * r->canvasStride,
                                        pixels + static_cast<size_t>(y) * w, w * sizeof(uint16_t))) {
                return MK_ERR_RGN_NOMEM;
            }
        }
        r->front = r->handedOut;
        r->handedOut = -1;
        return 0;
    }

    std::mutex m_mutex;  // guards m_regions
    std::map<RGN_HANDLE, Region> m_regions;
};

std::shared_ptr<RgnDriver> Instance() { return dev::Registry::Get<RgnDriver>("/dev/rgn"); }

void DrawRegions(const MPP_CHN_S& chn, const PatternFrame& picture) {
    if (auto d = Instance()) d->Draw(chn, picture);
}

}  // namespace

void InstallRgnDriver() {
    InstallDriverOnce<RgnDriver>();
    SetRegionDrawer(&DrawRegions);
}

namespace rgn_view {

std::optional<Region> Get(RGN_HANDLE handle) {
    auto d = Instance();
    return d ? d->View(handle) : std::nullopt;
}

size_t Count() {
    auto d = Instance();
    return d ? d->Count() : 0;
}

void ForceCanvasIndex(RGN_HANDLE handle, uint32_t index) {
    if (auto d = Instance()) d->ForceIndex(handle, index);
}

}  // namespace rgn_view

}  // namespace varnelle::drivers
