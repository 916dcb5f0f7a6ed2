// Any bytes as an H.264 stream sent to a decoder channel, cut into packets as the first byte chooses:
// nothing reads or writes outside its buffers, nothing hangs, the buffer empties, and every pool block
// comes back once a stream has ended and its pictures are fetched.
//
// Two channels live across inputs, one in frame mode and one in stream mode, each bound to a receiver
// that keeps nothing (so the decoder never waits for the user). A new decoder, and even the end of a
// stream (the decoder then drops its tables), costs many times what an input does under the sanitizers:
// so a stream runs on across inputs and most inputs neither end it nor reset the channel. A block the
// decoder loses still shows at the next input that ends its stream.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/dev/dev.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::BindGraph;
using varnelle::drivers::FrameBytes;
using varnelle::drivers::VbPools;
using varnelle::drivers::VdecDriver;

constexpr uint32_t kMaxWidth = 128, kMaxHeight = 96;
constexpr uint32_t kBufSize = 64 << 10;
constexpr uint32_t kBlocks = 24;
constexpr int kErrFull = static_cast<int>(0xA005800Fu);

// Takes every picture and keeps none.
class NullSink : public varnelle::drivers::FrameSink {
public:
    bool OnFrame(const MPP_CHN_S&, const MPP_CHN_S&, const varnelle::drivers::HeldFrame&) override { return true; }
};

int g_fd[2] = {-1, -1};  // frame mode, stream mode
int g_pool = -1;

// Takes and gives back every picture waiting on `fd`.
void FetchAll(int fd) {
    for (;;) {
        VIDEO_FRAME_INFO_S f{};
        VdecTimedReq<VIDEO_FRAME_INFO_S> req{&f, 0};
        if (dev::Ioctl(fd, mk::vdec::kGetFrame, &req) != 0) return;
        if (dev::Ioctl(fd, mk::vdec::kReleaseFrame, &f) != 0) std::abort();
    }
}

void Send(int chn, const uint8_t* data, size_t len, bool endOfFrame, bool endOfStream) {
    VDEC_STREAM_S st{data, static_cast<MK_U32>(len), 0, endOfFrame ? 1u : 0u, endOfStream ? 1u : 0u};
    VdecTimedReq<const VDEC_STREAM_S> req{&st, 0};
    for (;;) {
        const int ret = dev::Ioctl(g_fd[chn], mk::vdec::kSendStream, &req);
        if (ret == 0) return;
        if (ret != kErrFull) std::abort();
        VdecDriver::Get()->WaitDecoded(chn, 10);
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
    g_pool = VbPools::Instance().CreatePool(FrameBytes(kMaxWidth + 64, kMaxHeight + 64), kBlocks, "");
    if (g_pool < 0) std::abort();
    static NullSink receiver;
    varnelle::drivers::FrameRouter::Instance().Attach(MK_ID_VPSS, &receiver);
    for (uint32_t chn = 0; chn < 2; ++chn) {
        g_fd[chn] = dev::Open("/dev/vdec", O_RDWR);
        VDEC_CHN_ATTR_S attr{PT_H264, kBufSize, 5, kMaxWidth, kMaxHeight, 2, chn == 0 ? 1u : 0u, 0};
        const MPP_CHN_S src{MK_ID_VDEC, 0, static_cast<MK_S32>(chn)};
        const MPP_CHN_S dst{MK_ID_VPSS, static_cast<MK_S32>(chn), 0};
        if (g_fd[chn] < 0 || dev::Ioctl(g_fd[chn], mk::vdec::kBind, &chn) != 0 ||
            dev::Ioctl(g_fd[chn], mk::vdec::kCreateChn, &attr) != 0 ||
            dev::Ioctl(g_fd[chn], mk::vdec::kStartRecvStream) != 0 || BindGraph::Instance().Bind(src, dst) != 0) {
            std::abort();
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > kBufSize) return 0;
    const uint8_t opts = data[0];
    const int chn = opts & 1;  // stream mode
    const int style = (opts >> 1) & 3;  // 0 start codes, 1 fixed chunks, 2 and 3 one packet
    const bool endEachFrame = (opts & 0x08) == 0;
    const bool endOfStream = (opts & 0x30) == 0x30;
    const bool resetHalfway = (opts & 0xC0) == 0xC0;
    const size_t chunk = 1 + static_cast<size_t>(data[1]) * 8;
    data += 2;
    size -= 2;

    for (size_t at = 0; at < size;) {
        const size_t end = NextCut(data, at, size, style, chunk);
        Send(chn, data + at, end - at, endEachFrame || end == size, endOfStream && end == size);
        if (resetHalfway && at < size / 2 && end >= size / 2 && dev::Ioctl(g_fd[chn], mk::vdec::kResetChn) != 0) {
            std::abort();
        }
        at = end;
    }
    // The other channel's stream ends too: both share the pool.
    if (endOfStream && size == 0) Send(chn, nullptr, 0, false, true);
    if (endOfStream) Send(1 - chn, nullptr, 0, false, true);
    for (int c = 0; c < 2; ++c) {
        while (!VdecDriver::Get()->WaitDecoded(c, 100)) FetchAll(g_fd[c]);
        FetchAll(g_fd[c]);
        VDEC_CHN_STAT_S st{};
        if (dev::Ioctl(g_fd[c], mk::vdec::kQuery, &st) != 0) std::abort();
        if (st.u32LeftStreamBytes != 0 || st.u32LeftStreamFrames != 0 || st.u32LeftPics != 0) std::abort();
    }
    // After the end of their streams the decoders hold no picture, so no block.
    if (endOfStream && VbPools::Instance().Pool(g_pool)->freeBlocks != kBlocks) std::abort();
    return 0;
}
