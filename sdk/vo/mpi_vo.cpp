#include "sdk/vo/mpi_vo.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"
#include "sdk/common/mk_frame_req.h"

namespace {

namespace dev = varnelle::dev;

// All module state. Descriptors open at the first call on their object and stay open until
// MPI_VO_CloseFd, or are closed again after a refused bind.
struct VoModule {
    // descriptors of devices, layers and channels, indexed [device][layer][channel]
    mk::DevSlot table[VO_MAX_DEV_NUM][VO_MAX_LAYER_NUM][VO_MAX_CHN_NUM];
    // descriptors of the graphic layers and the write-back unit
    mk::DevSlot gfx[VO_MAX_GRAPHICS_LAYER_NUM];
    mk::DevSlot wbc;
};

VoModule& Module() {
    static VoModule* module = new VoModule;  // never destroyed: other threads may still call in
    return *module;
}

constexpr MK_S32 Err(int num) { return MK_ERR(MK_ID_VOU, num); }

using Site = mk::TraceSite;
#define VO_SITE MK_TRACE_SITE

// Range checks, unsigned so that a negative id is out of range too.
bool IdOk(const Site& site, MK_S32 id, MK_U32 limit, const char* what) {
    if (static_cast<MK_U32>(id) < limit) return true;
    MK_TRACE_AT(site, "%s(%d) is invalid\r\n", what, id);
    return false;
}
bool DevOk(const Site& site, MK_S32 dev) { return IdOk(site, dev, VO_MAX_DEV_NUM, "VoDev"); }
bool LayerOk(const Site& site, MK_S32 layer) { return IdOk(site, layer, VO_MAX_LAYER_NUM, "VoLayer"); }
bool ChnOk(const Site& site, MK_S32 chn) { return IdOk(site, chn, VO_MAX_CHN_NUM, "VoChn"); }
bool GfxOk(const Site& site, MK_S32 gfx) { return IdOk(site, gfx, VO_MAX_GRAPHICS_LAYER_NUM, "u32Layer"); }
bool WbcOk(const Site& site, MK_S32 wbc) { return IdOk(site, wbc, VO_MAX_WBC_NUM, "WBC"); }

// The object a call concerns: its descriptor slot and the word that binds it.
struct Target {
    enum Kind { kTable, kGfx, kWbc };
    Kind kind;
    MK_S32 dev, layer, chn, gfx;

    static Target Table(MK_S32 d, MK_S32 l, MK_S32 c) { return {kTable, d, l, c, 0}; }
    static Target Gfx(MK_S32 g) { return {kGfx, 0, 0, 0, g}; }
    static Target Wbc() { return {kWbc, 0, 0, 0, 0}; }

    mk::DevSlot& Slot() const {
        switch (kind) {
            case kGfx: return Module().gfx[gfx];
            case kWbc: return Module().wbc;
            case kTable: break;
        }
        return Module().table[dev][layer][chn];
    }
    MK_U32 Word() const {
        switch (kind) {
            case kGfx: return MK_VO_GFX_WORD_BIT | (static_cast<MK_U32>(gfx) << 28);
            case kWbc: return MK_VO_WBC_WORD_BIT;
            case kTable: break;
        }
        return (static_cast<MK_U32>(dev) << 16) | (static_cast<MK_U32>(layer) << 8) | static_cast<MK_U32>(chn);
    }
};

// A range-checked target, or the code of the first id out of range (devices, layers, graphic layers
// and the unit before channels, as each scope lists them).
struct Checked {
    MK_S32 code;
    Target target;
};
Checked Dev(const Site& s, MK_S32 d) {
    if (!DevOk(s, d)) return {Err(MK_ERR_INVALID_DEVID), {}};
    return {MK_SUCCESS, Target::Table(d, 0, 0)};
}
Checked Layer(const Site& s, MK_S32 l) {
    if (!LayerOk(s, l)) return {Err(MK_ERR_VO_INVALID_LAYER), {}};
    return {MK_SUCCESS, Target::Table(0, l, 0)};
}
Checked LayerOnDev(const Site& s, MK_S32 l, MK_S32 d) {
    if (!LayerOk(s, l)) return {Err(MK_ERR_VO_INVALID_LAYER), {}};
    if (!DevOk(s, d)) return {Err(MK_ERR_INVALID_DEVID), {}};
    return {MK_SUCCESS, Target::Table(d, l, 0)};
}
Checked Chn(const Site& s, MK_S32 l, MK_S32 c) {
    if (!LayerOk(s, l)) return {Err(MK_ERR_VO_INVALID_LAYER), {}};
    if (!ChnOk(s, c)) return {Err(MK_ERR_INVALID_CHNID), {}};
    return {MK_SUCCESS, Target::Table(0, l, c)};
}
Checked CasChn(const Site& s, MK_S32 d, MK_S32 c) {
    if (!DevOk(s, d)) return {Err(MK_ERR_INVALID_DEVID), {}};
    if (!ChnOk(s, c)) return {Err(MK_ERR_INVALID_CHNID), {}};
    return {MK_SUCCESS, Target::Table(d, 0, c)};
}
Checked Wbc(const Site& s, MK_S32 w) {
    if (!WbcOk(s, w)) return {Err(MK_ERR_VO_INVALID_WBC), {}};
    return {MK_SUCCESS, Target::Wbc()};
}
Checked Gfx(const Site& s, MK_S32 g) {
    if (!GfxOk(s, g)) return {Err(MK_ERR_VO_INVALID_GFX_LAYER), {}};
    return {MK_SUCCESS, Target::Gfx(g)};
}
Checked GfxOnDev(const Site& s, MK_S32 g, MK_S32 d) {
    if (!GfxOk(s, g)) return {Err(MK_ERR_VO_INVALID_GFX_LAYER), {}};
    if (!DevOk(s, d)) return {Err(MK_ERR_INVALID_DEVID), {}};
    return {MK_SUCCESS, Target::Gfx(g)};
}
Checked Mod() { return {MK_SUCCESS, Target::Table(0, 0, 0)}; }

// Opens and binds the target's descriptor if it is closed; 0 with *fd set, or the not-ready code.
MK_S32 Open(const Target& t, int* fd) {
    mk::DevSlot& slot = t.Slot();
    switch (slot.Ensure("/dev/vo", O_RDONLY, MK_VO_BIND_REQUEST, t.Word())) {
        case mk::DevSlot::kReady:
            *fd = slot.fd();
            return MK_SUCCESS;
        case mk::DevSlot::kOpenFailed:
            std::perror("open vou device error!\n");
            break;
        case mk::DevSlot::kBindFailed:
            break;
    }
    return Err(MK_ERR_SYS_NOTREADY);
}

MK_S32 CheckNull(const Site& site, const void* p) {
    if (p != nullptr) return MK_SUCCESS;
    MK_TRACE_AT(site, "NULL addr!\r\n");
    return Err(MK_ERR_NULL_PTR);
}

// The wrapper pattern: range check, lazy open and bind, null check, one request.
MK_S32 Request(const Site& site, const Checked& c, unsigned long request, void* arg, bool checkNull) {
    if (c.code != MK_SUCCESS) return c.code;
    int fd = -1;
    MK_S32 ret = Open(c.target, &fd);
    if (ret != MK_SUCCESS || (checkNull && (ret = CheckNull(site, arg)) != MK_SUCCESS)) return ret;
    return dev::Ioctl(fd, request, arg);
}

MK_S32 SendFrame(const Site& site, const Checked& c, unsigned long request, const VIDEO_FRAME_INFO_S* frame,
                 MK_S32 milliSec) {
    if (c.code != MK_SUCCESS) return c.code;
    int fd = -1;
    MK_S32 ret = Open(c.target, &fd);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, frame)) != MK_SUCCESS) return ret;
    return mk::SendFrameRequest(fd, request, *frame, milliSec);
}

// The caller's record changes only when the driver hands a frame over.
MK_S32 GetFrame(const Site& site, const Checked& c, unsigned long request, VIDEO_FRAME_INFO_S* frame,
                MK_S32 milliSec) {
    if (c.code != MK_SUCCESS) return c.code;
    int fd = -1;
    MK_S32 ret = Open(c.target, &fd);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, frame)) != MK_SUCCESS) return ret;
    VIDEO_FRAME_INFO_S got;
    ret = mk::GetFrameRequest(fd, request, milliSec, &got);
    if (ret == MK_SUCCESS) *frame = got;
    return ret;
}

MK_S32 GetRegionLuma(const Site& site, const Checked& c, unsigned long request, const VO_REGION_INFO_S* info,
                     MK_U32* luma, MK_S32 milliSec) {
    if (c.code != MK_SUCCESS) return c.code;
    int fd = -1;
    MK_S32 ret = Open(c.target, &fd);
    if (ret != MK_SUCCESS || (ret = CheckNull(site, info)) != MK_SUCCESS ||
        (ret = CheckNull(site, luma)) != MK_SUCCESS || (ret = CheckNull(site, info->pstRegion)) != MK_SUCCESS) {
        return ret;
    }
    // Unsigned: a count with the top bit set is too many, not a negative few.
    MK_U32 count = info->u32RegionNum;
    if (count > MK_MAX_REGION_NUM) {
        MK_TRACE_AT(site, "VoLayer(%d, %d) region number exceed max number %d\n", c.target.layer,
                    c.target.chn, MK_MAX_REGION_NUM);
        return Err(MK_ERR_ILLEGAL_PARAM);
    }
    VIDEO_REGION_LUMA_REQ_S block{};
    std::memcpy(block.astRegion, info->pstRegion, count * sizeof(RECT_S));
    block.u32RegionNum = count;
    block.s32MilliSec = milliSec;
    ret = dev::Ioctl(fd, request, &block);
    if (ret == MK_SUCCESS) std::memcpy(luma, block.au32Luma, count * sizeof(MK_U32));
    return ret;
}

}  // namespace

#define VO_TARGET_DEV Dev(VO_SITE, VoDev)
#define VO_TARGET_LAYER Layer(VO_SITE, VoLayer)
#define VO_TARGET_LBIND LayerOnDev(VO_SITE, VoLayer, VoDev)
#define VO_TARGET_CHN Chn(VO_SITE, VoLayer, VoChn)
#define VO_TARGET_CAS CasChn(VO_SITE, VoDev, VoChn)
#define VO_TARGET_WBC Wbc(VO_SITE, VoWbc)
#define VO_TARGET_GFX Gfx(VO_SITE, GraphicLayer)
#define VO_TARGET_GBIND GfxOnDev(VO_SITE, GraphicLayer, VoDev)
#define VO_TARGET_MOD Mod()

#define VO_BODY_NONE(t, req) return Request(VO_SITE, t, req, nullptr, false)
#define VO_BODY_SET(t, req) \
    return Request(VO_SITE, t, req, const_cast<void*>(static_cast<const void*>(pstArg)), true)
#define VO_BODY_GET(t, req) return Request(VO_SITE, t, req, pstArg, true)
#define VO_BODY_VAL(t, req) return Request(VO_SITE, t, req, &u32Value, false)
#define VO_BODY_DEVVAL(t, req) return Request(VO_SITE, t, req, &VoDev, false)
#define VO_BODY_FSEND(t, req) return SendFrame(VO_SITE, t, req, pstFrame, s32MilliSec)
#define VO_BODY_FGET(t, req) return GetFrame(VO_SITE, t, req, pstFrame, s32MilliSec)
#define VO_BODY_LUMA(t, req) return GetRegionLuma(VO_SITE, t, req, pstRegionInfo, pu32LumaData, s32MilliSec)

#define VO_DEFINE(scope, name, kind, nr, T)                                \
    MK_S32 MK_MPI_VO_##name MK_VO_PARAMS_##scope(MK_VO_ARG_##kind(T)) {    \
        VO_BODY_##kind(VO_TARGET_##scope, MK_VO_REQ_##kind(nr, T));        \
    }
MK_VO_TABLE(VO_DEFINE)

MK_S32 MK_MPI_VO_GetModuleValue(MK_U32 u32Selector, MK_U32* pu32Value) {
    int fd = -1;
    MK_S32 ret = Open(Mod().target, &fd);
    if (ret != MK_SUCCESS || (ret = CheckNull(VO_SITE, pu32Value)) != MK_SUCCESS) return ret;
    VO_MODULE_VALUE_S block{u32Selector, 0};
    ret = dev::Ioctl(fd, MK_VO_MODULE_VALUE_REQUEST, &block);
    *pu32Value = block.u32Value;
    return ret;
}

MK_S32 MK_MPI_VO_GetFileHandle(MK_U32 u32BindWord) {
    Site site = VO_SITE;
    Checked c;
    if (u32BindWord & MK_VO_WBC_WORD_BIT) {
        c = Wbc(site, static_cast<MK_S32>((u32BindWord >> 24) & 0x7));
    } else if (u32BindWord & MK_VO_GFX_WORD_BIT) {
        c = Gfx(site, static_cast<MK_S32>((u32BindWord >> 28) & 0x7));
    } else {
        MK_S32 d = static_cast<MK_S32>((u32BindWord >> 16) & 0xFF);
        MK_S32 l = static_cast<MK_S32>((u32BindWord >> 8) & 0xFF);
        MK_S32 ch = static_cast<MK_S32>(u32BindWord & 0xFF);
        if (!DevOk(site, d)) return Err(MK_ERR_INVALID_DEVID);
        if (!LayerOk(site, l)) return Err(MK_ERR_VO_INVALID_LAYER);
        if (!ChnOk(site, ch)) return Err(MK_ERR_INVALID_CHNID);
        c = {MK_SUCCESS, Target::Table(d, l, ch)};
    }
    if (c.code != MK_SUCCESS) return c.code;
    int fd = -1;
    MK_S32 ret = Open(c.target, &fd);
    return ret != MK_SUCCESS ? ret : fd;
}

MK_S32 MPI_VO_CloseFd(void) {
    // Every descriptor is closed and reset even after a failure; any failure is reported.
    bool failed = false;
    auto close = [&](mk::DevSlot& slot, const char* message) {
        if (slot.IsOpen() && slot.Close() != 0) {
            std::perror(message);
            failed = true;
        }
    };
    VoModule& m = Module();
    for (auto& dev : m.table) {
        for (auto& layer : dev) {
            for (mk::DevSlot& slot : layer) close(slot, "Close VO Channel Fail");
        }
    }
    for (mk::DevSlot& slot : m.gfx) close(slot, "Close Gfx Fail");
    close(m.wbc, "Close Gfx Fail");
    return failed ? Err(MK_ERR_BUSY) : MK_SUCCESS;
}
