// The notice and acknowledgement checks: what the master says about its buffer (a notice to a
// receiver) or the slave's ring (an acknowledgement to a sender). Input: the buffer or ring size
// (2 bytes, 1 to 65536), then one message as read from a port. No channel or RAM: the buffer is plain
// memory of exactly that size, so a notice that reaches outside it shows under the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/pci/pciv_trans.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint32_t u32Size = (static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8)) + 1;
    data += 2;
    size -= 2;
    PCIV_MSG_S msg;
    std::memset(&msg, 0, sizeof(msg));
    if (size > sizeof(msg)) size = sizeof(msg);
    std::memcpy(&msg, data, size);
    // A read sets the length from the bytes that came; a short read is refused before the checks.
    if (size < sizeof(PCIV_MSG_HEAD_S)) return 0;
    msg.stMsgHead.u32MsgLen = static_cast<uint32_t>(size - sizeof(PCIV_MSG_HEAD_S));

    std::vector<uint8_t> buffer(u32Size);
    static PCIV_TRANS_RECEIVER_S recv;
    recv.pu8Addr = buffer.data();
    recv.u32Size = u32Size;
    uint8_t* pAddr = nullptr;
    uint32_t u32Len = 0;
    if (PCIV_Trans_TakeNotice(&recv, &msg, &pAddr, &u32Len) == 0) {
        // The data the notice names is used in place: every byte must lie in the buffer.
        unsigned sum = 0;
        for (uint32_t i = 0; i < u32Len; ++i) sum += pAddr[i];
        if (pAddr < buffer.data() || pAddr + u32Len > buffer.data() + u32Size) __builtin_trap();
        (void)sum;
    }

    static PCIV_TRANS_SENDER_S sender;
    sender.u32RemoteSize = u32Size;
    // What the sender has sent and not had acknowledged, two notices from the read position on, from
    // words the acknowledgement does not use.
    const uint32_t u32Read = msg.au32Payload[7] % (u32Size + 1);
    const uint32_t u32Mid = u32Read + msg.au32Payload[5] % (u32Size - u32Read + 1);
    const uint32_t u32Write = u32Mid + msg.au32Payload[8] % (u32Size - u32Mid + 1);
    sender.u32ReadPos = u32Read;
    sender.u32WritePos = u32Write;
    sender.held.assign({{u32Read, u32Mid}, {u32Mid, u32Write}});
    const bool bTaken = PCIV_Trans_TakeAck(&sender, &msg) == 0;
    if (!bTaken && (sender.u32ReadPos.load() != u32Read || sender.held.size() != 2)) __builtin_trap();
    // Taken, it freed the oldest notice, or both, and nothing past them.
    if (bTaken && !(sender.u32ReadPos.load() == u32Mid && sender.held.size() == 1) &&
        !(sender.u32ReadPos.load() == u32Write && sender.held.empty())) {
        __builtin_trap();
    }
    if (sender.u32ReadPos.load() > u32Size) __builtin_trap();
    // Wherever the acknowledgement left the read position, the next write stays inside the ring.
    uint32_t u32Want = msg.au32Payload[6] % (u32Size + 1);
    uint32_t u32Off = 0;
    if (Trans_GetWriteOffset(&sender, u32Want, &u32Off) == 0 &&
        static_cast<uint64_t>(u32Off) + u32Want > u32Size) {
        __builtin_trap();
    }
    return 0;
}
