// The resampler, echo canceller and noise reduction against libsamplerate, soxr and speexdsp, and
// audio output's load: 60 channels of 8 kHz frames into 48 kHz devices with resampling and processing.
// After the runs the ratios are printed: RES at least twice libsamplerate's rate; AEC and ANR at most
// twice speexdsp's time; 60 output channels under one core (real-time share below 1).
#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/vqe/resampler.h"

namespace {

constexpr int kBlock = 480;  // input samples per call

std::vector<int16_t> Noise(size_t n) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> d(-8000, 8000);
    std::vector<int16_t> v(n);
    for (auto& x : v) x = static_cast<int16_t>(d(rng));
    return v;
}

void BM_Res(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    RESAMPLER_S* r = nullptr;
    Resampler_Create(&r, in, out, RESAMPLER_SIDE_IN);
    auto x = Noise(kBlock);
    std::vector<int16_t> y(RESAMPLER_WORK_SAMPLES);
    int64_t produced = 0;
    for (auto _ : state) {
        MK_S32 n = 0;
        Resampler_Process(r, x.data(), y.data(), kBlock, &n, 0);
        produced += n;
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(produced);
    Resampler_Destroy(r);
}

void BM_Libsamplerate(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    int err = 0;
    SRC_STATE* s = src_new(SRC_SINC_FASTEST, 1, &err);
    auto x16 = Noise(kBlock);
    std::vector<float> x(kBlock), y(kBlock * 6 + 64);
    src_short_to_float_array(x16.data(), x.data(), kBlock);
    std::vector<int16_t> y16(y.size());
    int64_t produced = 0;
    for (auto _ : state) {
        SRC_DATA d{};
        d.data_in = x.data();
        d.input_frames = kBlock;
        d.data_out = y.data();
        d.output_frames = static_cast<long>(y.size());
        d.src_ratio = static_cast<double>(out) / in;
        src_process(s, &d);
        src_float_to_short_array(y.data(), y16.data(), static_cast<int>(d.output_frames_gen));
        produced += d.output_frames_gen;
    }
    state.SetItemsProcessed(produced);
    src_delete(s);
}

void BM_Soxr(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t s = soxr_create(in, out, 1, nullptr, &io, &q, nullptr);
    auto x = Noise(kBlock);
    std::vector<int16_t> y(kBlock * 6 + 64);
    int64_t produced = 0;
    for (auto _ : state) {
        size_t done = 0;
        soxr_process(s, x.data(), kBlock, nullptr, y.data(), y.size(), &done);
        produced += static_cast<int64_t>(done);
    }
    state.SetItemsProcessed(produced);
    soxr_delete(s);
}

// Ten seconds of 8 kHz speech-like far end and its echo.
struct Scene {
    std::vector<int16_t> far, near;
    Scene() : far(80000), near(80000) {
        varnelle::voice::SpeechLike(far.data(), 80000, 1.0, 5);
        for (size_t t = 100; t < near.size(); ++t) near[t] = static_cast<int16_t>(far[t - 100] / 2);
    }
};
const Scene& TheScene() {
    static Scene s;
    return s;
}

void BM_AecOurs(benchmark::State& state) {
    const Scene& s = TheScene();
    AUDIO_MODULE_S m{};
    AUDIO_LoadModule(&m, VQE_MODULE_PREFIX, "AEC");
    VQE_AEC_CONFIG_S cfg{};
    VQE_MODULE_PARAM_S p{0, 0, 0, &cfg, -1, -1};
    MK_VOID* inst = nullptr;
    m.pfnInit(&inst, 8000, &p);
    std::vector<int16_t> out(80);
    size_t pos = 0;
    for (auto _ : state) {
        VQE_BUF_DESC_S in{const_cast<int16_t*>(s.near.data() + pos), const_cast<int16_t*>(s.far.data() + pos),
                          nullptr, nullptr, 160};
        VQE_BUF_DESC_S o{out.data(), nullptr, nullptr, nullptr, 0};
        m.pfnProcess(inst, &in, &o);
        pos = (pos + 80) % (s.near.size() - 80);
    }
    state.SetItemsProcessed(state.iterations() * 80);
    m.pfnRelease(inst);
    AUDIO_UnloadModule(&m);
}

void BM_AecSpeex(benchmark::State& state) {
    const Scene& s = TheScene();
    SpeexEchoState* st = speex_echo_state_init(80, 1024);
    int rate = 8000;
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    std::vector<int16_t> out(80);
    size_t pos = 0;
    for (auto _ : state) {
        speex_echo_cancellation(st, s.near.data() + pos, s.far.data() + pos, out.data());
        pos = (pos + 80) % (s.near.size() - 80);
    }
    state.SetItemsProcessed(state.iterations() * 80);
    speex_echo_state_destroy(st);
}

void BM_AnrOurs(benchmark::State& state) {
    const Scene& s = TheScene();
    AUDIO_MODULE_S m{};
    AUDIO_LoadModule(&m, VQE_MODULE_PREFIX, "ANR");
    VQE_ANR_CONFIG_S cfg{1, 15, 60, 1, 0};
    VQE_MODULE_PARAM_S p{0, 0, 0, &cfg, -1, -1};
    MK_VOID* inst = nullptr;
    m.pfnInit(&inst, 8000, &p);
    std::vector<int16_t> out(80);
    size_t pos = 0;
    for (auto _ : state) {
        VQE_BUF_DESC_S in{const_cast<int16_t*>(s.far.data() + pos), nullptr, nullptr, nullptr, 160};
        VQE_BUF_DESC_S o{out.data(), nullptr, nullptr, nullptr, 0};
        m.pfnProcess(inst, &in, &o);
        pos = (pos + 80) % (s.far.size() - 80);
    }
    state.SetItemsProcessed(state.iterations() * 80);
    m.pfnRelease(inst);
    AUDIO_UnloadModule(&m);
}

void BM_AnrSpeex(benchmark::State& state) {
    const Scene& s = TheScene();
    SpeexPreprocessState* st = speex_preprocess_state_init(80, 8000);
    int on = 1, off = 0, suppress = -15;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
    std::vector<int16_t> buf(80);
    size_t pos = 0;
    for (auto _ : state) {
        std::copy(s.far.begin() + pos, s.far.begin() + pos + 80, buf.begin());
        speex_preprocess_run(st, buf.data());
        pos = (pos + 80) % (s.far.size() - 80);
    }
    state.SetItemsProcessed(state.iterations() * 80);
    speex_preprocess_state_destroy(st);
}

// One second of audio on 60 output channels: 8 kHz frames of 20 ms into 48 kHz devices, each channel
// resampling and running HPF, AGC and EQ.
void BM_Ao60Channels(benchmark::State& state) {
    auto drv = varnelle::drivers::AoDriver::Get();
    drv->Reset();
    drv->HoldClock(true);
    MPI_AO_Init();
    AIO_ATTR_S a{};
    a.enSampleRate = AUDIO_SAMPLE_RATE_48000;
    a.enBitwidth = AUDIO_BIT_WIDTH_16;
    a.u32PtNumPerFrm = 480;
    a.u32FrameCount = 8;
    a.u32ChnCount = 20;
    AO_VQE_ATTR_S v{};
    v.bHpfOpen = v.bAgcOpen = v.bEqOpen = 1;
    v.s32WorkSampleRate = 16000;
    v.s32FrameSample = 160;
    v.stEqCfg.s8GaindB[5] = 3;
    for (int d = 0; d < 3; ++d) {
        MK_MPI_AO_SetPubAttr(d, &a);
        MK_MPI_AO_Enable(d);
        for (int c = 0; c < 20; ++c) {
            MK_MPI_AO_EnableChn(d, c);
            MK_MPI_AO_EnableReSmp(d, c, 8000);
            MK_MPI_AO_SetVqeAttr(d, c, &v);
            if (MK_MPI_AO_EnableVqe(d, c) != 0) state.SkipWithError("processing could not start");
        }
    }
    std::vector<int16_t> speech(8000);
    varnelle::voice::SpeechLike(speech.data(), 8000, 1.0);
    for (auto _ : state) {
        for (int f = 0; f < 50; ++f) {
            for (int d = 0; d < 3; ++d) {
                for (int c = 0; c < 20; ++c) {
                    AUDIO_FRAME_S fr{};
                    fr.enBitwidth = AUDIO_BIT_WIDTH_16;
                    fr.pVirAddr[0] = speech.data() + f * 160;
                    fr.u32Len = 320;
                    MK_MPI_AO_SendFrame(d, c, &fr, 0);
                }
            }
            drv->Tick(20000);
        }
    }
    state.counters["realtime_share"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    for (int d = 0; d < 3; ++d) {
        for (int c = 0; c < 20; ++c) MK_MPI_AO_DisableChn(d, c);
    }
    MPI_AO_Exit();
    drv->HoldClock(false);
    drv->Reset();
}

BENCHMARK(BM_Res)->Args({8000, 48000})->Args({48000, 8000});
BENCHMARK(BM_Libsamplerate)->Args({8000, 48000})->Args({48000, 8000});
BENCHMARK(BM_Soxr)->Args({8000, 48000})->Args({48000, 8000});
BENCHMARK(BM_AecOurs);
BENCHMARK(BM_AecSpeex);
BENCHMARK(BM_AnrOurs);
BENCHMARK(BM_AnrSpeex);
BENCHMARK(BM_Ao60Channels)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps every run's rate so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second;
            auto rt = r.counters.find("realtime_share");
            if (rt != r.counters.end()) rates[r.benchmark_name()] = rt->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

double Ratio(const std::map<std::string, double>& r, const std::string& a, const std::string& b) {
    auto x = r.find(a), y = r.find(b);
    return x == r.end() || y == r.end() || y->second == 0 ? 0.0 : x->second / y->second;
}

}  // namespace

int main(int argc, char** argv) {
    varnelle::host::UsePrivateBus("aovqebench");
    varnelle::drivers::InstallAoDriver();
    varnelle::drivers::InstallMmzDriver();
    varnelle::drivers::InstallMemDriver();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& r = reporter.rates;
    for (const char* pair : {"8000/48000", "48000/8000"}) {
        const std::string p = pair;
        std::printf("RES %s: %.2fx libsamplerate SINC_FASTEST (want >= 2), %.2fx soxr HQ\n", pair,
                    Ratio(r, "BM_Res/" + p, "BM_Libsamplerate/" + p), Ratio(r, "BM_Res/" + p, "BM_Soxr/" + p));
    }
    std::printf("AEC time: %.2fx speexdsp's (want <= 2)\n", Ratio(r, "BM_AecSpeex", "BM_AecOurs"));
    std::printf("ANR time: %.2fx speexdsp's (want <= 2)\n", Ratio(r, "BM_AnrSpeex", "BM_AnrOurs"));
    auto ao = r.find("BM_Ao60Channels/real_time");
    if (ao != r.end()) std::printf("AO, 60 channels: %.3f of one core (want < 1)\n", ao->second);
    benchmark::Shutdown();
    return 0;
}
