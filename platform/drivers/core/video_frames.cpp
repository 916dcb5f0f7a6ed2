#include "platform/drivers/core/video_frames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/dev/driver.h"
#include "platform/drivers/core/ram_window.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {

HeldFrame::HeldFrame(const VIDEO_FRAME_INFO_S& frame) : m_frame(frame), m_block(VbPools::kInvalid) {
    if (auto blk = VbPools::Instance().BlockAt(frame.u32PhyAddr[0])) m_block = blk->handle;
    Hold();
}

HeldFrame HeldFrame::Adopt(const VIDEO_FRAME_INFO_S& frame, uint32_t block) { return HeldFrame(frame, block); }

HeldFrame::HeldFrame(const HeldFrame& other) : m_frame(other.m_frame), m_block(other.m_block) { Hold(); }

HeldFrame::HeldFrame(HeldFrame&& other) noexcept : m_frame(other.m_frame), m_block(other.m_block) {
    other.m_block = VbPools::kInvalid;
}

HeldFrame& HeldFrame::operator=(const HeldFrame& other) {
    if (this != &other) {
        Drop();
        m_frame = other.m_frame;
        m_block = other.m_block;
        Hold();
    }
    return *this;
}

HeldFrame& HeldFrame::operator=(HeldFrame&& other) noexcept {
    if (this != &other) {
        Drop();
        m_frame = other.m_frame;
        m_block = other.m_block;
        other.m_block = VbPools::kInvalid;
    }
    return *this;
}

HeldFrame::~HeldFrame() { Drop(); }

void HeldFrame::Hold() {
    // A block freed behind our back (pools cleared) cannot be held; the frame is then kept without it.
    if (m_block != VbPools::kInvalid && !VbPools::Instance().AddRef(m_block)) m_block = VbPools::kInvalid;
}

void HeldFrame::Drop() {
    if (m_block != VbPools::kInvalid) VbPools::Instance().Release(m_block);
    m_block = VbPools::kInvalid;
}

bool HeldFrame::Same(const VIDEO_FRAME_INFO_S& frame) const {
    return frame.u32PhyAddr[0] == m_frame.u32PhyAddr[0] && frame.u32PoolId == m_frame.u32PoolId &&
           frame.u32Width == m_frame.u32Width && frame.u32Height == m_frame.u32Height;
}

uint8_t* HeldFrame::Plane(int plane) const {
    if (plane < 0 || plane > 1) return nullptr;
    uint32_t rows = plane == 0 ? m_frame.u32Height : (m_frame.u32Height + 1) / 2;
    return RamWindow(m_frame.u32PhyAddr[plane], static_cast<size_t>(m_frame.u32Stride[plane]) * rows);
}

std::optional<HeldFrame> AllocFrame(const FrameBlocks& from, uint32_t width, uint32_t height, uint64_t ptsUs,
                                    uint32_t timeRef) {
    constexpr uint32_t kMaxSide = 8192;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return std::nullopt;
    const uint32_t stride = FrameStride(width);
    const uint32_t size = FrameBytes(width, height);
    VbPools& pools = VbPools::Instance();
    uint32_t handle = pools.GetBlock(from.pool, size, from.zone, false, from.user);
    if (handle == VbPools::kInvalid) return std::nullopt;
    std::optional<VbPools::BlockInfo> info = pools.Block(handle);
    if (!info || info->size < size) {
        pools.Release(handle);
        return std::nullopt;
    }
    VIDEO_FRAME_INFO_S f{};
    f.u32Width = width;
    f.u32Height = height;
    f.u32Field = MK_FIELD_FRAME;
    f.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    f.u32PhyAddr[0] = info->phys;
    f.u32PhyAddr[1] = f.u32PhyAddr[2] = info->phys + stride * height;
    f.u32Stride[0] = f.u32Stride[1] = f.u32Stride[2] = stride;
    f.u64pts = ptsUs;
    f.u32TimeRef = timeRef;
    f.u32PoolId = static_cast<uint32_t>(info->pool);
    return HeldFrame::Adopt(f, handle);
}

int AttrStore::Set(unsigned long key, unsigned long request, const void* arg, size_t size) {
    std::vector<uint8_t> rec(size);
    if (CopyRequestInBytes(request, arg, rec.data(), size) != 0) return -1;
    m_records[key] = std::move(rec);
    return 0;
}

int AttrStore::Get(unsigned long key, unsigned long request, void* arg, size_t size,
                   const std::vector<uint8_t>& defaults) const {
    std::vector<uint8_t> rec(size);
    Read(key, rec.data(), size, defaults);
    return CopyRequestOutBytes(request, arg, rec.data(), size);
}

void AttrStore::Put(unsigned long key, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    m_records[key].assign(p, p + size);
}

void AttrStore::Read(unsigned long key, void* out, size_t size, const std::vector<uint8_t>& defaults) const {
    auto it = m_records.find(key);
    const std::vector<uint8_t>& rec = it != m_records.end() ? it->second : defaults;
    std::memset(out, 0, size);
    if (!rec.empty()) std::memcpy(out, rec.data(), std::min(size, rec.size()));
}

int ReleaseHeldFrame(std::vector<HeldFrame>& held, unsigned long request, const void* arg, int notHeldCode) {
    VIDEO_FRAME_INFO_S frame{};
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    auto it = std::find_if(held.begin(), held.end(), [&](const HeldFrame& h) { return h.Same(frame); });
    if (it == held.end()) return notHeldCode;
    held.erase(it);
    return 0;
}

int FillRegionLuma(const HeldFrame* frame, unsigned long request, void* arg, int tooManyCode) {
    // The block goes in and comes back.
    if (_IOC_DIR(request) != (_IOC_READ | _IOC_WRITE) || _IOC_SIZE(request) != sizeof(VIDEO_REGION_LUMA_REQ_S)) {
        return dev::Fail(EINVAL);
    }
    if (arg == nullptr) return dev::Fail(EFAULT);
    auto* req = static_cast<VIDEO_REGION_LUMA_REQ_S*>(arg);
    if (req->u32RegionNum > MK_MAX_REGION_NUM) return tooManyCode;
    std::fill(std::begin(req->au32Luma), std::end(req->au32Luma), 0u);
    if (frame != nullptr && frame->block() != VbPools::kInvalid) MeasureRegionLuma(frame->frame(), req);
    return 0;
}

void MeasureRegionLuma(const VIDEO_FRAME_INFO_S& frame, VIDEO_REGION_LUMA_REQ_S* req) {
    const mem::Ram& ram = mem::Ram::Local();
    uint32_t count = std::min<uint32_t>(req->u32RegionNum, MK_MAX_REGION_NUM);
    std::vector<uint8_t> row;
    for (uint32_t i = 0; i < count; ++i) {
        const RECT_S& r = req->astRegion[i];
        int64_t x0 = std::max<int64_t>(r.s32X, 0), y0 = std::max<int64_t>(r.s32Y, 0);
        int64_t x1 = std::min<int64_t>(int64_t{r.s32X} + r.u32Width, frame.u32Width);
        int64_t y1 = std::min<int64_t>(int64_t{r.s32Y} + r.u32Height, frame.u32Height);
        uint32_t sum = 0;
        if (x0 < x1 && y0 < y1) {
            row.resize(static_cast<size_t>(x1 - x0));
            for (int64_t y = y0; y < y1; ++y) {
                uint64_t phys = frame.u32PhyAddr[0] + static_cast<uint64_t>(y) * frame.u32Stride[0] + x0;
                if (!ram.Contains(phys, row.size()) || !ram.Read(static_cast<uint32_t>(phys), row.data(), row.size())) {
                    sum = 0;
                    break;
                }
                for (uint8_t b : row) sum += b;
            }
        }
        req->au32Luma[i] = sum;
    }
}

}  // namespace varnelle::drivers
