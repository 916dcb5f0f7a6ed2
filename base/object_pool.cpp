#include "base/object_pool.h"

#include <cstdlib>
#include <cstring>

CObjectPool::CObjectPool(uint32_t elementSize)
    : m_dwElemSize(elementSize < 4 ? 4 : elementSize),
      m_dwStride(static_cast<uint32_t>((m_dwElemSize + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*))) {}

CObjectPool::~CObjectPool() {
    Block* b = m_pBlocks;
    while (b != nullptr) {
        Block* next = b->next;
        std::free(b);
        b = next;
    }
}

bool CObjectPool::GrowLocked() {
    size_t bytes = sizeof(Block) + static_cast<size_t>(m_dwStride) * m_dwPerBlock;
    auto* block = static_cast<Block*>(std::malloc(bytes));
    if (block == nullptr) return false;
    auto* first = reinterpret_cast<char*>(block + 1);
    block->first = first;
    block->next = m_pBlocks;
    m_pBlocks = block;
    for (uint32_t i = 0; i < m_dwPerBlock; ++i) {
        char* elem = first + static_cast<size_t>(i) * m_dwStride;
        void* next = (i + 1 < m_dwPerBlock) ? elem + m_dwStride : m_pFree;
        std::memcpy(elem, &next, sizeof next);
    }
    m_pFree = first;
    return true;
}

bool CObjectPool::Grow() {
    CGuard guard(m_mutex);
    return GrowLocked();
}

void* CObjectPool::Alloc() {
    CGuard guard(m_mutex);
    if (m_pFree == nullptr && !GrowLocked()) return nullptr;
    void* elem = m_pFree;
    std::memcpy(&m_pFree, elem, sizeof m_pFree);
    return elem;
}

void CObjectPool::Free(void* elem) {
    if (elem == nullptr) return;
    CGuard guard(m_mutex);
    std::memcpy(elem, &m_pFree, sizeof m_pFree);
    m_pFree = elem;
}

void CObjectPool::SetBlockCount(uint32_t n) {
    if (n == 0) return;
    CGuard guard(m_mutex);
    m_dwPerBlock = n;
}

uint32_t CObjectPool::GetBlockCount() {
    CGuard guard(m_mutex);
    return m_dwPerBlock;
}
