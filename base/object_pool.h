// CObjectPool: fixed-size elements handed out from large blocks through a free list.
// Safe from any thread. Elements come back uncleared and last-freed first; blocks are returned to
// the system only when the pool is destroyed.
#pragma once

#include <cstdint>

#include "base/mutex.h"

class CObjectPool {
public:
    // Sizes below 4 become 4 (a free element keeps its link in its first word); the size is also
    // rounded up to keep every element pointer-aligned.
    explicit CObjectPool(uint32_t elementSize);
    ~CObjectPool();
    CObjectPool(const CObjectPool&) = delete;
    CObjectPool& operator=(const CObjectPool&) = delete;

    // Null only when the system refuses a new block.
    void* Alloc();
    // elem must come from this pool's Alloc; null is ignored.
    void Free(void* elem);
    // Adds one block to the free list.
    bool Grow();
    // Elements per later block; 0 is refused.
    void SetBlockCount(uint32_t n);
    uint32_t GetBlockCount();
    uint32_t GetElementSize() const { return m_dwElemSize; }

private:
    struct Block {
        void* first;
        Block* next;
    };
    bool GrowLocked();

    Block* m_pBlocks = nullptr;    // guarded by m_mutex; newest first
    const uint32_t m_dwElemSize;   // requested size, at least 4
    uint32_t m_dwStride;           // element spacing in a block
    uint32_t m_dwPerBlock = 1024;  // guarded by m_mutex
    void* m_pFree = nullptr;       // guarded by m_mutex
    CMutex m_mutex;
};
