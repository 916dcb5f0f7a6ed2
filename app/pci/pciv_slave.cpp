#include "app/pci/pciv_slave.h"

#include <atomic>
#include <cstring>

#include "app/comm/comm_cfg.h"
#include "app/fb/graphics.h"
#include "app/pci/app_log.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_trans.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/sys/mpi_sys.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_slave.c";

struct SlaveState {
    std::atomic<uint32_t> u32WindowBase{0};
    PCIV_MSG_S stKeptMsg{};  // command 57's message, read back by command 59
    SlaveCmdHooks stHooks{};
};

SlaveState& State() {
    static auto* s = new SlaveState;
    return *s;
}

template <typename T>
T* Payload(PCIV_MSG_S* pMsg) {
    static_assert(sizeof(T) <= PCIV_MSG_MAXLEN);
    return reinterpret_cast<T*>(pMsg->au32Payload);
}

// Commands 10 and 11. A repeated command stops the earlier sender first, so one port never has two
// acknowledgement readers.
int32_t StartSender(PCIV_MSG_S* pMsg, PCIV_TRANS_CHN_S* pSlot) {
    auto* pParam = Payload<PCIV_TRANS_PARAM_S>(pMsg);
    pParam->u32Target = 0;
    std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
    SlaveStopSender(pSlot);
    PCIV_TRANS_SENDER_S* pSender = nullptr;
    int s32Ret = PCIV_Trans_InitSender(pParam, &pSender);
    if (s32Ret != 0) return s32Ret;
    pSlot->pTrans = pSender;
    pSlot->s32Running = 1;
    return 0;
}

int32_t CmdStartVenc(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    int32_t s32Ret = StartSender(pMsg, PcivGetVencTrans());
    if (s32Ret != 0)
        std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", s32Ret, "SlaveStartVenc",
                    __LINE__);
    return s32Ret;
}

int32_t CmdStartJpeg(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    int32_t s32Ret = StartSender(pMsg, PcivGetJpegTrans());
    if (s32Ret != 0)
        std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", s32Ret, "SlaveStartJpeg",
                    __LINE__);
    return s32Ret;
}

// Commands 14 and 57: window blocks, their addresses as the master sees them.
int32_t WindowMalloc(PCIV_MSG_S* pMsg) {
    auto* pReq = Payload<SLAVE_PCIV_MALLOC_S>(pMsg);
    PcivSetWindowBase(PCIV_DEFAULT_WINDOW_BASE);
    if (pReq->u32BlkCnt > PCIV_MALLOC_MAX_BLK) {
        APP_ERR(kSrc, "block count %u above %d\n", pReq->u32BlkCnt, PCIV_MALLOC_MAX_BLK);
        return -1;
    }
    MK_U32 au32Phys[PCIV_MALLOC_MAX_BLK] = {};
    MK_S32 s32Ret = MK_MPI_PCIV_Malloc(pReq->u32BlkSize, pReq->u32BlkCnt, au32Phys);
    // After a failure the blocks are given back: the master gets no address rather than a stale one.
    for (uint32_t i = 0; i < pReq->u32BlkCnt; ++i) {
        pReq->au32PhyAddr[i] = s32Ret == 0 ? au32Phys[i] + PCIV_MASTER_WINDOW_OFFSET : 0;
    }
    return s32Ret;
}

int32_t CmdSlaveMalloc(PCIV_MSG_S* pMsg, PcivCmdContext* pCtx) {
    pCtx->u32ReplyLen = sizeof(SLAVE_PCIV_MALLOC_S);
    return WindowMalloc(pMsg);
}

int32_t Pciv_SlaveINIT_OSD_MALLOC(PCIV_MSG_S* pMsg, PcivCmdContext* pCtx) {
    pCtx->u32ReplyLen = sizeof(SLAVE_PCIV_MALLOC_S);
    int32_t s32Ret = WindowMalloc(pMsg);
    if (s32Ret != 0) APP_DBG(kSrc, "MK_MPI_PCIV_Malloc failed 0x%#x", s32Ret);
    std::memcpy(&State().stKeptMsg, pMsg, sizeof(PCIV_MSG_S));
    return 0;
}

int32_t Pciv_SlaveINIT_OSD_MALLOCGet(PCIV_MSG_S* pMsg, PcivCmdContext* pCtx) {
    std::memcpy(pMsg, &State().stKeptMsg, sizeof(PCIV_MSG_S));
    pCtx->u32ReplyLen = sizeof(SLAVE_PCIV_MALLOC_S);
    return 0;
}

// Commands 16 and 58. The master's buffer address becomes local with the window base. A repeated
// command stops the slot's earlier receiver and its thread first.
int32_t StartReceiver(PCIV_MSG_S* pMsg, PCIV_TRANS_CHN_S* pSlot, int (*pfnStart)(PCIV_TRANS_CHN_S*)) {
    PCIV_TRANS_PARAM_S stParam = *Payload<PCIV_TRANS_PARAM_S>(pMsg);
    stParam.u32BufAddr += PcivGetWindowBase();
    std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
    SlaveStopReceiver(pSlot);
    PCIV_TRANS_RECEIVER_S* pRecv = nullptr;
    int s32Ret = PCIV_Trans_InitReceiver(&stParam, &pRecv);
    if (s32Ret != 0) return s32Ret;
    pSlot->pTrans = pRecv;
    pSlot->s32Running = 1;
    if (pfnStart != nullptr) s32Ret = pfnStart(pSlot);
    return s32Ret;
}

int32_t CmdStartVdecStream(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    uint32_t u32Chn = pMsg->au32Payload[6];
    uint32_t u32Index = u32Chn - SlaveGetSysCfg().u32FirstDecChn;
    PCIV_TRANS_CHN_S* pSlot = PcivGetChnTrans(static_cast<int>(u32Index));
    if (u32Index >= PCIV_VDEC_SLOT_NUM || pSlot == nullptr) {
        APP_ERR(kSrc, "decoder channel %u has no stream slot\n", u32Chn);
        return -1;
    }
    int32_t s32Ret = StartReceiver(pMsg, pSlot, nullptr);
    if (s32Ret == 0) {
        pSlot->u32Arg = u32Chn;
        if (State().stHooks.pfnStartVdecStream) s32Ret = State().stHooks.pfnStartVdecStream(pSlot);
    }
    if (s32Ret != 0)
        std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", s32Ret,
                    "SlaveStartVdecStream", __LINE__);
    return s32Ret;
}

int32_t CmdStartOsdBuffer(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    int32_t s32Ret = StartReceiver(pMsg, PcivGetOsdTrans(), State().stHooks.pfnStartOsdBuffer);
    if (s32Ret != 0)
        std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", s32Ret, "SlaveStartOsdBuffer",
                    __LINE__);
    return s32Ret;
}

int32_t Pciv_SlaveInitWinVb(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    MK_S32 s32Ret = MK_MPI_PCIV_WinVbDestroy();
    if (s32Ret == 0) s32Ret = MK_MPI_PCIV_WinVbCreate(Payload<PCIV_WINVBCFG_S>(pMsg));
    if (s32Ret != 0) PCIV_SAMPLE_ERR(s32Ret);
    return s32Ret;
}

int32_t CmdPlayParams(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    uint32_t u32Rec = pMsg->au32Payload[4];
    if (u32Rec >= PLAY_CHN_REC_NUM) {
        APP_ERR(kSrc, "playback record index %u out of range\n", u32Rec);
        return -1;
    }
    if (State().stHooks.pfnSetPlayParams == nullptr) {
        APP_ERR(kSrc, "playback table unavailable\n");
        return -1;
    }
    return State().stHooks.pfnSetPlayParams(reinterpret_cast<const uint8_t*>(pMsg->au32Payload));
}

void OpenPort(uint32_t port) {
    PCIV_OpenMsgPort(0, static_cast<int>(port));
}

int32_t CmdPortMap(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    const SLAVE_PORT_MAP_S stMap = *Payload<SLAVE_PORT_MAP_S>(pMsg);
    PcivGetVencTrans()->u32NoticePort = stMap.u32VencNotice;
    PcivGetVencTrans()->u32AckPort = stMap.u32VencAck;
    PcivGetJpegTrans()->u32NoticePort = stMap.u32JpegNotice;
    PcivGetJpegTrans()->u32AckPort = stMap.u32JpegAck;
    for (int i = 0; i < PCIV_VDEC_SLOT_NUM; ++i) {
        PcivGetChnTrans(i)->u32NoticePort = stMap.au32VdecNotice[i];
        PcivGetChnTrans(i)->u32AckPort = stMap.au32VdecAck[i];
    }
    PcivGetOsdTrans()->u32NoticePort = stMap.u32TitlePort;
    PcivGetOsdTrans()->u32AckPort = stMap.u32OsdAck;
    // The ports open before the threads that use them are told about them.
    OpenPort(stMap.u32VencNotice);
    OpenPort(stMap.u32VencAck);
    OpenPort(stMap.u32JpegNotice);
    OpenPort(stMap.u32JpegAck);
    for (int i = 0; i < PCIV_VDEC_SLOT_NUM; ++i) {
        OpenPort(stMap.au32VdecNotice[i]);
        OpenPort(stMap.au32VdecAck[i]);
    }
    OpenPort(stMap.u32TimePort);
    OpenPort(stMap.u32HeartbeatPort);
    OpenPort(stMap.u32TitlePort);
    OpenPort(stMap.u32OsdAck);
    PCIV_SetTitlePort(stMap.u32TitlePort);
    SlaveSetTimePort(stMap.u32TimePort);
    SlaveSetHeartbeatPort(stMap.u32HeartbeatPort);
    return 0;
}

int32_t SlaveSysParamsInit(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    const SlaveCmdHooks& hk = State().stHooks;
    const auto* pParam = Payload<SLAVE_SYS_PARAM_S>(pMsg);
    SlaveStoreSysParam(pParam);
    PcivGetVencTrans()->u32Arg = SlaveGetSysCfg().u32DoubleEnd;
    if (hk.pfnSetHvrCap) hk.pfnSetHvrCap(pParam->au8HvrCap);
    if (hk.pfnSampleSysInit) hk.pfnSampleSysInit();
    PCIV_BASEWINDOW_S stBase = {};
    stBase.s32ChipId = 0;
    MK_S32 s32Ret = MK_MPI_PCIV_GetBaseWindow(0, &stBase);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_PCIV_GetBaseWindow error:0x%x\n", s32Ret);
    } else {
        PcivSetWindowBase(stBase.u32PfAHBAddr);
        if (hk.pfnInitVpssChnMap) hk.pfnInitVpssChnMap();
        if (hk.pfnHwSplitDevInit) hk.pfnHwSplitDevInit();
    }
    return hk.pfnSplitCreate ? hk.pfnSplitCreate() : 0;
}

// The source of a picture channel by its kind; false for a kind the channel cannot take.
bool PcivSource(uint32_t u32Kind, uint32_t u32Dev, uint32_t u32Chn, MPP_CHN_S* pSrc) {
    static const MPP_MOD_ID kMods[] = {MK_ID_VIU, MK_ID_VOU, MK_ID_VDEC, MK_ID_VPSS};
    if (u32Kind >= sizeof(kMods) / sizeof(kMods[0])) {
        APP_ERR(kSrc, "invalid source kind %u\n", u32Kind);
        return false;
    }
    pSrc->enModId = kMods[u32Kind];
    // A decoder is named by its channel, carried in the device word.
    pSrc->s32DevId = u32Kind == 2 ? 0 : static_cast<MK_S32>(u32Dev);
    pSrc->s32ChnId = static_cast<MK_S32>(u32Kind == 2 ? u32Dev : u32Chn);
    return true;
}

int32_t CmdStartPciv(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return SlaveStartPciv(pMsg);
}
int32_t CmdStopPciv(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return SlaveStopPciv(pMsg);
}

int32_t CmdSaveVstd(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return GraphicsSaveVstd(0, pMsg->au32Payload[1]);
}

int32_t CmdSetResolution(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return GraphicsSetResolution(pMsg->au32Payload);
}

}  // namespace

void SlaveSetCmdHooks(const SlaveCmdHooks* pHooks) {
    State().stHooks = pHooks ? *pHooks : SlaveCmdHooks{};
}

uint32_t PcivGetWindowBase() {
    return State().u32WindowBase.load();
}
void PcivSetWindowBase(uint32_t u32Base) {
    State().u32WindowBase = u32Base;
}

void SlaveStopSender(PCIV_TRANS_CHN_S* pSlot) {
    pSlot->s32Running = 0;
    auto* pOld = static_cast<PCIV_TRANS_SENDER_S*>(pSlot->pTrans.exchange(nullptr));
    if (pOld != nullptr) PCIV_Trans_DeInitSender(pOld);
}

void SlaveStopReceiver(PCIV_TRANS_CHN_S* pSlot) {
    pSlot->s32Running = 0;
    if (pSlot->bThreadValid) {
        pthread_join(pSlot->thread, nullptr);
        pSlot->bThreadValid = false;
    }
    auto* pOld = static_cast<PCIV_TRANS_RECEIVER_S*>(pSlot->pTrans.exchange(nullptr));
    if (pOld != nullptr) PCIV_Trans_DeInitReceiver(pOld);
}

int32_t SlaveStartPciv(PCIV_MSG_S* pMsg) {
    const auto* pReq = Payload<SLAVE_PCIV_START_S>(pMsg);
    MPP_CHN_S stSrc;
    if (!PcivSource(pReq->u32SrcKind, pReq->u32SrcDev, pReq->u32SrcChn, &stSrc)) return -1;
    MK_S32 s32Chn = static_cast<MK_S32>(pReq->u32PcivChn);
    MPP_CHN_S stDst = {MK_ID_PCIV, 0, s32Chn};
    PCIV_ATTR_S stAttr;
    static_assert(sizeof(stAttr) == sizeof(pReq->au32Attr));
    std::memcpy(&stAttr, pReq->au32Attr, sizeof(stAttr));
    MK_S32 s32Ret = MK_MPI_PCIV_Create(s32Chn, &stAttr);
    if (s32Ret == 0) s32Ret = MK_MPI_SYS_Bind(&stSrc, &stDst);
    if (s32Ret == 0) s32Ret = MK_MPI_PCIV_Start(s32Chn);
    if (s32Ret != 0) PCIV_SAMPLE_ERR(s32Ret);
    return s32Ret;
}

int32_t SlaveStopPciv(PCIV_MSG_S* pMsg) {
    const auto* pReq = Payload<SLAVE_PCIV_STOP_S>(pMsg);
    MPP_CHN_S stSrc;
    if (!PcivSource(pReq->u32SrcKind, pReq->u32SrcDev, pReq->u32SrcChn, &stSrc)) return -1;
    MK_S32 s32Chn = static_cast<MK_S32>(pReq->u32PcivChn);
    MPP_CHN_S stDst = {MK_ID_PCIV, 0, s32Chn};
    MK_S32 s32Ret = MK_MPI_PCIV_Stop(s32Chn);
    if (s32Ret == 0) {
        s32Ret = MK_MPI_SYS_UnBind(&stSrc, &stDst);
        if (s32Ret == 0) {
            std::printf("src mod:%d dev:%d chn:%d dest mod:%d dev:%d chn:%d\n", stSrc.enModId, stSrc.s32DevId,
                        stSrc.s32ChnId, stDst.enModId, stDst.s32DevId, stDst.s32ChnId);
        }
    }
    if (s32Ret == 0) {
        s32Ret = MK_MPI_PCIV_Destroy(s32Chn);
        if (s32Ret == 0) std::printf("pciv chn %d destroy ok \n", s32Chn);
    }
    if (s32Ret != 0) PCIV_SAMPLE_ERR(s32Ret);
    return s32Ret;
}

int SlaveCloseMsgPorts() {
    PCIV_CloseMsgPort(0, static_cast<int>(PcivGetVencTrans()->u32NoticePort.load()));
    PCIV_CloseMsgPort(0, static_cast<int>(PcivGetVencTrans()->u32AckPort.load()));
    PCIV_CloseMsgPort(0, static_cast<int>(SlaveGetTimePort()));
    return 0;
}

void SlaveRegisterCmdHandlers() {
    PCIV_RegisterCmdHandler(0, CmdStartPciv);
    PCIV_RegisterCmdHandler(1, CmdStopPciv);
    PCIV_RegisterCmdHandler(10, CmdStartVenc);
    PCIV_RegisterCmdHandler(11, CmdStartJpeg);
    PCIV_RegisterCmdHandler(14, CmdSlaveMalloc);
    PCIV_RegisterCmdHandler(16, CmdStartVdecStream);
    PCIV_RegisterCmdHandler(19, Pciv_SlaveInitWinVb);
    PCIV_RegisterCmdHandler(24, CmdSaveVstd);
    PCIV_RegisterCmdHandler(25, CmdSetResolution);
    PCIV_RegisterCmdHandler(57, Pciv_SlaveINIT_OSD_MALLOC);
    PCIV_RegisterCmdHandler(58, CmdStartOsdBuffer);
    PCIV_RegisterCmdHandler(59, Pciv_SlaveINIT_OSD_MALLOCGet);
    PCIV_RegisterCmdHandler(61, CmdSetResolution);
    PCIV_RegisterCmdHandler(64, CmdPlayParams);
    PCIV_RegisterCmdHandler(86, CmdPortMap);
    PCIV_RegisterCmdHandler(96, SlaveSysParamsInit);
}
