#include "app/pci/pciv_trans.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/pci/pciv_title_port.h"
#include "platform/host/clock.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_trans.c";
constexpr MK_S32 kDmaBusy = static_cast<MK_S32>(0xA01A8012);
// How long the acknowledgement reader waits before looking at its running flag again (a teardown
// wakes it at once through the sender's stop).
constexpr int kAckPollMs = 1000;
// After a failed read (port closed, channel broken): back off instead of spinning.
constexpr int kReadRetryMs = 10;
// Refused acknowledgements are said the first time and then at most this often.
constexpr uint64_t kAckSayMs = 10000;

// A notice or acknowledgement carried in `msg`, or null when the message is too short for one.
const PCIV_TRANS_NOTICE_S* NoticeOf(const PCIV_MSG_S* pMsg) {
    if (pMsg->stMsgHead.u32MsgLen < sizeof(PCIV_TRANS_NOTICE_S)) return nullptr;
    return reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(pMsg->au32Payload);
}

}  // namespace

int Trans_RingOffset(uint32_t u32Size, uint32_t u32Read, uint32_t u32Write, uint32_t u32Len,
                     uint32_t* pu32Off) {
    if (static_cast<int32_t>(u32Len) > static_cast<int32_t>(u32Size) / 2) {
        APP_ERR_IN(kSrc, "Trans_GetWriteOffset", "#### ReadPos is 0x%x, WritePos is 0x%x, stream length is 0x%x, buffer length 0x%x.\n",
                u32Read, u32Write, u32Len, u32Size);
        return -1;
    }
    // 64-bit sums: a position near the top of the address range must not wrap into "fits".
    if (u32Read <= u32Write) {
        if (static_cast<uint64_t>(u32Write) + u32Len <= u32Size) {
            *pu32Off = u32Write;
            return 0;
        }
        if (u32Len < u32Read) {  // wrap: the tail after the write position is abandoned
            *pu32Off = 0;
            return 0;
        }
        return -1;
    }
    if (u32Read > static_cast<uint64_t>(u32Write) + u32Len) {
        *pu32Off = u32Write;
        return 0;
    }
    return -1;
}

int Trans_GetWriteOffset(PCIV_TRANS_SENDER_S* pSender, uint32_t u32Len, uint32_t* pu32Off) {
    return Trans_RingOffset(pSender->u32RemoteSize, pSender->u32ReadPos.load(), pSender->u32WritePos, u32Len,
                            pu32Off);
}

bool Trans_AckValid(const PCIV_MSG_S* pMsg, uint32_t u32RingSize) {
    const PCIV_TRANS_NOTICE_S* pAck = NoticeOf(pMsg);
    return pMsg->stMsgHead.u32MsgType == PCIV_MSGTYPE_FREE && pAck != nullptr &&
           pAck->u32Start <= pAck->u32End && pAck->u32End <= u32RingSize;
}

namespace {

std::atomic<uint64_t> g_locGen{0};

// A pool block of `u32Size` bytes mapped into the process as the sender's empty local buffer: 0, or -1
// (printed, unless `bQuietNoBlock` and the pools had no block) with nothing held and the sender as it was.
int MapLocalBlock(PCIV_TRANS_SENDER_S* pSender, uint32_t u32Size, bool bQuietNoBlock = false) {
    VB_BLK blk = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, u32Size, nullptr);
    if (blk == VB_INVALID_HANDLE) {
        if (!bQuietNoBlock) {
            APP_ERR_IN(kSrc, "PCIV_Trans_InitSender", "Info:MK_MPI_VB_GetBlock(size:%d) fail\n",
                       static_cast<int>(u32Size));
        }
        return -1;
    }
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(blk);
    void* pVir = nullptr;
    if (phys == 0) {
        APP_ERR_IN(kSrc, "PCIV_Trans_InitSender", "Info:MK_MPI_VB_Handle2PhysAddr fail\n");
    } else {
        pVir = MK_MPI_SYS_Mmap(phys, u32Size);
        if (pVir == nullptr) APP_ERR_IN(kSrc, "PCIV_Trans_InitSender", "Info:MK_MPI_SYS_Mmap fail\n");
    }
    if (pVir == nullptr) {
        MK_MPI_VB_ReleaseBlock(blk);
        return -1;
    }
    pSender->u32Blk = blk;
    pSender->u32PhyAddr = phys;
    pSender->pu8VirAddr = static_cast<uint8_t*>(pVir);
    pSender->u32LocSize = u32Size;
    pSender->u32Fill = 0;
    pSender->u64LocGen = g_locGen.fetch_add(1) + 1;
    return 0;
}

void UnmapLocalBlock(PCIV_TRANS_SENDER_S* pSender) {
    MK_MPI_SYS_Munmap(pSender->pu8VirAddr, pSender->u32LocSize);
    MK_MPI_VB_ReleaseBlock(pSender->u32Blk);
    pSender->pu8VirAddr = nullptr;
    pSender->u32PhyAddr = 0;
    pSender->u32LocSize = 0;
    pSender->u32Fill = 0;
}

}  // namespace

int PCIV_Trans_MakeSender(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_SENDER_S** ppSender, bool bQuietNoBlock) {
    if (pParam == nullptr || ppSender == nullptr) return -1;
    // An empty ring could never take a byte, and the local buffer is as large as the ring.
    if (pParam->u32BufSize == 0) {
        APP_ERR(kSrc, "Info:MK_MPI_VB_GetBlock(size:%d) fail\n", 0);
        return -1;
    }
    auto* pSender = new PCIV_TRANS_SENDER_S;
    if (MapLocalBlock(pSender, pParam->u32BufSize, bQuietNoBlock) != 0) {
        delete pSender;
        return -1;
    }
    pSender->u64Id = pSender->u64LocGen;
    pSender->u32RemoteBase = pParam->u32BufAddr;
    pSender->u32RemoteSize = pParam->u32BufSize;
    pSender->s32Target = static_cast<int32_t>(pParam->u32Target);
    pSender->u32NoticePort = pParam->u32NoticePort;
    pSender->u32AckPort = pParam->u32AckPort;
    pSender->bInit = 1;
    pSender->s32Running = 1;
    if (pthread_create(&pSender->thread, nullptr, PCIV_Trans_SenderThread, pSender) != 0) {
        APP_ERR(kSrc, "create sender thread fail\n");
        UnmapLocalBlock(pSender);
        delete pSender;
        return -1;
    }
    *ppSender = pSender;
    return 0;
}

void PCIV_Trans_StartSender(PCIV_TRANS_SENDER_S* pSender) {
    // Acknowledgements of a ring before this one (the sender replaced, a master before its restart).
    const int n = PCIV_DrainMsgPort(pSender->s32Target, static_cast<int>(pSender->u32AckPort));
    if (n > 0) {
        APP_ERR_IN(kSrc, "PCIV_Trans_SenderThread", "%d message(s) queued on port %u before the sender started: dropped\n",
                   n, pSender->u32AckPort);
    }
    pSender->started.Request();
}

int PCIV_Trans_InitSender(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_SENDER_S** ppSender) {
    if (PCIV_Trans_MakeSender(pParam, ppSender) != 0) return -1;
    PCIV_Trans_StartSender(*ppSender);
    return 0;
}

void PCIV_Trans_DeInitSender(PCIV_TRANS_SENDER_S* pSender) {
    if (pSender == nullptr || !pSender->bInit) return;
    if (pSender->s32Running.exchange(0) != 0) {
        pSender->stop.Request();
        pthread_join(pSender->thread, nullptr);
    }
    if (PCIV_Trans_HasLocBuf(pSender)) UnmapLocalBlock(pSender);
    pSender->bInit = 0;
    delete pSender;
}

bool PCIV_Trans_HasLocBuf(const PCIV_TRANS_SENDER_S* pSender) {
    return pSender->pu8VirAddr != nullptr;
}

void PCIV_Trans_ReleaseLocBuf(PCIV_TRANS_SENDER_S* pSender) {
    pSender->bLocRenewing = 1;
    if (!PCIV_Trans_HasLocBuf(pSender)) return;
    // Nothing is sent here: a master that restarts has not set up its new ring yet, and would take a
    // notice into the old one as data in the new.
    pSender->carried.assign(pSender->pu8VirAddr, pSender->pu8VirAddr + pSender->u32Fill);
    UnmapLocalBlock(pSender);
}

int PCIV_Trans_TakeLocBuf(PCIV_TRANS_SENDER_S* pSender) {
    pSender->bLocRenewing = 0;
    if (PCIV_Trans_HasLocBuf(pSender)) return 0;
    if (MapLocalBlock(pSender, pSender->u32RemoteSize) != 0) return -1;
    // The new buffer is as large as the ring, as the old one was.
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(pSender->carried.size()), pSender->u32LocSize);
    if (n != 0) std::memcpy(pSender->pu8VirAddr, pSender->carried.data(), n);
    pSender->u32Fill = n;
    pSender->carried.clear();
    return 0;
}

uint32_t PCIV_Trans_HeldBytes(const PCIV_TRANS_SENDER_S* pSender) {
    return PCIV_Trans_HasLocBuf(pSender) ? pSender->u32Fill : static_cast<uint32_t>(pSender->carried.size());
}

int PCIV_Trans_GetLocBufFree(PCIV_TRANS_SENDER_S* pSender, uint32_t* pu32Free) {
    *pu32Free = pSender->u32LocSize - pSender->u32Fill;
    return 0;
}

int PCIV_Trans_WriteLocBuf(PCIV_TRANS_SENDER_S* pSender, const void* pData, uint32_t u32Len) {
    const bool bCarry = !PCIV_Trans_HasLocBuf(pSender) && pSender->bLocRenewing;
    const uint32_t u32Held = PCIV_Trans_HeldBytes(pSender);
    // The new buffer will be as large as the ring.
    const uint32_t u32Size = bCarry ? pSender->u32RemoteSize : pSender->u32LocSize;
    if (static_cast<uint64_t>(u32Held) + u32Len > u32Size) {
        APP_ERR(kSrc, "local buf full !!, curpos:%d, len:%d, buflen:%d\n", static_cast<int>(u32Held),
                static_cast<int>(u32Len), static_cast<int>(u32Size));
        return -1;
    }
    if (bCarry) {
        const auto* p = static_cast<const uint8_t*>(pData);
        pSender->carried.insert(pSender->carried.end(), p, p + u32Len);
        return 0;
    }
    std::memcpy(pSender->pu8VirAddr + pSender->u32Fill, pData, u32Len);
    pSender->u32Fill += u32Len;
    return 0;
}

int PCIV_Trans_SendData(PCIV_TRANS_SENDER_S* pSender) {
    uint32_t u32Len = pSender->u32Fill;
    // Nothing written: a zero-sized DMA block is refused by the engine and a notice would be empty.
    if (u32Len == 0) return 0;
    uint32_t u32Off = 0;
    if (Trans_GetWriteOffset(pSender, u32Len, &u32Off) != 0) {
        APP_ERR(kSrc, "Trans_GetWriteOffset fail,s32ret= 0x%x\n", -1);
        return -1;
    }
    PCIV_DMA_BLOCK_S stBlk = {pSender->u32PhyAddr, pSender->u32RemoteBase + u32Off, u32Len};
    PCIV_DMA_TASK_S stTask = {1, 0, &stBlk};
    MK_S32 s32Ret;
    while ((s32Ret = MK_MPI_PCIV_DmaTask(&stTask)) == kDmaBusy) {
        sched_yield();
        APP_ERR(kSrc, "---- PCI DMA Wait ----\n");
    }
    if (s32Ret != 0) {
        APP_ERR(kSrc, "dma task fail,s32ret= 0x%x\n", s32Ret);
        return -1;
    }
    const uint32_t u32WriteWas = pSender->u32WritePos;
    PCIV_TRANS_NOTICE_S stNotice = {u32Off, u32Off + u32Len, pSender->u32Seq.load()};
    pSender->u32Seq.fetch_add(1);
    pSender->u32WritePos = u32Off + u32Len;
    // Held before it goes: the master may acknowledge it before the send returns.
    {
        std::lock_guard<std::mutex> lock(pSender->mtxHeld);
        pSender->held.push_back({stNotice.u32Start, stNotice.u32End});
    }
    s32Ret = PCIV_SendMsg(pSender->s32Target, static_cast<int>(pSender->u32NoticePort), sizeof(stNotice),
                          PCIV_MSGTYPE_NOTIFY, &stNotice);
    if (s32Ret != 0) {
        // The master never heard of that range: the write position goes back, the data stays for the
        // retry. Held, or its bytes kept, nothing would ever free them and the ring would stop for
        // good. Its number goes back too: the retry carries it, so the master's numbers run on without
        // a gap, and the acknowledgements are measured against notices the master did get. Unless an
        // acknowledgement of that very range was taken meanwhile: then its bytes are free already.
        {
            std::lock_guard<std::mutex> lock(pSender->mtxHeld);
            if (!pSender->held.empty() && pSender->held.back().u32Start == stNotice.u32Start &&
                pSender->held.back().u32End == stNotice.u32End) {
                pSender->held.pop_back();
                pSender->u32WritePos = u32WriteWas;
                pSender->u32Seq.fetch_sub(1);
            }
        }
        APP_ERR(kSrc, "PCIV_SendMsg fail,s32ret= 0x%x\n", s32Ret);
        return -1;
    }
    pSender->u32Fill = 0;
    return 0;
}

namespace {

// With the notices held locked: how many of them, oldest first, [start, end) acknowledges (0 for none).
// It must begin at the oldest and end where one of them ends; anything else (a replaced reader's late
// acknowledgement, one out of order, one ending inside a notice) would free bytes the master has not
// read yet.
size_t AckAnswers(const std::deque<PCIV_TRANS_SENDER_S::Held>& held, uint32_t start, uint32_t end) {
    if (held.empty() || held.front().u32Start != start) return 0;
    for (size_t i = 0; i < held.size(); ++i) {
        if (held[i].u32End == end) return i + 1;
    }
    return 0;
}

}  // namespace

int PCIV_Trans_TakeAck(PCIV_TRANS_SENDER_S* pSender, const PCIV_MSG_S* pMsg) {
    // A stray message, or an end beyond the ring, would send the next DMA past the master's ring.
    const PCIV_TRANS_NOTICE_S* pAck = NoticeOf(pMsg);
    size_t n = 0;
    if (Trans_AckValid(pMsg, pSender->u32RemoteSize)) {
        std::lock_guard<std::mutex> lock(pSender->mtxHeld);
        n = AckAnswers(pSender->held, pAck->u32Start, pAck->u32End);
        pSender->held.erase(pSender->held.begin(), pSender->held.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (n == 0) {
        const uint64_t u64Refused = ++pSender->u64AckRefused;
        const uint64_t now = varnelle::host::MonotonicMs();
        if (u64Refused == 1 || now - pSender->u64AckSaidMs >= kAckSayMs) {
            pSender->u64AckSaidMs = now;
            uint32_t len = pMsg->stMsgHead.u32MsgLen;
            APP_ERR_IN(kSrc, "PCIV_Trans_SenderThread",
                       "bad acknowledgement type:%u len:%u start:%u end:%u (read:%u write:%u): ignored, %llu so far\n",
                       pMsg->stMsgHead.u32MsgType, len, len >= 4 ? pMsg->au32Payload[0] : 0,
                       len >= 8 ? pMsg->au32Payload[1] : 0, pSender->u32ReadPos.load(),
                       pSender->u32WritePos.load(), static_cast<unsigned long long>(u64Refused));
        }
        return -1;
    }
    uint32_t u32Last = pSender->u32LastAck.load();
    if (pAck->u32Seq - u32Last > 1) {
        APP_ERR_IN(kSrc, "PCIV_Trans_SenderThread", "%d,%d, start:%d,end:%d \n", static_cast<int>(pAck->u32Seq),
                   static_cast<int>(u32Last), static_cast<int>(pAck->u32Start), static_cast<int>(pAck->u32End));
    }
    pSender->u32LastAck = pAck->u32Seq;
    uint32_t u32Sent = pSender->u32Seq.load(std::memory_order_relaxed);
    if (u32Sent - pAck->u32Seq > 50) {
        APP_ERR_IN(kSrc, "PCIV_Trans_SenderThread", "Warnning: send:%d,free:%d \n", static_cast<int>(u32Sent),
                   static_cast<int>(pAck->u32Seq));
    }
    // Last: whoever watches the read position finds the rest done. Only this thread writes it.
    pSender->u32ReadPos = pAck->u32End;
    return 0;
}

void* PCIV_Trans_SenderThread(void* arg) {
    auto* pSender = static_cast<PCIV_TRANS_SENDER_S*>(arg);
    // Until it starts, the port may still have another reader: the sender this one replaces.
    while (pSender->s32Running.load() && !pSender->started.Requested())
        PCIV_WaitReadable(pSender->started.fd(), kAckPollMs, &pSender->stop);
    auto* pMsg = new PCIV_MSG_S;
    while (pSender->s32Running.load()) {
        std::memset(pMsg, 0, sizeof(*pMsg));
        int s32Ret = PCIV_ReadMsgTimeout(pSender->s32Target, static_cast<int>(pSender->u32AckPort), pMsg,
                                         kAckPollMs, &pSender->stop);
        if (s32Ret == PCIV_MSG_TIMEOUT) continue;
        if (s32Ret != 0) {
            PCIV_WaitReadable(pSender->stop.fd(), kReadRetryMs, nullptr);
            continue;
        }
        PCIV_Trans_TakeAck(pSender, pMsg);
    }
    delete pMsg;
    return nullptr;
}

int PCIV_Trans_MapReceiver(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_RECEIVER_S** ppReceiver) {
    if (pParam == nullptr || ppReceiver == nullptr) return -1;
    // The first word is marked, so a buffer must hold at least that.
    if (pParam->u32BufSize < sizeof(uint32_t)) return -1;
    void* pAddr = MK_MPI_SYS_Mmap(pParam->u32BufAddr, pParam->u32BufSize);
    if (pAddr == nullptr) return -1;
    auto* pRecv = new PCIV_TRANS_RECEIVER_S;
    pRecv->s32Target = static_cast<int32_t>(pParam->u32Target);
    pRecv->pu8Addr = static_cast<uint8_t*>(pAddr);
    pRecv->u32Size = pParam->u32BufSize;
    pRecv->u32NoticePort = pParam->u32NoticePort;
    pRecv->u32AckPort = pParam->u32AckPort;
    pRecv->bInit = 1;
    *ppReceiver = pRecv;
    return 0;
}

void PCIV_Trans_MarkReceiver(PCIV_TRANS_RECEIVER_S* pReceiver) {
    // The master names the address: it need not be word-aligned.
    const uint32_t u32Mark = 0x777777;
    std::memcpy(pReceiver->pu8Addr, &u32Mark, sizeof(u32Mark));
}

int PCIV_Trans_InitReceiver(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_RECEIVER_S** ppReceiver) {
    if (PCIV_Trans_MapReceiver(pParam, ppReceiver) != 0) return -1;
    PCIV_Trans_MarkReceiver(*ppReceiver);
    return 0;
}

void PCIV_Trans_DeInitReceiver(PCIV_TRANS_RECEIVER_S* pReceiver) {
    if (pReceiver == nullptr) return;
    if (pReceiver->bInit) MK_MPI_SYS_Munmap(pReceiver->pu8Addr, pReceiver->u32Size);
    delete pReceiver;
}

int PCIV_Trans_CheckNotice(PCIV_TRANS_RECEIVER_S* pRecv, const PCIV_MSG_S* pMsg, PCIV_TRANS_NOTICE_S* pOut) {
    const PCIV_TRANS_NOTICE_S* pNotice = NoticeOf(pMsg);
    std::memset(pOut, 0, sizeof(*pOut));
    bool bNotice = pMsg->stMsgHead.u32MsgType == PCIV_MSGTYPE_NOTIFY && pNotice != nullptr;
    // Anything else would hand out memory outside the mapped buffer.
    if (!bNotice || pNotice->u32Start > pNotice->u32End || pNotice->u32End > pRecv->u32Size) {
        uint32_t len = pMsg->stMsgHead.u32MsgLen;
        APP_ERR_IN(kSrc, "PCIV_Trans_GetData", "bad notice type:%u len:%u start:%u end:%u\n",
                   pMsg->stMsgHead.u32MsgType, len, len >= 4 ? pMsg->au32Payload[0] : 0,
                   len >= 8 ? pMsg->au32Payload[1] : 0);
        if (!bNotice) return PCIV_TRANS_NOT_NOTICE;
    }
    *pOut = *pNotice;
    if (pNotice->u32Seq - pRecv->u32LastSeq > 1) {
        APP_ERR_IN(kSrc, "PCIV_Trans_GetData", "%d,%d, start:%d,end:%d \n", static_cast<int>(pNotice->u32Seq),
                static_cast<int>(pRecv->u32LastSeq), static_cast<int>(pNotice->u32Start),
                static_cast<int>(pNotice->u32End));
    }
    pRecv->u32LastSeq = pNotice->u32Seq;
    if (pNotice->u32Start > pNotice->u32End || pNotice->u32End > pRecv->u32Size) return PCIV_TRANS_REFUSED;
    return 0;
}

int PCIV_Trans_TakeNotice(PCIV_TRANS_RECEIVER_S* pRecv, const PCIV_MSG_S* pMsg, uint8_t** ppAddr,
                          uint32_t* pu32Len) {
    PCIV_TRANS_NOTICE_S stNotice;
    if (PCIV_Trans_CheckNotice(pRecv, pMsg, &stNotice) != 0) return -1;
    *ppAddr = pRecv->pu8Addr + stNotice.u32Start;
    *pu32Len = stNotice.u32End - stNotice.u32Start;
    return 0;
}

int PCIV_Trans_GetData(PCIV_TRANS_RECEIVER_S* pReceiver, uint8_t** ppAddr, uint32_t* pu32Len) {
    return PCIV_Trans_GetDataTimeout(pReceiver, ppAddr, pu32Len, -1);
}

namespace {

// The next message of the receiver's notices: from its queue when the title-port reader hands them
// over, else from its port.
int ReadNotice(PCIV_TRANS_RECEIVER_S* pReceiver, PCIV_MSG_S* pMsg, int timeoutMs) {
    std::memset(pMsg, 0, sizeof(*pMsg));
    return pReceiver->pNoticeQueue != nullptr
               ? pReceiver->pNoticeQueue->Take(pMsg, timeoutMs, pReceiver->pStop)
               : PCIV_ReadMsgTimeout(pReceiver->s32Target, static_cast<int>(pReceiver->u32NoticePort), pMsg,
                                     timeoutMs, pReceiver->pStop);
}

}  // namespace

int PCIV_Trans_GetDataTimeout(PCIV_TRANS_RECEIVER_S* pReceiver, uint8_t** ppAddr, uint32_t* pu32Len,
                              int timeoutMs) {
    PCIV_MSG_S stMsg;
    int s32Ret = ReadNotice(pReceiver, &stMsg, timeoutMs);
    if (s32Ret != 0) return s32Ret;
    return PCIV_Trans_TakeNotice(pReceiver, &stMsg, ppAddr, pu32Len);
}

int PCIV_Trans_GetNotice(PCIV_TRANS_RECEIVER_S* pReceiver, PCIV_TRANS_NOTICE_S* pNotice, int timeoutMs) {
    PCIV_MSG_S stMsg;
    int s32Ret = ReadNotice(pReceiver, &stMsg, timeoutMs);
    if (s32Ret != 0) return s32Ret;
    return PCIV_Trans_CheckNotice(pReceiver, &stMsg, pNotice);
}

int PCIV_Trans_AckOffsets(PCIV_TRANS_RECEIVER_S* pReceiver, uint32_t u32Start, uint32_t u32End) {
    PCIV_TRANS_NOTICE_S stAck = {u32Start, u32End, pReceiver->u32AckSeq};
    pReceiver->u32AckSeq++;
    PCIV_SendMsg(pReceiver->s32Target, static_cast<int>(pReceiver->u32AckPort), sizeof(stAck),
                 PCIV_MSGTYPE_FREE, &stAck);
    return 0;
}

int PCIV_Trans_ReleaseData(PCIV_TRANS_RECEIVER_S* pReceiver, const uint8_t* pAddr, uint32_t u32Len) {
    uint32_t u32Start = static_cast<uint32_t>(pAddr - pReceiver->pu8Addr);
    return PCIV_Trans_AckOffsets(pReceiver, u32Start, u32Start + u32Len);
}
