#include "sdk/vpss/mpi_vpss.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"
#include "sdk/common/mk_frame_req.h"

namespace {

namespace dev = varnelle::dev;

constexpr MK_U32 kGroupWordChn = 255;  // channel byte of a bind word that names the group itself

// All module state. Slots open at the first call on their object and stay open.
struct VpssModule {
    // descriptors: one per group, one per group channel
    mk::DevSlot grp[VPSS_MAX_GRP_NUM];
    mk::DevSlot chn[VPSS_MAX_GRP_NUM][VPSS_MAX_CHN_NUM];
};

VpssModule& Module() {
    static VpssModule* module = new VpssModule;  // never destroyed: other threads may still call in
    return *module;
}

using Site = mk::TraceSite;
#define VPSS_SITE MK_TRACE_SITE

// The object a call concerns.
struct Target {
    enum Kind { kGrp, kChn, kMod };
    VPSS_GRP grp;
    VPSS_CHN chn;
    Kind kind;
};

MK_S32 CheckIds(const Site& site, const Target& t) {
    if (t.kind == Target::kMod) return MK_SUCCESS;
    // Unsigned, so that a negative id is out of range too.
    if (static_cast<MK_U32>(t.grp) >= VPSS_MAX_GRP_NUM) {
        MK_TRACE_AT(site, "VpssGrpid(%d) is invalid\r\n", t.grp);
        return MK_ERR(MK_ID_VPSS, MK_ERR_INVALID_DEVID);
    }
    if (t.kind == Target::kChn && static_cast<MK_U32>(t.chn) >= VPSS_MAX_CHN_NUM) {
        MK_TRACE_AT(site, "VpssChnID(%d) is invalid\r\n", t.chn);
        return MK_ERR(MK_ID_VPSS, MK_ERR_INVALID_CHNID);
    }
    return MK_SUCCESS;
}

MK_S32 CheckNull(const Site& site, const void* p) {
    if (p != nullptr) return MK_SUCCESS;
    MK_TRACE_AT(site, "NULL pointer \r\n");
    return MK_ERR(MK_ID_VPSS, MK_ERR_NULL_PTR);
}

// Opens and binds the target's descriptor if it is closed; 0 with *fd set, or the not-ready code.
MK_S32 Open(const Target& t, int* fd) {
    bool isChn = t.kind == Target::kChn;
    mk::DevSlot& slot = isChn ? Module().chn[t.grp][t.chn] : Module().grp[t.grp];
    MK_U32 word = (static_cast<MK_U32>(t.grp) << 16) | (isChn ? static_cast<MK_U32>(t.chn) : kGroupWordChn);
    switch (slot.Ensure("/dev/vpss", O_RDONLY, MK_VPSS_BIND_REQUEST, word)) {
        case mk::DevSlot::kReady:
            *fd = slot.fd();
            return MK_SUCCESS;
        case mk::DevSlot::kOpenFailed:
            if (isChn) {
                std::printf("open vpss(%d,%d) err, ret:%d \n", t.grp, t.chn, -1);
            } else {
                std::printf("open vpss(%d) err, ret:%d \n", t.grp, -1);
            }
            return MK_ERR(MK_ID_VPSS, MK_ERR_SYS_NOTREADY);
        case mk::DevSlot::kBindFailed:
            break;
    }
    return MK_ERR(MK_ID_VPSS, MK_ERR_SYS_NOTREADY);
}

// The wrapper pattern: range check, null check (after the open for the module calls, which go
// through group 0's descriptor), lazy open and bind, one request.
MK_S32 Request(const Site& site, const Target& t, unsigned long request, void* arg, bool checkNull) {
    MK_S32 ret = CheckIds(site, t);
    if (ret != MK_SUCCESS) return ret;
    bool nullFirst = t.kind != Target::kMod;
    if (checkNull && nullFirst && (ret = CheckNull(site, arg)) != MK_SUCCESS) return ret;
    int fd = -1;
    if ((ret = Open(t, &fd)) != MK_SUCCESS) return ret;
    if (checkNull && !nullFirst && (ret = CheckNull(site, arg)) != MK_SUCCESS) return ret;
    return dev::Ioctl(fd, request, arg);
}

MK_S32 SendFrame(const Site& site, const Target& t, unsigned long request, const VIDEO_FRAME_INFO_S* frame,
                 MK_S32 milliSec) {
    MK_S32 ret = CheckIds(site, t);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, frame)) != MK_SUCCESS) return ret;
    int fd = -1;
    if ((ret = Open(t, &fd)) != MK_SUCCESS) return ret;
    return mk::SendFrameRequest(fd, request, *frame, milliSec);
}

// The frame goes back to the caller whatever the request returned. The block starts zeroed, so a
// refused request hands back zeros rather than stale stack contents.
MK_S32 GetFrame(const Site& site, const Target& t, unsigned long request, VIDEO_FRAME_INFO_S* frame,
                MK_S32 milliSec) {
    MK_S32 ret = CheckIds(site, t);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, frame)) != MK_SUCCESS) return ret;
    int fd = -1;
    if ((ret = Open(t, &fd)) != MK_SUCCESS) return ret;
    return mk::GetFrameRequest(fd, request, milliSec, frame);
}

MK_S32 GetRegionLuma(const Site& site, const Target& t, unsigned long request, const VPSS_REGION_INFO_S* info,
                     MK_U32* luma, MK_S32 milliSec) {
    MK_S32 ret = CheckIds(site, t);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, info)) != MK_SUCCESS ||
        (ret = CheckNull(site, luma)) != MK_SUCCESS) {
        return ret;
    }
    // Regions are read from the array, so it must be there whenever there is something to read.
    if (info->u32RegionNum > 0 && (ret = CheckNull(site, info->pstRegion)) != MK_SUCCESS) return ret;
    int fd = -1;
    if ((ret = Open(t, &fd)) != MK_SUCCESS) return ret;
    MK_U32 count = info->u32RegionNum;
    if (count > MK_MAX_REGION_NUM) {
        std::fprintf(stderr, "The param:u32RegionNum %d should not larger than %d in func:%s\n",
                     static_cast<int>(count), MK_MAX_REGION_NUM, site.func);
        return MK_ERR(MK_ID_VPSS, MK_ERR_ILLEGAL_PARAM);
    }
    VIDEO_REGION_LUMA_REQ_S block{};
    if (count > 0) std::memcpy(block.astRegion, info->pstRegion, count * sizeof(RECT_S));
    block.u32RegionNum = count;
    block.s32MilliSec = milliSec;
    ret = dev::Ioctl(fd, request, &block);
    if (count > 0) std::memcpy(luma, block.au32Luma, count * sizeof(MK_U32));
    return ret;
}

}  // namespace

#define VPSS_TARGET_GRP Target{VpssGrp, 0, Target::kGrp}
#define VPSS_TARGET_CHN Target{VpssGrp, VpssChn, Target::kChn}
#define VPSS_TARGET_MOD Target{0, 0, Target::kMod}

#define VPSS_BODY_NONE(t, req) return Request(VPSS_SITE, t, req, nullptr, false)
#define VPSS_BODY_SET(t, req) \
    return Request(VPSS_SITE, t, req, const_cast<void*>(static_cast<const void*>(pstArg)), true)
#define VPSS_BODY_GET(t, req) return Request(VPSS_SITE, t, req, pstArg, true)
#define VPSS_BODY_VAL(t, req) return Request(VPSS_SITE, t, req, &u32Value, false)
#define VPSS_BODY_FSEND(t, req) return SendFrame(VPSS_SITE, t, req, pstFrame, s32MilliSec)
#define VPSS_BODY_FGET(t, req) return GetFrame(VPSS_SITE, t, req, pstFrame, s32MilliSec)
#define VPSS_BODY_LUMA(t, req) return GetRegionLuma(VPSS_SITE, t, req, pstRegionInfo, pu32LumaData, s32MilliSec)

#define VPSS_DEFINE(scope, name, kind, nr, T)                                      \
    MK_S32 MK_MPI_VPSS_##name MK_VPSS_PARAMS_##scope(MK_VPSS_ARG_##kind(T)) {      \
        VPSS_BODY_##kind(VPSS_TARGET_##scope, MK_VPSS_REQ_##kind(nr, T));          \
    }
MK_VPSS_TABLE(VPSS_DEFINE)

MK_S32 MK_MPI_VPSS_GetFileHandle(MK_U32 u32BindWord) {
    MK_U32 chnByte = u32BindWord & 0xFF;
    Target t{static_cast<VPSS_GRP>((u32BindWord >> 16) & 0xFF), static_cast<VPSS_CHN>(chnByte), Target::kChn};
    if (chnByte == kGroupWordChn) {
        t.kind = Target::kGrp;
    } else if (chnByte >= VPSS_MAX_CHN_NUM) {
        MK_TRACE_AT(VPSS_SITE, "VpssChnID(%d) is invalid\r\n", static_cast<int>(chnByte));
        return MK_ERR(MK_ID_VPSS, MK_ERR_INVALID_CHNID);
    }
    int fd = -1;
    MK_S32 ret = Open(t, &fd);
    return ret != MK_SUCCESS ? ret : fd;
}
