#include "app/alarm/alarm_common.h"

#include <atomic>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/fb/graphics.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vda/mpi_vda.h"

namespace {

MPP_CHN_S ViAddr(int32_t s32ViChn) {
    return MPP_CHN_S{MK_ID_VIU, 0, s32ViChn};
}
MPP_CHN_S VdaAddr(int32_t s32VdaChn) {
    return MPP_CHN_S{MK_ID_VDA, 0, s32VdaChn};
}

std::atomic<AlarmSplitChnFn> g_pfnSecondary{nullptr};
std::atomic<AlarmSplitChnFn> g_pfnPreviewGrp{nullptr};

}  // namespace

void AlarmSetSplitHooks(AlarmSplitChnFn pfnSecondary, AlarmSplitChnFn pfnPreviewGrp) {
    g_pfnSecondary.store(pfnSecondary);
    g_pfnPreviewGrp.store(pfnPreviewGrp);
}

int32_t AlarmGetChnSource(int32_t s32Chn, ALARM_CHN_SOURCE_S* pstSrc) {
    if (pstSrc == nullptr || !AlarmChnOk(s32Chn)) {
        APP_ERR_IN("alarm", __FUNCTION__, "channel %d out of range or no record", s32Chn);
        return -1;
    }
    const AlarmSplitChnFn pfnSecondary = g_pfnSecondary.load();
    const AlarmSplitChnFn pfnPreviewGrp = g_pfnPreviewGrp.load();
    int32_t s32ViChn = 0;
    if (pfnSecondary == nullptr || pfnPreviewGrp == nullptr) {
        APP_ERR_IN("alarm", __FUNCTION__, "the split module is not wired in");
        return -1;
    }
    if (AlarmViChnOf(s32Chn, &s32ViChn, __FUNCTION__) != 0) return -1;
    const int32_t s32Sec = pfnSecondary(s32Chn);
    if (s32Sec < 0) return -1;
    const GraphicsDisplayGeometry g = GraphicsGetDisplayGeometry();
    *pstSrc = ALARM_CHN_SOURCE_S{s32ViChn, s32Sec, 3, pfnPreviewGrp(s32Chn), 2, SIZE_S{g.u32ImgWidth, g.u32ImgHeight}};
    return 0;
}

int32_t AlarmTotalViChn() {
    return static_cast<int32_t>(SlaveGetSysCfg().u32ChnEnd);
}

bool AlarmChnOk(int32_t s32Chn) {
    const uint32_t u = static_cast<uint32_t>(s32Chn);
    return u < static_cast<uint32_t>(AlarmTotalViChn()) && u < ALARM_MAX_CHN;
}

int32_t AlarmViChnOf(int32_t s32Chn, int32_t* ps32ViChn, const char* pszFunc) {
    int32_t s32ViDev = 0;
    if (CommHookSplitGetChnWiring(s32Chn, ps32ViChn, &s32ViDev) != 0) {
        APP_ERR_IN("alarm", pszFunc, "channel %d has no capture channel", s32Chn);
        return -1;
    }
    return 0;
}

bool AlarmSlowProduct(uint32_t u32DevType) {
    return u32DevType == 656 || u32DevType == 657 || u32DevType == 660 || u32DevType == 661;
}

int32_t AlarmVdaStart(int32_t s32VdaChn, int32_t s32ViChn, const VDA_CHN_ATTR_S* pstAttr, const char* pszFile,
                      const char* pszFunc) {
    MK_S32 s32Ret = MK_MPI_VDA_CreateChn(s32VdaChn, pstAttr);
    if (s32Ret != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_VDA_CreateChn err %#x!", static_cast<unsigned>(s32Ret));
        return s32Ret;
    }
    const MPP_CHN_S src = ViAddr(s32ViChn), dst = VdaAddr(s32VdaChn);
    if ((s32Ret = MK_MPI_SYS_Bind(&src, &dst)) != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_SYS_Bind err!");
        MK_MPI_VDA_DestroyChn(s32VdaChn);
        return s32Ret;
    }
    if ((s32Ret = MK_MPI_VDA_StartRecvPic(s32VdaChn)) != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_VDA_StartRecvPic err!");
        MK_MPI_SYS_UnBind(&src, &dst);
        MK_MPI_VDA_DestroyChn(s32VdaChn);
        return s32Ret;
    }
    return 0;
}

int32_t AlarmVdaStop(int32_t s32VdaChn, int32_t s32ViChn, const char* pszFile, const char* pszFunc) {
    MK_S32 s32Ret = MK_MPI_VDA_StopRecvPic(s32VdaChn);
    if (s32Ret != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_VDA_StopRecvPic error!");
        return s32Ret;
    }
    const MPP_CHN_S src = ViAddr(s32ViChn), dst = VdaAddr(s32VdaChn);
    if ((s32Ret = MK_MPI_SYS_UnBind(&src, &dst)) != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_SYS_UnBind error!");
        return s32Ret;
    }
    if ((s32Ret = MK_MPI_VDA_DestroyChn(s32VdaChn)) != 0) {
        APP_ERR_IN(pszFile, pszFunc, "MK_MPI_VDA_DestroyChn err!");
        return s32Ret;
    }
    return 0;
}
