#include "app/comm/cap_list.h"

#include <atomic>
#include <cstring>
#include <new>

#include "app/comm/app_log.h"
#include "app/comm/cap_frame.h"
#include "app/comm/comm_hook.h"
#include "platform/host/clock.h"

namespace {

constexpr const char* kSrc = "../comm/CapList.c";

std::atomic<CapListAllocFn> g_pfnAlloc{nullptr};

// The hook in force: the board's unless one was set.
CapListAllocFn AllocHook() {
    CapListAllocFn pfn = g_pfnAlloc.load();
    return pfn != nullptr ? pfn : CapListAllocHook;
}

// Asks the hook for the node's buffer; on success stamps the node's time. False when none came.
bool ObtainBuffer(CapFrameNode* pNode, uint32_t u32Size) {
    CapBufDesc stBuf = {};
    if (AllocHook()(&stBuf, u32Size) != 0 || stBuf.pu8WritePos == nullptr) return false;
    pNode->stBuf = stBuf;
    timeval now = varnelle::host::WallNow();
    pNode->u32TimeSec = static_cast<uint32_t>(now.tv_sec);
    pNode->u32TimeUsec = static_cast<uint32_t>(now.tv_usec);
    return true;
}

// Copies `u32Len` bytes into the node's current slot, applying the given flags of the packet.
void WriteSlot(CapFrameNode* pNode, const uint8_t* pu8Src, uint32_t u32Len, const CapPacket* pPacket,
               uint32_t u32Flags) {
    CapPacketSlot& slot = pNode->astSlot[pNode->u32SlotCnt];
    if (u32Flags & CAP_SLOT_START) {
        slot.u16Start = static_cast<uint16_t>(pNode->u32Used);
        slot.u8Flags |= CAP_SLOT_START;
    }
    slot.u8Kind = static_cast<uint8_t>(pPacket->u32Kind);
    slot.u32FrameLen = pPacket->u32FrameLen;
    if (u32Len > 0) std::memcpy(pNode->stBuf.pu8WritePos, pu8Src, u32Len);
    pNode->u32Used += u32Len;
    pNode->stBuf.pu8WritePos += u32Len;
    slot.u16PacketLen = static_cast<uint16_t>(pNode->u32Used - pNode->u32PacketStart);
    if (u32Flags & CAP_SLOT_END) {
        slot.u8Flags |= CAP_SLOT_END;
        pNode->u32PacketStart = pNode->u32Used;
    }
}

}  // namespace

void CapListSetAllocHook(CapListAllocFn pfn) {
    g_pfnAlloc = pfn;
}

CapFrameNode* CapListAlloc(CapList* pList, uint32_t u32Size) {
    if (pList == nullptr || u32Size > CAP_NODE_MAX_SIZE) {
        APP_ERR(kSrc, "malloc failed %d\n", static_cast<int>(u32Size));
        return nullptr;
    }
    auto* pNode = new (std::nothrow) CapFrameNode{};
    if (pNode == nullptr) {
        APP_ERR(kSrc, "malloc failed\n");
        return nullptr;
    }
    pNode->pPrev = pList->pNewest;
    if (pList->pNewest != nullptr) pList->pNewest->pNext = pNode;
    pList->pNewest = pNode;
    if (pList->pOldest == nullptr) pList->pOldest = pNode;
    if (!ObtainBuffer(pNode, u32Size)) {
        APP_ERR(kSrc, "malloc failed\n");
        return nullptr;
    }
    return pNode;
}

CapFrameNode* CapListDetect(CapList* pList, uint32_t u32Size) {
    if (pList == nullptr) return nullptr;
    CapFrameNode* pNode = pList->pNewest;
    if (pNode == nullptr) return CapListAlloc(pList, u32Size);
    if (pNode->stBuf.pu8WritePos != nullptr) return pNode;
    if (u32Size > CAP_NODE_MAX_SIZE || !ObtainBuffer(pNode, u32Size)) {
        APP_ERR(kSrc, "malloc failed\n");
        return nullptr;
    }
    pNode->u32PacketStart = pNode->u32Used;
    // A node whose eight slots are used has no current slot.
    if (pNode->u32SlotCnt < CAP_NODE_SLOTS) {
        pNode->astSlot[pNode->u32SlotCnt].u16Start = static_cast<uint16_t>(pNode->u32Used);
    }
    return pNode;
}

CapFrameNode* CapListGet(CapList* pList) {
    if (pList == nullptr) {
        APP_ERR(kSrc, "list\n");
        return nullptr;
    }
    if (pList->pOldest == nullptr) pList->pNewest = nullptr;
    return pList->pOldest;
}

int CapListFree(CapList* pList, CapFrameNode* pNode) {
    if (pList == nullptr || pNode == nullptr) return -1;
    // The node given is the one unlinked, wherever it stands: freeing one node while unlinking another
    // would leave the list pointing at freed memory.
    CapFrameNode* p = pList->pOldest;
    while (p != nullptr && p != pNode) p = p->pNext;
    if (p == nullptr) {
        APP_ERR(kSrc, "node %p is not in list %p\n", static_cast<void*>(pNode), static_cast<void*>(pList));
        return -1;
    }
    if (pNode->pPrev != nullptr) pNode->pPrev->pNext = pNode->pNext;
    if (pNode->pNext != nullptr) pNode->pNext->pPrev = pNode->pPrev;
    if (pList->pOldest == pNode) pList->pOldest = pNode->pNext;
    if (pList->pNewest == pNode) pList->pNewest = pNode->pPrev;
    delete pNode;
    return 0;
}

int CapListInfo(const CapList* pList, CapListInfoS* pInfo) {
    if (pInfo == nullptr) return -1;
    pInfo->u32Bytes = 0;
    pInfo->u32Nodes = 0;
    if (pList == nullptr) return 0;
    for (const CapFrameNode* p = pList->pOldest; p != nullptr; p = p->pNext) {
        pInfo->u32Bytes += p->u32Used;
        ++pInfo->u32Nodes;
    }
    return 0;
}

CapFrameNode* CapListAppend(CapList* pList, CapFrameNode* pNode, const uint8_t* pu8Src, uint32_t u32Len,
                            const CapPacket* pPacket) {
    if (pList == nullptr || pNode == nullptr || pPacket == nullptr || (u32Len > 0 && pu8Src == nullptr)) {
        return nullptr;
    }
    const bool bStart = (pPacket->u32Flags & CAP_SLOT_START) != 0;
    for (;;) {
        uint32_t u32Cap = pNode->stBuf.u32Capacity;
        // Without room nothing could ever be written: a new node would follow a new node for ever.
        if (pNode->stBuf.pu8WritePos == nullptr || u32Cap == 0) return nullptr;
        uint32_t u32Free = u32Cap > pNode->u32Used ? u32Cap - pNode->u32Used : 0;
        bool bSlot = pNode->u32SlotCnt < CAP_NODE_SLOTS;
        // A packet that fills the node exactly fits: it keeps its end flag in this node.
        if (bSlot && u32Len <= u32Free) {
            WriteSlot(pNode, pu8Src, u32Len, pPacket, pPacket->u32Flags);
            return pNode;
        }
        if (bSlot && !bStart) {
            // A continuation is split: what fits stays here, the rest goes on in a new node.
            WriteSlot(pNode, pu8Src, u32Free, pPacket, 0);
            pNode->u32Used = u32Cap;
            pNode->u32SlotCnt++;
            pu8Src += u32Free;
            u32Len -= u32Free;
        } else if (bStart && pNode->u32Used == 0 && pNode->u32SlotCnt == 0) {
            // A frame start is never split; one too large for an empty node fits nowhere.
            APP_ERR(kSrc, "frame start of %u bytes is larger than a node of %u\n", u32Len, u32Cap);
            return nullptr;
        }
        pNode->bFull = 1;
        CapFrameNode* pNew = CapListAlloc(pList, pPacket->u32BufSize);
        if (pNew == nullptr) return nullptr;
        pNew->astSlot[0].u16Start = static_cast<uint16_t>(pNew->u32Used);
        pNode = pNew;
    }
}

uint32_t CapListMakeHeader(uint8_t* pu8Buf, uint32_t u32FrameLen, uint32_t u32Kind, const CapStreamInfo* pInfo) {
    uint32_t u32Rate = 0, u32Width = 0, u32Height = 0, u32Time = 0;
    if (u32Kind == CAP_FRAME_I || u32Kind == CAP_FRAME_PICTURE) {
        if (pInfo == nullptr) return 0;
        u32Rate = pInfo->u32FrameRate;
        u32Width = pInfo->u32Width;
        u32Height = pInfo->u32Height;
        u32Time = CapFramePackTimeNow();
    }
    return CapFrameWriteHeader(pu8Buf, u32Kind, u32FrameLen, u32Rate, u32Width, u32Height, u32Time,
                               CAP_AUDIO_CODEC_CAPLIST);
}

namespace {

// Header, then the data blocks, the last one ending the frame; the slot is closed afterwards.
struct Block {
    const uint8_t* pu8Data;
    uint32_t u32Len;
};

// CopyFrame's result when the node was had but the append failed.
constexpr int kAppendFailed = -2;

// 0, -1 without a node, kAppendFailed.
int CopyFrame(CapList* pList, uint32_t u32Kind, const uint8_t* pu8Head, uint32_t u32HeadLen, const Block* pBlocks,
              uint32_t u32Blocks, uint32_t u32FrameLen) {
    CapFrameNode* pNode = CapListDetect(pList, CAP_NODE_BUF_SIZE);
    if (pNode == nullptr) {
        APP_ERR(kSrc, "CapListDetect error\n");
        return -1;
    }
    CapPacket stPkt = {u32Kind, CAP_SLOT_START, u32HeadLen + u32FrameLen, u32FrameLen, CAP_NODE_BUF_SIZE};
    if (u32Blocks == 0) stPkt.u32Flags |= CAP_SLOT_END;
    pNode = CapListAppend(pList, pNode, pu8Head, u32HeadLen, &stPkt);
    if (pNode == nullptr) {
        APP_ERR(kSrc, "StreamCopy head error\n");
        return kAppendFailed;
    }
    for (uint32_t i = 0; i < u32Blocks; ++i) {
        stPkt.u32Flags = i + 1 == u32Blocks ? CAP_SLOT_END : 0;
        pNode = CapListAppend(pList, pNode, pBlocks[i].pu8Data, pBlocks[i].u32Len, &stPkt);
        if (pNode == nullptr) {
            APP_ERR(kSrc, "StreamCopy  error\n");
            return kAppendFailed;
        }
        stPkt.u32Left -= pBlocks[i].u32Len;
    }
    if (pNode->u32SlotCnt < CAP_NODE_SLOTS) pNode->u32SlotCnt++;
    pNode->u32PacketStart = pNode->u32Used;
    return 0;
}

}  // namespace

int VencCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream) {
    return CapListCopyStream(pInfo, pList, pStream, CAP_KIND_BY_PACK);
}

int CapListCopyStream(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream, uint32_t u32Kind) {
    if (pInfo == nullptr || pStream == nullptr || pStream->pstPack == nullptr || pStream->u32PackCnt == 0 ||
        pStream->u32PackCnt > 64) {
        return -1;
    }
    Block astBlk[64];
    uint64_t u64FrameLen = 0;
    for (uint32_t i = 0; i < pStream->u32PackCnt; ++i) {
        const VENC_PACK_S& pack = pStream->pstPack[i];
        // An offset past the pack would give a negative length and read before its data.
        if (pack.u32DataOffset > pack.u32Len || pack.pu8UserAddr == nullptr) return -1;
        astBlk[i] = {pack.pu8UserAddr + pack.u32DataOffset, pack.u32Len - pack.u32DataOffset};
        u64FrameLen += astBlk[i].u32Len;
    }
    if (u64FrameLen > UINT32_MAX) return -1;
    if (u32Kind == CAP_KIND_BY_PACK) {
        uint32_t u32Type = pStream->pstPack[0].u32DataType;
        u32Kind = u32Type == 7 ? CAP_FRAME_I : u32Type == 8 ? CAP_FRAME_PICTURE : CAP_FRAME_P;
    }
    uint8_t au8Head[CAP_HEADER_LONG];
    uint32_t u32HeadLen = CapListMakeHeader(au8Head, static_cast<uint32_t>(u64FrameLen), u32Kind, pInfo);
    if (u32HeadLen == 0) return -1;
    pInfo->u64Pts = pStream->pstPack[0].u64Pts;
    return CopyFrame(pList, u32Kind, au8Head, u32HeadLen, astBlk, pStream->u32PackCnt,
                     static_cast<uint32_t>(u64FrameLen)) == 0 ? 0 : -1;
}

int PcivVencCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const uint8_t* pu8Data, uint32_t u32Len,
                     uint32_t u32FrameType, uint64_t u64Pts) {
    if (pInfo == nullptr || (u32Len > 0 && pu8Data == nullptr)) return -1;
    uint32_t u32Kind = u32FrameType == 7 ? CAP_FRAME_I : CAP_FRAME_P;
    uint8_t au8Head[CAP_HEADER_LONG];
    uint32_t u32HeadLen = CapListMakeHeader(au8Head, u32Len, u32Kind, pInfo);
    pInfo->u64Pts = u64Pts;
    Block stBlk = {pu8Data, u32Len};
    return CopyFrame(pList, u32Kind, au8Head, u32HeadLen, &stBlk, 1, u32Len) == 0 ? 0 : -1;
}

int AencCopy2Buf(void*, CapList* pList, const AUDIO_STREAM_S* pStream) {
    // The encoder's 4-byte prefix comes first; a packet without it has nothing to store.
    if (pStream == nullptr || pStream->pStream == nullptr || pStream->u32Len < 4) return -1;
    uint32_t u32Payload = pStream->u32Len - 4;
    // Cut only what lies beyond 480 payload bytes: a shorter packet is never read past its end.
    if (u32Payload > CAP_AUDIO_MAX_PAYLOAD) {
        APP_ERR(kSrc, "Audio frame cut short! %d > %d\n", static_cast<int>(pStream->u32Len),
                static_cast<int>(CAP_AUDIO_MAX_PAYLOAD));
        u32Payload = CAP_AUDIO_MAX_PAYLOAD;
    }
    uint8_t au8Head[CAP_HEADER_SHORT];
    uint32_t u32HeadLen = CapListMakeHeader(au8Head, u32Payload, CAP_FRAME_AUDIO, nullptr);
    Block stBlk = {pStream->pStream + 4, u32Payload};
    // An append that fails once the node is had counts as stored (its line is printed): the audio
    // thread, the only caller, does not look at the result.
    const int r = CopyFrame(pList, CAP_FRAME_AUDIO, au8Head, u32HeadLen, &stBlk, 1, u32Payload);
    return r == kAppendFailed ? 0 : r;
}
