#include "app/pci/pciv_slave.h"

#include <atomic>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_title_port.h"
#include "app/pci/pciv_trans.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/sys/mpi_sys.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_slave.c";

struct SlaveHooks {
    std::atomic<SlaveSetHvrCapFn> pfnSetHvrCap{nullptr};
    std::atomic<SlaveSysStepFn> pfnSampleSysInit{nullptr};
    std::atomic<SlaveSysStepFn> pfnInitVpssChnMap{nullptr};
    std::atomic<SlaveSysStepFn> pfnHwSplitDevInit{nullptr};
    std::atomic<SlaveSysStepFn> pfnSplitCreate{nullptr};
    std::atomic<SlaveSlotThreadFn> pfnVdecStreamThread{nullptr};
    std::atomic<SlaveSlotPrepareFn> pfnVdecStreamPrepare{nullptr};
    std::atomic<SlaveSlotFreeFn> pfnVdecStreamFree{nullptr};
    std::atomic<SlaveSlotThreadFn> pfnOsdBufferThread{nullptr};
    std::atomic<SlaveSlotPrepareFn> pfnOsdBufferPrepare{nullptr};
    std::atomic<SlaveSlotFreeFn> pfnOsdBufferFree{nullptr};
    std::atomic<SlavePlayParamsFn> pfnSetPlayParams{nullptr};
};

struct SlaveState {
    std::atomic<uint32_t> u32WindowBase{0};
    PCIV_MSG_S stKeptMsg{};  // command 57's message, read back by command 59
    SlaveHooks stHooks;
};

SlaveState& State() {
    static auto* s = new SlaveState;
    return *s;
}

SlaveHooks& Hooks() {
    return State().stHooks;
}

template <typename T>
T* Payload(PCIV_MSG_S* pMsg) {
    static_assert(sizeof(T) <= PCIV_MSG_MAXLEN);
    return reinterpret_cast<T*>(pMsg->au32Payload);
}

void PrintSampleErr(int32_t s32Ret, const char* pszFunc, int line) {
    std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", static_cast<unsigned>(s32Ret), pszFunc,
                line);
}

void PrintMissing(const char* pszFunc, const char* pszHook) {
    APP_ERR_IN(kSrc, pszFunc, "%s is not available on this slave\n", pszHook);
}

PCIV_TRANS_CHN_S* const* Slots(size_t* pCount) {
    static PCIV_TRANS_CHN_S* const kSlots[] = {
        PcivGetVencTrans(),  PcivGetJpegTrans(),  PcivGetChnTrans(0), PcivGetChnTrans(1),
        PcivGetChnTrans(2),  PcivGetChnTrans(3),  PcivGetChnTrans(4), PcivGetChnTrans(5),
        PcivGetChnTrans(6),  PcivGetChnTrans(7),  PcivGetOsdTrans(),
    };
    *pCount = sizeof(kSlots) / sizeof(kSlots[0]);
    return kSlots;
}

// A port this side would read that another reader already reads (the time listener, the title-port
// reader, another running slot): the two would take each other's messages.
const char* ReadPortTaken(uint32_t u32Port, const PCIV_TRANS_CHN_S* pSelf) {
    if (u32Port == SlaveGetTimePort()) return "the time-set port";
    if (u32Port == PCIV_GetTitlePort()) return "the title port";
    size_t n = 0;
    PCIV_TRANS_CHN_S* const* slots = Slots(&n);
    for (size_t i = 0; i < n; ++i) {
        if (slots[i] != pSelf && slots[i]->u32ReadPort.load() == u32Port) return "another stream";
    }
    return nullptr;
}

// The stream ports of commands 10, 11, 16 and 58: ports the port map opened (never the command port),
// and, for the one this side reads, a port no other reader has. `bTitleOk`: a receiver may take its
// notices from the title port, through the title-port reader.
bool StreamPortsValid(const char* pszFunc, const PCIV_TRANS_PARAM_S* pParam, bool bSender,
                      const PCIV_TRANS_CHN_S* pSlot) {
    for (uint32_t u32Port : {pParam->u32NoticePort, pParam->u32AckPort}) {
        if (u32Port == PCIV_MSGPORT_COMM || u32Port < PCIV_MSGPORT_MIN || u32Port > PCIV_MSGPORT_MAX ||
            PCIV_PortFd(0, static_cast<int>(u32Port)) < 0) {
            APP_ERR_IN(kSrc, pszFunc, "port %u was not opened by the port map\n", u32Port);
            return false;
        }
    }
    uint32_t u32Read = bSender ? pParam->u32AckPort : pParam->u32NoticePort;
    const char* pszTaken = ReadPortTaken(u32Read, pSlot);
    if (pszTaken != nullptr && !(!bSender && u32Read == PCIV_GetTitlePort())) {
        APP_ERR_IN(kSrc, pszFunc, "port %u is read already as %s\n", u32Read, pszTaken);
        return false;
    }
    return true;
}

// Commands 10 and 11. The sender always targets the master. The new sender is made, or found that it
// can be made, before the earlier one stops, so a refused command leaves that one as it was; the new
// one reads its acknowledgement port only once the earlier one has stopped, so one port never has two
// readers and nothing queued for the earlier one reaches the new.
int32_t StartSender(PCIV_MSG_S* pMsg, PCIV_TRANS_CHN_S* pSlot, const char* pszFunc) {
    auto* pParam = Payload<PCIV_TRANS_PARAM_S>(pMsg);
    pParam->u32Target = 0;
    int32_t s32Ret = -1;
    PCIV_TRANS_SENDER_S* pSender = nullptr;
    if (StreamPortsValid(pszFunc, pParam, true, pSlot)) {
        // Only the command loop changes a sender's buffer: read here without the slot's lock.
        const auto* pOld = static_cast<const PCIV_TRANS_SENDER_S*>(pSlot->pTrans.load());
        const bool bOldServes = pParam->u32BufSize != 0 && pOld != nullptr && PCIV_Trans_HasLocBuf(pOld) &&
                                pOld->u32LocSize >= pParam->u32BufSize;
        s32Ret = PCIV_Trans_MakeSender(pParam, &pSender, bOldServes);
        if (s32Ret != 0 && bOldServes) {
            // The pools hold no second block that large: the earlier sender's own serves once it stops.
            SlaveStopSender(pSlot);
            s32Ret = PCIV_Trans_MakeSender(pParam, &pSender);
        }
    }
    if (s32Ret == 0) {
        SlaveStopSender(pSlot);
        PCIV_Trans_StartSender(pSender);
        {
            std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
            pSlot->pTrans = pSender;
        }
        pSlot->u32ReadPort = pParam->u32AckPort;
        pSlot->s32Running = 1;
    }
    if (s32Ret != 0) PrintSampleErr(s32Ret, pszFunc, __LINE__);
    return s32Ret;
}

int32_t CmdStartVenc(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return StartSender(pMsg, PcivGetVencTrans(), "SlaveStartVenc");
}

int32_t CmdStartJpeg(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    return StartSender(pMsg, PcivGetJpegTrans(), "SlaveStartJpeg");
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

// Commands 16 and 58. The master's buffer address becomes local with the window base. Nothing is set
// up while no module serves the slot, or for a target other than the master or ports the port map did
// not open. Everything the new receiver needs is made before the slot's earlier receiver and its thread
// stop, so a refused command leaves them as they were. What is queued on the notice port then was sent
// for the receiver replaced (or for none): the new one takes none of it.
struct SlotThread {
    SlaveSlotThreadFn pfnThread;
    SlaveSlotPrepareFn pfnPrepare;
    SlaveSlotFreeFn pfnFree;
};

int32_t StartReceiver(PCIV_MSG_S* pMsg, PCIV_TRANS_CHN_S* pSlot, const SlotThread& st, const char* pszFunc,
                      const char* pszThread) {
    SlaveSlotThreadFn pfnThread = st.pfnThread;
    if (pfnThread == nullptr) {
        PrintMissing(pszFunc, pszThread);
        return -1;
    }
    PCIV_TRANS_PARAM_S stParam = *Payload<PCIV_TRANS_PARAM_S>(pMsg);
    if (stParam.u32Target != 0) {
        APP_ERR_IN(kSrc, pszFunc, "target %u is not the master\n", stParam.u32Target);
        return -1;
    }
    if (!StreamPortsValid(pszFunc, &stParam, false, pSlot)) return -1;
    stParam.u32BufAddr += PcivGetWindowBase();
    PCIV_TRANS_RECEIVER_S* pRecv = nullptr;
    if (PCIV_Trans_MapReceiver(&stParam, &pRecv) != 0) return -1;
    void* pData = nullptr;
    if (st.pfnPrepare != nullptr && (pData = st.pfnPrepare(pSlot)) == nullptr) {
        APP_ERR_IN(kSrc, pszFunc, "the stream's buffers cannot be had\n");
        PCIV_Trans_DeInitReceiver(pRecv);
        return -1;
    }
    // The title port has one reader; a receiver that takes its notices there gets them from it. The
    // claim passes from the slot's earlier receiver, if it held it.
    if (stParam.u32NoticePort == PCIV_GetTitlePort()) {
        const auto* pOld = static_cast<const PCIV_TRANS_RECEIVER_S*>(pSlot->pTrans.load());
        pRecv->pNoticeQueue = new PcivMsgQueue("osd notice");
        if (!PCIV_TitlePortClaim(PCIV_MSGTYPE_NOTIFY, pRecv->pNoticeQueue,
                                 pOld != nullptr ? pOld->pNoticeQueue : nullptr)) {
            APP_ERR_IN(kSrc, pszFunc, "notices on port %u are read already by another stream\n",
                       stParam.u32NoticePort);
            delete pRecv->pNoticeQueue;
            PCIV_Trans_DeInitReceiver(pRecv);
            if (pData != nullptr && st.pfnFree != nullptr) st.pfnFree(pData);
            return -1;
        }
    }
    SlaveStopReceiver(pSlot);
    if (pRecv->pNoticeQueue != nullptr) {
        PCIV_TitlePortStart();
    } else if (const int n = PCIV_DrainMsgPort(0, static_cast<int>(stParam.u32NoticePort))) {
        APP_ERR_IN(kSrc, pszFunc, "%d message(s) queued on port %u before the receiver started: dropped\n", n,
                   stParam.u32NoticePort);
    }
    PCIV_Trans_MarkReceiver(pRecv);
    pRecv->pStop = &pSlot->stop;
    pSlot->stop.Reset();
    {
        std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
        pSlot->pTrans = pRecv;
    }
    pSlot->u32ReadPort = stParam.u32NoticePort;
    // A decoder slot serves the channel of word 6; the OSD slot has no channel.
    if (pSlot != PcivGetOsdTrans()) pSlot->u32Arg = pMsg->au32Payload[6];
    if (pData != nullptr) {
        pSlot->pfnThreadDataFree = st.pfnFree;
        pSlot->pThreadData = pData;
    }
    pSlot->s32Running = 1;
    pSlot->bThreadValid = pthread_create(&pSlot->thread, nullptr, pfnThread, pSlot) == 0;
    if (!pSlot->bThreadValid) {
        SlaveStopReceiver(pSlot);
        return -1;
    }
    return 0;
}

int32_t CmdStartVdecStream(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    uint32_t u32Chn = pMsg->au32Payload[6];
    uint32_t u32Index = u32Chn - SlaveGetSysCfg().u32FirstDecChn;
    PCIV_TRANS_CHN_S* pSlot = PcivGetChnTrans(static_cast<int>(u32Index));
    int32_t s32Ret = -1;
    if (u32Index >= PCIV_VDEC_SLOT_NUM || pSlot == nullptr) {
        APP_ERR_IN(kSrc, "SlaveStartVdecStream", "decoder channel %u has no stream slot\n", u32Chn);
    } else {
        SlaveHooks& hk = Hooks();
        s32Ret = StartReceiver(pMsg, pSlot,
                               {hk.pfnVdecStreamThread.load(), hk.pfnVdecStreamPrepare.load(), hk.pfnVdecStreamFree.load()},
                               "SlaveStartVdecStream", "SlaveVdecStreamThread");
    }
    if (s32Ret != 0) PrintSampleErr(s32Ret, "SlaveStartVdecStream", __LINE__);
    return s32Ret;
}

int32_t CmdStartOsdBuffer(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    SlaveHooks& hk = Hooks();
    int32_t s32Ret = StartReceiver(pMsg, PcivGetOsdTrans(),
                                   {hk.pfnOsdBufferThread.load(), hk.pfnOsdBufferPrepare.load(), hk.pfnOsdBufferFree.load()},
                                   "SlaveStartOsdBuffer", "SlaveOsdBufferThread");
    if (s32Ret != 0) PrintSampleErr(s32Ret, "SlaveStartOsdBuffer", __LINE__);
    return s32Ret;
}

int32_t Pciv_SlaveInitWinVb(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    MK_S32 s32Ret = MK_MPI_PCIV_WinVbDestroy();
    if (s32Ret == 0) s32Ret = MK_MPI_PCIV_WinVbCreate(Payload<PCIV_WINVBCFG_S>(pMsg));
    if (s32Ret != 0) PCIV_SAMPLE_ERR(s32Ret);
    return s32Ret;
}

int32_t CmdPlayParams(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    // The buffer is not cleared between commands: a short message would copy an earlier one's bytes.
    if (pMsg->stMsgHead.u32MsgLen < PLAY_PARAMS_LEN) {
        APP_ERR(kSrc, "playback parameters of %u bytes, %u expected\n", pMsg->stMsgHead.u32MsgLen, PLAY_PARAMS_LEN);
        return -1;
    }
    uint32_t u32Rec = pMsg->au32Payload[4];
    if (u32Rec >= PLAY_CHN_REC_NUM) {
        APP_ERR(kSrc, "playback record index %u out of range\n", u32Rec);
        return -1;
    }
    SlavePlayParamsFn pfn = Hooks().pfnSetPlayParams.load();
    if (pfn == nullptr) {
        PrintMissing("CmdPlayParams", "the playback table");
        return -1;
    }
    return pfn(reinterpret_cast<const uint8_t*>(pMsg->au32Payload));
}

// A port that an earlier map opened is found open ("have open!") and stays as it is.
void OpenPort(uint32_t port) {
    PCIV_OpenMsgPort(0, static_cast<int>(port));
}

// The role of each port-map word, for the lines that refuse one.
const char* PortRole(int i, char* buf, size_t len) {
    static const char* const kFixed[] = {"encoded-video notice", "encoded-video acknowledgement", "JPEG notice",
                                         "JPEG acknowledgement"};
    if (i < 4) return kFixed[i];
    if (i < 12) {
        std::snprintf(buf, len, "decoder slot %d notice", i - 4);
        return buf;
    }
    if (i < 20) {
        std::snprintf(buf, len, "decoder slot %d acknowledgement", i - 12);
        return buf;
    }
    static const char* const kLast[] = {"time-set", "heartbeat", "title", "OSD acknowledgement"};
    return kLast[i - 20];
}

// The ports every role has now, in map order.
void CurrentPorts(uint32_t* au32Port) {
    au32Port[0] = PcivGetVencTrans()->u32NoticePort;
    au32Port[1] = PcivGetVencTrans()->u32AckPort;
    au32Port[2] = PcivGetJpegTrans()->u32NoticePort;
    au32Port[3] = PcivGetJpegTrans()->u32AckPort;
    for (int i = 0; i < PCIV_VDEC_SLOT_NUM; ++i) {
        au32Port[4 + i] = PcivGetChnTrans(i)->u32NoticePort;
        au32Port[12 + i] = PcivGetChnTrans(i)->u32AckPort;
    }
    au32Port[20] = SlaveGetTimePort();
    au32Port[21] = SlaveGetHeartbeatPort();
    au32Port[22] = PCIV_GetTitlePort();
    au32Port[23] = PcivGetOsdTrans()->u32AckPort;
}

// Why a listener's port (time-set, title) cannot be taken: a running stream reads it.
bool ReadByStream(int i, uint32_t u32Port) {
    if (i != 20 && i != 22) return false;
    size_t n = 0;
    PCIV_TRANS_CHN_S* const* slots = Slots(&n);
    for (size_t k = 0; k < n; ++k) {
        if (slots[k]->u32ReadPort.load() == u32Port && !(i == 22 && slots[k] == PcivGetOsdTrans())) return true;
    }
    return false;
}

int32_t CmdPortMap(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    uint32_t au32Word[PCIV_PORTMAP_WORDS], au32Port[PCIV_PORTMAP_WORDS];
    static_assert(sizeof(au32Word) == sizeof(SLAVE_PORT_MAP_S));
    std::memcpy(au32Word, pMsg->au32Payload, sizeof(au32Word));
    CurrentPorts(au32Port);
    // Each word on its own: a port that is no message port, the command port, one an earlier word of
    // this map took, or (for the listeners) one a running stream reads is refused with a line, and that
    // role keeps the port it had.
    bool abTaken[PCIV_PORTMAP_WORDS] = {};
    int32_t s32Ret = 0;
    for (int i = 0; i < PCIV_PORTMAP_WORDS; ++i) {
        const uint32_t w = au32Word[i];
        const char* pszWhy = nullptr;
        if (w == PCIV_MSGPORT_COMM) {
            pszWhy = "the command port";
        } else if (w <= PCIV_MSGPORT_COMM || w > PCIV_MSGPORT_MAX) {
            pszWhy = "no message port";
        } else if (ReadByStream(i, w)) {
            pszWhy = "read by a running stream";
        }
        for (int j = 0; j < i && pszWhy == nullptr; ++j) {
            if (abTaken[j] && au32Word[j] == w) pszWhy = "named for another role already";
        }
        if (pszWhy != nullptr) {
            char buf[40];
            APP_ERR_IN(kSrc, "SlavePortMap", "%s port %u refused (%s): it keeps port %u\n", PortRole(i, buf, sizeof(buf)),
                       w, pszWhy, au32Port[i]);
            s32Ret = -1;
            continue;
        }
        abTaken[i] = true;
    }
    // A role that kept its port loses it when this map gives that port to another role.
    for (int i = 0; i < PCIV_PORTMAP_WORDS; ++i) {
        if (abTaken[i]) continue;
        for (int j = 0; j < PCIV_PORTMAP_WORDS; ++j) {
            if (abTaken[j] && au32Word[j] == au32Port[i]) au32Port[i] = 0;
        }
    }
    for (int i = 0; i < PCIV_PORTMAP_WORDS; ++i) {
        if (abTaken[i]) au32Port[i] = au32Word[i];
    }
    PcivGetVencTrans()->u32NoticePort = au32Port[0];
    PcivGetVencTrans()->u32AckPort = au32Port[1];
    PcivGetJpegTrans()->u32NoticePort = au32Port[2];
    PcivGetJpegTrans()->u32AckPort = au32Port[3];
    for (int i = 0; i < PCIV_VDEC_SLOT_NUM; ++i) {
        PcivGetChnTrans(i)->u32NoticePort = au32Port[4 + i];
        PcivGetChnTrans(i)->u32AckPort = au32Port[12 + i];
    }
    PcivGetOsdTrans()->u32NoticePort = au32Port[22];
    PcivGetOsdTrans()->u32AckPort = au32Port[23];
    // The ports open (in map order) before the threads that use them are told about them; a port an
    // earlier map opened is found open ("have open!") and stays as it is.
    for (int i = 0; i < PCIV_PORTMAP_WORDS; ++i) {
        if (abTaken[i]) OpenPort(au32Port[i]);
    }
    PCIV_SetTitlePort(au32Port[22]);
    SlaveSetTimePort(au32Port[20]);
    SlaveSetHeartbeatPort(au32Port[21]);
    return s32Ret;
}

// Runs one step of command 96, or says that no module carries it out.
int32_t SysStep(const std::atomic<SlaveSysStepFn>& hook, const char* pszName) {
    SlaveSysStepFn pfn = hook.load();
    if (pfn == nullptr) {
        PrintMissing("SlaveSysParamsInit", pszName);
        return -1;
    }
    return pfn();
}

int32_t SlaveSysParamsInit(PCIV_MSG_S* pMsg, PcivCmdContext*) {
    // The buffer past a short payload holds nothing of it: taken as the record, its words would set
    // the whole media system up again from nothing, and 96 has no reply to say why.
    if (pMsg->stMsgHead.u32MsgLen < sizeof(SLAVE_SYS_PARAM_S)) {
        APP_ERR(kSrc, "system parameters of %u bytes, %zu needed: nothing is set up\n", pMsg->stMsgHead.u32MsgLen,
                sizeof(SLAVE_SYS_PARAM_S));
        return -1;
    }
    SlaveHooks& hk = Hooks();
    const auto* pParam = Payload<SLAVE_SYS_PARAM_S>(pMsg);
    SlaveStoreSysParam(pParam);
    PcivGetVencTrans()->u32Arg = SlaveGetSysCfg().u32DoubleEnd;
    if (SlaveSetHvrCapFn pfnCap = hk.pfnSetHvrCap.load()) {
        pfnCap(&pParam->stHvrCap);
    } else {
        PrintMissing("SlaveSysParamsInit", "Comm_SetHvrCap");
    }
    SysStep(hk.pfnSampleSysInit, "SampleSysInit");
    PCIV_BASEWINDOW_S stBase = {};
    stBase.s32ChipId = 0;
    MK_S32 s32Ret = MK_MPI_PCIV_GetBaseWindow(0, &stBase);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_PCIV_GetBaseWindow error:0x%x\n", s32Ret);
    } else {
        PcivSetWindowBase(stBase.u32PfAHBAddr);
        SysStep(hk.pfnInitVpssChnMap, "Comm_InitVpssChnMap");
        SysStep(hk.pfnHwSplitDevInit, "HwSplitDevInit");
    }
    return SysStep(hk.pfnSplitCreate, "SplitCreate");
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

// Whether `named` is the source a binding holds as `bound`: the binding keeps no device of an input
// or a decoder and no channel of an output.
bool PcivNamesBoundSource(const MPP_CHN_S& named, const MPP_CHN_S& bound) {
    const bool anyDev = named.enModId == MK_ID_VIU || named.enModId == MK_ID_VDEC;
    const bool anyChn = named.enModId == MK_ID_VOU;
    return named.enModId == bound.enModId && (anyDev || named.s32DevId == bound.s32DevId) &&
           (anyChn || named.s32ChnId == bound.s32ChnId);
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

void SlaveSetHvrCapHook(SlaveSetHvrCapFn pfn) {
    Hooks().pfnSetHvrCap = pfn;
}
void SlaveSetSampleSysInitHook(SlaveSysStepFn pfn) {
    Hooks().pfnSampleSysInit = pfn;
}
void SlaveSetInitVpssChnMapHook(SlaveSysStepFn pfn) {
    Hooks().pfnInitVpssChnMap = pfn;
}
void SlaveSetHwSplitDevInitHook(SlaveSysStepFn pfn) {
    Hooks().pfnHwSplitDevInit = pfn;
}
void SlaveSetSplitCreateHook(SlaveSysStepFn pfn) {
    Hooks().pfnSplitCreate = pfn;
}
void SlaveSetVdecStreamThread(SlaveSlotThreadFn pfn, SlaveSlotPrepareFn pfnPrepare, SlaveSlotFreeFn pfnFree) {
    Hooks().pfnVdecStreamPrepare = pfnPrepare;
    Hooks().pfnVdecStreamFree = pfnFree;
    Hooks().pfnVdecStreamThread = pfn;
}
void SlaveSetOsdBufferThread(SlaveSlotThreadFn pfn, SlaveSlotPrepareFn pfnPrepare, SlaveSlotFreeFn pfnFree) {
    Hooks().pfnOsdBufferPrepare = pfnPrepare;
    Hooks().pfnOsdBufferFree = pfnFree;
    Hooks().pfnOsdBufferThread = pfn;
}
void SlaveSetPlayParamsHook(SlavePlayParamsFn pfn) {
    Hooks().pfnSetPlayParams = pfn;
}

void SlaveClearHooks() {
    SlaveSetHvrCapHook(nullptr);
    SlaveSetSampleSysInitHook(nullptr);
    SlaveSetInitVpssChnMapHook(nullptr);
    SlaveSetHwSplitDevInitHook(nullptr);
    SlaveSetSplitCreateHook(nullptr);
    SlaveSetVdecStreamThread(nullptr);
    SlaveSetOsdBufferThread(nullptr);
    SlaveSetPlayParamsHook(nullptr);
}

uint32_t PcivGetWindowBase() {
    return State().u32WindowBase.load();
}
void PcivSetWindowBase(uint32_t u32Base) {
    State().u32WindowBase = u32Base;
}

void SlaveStopSender(PCIV_TRANS_CHN_S* pSlot) {
    // The running flag first: a fetch thread retrying a full ring sees it and lets the lock go.
    pSlot->s32Running = 0;
    void* pOld = nullptr;
    {
        std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
        pOld = pSlot->pTrans.exchange(nullptr);
    }
    pSlot->u32ReadPort = 0;
    auto* pSender = static_cast<PCIV_TRANS_SENDER_S*>(pOld);
    if (pSender == nullptr) return;
    // What it held since its last send belongs to the ring it leaves: never sent into the next one.
    if (const uint32_t held = PCIV_Trans_HeldBytes(pSender)) SlaveDropHeld(pSlot, held);
    // Joins the acknowledgement thread; no lock is held meanwhile.
    PCIV_Trans_DeInitSender(pSender);
}

void SlaveDropHeld(PCIV_TRANS_CHN_S* pSlot, uint32_t u32Bytes) {
    pSlot->u64DroppedHeld += u32Bytes;
    APP_ERR_IN(kSrc, "SlaveStopSender", "the sender replaced held %u bytes since its last send: dropped\n", u32Bytes);
}

void SlaveStopReceiver(PCIV_TRANS_CHN_S* pSlot) {
    pSlot->s32Running = 0;
    pSlot->stop.Request();
    if (pSlot->bThreadValid) {
        pthread_join(pSlot->thread, nullptr);
        pSlot->bThreadValid = false;
    }
    void* pOld = nullptr;
    {
        std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
        pOld = pSlot->pTrans.exchange(nullptr);
    }
    pSlot->u32ReadPort = 0;
    if (void* pData = pSlot->pThreadData.exchange(nullptr)) {
        if (pSlot->pfnThreadDataFree != nullptr) pSlot->pfnThreadDataFree(pData);
    }
    pSlot->pfnThreadDataFree = nullptr;
    auto* pRecv = static_cast<PCIV_TRANS_RECEIVER_S*>(pOld);
    if (pRecv == nullptr) return;
    if (pRecv->pNoticeQueue != nullptr) {
        PCIV_TitlePortRelease(PCIV_MSGTYPE_NOTIFY, pRecv->pNoticeQueue);
        delete pRecv->pNoticeQueue;
    }
    PCIV_Trans_DeInitReceiver(pRecv);
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
    // The unbind refuses another source than the bound one: refused before the stop, the channel
    // goes on carrying its picture.
    MPP_CHN_S stBound{};
    if (MK_MPI_SYS_GetBindbyDest(&stDst, &stBound) == 0 && !PcivNamesBoundSource(stSrc, stBound)) {
        APP_ERR(kSrc, "pciv chn %d is bound to mod %d dev %d chn %d, not to the source named: left running\n",
                s32Chn, stBound.enModId, stBound.s32DevId, stBound.s32ChnId);
        const MK_S32 s32Refused = MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
        PCIV_SAMPLE_ERR(s32Refused);
        return s32Refused;
    }
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

namespace {

struct SenderSlot {
    PCIV_TRANS_CHN_S* pSlot;
    const char* pszName;
    int s32Cmd;  // the command that starts it
};

// The two sender slots, each with the sender it runs now under its lock held in `lock` (null when
// none runs).
template <typename Fn>
void ForEachSender(Fn fn) {
    const SenderSlot kSlots[] = {{PcivGetVencTrans(), "encoded-video", 10}, {PcivGetJpegTrans(), "JPEG", 11}};
    for (const SenderSlot& s : kSlots) {
        std::lock_guard<std::mutex> lock(s.pSlot->mtxTrans);
        auto* pSender = static_cast<PCIV_TRANS_SENDER_S*>(s.pSlot->pTrans.load());
        if (pSender != nullptr && s.pSlot->s32Running.load() != 0) fn(s, pSender);
    }
}

}  // namespace

void SlaveReleaseSenderBuffers() {
    ForEachSender([](const SenderSlot&, PCIV_TRANS_SENDER_S* pSender) { PCIV_Trans_ReleaseLocBuf(pSender); });
}

void SlaveTakeSenderBuffers() {
    ForEachSender([](const SenderSlot& s, PCIV_TRANS_SENDER_S* pSender) {
        if (PCIV_Trans_TakeLocBuf(pSender) != 0) {
            APP_ERR_IN(kSrc, "SlaveSysParamsInit",
                       "%s sender: no local buffer of %u bytes in the new pools: its frames are dropped until "
                       "command %d starts it again\n",
                       s.pszName, pSender->u32RemoteSize, s.s32Cmd);
        }
    });
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
    // A repeated command 96 destroys the pools the senders' buffers come from.
    CommSetReleaseSenderBuffersHook(SlaveReleaseSenderBuffers);
    CommSetTakeSenderBuffersHook(SlaveTakeSenderBuffers);
}
