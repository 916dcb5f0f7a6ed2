// Bind routing: audio decoder sources live in the in-process table, every other binding in the kernel.
#include "sdk/bind/sys_bind.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/sys/mpi_sys_internal.h"

using namespace mk::sys;

namespace {

// The kernel addresses some modules by device or group alone.
void Normalise(MK_SYS_BIND_REQ_S& req) {
    MPP_CHN_S& src = req.stSrcChn;
    MPP_CHN_S& dst = req.stDestChn;
    if (src.enModId == MK_ID_VIU || src.enModId == MK_ID_VDEC) src.s32DevId = 0;
    if (src.enModId == MK_ID_VOU) src.s32ChnId = 0;
    if (dst.enModId == MK_ID_DEVONLY || dst.enModId == MK_ID_VPSS) dst.s32ChnId = 0;
}

MK_SYS_BIND_REQ_S MakeRequest(const MPP_CHN_S* src, const MPP_CHN_S& dst) {
    MK_SYS_BIND_REQ_S req{};
    if (src != nullptr) req.stSrcChn = *src;
    req.stDestChn = dst;
    Normalise(req);
    return req;
}

}  // namespace

MK_S32 MK_MPI_SYS_Bind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn) {
    if (pstSrcChn == nullptr || pstDestChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_BIND_REQ_S req = MakeRequest(pstSrcChn, *pstDestChn);
    if (req.stSrcChn.enModId == MK_ID_ADEC) return SYS_Bind(&req.stSrcChn, &req.stDestChn);
    return SysIoctl(MK_SYS_IOC_BIND, &req);
}

MK_S32 MK_MPI_SYS_UnBind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn) {
    if (pstDestChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    // Without a source the request's source half is all zero.
    MK_SYS_BIND_REQ_S req = MakeRequest(pstSrcChn, *pstDestChn);
    if (pstSrcChn != nullptr && req.stSrcChn.enModId == MK_ID_ADEC) {
        return SYS_UnBind(&req.stSrcChn, &req.stDestChn);
    }
    return SysIoctl(MK_SYS_IOC_UNBIND, &req);
}

MK_S32 MK_MPI_SYS_GetBindbyDest(const MPP_CHN_S* pstDestChn, MPP_CHN_S* pstSrcChn) {
    if (pstDestChn == nullptr || pstSrcChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_BIND_REQ_S req = MakeRequest(pstSrcChn, *pstDestChn);
    if (req.stDestChn.enModId == MK_ID_AO) {
        MPP_CHN_S src{};
        if (SYS_GetBindbyDest(&req.stDestChn, &src) == MK_SUCCESS) {
            *pstSrcChn = src;
            return MK_SUCCESS;
        }
    }
    MK_S32 ret = SysIoctl(MK_SYS_IOC_GET_BIND_BY_DEST, &req);
    if (ret == MK_SUCCESS) *pstSrcChn = req.stSrcChn;
    return ret;
}

MK_S32 MK_MPI_SYS_GetBindbySrc(MPP_CHN_S* pstSrcChn, MPP_BIND_DEST_S* pstBindDest) {
    if (pstSrcChn == nullptr || pstBindDest == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_BIND_REQ_S req = MakeRequest(pstSrcChn, MPP_CHN_S{});
    *pstSrcChn = req.stSrcChn;
    if (pstSrcChn->enModId != MK_ID_ADEC) {
        MK_TRACE("Wrong ModId!\n");
        return kErrPerm;
    }
    return SYS_GetBindbySrc(pstSrcChn, pstBindDest);
}
