// The ring parser over whatever a ring holds: frame headers of every kind, lengths beyond the ring,
// wraps. Input: the ring size (4 bytes, taken modulo 16384, plus 1), the read and write offsets (4
// bytes each, modulo the size), the direction (1 byte, low bit), then the ring's bytes (zero-filled).
// Every node found lies in the ring; the feeding thread's search and the list's release run over it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/dec/avdec_internal.h"
#include "app/dec/vdec_feed.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    // The search restarts decoders: they are the simulated ones, on a bus of this program's own.
    varnelle::host::UsePrivateBus("fuzzring");
    varnelle::drivers::InstallVdecDriver();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 13) return 0;
    uint32_t w[3];
    std::memcpy(w, data, 12);
    uint32_t ringSize = w[0] % 16384 + 1;
    std::vector<uint8_t> ring(ringSize, 0);
    std::memcpy(ring.data(), data + 13, std::min<size_t>(size - 13, ringSize));
    const uint32_t c = 0;
    AVdecState* s = AVdecGetState();
    AVdecSetRing(c, ring.data(), ringSize);
    AVdecSizeTable(0).u32MaxW = 1920;
    AVdecSizeTable(0).u32MaxH = 1080;
    s->SetRec(c, REC_STREAM_ERR, 0);
    s->SetRec(c, REC_RING_READ, w[1] % ringSize);
    s->SetRec(c, REC_RING_WRITE, w[2] % ringSize);
    uint32_t dir = data[12] & 1;
    for (int pass = 0; pass < 2; ++pass) {
        getframeinfo(c, dir);
        AVdecState::Host& h = s->HostOf(c);
        pthread_mutex_lock(&h.mutex);
        const VDEC_FRAMEINFO* prev = nullptr;
        for (const VDEC_FRAMEINFO* p = h.pHead; p != nullptr; p = p->pNext) {
            if (p->u32Offset >= ringSize || p->u32Length >= ringSize || p->pPrev != prev) __builtin_trap();
            prev = p;
        }
        if (prev != h.pTail) __builtin_trap();
        s->SetRec(c, REC_DIRECTION, dir);
        search_IJ_frame(c);
        pthread_mutex_unlock(&h.mutex);
    }
    AVdecSetRing(c, nullptr, 0);
    return 0;
}
