#include "bench/base_core/reference_packet_pool.h"

namespace bench {
namespace {

int FloorLog2(uint64_t v) {
    int l = 0;
    while (v > 1) {
        v >>= 1;
        ++l;
    }
    return l;
}

}  // namespace

uint32_t ReferencePacket::Release() {
    uint32_t count;
    {
        CGuard guard(m_mutex);
        count = --m_RefCount;
    }
    if (count == 0) m_pOwner->PutPacket(this);
    return count;
}

ReferencePacketPool::ReferencePacketPool(uint32_t sizeKB) : m_arena(static_cast<size_t>(sizeKB) * 1024) {
    // As the pool does with a heap arena: round up to 1 KiB and lose a unit when that moved the base.
    auto raw = reinterpret_cast<uintptr_t>(m_arena.data());
    auto base = (raw + 1023) / 1024 * 1024;
    m_pBase = reinterpret_cast<uint8_t*>(base);
    m_nTotal = static_cast<int>(sizeKB) - (base != raw ? 1 : 0);
    const auto total = static_cast<uint64_t>(m_nTotal);
    int n = m_nTotal + (m_nTotal & 1);
    for (int level = 0; level < 32 && total >= (uint64_t{1} << level); ++level) {
        Node* nodes = new Node[static_cast<size_t>(n)];
        for (int i = 0; i < n; ++i) nodes[i] = Node{nullptr, nullptr, i};
        m_levels[level].nodes = nodes;
        m_nLevels = level + 1;
        if ((total >> level) & 1) Push(level, &nodes[(total >> level) - 1]);
        n = n / 2;
        n += n & 1;
    }
}

ReferencePacketPool::~ReferencePacketPool() {
    for (ReferencePacket* packets : m_packetArrays) delete[] packets;
    for (Level& level : m_levels) delete[] level.nodes;
}

void ReferencePacketPool::Push(int level, Node* node) {
    Node*& head = m_levels[level].head;
    if (head == nullptr) {
        node->next = node;
        node->prev = node;
    } else {
        node->next = head;
        node->prev = head->prev;
        head->prev->next = node;
        head->prev = node;
    }
    head = node;
}

void ReferencePacketPool::Unlink(int level, Node* node) {
    Node*& head = m_levels[level].head;
    if (node->next == node) {
        head = nullptr;
    } else {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        if (head == node) head = node->next;
    }
    node->next = nullptr;
    node->prev = nullptr;
}

ReferencePacket* ReferencePacketPool::AllocPacket() {
    if (m_pFreePackets == nullptr) {
        auto* packets = new ReferencePacket[1024];
        m_packetArrays.push_back(packets);
        for (int i = 1023; i >= 1; --i) FreePacket(&packets[i]);
        return &packets[0];
    }
    ReferencePacket* p = m_pFreePackets;
    m_pFreePackets = p->m_pNextFree;
    p->m_pNextFree = nullptr;
    return p;
}

void ReferencePacketPool::FreePacket(ReferencePacket* p) {
    p->m_pNextFree = m_pFreePackets;
    m_pFreePackets = p;
}

ReferencePacket* ReferencePacketPool::GetPacket(uint32_t size) {
    CGuard guard(m_mutex);
    ReferencePacket* p = AllocPacket();
    p->m_RefCount = 1;
    p->m_pBuffer = nullptr;
    p->m_Size = 0;
    p->m_Length = 0;
    p->m_pOwner = this;
    if (size == 0) return p;
    const uint64_t units = (static_cast<uint64_t>(size) + 1023) / 1024;
    int level = FloorLog2(units) + ((units & (units - 1)) == 0 ? 0 : 1);
    int found = -1;
    if (units <= static_cast<uint64_t>(m_nTotal)) {
        for (int j = level; j < m_nLevels; ++j) {
            if (m_levels[j].head != nullptr) {
                found = j;
                break;
            }
        }
    }
    if (found < 0) {
        FreePacket(p);
        return nullptr;
    }
    Node* node = m_levels[found].head;
    Unlink(found, node);
    int index = node->index;
    for (int k = found - 1; k >= level; --k) {
        index *= 2;
        Push(k, &m_levels[k].nodes[index + 1]);
    }
    p->m_Size = static_cast<uint32_t>(uint64_t{1024} << level);
    p->m_pBuffer = m_pBase + (static_cast<size_t>(index) << level) * 1024;
    return p;
}

void ReferencePacketPool::PutPacket(ReferencePacket* packet) {
    CGuard guard(m_mutex);
    if (packet->m_Size != 0 && packet->m_pBuffer != nullptr) {
        int level = FloorLog2(packet->m_Size / 1024);
        int index = static_cast<int>(static_cast<size_t>(packet->m_pBuffer - m_pBase) / 1024 >> level);
        while (level < m_nLevels - 1) {
            Node* buddy = &m_levels[level].nodes[index ^ 1];
            if (buddy->prev == nullptr) break;
            Unlink(level, buddy);
            ++level;
            index /= 2;
        }
        Push(level, &m_levels[level].nodes[index]);
        packet->m_pBuffer = nullptr;
        packet->m_Size = 0;
    }
    FreePacket(packet);
}

}  // namespace bench
