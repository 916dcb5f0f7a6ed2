// Capture benchmarks.
//  - Push: 16 channels of 704x576 main and 352x288 sub streams, frames put into the encoders through
//    the push hook, carried by the H.264 fetch pass into a 4 MiB ring of a master that acknowledges;
//    MB/s against memcpy of the same bytes twice (the local buffer and the DMA), in the same run. The
//    test pattern codes to a few KiB a frame; I frames of camera size come from pictures of noise fed
//    to the encoders by hand.
//  - Capture-lock hold per pass that wrote frames (p50, p99), against memcpy of that pass's bytes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "app/enc/capture_test_util.h"
#include "app/enc/venc_push.h"
#include "platform/drivers/venc/venc_driver.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace view = varnelle::drivers::venc_view;
namespace vt = varnelle::testing;

constexpr int kChannels = 16;
constexpr int kStreams = 2 * kChannels;
constexpr uint32_t kRing = 4u << 20;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Seconds memcpy takes for `bytes`, copied twice through a buffer of the ring's size.
double MemcpyTwiceSeconds(uint64_t bytes) {
    static std::vector<uint8_t> a(kRing, 1), b(kRing), c(kRing);
    const auto t0 = std::chrono::steady_clock::now();
    for (uint64_t done = 0; done < bytes;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kRing, bytes - done));
        std::memcpy(b.data(), a.data(), n);
        std::memcpy(c.data(), b.data(), n);
        benchmark::DoNotOptimize(c.data());
        done += n;
    }
    return Seconds(std::chrono::steady_clock::now() - t0);
}

double MemcpyOnceSeconds(uint64_t bytes) {
    return MemcpyTwiceSeconds(bytes) / 2;
}

// The master's end: acknowledges every notice of the video ring as it comes.
class AckMaster {
public:
    explicit AckMaster(vt::FakeMaster* m) : m_master(m) {
        m_thread = std::thread([this] {
            uint32_t seq = 0;
            while (!m_stop) {
                vt::FakeMaster::Record r;
                if (!m_master->Take(vt::kVideoNotice, &r, std::chrono::milliseconds(20))) continue;
                const auto* n = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
                PCIV_TRANS_NOTICE_S a{n->u32Start, n->u32End, seq++};
                m_master->SendMsg(vt::kVideoAck, 19, &a, sizeof(a));
            }
        });
    }
    ~AckMaster() {
        m_stop = true;
        m_thread.join();
    }

private:
    vt::FakeMaster* m_master;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// 32 encoder channels as the capture module makes them, a sender of a 4 MiB ring and its master.
struct Rig {
    std::unique_ptr<vt::FakeMaster> master;
    std::unique_ptr<AckMaster> acks;
    PCIV_TRANS_CHN_S slot;
    VencPushCtx ctx;

    VB_BLK blk = VB_INVALID_HANDLE;
    uint32_t picPhys = 0;
    uint32_t seed = 1;

    explicit Rig(uint32_t gop, uint32_t kbps = 0) {
        vt::CaptureTestBus();
        master = std::make_unique<vt::FakeMaster>();
        acks = std::make_unique<AckMaster>(master.get());
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = kChannels;
        SlaveStoreSysParam(&p);
        CaptureStateInit();
        for (int s = 0; s < kStreams; ++s) {
            const uint32_t w = s % 2 ? 352 : 704, h = s % 2 ? 288 : 576;
            VENC_CHN_ATTR_S a{};
            a.stVeAttr.enType = PT_H264;
            // Rings of a few frames, so the warm-up below goes round them and every page is mapped,
            // as in a program that has run for a while.
            const uint32_t ring = kbps != 0 ? 256u << 10 : (w * h * 3 / 256 + 1) * 64 * 2;
            a.stVeAttr.stAttrH264e = {w, h, ring, 2, 1, w, h, 0, 0};
            a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
            a.stRcAttr.stAttrH264Cbr = {gop, 1, 25, 25, kbps != 0 ? kbps : s % 2 ? 512u : 2048u, 2, {0, 0}};
            MK_MPI_VENC_CreateChn(s, &a);
            MK_MPI_VENC_StartRecvPic(s);
            CaptureStreamRec* rec = CaptureStream(s / 2, s % 2);
            rec->s32Fd = MK_MPI_VENC_GetFd(s);
            rec->s32Receiving = 1;
        }
        ctx.pSlot = &slot;
        vt::StartSlotSender(&slot, vt::kVideoRingPhys, kRing, vt::kVideoNotice, vt::kVideoAck);
        blk = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 704 * 576 * 3 / 2, nullptr);
        picPhys = blk == VB_INVALID_HANDLE ? 0 : MK_MPI_VB_Handle2PhysAddr(blk);
    }
    // A picture of grey with noise of the stream's size (a camera's detail), encoded by hand.
    void SendNoise(int s) {
        const uint32_t w = s % 2 ? 352 : 704, h = s % 2 ? 288 : 576;
        std::vector<uint8_t> pic(w * h * 3 / 2);
        for (uint8_t& b : pic) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(112 + ((seed >> 16) & 31));
        }
        varnelle::mem::Ram::Local().Write(picPhys, pic.data(), pic.size());
        VIDEO_FRAME_INFO_S f{};
        f.u32Width = w;
        f.u32Height = h;
        f.u32Field = MK_FIELD_FRAME;
        f.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        f.u32PhyAddr[0] = picPhys;
        f.u32PhyAddr[1] = picPhys + w * h;
        f.u32Stride[0] = f.u32Stride[1] = w;
        MK_S32 r = MK_MPI_VENC_SendFrame(s, &f, -1);
        benchmark::DoNotOptimize(r);
    }
    ~Rig() {
        if (blk != VB_INVALID_HANDLE) MK_MPI_VB_ReleaseBlock(blk);
        vt::StopSlotSender(&slot);
        for (int s = 0; s < kStreams; ++s) MK_MPI_VENC_DestroyChn(s);
        CaptureResetState();
        SlaveResetSysCfg();
    }
    // Every stream's queued frames through the fetch pass and sent; the bytes carried.
    uint64_t Drain(uint64_t frames, std::vector<std::pair<uint64_t, uint64_t>>* holds = nullptr) {
        const uint64_t f0 = ctx.stats.u64Frames.load(), b0 = ctx.stats.u64Bytes.load();
        while (ctx.stats.u64Frames.load() - f0 < frames) {
            const uint64_t before = ctx.stats.u64Bytes.load();
            if (VencPushPass(&ctx, 100) <= 0) break;
            if (holds != nullptr) holds->push_back({ctx.u64HoldNs, ctx.stats.u64Bytes.load() - before});
        }
        VencPushSend(&ctx);
        return ctx.stats.u64Bytes.load() - b0;
    }
};

// Frames per stream and iteration.
constexpr int kFramesPerStream = 4;

// Picture kinds of the benchmarks' argument.
enum { kPatternP = 0, kPatternI = 1, kNoiseI = 2 };

void Fill(Rig& rig, int kind) {
    for (int s = 0; s < kStreams; ++s) {
        if (kind == kNoiseI) {
            for (int i = 0; i < kFramesPerStream; ++i) rig.SendNoise(s);
        } else {
            view::PushFrames(s, kFramesPerStream);
        }
    }
    // Pictures sent by hand are encoded by the encoder's threads: the push is timed from when every
    // frame waits in its ring, not while the encoder still works.
    for (int s = 0; s < kStreams; ++s) {
        for (int tries = 0; tries < 5000; ++tries) {
            VENC_CHN_STAT_S st{};
            if (MK_MPI_VENC_Query(s, &st) != 0 ||
                st.u32LeftStreamFrames >= static_cast<MK_U32>(kFramesPerStream))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// A rig whose rings, local buffer and master ring have all been gone round.
std::unique_ptr<Rig> MakeRig(int kind) {
    auto rig = std::make_unique<Rig>(kind == kPatternP ? 250u : 1u, kind == kNoiseI ? 2048u : 0u);
    for (int i = 0; i < (kind == kNoiseI ? 4 : 40); ++i) {
        Fill(*rig, kind);
        rig->Drain(kStreams * kFramesPerStream);
    }
    return rig;
}

void BM_PushIntoRing(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    std::unique_ptr<Rig> pRig = MakeRig(kind);
    Rig& rig = *pRig;
    uint64_t bytes = 0, frames = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Fill(rig, kind);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        bytes += rig.Drain(kStreams * kFramesPerStream);
        seconds += Seconds(std::chrono::steady_clock::now() - t0);
        frames += kStreams * kFramesPerStream;
    }
    const double mbs = bytes / seconds / 1e6;
    const double memcpyMbs = bytes / MemcpyTwiceSeconds(bytes) / 1e6;
    state.counters["MB_per_s"] = mbs;
    state.counters["frames_per_s"] = frames / seconds;
    state.counters["bytes_per_frame"] = static_cast<double>(bytes) / std::max<uint64_t>(1, frames);
    state.counters["ratio_vs_memcpy2x"] = mbs / memcpyMbs;
    state.counters["dropped"] = static_cast<double>(rig.ctx.stats.u64DropTooLarge.load());
    // Sends tried again because the master's ring had no room yet: each costs a pause of 1 ms or more.
    state.counters["send_retries"] = static_cast<double>(rig.ctx.stats.u64SendRetries.load());
}
// Test-pattern P frames, test-pattern I frames, camera-sized I frames (noise).
BENCHMARK(BM_PushIntoRing)
    ->ArgName("kind")
    ->Arg(kPatternP)
    ->Arg(kPatternI)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PushIntoRing)
    ->ArgName("kind")
    ->Arg(kNoiseI)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CaptureLockHold(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    std::unique_ptr<Rig> pRig = MakeRig(kind);
    Rig& rig = *pRig;
    std::vector<std::pair<uint64_t, uint64_t>> holds;
    for (auto _ : state) {
        state.PauseTiming();
        Fill(rig, kind);
        state.ResumeTiming();
        rig.Drain(kStreams * kFramesPerStream, &holds);
    }
    std::vector<double> us, ratio;
    for (const auto& [ns, bytes] : holds) {
        if (bytes == 0) continue;
        us.push_back(ns / 1e3);
        ratio.push_back(ns / 1e9 / MemcpyOnceSeconds(bytes));
    }
    if (us.empty()) return;
    auto pct = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(q * (v.size() - 1))];
    };
    state.counters["hold_p50_us"] = pct(us, 0.5);
    state.counters["hold_p99_us"] = pct(us, 0.99);
    state.counters["ratio_p50_vs_memcpy"] = pct(ratio, 0.5);
    state.counters["ratio_p99_vs_memcpy"] = pct(ratio, 0.99);
    state.counters["passes"] = static_cast<double>(us.size());
}
BENCHMARK(BM_CaptureLockHold)
    ->ArgName("kind")
    ->Arg(kPatternP)
    ->Arg(kPatternI)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Camera-sized frames: about five passes an iteration, and a 99th percentile needs some hundred.
BENCHMARK(BM_CaptureLockHold)
    ->ArgName("kind")
    ->Arg(kNoiseI)
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
