// Playback control: the master's commands 69 to 74 on the playback block, the decoder and the display.
#include "app/dec/play_ctrl.h"

#include <algorithm>
#include <atomic>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/dec_clock.h"
#include "app/dec/vdec_snap.h"
#include "app/pci/pciv_cmd.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../dec/AVdecPlay.c";
constexpr MK_S32 kVoDev = 8;  // the display device of every playback call but PlayStop's hide
constexpr uint32_t kNormalSpeed = 6;

// Replaces the record's display channel in the pause, resume and stop calls when 0 or more; only the
// display-mode switch, which nothing calls, changes it.
std::atomic<int32_t> g_voChnOverride{-1};

AVdecState* Tab() {
    return AVdecGetChnTable();
}

MK_S32 VdecChn(uint32_t c) {
    return static_cast<MK_S32>(Tab()->Rec(c, REC_VDEC_CHN));
}

MK_S32 VoChn(uint32_t c, bool bOverride = false) {
    const int32_t o = g_voChnOverride.load();
    return bOverride && o >= 0 ? o : static_cast<MK_S32>(Tab()->Rec(c, REC_VO_CHN));
}

bool DisplayOn() {
    return Tab()->Head(AVDEC_HEAD_DISP_ON) != 0;
}

void SetBaseNow(uint32_t c) {
    uint64_t now = DecNowUs();
    Tab()->SetRec(c, REC_BASE_SEC, static_cast<uint32_t>(now / 1000000u));
    Tab()->SetRec(c, REC_BASE_USEC, static_cast<uint32_t>(now % 1000000u));
}

// The ring's bytes in use, read and write offsets.
void ClearRingCounters(AVdecState* s, uint32_t c) {
    s->SetRec(c, REC_RING_USED, 0);
    s->SetRec(c, REC_RING_READ, 0);
    s->SetRec(c, REC_RING_WRITE, 0);
}

void ClearLastOffsets(uint32_t c) {
    for (uint32_t f : {REC_LAST_OFF0, REC_LAST_OFF1, REC_LAST_OFF2}) Tab()->SetRec(c, f, 0);
}

void VdecStop(MK_S32 vd) {
    MK_S32 r = MK_MPI_VDEC_StopRecvStream(vd);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StopRecvStream failed :%#X\n", r);
}

void VdecReset(MK_S32 vd) {
    MK_S32 r = MK_MPI_VDEC_ResetChn(vd);
    if (r != 0) APP_ERR(kSrc, "reset vdec chn :%d failed errno 0x%x\n", vd, r);
}

void VdecStart(MK_S32 vd) {
    MK_S32 r = MK_MPI_VDEC_StartRecvStream(vd);
    if (r != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StartRecvStream failed :%#X\n", r);
}

// Stop, reset and start the channel's decoder; not receiving meanwhile.
void VdecRestart(uint32_t c) {
    MK_S32 vd = VdecChn(c);
    VdecStop(vd);
    Tab()->SetRec(c, REC_RECEIVING, 0);
    VdecReset(vd);
    VdecStart(vd);
    Tab()->SetRec(c, REC_RECEIVING, 1);
}

}  // namespace

uint32_t PlayChnNum() {
    return std::min(SlaveGetSysCfg().u32DigitalPlaySum, AVDEC_CHN_NUM);
}

bool AVdecChnValid(uint32_t u32Chn) {
    return u32Chn < PlayChnNum();
}

bool AVdecDigitalChn(uint32_t u32Chn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    return u32Chn >= cfg.u32PlayDecNum && u32Chn - cfg.u32PlayDecNum < cfg.u32DigitalNum;
}

bool AVdecRecEnabled(const AVdecState* pBlock, uint32_t u32Chn, const char* pszCmd) {
    if (pBlock->Rec(u32Chn, REC_CREATED) != 0) return true;
    APP_ERR(kSrc, "%s: channel %u has no enabled record, nothing done\n", pszCmd, u32Chn);
    return false;
}

int32_t PlayStart(uint32_t c) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlayStart")) return -1;
    AVdecState* t = Tab();
    t->SetRec(c, REC_RUNNING, 1);
    t->SetRec(c, REC_STARVED, 1);
    t->SetRec(c, REC_RESYNC, 1);
    for (uint32_t f : {REC_RESEARCH, REC_LIST_RESET, REC_STEP, REC_PAUSED, REC_BUSY, REC_SAVED_POS, REC_RATE_ADJ}) {
        t->SetRec(c, f, 0);
    }
    ClearRingCounters(t, c);
    ClearLastOffsets(c);
    t->SetRec64(c, REC_WORD64, 0);
    t->SetRec64(c, REC_PTS, 0);
    t->SetRec(c, REC_RATE, 100);
    t->SetRec(c, REC_FRAME_CNT, 0);
    SetBaseNow(c);
    // A list left from earlier play is freed, not only forgotten.
    AVdecFreeFrameList(c);
    if (t->Rec(c, REC_SHOWN) == 0) {
        if (DisplayOn() && t->Rec(c, REC_HIDE) != 1) {
            MK_S32 r = MK_MPI_VO_ShowChn(kVoDev, VoChn(c));
            if (r != 0) APP_ERR(kSrc, "CHN:%d Dev:%d MK_MPI_VO_ShowChn failed :%#X\n", VoChn(c), kVoDev, r);
        }
        t->SetRec(c, REC_SHOWN, 1);
    }
    VdecRestart(c);
    t->SetStarted(c, 1);
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (cfg.stSlaveCfg.u8JpegEnable != 0 && AVdecDigitalChn(c)) {
        DigitSnapJpeg(static_cast<int32_t>(c - cfg.u32PlayDecNum));
    }
    return 0;
}

int32_t PlayStop(uint32_t c) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlayStop")) return -1;
    AVdecState* t = Tab();
    t->SetRec(c, REC_BUSY, 1);
    t->SetRec(c, REC_RUNNING, 0);
    t->SetRec(c, REC_STARVED, 0);
    t->SetRec(c, REC_STEP, 0);
    t->SetRec(c, REC_RESEARCH, 1);
    t->SetRec(c, REC_LIST_RESET, 1);
    ClearRingCounters(t, c);
    t->SetRec(c, REC_SAVED_POS, 0);
    ClearLastOffsets(c);
    t->SetRec64(c, REC_WORD64, 0);
    t->SetRec64(c, REC_PTS, 0);
    t->SetRec(c, REC_FRAME_CNT, 0);
    AVdecFreeFrameList(c);
    if (AVdecAudioOutEnabled()) BufListClear(AVdecAudioOutList());
    MK_S32 voChn = VoChn(c, true);
    if (t->Rec(c, REC_PAUSED) != 0) {
        if (DisplayOn()) {
            MK_S32 r = MK_MPI_VO_ResumeChn(kVoDev, voChn);
            if (r != 0) {
                t->SetRec(c, REC_BUSY, 0);
                APP_ERR(kSrc, "pause vo chn failed! \n");
                return r;
            }
        }
        t->SetRec(c, REC_PAUSED, 0);
    }
    MK_S32 vd = VdecChn(c);
    VdecStop(vd);
    t->SetRec(c, REC_RECEIVING, 0);
    VdecReset(vd);
    // The group is read from the record of channel minus the first decoder channel; a channel below
    // the first decoder channel has no such record.
    uint32_t u32GrpRec = c - SlaveGetSysCfg().u32FirstDecChn;
    if (u32GrpRec < AVDEC_CHN_NUM) {
        MK_S32 grp = static_cast<MK_S32>(t->Rec(u32GrpRec, REC_VPSS_GRP));
        MK_S32 r = MK_MPI_VPSS_ResetGrp(grp);
        if (r != 0) APP_ERR(kSrc, "reset vpss chn :%d failed errno 0x%x\n", grp, r);
    } else {
        APP_ERR(kSrc, "channel %u has no processing group record (first decoder channel %u)\n", c,
                SlaveGetSysCfg().u32FirstDecChn);
    }
    if (t->Rec(c, REC_SHOWN) != 0) {
        if (DisplayOn()) {
            MK_S32 dev = static_cast<MK_S32>(t->Head(AVDEC_HEAD_HIDE_DEV));
            MK_S32 r = MK_MPI_VO_HideChn(dev, voChn);
            if (r != 0) APP_ERR(kSrc, "CHN:%d Dev:%d MK_MPI_VO_HideChn failed :%#X\n", voChn, dev, r);
        }
        t->SetRec(c, REC_SHOWN, 0);
    }
    t->SetRec(c, REC_BUSY, 0);
    for (uint32_t i = 0; i < 8; ++i) t->SetRec(c, REC_CLOCK + 4 * i, 0);
    return 0;
}

int32_t PlayPause(uint32_t c, uint32_t u32StillShow) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlayPause")) return -1;
    AVdecState* t = Tab();
    t->SetRec(c, REC_BUSY, 1);
    if (DisplayOn()) {
        MK_S32 voChn = VoChn(c, true);
        std::printf("\033[1;35m-->%s %s %d: VoDev=%d, vo_chn=%d, iStillShow=%d\033[0m\n", kSrc, __FUNCTION__, __LINE__,
                    kVoDev, voChn, u32StillShow);
        MK_S32 r = MK_MPI_VO_PauseChn(kVoDev, voChn);
        if (r == 0 && u32StillShow == 0) r = MK_MPI_VO_HideChn(kVoDev, voChn);
        if (r != 0) APP_ERR(kSrc, "pause vo chn failed! \n");
    }
    t->SetRec(c, REC_PAUSED, 1);
    t->SetRec(c, REC_BUSY, 0);
    return 0;
}

int32_t PlayResume(uint32_t c) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlayResume")) return -1;
    AVdecState* t = Tab();
    t->SetRec(c, REC_BUSY, 1);
    SetBaseNow(c);
    t->SetRec64(c, REC_WORD64, 0);
    t->SetRec(c, REC_PAUSED, 0);
    if (DisplayOn()) {
        MK_S32 voChn = VoChn(c, true);
        std::printf("\033[1;35m-->%s %s %d: VoDev=%d, vo_chn=%d\033[0m\n", kSrc, __FUNCTION__, __LINE__, kVoDev, voChn);
        if (MK_MPI_VO_ResumeChn(kVoDev, voChn) != 0) APP_ERR(kSrc, "pause vo chn failed! \n");
        if (MK_MPI_VO_ShowChn(kVoDev, voChn) != 0) APP_ERR(kSrc, "MK_MPI_VO_ShowChn vo chn failed! \n");
    }
    t->SetRec(c, REC_BUSY, 0);
    return 0;
}

int32_t PlayFlush(uint32_t c) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlayFlush")) return -1;
    AVdecState* t = Tab();
    t->SetRec(c, REC_BUSY, 1);
    AVdecFreeFrameList(c);
    t->SetRec(c, REC_RESYNC, 1);
    SetBaseNow(c);
    t->SetRec64(c, REC_WORD64, 0);
    if (t->Rec(c, REC_DIRECTION) == 1 || t->Rec(c, REC_SPEED) > kNormalSpeed || t->Rec(c, REC_RATE) == 1) {
        t->SetRec(c, REC_FRAME_CNT, 0);
    }
    t->SetRec(c, REC_SINCE_CLOCK, 0);
    t->SetRec(c, REC_BUSY, 0);
    VdecRestart(c);
    return 0;
}

int32_t PlaySetDirection(uint32_t c, uint32_t u32Direction) {
    if (!AVdecChnValid(c) || !AVdecRecEnabled(Tab(), c, "PlaySetDirection")) return -1;
    if (u32Direction > 1) {
        APP_ERR(kSrc, "channel %u: direction %u is neither 0 nor 1\n", c, u32Direction);
        return -1;
    }
    AVdecState* t = Tab();
    t->SetRec(c, REC_BUSY, 1);
    uint32_t u32Size = t->Rec(c, REC_RING_SIZE);
    // Without a ring there is no position to keep.
    uint64_t pos = static_cast<uint64_t>(t->Rec(c, REC_RING_WRITE)) + u32Size - t->Rec(c, REC_LAST_OFF0);
    t->SetRec(c, REC_SAVED_POS, u32Size != 0 ? static_cast<uint32_t>(pos % u32Size) : 0);
    AVdecFreeFrameList(c);
    t->SetRec(c, REC_DIRECTION, u32Direction);
    t->SetRec(c, REC_FRAME_CNT, 0);
    VdecRestart(c);
    t->SetRec(c, REC_BUSY, 0);
    return 0;
}

void PlaySetVoChnOverride(int32_t s32VoChn) {
    g_voChnOverride.store(s32VoChn < 0 ? -1 : s32VoChn);
}

int32_t PlaysetStatus(uint32_t c, uint32_t bShow) {
    if (!AVdecChnValid(c)) return -1;
    AVdecState* t = Tab();
    if (!DisplayOn()) return 0;
    MK_S32 r = 0;
    if (bShow == 0) {
        r = MK_MPI_VO_HideChn(kVoDev, VoChn(c));
    } else if (t->Rec(c, REC_SHOWN) != 0 && t->Rec(c, REC_HIDE) != 1 && t->Rec(c, REC_PAUSED) == 0) {
        // Only what the playback itself shows comes back: a hidden or paused channel stays as it was left.
        r = MK_MPI_VO_ShowChn(kVoDev, VoChn(c));
    }
    if (r != 0) APP_ERR(kSrc, "PlaysetStatus vo chn failed! \n");
    return r;
}

namespace {

int32_t CmdDirection(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlaySetDirection(m->au32Payload[0], m->au32Payload[1]);
}
int32_t CmdStart(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayStart(m->au32Payload[0]);
}
int32_t CmdStop(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayStop(m->au32Payload[0]);
}
int32_t CmdResume(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayResume(m->au32Payload[0]);
}
int32_t CmdFlush(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayFlush(m->au32Payload[0]);
}
int32_t CmdPause(PCIV_MSG_S* m, PcivCmdContext*) {
    return PlayPause(m->au32Payload[0], m->au32Payload[1]);
}

}  // namespace

void PlayRegisterCmdHandlers() {
    PCIV_RegisterCmdHandler(69, CmdDirection);
    PCIV_RegisterCmdHandler(70, CmdStart);
    PCIV_RegisterCmdHandler(71, CmdStop);
    PCIV_RegisterCmdHandler(72, CmdResume);
    PCIV_RegisterCmdHandler(73, CmdFlush);
    PCIV_RegisterCmdHandler(74, CmdPause);
    PlayRegisterDisplayCmdHandlers();
}
