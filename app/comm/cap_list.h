// The capture frame list (CapList): a chain of nodes, each with a data buffer and eight packet slots,
// into which encoded frames are copied behind their private frame header (app/comm/cap_frame.h).
//
// One thread writes a list and the reader takes nodes from the other end; there is no lock. A node's
// buffer comes from the allocation hook, given the node's buffer descriptor and the wanted size; the
// board's hook (CapListAllocHook) has no buffers to give, so on this board every writer fails with
// "malloc failed". The list never frees a buffer: whoever the hook took it from gets it back.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_audio.h"
#include "sdk/venc/venc_ioctl.h"

#define CAP_NODE_SLOTS 8
#define CAP_NODE_MAX_SIZE 2097152u  // the largest buffer a node asks for
#define CAP_NODE_BUF_SIZE 8192u     // what the stream-copy writers ask for
#define CAP_AUDIO_MAX_PAYLOAD 480u

// Slot flags.
enum { CAP_SLOT_START = 1, CAP_SLOT_END = 2 };

// One packet (part of a frame) in a node.
struct CapPacketSlot {
    uint8_t u8Kind;
    uint8_t u8Flags;
    uint16_t u16Start;  // buffer offset of the frame's first byte in this node
    uint32_t u32FrameLen;
    uint16_t u16PacketLen;
};

// What the allocation hook fills: where the next byte goes and how many the buffer holds. The node has
// no buffer while the write position is null.
struct CapBufDesc {
    uint8_t* pu8WritePos;
    uint32_t u32Capacity;
};

struct CapFrameNode {
    uint32_t u32Used;      // bytes written into the buffer
    uint32_t u32SlotCnt;   // slots used, 0 to 8
    uint32_t bFull;        // the writer moved on to a newer node
    uint32_t u32PacketStart;
    uint32_t u32TimeSec;  // when the buffer was obtained
    uint32_t u32TimeUsec;
    CapPacketSlot astSlot[CAP_NODE_SLOTS];
    CapFrameNode* pNext;  // towards the newest
    CapFrameNode* pPrev;
    CapBufDesc stBuf;
};

struct CapList {
    CapFrameNode* pNewest;
    CapFrameNode* pOldest;
};

// A packet handed to the writers.
struct CapPacket {
    uint32_t u32Kind;      // header kind (CAP_FRAME_*)
    uint32_t u32Flags;     // CAP_SLOT_START, CAP_SLOT_END
    uint32_t u32FrameLen;  // the whole frame with its header
    uint32_t u32Left;      // bytes of the frame still to come
    uint32_t u32BufSize;   // buffer size of a new node
};

struct CapListInfoS {
    uint32_t u32Bytes;
    uint32_t u32Nodes;
};

// What the stream-copy writers need of the capture channel.
struct CapStreamInfo {
    uint32_t u32FrameRate;
    uint32_t u32Width;
    uint32_t u32Height;
    uint64_t u64Pts;  // set by VencCopy2Buf from the frame's first pack
};

// The allocation hook: 0 with the descriptor filled, or -1. Null puts the board's hook back. For tests
// and a board that has buffers.
typedef int (*CapListAllocFn)(void* pBufDesc, uint32_t u32Size);
void CapListSetAllocHook(CapListAllocFn pfn);

// Appends a new node (the newest) and obtains its buffer; the node, or null ("malloc failed %d" for a
// missing list or a size above 2 MiB, "malloc failed" when the node or its buffer cannot be had; a node
// whose buffer failed stays in the list).
CapFrameNode* CapListAlloc(CapList* pList, uint32_t u32Size);
// The newest node, made when the list is empty, with its buffer obtained when it has none; or null.
CapFrameNode* CapListDetect(CapList* pList, uint32_t u32Size);
// The oldest node, or null (an empty list also clears the newest).
CapFrameNode* CapListGet(CapList* pList);
// Unlinks `pNode` from the list and frees it (not its buffer): 0, or -1 for a missing list or node or
// a node the list does not hold.
int CapListFree(CapList* pList, CapFrameNode* pNode);
// Used bytes and nodes from the oldest: 0, or -1 when `pInfo` is missing; a missing list gives {0, 0}.
int CapListInfo(const CapList* pList, CapListInfoS* pInfo);
// Copies a packet in, moving to new nodes as needed; the node written last, or null.
CapFrameNode* CapListAppend(CapList* pList, CapFrameNode* pNode, const uint8_t* pu8Src, uint32_t u32Len,
                            const CapPacket* pPacket);
// Writes the header of `u32Kind` (1 I, 0 P, 3 audio, 4 picture) with the capture channel's rate and
// size and the local time now; 16 or 8, or 0 for another kind.
uint32_t CapListMakeHeader(uint8_t* pu8Buf, uint32_t u32FrameLen, uint32_t u32Kind, const CapStreamInfo* pInfo);

// The stream-copy writers: 0, or -1.
int VencCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream);
// What VencCopy2Buf does, with the header kind given (CAP_KIND_BY_PACK: from the first pack's data
// type, 7 I frame, 8 picture, else P frame): 0, or -1.
#define CAP_KIND_BY_PACK 0xFFFFFFFFu
int CapListCopyStream(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream, uint32_t u32Kind);
int PcivVencCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const uint8_t* pu8Data, uint32_t u32Len,
                     uint32_t u32FrameType, uint64_t u64Pts);
// The audio writer: -1 when the packet is short of its prefix or no node can be had, else 0 (also
// when the append into the node fails, which it reports with a line).
int AencCopy2Buf(void* pUnused, CapList* pList, const AUDIO_STREAM_S* pStream);
