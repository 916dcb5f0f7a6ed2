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

uint32_t CPacketImp::PutBuffer(const void* data, uint32_t len) {
    if (data == nullptr) return 0;
    CGuard guard(m_mutex);
    uint32_t n = m_Size - m_Length;
    if (len < n) n = len;
    if (n != 0) std::memcpy(m_pBuffer + m_Length, data, n);
    m_Length += n;
    return n;
}

uint32_t CPacketImp::SetLength(uint32_t dwLength) {
    VARNELLE_CHECK(dwLength <= m_Size, "Source/Packet");
    CGuard guard(m_mutex);
    m_Length = dwLength;
    return dwLength;
}

uint32_t CPacketImp::GetLength() {
    CGuard guard(m_mutex);
    return m_Length;
}

uint32_t CPacketImp::GetLeft() {
    CGuard guard(m_mutex);
    return m_Size - m_Length;
}

void CPacketImp::ClearUserData() {
    std::memset(m_UserData, 0, sizeof m_UserData);
}

uint32_t CPacketImp::AddRef() {
    CGuard guard(m_mutex);
    return ++m_RefCount;
}

uint32_t CPacketImp::GetRef() {
    CGuard guard(m_mutex);
    return m_RefCount;
}

uint32_t CPacketImp::Release() {
    uint32_t count;
    {
        CGuard guard(m_mutex);
        if (m_RefCount == 0) {
            std::printf("CPacketImp::Release() reffrence count error pid %d \n", CThread::GetCurrentTid());
            std::printf("m_RefCount is %d m_Length is %d m_Size is %d \r\n", static_cast<int>(m_RefCount),
                        static_cast<int>(m_Length), static_cast<int>(m_Size));
        }
        VARNELLE_CHECK(m_RefCount > 0, "Source/Packet");
        count = --m_RefCount;
    }
    // The packet's own mutex is released before the pool's is taken.
    if (count == 0) m_pOwner->PutPacket(this);
    return count;
}

void CPacketImp::GetExtraInfo(void* out) {
    if (out == nullptr) return;
    CGuard guard(m_mutex);
    std::memcpy(out, m_ExtraInfo, sizeof m_ExtraInfo);
}

void CPacketImp::SetExtraInfo(const void* in) {
    if (in == nullptr) return;
    CGuard guard(m_mutex);
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

    int preallocated = m_nTotal / 16;
    if (preallocated > 0) {
        auto* packets = new CPacketImp[static_cast<size_t>(preallocated)];
        m_packetArrays.push_back(packets);
        for (int i = preallocated - 1; i >= 0; --i) FreePacket(&packets[i]);
    }
    DumpUsage();
}

CPacketManagerImp::~CPacketManagerImp() {
    for (CPacketImp* packets : m_packetArrays) delete[] packets;
    for (Level& level : m_levels) delete[] level.nodes;
    if (m_bOwnBuffer) delete[] m_pRaw;
}

void CPacketManagerImp::Push(int level, Node* node) {
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

void CPacketManagerImp::Unlink(int level, Node* node) {
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

CPacketImp* CPacketManagerImp::AllocPacket() {
    if (m_pFreePackets == nullptr) {
        auto* packets = new (std::nothrow) CPacketImp[kPacketsPerArray];
        if (packets == nullptr) return nullptr;
        std::fprintf(stderr, "==>CPacketManagerImp: allocate buffer:%p size:%zu\n",
                     static_cast<void*>(packets), sizeof(CPacketImp) * kPacketsPerArray);
        m_packetArrays.push_back(packets);
        for (int i = kPacketsPerArray - 1; i >= 1; --i) FreePacket(&packets[i]);
        return &packets[0];
    }
    CPacketImp* p = m_pFreePackets;
    m_pFreePackets = p->m_pNextFree;
    p->m_pNextFree = nullptr;
    return p;
}

void CPacketManagerImp::FreePacket(CPacketImp* p) {
    VARNELLE_CHECK(p != nullptr, "Source/Packet");
    p->m_pNextFree = m_pFreePackets;
    m_pFreePackets = p;
}

CPacketImp* CPacketManagerImp::GetPacket(uint32_t size) {
    CGuard guard(m_mutex);
    CPacketImp* p = AllocPacket();
    if (p == nullptr) {
        std::puts("CPacketManagerImp::GetPacket packet error!!!!!!");
        return nullptr;
    }
    p->m_RefCount = 1;
    p->m_pBuffer = nullptr;
    p->m_Size = 0;
    p->m_Length = 0;
    p->m_pOwner = this;
    if (size == 0) return p;

    // In 64 bits: rounding a size near 4 GiB up to whole units must not wrap.
    const uint64_t units = (static_cast<uint64_t>(size) + kUnit - 1) / kUnit;
    int level = FloorLog2(units) + (IsPowerOfTwo(units) ? 0 : 1);
    int found = -1;
    // A block's byte size must also fit the packet's 32-bit size.
    if (units <= static_cast<uint64_t>(m_nTotal) && (uint64_t{kUnit} << level) <= UINT32_MAX) {
        for (int j = level; j < m_nLevels; ++j) {
            if (m_levels[j].head != nullptr) {
                found = j;
                break;
            }
        }
    }
    if (found < 0) {
        std::puts("@@@@@@@@@@@@@CPacketManagerImp::GetPacket none free node!!!!!!");
        FreePacket(p);
        return nullptr;
    }
    Node* node = m_levels[found].head;
    Unlink(found, node);
    int index = node->index;
    // Keep the left half at each split; the right half becomes free.
    for (int k = found - 1; k >= level; --k) {
        index *= 2;
        Push(k, &m_levels[k].nodes[index + 1]);
    }
    p->m_Size = static_cast<uint32_t>(uint64_t{kUnit} << level);
    p->m_pBuffer = m_pBase + (static_cast<size_t>(index) << level) * kUnit;
    return p;
}

void CPacketManagerImp::PutPacket(CPacketImp* packet) {
    CGuard guard(m_mutex);
    if (packet != nullptr && packet->m_Size != 0 && packet->m_pBuffer != nullptr) {
        int level = FloorLog2(packet->m_Size / kUnit);
        int index = static_cast<int>(static_cast<size_t>(packet->m_pBuffer - m_pBase) / kUnit >> level);
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
    CGuard guard(m_mutex);
    return FreeKBLocked();
}

std::vector<std::vector<int>> CPacketManagerImp::GetFreeNodes() {
    CGuard guard(m_mutex);
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
    CGuard guard(m_mutex);
    const int64_t free = FreeKBLocked();
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
    CGuard guard(m_mutex);
    std::puts("______________________________");
    for (int level = 0; level < m_nLevels; ++level) {
        std::printf("%4d : ", 1 << level);
        const Node* head = m_levels[level].head;
        if (head != nullptr) {
            const Node* n = head;
            do {
                std::printf("%d ", n->index);
                n = n->next;
            } while (n != head);
        }
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
