// Decode path. Receive: fragments of 16 KiB, 256 KiB and 1 MiB written by the master into the slave's
// window block, each announced by a notice, joined by the decoder slot's receiver, handed to the
// decoder and acknowledged; against a bare SEQPACKET notice/acknowledgement ping-pong between two
// threads whose far side copies the same bytes with memcpy, in the same run. Pacing: the lateness of
// the feeding thread's frames against clock_nanosleep to the same deadlines.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/comm/cap_frame.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/dec_clock.h"
#include "app/dec/vdec_feed.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_recv.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_test_master.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/clock.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

namespace mem = varnelle::mem;
namespace drv = varnelle::drivers;

constexpr uint32_t kBlock = 4u << 20;

// The slave side of the receive benchmark, set up once: port map, decoder 0 consuming as fast as it
// can, slot 0 over a window block.
struct Receiver {
    varnelle::testing::ScopedBus bus;
    mem::Ram masterRam{mem::RamPath(0), 0, mem::kMasterRamSize, true};
    varnelle::testing::FakeMaster master;
    uint32_t phys = 0;
    bool ok = false;

    Receiver() {
        drv::InstallAll();
        varnelle::mcc::InstallMccDriver();
        SlaveRegisterCmdHandlers();
        SlaveRegisterReceivers();
        PCIV_MSG_S m{};
        m.stMsgHead.u32MsgType = 86;
        m.stMsgHead.u32MsgLen = 96;
        uint32_t plan[24] = {101, 102, 103, 104};
        for (uint32_t i = 0; i < 8; ++i) plan[4 + i] = 105 + 2 * i, plan[12 + i] = 106 + 2 * i;
        plan[20] = 121, plan[21] = 122, plan[22] = 123, plan[23] = 124;
        std::memcpy(m.au32Payload, plan, sizeof(plan));
        PCIV_RunCmd(&m);
        SLAVE_SYS_PARAM_S sp{};
        sp.u32DecNum = 8;
        SlaveStoreSysParam(&sp);
        PcivSetWindowBase(0x9f800000u);
        phys = mem::ZoneAllocator::Local().Allocate(kBlock);
        VDEC_CHN_ATTR_S a = {96, 16u << 20, 5, 1920, 1080, 2, 1, 0};
        MK_MPI_VDEC_CreateChn(0, &a);
        MK_MPI_VDEC_StartRecvStream(0);
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = 16;
        m.stMsgHead.u32MsgLen = 28;
        uint32_t p[7] = {0, 0, kBlock, phys + 0x60800000u, 105, 106, 0};
        std::memcpy(m.au32Payload, p, sizeof(p));
        PCIV_RunCmd(&m);
        ok = phys != 0 && m.stMsgHead.s32Result == 0 && master.ok();
    }
    static Receiver& Get() {
        static auto* r = new Receiver;
        return *r;
    }
};

// A fragment that is a whole frame: header, then an IDR slice start and pattern bytes.
void WriteFrame(uint32_t phys, uint32_t len) {
    std::vector<uint8_t> f(PCIV_FRAG_HEAD_LEN + len);
    PCIV_VdecFragHead h{};
    h.u32Last = 1;
    h.u32Len = len;
    h.bEndOfFrame = 1;
    std::memcpy(f.data(), &h, sizeof(h));
    for (uint32_t i = 0; i < len; ++i) f[PCIV_FRAG_HEAD_LEN + i] = static_cast<uint8_t>(i * 7 + 1);
    const uint8_t idr[5] = {0, 0, 1, 0x65, 0x88};
    std::memcpy(f.data() + PCIV_FRAG_HEAD_LEN, idr, sizeof(idr));
    mem::Ram::Local().Write(phys, f.data(), f.size());
}

// The bare channel: a notice to a thread that copies `len` bytes and answers; MB/s of the bytes.
double RawPingPongMBps(uint32_t len, int rounds) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 0;
    std::vector<uint8_t> src(len, 1), dst(len);
    std::thread echo([&] {
        uint32_t n[3];
        while (::recv(sv[1], n, sizeof(n), 0) == sizeof(n)) {
            std::memcpy(dst.data(), src.data(), len);
            benchmark::ClobberMemory();
            ::send(sv[1], n, sizeof(n), 0);
        }
    });
    uint32_t n[3] = {0, len, 0};
    uint64_t t0 = varnelle::host::MonotonicUs();
    for (int i = 0; i < rounds; ++i) {
        n[2] = static_cast<uint32_t>(i);
        ::send(sv[0], n, sizeof(n), 0);
        ::recv(sv[0], n, sizeof(n), 0);
    }
    uint64_t us = varnelle::host::MonotonicUs() - t0;
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
    return us > 0 ? static_cast<double>(len) * rounds / static_cast<double>(us) : 0;
}

// Fragments of the given size (each a whole frame) announced one at a time (depth 1: the master waits
// for each acknowledgement, as the reference does) or with up to `depth` notices open at once, as a
// master streaming into its window block would.
void BM_ReceiveToDecoder(benchmark::State& state) {
    Receiver& r = Receiver::Get();
    if (!r.ok) {
        state.SkipWithError("the receiver did not come up");
        return;
    }
    const uint32_t len = static_cast<uint32_t>(state.range(0));
    const uint32_t slotLen = (PCIV_FRAG_HEAD_LEN + len + 4095) & ~4095u;
    const uint32_t depth = std::min<uint32_t>(static_cast<uint32_t>(state.range(1)), kBlock / slotLen);
    for (uint32_t i = 0; i < depth; ++i) WriteFrame(r.phys + i * slotLen, len);
    static uint32_t seq = 0;
    int64_t frames = 0;
    uint32_t open = 0;
    uint32_t next = 0;
    auto ack = [&r, &state]() {
        varnelle::testing::FakeChip::Record a;
        if (r.master.Take(106, &a, std::chrono::seconds(10))) return true;
        state.SkipWithError("no acknowledgement");
        return false;
    };
    auto* ctx = static_cast<PcivVdecRecv*>(PcivGetChnTrans(0)->pThreadData.load());
    const uint64_t dropped0 = ctx != nullptr ? ctx->u64Dropped.load() : 0;
    uint64_t t0 = varnelle::host::MonotonicUs();
    for (auto _ : state) {
        if (open == depth) {
            if (!ack()) return;
            --open;
        }
        PCIV_TRANS_NOTICE_S n{next * slotLen, next * slotLen + PCIV_FRAG_HEAD_LEN + len, seq++};
        r.master.SendMsg(105, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n));
        next = (next + 1) % depth;
        ++open;
        ++frames;
    }
    while (open > 0) {
        if (!ack()) return;
        --open;
    }
    uint64_t us = varnelle::host::MonotonicUs() - t0;
    // Frames the decoder had no room for were acknowledged but never delivered: they do not count.
    const int64_t dropped = ctx != nullptr ? static_cast<int64_t>(ctx->u64Dropped.load() - dropped0) : 0;
    const int64_t delivered = std::max<int64_t>(0, frames - dropped);
    double mbps = us > 0 ? static_cast<double>(len) * static_cast<double>(delivered) / static_cast<double>(us) : 0;
    double raw = RawPingPongMBps(len, len >= (1u << 20) ? 2000 : 10000);
    state.SetBytesProcessed(static_cast<int64_t>(len) * delivered);
    state.counters["MB_per_s"] = mbps;
    state.counters["raw_MB_per_s"] = raw;
    state.counters["ratio_vs_raw"] = raw > 0 ? mbps / raw : 0;
    state.counters["frames_dropped"] = static_cast<double>(dropped);
}
BENCHMARK(BM_ReceiveToDecoder)
    ->ArgNames({"bytes", "depth"})
    ->ArgsProduct({{16 * 1024, 256 * 1024, 1024 * 1024}, {1, 3}})
    ->UseRealTime();

// ---- Pacing ----

std::mutex g_lateMutex;
std::vector<int64_t> g_late;

void SleepRecording(uint64_t deadline) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(deadline / 1000000u);
    ts.tv_nsec = static_cast<long>(deadline % 1000000u) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    int64_t late = static_cast<int64_t>(varnelle::host::MonotonicUs()) - static_cast<int64_t>(deadline);
    std::lock_guard<std::mutex> lock(g_lateMutex);
    g_late.push_back(late);
}

double Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))]);
}

// The feeding thread paces 1000 frames at 1 ms (25 fps at 40 times the normal rate) into a decoder
// that takes everything; its lateness per frame against clock_nanosleep to the same deadlines.
void BM_PacingLateness(benchmark::State& state) {
    Receiver& r = Receiver::Get();
    if (!r.ok) {
        state.SkipWithError("no decoder");
        return;
    }
    constexpr uint32_t kFrames = 1000;
    constexpr uint32_t kIntervalUs = 1000;
    std::vector<uint8_t> ring(8u << 20);
    for (auto _ : state) {
        AVdecState* s = AVdecGetState();
        const uint32_t c = 5;
        AVdecSetRing(c, ring.data(), static_cast<uint32_t>(ring.size()));
        uint32_t pos = 0;
        for (uint32_t i = 0; i < kFrames; ++i) {
            uint32_t kind = i % 25 == 0 ? CAP_FRAME_I : CAP_FRAME_P;
            pos += CapFrameWriteHeader(ring.data() + pos, kind, 64, 25, 704, 576, 0, 0);
            const uint8_t idr[5] = {0, 0, 1, 0x65, 0x88};
            std::memcpy(ring.data() + pos, idr, 5);
            pos += 64;
        }
        s->SetRec(c, REC_VDEC_CHN, 0);
        s->SetRec(c, REC_RING_WRITE, pos);
        AVdecSizeTable(0).u32MaxW = 1920;
        AVdecSizeTable(0).u32MaxH = 1080;
        getframeinfo(c, 0);
        s->SetRec(c, REC_SPEED, 6);
        s->SetRec(c, REC_RATE, 12000000000ull / 120 / 25 / kIntervalUs);  // 4000 %: 1 ms a frame
        {
            std::lock_guard<std::mutex> lock(g_lateMutex);
            g_late.clear();
        }
        DecSetClock(varnelle::host::MonotonicUs, SleepRecording);
        uint64_t start = varnelle::host::MonotonicUs();
        s->SetRec(c, REC_BASE_SEC, static_cast<uint32_t>(start / 1000000));
        s->SetRec(c, REC_BASE_USEC, static_cast<uint32_t>(start % 1000000));
        s->SetRec(c, REC_RUNNING, 1);
        AVdecStartFeeding(c);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(g_lateMutex);
                if (g_late.size() >= kFrames) break;
            }
            usleep(5000);
        }
        s->SetRec(c, REC_RUNNING, 0);
        AVdecStopFeeding();
        DecSetClock(nullptr, nullptr);
        std::vector<int64_t> feed;
        {
            std::lock_guard<std::mutex> lock(g_lateMutex);
            feed.assign(g_late.begin(), g_late.begin() + kFrames);
        }
        // The reference: clock_nanosleep to deadlines 1 ms apart from a start of its own.
        std::vector<int64_t> ref;
        uint64_t base = varnelle::host::MonotonicUs();
        for (uint32_t i = 1; i <= kFrames; ++i) {
            uint64_t deadline = base + static_cast<uint64_t>(i) * kIntervalUs;
            timespec ts{static_cast<time_t>(deadline / 1000000u), static_cast<long>(deadline % 1000000u) * 1000};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            ref.push_back(static_cast<int64_t>(varnelle::host::MonotonicUs()) - static_cast<int64_t>(deadline));
        }
        AVdecSetRing(c, nullptr, 0);
        double p50 = Percentile(feed, 0.5), p99 = Percentile(feed, 0.99);
        double r50 = Percentile(ref, 0.5), r99 = Percentile(ref, 0.99);
        state.counters["late_p50_us"] = p50;
        state.counters["late_p99_us"] = p99;
        state.counters["nanosleep_p50_us"] = r50;
        state.counters["nanosleep_p99_us"] = r99;
        state.counters["ratio_p50"] = r50 > 0 ? p50 / r50 : 0;
        state.counters["ratio_p99"] = r99 > 0 ? p99 / r99 : 0;
    }
}
BENCHMARK(BM_PacingLateness)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
