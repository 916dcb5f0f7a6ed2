// The packet pool: reference-counted data buffers carved from one arena by a buddy allocator in
// power-of-two runs of 1 KiB units. A packet holds at least the requested size, its buffer is 1 KiB
// aligned, its count starts at 1, and packet and buffer go back to the pool when the count reaches 0.
// CPacketManager::instance is the process-wide pool; it is created on first use and never destroyed.
//
// Locking: each pool operation holds the pool's spin lock once, for a handful of list operations (a
// bitmask of non-empty levels finds the free block); a packet's count is atomic, so only the last
// Release reaches the pool. Packet objects come in arrays of 1024 that are allocated outside the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/internal/spin_lock.h"

class CPacketManagerImp;

class CPacket {
public:
    virtual ~CPacket() = default;
    // Appends up to the free space; returns the bytes copied.
    virtual uint32_t PutBuffer(const void* data, uint32_t len) = 0;
    virtual uint8_t* GetBuffer() = 0;
    // len must not exceed GetSize().
    virtual uint32_t SetLength(uint32_t len) = 0;
    virtual uint32_t GetLength() = 0;
    virtual uint32_t GetSize() = 0;
    virtual uint32_t GetLeft() = 0;
    virtual void* GetUserData() = 0;
    virtual void ClearUserData() = 0;
    // Drops one reference; at 0 the packet goes back to its pool and must not be used again.
    virtual uint32_t Release() = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t GetRef() = 0;
};

class CPacketImp : public CPacket {
public:
    static constexpr size_t kExtraInfoSize = 32;
    static constexpr size_t kUserDataSize = 104;

    uint32_t PutBuffer(const void* data, uint32_t len) override;
    uint8_t* GetBuffer() override { return m_pBuffer; }
    uint32_t SetLength(uint32_t len) override;
    uint32_t GetLength() override;
    uint32_t GetSize() override { return m_Size; }
    uint32_t GetLeft() override;
    void* GetUserData() override { return m_UserData; }
    void ClearUserData() override;
    uint32_t Release() override;
    uint32_t AddRef() override;
    uint32_t GetRef() override;

    // Copy the 32 bytes of extra information out or in; null does nothing.
    void GetExtraInfo(void* out);
    void SetExtraInfo(const void* in);

private:
    friend class CPacketManagerImp;
    CPacketImp() = default;

    uint8_t* m_pBuffer = nullptr;  // inside the arena; null for a packet of size 0
    uint32_t m_Size = 0;           // power of two times 1024, or 0
    uint32_t m_Length = 0;         // guarded by m_lock
    std::atomic<uint32_t> m_RefCount{0};
    varnelle::base::internal::SpinLock m_lock;
    uint8_t m_ExtraInfo[kExtraInfoSize] = {};  // guarded by m_lock
    uint8_t m_UserData[kUserDataSize] = {};
    CPacketManagerImp* m_pOwner = nullptr;
};

class CPacketManagerImp {
public:
    static constexpr uint32_t kUnit = 1024;
    static constexpr uint32_t kDefaultSizeKB = 4096;
    // Below this the pool refuses to build: it would hold no packet objects.
    static constexpr uint32_t kMinSizeKB = 16;
    static constexpr int kMaxLevels = 32;

    // The pool used by instance(). Configure before the first instance() call; buffer null makes the
    // pool allocate its own arena of sizeKB KiB.
    static void config(void* buffer, uint32_t sizeKB);
    static CPacketManagerImp* instance();

    // A pool over buffer (sizeKB KiB) or, with buffer null, over an arena of its own. A pool that
    // could not be built (size below 16 KiB, no memory) refuses every request of a nonzero size.
    CPacketManagerImp(void* buffer, uint32_t sizeKB);
    virtual ~CPacketManagerImp();
    CPacketManagerImp(const CPacketManagerImp&) = delete;
    CPacketManagerImp& operator=(const CPacketManagerImp&) = delete;

    // A packet of at least size bytes with count 1, or null.
    CPacketImp* GetPacket(uint32_t size);
    void PutPacket(CPacketImp* packet);
    int GetTotalKB() const { return m_nTotal; }
    int GetLevelCount() const { return m_nLevels; }
    uint8_t* GetBase() const { return m_pBase; }
    // KiB currently free.
    int GetFreeKB();
    // Per level, the block indexes on its free list from the head.
    std::vector<std::vector<int>> GetFreeNodes();
    void DumpUsage();
    void DumpFreeNodes();

private:
    struct Node {
        Node* next;
        Node* prev;  // null exactly when the block is not free
        int index;
    };
    struct Level {
        Node* nodes = nullptr;
        Node* head = nullptr;
        int count = 0;
    };

    // Caller holds m_lock.
    CPacketImp* AllocPacket();
    void FreePacket(CPacketImp* p);
    void Push(int level, Node* node);
    void Unlink(int level, Node* node);
    int FreeKBLocked() const;
    // Adds an array of count packet objects to the free list, allocated outside m_lock; the array, or
    // null when no memory was left.
    CPacketImp* GrowPackets(int count);

    uint8_t* m_pRaw = nullptr;  // the arena as given or allocated
    bool m_bOwnBuffer = false;
    uint8_t* m_pBase = nullptr;  // arena rounded up to a 1 KiB boundary
    int m_nLevels = 0;           // fixed after construction
    int m_nTotal = 0;            // units in the pool
    // What the lock guards most often shares its cache line, which moves from core to core with the
    // lock: the level mask, the packet-object stack and the smallest levels.
    alignas(64) varnelle::base::internal::SpinLock m_lock;
    uint32_t m_nonEmptyLevels = 0;  // guarded by m_lock; bit L set while level L has a free block
    // The free packet objects as a stack of pointers, most recently freed last: popping never reads
    // the packet object itself (whose line is another thread's) while the lock is held.
    std::vector<CPacketImp*> m_freePackets;  // guarded by m_lock
    Level m_levels[kMaxLevels];              // guarded by m_lock
    std::vector<CPacketImp*> m_packetArrays;  // guarded by m_lock

    static void* sm_packetBuf;
    static uint32_t sm_packetSizeKB;
};

// The public front of the process-wide pool.
class CPacketManager {
public:
    static CPacketManager* instance();
    static void config(void* buffer, uint32_t sizeKB) { CPacketManagerImp::config(buffer, sizeKB); }
    virtual ~CPacketManager() = default;
    CPacketImp* GetPacket(uint32_t size) { return m_pImp->GetPacket(size); }

private:
    CPacketManager();
    CPacketManagerImp* m_pImp;
};

void DumpPacketUsage();
void DumpPacketNodes();
