// Decoder channels of the decode block: the destruction of command 80, the digital-channel mark and
// the started flags the display-mode switch sets.
#include "app/dec/vdec_chn.h"

#include <algorithm>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/pci/pciv_cmd.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../dec/AVdec.c";
constexpr MK_S32 kVdecUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr uint32_t kJpegChnStep = 16;  // a decode channel's JPEG decoder is its own number + 16

int32_t CmdDestroy(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayDestory(m->au32Payload[0]);
}

}  // namespace

int32_t PlayDestory(uint32_t c) {
    if (!AVdecChnValid(c)) return -1;
    if (c < SlaveGetSysCfg().u32DecNum) {
        for (uint32_t vd : {c, c + kJpegChnStep}) {
            MK_S32 r = MK_MPI_VDEC_DestroyChn(static_cast<VDEC_CHN>(vd));
            // A decoder that is not there (the JPEG one of a channel that never decoded pictures) is
            // destroyed already.
            if (r != 0 && r != kVdecUnexist) {
                APP_ERR(kSrc, "MK_MPI_VDEC_DestroyChn chn:%u failed %#X\n", vd, r);
                return -1;
            }
        }
    }
    AVdecGetState()->SetRec(c, REC_CREATED, 0);
    return 0;
}

int32_t PlaySetDecodeChn(uint32_t c) {
    if (c < SlaveGetSysCfg().u32PlayDecNum || c >= AVDEC_CHN_NUM) {
        APP_ERR(kSrc, "channel >= HVR_PLAY_DECODE_NUM: channel %u, %u playback channels\n", c,
                SlaveGetSysCfg().u32PlayDecNum);
        return -1;
    }
    AVdecGetState()->SetRec(c, REC_DIGITAL, 1);
    return 0;
}

int32_t AVdecSetChnFlag(uint32_t c) {
    if (c >= AVDEC_CHN_NUM) return -1;
    AVdecState* s = AVdecGetState();
    if (s->Head(AVDEC_HEAD_DISP_ON) != 0) s->SetStarted(c, 1);
    return 0;
}

int32_t AVdecSetChnFlagCopy(uint32_t c) {
    return AVdecSetChnFlag(c);
}

int32_t AVdecSetChnFlagAlways(uint32_t c) {
    if (c >= AVDEC_CHN_NUM) return -1;
    AVdecGetState()->SetStarted(c, 1);
    return 0;
}

void VdecChnRegisterCmdHandlers() {
    PCIV_RegisterCmdHandler(80, CmdDestroy);
}
