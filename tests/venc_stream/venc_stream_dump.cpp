// Writes what encoder channels produce from a live capture channel to files, through the SDK as the
// program wires and fetches it: capture channel 1 bound to processing group 1, the group's channel 0
// bound to an H.264 channel and its channel 2 to a JPEG channel of half the size (the group scales for
// it); select on the channel's descriptor, query, get, copy the payload, release.
//   venc_stream_dump <out.h264> <frames> <gop> <width> <height> [<out.jpg>]
// Uses a private bus directory under /dev/shm and removes it at the end.
#include <sys/select.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

bool FetchOne(VENC_CHN chn, FILE* out) {
    int fd = MK_MPI_VENC_GetFd(chn);
    if (fd < 0) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{2, 0};
    if (select(fd + 1, &set, nullptr, nullptr, &tv) != 1) return false;
    VENC_CHN_STATUS_S status{};
    if (MK_MPI_VENC_Query(chn, &status) != MK_SUCCESS || status.u32FramePacks == 0) return false;
    std::vector<VENC_PACK_S> packs(status.u32FramePacks);
    VENC_STREAM_S st{};
    st.pstPack = packs.data();
    st.u32PackCnt = status.u32FramePacks;
    if (MK_MPI_VENC_GetStream(chn, &st, 1) != MK_SUCCESS) return false;
    for (MK_U32 i = 0; i < st.u32PackCnt; ++i) {
        const VENC_PACK_S& p = packs[i];
        std::fwrite(p.pu8UserAddr + p.u32DataOffset, 1, p.u32Len - p.u32DataOffset, out);
    }
    return MK_MPI_VENC_ReleaseStream(chn, &st) == MK_SUCCESS;
}

int Run(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s out.h264 frames gop width height [out.jpg]\n", argv[0]);
        return 2;
    }
    const int frames = std::atoi(argv[2]);
    const MK_U32 gop = static_cast<MK_U32>(std::atoi(argv[3]));
    const MK_U32 w = static_cast<MK_U32>(std::atoi(argv[4])), h = static_cast<MK_U32>(std::atoi(argv[5]));
    varnelle::drivers::InstallAll();
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 1;
    conf.astCommPool[0].u32BlkSize = varnelle::drivers::FrameBytes(w, h);
    conf.astCommPool[0].u32BlkCnt = 16;
    if (MK_MPI_VB_SetConf(&conf) != MK_SUCCESS || MK_MPI_VB_Init() != MK_SUCCESS) return 1;
    const VPSS_GRP grp = 1;
    VPSS_GRP_ATTR_S grpAttr{w, h, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0, 0, 0, 0, 0};
    if (MK_MPI_VPSS_CreateGrp(grp, &grpAttr) != MK_SUCCESS || MK_MPI_VPSS_EnableChn(grp, 0) != MK_SUCCESS ||
        MK_MPI_VPSS_EnableChn(grp, 2) != MK_SUCCESS || MK_MPI_VPSS_StartGrp(grp) != MK_SUCCESS)
        return 1;
    const VI_CHN vi = 1;
    MPP_CHN_S viSrc{MK_ID_VIU, 0, vi}, grpIn{MK_ID_VPSS, grp, 0};
    if (MK_MPI_SYS_Bind(&viSrc, &grpIn) != MK_SUCCESS) return 1;
    VI_CHN_ATTR_S viAttr{};
    viAttr.stCapRect = {0, 0, w, h};
    viAttr.u32DestWidth = w;
    viAttr.u32DestHeight = h;
    viAttr.s32SrcFrameRate = viAttr.s32DstFrameRate = 25;
    if (MK_MPI_VI_SetChnAttr(vi, &viAttr) != MK_SUCCESS || MK_MPI_VI_EnableChn(vi) != MK_SUCCESS) return 1;

    VENC_CHN_ATTR_S attr{};
    attr.stVeAttr.enType = PT_H264;
    attr.stVeAttr.stAttrH264e = {w, h, (w * h * 3 / 256 + 1) * 64, 2, 1, w, h, 0, 0};
    attr.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
    attr.stRcAttr.stAttrH264Cbr = {gop, 1, 25, 25, 1024, 2, {0, 0}};
    const VENC_CHN h264 = 2;
    if (MK_MPI_VENC_CreateChn(h264, &attr) != MK_SUCCESS) return 1;
    MPP_CHN_S grpMain{MK_ID_VPSS, grp, 0}, vencMain{MK_ID_VENC, 0, h264};
    if (MK_MPI_SYS_Bind(&grpMain, &vencMain) != MK_SUCCESS) return 1;
    if (MK_MPI_VENC_StartRecvPic(h264) != MK_SUCCESS) return 1;
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 1;
    for (int i = 0; i < frames; ++i) {
        if (!FetchOne(h264, out)) {
            std::fprintf(stderr, "frame %d not fetched\n", i);
            return 1;
        }
    }
    std::fclose(out);
    MK_MPI_VENC_StopRecvPic(h264);

    if (argc > 6) {
        VENC_CHN_ATTR_S jpeg{};
        jpeg.stVeAttr.enType = PT_JPEG;
        jpeg.stVeAttr.stAttrJpeg = {w / 2, h / 2, w * h, 1, w / 2, h / 2, 0, {0, 0}};
        const VENC_CHN jchn = 40;
        if (MK_MPI_VENC_CreateChn(jchn, &jpeg) != MK_SUCCESS) return 1;
        MPP_CHN_S grpJpeg{MK_ID_VPSS, grp, 2}, vencJpeg{MK_ID_VENC, 0, jchn};
        if (MK_MPI_SYS_Bind(&grpJpeg, &vencJpeg) != MK_SUCCESS) return 1;
        MK_MPI_VENC_StartRecvPic(jchn);
        FILE* jout = std::fopen(argv[6], "wb");
        if (jout == nullptr || !FetchOne(jchn, jout)) return 1;
        std::fclose(jout);
        MK_MPI_VENC_StopRecvPic(jchn);
    }
    MPI_VENC_Exit();
    MK_MPI_VI_DisableChn(vi);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/dev/shm/varnelle-vencdump-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    setenv("VARNELLE_BUS", dir, 1);
    int ret = Run(argc, argv);
    std::string cmd = std::string("rm -rf ") + dir;
    (void)std::system(cmd.c_str());
    return ret;
}
