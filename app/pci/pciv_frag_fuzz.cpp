// What the master puts in a decoder slot's buffer and its notices, through the receiver's step and into
// the decoder driver, and OSD records through theirs. Input: the buffer size (2 bytes, 72 to 65607),
// the number of notices (1 byte), that many 12-byte notices, then the buffer's bytes (as many as follow,
// zero-filled). Each notice is taken as a decoder fragment and as an OSD record. The buffer is plain
// memory of exactly its size, so a read outside it shows under the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/pci/pciv_recv.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

int32_t CheckTitle(uint32_t, uint32_t, const OSD_TITLE_S* t) {
    // The pixels the record promises are there to read.
    volatile uint8_t sum = 0;
    size_t n = 2u * t->u16Width * t->u16Height;
    for (size_t i = 0; i < n; i += 97) sum = sum + t->pu8Bitmap[i];
    if (n > 0) sum = sum + t->pu8Bitmap[n - 1];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::host::UsePrivateBus("fuzzfrag");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    varnelle::drivers::InstallVdecDriver();
    for (int c = 0; c < 4; ++c) {
        VDEC_CHN_ATTR_S a = {96, 1u << 20, 5, 1920, 1080, 2, 1, 0};
        MK_MPI_VDEC_CreateChn(c, &a);
        MK_MPI_VDEC_StartRecvStream(c);
        varnelle::drivers::VdecDriver::Get()->HoldDecoding(c, true);
    }
    SlaveSetOsdTitleHook(CheckTitle);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint32_t bufSize = 72 + (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8);
    size_t notices = std::min<size_t>(data[2], (size - 3) / 12);
    const uint8_t* pNotices = data + 3;
    const uint8_t* pBody = pNotices + 12 * notices;
    size_t body = size - 3 - 12 * notices;
    std::vector<uint8_t> buf(bufSize, 0);
    std::memcpy(buf.data(), pBody, std::min<size_t>(body, bufSize));
    PCIV_TRANS_RECEIVER_S recv;
    recv.pu8Addr = buf.data();
    recv.u32Size = bufSize;
    recv.s32Target = 0;
    static PCIV_TRANS_CHN_S slot;
    slot.s32Running = 1;
    // One frame buffer for every input: 2 MiB made and poisoned per input would be most of the work.
    static auto* ctx = static_cast<PcivVdecRecv*>(SlaveVdecStreamPrepare(&slot));
    if (ctx == nullptr) std::abort();
    ctx->u32Assembled = 0;
    ctx->bBroken = false;
    for (size_t i = 0; i < notices; ++i) {
        PCIV_TRANS_NOTICE_S n;
        std::memcpy(&n, pNotices + 12 * i, 12);
        bool refused = n.u32Start > n.u32End || n.u32End > bufSize;
        PcivVdecTakeFragment(&slot, ctx, &recv, n, refused);
        if (ctx->u32Assembled > PCIV_VDEC_FRAME_BUF) __builtin_trap();
        PcivOsdTakeRecord(&recv, n, refused);
    }
    for (int c = 0; c < 4; ++c) MK_MPI_VDEC_ResetChn(c);
    return 0;
}
