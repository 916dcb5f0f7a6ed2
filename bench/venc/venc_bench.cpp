// Encoder benchmarks.
//  - Fetch and release of encoded frames through the SDK, with the payload copied out as the
//    program's fetch thread does, against a plain memcpy of the same bytes.
//  (The encoder's cost for 16 channels of 704x576 at 25 fps, alone and fed through capture and
//  processing, is measured in bench/frame_flow.)
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/venc/venc_driver.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace view = varnelle::drivers::venc_view;

VENC_CHN_ATTR_S Attr(MK_U32 type, MK_U32 w, MK_U32 h, MK_U32 bufSize) {
    VENC_CHN_ATTR_S a{};
    a.stVeAttr.enType = type;
    if (type == PT_H264) {
        a.stVeAttr.stAttrH264e = {w, h, bufSize, 2, 1, w, h, 0, 0};
        a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
        a.stRcAttr.stAttrH264Cbr = {25, 1, 25, 25, 2048, 2, {0, 0}};
    } else {
        a.stVeAttr.stAttrJpeg = {w, h, bufSize, 1, w, h, 0, {0, 0}};
    }
    return a;
}

void Reset() {
    MPI_VENC_Exit();
    varnelle::drivers::ResetMediaState();
}

// Fetches one frame, copies its payload into `out`, releases it; the payload bytes, or 0.
size_t FetchCopyRelease(VENC_CHN chn, std::vector<VENC_PACK_S>& packs, uint8_t* out) {
    VENC_CHN_STATUS_S status{};
    if (MK_MPI_VENC_Query(chn, &status) != MK_SUCCESS || status.u32FramePacks == 0) return 0;
    if (packs.size() < status.u32FramePacks) packs.resize(status.u32FramePacks);
    VENC_STREAM_S st{};
    st.pstPack = packs.data();
    st.u32PackCnt = status.u32FramePacks;
    if (MK_MPI_VENC_GetStream(chn, &st, 0) != MK_SUCCESS) return 0;
    size_t n = 0;
    for (MK_U32 i = 0; i < st.u32PackCnt; ++i) {
        const VENC_PACK_S& p = packs[i];
        std::memcpy(out + n, p.pu8UserAddr + p.u32DataOffset, p.u32Len - p.u32DataOffset);
        n += p.u32Len - p.u32DataOffset;
    }
    MK_MPI_VENC_ReleaseStream(chn, &st);
    return n;
}

// Frames of one channel are made (untimed) in batches, then fetched and released (timed). The
// same bytes are then copied with memcpy alone; the ratio of the two times is reported.
void BM_FetchRelease(benchmark::State& state) {
    Reset();
    const MK_U32 type = static_cast<MK_U32>(state.range(0));
    const VENC_CHN chn = 0;
    const int batch = 32;
    VENC_CHN_ATTR_S attr = Attr(type, 704, 576, 16u << 20);
    if (MK_MPI_VENC_CreateChn(chn, &attr) != MK_SUCCESS) {
        state.SkipWithError("create failed");
        return;
    }
    std::vector<VENC_PACK_S> packs(8);
    std::vector<uint8_t> out(4u << 20), copy(4u << 20);
    std::vector<std::vector<uint8_t>> frames(batch);
    double fetchNs = 0, memcpyNs = 0;
    size_t bytes = 0;
    int64_t count = 0;
    for (auto _ : state) {
        state.PauseTiming();
        view::PushFrames(chn, batch);
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        size_t batchBytes = 0;
        for (int i = 0; i < batch; ++i) batchBytes += FetchCopyRelease(chn, packs, out.data() + batchBytes % (2u << 20));
        auto t1 = std::chrono::steady_clock::now();
        state.PauseTiming();
        // The same amount of data in frames of the same sizes, copied with memcpy alone.
        size_t frameBytes = batchBytes / batch;
        auto m0 = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i) std::memcpy(copy.data() + (i * frameBytes) % (2u << 20), out.data(), frameBytes);
        benchmark::DoNotOptimize(copy.data());
        auto m1 = std::chrono::steady_clock::now();
        fetchNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        memcpyNs += std::chrono::duration<double, std::nano>(m1 - m0).count();
        bytes += batchBytes;
        count += batch;
        state.ResumeTiming();
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(count) / (fetchNs * 1e-9));
    state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / (fetchNs * 1e-9) / 1e6);
    state.counters["bytes_per_frame"] = benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(count));
    state.counters["memcpy_MB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / (memcpyNs * 1e-9) / 1e6);
    state.counters["time_vs_memcpy"] = benchmark::Counter(fetchNs / memcpyNs);
    Reset();
}
BENCHMARK(BM_FetchRelease)->Arg(PT_H264)->Arg(PT_JPEG)->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/dev/shm/varnelle-vencbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    setenv("VARNELLE_BUS", dir, 1);
    varnelle::drivers::InstallVencDriver();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = std::string("rm -rf ") + dir;
    return std::system(cmd.c_str());
}
