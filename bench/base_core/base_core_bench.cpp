// Packet pool against the C allocator, and CMsgQue ping-pong against a plain mutex + condition
// variable queue.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/msg_que.h"
#include "base/packet.h"

namespace {

void BM_PacketGetRelease(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    CPacketManager* pool = CPacketManager::instance();
    for (auto _ : state) {
        CPacketImp* p = pool->GetPacket(size);
        benchmark::DoNotOptimize(p->GetBuffer());
        p->Release();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketGetRelease)
    ->Arg(1024)
    ->Arg(16 << 10)
    ->Arg(128 << 10)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

void BM_MallocFree(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = std::malloc(size);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MallocFree)->Arg(1024)->Arg(16 << 10)->Arg(128 << 10)->Threads(1)->Threads(4)->UseRealTime();

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
