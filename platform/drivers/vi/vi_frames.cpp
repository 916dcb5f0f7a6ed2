// The capture path: frames of the test pattern (or the user picture) in pool blocks, the frames the
// user holds, the luma measure and the user picture.
#include <cstring>
#include <vector>

#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vi/vi_state.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VIU, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrNotEnabled = MK_ERR(MK_ID_VIU, MK_ERR_UNEXIST);
constexpr uint32_t kMaxSize = 8192;

uint32_t FrameRate(const vi::Chn& c) {
    if (c.attr.s32DstFrameRate > 0) return static_cast<uint32_t>(c.attr.s32DstFrameRate);
    if (c.attr.s32SrcFrameRate > 0) return static_cast<uint32_t>(c.attr.s32SrcFrameRate);
    return 25;
}

// The frame due now, from the enable time and the frame period.
uint64_t FrameIndex(const vi::Chn& c) { return (host::MonotonicUs() - c.startUs) * FrameRate(c) / 1000000; }

// Copies the user picture's rows out of RAM; parts outside RAM read as black.
void CopyPicture(const VIDEO_FRAME_INFO_S& pic, uint8_t* y, uint8_t* uv, uint32_t stride, uint32_t w, uint32_t h) {
    const mem::Ram& ram = mem::Ram::Local();
    for (uint32_t row = 0; row < h; ++row) {
        uint8_t* dst = y + static_cast<size_t>(row) * stride;
        if (!ram.Read(pic.u32PhyAddr[0] + row * pic.u32Stride[0], dst, w)) std::memset(dst, 0, w);
    }
    for (uint32_t row = 0; row < (h + 1) / 2 && uv != nullptr; ++row) {
        uint8_t* dst = uv + static_cast<size_t>(row) * stride;
        if (!ram.Read(pic.u32PhyAddr[1] + row * pic.u32Stride[1], dst, w)) std::memset(dst, 0x80, w);
    }
}

}  // namespace

const VI_USERPIC_ATTR_S* ViDriver::State::UserPicLocked(int chn) const {
    if (chns[chn].userPicSet) return &chns[chn].userPic;
    return publicPicSet ? &publicPic : nullptr;
}

int ViDriver::State::CaptureLocked(int chn, VIDEO_FRAME_INFO_S* frame, uint32_t* handle) {
    vi::Chn& c = chns[chn];
    if (!c.enabled) return kErrNotEnabled;
    const VI_USERPIC_ATTR_S* pic = c.userPicEnabled ? UserPicLocked(chn) : nullptr;
    uint32_t w = pic ? pic->stUsrPicFrm.u32Width : c.attr.u32DestWidth;
    uint32_t h = pic ? pic->stUsrPicFrm.u32Height : c.attr.u32DestHeight;
    uint32_t stride = (w + 15) & ~15u;
    uint32_t size = stride * h + stride * ((h + 1) / 2);

    VbPools& pools = VbPools::Instance();
    uint32_t blk = pools.GetBlock(c.pool, size);
    std::optional<VbPools::BlockInfo> info = blk == VbPools::kInvalid ? std::nullopt : pools.Block(blk);
    auto* p = info ? static_cast<uint8_t*>(mem::Ram::Local().Map(info->phys, size)) : nullptr;
    if (p == nullptr) {
        if (blk != VbPools::kInvalid) pools.Release(blk);
        ++c.vbFail;
        return MK_ERR(MK_ID_VIU, MK_ERR_NOMEM);
    }
    uint64_t index = FrameIndex(c);
    uint8_t* uv = p + static_cast<size_t>(stride) * h;
    if (pic) {
        CopyPicture(pic->stUsrPicFrm, p, uv, stride, w, h);
    } else {
        DrawTestPattern(PatternFrame{p, stride, uv, stride, static_cast<int>(w), static_cast<int>(h)}, chn, index);
    }
    mem::Ram::Unmap(p, size);

    std::memset(frame, 0, sizeof(*frame));
    frame->u32Width = w;
    frame->u32Height = h;
    frame->u32Field = MK_FIELD_FRAME;
    frame->enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    frame->u32PhyAddr[0] = info->phys;
    frame->u32PhyAddr[1] = frame->u32PhyAddr[2] = info->phys + stride * h;
    frame->u32Stride[0] = frame->u32Stride[1] = frame->u32Stride[2] = stride;
    frame->u64pts = c.startUs + index * 1000000 / FrameRate(c);
    frame->u32TimeRef = static_cast<uint32_t>(index * 2);
    frame->u32PoolId = static_cast<uint32_t>(info->pool);
    *handle = blk;
    return 0;
}

int ViDriver::State::GetFrameLocked(int chn, unsigned long request, void* arg) {
    vi::Chn& c = chns[chn];
    VI_FRAME_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!c.enabled) return kErrNotEnabled;
    // Frames reach the user only up to the depth the user asked to keep.
    if (c.depth == 0) return MK_ERR(MK_ID_VIU, MK_ERR_NOT_PERM);
    if (c.held.size() >= c.depth) return MK_ERR(MK_ID_VIU, MK_ERR_BUF_EMPTY);
    uint32_t handle;
    int ret = CaptureLocked(chn, &req.stFrame, &handle);
    if (ret != 0) return ret;
    if (CopyRequestOut(request, arg, req) != 0) {
        VbPools::Instance().Release(handle);
        return -1;
    }
    c.held.push_back(handle);
    return 0;
}

int ViDriver::State::ReleaseFrameLocked(int chn, unsigned long request, void* arg) {
    VIDEO_FRAME_INFO_S frame;
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    std::vector<uint32_t>& held = chns[chn].held;
    for (auto it = held.begin(); it != held.end(); ++it) {
        std::optional<VbPools::BlockInfo> info = VbPools::Instance().Block(*it);
        if (info && info->phys == frame.u32PhyAddr[0]) {
            VbPools::Instance().Release(*it);
            held.erase(it);
            return 0;
        }
    }
    return kErrParam;  // not a frame this channel gave out
}

int ViDriver::State::LumaLocked(int chn, unsigned long request, void* arg) {
    vi::Chn& c = chns[chn];
    VI_CHN_LUMA_S luma{};
    if (c.luma) {
        luma.u32Luma = *c.luma;
        return CopyRequestOut(request, arg, luma);
    }
    if (!c.enabled) return kErrNotEnabled;
    const VI_USERPIC_ATTR_S* pic = c.userPicEnabled ? UserPicLocked(chn) : nullptr;
    uint32_t w = pic ? pic->stUsrPicFrm.u32Width : c.attr.u32DestWidth;
    uint32_t h = pic ? pic->stUsrPicFrm.u32Height : c.attr.u32DestHeight;
    std::vector<uint8_t> y(static_cast<size_t>(w) * h);
    if (pic) {
        CopyPicture(pic->stUsrPicFrm, y.data(), nullptr, w, w, h);
    } else {
        DrawTestPattern(PatternFrame{y.data(), w, nullptr, 0, static_cast<int>(w), static_cast<int>(h)}, chn,
                        FrameIndex(c));
    }
    uint64_t sum = 0;
    for (uint8_t v : y) sum += v;
    luma.u32Luma = static_cast<uint32_t>(sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : sum);
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
