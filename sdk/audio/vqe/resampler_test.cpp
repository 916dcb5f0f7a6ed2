// The resampler against libsamplerate (SINC_FASTEST) and libsoxr (HQ), run on the same 16-bit signals
// in the same run, and its carry and count rules.
#include "sdk/audio/vqe/resampler.h"

#include <samplerate.h>
#include <soxr.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/audio/testing/audio_measure.h"

namespace {

using varnelle::audiotest::ComponentDb;
using varnelle::audiotest::FitTone;
using varnelle::audiotest::LevelDb;
using varnelle::audiotest::Tone;

struct Pair {
    int in;
    int out;
};
const Pair kPairs[] = {{8000, 48000}, {48000, 8000}, {16000, 48000}, {44100, 16000}, {11025, 8000}};

// The whole signal through one RES instance, as one block.
std::vector<int16_t> OursOneShot(const std::vector<int16_t>& in, int inRate, int outRate) {
    AUDIO_MODULE_S m{};
    EXPECT_EQ(AUDIO_LoadModule(&m, VQE_MODULE_PREFIX, "RES"), 0);
    VQE_RES_PARAM_S p{outRate, 0, 1};
    MK_VOID* inst = nullptr;
    EXPECT_EQ(m.pfnInit(&inst, inRate, &p), 0);
    std::vector<int16_t> out(in.size() * static_cast<size_t>(outRate) / inRate + 8);
    VQE_BUF_DESC_S src{const_cast<int16_t*>(in.data()), nullptr, nullptr, nullptr,
                       static_cast<MK_U32>(in.size() * 2)};
    VQE_BUF_DESC_S dst{out.data(), nullptr, nullptr, nullptr, 0};
    MK_S32 n = m.pfnProcess(inst, &src, &dst);
    EXPECT_EQ(static_cast<size_t>(n), in.size() * static_cast<size_t>(outRate) / inRate);
    out.resize(std::max(n, 0));
    m.pfnRelease(inst);
    AUDIO_UnloadModule(&m);
    return out;
}

std::vector<int16_t> ToInt16(const std::vector<float>& f) {
    std::vector<int16_t> v(f.size());
    for (size_t i = 0; i < f.size(); ++i) {
        double s = std::nearbyint(f[i] * 32768.0);
        v[i] = static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0));
    }
    return v;
}

std::vector<int16_t> Libsamplerate(const std::vector<int16_t>& in, int inRate, int outRate) {
    std::vector<float> fin(in.size());
    for (size_t i = 0; i < in.size(); ++i) fin[i] = in[i] / 32768.0f;
    std::vector<float> fout(in.size() * static_cast<size_t>(outRate) / inRate + 64);
    SRC_DATA d{};
    d.data_in = fin.data();
    d.input_frames = static_cast<long>(fin.size());
    d.data_out = fout.data();
    d.output_frames = static_cast<long>(fout.size());
    d.src_ratio = static_cast<double>(outRate) / inRate;
    EXPECT_EQ(src_simple(&d, SRC_SINC_FASTEST, 1), 0);
    fout.resize(d.output_frames_gen);
    return ToInt16(fout);
}

std::vector<int16_t> Soxr(const std::vector<int16_t>& in, int inRate, int outRate) {
    std::vector<int16_t> out(in.size() * static_cast<size_t>(outRate) / inRate + 64);
    size_t done = 0;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    EXPECT_EQ(soxr_oneshot(inRate, outRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done, &io, &q,
                           nullptr),
              nullptr);
    out.resize(done);
    return out;
}

using Converter = std::vector<int16_t> (*)(const std::vector<int16_t>&, int, int);
struct Subject {
    const char* name;
    Converter convert;
};
const Subject kSubjects[] = {{"RES", OursOneShot}, {"libsamplerate", Libsamplerate}, {"soxr", Soxr}};

// The steady middle of a converted signal (filter start-up and end left out).
std::pair<size_t, size_t> Middle(const std::vector<int16_t>& v, int rate) {
    const size_t skip = static_cast<size_t>(rate) / 10;
    return {skip, v.size() > 2 * skip ? v.size() - skip : v.size()};
}

class ResamplerQualityTest : public ::testing::TestWithParam<Pair> {};

TEST_P(ResamplerQualityTest, ToneFrequencySnrAndPassbandMatchTheReferences) {
    const Pair p = GetParam();
    const double low = std::min(p.in, p.out);
    const double f = 0.3 * low * 0.9973;
    const std::vector<int16_t> in = Tone(static_cast<size_t>(p.in), p.in, f, -1.0);
    for (const Subject& s : kSubjects) {
        std::vector<int16_t> out = s.convert(in, p.in, p.out);
        auto [a, b] = Middle(out, p.out);
        auto fit = FitTone(out, a, b, p.out, f);
        std::printf("%5d->%5d %-14s tone %.4f Hz, SNR %.1f dB\n", p.in, p.out, s.name, fit.freq, fit.SnrDb());
        if (std::string(s.name) == "RES") {
            EXPECT_NEAR(fit.freq, f, 0.1);
            EXPECT_GE(fit.SnrDb(), 85.0);
            EXPECT_NEAR(fit.LevelDb(), -1.0, 0.1);
        } else {
            EXPECT_GE(fit.SnrDb(), 80.0) << "the meter itself is off";
        }
    }
    // Passband: tones up to 0.4 x the lower rate keep their level.
    for (double rel : {0.02, 0.1, 0.2, 0.3, 0.35, 0.4}) {
        const double ft = rel * low * 0.999;
        const std::vector<int16_t> tin = Tone(static_cast<size_t>(p.in), p.in, ft, -6.0);
        std::vector<int16_t> out = OursOneShot(tin, p.in, p.out);
        auto [a, b] = Middle(out, p.out);
        auto fit = FitTone(out, a, b, p.out, ft);
        EXPECT_NEAR(fit.LevelDb(), -6.0, 0.1) << "at " << ft << " Hz";
        EXPECT_GE(fit.SnrDb(), 85.0) << "images or noise at " << ft << " Hz";
    }
}

TEST_P(ResamplerQualityTest, ImagesOfTonesUpToTheBandEdgeAreRejected) {
    const Pair p = GetParam();
    if (p.in > p.out) return;  // lowering the rate makes no images
    const double low = p.in;
    for (double rel : {0.25, 0.4, 0.45}) {
        const double ft = rel * low;
        const std::vector<int16_t> in = Tone(static_cast<size_t>(p.in), p.in, ft, -1.0);
        std::vector<int16_t> out = OursOneShot(in, p.in, p.out);
        auto [a, b] = Middle(out, p.out);
        // The first image of the tone.
        const double image = ComponentDb(out.data() + a, b - a, p.out, low - ft);
        EXPECT_LE(image, -1.0 - 85.0) << ft << " Hz";
    }
}

TEST_P(ResamplerQualityTest, AliasesOfTonesAboveTheOutputBandAreRejected) {
    const Pair p = GetParam();
    if (p.in < p.out) return;  // nothing lies above the output band when raising the rate
    for (double rel : {0.52, 0.6, 0.7}) {
        const double ft = rel * p.out;
        if (ft >= 0.49 * p.in) continue;
        const std::vector<int16_t> in = Tone(static_cast<size_t>(p.in), p.in, ft, -1.0);
        for (const Subject& s : kSubjects) {
            std::vector<int16_t> out = s.convert(in, p.in, p.out);
            auto [a, b] = Middle(out, p.out);
            const double alias = ComponentDb(out.data() + a, b - a, p.out, p.out - ft);
            const double rest = LevelDb(out.data() + a, b - a);
            std::printf("%5d->%5d %-14s tone %.0f Hz: alias %.1f dB, all %.1f dB\n", p.in, p.out, s.name, ft,
                        alias, rest);
            if (std::string(s.name) == "RES") {
                EXPECT_LE(alias, -1.0 - 85.0);
                EXPECT_LE(rest, -1.0 - 85.0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, ResamplerQualityTest, ::testing::ValuesIn(kPairs),
                         [](const auto& info) {
                             return std::to_string(info.param.in) + "to" + std::to_string(info.param.out);
                         });

struct Handle {
    RESAMPLER_S* r = nullptr;
    ~Handle() {
        if (r != nullptr) Resampler_Destroy(r);
    }
};

TEST(ResamplerTest, AnyChunkingEqualsOneShot) {
    std::mt19937 rng(7);
    for (const Pair& p : kPairs) {
        const size_t n = static_cast<size_t>(p.in) / 4;  // the one-shot output stays within one work buffer
        std::vector<int16_t> in = Tone(n, p.in, 0.21 * std::min(p.in, p.out), -3.0);
        std::vector<int16_t> whole = OursOneShot(in, p.in, p.out);
        Handle h;
        ASSERT_EQ(Resampler_Create(&h.r, p.in, p.out, RESAMPLER_SIDE_IN), 0);
        ASSERT_NE(h.r, nullptr);
        std::vector<int16_t> got;
        std::vector<int16_t> buf(RESAMPLER_WORK_SAMPLES);
        size_t pos = 0;
        while (pos < n) {
            const size_t len = std::min<size_t>(n - pos, std::uniform_int_distribution<int>(0, 700)(rng));
            const MK_S32 expect = Resampler_GetOutputNum(h.r, static_cast<MK_S32>(len));
            MK_S32 count = -1;
            ASSERT_EQ(Resampler_Process(h.r, in.data() + pos, buf.data(), static_cast<MK_S32>(len), &count, 0), 0);
            ASSERT_EQ(count, expect);
            got.insert(got.end(), buf.begin(), buf.begin() + count);
            pos += len;
        }
        // An integer ratio may still hold back fewer than ratio inputs.
        ASSERT_LE(whole.size() - got.size(), static_cast<size_t>(std::max(h.r->s32Ratio, 1)));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin())) << p.in << "->" << p.out;
    }
}

TEST(ResamplerTest, IntegerRatioCarriesTheInputsThatDoNotMakeAStep) {
    Handle h;
    ASSERT_EQ(Resampler_Create(&h.r, 48000, 8000, RESAMPLER_SIDE_IN), 0);
    std::vector<int16_t> in(100, 1000), out(100);
    MK_S32 count = 0;
    ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), 100, &count, 0), 0);
    EXPECT_EQ(count, 16);
    EXPECT_EQ(h.r->s32CarryNum, 4);
    ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), 2, &count, 0), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(h.r->s32CarryNum, 0);
}

TEST(ResamplerTest, ExactOutputModeIsNeverShortAndCarriesItsSurplus) {
    for (const Pair& p : kPairs) {
        Handle h;
        ASSERT_EQ(Resampler_Create(&h.r, p.in, p.out, RESAMPLER_SIDE_OUT), 0);
        std::vector<int16_t> in(4096 * 6 + 8, 0), out(4096);
        size_t total = 0;
        for (MK_S32 wanted = 1; wanted <= 4096; wanted += (wanted < 64 ? 1 : 61)) {
            const MK_S32 need = Resampler_GetInputNum(h.r, wanted, 1);
            ASSERT_GE(need, 0);
            MK_S32 count = wanted;
            ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), need, &count, 1), 0)
                << p.in << "->" << p.out << " wanted " << wanted;
            ASSERT_EQ(count, wanted);
            ASSERT_LT(h.r->s32CarryNum, p.out / p.in + 2);
            total += count;
        }
        EXPECT_GT(total, 0u);
    }
}

TEST(ResamplerTest, PartialModeLowersTheCountAndExactModeRefusesAShortfallUnchanged) {
    Handle h;
    ASSERT_EQ(Resampler_Create(&h.r, 8000, 48000, RESAMPLER_SIDE_OUT), 0);
    std::vector<int16_t> in(100, 5), out(1000);
    MK_S32 count = 600;
    EXPECT_EQ(Resampler_Process(h.r, in.data(), out.data(), 10, &count, 1), static_cast<MK_S32>(0xA3340004));
    EXPECT_EQ(count, 600);
    EXPECT_EQ(h.r->s32CarryNum, 0);
    EXPECT_EQ(h.r->u64Phase, 0u);
    ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), 10, &count, 2), 0);
    EXPECT_EQ(count, 60);
}

TEST(ResamplerTest, InputCountClampsAtZeroWhenTheCarryCovers) {
    Handle h;
    ASSERT_EQ(Resampler_Create(&h.r, 8000, 48000, RESAMPLER_SIDE_OUT), 0);
    std::vector<int16_t> in(100, 5), out(1000);
    MK_S32 count = 5;  // one input makes six outputs: one is carried
    ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), Resampler_GetInputNum(h.r, 5, 1), &count, 1), 0);
    EXPECT_EQ(h.r->s32CarryNum, 1);
    EXPECT_EQ(Resampler_GetInputNum(h.r, 1, 1), 0);
    EXPECT_EQ(Resampler_GetInputNum(h.r, 0, 1), 0);
    EXPECT_EQ(Resampler_GetInputNum(h.r, 100, 0), 0);
    count = 1;
    ASSERT_EQ(Resampler_Process(h.r, in.data(), out.data(), 0, &count, 1), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(h.r->s32CarryNum, 0);
}

TEST(ResamplerTest, CountsOverTheWorkBufferAreRefusedUnchanged) {
    Handle in, out;
    ASSERT_EQ(Resampler_Create(&in.r, 48000, 8000, RESAMPLER_SIDE_IN), 0);
    ASSERT_EQ(Resampler_Create(&out.r, 8000, 48000, RESAMPLER_SIDE_OUT), 0);
    std::vector<int16_t> a(RESAMPLER_WORK_SAMPLES + 8, 1), b(RESAMPLER_WORK_SAMPLES + 8);
    MK_S32 count = 0;
    EXPECT_EQ(Resampler_Process(in.r, a.data(), b.data(), 3, &count, 0), 0);  // carries 3
    EXPECT_EQ(Resampler_Process(in.r, a.data(), b.data(), RESAMPLER_WORK_SAMPLES, &count, 0),
              static_cast<MK_S32>(0xA3340002));
    EXPECT_EQ(in.r->s32CarryNum, 3);
    count = RESAMPLER_WORK_SAMPLES;
    EXPECT_EQ(Resampler_Process(out.r, a.data(), b.data(), 2049, &count, 2), static_cast<MK_S32>(0xA3340002));
    EXPECT_EQ(out.r->u64Phase, 0u);
    EXPECT_EQ(Resampler_Process(out.r, a.data(), b.data(), 10, &count, 3), static_cast<MK_S32>(0xA3340002));
    EXPECT_EQ(Resampler_Process(nullptr, a.data(), b.data(), 10, &count, 0), -1);
    EXPECT_EQ(Resampler_Process(out.r, a.data(), nullptr, 10, &count, 1), -1);
    // A mode that is not the instance's side.
    EXPECT_EQ(Resampler_Process(out.r, a.data(), b.data(), 10, &count, 0), static_cast<MK_S32>(0xA3340002));
}

TEST(ResamplerTest, NoResamplerForEqualOrUnsupportedRatesAndBadSidesRefused) {
    const struct {
        int in, out, side;
        MK_S32 ret;
        bool made;
    } cases[] = {
        {8000, 8000, 0, 0, false},  {8000, 96000, 0, 0, false}, {7999, 8000, 1, 0, false},
        {8000, 16000, 2, static_cast<MK_S32>(0xA3340002), false}, {16000, 8000, 1, 0, true},
        {11025, 48000, 0, 0, true},
    };
    for (const auto& c : cases) {
        RESAMPLER_S* r = reinterpret_cast<RESAMPLER_S*>(1);
        EXPECT_EQ(Resampler_Create(&r, c.in, c.out, c.side), c.ret) << c.in << "->" << c.out;
        EXPECT_EQ(r != nullptr, c.made) << c.in << "->" << c.out;
        if (r != nullptr) {
            EXPECT_EQ(Resampler_Destroy(r), 0);
        }
    }
    EXPECT_EQ(Resampler_Destroy(nullptr), -1);
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
}

}  // namespace
