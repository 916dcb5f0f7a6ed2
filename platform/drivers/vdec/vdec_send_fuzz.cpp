// Any bytes as an H.264 stream sent to a decoder channel, cut into packets as the first byte chooses:
// nothing reads or writes outside its buffers, nothing hangs, the buffer empties, and every pool block
// comes back once the pictures are fetched and the channel is destroyed.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/dev/dev.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::Nv12Size;
using varnelle::drivers::VbPools;
using varnelle::drivers::VdecDriver;

constexpr uint32_t kMaxWidth = 352, kMaxHeight = 288;
constexpr uint32_t kBufSize = 64 << 10;
constexpr uint32_t kBlocks = 12;
constexpr int kErrFull = static_cast<int>(0xA005800Fu);

int g_fd = -1;
int g_pool = -1;

// Takes and gives back every picture waiting; the number taken.
int FetchAll() {
    int n = 0;
    for (;;) {
        VIDEO_FRAME_INFO_S f{};
        VdecTimedReq<VIDEO_FRAME_INFO_S> req{&f, 0};
        if (dev::Ioctl(g_fd, mk::vdec::kGetFrame, &req) != 0) return n;
        if (dev::Ioctl(g_fd, mk::vdec::kReleaseFrame, &f) != 0) std::abort();
        ++n;
    }
}

// Sends one packet, fetching pictures while the buffer is full (the decoder may wait for them).
void Send(const uint8_t* data, size_t len, bool endOfFrame, bool endOfStream) {
    VDEC_STREAM_S st{data, static_cast<MK_U32>(len), 0, endOfFrame ? 1u : 0u, endOfStream ? 1u : 0u};
    VdecTimedReq<const VDEC_STREAM_S> req{&st, 0};
    for (;;) {
        const int ret = dev::Ioctl(g_fd, mk::vdec::kSendStream, &req);
        if (ret == 0) return;
        if (ret != kErrFull) std::abort();
        FetchAll();
        VdecDriver::Get()->WaitDecoded(0, 1);
    }
}

// Where the next packet ends, for cut style `style`: before the next start code, after a fixed
// length, or at the end.
size_t NextCut(const uint8_t* data, size_t at, size_t size, int style, size_t chunk) {
    if (style == 0) {
        for (size_t i = at + 3; i + 3 <= size; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
        }
        return size;
    }
    if (style == 1) return std::min(size, at + chunk);
    return size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::host::UsePrivateBus("vdecfuzz");
    varnelle::drivers::InstallVdecDriver();
    g_pool = VbPools::Instance().CreatePool(Nv12Size(kMaxWidth + 64, kMaxHeight + 64), kBlocks, "");
    g_fd = dev::Open("/dev/vdec", O_RDWR);
    uint32_t chn = 0;
    if (g_pool < 0 || g_fd < 0 || dev::Ioctl(g_fd, mk::vdec::kBind, &chn) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > kBufSize) return 0;
    const uint8_t opts = data[0];
    const bool streamMode = (opts & 1) != 0;
    const bool endOfStream = (opts & 2) != 0;
    const int style = (opts >> 2) & 3;  // 0 start codes, 1 fixed chunks, 2 and 3 one packet
    const bool resetHalfway = (opts & 0x10) != 0;
    const bool endEachFrame = (opts & 0x20) == 0;
    const size_t chunk = 1 + static_cast<size_t>(data[1]) * 8;
    data += 2;
    size -= 2;

    VDEC_CHN_ATTR_S attr{PT_H264, kBufSize, 5, kMaxWidth, kMaxHeight, 2, streamMode ? 0u : 1u, 0};
    if (dev::Ioctl(g_fd, mk::vdec::kCreateChn, &attr) != 0 || dev::Ioctl(g_fd, mk::vdec::kStartRecvStream) != 0) {
        std::abort();
    }
    for (size_t at = 0; at < size;) {
        const size_t end = NextCut(data, at, size, style, chunk);
        Send(data + at, end - at, endEachFrame || end == size, endOfStream && end == size);
        if (resetHalfway && at < size / 2 && end >= size / 2 && dev::Ioctl(g_fd, mk::vdec::kResetChn) != 0) {
            std::abort();
        }
        at = end;
    }
    while (!VdecDriver::Get()->WaitDecoded(0, 1)) FetchAll();
    FetchAll();
    VDEC_CHN_STAT_S st{};
    if (dev::Ioctl(g_fd, mk::vdec::kQuery, &st) != 0) std::abort();
    if (st.u32LeftStreamBytes != 0 || st.u32LeftStreamFrames != 0 || st.u32LeftPics != 0) std::abort();
    if (dev::Ioctl(g_fd, mk::vdec::kDestroyChn) != 0) std::abort();
    if (VbPools::Instance().Pool(g_pool)->freeBlocks != kBlocks) std::abort();
    return 0;
}
