// JPEG decode channel benchmarks.
//  - Channel decode: 704x576 and 1920x1080 4:2:0 pictures sent to a JPEG channel and taken out of
//    GetFrame (the parse and decode threads, the frame buffers), decoded by the hardware path (the
//    simulated block) and by the software path (the block answering error, the library decoding), each
//    against libjpeg-turbo decoding the same files to YCbCr on the calling thread in the same run:
//    pictures per second (ratio) and CPU per picture (cpu_ratio). Target: >= 0.7.
//  - The parse thread's CPU with 64 idle channels, against a bare loop that sleeps 100 us. Target:
//    ratio <= 2.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mpi_jpegd.h"
#include "sdk/jpegd/testing/jpeg_tools.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

using namespace mk::jpegd::testing;
using Clock = std::chrono::steady_clock;

// A photo-like test picture as the cameras send them: 4:2:0, quality 80.
const Bytes& Picture(uint32_t w, uint32_t h) {
    static std::vector<std::pair<uint64_t, Bytes>> made;
    const uint64_t key = static_cast<uint64_t>(w) << 32 | h;
    for (const auto& [k, jpg] : made) {
        if (k == key) return jpg;
    }
    made.emplace_back(key, Cjpeg(Ppm(w, h), "-sample 2x2 -quality 80"));
    return made.back().second;
}

// The process's CPU time, user and system, in seconds.
double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// CPU seconds of this process's thread named `name` (from /proc; the kernel keeps 15 characters of a
// name), 0 when there is none.
double ThreadCpuSeconds(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    double total = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name.substr(0, 15)) continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        // Fields after the name in parentheses: utime and stime are the 12th and 13th.
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 1; i <= 13 && rest >> field; ++i) {
            if (i == 12) utime = std::stoull(field);
            if (i == 13) stime = std::stoull(field);
        }
        total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return total;
}

// Wall and CPU seconds per picture of libjpeg-turbo alone: the file to YCbCr lines.
struct PerPicture {
    double wall;
    double cpu;
};

PerPicture Libjpeg(const Bytes& jpg, int pictures) {
    jpeg_decompress_struct c{};
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    std::vector<JSAMPLE> row;
    const double c0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    for (int i = 0; i < pictures; ++i) {
        jpeg_mem_src(&c, jpg.data(), jpg.size());
        jpeg_read_header(&c, TRUE);
        c.out_color_space = JCS_YCbCr;
        jpeg_start_decompress(&c);
        row.resize(static_cast<size_t>(c.output_width) * 3);
        while (c.output_scanline < c.output_height) {
            JSAMPROW r = row.data();
            jpeg_read_scanlines(&c, &r, 1);
        }
        jpeg_finish_decompress(&c);
        benchmark::DoNotOptimize(row.data());
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = ProcessCpuSeconds() - c0;
    jpeg_destroy_decompress(&c);
    return PerPicture{s / pictures, cpu / pictures};
}

void ResetPlatform() {
    MPI_VDEC_Exit();
    varnelle::drivers::VdecDriver::Get()->Reset();
    varnelle::drivers::VbPools::Instance().Clear();
}

// Pictures through channel 0 with up to four in flight; pictures per second over the wall time. The
// third argument picks the path: 1 the hardware, 0 the software fallback.
void BM_ChannelDecode(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0));
    const uint32_t h = static_cast<uint32_t>(state.range(1));
    const bool hardware = state.range(2) != 0;
    const Bytes& jpg = Picture(w, h);
    ResetPlatform();
    auto block = varnelle::drivers::JpegDriver::Get();
    block->Reset();
    if (!hardware) block->SetDefaultAnswer(JPEG_WAIT_ERROR);
    state.SetLabel(hardware ? "hardware" : "software");
    varnelle::drivers::VbPools::Instance().CreatePool((w + 63) / 64 * 64 * ((h + 15) / 16 * 16) * 3 / 2, 6, "");
    MPI_VDEC_Init();
    VDEC_CHN_ATTR_S attr{PT_JPEG, 8u << 20, 1, w, h, 0, 1, 0};
    if (MK_MPI_VDEC_CreateChn(0, &attr) != MK_SUCCESS || MK_MPI_VDEC_StartRecvStream(0) != MK_SUCCESS) {
        state.SkipWithError("channel not made");
        return;
    }
    constexpr int kInFlight = 4;
    int64_t pictures = 0;
    double seconds = 0, cpu = 0;
    const double parse0 = ThreadCpuSeconds("JpegdParseThread"), decode0 = ThreadCpuSeconds("JpegdDecodeThread");
    for (auto _ : state) {
        const double c0 = ProcessCpuSeconds();
        const int batch = 32;
        int sent = 0, taken = 0;
        const auto t0 = Clock::now();
        while (taken < batch) {
            while (sent < batch && sent - taken < kInFlight) {
                VDEC_STREAM_S st{jpg.data(), static_cast<MK_U32>(jpg.size()), static_cast<MK_U64>(sent), 1, 0};
                if (MK_MPI_VDEC_SendStream(0, &st, -1) != MK_SUCCESS) {
                    state.SkipWithError("send refused");
                    return;
                }
                ++sent;
            }
            VIDEO_FRAME_INFO_S f{};
            if (MK_MPI_VDEC_GetFrame(0, &f, 5000) != MK_SUCCESS) {
                state.SkipWithError("no frame");
                return;
            }
            MK_MPI_VDEC_ReleaseFrame(0, &f);
            ++taken;
        }
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        cpu += ProcessCpuSeconds() - c0;
        pictures += batch;
    }
    const double channel = seconds / static_cast<double>(pictures);
    const double channelCpu = cpu / static_cast<double>(pictures);
    const PerPicture reference = Libjpeg(jpg, 64);
    state.counters["pictures_per_s"] = benchmark::Counter(1.0 / channel);
    state.counters["libjpeg_per_s"] = benchmark::Counter(1.0 / reference.wall);
    state.counters["ratio"] = benchmark::Counter(reference.wall / channel);
    // The same in CPU time of the whole process (both threads, the sender): what a loaded machine's
    // scheduling does not blur.
    state.counters["cpu_ratio"] = benchmark::Counter(reference.cpu / channelCpu);
    const double n = static_cast<double>(pictures);
    state.counters["decode_thread_ms"] = benchmark::Counter((ThreadCpuSeconds("JpegdDecodeThread") - decode0) * 1e3 / n);
    state.counters["parse_thread_ms"] = benchmark::Counter((ThreadCpuSeconds("JpegdParseThread") - parse0) * 1e3 / n);
    state.counters["libjpeg_ms"] = benchmark::Counter(reference.cpu * 1e3);
    // The path measured is the path taken: every picture, or none, decoded by the block.
    const int decoded = block->Decoded();
    if (decoded != (hardware ? pictures : 0)) state.SkipWithError("pictures took the other path");
    MK_MPI_VDEC_StopRecvStream(0);
    MK_MPI_VDEC_DestroyChn(0);
    ResetPlatform();
    block->Reset();
}
BENCHMARK(BM_ChannelDecode)
    ->Args({704, 576, 1})
    ->Args({704, 576, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Iterations(8)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// CPU the process spends over `seconds` of wall time while this thread only sleeps.
double CpuOver(double seconds) {
    const double c0 = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return ProcessCpuSeconds() - c0;
}

constexpr double kIdleSeconds = 2.0;

// What the parse thread's pacing alone costs: a thread that sleeps 100 us in a loop.
double BareLoopCpu() {
    std::atomic<bool> run{true};
    std::thread t([&] {
        while (run) usleep(100);
    });
    const double cpu = CpuOver(kIdleSeconds);
    run = false;
    t.join();
    return cpu;
}

void BM_ParseThreadIdle64(benchmark::State& state) {
    ResetPlatform();
    MPI_VDEC_Init();
    for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) {
        VDEC_CHN_ATTR_S attr{PT_JPEG, 1u << 20, 1, 1920, 1080, 0, 1, 0};
        if (MK_MPI_VDEC_CreateChn(chn, &attr) != MK_SUCCESS || MK_MPI_VDEC_StartRecvStream(chn) != MK_SUCCESS) {
            state.SkipWithError("channel not made");
            return;
        }
    }
    double parse = 0, bare = 0;
    for (auto _ : state) parse += CpuOver(kIdleSeconds);
    for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) {
        MK_MPI_VDEC_StopRecvStream(chn);
        MK_MPI_VDEC_DestroyChn(chn);
    }
    ResetPlatform();
    // With the module's threads gone, the bare loop alone.
    for (int64_t i = 0; i < state.iterations(); ++i) bare += BareLoopCpu();
    const double n = static_cast<double>(state.iterations());
    state.counters["threads_cpu_ms_per_s"] = benchmark::Counter(parse * 1000 / (kIdleSeconds * n));
    state.counters["bare_loop_cpu_ms_per_s"] = benchmark::Counter(bare * 1000 / (kIdleSeconds * n));
    state.counters["ratio"] = benchmark::Counter(parse / bare);
}
BENCHMARK(BM_ParseThreadIdle64)->Iterations(2)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    // The private bus: the simulated RAM and the tools' files live there, removed at exit.
    varnelle::host::UsePrivateBus("jpegdbench");
    varnelle::drivers::InstallMemDriver();
    varnelle::drivers::InstallMmzDriver();
    varnelle::drivers::InstallJpegDriver();
    varnelle::drivers::VdecDriver::Get();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
