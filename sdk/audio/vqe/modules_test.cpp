// The processing modules measured through the loader, the speech ones against speexdsp run on the same
// signals in the same run.
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/audio/testing/audio_measure.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/vqe/audio_module.h"

namespace {

using varnelle::audiotest::FitTone;
using varnelle::audiotest::LevelDb;
using varnelle::audiotest::Tone;
using Signal = std::vector<int16_t>;

// One module instance, loaded and started as an engine would.
class Module {
public:
    Module(const char* name, int rate, void* block, int modeA = 0, int modeB = 0) {
        EXPECT_EQ(AUDIO_LoadModule(&m_mod, VQE_MODULE_PREFIX, name), 0) << name;
        m_param = VQE_MODULE_PARAM_S{modeA, modeB, 0, block, -1, -1};
        EXPECT_EQ(m_mod.pfnInit(&m_inst, rate, &m_param), 0) << name;
    }
    ~Module() {
        if (m_inst != nullptr) m_mod.pfnRelease(m_inst);
        AUDIO_UnloadModule(&m_mod);
    }
    Signal Run(const Signal& in, int frame, const Signal* ref = nullptr, int32_t* volume = nullptr) {
        Signal out(in.size());
        for (size_t pos = 0; pos + frame <= in.size(); pos += frame) {
            VQE_BUF_DESC_S src{const_cast<int16_t*>(in.data() + pos),
                               ref != nullptr ? const_cast<int16_t*>(ref->data() + pos) : nullptr, nullptr, volume,
                               static_cast<MK_U32>(frame * 2)};
            VQE_BUF_DESC_S dst{out.data() + pos, nullptr, nullptr, volume, 0};
            EXPECT_EQ(m_mod.pfnProcess(m_inst, &src, &dst), 0);
        }
        return out;
    }

private:
    AUDIO_MODULE_S m_mod{};
    VQE_MODULE_PARAM_S m_param{};
    MK_VOID* m_inst = nullptr;
};

// Level of a steady tone after the module settles (the last half of two seconds).
double ToneGainDb(Module& m, int rate, int frame, double f, double levelDb) {
    Signal in = Tone(static_cast<size_t>(2 * rate), rate, f, levelDb);
    Signal out = m.Run(in, frame);
    auto fit = FitTone(out, out.size() / 2, out.size(), rate, f);
    return fit.LevelDb() - levelDb;
}

TEST(VqeModulesTest, HighPassIsThreeDecibelsDownAtItsCutoffWithinFivePercent) {
    for (int rate : {8000, 16000, 48000}) {
        for (MK_U32 fc : {80u, 120u, 150u}) {
            VQE_HPF_CONFIG_S cfg{1, fc};
            Module below("HPF", rate, &cfg), above("HPF", rate, &cfg), far("HPF", rate, &cfg);
            EXPECT_LT(ToneGainDb(below, rate, rate / 100, 0.95 * fc, -10), -3.0) << rate << " " << fc;
            EXPECT_GT(ToneGainDb(above, rate, rate / 100, 1.05 * fc, -10), -3.0) << rate << " " << fc;
            EXPECT_NEAR(ToneGainDb(far, rate, rate / 100, 20.0 * fc, -10), 0.0, 0.05);
        }
    }
}

TEST(VqeModulesTest, EqualiserBandGainsHoldWithinOneDecibel) {
    for (int rate : {8000, 16000, 48000}) {
        for (int band = 0; band < VQE_EQ_BAND_NUM; ++band) {
            const double f = 31.25 * std::pow(2.0, band);
            if (f >= 0.45 * rate || f < 60) continue;  // lower bands need longer tones than a unit test runs
            for (int gain : {-12, -6, 6, 12}) {
                VQE_EQ_CONFIG_S cfg{};
                cfg.s8GaindB[band] = static_cast<MK_S8>(gain);
                Module eq("EQ", rate, &cfg, 1, 0);
                EXPECT_NEAR(ToneGainDb(eq, rate, rate / 100, f, -20), gain, 1.0) << rate << " Hz band " << band;
            }
        }
        VQE_EQ_CONFIG_S flat{};
        Module eq("EQ", rate, &flat, 1, 0);
        EXPECT_NEAR(ToneGainDb(eq, rate, rate / 100, 1000, -20), 0.0, 0.05);
    }
}

VQE_AGC_CONFIG_S Agc(int target, int maxGain, int floor = -60, int speed = 8) {
    VQE_AGC_CONFIG_S a{};
    a.bUsrMode = 1;
    a.s8TargetLevel = static_cast<MK_S8>(target);
    a.s8MaxGain = static_cast<MK_S8>(maxGain);
    a.s8NoiseFloor = static_cast<MK_S8>(floor);
    a.s8AdjustSpeed = static_cast<MK_S8>(speed);
    return a;
}

TEST(VqeModulesTest, GainControlReachesItsTargetWithinItsGainAndNeverClips) {
    const int rate = 16000;
    const struct {
        int target, maxGain;
        double inDb, wantDb;
    } cases[] = {{-10, 30, -30, -10}, {-10, 30, -2, -10}, {-20, 12, -40, -28}, {-6, 20, -12, -6}};
    for (const auto& c : cases) {
        VQE_AGC_CONFIG_S cfg = Agc(c.target, c.maxGain);
        Module agc("AGC", rate, &cfg);
        const double out = c.inDb + ToneGainDb(agc, rate, 160, 700, c.inDb);
        EXPECT_NEAR(out, c.wantDb, 2.0) << "target " << c.target << " in " << c.inDb;
        EXPECT_LE(out - c.inDb, c.maxGain + 0.1) << "over the largest gain";
    }
    // Quiet input raises the gain; a sudden loud passage 6 dB past full scale must not clip.
    VQE_AGC_CONFIG_S cfg = Agc(-3, 20, -60, 3);
    Module agc("AGC", rate, &cfg);
    Signal in = Tone(3 * rate, rate, 500, -23);
    Signal loud = Tone(2 * rate, rate, 500, -17 + 0.0);  // with 20 dB of gain: +3 dBFS... and more
    for (auto& v : loud) v = static_cast<int16_t>(std::clamp(v * 2, -32768, 32767));  // -11 dBFS: +9 dB over
    in.insert(in.end(), loud.begin(), loud.end());
    Signal out = agc.Run(in, 160);
    int clipped = 0;
    for (int16_t v : out) clipped += v >= 32767 || v <= -32768;
    EXPECT_EQ(clipped, 0);
    auto tail = FitTone(out, out.size() - rate / 2, out.size(), rate, 500);
    EXPECT_NEAR(tail.LevelDb(), -3.0, 2.0);
}

TEST(VqeModulesTest, VolumeGainIsExact) {
    for (int volume : {-20, -6, 0, 6, 10}) {
        Module gain("GAIN", 8000, nullptr);
        int32_t v = volume;
        Signal in = Tone(8000, 8000, 1000, -20);
        Signal out = gain.Run(in, 80, nullptr, &v);
        auto fit = FitTone(out, 800, out.size(), 8000, 1000);
        EXPECT_NEAR(fit.LevelDb(), -20.0 + volume, 0.1) << volume;
    }
}

// Compressor curve written out by hand: level in dBFS, threshold T, ratio R, makeup M.
double Curve(double in, double t, double r, double m) { return (in <= t ? in : t + (in - t) / r) + m; }

TEST(VqeModulesTest, CompressorsFollowTheirCurvesWithinOneDecibel) {
    VQE_DRC_CONFIG_S drc{};
    drc.bUsrMode = 1;
    drc.s16AttackTime = 5;
    drc.s16ReleaseTime = 200;
    drc.s16ThresholdDb = -20;
    drc.s16RatioX10 = 40;
    drc.s16MakeupGainDb = 2;
    drc.s16LimiterDb = 0;
    for (double in : {-40.0, -25.0, -20.0, -12.0, -4.0}) {
        Module m("DRC", 16000, &drc);
        EXPECT_NEAR(in + ToneGainDb(m, 16000, 160, 1000, in), Curve(in, -20, 4, 2), 1.0) << in;
    }
    VQE_MBC_CONFIG_S mbc{};
    mbc.u32BandNum = 2;
    mbc.astBand[0] = VQE_MBC_BAND_S{1000, -20, 40, 5, 200, 0, {}};
    mbc.astBand[1] = VQE_MBC_BAND_S{0, -30, 20, 5, 200, 3, {}};
    const struct {
        double f, in, want;
    } tones[] = {
        {250, -40, Curve(-40, -20, 4, 0)}, {250, -10, Curve(-10, -20, 4, 0)}, {250, -25, Curve(-25, -20, 4, 0)},
        {4000, -40, Curve(-40, -30, 2, 3)}, {4000, -10, Curve(-10, -30, 2, 3)}, {4000, -20, Curve(-20, -30, 2, 3)},
    };
    for (const auto& t : tones) {
        Module m("MBC", 16000, &mbc);
        EXPECT_NEAR(t.in + ToneGainDb(m, 16000, 160, t.f, t.in), t.want, 1.0) << t.f << " Hz at " << t.in;
    }
}

// Speech-like sound at 8 kHz with white noise 5 dB under it.
struct NoisySpeech {
    Signal clean, noisy;
};
NoisySpeech MakeNoisySpeech(int seconds) {
    const int n = 8000 * seconds;
    NoisySpeech s;
    s.clean.resize(n);
    varnelle::voice::SpeechLike(s.clean.data(), n, 1.0, 3);
    const double speech = LevelDb(s.clean);
    const double noiseRms = 32768.0 * std::pow(10.0, (speech - 5.0) / 20.0) / std::sqrt(2.0);
    std::mt19937 rng(9);
    std::normal_distribution<double> g(0.0, noiseRms);
    s.noisy.resize(n);
    for (int i = 0; i < n; ++i) s.noisy[i] = static_cast<int16_t>(std::clamp(s.clean[i] + g(rng), -32768.0, 32767.0));
    return s;
}

// Level over the middle of every slot of one kind, after the first two seconds.
double SlotLevelDb(const Signal& s, varnelle::voice::SpeechSlot kind) {
    double sum = 0;
    size_t count = 0;
    const long slot = 2000;  // a quarter second at 8 kHz
    for (long start = 16000; start + slot <= static_cast<long>(s.size()); start += slot) {
        if (varnelle::voice::SpeechSlotAt(start) != kind) continue;
        for (long t = start + 400; t < start + slot - 400; ++t) {
            sum += static_cast<double>(s[t]) * s[t];
            ++count;
        }
    }
    return 10.0 * std::log10(2.0 * sum / std::max<size_t>(count, 1) / (32768.0 * 32768.0) + 1e-30);
}

TEST(VqeModulesTest, NoiseReductionCutsPauseNoiseAtLeastAsSpeexDoesAndKeepsVoicedLevel) {
    NoisySpeech s = MakeNoisySpeech(12);
    VQE_ANR_CONFIG_S cfg{1, 15, 60, 1, 0};  // 15 dB of suppression
    Module anr("ANR", 8000, &cfg);
    Signal ours = anr.Run(s.noisy, 80);
    SpeexPreprocessState* st = speex_preprocess_state_init(80, 8000);
    int on = 1, off = 0, suppress = -15;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
    Signal speex = s.noisy;
    for (size_t pos = 0; pos + 80 <= speex.size(); pos += 80) speex_preprocess_run(st, speex.data() + pos);
    speex_preprocess_state_destroy(st);
    using varnelle::voice::SpeechSlot;
    const double pauseIn = SlotLevelDb(s.noisy, SpeechSlot::kPause);
    const double cutOurs = pauseIn - SlotLevelDb(ours, SpeechSlot::kPause);
    const double cutSpeex = pauseIn - SlotLevelDb(speex, SpeechSlot::kPause);
    const double voicedClean = SlotLevelDb(s.clean, SpeechSlot::kVoiced);
    const double voicedOurs = SlotLevelDb(ours, SpeechSlot::kVoiced);
    std::printf("pause noise cut: ANR %.1f dB, speexdsp %.1f dB; voiced level clean %.1f, ANR %.1f, speexdsp %.1f\n",
                cutOurs, cutSpeex, voicedClean, voicedOurs, SlotLevelDb(speex, SpeechSlot::kVoiced));
    EXPECT_GE(cutOurs, cutSpeex - 2.0);
    EXPECT_NEAR(voicedOurs, voicedClean, 2.0);
}

// Far end, the echo it makes on a path of 10 ms delay and a decaying 32 ms tail at -6 dB, and the
// echo of a second path from `change` on.
struct EchoScene {
    Signal far, near;
};
std::vector<double> EchoPath(uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g;
    std::vector<double> h(80 + 256, 0.0);
    double energy = 0;
    for (int k = 0; k < 256; ++k) {
        h[80 + k] = g(rng) * std::exp(-k / 60.0);
        energy += h[80 + k] * h[80 + k];
    }
    for (double& v : h) v *= std::sqrt(0.25 / energy);  // -6 dB of energy
    return h;
}
EchoScene MakeEcho(int seconds, int changeAt) {
    const int n = 8000 * seconds;
    EchoScene s;
    s.far.resize(n);
    varnelle::voice::SpeechLike(s.far.data(), n, 1.0, 5);
    s.near.assign(n, 0);
    const auto a = EchoPath(1), b = EchoPath(2);
    for (int t = 0; t < n; ++t) {
        const auto& h = t < changeAt * 8000 ? a : b;
        double acc = 0;
        for (size_t k = 0; k < h.size() && k <= static_cast<size_t>(t); ++k) acc += h[k] * s.far[t - k];
        s.near[t] = static_cast<int16_t>(std::clamp(std::nearbyint(acc), -32768.0, 32767.0));
    }
    return s;
}

double ErleDb(const Signal& near, const Signal& out, int fromSec, int toSec) {
    double d = 0, e = 0;
    for (int t = fromSec * 8000; t < toSec * 8000; ++t) {
        d += static_cast<double>(near[t]) * near[t];
        e += static_cast<double>(out[t]) * out[t];
    }
    return 10.0 * std::log10(d / std::max(e, 1.0));
}

TEST(VqeModulesTest, EchoCancellerMatchesSpeexAndReconvergesAfterAPathChange) {
    EchoScene s = MakeEcho(16, 10);
    VQE_AEC_CONFIG_S cfg{};
    Module aec("AEC", 8000, &cfg);
    Signal ours = aec.Run(s.near, 80, &s.far);
    SpeexEchoState* st = speex_echo_state_init(80, 1024);
    int rate = 8000;
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    Signal speex(s.near.size());
    for (size_t pos = 0; pos + 80 <= speex.size(); pos += 80) {
        speex_echo_cancellation(st, s.near.data() + pos, s.far.data() + pos, speex.data() + pos);
    }
    speex_echo_state_destroy(st);
    const double erleOurs = ErleDb(s.near, ours, 3, 10), erleSpeex = ErleDb(s.near, speex, 3, 10);
    const double after = ErleDb(s.near, ours, 13, 16), afterSpeex = ErleDb(s.near, speex, 13, 16);
    std::printf("ERLE 3-10 s: AEC %.1f dB, speexdsp %.1f dB; after the path change (13-16 s): %.1f, %.1f dB\n",
                erleOurs, erleSpeex, after, afterSpeex);
    EXPECT_GE(erleOurs, 25.0);
    EXPECT_GE(erleOurs, erleSpeex - 6.0);
    EXPECT_GE(after, 25.0) << "not reconverged within 3 s";
}

TEST(VqeModulesTest, EchoCancellerPassesTheNearEndAloneUnchangedInLevel) {
    Signal near(8000 * 6), far(near.size(), 0);
    varnelle::voice::SpeechLike(near.data(), static_cast<int>(near.size()), 0.5, 8);
    VQE_AEC_CONFIG_S cfg{};
    Module aec("AEC", 8000, &cfg);
    Signal out = aec.Run(near, 80, &far);
    EXPECT_NEAR(LevelDb(out.data() + 8000, out.size() - 8000), LevelDb(near.data() + 8000, near.size() - 8000), 1.0);
}

}  // namespace
