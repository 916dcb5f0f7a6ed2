// Packet pool against the C allocator and against the pool before its locks were reworked (a copy kept
// in this folder), at one and four threads, and CMsgQue ping-pong against a plain mutex + condition
// variable queue.
//
// The C library's mutex skips its atomic operations while a process has a single thread, and the
// program never is in that state: the main packet runs keep a parked thread alive, so the old pool's
// mutexes cost what they cost in the program. The "Alone" pair shows the single-threaded case; it is
// registered first so that it runs before any thread exists.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/msg_que.h"
#include "base/packet.h"
#include "bench/base_core/reference_packet_pool.h"

namespace {

void KeepAnotherThread() {
    static const bool started = [] {
        std::thread([] {
            for (;;) pause();
        }).detach();
        return true;
    }();
    (void)started;
}

bench::ReferencePacketPool* ReferencePool() {
    // The same arena size as the process pool's default.
    static auto* pool = new bench::ReferencePacketPool(CPacketManagerImp::kDefaultSizeKB);
    return pool;
}

template <class Pool>
void GetRelease(benchmark::State& state, Pool* pool) {
    const auto size = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        auto* p = pool->GetPacket(size);
        benchmark::DoNotOptimize(p->GetBuffer());
        p->Release();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ReferencePacketGetRelease_Alone(benchmark::State& state) {
    GetRelease(state, ReferencePool());
}
BENCHMARK(BM_ReferencePacketGetRelease_Alone)->Arg(1024)->UseRealTime();

void BM_PacketGetRelease_Alone(benchmark::State& state) {
    GetRelease(state, CPacketManager::instance());
}
BENCHMARK(BM_PacketGetRelease_Alone)->Arg(1024)->UseRealTime();

void PacketSizes(benchmark::internal::Benchmark* b) {
    b->Arg(1024)->Arg(16 << 10)->Arg(128 << 10)->Threads(1)->Threads(4)->UseRealTime();
}

void BM_PacketGetRelease(benchmark::State& state) {
    KeepAnotherThread();
    GetRelease(state, CPacketManager::instance());
}
BENCHMARK(BM_PacketGetRelease)->Apply(PacketSizes);

void BM_ReferencePacketGetRelease(benchmark::State& state) {
    KeepAnotherThread();
    GetRelease(state, ReferencePool());
}
BENCHMARK(BM_ReferencePacketGetRelease)->Apply(PacketSizes);

void BM_MallocFree(benchmark::State& state) {
    KeepAnotherThread();
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = std::malloc(size);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MallocFree)->Apply(PacketSizes);

// The obvious queue: a deque under one mutex with one condition variable.
class PlainQueue {
public:
    void Send(uint32_t msg) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(msg);
        }
        m_cond.notify_one();
    }
    uint32_t Recv() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return !m_queue.empty(); });
        uint32_t msg = m_queue.front();
        m_queue.pop_front();
        return msg;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<uint32_t> m_queue;
};

constexpr uint32_t kQuit = 0xFFFFFFFFu;

void BM_MsgQuePingPong(benchmark::State& state) {
    CMsgQue ping(16), pong(16);
    std::thread echo([&] {
        CMsgQue::MSG m;
        while (ping.RecvMessage(&m, true) && m.msg != kQuit) pong.SendMessage(m.msg);
    });
    CMsgQue::MSG m;
    uint32_t i = 0;
    for (auto _ : state) {
        ping.SendMessage(i++);
        pong.RecvMessage(&m, true);
    }
    ping.SendMessage(kQuit);
    echo.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsgQuePingPong)->UseRealTime();

void BM_PlainQueuePingPong(benchmark::State& state) {
    PlainQueue ping, pong;
    std::thread echo([&] {
        for (uint32_t m; (m = ping.Recv()) != kQuit;) pong.Send(m);
    });
    uint32_t i = 0;
    for (auto _ : state) {
        ping.Send(i++);
        benchmark::DoNotOptimize(pong.Recv());
    }
    ping.Send(kQuit);
    echo.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainQueuePingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
