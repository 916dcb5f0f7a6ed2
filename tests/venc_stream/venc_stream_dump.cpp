// Writes what an encoder channel produces to files, through the SDK as the program fetches it:
// select on the channel's descriptor, query, get, copy the payload, release.
//   venc_stream_dump <out.h264> <frames> <gop> <width> <height> [<out.jpg>]
// Uses a private bus directory under /dev/shm and removes it at the end.
#include <sys/select.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/mem/ram.h"
#include "sdk/venc/mpi_venc.h"

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
    varnelle::drivers::InstallVencDriver();

    VENC_CHN_ATTR_S attr{};
    attr.stVeAttr.enType = PT_H264;
    attr.stVeAttr.stAttrH264e = {w, h, (w * h * 3 / 256 + 1) * 64, 2, 1, w, h, 0, 0};
    attr.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
    attr.stRcAttr.stAttrH264Cbr = {gop, 1, 25, 25, 1024, 2, {0, 0}};
    const VENC_CHN h264 = 2;
    if (MK_MPI_VENC_CreateChn(h264, &attr) != MK_SUCCESS) return 1;
    varnelle::drivers::BindGraph::Instance().Bind({MK_ID_VPSS, 1, 0}, {MK_ID_VENC, 0, h264});
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
        jpeg.stVeAttr.stAttrJpeg = {w, h, w * h * 2, 1, w, h, 0, {0, 0}};
        const VENC_CHN jchn = 40;
        if (MK_MPI_VENC_CreateChn(jchn, &jpeg) != MK_SUCCESS) return 1;
        varnelle::drivers::BindGraph::Instance().Bind({MK_ID_VPSS, 1, 3}, {MK_ID_VENC, 0, jchn});
        MK_MPI_VENC_StartRecvPic(jchn);
        FILE* jout = std::fopen(argv[6], "wb");
        if (jout == nullptr || !FetchOne(jchn, jout)) return 1;
        std::fclose(jout);
        MK_MPI_VENC_StopRecvPic(jchn);
    }
    MPI_VENC_Exit();
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
