// The packet pool as it was before its locks were reworked, kept only so the benchmark can measure the
// current pool against it in the same run: a pthread mutex around every pool operation, a mutex per
// packet around its count, and a level-by-level search for a free block. Same placement rule.
#pragma once

#include <cstdint>
#include <vector>

#include "base/mutex.h"

namespace bench {

class ReferencePacketPool;

class ReferencePacket {
public:
    uint8_t* GetBuffer() { return m_pBuffer; }
    uint32_t Release();

private:
    friend class ReferencePacketPool;
    uint8_t* m_pBuffer = nullptr;
    uint32_t m_Size = 0;
    uint32_t m_Length = 0;
    uint32_t m_RefCount = 0;
    CMutex m_mutex;
    uint8_t m_ExtraInfo[32] = {};
    uint8_t m_UserData[104] = {};
    ReferencePacket* m_pNextFree = nullptr;
    ReferencePacketPool* m_pOwner = nullptr;
};

class ReferencePacketPool {
public:
    explicit ReferencePacketPool(uint32_t sizeKB);
    ~ReferencePacketPool();
    ReferencePacketPool(const ReferencePacketPool&) = delete;
    ReferencePacketPool& operator=(const ReferencePacketPool&) = delete;

    ReferencePacket* GetPacket(uint32_t size);
    void PutPacket(ReferencePacket* packet);

private:
    struct Node {
        Node* next;
        Node* prev;
        int index;
    };
    struct Level {
        Node* nodes = nullptr;
        Node* head = nullptr;
    };
    ReferencePacket* AllocPacket();
    void FreePacket(ReferencePacket* p);
    void Push(int level, Node* node);
    void Unlink(int level, Node* node);

    std::vector<uint8_t> m_arena;
    uint8_t* m_pBase = nullptr;
    CMutex m_mutex;
    Level m_levels[32];
    int m_nLevels = 0;
    int m_nTotal = 0;
    ReferencePacket* m_pFreePackets = nullptr;
    std::vector<ReferencePacket*> m_packetArrays;
};

}  // namespace bench
