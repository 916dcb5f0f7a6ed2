#include "app/comm/buf_list.h"

#include <cstdlib>
#include <cstring>

#include "app/comm/app_log.h"

namespace {

constexpr const char* kSrc = "../comm/BufList.c";

// Holds a list's mutex for a scope. A failed lock or unlock is reported and the operation goes on.
class ListLock {
public:
    explicit ListLock(BufList* pList) : m_pList(pList) {
        if (pthread_mutex_lock(&m_pList->mutex) != 0) APP_ERR(kSrc, "index %d lock failed\n", m_pList->s32Index);
    }
    ~ListLock() {
        if (pthread_mutex_unlock(&m_pList->mutex) != 0) {
            APP_ERR(kSrc, "index %d unlock failed\n", m_pList->s32Index);
        }
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    BufList* m_pList;
};

void FreeNodes(BufList* pList) {
    BufNode* p = pList->pHead;
    while (p != nullptr) {
        BufNode* pNext = p->pNext;
        std::free(p->pu8Raw);
        std::free(p);
        p = pNext;
    }
    pList->pHead = nullptr;
    pList->pTail = nullptr;
}

}  // namespace

BufList* BufListCreate(int32_t s32Index) {
    auto* pList = static_cast<BufList*>(std::calloc(1, sizeof(BufList)));
    if (pList == nullptr) {
        APP_ERR(kSrc, "index %d malloc lock failed\n", s32Index);
        return nullptr;
    }
    pList->s32Index = s32Index;
    if (pthread_mutex_init(&pList->mutex, nullptr) != 0) {
        APP_ERR(kSrc, "init lock index %d failed\n", s32Index);
        std::free(pList);
        return nullptr;
    }
    return pList;
}

int BufListClear(BufList* pList) {
    if (pList == nullptr) {
        APP_ERR(kSrc, "list %p error\n", static_cast<void*>(pList));
        return -1;
    }
    ListLock lock(pList);
    FreeNodes(pList);
    return 0;
}

int BufListDestory(BufList* pList) {
    if (BufListClear(pList) != 0) return -1;
    pthread_mutex_destroy(&pList->mutex);
    std::free(pList);
    return 0;
}

int BufListInfo(BufList* pList, BufListInfoS* pInfo) {
    if (pInfo == nullptr) {
        APP_ERR(kSrc, "list %p info %p error\n", static_cast<void*>(pList), static_cast<void*>(pInfo));
        return -1;
    }
    pInfo->u32Nodes = 0;
    pInfo->u32Bytes = 0;
    if (pList == nullptr) return 0;
    ListLock lock(pList);
    for (BufNode* p = pList->pHead; p != nullptr; p = p->pNext) {
        ++pInfo->u32Nodes;
        pInfo->u32Bytes += p->u32Used;
    }
    return 0;
}

BufNode* BufListAlloc(uint32_t u32Len, uint32_t u32Align) {
    if (u32Len > BUFLIST_MAX_LEN) {
        APP_ERR(kSrc, "len %d error\n", static_cast<int>(u32Len));
        return nullptr;
    }
    auto* pNode = static_cast<BufNode*>(std::calloc(1, sizeof(BufNode)));
    if (pNode == nullptr) {
        APP_ERR(kSrc, "malloc failed\n");
        return nullptr;
    }
    // 64-bit: a large alignment must not wrap the block size below the data it must hold.
    uint64_t u64Raw = static_cast<uint64_t>(u32Len) + u32Align;
    pNode->pu8Raw = u64Raw <= SIZE_MAX ? static_cast<uint8_t*>(std::malloc(u64Raw == 0 ? 1 : u64Raw)) : nullptr;
    if (pNode->pu8Raw == nullptr) {
        APP_ERR(kSrc, "malloc ptr failed\n");
        std::free(pNode);
        return nullptr;
    }
    pNode->u32Capacity = u32Len;
    pNode->pu8Aligned = pNode->pu8Raw;
    if (u32Align >= 2) {
        uintptr_t raw = reinterpret_cast<uintptr_t>(pNode->pu8Raw);
        pNode->pu8Aligned = pNode->pu8Raw + (u32Align - raw % u32Align);
    }
    return pNode;
}

namespace {

bool NodeUsable(const BufNode* pNode, const void* pSrc, uint32_t u32Len) {
    if (pNode == nullptr || u32Len > BUFLIST_MAX_LEN) {
        APP_ERR(kSrc, "node %p error\n", static_cast<const void*>(pNode));
        return false;
    }
    if (pNode->pu8Raw == nullptr || pNode->pu8Aligned == nullptr || pSrc == nullptr) {
        APP_ERR(kSrc, "node %p node->ptr %p ptrali %p src %p error\n", static_cast<const void*>(pNode),
                static_cast<void*>(pNode->pu8Raw), static_cast<void*>(pNode->pu8Aligned), pSrc);
        return false;
    }
    return true;
}

}  // namespace

int BufListCopy(BufNode* pNode, const void* pSrc, uint32_t u32Len) {
    if (!NodeUsable(pNode, pSrc, u32Len)) return -1;
    if (u32Len > pNode->u32Capacity) {
        APP_ERR(kSrc, "len %d size %d error\n", static_cast<int>(u32Len), static_cast<int>(pNode->u32Capacity));
        return -1;
    }
    std::memcpy(pNode->pu8Aligned, pSrc, u32Len);
    pNode->u32Pieces++;
    // The copy lands at the start: the data reaches as far as the longer of it and what was there.
    if (u32Len > pNode->u32Used) pNode->u32Used = u32Len;
    return 0;
}

int BufListCopyEx(BufNode* pNode, uint32_t u32Off, const void* pSrc, uint32_t u32Len) {
    if (!NodeUsable(pNode, pSrc, u32Len)) return -1;
    if (static_cast<uint64_t>(u32Off) + u32Len > pNode->u32Capacity) {
        APP_ERR(kSrc, "len %d off %d size %d error\n", static_cast<int>(u32Len), static_cast<int>(u32Off),
                static_cast<int>(pNode->u32Capacity));
        return -1;
    }
    std::memcpy(pNode->pu8Aligned + u32Off, pSrc, u32Len);
    pNode->u32Pieces++;
    pNode->u32Used += u32Len;
    return 0;
}

int BufListAdd2List(BufList* pList, BufNode* pNode) {
    if (pList == nullptr || pNode == nullptr) {
        APP_ERR(kSrc, "list %p node %p error\n", static_cast<void*>(pList), static_cast<void*>(pNode));
        return -1;
    }
    ListLock lock(pList);
    pNode->pNext = nullptr;
    pNode->pPrev = pList->pTail;
    if (pList->pTail != nullptr) pList->pTail->pNext = pNode;
    pList->pTail = pNode;
    if (pList->pHead == nullptr) pList->pHead = pNode;
    return 0;
}

BufNode* BufListGet(BufList* pList) {
    if (pList == nullptr) return nullptr;
    ListLock lock(pList);
    BufNode* pNode = pList->pHead;
    if (pNode == nullptr) {
        pList->pTail = nullptr;
        return nullptr;
    }
    if (pNode->u32Pieces == 0) return nullptr;
    pList->pHead = pNode->pNext;
    if (pList->pHead != nullptr) {
        pList->pHead->pPrev = nullptr;
    } else {
        pList->pTail = nullptr;
    }
    pNode->pNext = nullptr;
    pNode->pPrev = nullptr;
    return pNode;
}

int BufListFree(BufNode* pNode) {
    if (pNode == nullptr) {
        APP_ERR(kSrc, "BufListFree node %p\n", static_cast<void*>(pNode));
        return -1;
    }
    if (pNode->pu8Raw == nullptr) {
        APP_ERR(kSrc, "BufListFree node ptr %p\n", static_cast<void*>(pNode->pu8Raw));
        std::free(pNode);
        return -1;
    }
    std::free(pNode->pu8Raw);
    std::free(pNode);
    return 0;
}
