// Video decoder benchmark: a 704x576 H.264 clip (ffmpeg's testsrc, GOP 25, B frames) through an H.264
// channel, the way the program feeds one (whole frames sent as they come, every picture fetched and
// given back), against libavcodec's H.264 decoder called directly on the same frames, in the same run.
// Frames per second per core: frames over the CPU seconds of the whole process, so the channel's
// threads and the copies into pool blocks count. Target: ratio >= 0.9.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vdec/testing/vdec_clips.h"

namespace {

using namespace mk::vdec::testing;

constexpr uint32_t kWidth = 704, kHeight = 576;
constexpr uint32_t kFrames = 250;

const std::vector<Bytes>& Clip() {
    static const std::vector<Bytes> frames =
        SplitFrames(MakeClip({"libx264", kWidth, kHeight, kFrames, 25, "-bf 2"}), false);
    return frames;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// libavcodec alone, one thread, as the channel runs it: CPU seconds for the clip; the pictures it gave.
double DecodeDirect(size_t* pictures) {
    // From the decoder's opening, as the channel's decoder opens with its stream.
    const double c0 = CpuSeconds();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    *pictures = 0;
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            benchmark::DoNotOptimize(frame->data[0]);
            ++*pictures;
            av_frame_unref(frame);
        }
    };
    for (const Bytes& f : Clip()) {
        pkt->data = const_cast<uint8_t*>(f.data());
        pkt->size = static_cast<int>(f.size());
        avcodec_send_packet(ctx, pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return CpuSeconds() - c0;
}

// The clip through channel 0: a feeding thread sends, this one fetches. CPU seconds; pictures fetched.
double DecodeChannel(size_t* pictures) {
    VDEC_CHN_ATTR_S attr{PT_H264, kWidth * kHeight * 3 / 2, 5, kWidth, kHeight, 2, 1, 0};
    *pictures = 0;
    if (MK_MPI_VDEC_CreateChn(0, &attr) != MK_SUCCESS || MK_MPI_VDEC_StartRecvStream(0) != MK_SUCCESS) return 0;
    const double c0 = CpuSeconds();
    std::thread feeder([] {
        MK_U64 pts = 0;
        for (const Bytes& f : Clip()) {
            VDEC_STREAM_S st{f.data(), static_cast<MK_U32>(f.size()), pts += 40000, 1, 0};
            if (MK_MPI_VDEC_SendStream(0, &st, -1) != MK_SUCCESS) return;
        }
        VDEC_STREAM_S end{nullptr, 0, 0, 0, 1};
        MK_MPI_VDEC_SendStream(0, &end, -1);
    });
    for (size_t i = 0; i < Clip().size(); ++i) {
        VIDEO_FRAME_INFO_S f{};
        if (MK_MPI_VDEC_GetFrame(0, &f, 5000) != MK_SUCCESS) break;
        MK_MPI_VDEC_ReleaseFrame(0, &f);
        ++*pictures;
    }
    feeder.join();
    // The destroy waits until the decoder is gone, as the direct decode frees its own.
    MK_MPI_VDEC_StopRecvStream(0);
    MK_MPI_VDEC_DestroyChn(0);
    return CpuSeconds() - c0;
}

// Both on the same clip in each iteration, so a loaded machine weighs on both alike.
void BM_H264Decode704x576(benchmark::State& state) {
    varnelle::drivers::VbPools::Instance().Clear();
    varnelle::drivers::VbPools::Instance().CreatePool(varnelle::drivers::FrameBytes(kWidth, kHeight), 16, "");
    if (Clip().size() != kFrames) {
        state.SkipWithError("clip not made");
        return;
    }
    double channelCpu = 0, directCpu = 0;
    size_t channelPics = 0, directPics = 0;
    std::vector<double> ratios;
    for (auto _ : state) {
        size_t direct = 0, channel = 0;
        const double d = DecodeDirect(&direct);
        const double c = DecodeChannel(&channel);
        if (channel != kFrames || direct != kFrames) {
            state.SkipWithError("pictures lost");
            break;
        }
        directCpu += d;
        directPics += direct;
        channelCpu += c;
        channelPics += channel;
        ratios.push_back(d / c);
    }
    if (ratios.empty()) return;
    state.counters["channel_fps_per_core"] = benchmark::Counter(static_cast<double>(channelPics) / channelCpu);
    state.counters["ffmpeg_fps_per_core"] = benchmark::Counter(static_cast<double>(directPics) / directCpu);
    // The median of the pairs: other work on a shared machine slows single runs of either side.
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio"] = benchmark::Counter(ratios[ratios.size() / 2]);
    varnelle::drivers::VdecDriver::Get()->Reset();
    varnelle::drivers::VbPools::Instance().Clear();
}
BENCHMARK(BM_H264Decode704x576)->Iterations(11)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The private bus: the simulated RAM and the tools' files live there, removed at exit.
    varnelle::host::UsePrivateBus("vdecbench");
    varnelle::drivers::InstallVdecDriver();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
