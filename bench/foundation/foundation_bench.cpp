// Foundation costs: an ioctl through the device seam against a raw one, and buffer pool block turns.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/dev/dev.h"
#include "platform/dev/driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "sdk/vb/mpi_vb.h"

namespace {

namespace dev = varnelle::dev;

constexpr unsigned long kNop = _IO('Q', 0);

// A driver whose only request does nothing: what is left is the seam's own cost.
class NopDriver : public dev::Driver {
public:
    NopDriver() : Driver("/dev/bench_nop") {}
    int Ioctl(dev::File&, unsigned long request, void*) override { return request == kNop ? 0 : dev::Fail(ENOTTY); }
};

void BM_IoctlThroughSeam(benchmark::State& state) {
    static bool registered = dev::Registry::Register(std::make_shared<NopDriver>());
    (void)registered;
    int fd = dev::Open("/dev/bench_nop", O_RDWR);
    if (fd < 0) {
        state.SkipWithError("open /dev/bench_nop");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(dev::Ioctl(fd, kNop));
    dev::Close(fd);
}
BENCHMARK(BM_IoctlThroughSeam);

void BM_IoctlRawEventfd(benchmark::State& state) {
    int fd = eventfd(0, EFD_CLOEXEC);
    int pending = 0;
    for (auto _ : state) benchmark::DoNotOptimize(::ioctl(fd, FIONREAD, &pending));
    ::close(fd);
}
BENCHMARK(BM_IoctlRawEventfd);

// One common pool with a block per benchmark thread and some to spare.
bool StartPools() {
    static bool started = [] {
        varnelle::drivers::InstallVbDriver();
        varnelle::drivers::InstallMemDriver();
        VB_CONF_S conf{};
        conf.u32MaxPoolCnt = 1;
        conf.astCommPool[0].u32BlkSize = 1920 * 1088 * 3 / 2;
        conf.astCommPool[0].u32BlkCnt = 16;
        return MK_MPI_VB_SetConf(&conf) == MK_SUCCESS && MK_MPI_VB_Init() == MK_SUCCESS;
    }();
    return started;
}

void BM_VbGetReleaseBlock(benchmark::State& state) {
    if (!StartPools()) {
        state.SkipWithError("VB start");
        return;
    }
    for (auto _ : state) {
        VB_BLK block = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 1920 * 1080 * 3 / 2, nullptr);
        if (block == VB_INVALID_HANDLE) {
            state.SkipWithError("no block");
            break;
        }
        MK_MPI_VB_ReleaseBlock(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VbGetReleaseBlock)->Threads(1)->Threads(4)->UseRealTime();

// Prints the runs and, at the end, the seam's cost as a multiple of the raw system call.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) m_ns[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio() const {
        auto seam = m_ns.find("BM_IoctlThroughSeam");
        auto raw = m_ns.find("BM_IoctlRawEventfd");
        if (seam == m_ns.end() || raw == m_ns.end() || raw->second <= 0) return;
        std::printf("ioctl through the seam / raw ioctl on an eventfd: %.2f (%.1f ns / %.1f ns)\n",
                    seam->second / raw->second, seam->second, raw->second);
    }

private:
    std::map<std::string, double> m_ns;
};

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/dev/shm/varnelle-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    setenv("VARNELLE_BUS", dir, 1);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
    std::remove((std::string(dir) + "/ram-1").c_str());
    rmdir(dir);
    return 0;
}
