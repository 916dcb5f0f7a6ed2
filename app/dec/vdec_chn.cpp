// Decoder channels of the decode block: the destruction of command 80, the digital-channel mark and
// the started flags the display-mode switch sets.
#include "app/dec/vdec_chn.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_snap.h"
#include "app/comm/comm_vpss.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/vdec_size.h"
#include "app/pci/pciv_cmd.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../dec/AVdec.c";
constexpr MK_S32 kVdecUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr uint32_t kJpegChnStep = 16;  // a decode channel's JPEG decoder is its own number + 16

constexpr uint32_t kVdecPriority = 5;
constexpr uint32_t kFrameMode = 1;  // the decoder is given whole frames
constexpr uint32_t kCapsWords = 128;

int32_t CmdCreate(PCIV_MSG_S* m, PcivCmdContext*) {
    return VdecChCreate(m->au32Payload[0]);
}

int32_t CmdDestroy(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayDestory(m->au32Payload[0]);
}

bool IsDigital(uint32_t c) {
    return AVdecGetState()->Rec(c, REC_DIGITAL) != 0;
}

MK_S32 CreateDecoder(uint32_t vd, const VdecChnSizing& z) {
    VDEC_CHN_ATTR_S a{};
    a.enType = AVDEC_PT_H264;
    a.u32BufSize = z.u32BufSize;
    a.u32Priority = kVdecPriority;
    a.u32PicWidth = z.u32Width;
    a.u32PicHeight = z.u32MaxHeight;
    a.u32RefFrameNum = z.u32RefFrames;
    a.enMode = kFrameMode;
    MK_S32 r = MK_MPI_VDEC_CreateChn(static_cast<VDEC_CHN>(vd), &a);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_CreateChn chn:%d failed %#X\n", static_cast<int>(vd), r);
    return r;
}

// The decoders made so far, for the set-up's decoder pool rebuild.
int32_t CreatedDecoders(int32_t* ps32Chns, int32_t s32Max) {
    AVdecState* s = AVdecGetState();
    int32_t n = 0;
    for (uint32_t c = 0; c < AVDEC_CHN_NUM && n < s32Max; ++c) {
        if (s->Rec(c, REC_CREATED) != 0) ps32Chns[n++] = static_cast<int32_t>(s->Rec(c, REC_VDEC_CHN));
    }
    return n;
}

}  // namespace

int32_t AVdecGetPicSize(uint32_t c) {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    if (AVdecUsesCaptureSize(Comm_GetMaxCapSize(), cfg.u32ChnEnd)) {
        return CommHookSplitGetChnVi(static_cast<int32_t>(c), 0);
    }
    uint32_t idx = c < AVDEC_CHN_NUM && IsDigital(c) && c >= cfg.u32PlayDecNum ? c - cfg.u32PlayDecNum : c;
    int32_t code = AVdecDigitalPicCode(cfg.stHvrCap, idx);
    return code >= 0 ? code : CommHookSplitGetChnVi(static_cast<int32_t>(idx), 0);
}

int32_t VdecChCreate(uint32_t c) {
    // The record index comes from the master: past the records there is nothing to create.
    if (c >= AVDEC_CHN_NUM) {
        APP_ERR(kSrc, "decode channel %u: only %u records\n", c, AVDEC_CHN_NUM);
        return -1;
    }
    AVdecState* s = AVdecGetState();
    if (s->Rec(c, REC_CREATED) != 0) return 0;
    SlaveSysCfg cfg = SlaveGetSysCfg();
    SIZE_S code{};
    Comm_SysGetPicSize(s->Head(AVDEC_HEAD_VSTD), AVdecGetPicSize(c), &code, cfg.u32DigitalNum == 0);
    VdecChnSizing z = AVdecChnSizing(cfg.stHvrCap, cfg.u32DevType, cfg.u32DigitalNum, cfg.u32ChnEnd,
                                     cfg.u32EncPoolFlag, code.u32Width, code.u32Height);
    bool digital = IsDigital(c) && c >= cfg.u32PlayDecNum;
    uint32_t vd = digital ? c - cfg.u32PlayDecNum : c;
    uint32_t vo = digital ? vd + cfg.u32ChnEnd : c;
    if (vd >= AVDEC_CHN_NUM) {
        APP_ERR(kSrc, "decode channel %u: VDEC channel %u out of range\n", c, vd);
        return -1;
    }
    AVdecSizeEntry& e = AVdecSizeTable(vd);
    e.u32MaxW = z.u32Width;
    e.u32MaxH = z.u32MaxHeight;
    if (digital) {
        SIZE_S size{z.u32Width, z.u32MaxHeight};
        int32_t grp = Comm_GetVpssChnMapCopy().as32Word[VPSS_MAP_DEC_BASE] + static_cast<int32_t>(vd);
        if (Comm_VpssConfig(grp, &size) != 0) APP_ERR(kSrc, "Comm_VpssConfig grp:%d failed\n", grp);
        if (CreateDecoder(vd, z) != 0) return -1;
        // The snapshot set-up takes its pictures from the group made here.
        s->SetRec(c, REC_VPSS_GRP, static_cast<uint32_t>(grp));
        if (cfg.stSlaveCfg.u8JpegEnable != 0 && s->Snap(vd, SNAP_CREATED) == 0) {
            s->SetSnap(vd, SNAP_CREATED, 1);
            // An encoder that was not made is not marked made: the set-up would bind to nothing.
            if (CommHookJpegChCreate(static_cast<int32_t>(vd + cfg.u32ChnEnd)) != 0) s->SetSnap(vd, SNAP_CREATED, 0);
        }
    }
    if (cfg.u32DigitalNum == 0 && CreateDecoder(vd, z) != 0) return -1;
    s->SetRec(c, REC_PAYLOAD, AVDEC_PT_H264);
    s->SetRec(c, REC_VDEC_CHN, vd);
    s->SetRec(c, REC_VO_CHN, vo);
    s->SetRec(c, REC_PIC_W, z.u32Width);
    s->SetRec(c, REC_PIC_H, z.u32Height);
    s->SetRec(c, REC_MAX_W, z.u32Width);
    s->SetRec(c, REC_MAX_H, z.u32Height);
    s->SetRec(c, REC_CUR_W, z.u32Width);
    s->SetRec(c, REC_CUR_H, z.u32Height);
    s->HostOf(c).s32PicCode = AVdecGetPicSize(c);
    s->SetRec(c, REC_CREATED, 1);
    // The record's mutex is made once with the block, and its thread is started once: a channel made
    // again after command 80 gets its decoder back, not a second thread on a re-made mutex.
    if (AVdecStartFeeding(c) != 0) APP_ERR(kSrc, "the feeding thread of channel %u did not start\n", c);
    return 0;
}

void AVdecGetDecCaps(uint32_t* pu32Record) {
    static std::mutex s_mutex;
    static uint32_t s_au32Caps[kCapsWords];
    static bool s_bBuilt = false;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_bBuilt) {
        SlaveSysCfg cfg = SlaveGetSysCfg();
        uint32_t n = std::min<uint32_t>(cfg.u32DecNum, 32);
        uint32_t factor = AVdecCapsFactor(cfg.stHvrCap);
        uint64_t sum = 0;
        s_au32Caps[1] = cfg.u32DecNum;
        s_au32Caps[2] = kCapsWords;
        for (uint32_t i = 0; i < n; ++i) {
            int32_t code = AVdecGetPicSize(i);
            SIZE_S sz{};
            Comm_SysGetPicSize(AVdecGetState()->Head(AVDEC_HEAD_VSTD), code, &sz, false);
            s_au32Caps[3 + i] = static_cast<uint32_t>(code);
            s_au32Caps[35 + i] = sz.u32Width * sz.u32Height * factor;
            sum += s_au32Caps[35 + i];
        }
        s_au32Caps[0] = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
        s_au32Caps[67] = 76800;
        s_bBuilt = true;
    }
    std::memcpy(pu32Record, s_au32Caps, sizeof(s_au32Caps));
}

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

void AVdecForgetMedia(CommForgotten* pOut) {
    AVdecState* s = AVdecGetState();
    AVdecState* t = AVdecGetChnTable();
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) {
        pOut->u32Decoders += s->Rec(c, REC_CREATED) != 0;
        s->SetRec(c, REC_CREATED, 0);
        // The snapshot encoder goes with the system; command 55 makes it again.
        SnapRecord r = CommSnapRecord(c);
        r.Set(SNAP_CREATED, 0);
        r.Set(SNAP_REQUESTED, 0);
        r.Set(SNAP_SET_UP, 0);
        r.SetS(SNAP_FD, -1);
        r.SetS(SNAP_TEARDOWN_GRP, -1);
        // The playback records' decoder is no longer bound, shown or receiving: the master's commands
        // 64 and 70 and its rectangles bind and show it again; its receivers stop retrying into it.
        t->SetRec(c, REC_RUNNING, 0);
        t->SetRec(c, REC_RECEIVING, 0);
        t->SetRec(c, REC_BOUND, 0);
        t->SetRec(c, REC_SHOWN, 0);
        t->SetStarted(c, 0);
    }
}

void VdecChnRegisterCmdHandlers() {
    PCIV_RegisterCmdHandler(55, CmdCreate);
    CommSetVdecCreatedChnsHook(CreatedDecoders);
    CommSetForgetDecodeHook(AVdecForgetMedia);
    PCIV_RegisterCmdHandler(80, CmdDestroy);
}
