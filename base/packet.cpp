#include "base/packet.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/internal/check.h"
#include "base/thread.h"
#include "base/time.h"

namespace {

constexpr int kPacketsPerArray = 1024;

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

int FloorLog2(uint64_t v) {
    int l = 0;
    while (v > 1) {
        v >>= 1;
        ++l;
    }
    return l;
}

}  // namespace

using Guard = std::lock_guard<varnelle::base::internal::SpinLock>;

uint32_t CPacketImp::PutBuffer(const void* data, uint32_t len) {
    if (data == nullptr) return 0;
    Guard guard(m_lock);
    uint32_t n = m_Size - m_Length;
    if (len < n) n = len;
    if (n != 0) std::memcpy(m_pBuffer + m_Length, data, n);
    m_Length += n;
    return n;
}

uint32_t CPacketImp::SetLength(uint32_t dwLength) {
    VARNELLE_CHECK(dwLength <= m_Size, "Source/Packet");
    Guard guard(m_lock);
    m_Length = dwLength;
    return dwLength;
}

uint32_t CPacketImp::GetLength() {
    Guard guard(m_lock);
    return m_Length;
}

uint32_t CPacketImp::GetLeft() {
    Guard guard(m_lock);
    return m_Size - m_Length;
}

void CPacketImp::ClearUserData() {
    std::memset(m_UserData, 0, sizeof m_UserData);
}

uint32_t CPacketImp::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t CPacketImp::GetRef() {
    return m_RefCount.load(std::memory_order_relaxed);
}

uint32_t CPacketImp::Release() {
    uint32_t count = m_RefCount.load(std::memory_order_acquire);
    for (;;) {
        if (count == 0) {
            std::printf("CPacketImp::Release() reffrence count error pid %d \n", CThread::GetCurrentTid());
            std::printf("m_RefCount is %d m_Length is %d m_Size is %d \r\n", static_cast<int>(count),
                        static_cast<int>(GetLength()), static_cast<int>(m_Size));
            VARNELLE_CHECK(m_RefCount > 0, "Source/Packet");
        }
        if (count == 1) {
            // The caller holds the only reference, so no other thread may touch the count: no atomic
            // read-modify-write is needed, and the acquire above ordered every earlier release.
            m_RefCount.store(0, std::memory_order_relaxed);
            m_pOwner->PutPacket(this);
            return 0;
        }
        if (m_RefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
            return count - 1;
    }
}

void CPacketImp::GetExtraInfo(void* out) {
    if (out == nullptr) return;
    Guard guard(m_lock);
    std::memcpy(out, m_ExtraInfo, sizeof m_ExtraInfo);
}

void CPacketImp::SetExtraInfo(const void* in) {
    if (in == nullptr) return;
    Guard guard(m_lock);
    std::memcpy(m_ExtraInfo, in, sizeof m_ExtraInfo);
}

void* CPacketManagerImp::sm_packetBuf = nullptr;
uint32_t CPacketManagerImp::sm_packetSizeKB = CPacketManagerImp::kDefaultSizeKB;

void CPacketManagerImp::config(void* buffer, uint32_t sizeKB) {
    sm_packetBuf = buffer;
    sm_packetSizeKB = sizeKB;
}

CPacketManagerImp* CPacketManagerImp::instance() {
    // Never destroyed: packets may be released by detached threads while the process exits.
    static CPacketManagerImp* pool = new CPacketManagerImp(sm_packetBuf, sm_packetSizeKB);
    return pool;
}

CPacketManagerImp::CPacketManagerImp(void* buffer, uint32_t sizeKB) {
    std::puts("CPacketManagerImp::CPacketManagerImp()>>>>>>>>>");
    if (sizeKB < kMinSizeKB || sizeKB > static_cast<uint32_t>(INT_MAX)) {
        std::printf("CPacketManagerImp::CPacketManagerImp() arena of %uK refused, it must hold %uK to %dK\n",
                    sizeKB, kMinSizeKB, INT_MAX);
        return;
    }
    if (buffer != nullptr) {
        std::printf("sm_packetBuf:%p, use external memory!\n", buffer);
        m_pRaw = static_cast<uint8_t*>(buffer);
    } else {
        std::puts("sm_packetBuf null use self heap memory!");
        m_pRaw = new (std::nothrow) uint8_t[static_cast<size_t>(sizeKB) * kUnit];
        if (m_pRaw == nullptr) {
            std::printf("CPacketManagerImp::CPacketManagerImp() new buffer[%u] failed!!!!\n", sizeKB);
            return;
        }
        m_bOwnBuffer = true;
    }
    m_nTotal = static_cast<int>(sizeKB);
    auto raw = reinterpret_cast<uintptr_t>(m_pRaw);
    auto base = (raw + kUnit - 1) / kUnit * kUnit;
    m_pBase = reinterpret_cast<uint8_t*>(base);
    if (base != raw) {
        std::puts("Adjust Page!");
        m_nTotal -= 1;
    }

    const auto total = static_cast<uint64_t>(m_nTotal);
    int n = m_nTotal + (m_nTotal & 1);
    for (int level = 0; level < kMaxLevels && total >= (uint64_t{1} << level); ++level) {
        Node* nodes = new (std::nothrow) Node[static_cast<size_t>(n)];
        if (nodes == nullptr) {
            std::puts("CPacketManagerImp::CPacketManagerImp() new nodes failed!!!!");
            break;
        }
        for (int i = 0; i < n; ++i) nodes[i] = Node{nullptr, nullptr, i};
        m_levels[level].nodes = nodes;
        m_levels[level].count = n;
        m_nLevels = level + 1;
        // The free blocks at start tile the arena exactly, largest first.
        if ((total >> level) & 1) Push(level, &nodes[(total >> level) - 1]);
        n = n / 2;
        n += n & 1;
    }

    GrowPackets(m_nTotal / 16);
    DumpUsage();
}

CPacketManagerImp::~CPacketManagerImp() {
    for (CPacketImp* packets : m_packetArrays) delete[] packets;
    for (Level& level : m_levels) delete[] level.nodes;
    if (m_bOwnBuffer) delete[] m_pRaw;
}

inline void CPacketManagerImp::Push(int level, Node* node) {
    Node*& head = m_levels[level].head;
    if (head == nullptr) {
        node->next = node;
        node->prev = node;
        m_nonEmptyLevels |= 1u << level;
    } else {
        node->next = head;
        node->prev = head->prev;
        head->prev->next = node;
        head->prev = node;
    }
    head = node;
}

inline void CPacketManagerImp::Unlink(int level, Node* node) {
    Node*& head = m_levels[level].head;
    if (node->next == node) {
        head = nullptr;
        m_nonEmptyLevels &= ~(1u << level);
    } else {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        if (head == node) head = node->next;
    }
    node->next = nullptr;
    node->prev = nullptr;
}

CPacketImp* CPacketManagerImp::GrowPackets(int count) {
    if (count <= 0) return nullptr;
    auto* packets = new (std::nothrow) CPacketImp[static_cast<size_t>(count)];
    if (packets == nullptr) return nullptr;
    Guard guard(m_lock);
    m_packetArrays.push_back(packets);
    // Room for every object the pool owns, so a free never allocates. Stacked so the array's first
    // object is handed out first.
    m_freePackets.reserve(m_packetArrays.size() * kPacketsPerArray);
    for (int i = count - 1; i >= 0; --i) FreePacket(&packets[i]);
    return packets;
}

inline CPacketImp* CPacketManagerImp::AllocPacket() {
    if (m_freePackets.empty()) return nullptr;
    CPacketImp* p = m_freePackets.back();
    m_freePackets.pop_back();
    return p;
}

inline void CPacketManagerImp::FreePacket(CPacketImp* p) {
    VARNELLE_CHECK(p != nullptr, "Source/Packet");
    m_freePackets.push_back(p);
}

CPacketImp* CPacketManagerImp::GetPacket(uint32_t size) {
    // In 64 bits: rounding a size near 4 GiB up to whole units must not wrap.
    const uint64_t units = (static_cast<uint64_t>(size) + kUnit - 1) / kUnit;
    const int level = size == 0 ? 0 : FloorLog2(units) + (IsPowerOfTwo(units) ? 0 : 1);
    // A block's byte size must also fit the packet's 32-bit size.
    const bool fits = units <= static_cast<uint64_t>(m_nTotal) && (uint64_t{kUnit} << level) <= UINT32_MAX;
    for (;;) {
        CPacketImp* p;
        int found = -1;
        int index = 0;
        {
            Guard guard(m_lock);
            p = AllocPacket();
            if (p != nullptr && size != 0) {
                const uint32_t candidates = fits ? m_nonEmptyLevels & (~0u << level) : 0;
                if (candidates != 0) {
                    found = __builtin_ctz(candidates);
                    Node* node = m_levels[found].head;
                    Unlink(found, node);
                    index = node->index;
                    // Keep the left half at each split; the right half becomes free.
                    for (int k = found - 1; k >= level; --k) {
                        index *= 2;
                        Push(k, &m_levels[k].nodes[index + 1]);
                    }
                } else {
                    FreePacket(p);
                }
            }
        }
        if (p == nullptr) {
            // Out of packet objects: a new array, allocated and announced outside the lock.
            CPacketImp* grown = GrowPackets(kPacketsPerArray);
            if (grown == nullptr) {
                std::puts("CPacketManagerImp::GetPacket packet error!!!!!!");
                return nullptr;
            }
            std::fprintf(stderr, "==>CPacketManagerImp: allocate buffer:%p size:%zu\n", static_cast<void*>(grown),
                         sizeof(CPacketImp) * kPacketsPerArray);
            continue;
        }
        if (size != 0 && found < 0) {
            std::puts("@@@@@@@@@@@@@CPacketManagerImp::GetPacket none free node!!!!!!");
            return nullptr;
        }
        // The object is this caller's alone from here on.
        p->m_RefCount.store(1, std::memory_order_relaxed);
        p->m_Length = 0;
        p->m_pOwner = this;
        p->m_Size = size == 0 ? 0 : static_cast<uint32_t>(uint64_t{kUnit} << level);
        p->m_pBuffer = size == 0 ? nullptr : m_pBase + (static_cast<size_t>(index) << level) * kUnit;
        return p;
    }
}

void CPacketManagerImp::PutPacket(CPacketImp* packet) {
    VARNELLE_CHECK(packet != nullptr && "p", "Source/Packet");
    int level = 0, index = 0;
    const bool hasBlock = packet->m_Size != 0 && packet->m_pBuffer != nullptr;
    if (hasBlock) {
        level = FloorLog2(packet->m_Size / kUnit);
        index = static_cast<int>(static_cast<size_t>(packet->m_pBuffer - m_pBase) / kUnit >> level);
    }
    packet->m_pBuffer = nullptr;
    packet->m_Size = 0;
    Guard guard(m_lock);
    if (hasBlock) {
        while (level < m_nLevels - 1) {
            Node* buddy = &m_levels[level].nodes[index ^ 1];
            if (buddy->prev == nullptr) break;
            Unlink(level, buddy);
            ++level;
            index /= 2;
        }
        Push(level, &m_levels[level].nodes[index]);
    }
    FreePacket(packet);
}

int CPacketManagerImp::FreeKBLocked() const {
    int64_t free = 0;
    for (int level = 0; level < m_nLevels; ++level) {
        const Node* head = m_levels[level].head;
        if (head == nullptr) continue;
        const Node* n = head;
        do {
            free += int64_t{1} << level;
            n = n->next;
        } while (n != head);
    }
    return static_cast<int>(free);
}

int CPacketManagerImp::GetFreeKB() {
    Guard guard(m_lock);
    return FreeKBLocked();
}

std::vector<std::vector<int>> CPacketManagerImp::GetFreeNodes() {
    Guard guard(m_lock);
    std::vector<std::vector<int>> lists(static_cast<size_t>(m_nLevels));
    for (int level = 0; level < m_nLevels; ++level) {
        const Node* head = m_levels[level].head;
        if (head == nullptr) continue;
        const Node* n = head;
        do {
            lists[static_cast<size_t>(level)].push_back(n->index);
            n = n->next;
        } while (n != head);
    }
    return lists;
}

void CPacketManagerImp::DumpUsage() {
    int64_t free;
    {
        Guard guard(m_lock);
        free = FreeKBLocked();
    }
    // Printed outside the lock, which other threads spin on.
    const int64_t total = m_nTotal;
    // A pool that was refused has no units at all.
    const int percent = total > 0 ? static_cast<int>(100 - 100 * free / total) : 0;
    std::printf("Packet usage : %dK / %dK, %d%%\n", static_cast<int>(total - free), static_cast<int>(total),
                percent);
    CTime now;
    SystemGetCurrentTime(&now);
    std::printf("\n----------------------[%02d-%02d %02d:%02d:%02d]\n", now.month, now.day, now.hour,
                now.minute, now.second);
}

void CPacketManagerImp::DumpFreeNodes() {
    const std::vector<std::vector<int>> lists = GetFreeNodes();
    std::puts("______________________________");
    for (size_t level = 0; level < lists.size(); ++level) {
        std::printf("%4d : ", 1 << level);
        for (int index : lists[level]) std::printf("%d ", index);
        std::printf("\n");
    }
    std::printf("\n");
}

CPacketManager::CPacketManager() : m_pImp(CPacketManagerImp::instance()) {}

CPacketManager* CPacketManager::instance() {
    static CPacketManager* front = new CPacketManager;
    return front;
}

void DumpPacketUsage() {
    CPacketManagerImp::instance()->DumpUsage();
}
void DumpPacketNodes() {
    CPacketManagerImp::instance()->DumpFreeNodes();
}
