// Shared signal processing of the audio processing modules (libvqe_common.so): level conversions,
// biquad sections, a real FFT over kissfft, and the processors the module libraries wrap.
//
// Levels are in dBFS of a sine: a full-scale sine (amplitude 32768) is 0 dBFS, so a sine's level is
// 20 log10(amplitude / 32768) and any signal's is 10 log10(2 x mean square / 32768^2).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

struct kiss_fftr_state;

namespace varnelle::vqe {

constexpr double kPi = 3.14159265358979323846;
constexpr float kFullScale = 32768.0f;

inline double DbToLin(double db) { return std::pow(10.0, db / 20.0); }
inline double LinToDb(double lin) { return 20.0 * std::log10(lin > 1e-12 ? lin : 1e-12); }
// dBFS (sine) of a mean square in sample units.
inline double MsToDbfs(double ms) { return 10.0 * std::log10(2.0 * ms / (32768.0 * 32768.0) + 1e-20); }

inline int16_t Saturate(float v) {
    v = std::nearbyint(v);
    return static_cast<int16_t>(v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v));
}

// One second-order section, direct form I in double precision (low cut-offs at 48 kHz need it).
class Biquad {
public:
    // Designs from the usual analog prototypes through the bilinear transform with pre-warping.
    static Biquad HighPass(double fc, double q, double rate);
    static Biquad LowPass(double fc, double q, double rate);
    static Biquad Peaking(double f0, double q, double gainDb, double rate);
    static Biquad AllPass(double f0, double q, double rate);

    double Run(double x) {
        double y = m_b0 * x + m_b1 * m_x1 + m_b2 * m_x2 - m_a1 * m_y1 - m_a2 * m_y2;
        m_x2 = m_x1;
        m_x1 = x;
        m_y2 = m_y1;
        m_y1 = y;
        return y;
    }
    void Reset() { m_x1 = m_x2 = m_y1 = m_y2 = 0; }
    // |H| at frequency f.
    double Magnitude(double f, double rate) const;

private:
    static Biquad Make(double b0, double b1, double b2, double a0, double a1, double a2);
    double m_b0 = 1, m_b1 = 0, m_b2 = 0, m_a1 = 0, m_a2 = 0;
    double m_x1 = 0, m_x2 = 0, m_y1 = 0, m_y2 = 0;
};

struct Complex {
    float re;
    float im;
};

// A real FFT of even size n: n samples to n/2 + 1 bins and back (the inverse scaled by n).
class RealFft {
public:
    explicit RealFft(int n);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;
    int Size() const { return m_n; }
    void Forward(const float* in, Complex* out);
    void Inverse(const Complex* in, float* out);  // scaled by 1/n

private:
    int m_n;
    kiss_fftr_state* m_fwd;
    kiss_fftr_state* m_inv;
};

// Every processor works in blocks of 16-bit samples, in place or from `in` to `out`.

// High-pass filter: a second-order Butterworth section, -3 dB at the cut-off.
class HighPassFilter {
public:
    HighPassFilter(double cutoff, double rate);
    void Process(const int16_t* in, int16_t* out, int n);

private:
    Biquad m_bq;
};

// Ten-band graphic equaliser: peaking sections one octave wide at 31.25 Hz x 2^k (k = 0 to 9); a band
// at or above 0.45 x the rate is left out. Gains below -40 dB count as -40 dB.
class GraphicEq {
public:
    static constexpr int kBands = 10;
    static double BandCenter(int band) { return 31.25 * std::pow(2.0, band); }
    GraphicEq(const int8_t* gainsDb, double rate, double headroomDb = 0.0);
    void Process(const int16_t* in, int16_t* out, int n);

private:
    std::vector<Biquad> m_bands;
    float m_scale;
};

// Parametric equaliser: up to ten peaking sections at given frequency, gain and Q.
class ParametricEq {
public:
    struct Band {
        double freq;
        double gainDb;
        double q;
    };
    ParametricEq(const std::vector<Band>& bands, double rate);
    void Process(const int16_t* in, int16_t* out, int n);

private:
    std::vector<Biquad> m_bands;
};

// Automatic gain control. The level is a mean-square envelope; the gain moves toward
// target - level, within [-maxGain, maxGain], and is held while the level is under the noise floor
// (the gate); a peak limiter with instant attack keeps the output under the ceiling.
class Agc {
public:
    struct Params {
        double targetDb = -12.0;
        double noiseFloorDb = -50.0;
        double maxGainDb = 20.0;
        int adjustSpeed = 5;  // 0 slow (about 2 s) to 10 fast (about 100 ms)
        double ceilingDb = -0.5;
    };
    Agc(const Params& p, double rate);
    void Process(const int16_t* in, int16_t* out, int n);
    double GainDb() const { return LinToDb(m_gain); }

private:
    Params m_p;
    double m_rate;
    double m_envAttack, m_envRelease, m_gainCoef, m_limRelease;
    double m_ms = 0.0;
    double m_gain = 1.0;
    double m_lim = 1.0;
    double m_ceiling;
};

// A compressor on one signal: mean-square envelope with attack and release, above the threshold the
// level rises by 1/ratio dB per dB; makeup gain after; an optional limiter ceiling.
class Compressor {
public:
    struct Params {
        double thresholdDb = -20.0;
        double ratio = 4.0;
        double attackMs = 5.0;
        double releaseMs = 100.0;
        double makeupDb = 0.0;
        double limiterDb = 0.0;  // 0: no limiter
    };
    Compressor(const Params& p, double rate);
    // Gain for one input sample (linear), advancing the envelope.
    double Gain(double x);
    void Process(const int16_t* in, int16_t* out, int n);
    static double StaticCurveDb(const Params& p, double inDb);

private:
    Params m_p;
    double m_attack, m_release;
    double m_env = 0.0;  // peak envelope of |x|
    double m_lim = 1.0;
    double m_limRelease;
};

// Multi-band compressor: bands split at their upper edges by fourth-order Linkwitz-Riley crossovers
// (lower bands pass the allpass of every crossover above them, so unity gains sum flat), each band
// compressed on its own.
class MultiBandCompressor {
public:
    struct Band {
        double upperHz;
        Compressor::Params comp;
    };
    MultiBandCompressor(const std::vector<Band>& bands, double rate);
    void Process(const int16_t* in, int16_t* out, int n);

private:
    struct Split {
        Biquad lp1, lp2, hp1, hp2;
    };
    std::vector<Split> m_splits;                    // one per crossover
    std::vector<std::vector<Biquad>> m_allpass;     // per band: allpasses of the crossovers above
    std::vector<Compressor> m_comps;
};

// A slow digital stand-in for the microphone gain stepping: the gain moves by `stepDb` toward keeping
// the peak of each half second between -30 and -6 dBFS, within [minDb - micDb, maxDb - micDb].
class MicGainStepper {
public:
    MicGainStepper(double minDb, double maxDb, double micDb, double stepDb, double rate);
    void Process(const int16_t* in, int16_t* out, int n);

private:
    double m_lo, m_hi, m_step, m_gainDb = 0.0;
    int m_window, m_count = 0;
    float m_peak = 0.0f;
};

// Applies a gain in dB, ramping over one block when it changes.
class GainStage {
public:
    void Process(const int16_t* in, int16_t* out, int n, double gainDb);

private:
    double m_gain = 1.0;
};

// Short-time Fourier noise suppression: frames of F samples, windows of 2F (sine window for analysis
// and synthesis, 50 % overlap), a noise spectrum tracked by a slow minimum follower, decision-directed
// a-priori SNR and a Wiener gain (its square root where a bin clearly holds more than noise), no lower
// than the floor. Delays the signal by F samples.
class NoiseReducer {
public:
    struct Params {
        double maxSuppressionDb = 15.0;  // the gain floor
        double noiseGateDb = -90.0;      // bins quieter than this (dBFS) are treated as noise
        bool protectHarmonics = false;   // a smoother gain across voiced harmonics
    };
    NoiseReducer(const Params& p, int frame, double rate);
    void Process(const int16_t* in, int16_t* out);  // one frame of F samples

private:
    Params m_p;
    int m_f;
    RealFft m_fft;
    std::vector<float> m_win, m_inBuf, m_olap, m_time;
    std::vector<Complex> m_spec;
    std::vector<float> m_noise, m_prevGainedPower, m_smoothPower;
    double m_floor;
    int m_frames = 0;
};

// Acoustic echo canceller: a partitioned-block frequency-domain NLMS filter with a tail of about
// 128 ms (one partition per frame of F samples, FFT of 2F), one partition's gradient constrained per
// frame in turn, then a residual-echo suppressor driven by the filter's echo estimate.
class EchoCanceller {
public:
    struct Params {
        double tailMs = 128.0;
        double step = 0.5;
        double suppression = 1.0;  // scale of the residual-echo estimate; 0 turns suppression off
        double floorDb = -30.0;
    };
    EchoCanceller(const Params& p, int frame, double rate);
    // One frame: near end (microphone) and far end (reference) in, echo-free near end out.
    void Process(const int16_t* near, const int16_t* far, int16_t* out);

private:
    Params m_p;
    int m_f, m_n, m_bins, m_parts;
    RealFft m_fft;
    std::vector<float> m_farTime;                 // the last two far-end frames
    std::vector<std::vector<Complex>> m_x;        // far-end spectra, newest first
    std::vector<std::vector<Complex>> m_w;        // filter partitions
    std::vector<float> m_px;                      // smoothed far-end power per bin
    std::vector<Complex> m_y, m_e, m_tmpSpec;
    std::vector<float> m_tmpTime, m_err;
    // suppressor
    std::vector<float> m_win, m_eHist, m_yHist, m_olap;
    std::vector<float> m_see, m_syy, m_sey;
    int m_constrain = 0;
};

}  // namespace varnelle::vqe
