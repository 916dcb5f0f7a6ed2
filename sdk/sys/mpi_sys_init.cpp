#include "sdk/sys/mpi_sys_init.h"

#include "platform/dev/dev.h"
#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/sys/mpi_sys_internal.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/venc/mpi_venc.h"

namespace dev = varnelle::dev;
using namespace mk::sys;

MK_S32 MPI_SYS_GetKernelConfig(MK_SYS_KERNEL_CONFIG_S* pstConfig) {
    if (pstConfig == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    if (SysIoctl(MK_SYS_IOC_GET_KERNEL_CONFIG, pstConfig) != MK_SUCCESS) {
        MK_TRACE("System get Kernel Config failed!\n");
        return kErrNotReady;
    }
    return MK_SUCCESS;
}

MK_S32 MPI_SYS_AudioInit(MK_VOID) {
    MK_SYS_KERNEL_CONFIG_S cfg{};
    if (MPI_SYS_GetKernelConfig(&cfg) != MK_SUCCESS) {
        MK_TRACE("Get Kernel Config failed!\n");
        return MK_FAILURE;
    }
    g_s32HRTimer = static_cast<MK_S32>(cfg.u32HRTimer);
    struct Step {
        MK_S32 (*init)();
        const char* failed;
    } const steps[] = {
        {SYS_BIND_Init, "initialize sys bind failed!\n"}, {MPI_AI_Init, "initialize ai mpi failed!\n"},
        {MPI_AO_Init, "initialize ao mpi failed!\n"},     {MPI_AENC_Init, "initialize aenc mpi failed!\n"},
        {MPI_ADEC_Init, "initialize adec mpi failed!\n"},
    };
    for (const Step& s : steps) {
        if (s.init() != MK_SUCCESS) {
            MK_TRACE("%s", s.failed);
            return MK_FAILURE;
        }
    }
    return MK_SUCCESS;
}

MK_S32 MPI_SYS_AudioExit(MK_VOID) {
    MPI_AI_Exit();
    MPI_AENC_Exit();
    MPI_ADEC_Exit();
    MPI_AO_Exit();
    SYS_BIND_Exit();
    return MK_SUCCESS;
}

MK_S32 MK_MPI_SYS_Init(MK_VOID) {
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    ret = dev::Ioctl(Module().sys.fd(), MK_SYS_IOC_INIT, nullptr);
    if (ret != MK_SUCCESS) return ret;
    if (MPI_SYS_AudioInit() != MK_SUCCESS) {
        MK_TRACE("initialize audio mpi failed!\n");
        return MK_FAILURE;
    }
    if (MPI_VENC_Init() != MK_SUCCESS) {
        MK_TRACE("initialize venc mpi failed!\n");
        return MK_FAILURE;
    }
    if (MPI_VDEC_Init() != MK_SUCCESS) {
        MK_TRACE("initialize jpeg mpi failed!\n");
        return MK_FAILURE;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_SYS_Exit(MK_VOID) {
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    MPI_SYS_AudioExit();
    MPI_VENC_Exit();
    MPI_VDEC_Exit();
    return dev::Ioctl(Module().sys.fd(), MK_SYS_IOC_EXIT, nullptr);
}
