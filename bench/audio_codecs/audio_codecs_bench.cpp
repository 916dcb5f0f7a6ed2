// Samples per second of the voice codec engine, SpanDSP and libavcodec for every codec and direction, on
// the same 4 seconds of speech-like input; prints a summary table with the ratios at the end.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <spandsp.h>
}

#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/codecs/voice_codec.h"

namespace {

constexpr int kSamples = 4 * 8000;

const std::vector<int16_t>& Input() {
    static const std::vector<int16_t> pcm = [] {
        std::vector<int16_t> v(kSamples);
        varnelle::voice::SpeechLike(v.data(), kSamples, 0.5);
        return v;
    }();
    return pcm;
}

void Count(benchmark::State& state) {
    state.counters["samples_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
}

// ---- this engine ----

int FrameSamples(int16_t id) {
    return id == VOICE_CODEC_IMA ? 481 : 480;
}

void EngineEncode(benchmark::State& state, int16_t id) {
    const std::vector<int16_t>& pcm = Input();
    const int n = FrameSamples(id);
    VOICE_CODEC_STATE_S s{};
    VOICE_CodecOpen(&s, id);
    uint8_t frame[VOICE_MAX_FRAME_BYTES];
    for (auto _ : state) {
        for (int base = 0; base + n <= kSamples; base += n) {
            MK_VOICE_EncodeFrame(&s, &pcm[base], frame, static_cast<int16_t>(n));
            benchmark::DoNotOptimize(frame);
        }
    }
    Count(state);
}

void EngineDecode(benchmark::State& state, int16_t id) {
    const std::vector<int16_t>& pcm = Input();
    const int n = FrameSamples(id);
    std::vector<std::vector<uint8_t>> frames;
    VOICE_CODEC_STATE_S s{};
    VOICE_CodecOpen(&s, id);
    for (int base = 0; base + n <= kSamples; base += n) {
        uint8_t frame[VOICE_MAX_FRAME_BYTES];
        MK_VOICE_EncodeFrame(&s, &pcm[base], frame, static_cast<int16_t>(n));
        frames.emplace_back(frame, frame + (frame[2] + 2) * 2);
    }
    int16_t out[VOICE_MAX_DECODE_SAMPLES];
    for (auto _ : state) {
        VOICE_CodecOpen(&s, id);
        for (const std::vector<uint8_t>& f : frames) {
            // Decoding rewrites the MSB-first G.726 payloads, so each pass decodes a fresh copy.
            uint8_t frame[VOICE_MAX_FRAME_BYTES];
            std::memcpy(frame, f.data(), f.size());
            uint16_t count = 0;
            MK_VOICE_DecodeFrame(&s, frame, out, &count);
            benchmark::DoNotOptimize(out);
        }
    }
    Count(state);
}

// ---- SpanDSP ----

struct SpanCodec {
    enum Kind { kG711, kIma, kG726 } kind;
    int mode;     // G.711 mode, IMA variant or G.726 bit rate
    int packing;  // G.726
    int frame;    // samples per call
};

struct SpanState {
    g711_state_t* g711 = nullptr;
    ima_adpcm_state_t* ima = nullptr;
    g726_state_t* g726 = nullptr;
    void Init(const SpanCodec& c) {
        switch (c.kind) {
            case SpanCodec::kG711:
                g711 = g711_init(g711, c.mode);
                break;
            case SpanCodec::kIma:
                ima = ima_adpcm_init(ima, c.mode, 0);
                break;
            case SpanCodec::kG726:
                g726 = g726_init(g726, c.mode, G726_ENCODING_LINEAR, c.packing);
                break;
        }
    }
    int Encode(const SpanCodec& c, uint8_t* out, const int16_t* in, int n) {
        switch (c.kind) {
            case SpanCodec::kG711:
                return g711_encode(g711, out, in, n);
            case SpanCodec::kIma:
                return ima_adpcm_encode(ima, out, in, n);
            default:
                return g726_encode(g726, out, in, n);
        }
    }
    int Decode(const SpanCodec& c, int16_t* out, const uint8_t* in, int bytes) {
        switch (c.kind) {
            case SpanCodec::kG711:
                return g711_decode(g711, out, in, bytes);
            case SpanCodec::kIma:
                return ima_adpcm_decode(ima, out, in, bytes);
            default:
                return g726_decode(g726, out, in, bytes);
        }
    }
    ~SpanState() {
        if (g711) g711_free(g711);
        if (ima) ima_adpcm_free(ima);
        if (g726) g726_free(g726);
    }
};

void SpanEncode(benchmark::State& state, SpanCodec c) {
    const std::vector<int16_t>& pcm = Input();
    SpanState s;
    s.Init(c);
    uint8_t out[1024];
    for (auto _ : state) {
        for (int base = 0; base + c.frame <= kSamples; base += c.frame) {
            benchmark::DoNotOptimize(s.Encode(c, out, &pcm[base], c.frame));
            benchmark::DoNotOptimize(out);
        }
    }
    Count(state);
}

void SpanDecode(benchmark::State& state, SpanCodec c) {
    const std::vector<int16_t>& pcm = Input();
    SpanState s;
    s.Init(c);
    std::vector<std::vector<uint8_t>> chunks;
    for (int base = 0; base + c.frame <= kSamples; base += c.frame) {
        uint8_t out[1024];
        const int bytes = s.Encode(c, out, &pcm[base], c.frame);
        chunks.emplace_back(out, out + bytes);
    }
    int16_t amp[1024];
    for (auto _ : state) {
        s.Init(c);
        for (const std::vector<uint8_t>& chunk : chunks) {
            benchmark::DoNotOptimize(s.Decode(c, amp, chunk.data(), static_cast<int>(chunk.size())));
            benchmark::DoNotOptimize(amp);
        }
    }
    Count(state);
}

// ---- libavcodec ----

struct LavcCodec {
    AVCodecID id;
    int bitRate;  // G.726
    int frame;    // samples per frame when the encoder leaves it open
};

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

ContextPtr OpenEncoder(const LavcCodec& c) {
    const AVCodec* codec = avcodec_find_encoder(c.id);
    if (codec == nullptr) return nullptr;
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = 8000;
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->bit_rate = c.bitRate;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
    return ctx;
}

// Encodes the input in the encoder's frame size; returns the packets.
std::vector<AVPacket*> EncodeAll(AVCodecContext* ctx, int frameSize) {
    const std::vector<int16_t>& pcm = Input();
    std::vector<AVPacket*> packets;
    AVFrame* frame = av_frame_alloc();
    frame->nb_samples = frameSize;
    frame->format = AV_SAMPLE_FMT_S16;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    for (int base = 0; base + frameSize <= kSamples; base += frameSize) {
        av_frame_make_writable(frame);
        std::memcpy(frame->data[0], &pcm[base], sizeof(int16_t) * frameSize);
        avcodec_send_frame(ctx, frame);
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            packets.push_back(av_packet_clone(pkt));
            av_packet_unref(pkt);
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    return packets;
}

int EncoderFrame(const AVCodecContext* ctx, const LavcCodec& c) {
    return ctx->frame_size > 0 ? ctx->frame_size : c.frame;
}

void LavcEncode(benchmark::State& state, LavcCodec c) {
    const std::vector<int16_t>& pcm = Input();
    ContextPtr ctx = OpenEncoder(c);
    if (!ctx) {
        state.SkipWithError("encoder not available");
        return;
    }
    const int frameSize = EncoderFrame(ctx.get(), c);
    AVFrame* frame = av_frame_alloc();
    frame->nb_samples = frameSize;
    frame->format = AV_SAMPLE_FMT_S16;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    int64_t coded = 0;
    for (auto _ : state) {
        for (int base = 0; base + frameSize <= kSamples; base += frameSize) {
            av_frame_make_writable(frame);
            std::memcpy(frame->data[0], &pcm[base], sizeof(int16_t) * frameSize);
            avcodec_send_frame(ctx.get(), frame);
            while (avcodec_receive_packet(ctx.get(), pkt) == 0) {
                coded += pkt->size;
                av_packet_unref(pkt);
            }
        }
    }
    benchmark::DoNotOptimize(coded);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    // Whole frames only: count the samples actually coded per pass.
    state.counters["samples_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * (kSamples / frameSize) * frameSize,
                           benchmark::Counter::kIsRate);
}

void LavcDecode(benchmark::State& state, LavcCodec c) {
    ContextPtr enc = OpenEncoder(c);
    const AVCodec* codec = avcodec_find_decoder(c.id);
    if (!enc || codec == nullptr) {
        state.SkipWithError("codec not available");
        return;
    }
    const int frameSize = EncoderFrame(enc.get(), c);
    std::vector<AVPacket*> packets = EncodeAll(enc.get(), frameSize);
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = 8000;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->bits_per_coded_sample = enc->bits_per_coded_sample;
    ctx->block_align = enc->block_align;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        state.SkipWithError("decoder did not open");
        return;
    }
    AVFrame* frame = av_frame_alloc();
    int64_t samples = 0;
    for (auto _ : state) {
        avcodec_flush_buffers(ctx.get());
        for (AVPacket* p : packets) {
            avcodec_send_packet(ctx.get(), p);
            while (avcodec_receive_frame(ctx.get(), frame) == 0) {
                samples += frame->nb_samples;
                av_frame_unref(frame);
            }
        }
    }
    av_frame_free(&frame);
    for (AVPacket* p : packets) av_packet_free(&p);
    state.counters["samples_per_s"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
}

// ---- the matrix ----

struct Row {
    std::string codec;
    int16_t id;
    bool hasSpan;
    SpanCodec span;
    AVCodecID lavc;  // AV_CODEC_ID_NONE: libavcodec lacks this codec
    int lavcBitRate;
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"g711a", 1, true, {SpanCodec::kG711, G711_ALAW, 0, 480}, AV_CODEC_ID_PCM_ALAW, 0},
        {"g711u", 2, true, {SpanCodec::kG711, G711_ULAW, 0, 480}, AV_CODEC_ID_PCM_MULAW, 0},
        {"ima(35)", 35, true, {SpanCodec::kIma, IMA_ADPCM_IMA4, 0, 481}, AV_CODEC_ID_ADPCM_IMA_WAV, 0},
        {"dvi4(3)", 3, true, {SpanCodec::kIma, IMA_ADPCM_DVI4, 0, 480}, AV_CODEC_ID_NONE, 0},
        {"dvi4-raw(67)", 67, true, {SpanCodec::kIma, IMA_ADPCM_DVI4, 0, 480}, AV_CODEC_ID_NONE, 0},
        {"g726-16(4)",
         4,
         true,
         {SpanCodec::kG726, 16000, G726_PACKING_RIGHT, 480},
         AV_CODEC_ID_ADPCM_G726LE,
         16000},
        {"g726-24(5)",
         5,
         true,
         {SpanCodec::kG726, 24000, G726_PACKING_RIGHT, 480},
         AV_CODEC_ID_ADPCM_G726LE,
         24000},
        {"g726-32(6)",
         6,
         true,
         {SpanCodec::kG726, 32000, G726_PACKING_RIGHT, 480},
         AV_CODEC_ID_ADPCM_G726LE,
         32000},
        {"g726-40(7)",
         7,
         true,
         {SpanCodec::kG726, 40000, G726_PACKING_RIGHT, 480},
         AV_CODEC_ID_ADPCM_G726LE,
         40000},
        {"g726-16(36)",
         36,
         true,
         {SpanCodec::kG726, 16000, G726_PACKING_LEFT, 480},
         AV_CODEC_ID_ADPCM_G726,
         16000},
        {"g726-24(37)",
         37,
         true,
         {SpanCodec::kG726, 24000, G726_PACKING_LEFT, 480},
         AV_CODEC_ID_ADPCM_G726,
         24000},
        {"g726-32(38)",
         38,
         true,
         {SpanCodec::kG726, 32000, G726_PACKING_LEFT, 480},
         AV_CODEC_ID_ADPCM_G726,
         32000},
        {"g726-40(39)",
         39,
         true,
         {SpanCodec::kG726, 40000, G726_PACKING_LEFT, 480},
         AV_CODEC_ID_ADPCM_G726,
         40000},
        // No peer has id 68; SpanDSP's G.726-16 is the nearest coder.
        {"adpcm16(68)", 68, true, {SpanCodec::kG726, 16000, G726_PACKING_RIGHT, 480}, AV_CODEC_ID_NONE, 0},
    };
    return rows;
}

void Register() {
    for (const Row& r : Rows()) {
        for (const char* dir : {"encode", "decode"}) {
            const bool enc = std::strcmp(dir, "encode") == 0;
            const std::string base = r.codec + "/" + dir + "/";
            if (enc) {
                benchmark::RegisterBenchmark((base + "engine").c_str(), EngineEncode, r.id);
                benchmark::RegisterBenchmark((base + "spandsp").c_str(), SpanEncode, r.span);
            } else {
                benchmark::RegisterBenchmark((base + "engine").c_str(), EngineDecode, r.id);
                benchmark::RegisterBenchmark((base + "spandsp").c_str(), SpanDecode, r.span);
            }
            if (r.lavc != AV_CODEC_ID_NONE) {
                const LavcCodec lc{r.lavc, r.lavcBitRate, 480};
                if (enc) {
                    benchmark::RegisterBenchmark((base + "libavcodec").c_str(), LavcEncode, lc);
                } else {
                    benchmark::RegisterBenchmark((base + "libavcodec").c_str(), LavcDecode, lc);
                }
            }
        }
    }
}

// Keeps the best rate of each benchmark over its repetitions for the summary: on a shared machine the
// best run is the one least disturbed by other work.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto it = run.counters.find("samples_per_s");
            if (it == run.counters.end()) continue;
            double& best = rates_[run.run_name.function_name];
            best = std::max(best, it->second.value);
        }
    }

    void PrintSummary() const {
        std::printf("\n%-14s %-7s %12s %12s %12s %10s %10s\n", "codec", "dir", "engine M/s", "spandsp M/s",
                    "lavc M/s", "eng/span", "eng/lavc");
        for (const Row& r : Rows()) {
            for (const char* dir : {"encode", "decode"}) {
                const std::string base = r.codec + "/" + dir + "/";
                const double e = Rate(base + "engine"), s = Rate(base + "spandsp"),
                             l = Rate(base + "libavcodec");
                if (e == 0) continue;  // filtered out of this run
                char lavc[16] = "-", ratioL[16] = "-";
                if (l > 0) {
                    std::snprintf(lavc, sizeof(lavc), "%.1f", l / 1e6);
                    std::snprintf(ratioL, sizeof(ratioL), "%.2f", e / l);
                }
                std::printf("%-14s %-7s %12.1f %12.1f %12s %10.2f %10s\n", r.codec.c_str(), dir, e / 1e6,
                            s / 1e6, lavc, s > 0 ? e / s : 0.0, ratioL);
            }
        }
    }

private:
    double Rate(const std::string& name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
