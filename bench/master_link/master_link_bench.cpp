// The master link between two processes: a command's round trip (send, the slave's command loop,
// reply) against a bare SEQPACKET ping-pong of the same size between two processes, and the stream
// transport (DMA into the master's ring, notice, acknowledgement) against memcpy of the same chunks.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/host/clock.h"
#include "tests/master_link/slave_process.h"
#include "tests/master_link/trans_pattern.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

std::string g_bus;
std::ostringstream g_log;

varnelle::master::SimOptions Options() {
    varnelle::master::SimOptions opt;
    opt.log = &g_log;
    opt.printBeats = false;
    opt.replyTimeoutMs = 5000;
    return opt;
}

// The bare channel: one 20-byte record each way between this process and a forked echo.
double PingPongUs(int rounds) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 0;
    pid_t pid = fork();
    if (pid == 0) {
        ::close(sv[0]);
        char buf[64];
        for (;;) {
            ssize_t n = ::recv(sv[1], buf, sizeof(buf), 0);
            if (n <= 0) _exit(0);
            ::send(sv[1], buf, static_cast<size_t>(n), 0);
        }
    }
    ::close(sv[1]);
    char msg[20] = {};
    char back[64];
    uint64_t t0 = varnelle::host::MonotonicUs();
    for (int i = 0; i < rounds; ++i) {
        ::send(sv[0], msg, sizeof(msg), 0);
        ::recv(sv[0], back, sizeof(back), 0);
    }
    uint64_t t1 = varnelle::host::MonotonicUs();
    ::close(sv[0]);
    int status;
    waitpid(pid, &status, 0);
    return static_cast<double>(t1 - t0) / rounds;
}

void BM_RawSeqpacketPingPong(benchmark::State& state) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(sv[0]);
        char buf[64];
        for (;;) {
            ssize_t n = ::recv(sv[1], buf, sizeof(buf), 0);
            if (n <= 0) _exit(0);
            ::send(sv[1], buf, static_cast<size_t>(n), 0);
        }
    }
    ::close(sv[1]);
    char msg[20] = {};
    char back[64];
    for (auto _ : state) {
        ::send(sv[0], msg, sizeof(msg), 0);
        benchmark::DoNotOptimize(::recv(sv[0], back, sizeof(back), 0));
    }
    ::close(sv[0]);
    int status;
    waitpid(pid, &status, 0);
}
BENCHMARK(BM_RawSeqpacketPingPong)->UseRealTime();

void BM_CommandRoundTrip(benchmark::State& state) {
    varnelle::master::MasterSim sim(Options());
    varnelle::testing::SlaveProcess slave;
    if (sim.Open() != 0 || !slave.Start(VARNELLE_PROGRAM, g_bus, g_bus + "/slave.log") ||
        sim.ConnectSlave(10000) != 0) {
        state.SkipWithError("the slave did not come up");
        return;
    }
    uint32_t word = 0;
    int failures = 0;
    uint64_t t0 = varnelle::host::MonotonicUs();
    int64_t n = 0;
    for (auto _ : state) {
        failures += sim.Command(200, &word, sizeof(word)) != 0;
        ++n;
    }
    double us = static_cast<double>(varnelle::host::MonotonicUs() - t0) / static_cast<double>(n);
    double raw = PingPongUs(20000);
    state.counters["failures"] = failures;
    state.counters["round_trip_us"] = us;
    state.counters["raw_pingpong_us"] = raw;
    state.counters["ratio_vs_raw"] = raw > 0 ? us / raw : 0;
    sim.Stop();
    slave.Kill();
}
BENCHMARK(BM_CommandRoundTrip)->UseRealTime();

// Pushes `total` bytes in chunks of up to the given size through a 1 MiB ring and times the master's
// side from the first byte to the last.
void BM_TransportIntoRing(benchmark::State& state) {
    const uint32_t ringSize = 1u << 20;
    const uint32_t maxChunk = static_cast<uint32_t>(state.range(0));
    const uint64_t total = 256ull << 20;
    for (auto _ : state) {
        varnelle::master::MasterSim sim(Options());
        if (sim.Open() != 0) {
            state.SkipWithError("no master");
            return;
        }
        varnelle::master::Ring ring{"video", sim.AllocRing(ringSize), ringSize, PCIV_HOST_PORT_VENC_NOTICE,
                                    PCIV_HOST_PORT_VENC_ACK};
        std::atomic<uint64_t> got{0};
        std::atomic<uint64_t> first{0};
        std::atomic<uint64_t> last{0};
        sim.SetDataSink([&](const varnelle::master::Ring&, const uint8_t* data, size_t len) {
            uint64_t now = varnelle::host::MonotonicUs();
            if (got.load() == 0) first = now;
            benchmark::DoNotOptimize(data[len - 1]);
            got += len;
            last = now;
        });
        varnelle::testing::SlaveProcess peer;
        // Chunks of 1 to the given size, pseudo-random, as frames of varying size would be.
        peer.Start(TRANS_PEER, g_bus, g_bus + "/peer.log", 1,
                   {std::to_string(ring.phys), std::to_string(ringSize), std::to_string(total),
                    std::to_string(maxChunk)});
        if (sim.ConnectSlave(10000) != 0) {
            state.SkipWithError("the stand-in sender did not come up");
            return;
        }
        sim.WatchRing(ring);
        uint64_t deadline = varnelle::host::MonotonicMs() + 120000;
        while (got.load() < total && varnelle::host::MonotonicMs() < deadline && peer.Alive()) usleep(1000);
        peer.WaitExit(10000);
        sim.Stop();
        varnelle::master::RingStats s = sim.Stats("video");
        double seconds = static_cast<double>(last.load() - first.load()) / 1e6;
        state.SetIterationTime(seconds > 0 ? seconds : 1e-9);
        state.counters["MB_per_s"] = static_cast<double>(s.bytes) / 1e6 / seconds;
        state.counters["notices_per_s"] = static_cast<double>(s.notices) / seconds;
        state.counters["wraps"] = static_cast<double>(s.wraps);
        state.counters["lost_bytes"] = static_cast<double>(total - s.bytes);
        state.SetBytesProcessed(static_cast<int64_t>(s.bytes));
    }
}
BENCHMARK(BM_TransportIntoRing)->Arg(4096)->Arg(64 * 1024)->Arg(256 * 1024)->Iterations(1)->UseManualTime();

// The same chunks copied with memcpy into a ring of the same size.
void BM_MemcpyIntoRing(benchmark::State& state) {
    const uint32_t ringSize = 1u << 20;
    const uint32_t maxChunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> src(maxChunk);
    std::vector<uint8_t> ring(ringSize);
    varnelle::testing::FillPattern(0, src.data(), src.size());
    varnelle::testing::ChunkSizes sizes(maxChunk);
    uint32_t pos = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        uint32_t len = sizes.Next();
        if (pos + len > ringSize) pos = 0;
        std::memcpy(ring.data() + pos, src.data(), len);
        benchmark::ClobberMemory();
        pos += len;
        bytes += len;
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_MemcpyIntoRing)->Arg(4096)->Arg(64 * 1024)->Arg(256 * 1024);

}  // namespace

int main(int argc, char** argv) {
    g_bus = varnelle::testing::MakePrivateBus("bench");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    varnelle::testing::RemoveBus(g_bus);
    return 0;
}
