// BufList: a mutex-guarded FIFO of data buffers, shared by the decode and audio modules. A node belongs
// to the list from BufListAdd2List until BufListGet hands it out; the taker frees it with BufListFree.
// Every list operation takes the list's own mutex; any thread may call them.
#pragma once

#include <pthread.h>

#include <cstdint>

#define BUFLIST_MAX_LEN 33554432u  // 32 MiB: the largest node and the largest copy

struct BufNode {
    uint32_t u32Spare;
    uint32_t u32Pieces;    // copies made into the node
    uint32_t u32Used;      // bytes of data
    uint32_t u32Capacity;
    uint8_t* pu8Raw;       // owned
    uint8_t* pu8Aligned;   // inside the raw block
    BufNode* pNext;
    BufNode* pPrev;
};

struct BufList {
    int32_t s32Index;  // names the list in messages
    BufNode* pTail;    // newest
    BufNode* pHead;    // oldest
    pthread_mutex_t mutex;
};

struct BufListInfoS {
    uint32_t u32Nodes;
    uint32_t u32Bytes;
};

// A new empty list, or null.
BufList* BufListCreate(int32_t s32Index);
// Free every node and its data; Destory also frees the list. 0, or -1 for a missing list.
int BufListDestory(BufList* pList);
int BufListClear(BufList* pList);
// Nodes and used bytes: 0, or -1 when `pInfo` is missing; a missing list gives {0, 0}.
int BufListInfo(BufList* pList, BufListInfoS* pInfo);
// A node of `u32Len` bytes whose data starts on a multiple of `u32Align` (always past the block's
// first byte when the alignment is 2 or more); null on failure.
BufNode* BufListAlloc(uint32_t u32Len, uint32_t u32Align);
// Copies to the start of the node's data. 0 or -1.
int BufListCopy(BufNode* pNode, const void* pSrc, uint32_t u32Len);
// Copies to data + `u32Off`, within the node's capacity. 0 or -1.
int BufListCopyEx(BufNode* pNode, uint32_t u32Off, const void* pSrc, uint32_t u32Len);
// Appends at the tail. 0 or -1.
int BufListAdd2List(BufList* pList, BufNode* pNode);
// Takes the head when it holds at least one piece; null otherwise.
BufNode* BufListGet(BufList* pList);
// Frees a node taken from a list (or never added). 0 or -1.
int BufListFree(BufNode* pNode);
