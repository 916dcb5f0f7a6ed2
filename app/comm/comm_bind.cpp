#include "app/comm/comm_bind.h"

#include "app/comm/app_log.h"
#include "sdk/sys/mpi_sys.h"

namespace {

constexpr const char* kSrc = "../comm/vivo.c";

MPP_CHN_S Chn(MPP_MOD_ID mod, int32_t dev, int32_t chn) {
    MPP_CHN_S c;
    c.enModId = mod;
    c.s32DevId = dev;
    c.s32ChnId = chn;
    return c;
}

enum class Op { kBind, kUnbind };

// One bind or unbind; on failure the caller's line in its own words.
MK_S32 Call(Op op, const MPP_CHN_S& src, const MPP_CHN_S& dst) {
    return op == Op::kBind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
}

#define COMM_BIND_OR_FAIL(op, src, dst, fmt, ...)                          \
    do {                                                                  \
        MK_S32 s32Ret = Call(op, src, dst);                               \
        if (s32Ret != 0) {                                                \
            APP_ERR(kSrc, fmt, static_cast<unsigned>(s32Ret), ##__VA_ARGS__); \
            return -1;                                                    \
        }                                                                 \
        return 0;                                                         \
    } while (0)

}  // namespace

int32_t Comm_ViBindVpss(int32_t s32ViChn, int32_t s32Grp) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_VIU, 0, s32ViChn), Chn(MK_ID_VPSS, s32Grp, 0), "failed with %#x!");
}

int32_t Comm_ViUnBindVpss(int32_t s32ViChn, int32_t s32Grp) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_VIU, 0, s32ViChn), Chn(MK_ID_VPSS, s32Grp, 0), "failed with %#x!");
}

int32_t Comm_VoBindVpss(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32Grp, int32_t s32GrpChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_VPSS, s32Grp, s32GrpChn), Chn(MK_ID_VOU, s32VoLayer, s32VoChn),
                      "failed with %#x!");
}

int32_t Comm_VoUnBindVpss(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32Grp, int32_t s32GrpChn) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_VPSS, s32Grp, s32GrpChn), Chn(MK_ID_VOU, s32VoLayer, s32VoChn),
                      "failed with %#x!");
}

int32_t Comm_ViBindVo(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32ViChn) {
    return Call(Op::kBind, Chn(MK_ID_VIU, 0, s32ViChn), Chn(MK_ID_VOU, s32VoLayer, s32VoChn));
}

int32_t Comm_ViUnBindVo(int32_t s32VoLayer, int32_t s32VoChn) {
    MPP_CHN_S dst = Chn(MK_ID_VOU, s32VoLayer, s32VoChn);
    return MK_MPI_SYS_UnBind(nullptr, &dst);
}

int32_t Comm_VencBindVpss(int32_t s32VencChn, int32_t s32Grp, int32_t s32GrpChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_VPSS, s32Grp, s32GrpChn), Chn(MK_ID_VENC, 0, s32VencChn),
                      "failed with %#x!");
}

int32_t Comm_VencUnBindVpss(int32_t s32VencChn, int32_t s32Grp, int32_t s32GrpChn) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_VPSS, s32Grp, s32GrpChn), Chn(MK_ID_VENC, 0, s32VencChn),
                      "failed with %#x!");
}

int32_t Comm_VdecBindVpss(int32_t s32VdChn, int32_t s32Grp) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_VDEC, 0, s32VdChn), Chn(MK_ID_VPSS, s32Grp, 0),
                      "MK_MPI_SYS_Bind failed with %#x,VdChn %d,VpssGrp %d!", s32VdChn, s32Grp);
}

int32_t Comm_VdecUnBindVpss(int32_t s32VdChn, int32_t s32Grp) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_VDEC, 0, s32VdChn), Chn(MK_ID_VPSS, s32Grp, 0),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_VdecBindVo(int32_t s32VdChn, int32_t s32VoLayer, int32_t s32VoChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_VDEC, 0, s32VdChn), Chn(MK_ID_VOU, s32VoLayer, s32VoChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_VdecUnBindVo(int32_t s32VdChn, int32_t s32VoLayer, int32_t s32VoChn) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_VDEC, 0, s32VdChn), Chn(MK_ID_VOU, s32VoLayer, s32VoChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AencBindAi(int32_t s32AiDev, int32_t s32AiChn, int32_t s32AencChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_AI, s32AiDev, s32AiChn), Chn(MK_ID_AENC, 0, s32AencChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AencUnBindAi(int32_t s32AiDev, int32_t s32AiChn, int32_t s32AencChn) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_AI, s32AiDev, s32AiChn), Chn(MK_ID_AENC, 0, s32AencChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AoBindAdec(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AdChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_ADEC, 0, s32AdChn), Chn(MK_ID_AO, s32AoDev, s32AoChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AoUnBindAdec(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AdChn) {
    COMM_BIND_OR_FAIL(Op::kUnbind, Chn(MK_ID_ADEC, 0, s32AdChn), Chn(MK_ID_AO, s32AoDev, s32AoChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AoBindAi(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AiChn) {
    COMM_BIND_OR_FAIL(Op::kBind, Chn(MK_ID_AI, 2, s32AiChn), Chn(MK_ID_AO, s32AoDev, s32AoChn),
                      "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_AoUnBind(int32_t s32AoDev, int32_t s32AoChn) {
    MPP_CHN_S dst = Chn(MK_ID_AO, s32AoDev, s32AoChn);
    MPP_CHN_S src = Chn(MK_ID_BUTT, -1, -1);
    // Without a source there is nothing to unbind; an unbind by the destination alone could take a
    // binding the look-up did not report.
    MK_S32 s32Ret = MK_MPI_SYS_GetBindbyDest(&dst, &src);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_SYS_GetBindbyDest failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    COMM_BIND_OR_FAIL(Op::kUnbind, src, dst, "MK_MPI_SYS_Bind failed with %#x!");
}

int32_t Comm_ViIsBindVpss(int32_t s32ViChn, int32_t s32Grp) {
    MPP_CHN_S dst = Chn(MK_ID_VPSS, s32Grp, 0);
    MPP_CHN_S src = Chn(MK_ID_BUTT, -1, -1);
    if (MK_MPI_SYS_GetBindbyDest(&dst, &src) != 0) return 0;
    return src.enModId == MK_ID_VIU && src.s32DevId == 0 && src.s32ChnId == s32ViChn ? 1 : 0;
}

int32_t Comm_ReturnZero() {
    return 0;
}
