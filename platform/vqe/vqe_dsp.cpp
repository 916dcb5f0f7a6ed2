#include "platform/vqe/vqe_dsp.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <complex>
#include <stdexcept>

namespace varnelle::vqe {
namespace {

// One-pole smoothing coefficient for a time constant in seconds.
double Coef(double seconds, double rate) { return 1.0 - std::exp(-1.0 / (std::max(seconds, 1e-6) * rate)); }

}  // namespace

// ---- Biquad (bilinear transform designs with pre-warping)

Biquad Biquad::Make(double b0, double b1, double b2, double a0, double a1, double a2) {
    Biquad q;
    q.m_b0 = b0 / a0;
    q.m_b1 = b1 / a0;
    q.m_b2 = b2 / a0;
    q.m_a1 = a1 / a0;
    q.m_a2 = a2 / a0;
    return q;
}

Biquad Biquad::HighPass(double fc, double q, double rate) {
    double w = 2 * kPi * fc / rate, c = std::cos(w), a = std::sin(w) / (2 * q);
    return Make((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + a, -2 * c, 1 - a);
}

Biquad Biquad::LowPass(double fc, double q, double rate) {
    double w = 2 * kPi * fc / rate, c = std::cos(w), a = std::sin(w) / (2 * q);
    return Make((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + a, -2 * c, 1 - a);
}

Biquad Biquad::Peaking(double f0, double q, double gainDb, double rate) {
    double A = std::pow(10.0, gainDb / 40.0);
    double w = 2 * kPi * f0 / rate, c = std::cos(w), a = std::sin(w) / (2 * q);
    return Make(1 + a * A, -2 * c, 1 - a * A, 1 + a / A, -2 * c, 1 - a / A);
}

Biquad Biquad::AllPass(double f0, double q, double rate) {
    double w = 2 * kPi * f0 / rate, c = std::cos(w), a = std::sin(w) / (2 * q);
    return Make(1 - a, -2 * c, 1 + a, 1 + a, -2 * c, 1 - a);
}

double Biquad::Magnitude(double f, double rate) const {
    std::complex<double> z1 = std::polar(1.0, -2 * kPi * f / rate);
    std::complex<double> z2 = z1 * z1;
    return std::abs((m_b0 + m_b1 * z1 + m_b2 * z2) / (1.0 + m_a1 * z1 + m_a2 * z2));
}

// ---- RealFft

RealFft::RealFft(int n) : m_n(n) {
    m_fwd = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    m_inv = kiss_fftr_alloc(n, 1, nullptr, nullptr);
    if (m_fwd == nullptr || m_inv == nullptr) throw std::bad_alloc();
}

RealFft::~RealFft() {
    kiss_fftr_free(m_fwd);
    kiss_fftr_free(m_inv);
}

void RealFft::Forward(const float* in, Complex* out) {
    kiss_fftr(m_fwd, in, reinterpret_cast<kiss_fft_cpx*>(out));
}

void RealFft::Inverse(const Complex* in, float* out) {
    kiss_fftri(m_inv, reinterpret_cast<const kiss_fft_cpx*>(in), out);
    const float s = 1.0f / static_cast<float>(m_n);
    for (int i = 0; i < m_n; ++i) out[i] *= s;
}

static_assert(sizeof(Complex) == sizeof(kiss_fft_cpx));

// ---- Filters

HighPassFilter::HighPassFilter(double cutoff, double rate) : m_bq(Biquad::HighPass(cutoff, std::sqrt(0.5), rate)) {}

void HighPassFilter::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = Saturate(static_cast<float>(m_bq.Run(in[i])));
}

GraphicEq::GraphicEq(const int8_t* gainsDb, double rate, double headroomDb)
    : m_scale(static_cast<float>(DbToLin(-headroomDb))) {
    for (int b = 0; b < kBands; ++b) {
        const double f = BandCenter(b);
        const double g = std::max<double>(gainsDb[b], -40.0);
        if (f >= 0.45 * rate || g == 0.0) continue;
        m_bands.push_back(Biquad::Peaking(f, std::sqrt(2.0), g, rate));
    }
}

void GraphicEq::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) {
        double v = in[i] * static_cast<double>(m_scale);
        for (Biquad& b : m_bands) v = b.Run(v);
        out[i] = Saturate(static_cast<float>(v));
    }
}

ParametricEq::ParametricEq(const std::vector<Band>& bands, double rate) {
    for (const Band& b : bands) {
        if (b.freq <= 0 || b.freq >= 0.49 * rate || b.q <= 0 || b.gainDb == 0.0) continue;
        m_bands.push_back(Biquad::Peaking(b.freq, b.q, b.gainDb, rate));
    }
}

void ParametricEq::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) {
        double v = in[i];
        for (Biquad& b : m_bands) v = b.Run(v);
        out[i] = Saturate(static_cast<float>(v));
    }
}

// ---- Dynamics

Agc::Agc(const Params& p, double rate) : m_p(p), m_rate(rate) {
    m_envAttack = Coef(0.010, rate);
    m_envRelease = Coef(0.060, rate);
    const double tau = 2.0 * std::pow(0.05, std::clamp(p.adjustSpeed, 0, 10) / 10.0);
    m_gainCoef = Coef(tau, rate / 16.0);  // the gain target moves once per 16 samples
    m_limRelease = Coef(0.050, rate);
    m_ceiling = 32767.0 * DbToLin(p.ceilingDb);
}

void Agc::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; i += 16) {
        const int end = std::min(n, i + 16);
        for (int j = i; j < end; ++j) {
            const double x2 = static_cast<double>(in[j]) * in[j];
            m_ms += (x2 > m_ms ? m_envAttack : m_envRelease) * (x2 - m_ms);
        }
        const double level = MsToDbfs(m_ms);
        if (level >= m_p.noiseFloorDb) {  // the gate: quieter input keeps the gain it had
            const double want = std::clamp(m_p.targetDb - level, -m_p.maxGainDb, m_p.maxGainDb);
            const double target = DbToLin(want);
            const double from = m_gain;
            m_gain += m_gainCoef * (target - m_gain);
            (void)from;
        }
        for (int j = i; j < end; ++j) {
            double y = in[j] * m_gain;
            const double peak = std::fabs(y) * m_lim;
            if (peak > m_ceiling) {
                m_lim = m_ceiling / std::fabs(y);
            } else {
                m_lim += m_limRelease * (1.0 - m_lim);
                if (std::fabs(y) * m_lim > m_ceiling) m_lim = m_ceiling / std::fabs(y);
            }
            out[j] = Saturate(static_cast<float>(y * m_lim));
        }
    }
}

Compressor::Compressor(const Params& p, double rate) : m_p(p) {
    m_attack = Coef(p.attackMs / 1000.0, rate);
    m_release = Coef(p.releaseMs / 1000.0, rate);
    m_limRelease = Coef(0.050, rate);
}

double Compressor::StaticCurveDb(const Params& p, double inDb) {
    double out = inDb > p.thresholdDb ? p.thresholdDb + (inDb - p.thresholdDb) / std::max(p.ratio, 1.0) : inDb;
    return out + p.makeupDb;
}

double Compressor::Gain(double x) {
    const double a = std::fabs(x);
    m_env += (a > m_env ? m_attack : m_release) * (a - m_env);
    const double level = LinToDb(m_env / kFullScale);
    double g = DbToLin(StaticCurveDb(m_p, level) - level);
    if (m_p.limiterDb < 0.0) {
        const double ceiling = kFullScale * DbToLin(m_p.limiterDb);
        const double y = a * g;
        if (y * m_lim > ceiling) {
            m_lim = ceiling / y;
        } else {
            m_lim += m_limRelease * (1.0 - m_lim);
            if (y * m_lim > ceiling) m_lim = ceiling / y;
        }
        g *= m_lim;
    }
    return g;
}

void Compressor::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = Saturate(static_cast<float>(in[i] * Gain(in[i])));
}

MultiBandCompressor::MultiBandCompressor(const std::vector<Band>& bands, double rate) {
    const double q = std::sqrt(0.5);
    for (size_t b = 0; b < bands.size(); ++b) {
        m_comps.emplace_back(bands[b].comp, rate);
        if (b + 1 < bands.size()) {
            const double fc = std::clamp(bands[b].upperHz, 20.0, 0.45 * rate);
            m_splits.push_back(Split{Biquad::LowPass(fc, q, rate), Biquad::LowPass(fc, q, rate),
                                     Biquad::HighPass(fc, q, rate), Biquad::HighPass(fc, q, rate)});
        }
    }
    m_allpass.resize(bands.size());
    for (size_t b = 0; b < bands.size(); ++b) {
        for (size_t c = b + 1; c < m_splits.size(); ++c) {
            const double fc = std::clamp(bands[c].upperHz, 20.0, 0.45 * rate);
            m_allpass[b].push_back(Biquad::AllPass(fc, q, rate));
        }
    }
}

void MultiBandCompressor::Process(const int16_t* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) {
        double rest = in[i];
        double sum = 0.0;
        for (size_t b = 0; b < m_comps.size(); ++b) {
            double band = rest;
            if (b < m_splits.size()) {
                Split& s = m_splits[b];
                band = s.lp2.Run(s.lp1.Run(rest));
                rest = s.hp2.Run(s.hp1.Run(rest));
            }
            for (Biquad& ap : m_allpass[b]) band = ap.Run(band);
            sum += band * m_comps[b].Gain(band);
        }
        out[i] = Saturate(static_cast<float>(sum));
    }
}

MicGainStepper::MicGainStepper(double minDb, double maxDb, double micDb, double stepDb, double rate)
    : m_lo(std::min(minDb, maxDb) - micDb),
      m_hi(std::max(minDb, maxDb) - micDb),
      m_step(std::max(stepDb, 0.0)),
      m_window(static_cast<int>(rate / 2)) {}

void MicGainStepper::Process(const int16_t* in, int16_t* out, int n) {
    const double g = DbToLin(m_gainDb);
    for (int i = 0; i < n; ++i) {
        const double y = in[i] * g;
        m_peak = std::max(m_peak, static_cast<float>(std::fabs(y)));
        out[i] = Saturate(static_cast<float>(y));
        if (++m_count >= m_window) {
            const double peakDb = LinToDb(m_peak / kFullScale);
            if (peakDb > -6.0) m_gainDb = std::max(m_lo, m_gainDb - m_step);
            else if (peakDb < -30.0 && m_peak > 0) m_gainDb = std::min(m_hi, m_gainDb + m_step);
            m_count = 0;
            m_peak = 0;
        }
    }
}

void GainStage::Process(const int16_t* in, int16_t* out, int n, double gainDb) {
    const double target = DbToLin(gainDb);
    const double step = n > 0 ? (target - m_gain) / n : 0.0;
    for (int i = 0; i < n; ++i) {
        m_gain += step;
        out[i] = Saturate(static_cast<float>(in[i] * m_gain));
    }
    m_gain = target;
}

// ---- Noise reduction

NoiseReducer::NoiseReducer(const Params& p, int frame, double rate)
    : m_p(p), m_f(frame), m_fft(2 * frame) {
    (void)rate;
    const int n = 2 * frame;
    m_win.resize(n);
    for (int i = 0; i < n; ++i) m_win[i] = static_cast<float>(std::sin(kPi * (i + 0.5) / n));
    m_inBuf.assign(n, 0.0f);
    m_olap.assign(frame, 0.0f);
    m_time.assign(n, 0.0f);
    m_spec.resize(frame + 1);
    m_noise.assign(frame + 1, 0.0f);
    m_prevGainedPower.assign(frame + 1, 0.0f);
    m_smoothPower.assign(frame + 1, 0.0f);
    m_floor = DbToLin(-std::max(p.maxSuppressionDb, 0.0));
}

void NoiseReducer::Process(const int16_t* in, int16_t* out) {
    const int n = 2 * m_f;
    const int bins = m_f + 1;
    std::copy(m_inBuf.begin() + m_f, m_inBuf.end(), m_inBuf.begin());
    for (int i = 0; i < m_f; ++i) m_inBuf[m_f + i] = in[i];
    for (int i = 0; i < n; ++i) m_time[i] = m_inBuf[i] * m_win[i];
    m_fft.Forward(m_time.data(), m_spec.data());
    // A full-scale sine's bin power, for the absolute gate.
    double winSum = 0;
    for (float w : m_win) winSum += w;
    const double fullBin = std::pow(kFullScale * winSum / 2.0, 2.0);
    const double gate = fullBin * std::pow(10.0, m_p.noiseGateDb / 10.0);
    ++m_frames;
    std::vector<float> gains(bins);
    for (int k = 0; k < bins; ++k) {
        const float p = m_spec[k].re * m_spec[k].re + m_spec[k].im * m_spec[k].im;
        m_smoothPower[k] = 0.6f * m_smoothPower[k] + 0.4f * p;
        float& nz = m_noise[k];
        if (m_frames <= 10) {
            nz += (m_smoothPower[k] - nz) / static_cast<float>(m_frames);
        } else if (m_smoothPower[k] < 4.0f * nz) {
            nz = 0.96f * nz + 0.04f * m_smoothPower[k];  // speech absent: follow the noise
        } else {
            nz *= 1.001f;  // speech present: creep up so a louder noise is found again
        }
        const double noise = std::max<double>(nz, 1e-3);
        const double gamma = p / noise;
        const double xi = 0.98 * m_prevGainedPower[k] / noise + 0.02 * std::max(gamma - 1.0, 0.0);
        // The Wiener gain, or its square root where the bin clearly holds more than noise, so speech
        // keeps its level while the noise between it goes down to the floor.
        double g = xi / (1.0 + xi);
        if (gamma > 3.0) g = std::sqrt(g);
        if (p < gate) g = 0.0;
        gains[k] = static_cast<float>(std::max(g, m_floor));
    }
    if (m_p.protectHarmonics) {
        std::vector<float> smoothed(gains);
        // A gain spread over two bins each side keeps the edges of voiced harmonics.
        for (int k = 0; k < bins; ++k) {
            for (int j = std::max(0, k - 2); j <= std::min(bins - 1, k + 2); ++j) smoothed[k] = std::max(smoothed[k], gains[j]);
        }
        gains.swap(smoothed);
    }
    for (int k = 0; k < bins; ++k) {
        const float p = m_spec[k].re * m_spec[k].re + m_spec[k].im * m_spec[k].im;
        m_prevGainedPower[k] = gains[k] * gains[k] * p;
        m_spec[k].re *= gains[k];
        m_spec[k].im *= gains[k];
    }
    m_fft.Inverse(m_spec.data(), m_time.data());
    for (int i = 0; i < m_f; ++i) {
        out[i] = Saturate(m_olap[i] + m_time[i] * m_win[i]);
        m_olap[i] = m_time[m_f + i] * m_win[m_f + i];
    }
}

// ---- Echo cancellation

EchoCanceller::EchoCanceller(const Params& p, int frame, double rate)
    : m_p(p), m_f(frame), m_n(2 * frame), m_bins(frame + 1), m_fft(2 * frame) {
    const double tail = p.tailMs * rate / 1000.0;
    m_parts = std::max(1, static_cast<int>(std::ceil(tail / frame)));
    m_farTime.assign(m_n, 0.0f);
    m_x.assign(m_parts, std::vector<Complex>(m_bins, Complex{0, 0}));
    m_w.assign(m_parts, std::vector<Complex>(m_bins, Complex{0, 0}));
    m_px.assign(m_bins, 0.0f);
    m_y.resize(m_bins);
    m_e.resize(m_bins);
    m_tmpSpec.resize(m_bins);
    m_tmpTime.resize(m_n);
    m_err.resize(m_f);
    m_win.resize(m_n);
    for (int i = 0; i < m_n; ++i) m_win[i] = static_cast<float>(std::sin(kPi * (i + 0.5) / m_n));
    m_eHist.assign(m_n, 0.0f);
    m_yHist.assign(m_n, 0.0f);
    m_olap.assign(m_f, 0.0f);
    m_see.assign(m_bins, 0.0f);
    m_syy.assign(m_bins, 0.0f);
    m_sey.assign(m_bins, 0.0f);
}

void EchoCanceller::Process(const int16_t* near, const int16_t* far, int16_t* out) {
    const int f = m_f;
    // Far-end spectrum of the last two frames; the oldest partition's spectrum drops out.
    std::copy(m_farTime.begin() + f, m_farTime.end(), m_farTime.begin());
    for (int i = 0; i < f; ++i) m_farTime[f + i] = far[i];
    std::rotate(m_x.rbegin(), m_x.rbegin() + 1, m_x.rend());
    for (int k = 0; k < m_bins; ++k) m_px[k] -= m_x[0][k].re * m_x[0][k].re + m_x[0][k].im * m_x[0][k].im;
    m_fft.Forward(m_farTime.data(), m_x[0].data());
    for (int k = 0; k < m_bins; ++k) {
        m_px[k] += m_x[0][k].re * m_x[0][k].re + m_x[0][k].im * m_x[0][k].im;
        if (m_px[k] < 0) m_px[k] = 0;
    }
    // Echo estimate: the filter over every partition, overlap-save.
    std::fill(m_y.begin(), m_y.end(), Complex{0, 0});
    for (int p = 0; p < m_parts; ++p) {
        const Complex* x = m_x[p].data();
        const Complex* w = m_w[p].data();
        for (int k = 0; k < m_bins; ++k) {
            m_y[k].re += x[k].re * w[k].re - x[k].im * w[k].im;
            m_y[k].im += x[k].re * w[k].im + x[k].im * w[k].re;
        }
    }
    m_fft.Inverse(m_y.data(), m_tmpTime.data());
    std::vector<float> echo(m_tmpTime.begin() + f, m_tmpTime.end());
    for (int i = 0; i < f; ++i) m_err[i] = near[i] - echo[i];
    // Normalised gradient of every partition; one partition per frame is constrained to causal taps.
    std::fill(m_tmpTime.begin(), m_tmpTime.begin() + f, 0.0f);
    std::copy(m_err.begin(), m_err.end(), m_tmpTime.begin() + f);
    m_fft.Forward(m_tmpTime.data(), m_e.data());
    const float delta = static_cast<float>(m_parts) * m_n * 100.0f;
    const float mu = static_cast<float>(m_p.step);
    for (int k = 0; k < m_bins; ++k) {
        const float s = mu / (m_px[k] + delta);
        m_e[k].re *= s;
        m_e[k].im *= s;
    }
    for (int p = 0; p < m_parts; ++p) {
        const Complex* x = m_x[p].data();
        Complex* w = m_w[p].data();
        for (int k = 0; k < m_bins; ++k) {
            w[k].re += x[k].re * m_e[k].re + x[k].im * m_e[k].im;  // conj(x) * e
            w[k].im += x[k].re * m_e[k].im - x[k].im * m_e[k].re;
        }
    }
    {
        std::vector<Complex>& w = m_w[m_constrain];
        m_fft.Inverse(w.data(), m_tmpTime.data());
        std::fill(m_tmpTime.begin() + f, m_tmpTime.end(), 0.0f);
        m_fft.Forward(m_tmpTime.data(), w.data());
        m_constrain = (m_constrain + 1) % m_parts;
    }
    if (m_p.suppression <= 0.0) {
        for (int i = 0; i < f; ++i) out[i] = Saturate(m_err[i]);
        return;
    }
    // Residual echo suppression on a windowed frame of the error and of the echo estimate.
    std::copy(m_eHist.begin() + f, m_eHist.end(), m_eHist.begin());
    std::copy(m_yHist.begin() + f, m_yHist.end(), m_yHist.begin());
    std::copy(m_err.begin(), m_err.end(), m_eHist.begin() + f);
    std::copy(echo.begin(), echo.end(), m_yHist.begin() + f);
    for (int i = 0; i < m_n; ++i) m_tmpTime[i] = m_yHist[i] * m_win[i];
    m_fft.Forward(m_tmpTime.data(), m_tmpSpec.data());
    for (int i = 0; i < m_n; ++i) m_tmpTime[i] = m_eHist[i] * m_win[i];
    m_fft.Forward(m_tmpTime.data(), m_e.data());
    double sumEy = 0, sumYy = 0;
    for (int k = 0; k < m_bins; ++k) {
        const Complex& e = m_e[k];
        const Complex& y = m_tmpSpec[k];
        m_see[k] = 0.7f * m_see[k] + 0.3f * (e.re * e.re + e.im * e.im);
        m_syy[k] = 0.7f * m_syy[k] + 0.3f * (y.re * y.re + y.im * y.im);
        m_sey[k] = 0.7f * m_sey[k] + 0.3f * std::fabs(e.re * y.re + e.im * y.im);
        sumEy += m_sey[k];
        sumYy += m_syy[k];
    }
    // How much of the echo estimate leaks into the error, at least -23 dB and at most -6 dB.
    const double leak = std::clamp(sumYy > 0 ? sumEy / sumYy : 0.0, 0.005, 0.25);
    const double floor = DbToLin(m_p.floorDb);
    for (int k = 0; k < m_bins; ++k) {
        const double residual = m_p.suppression * leak * m_syy[k];
        double g = 1.0 - residual / (m_see[k] + 1e-3);
        g = std::clamp(g, floor, 1.0);
        m_e[k].re *= static_cast<float>(g);
        m_e[k].im *= static_cast<float>(g);
    }
    m_fft.Inverse(m_e.data(), m_tmpTime.data());
    for (int i = 0; i < f; ++i) {
        out[i] = Saturate(m_olap[i] + m_tmpTime[i] * m_win[i]);
        m_olap[i] = m_tmpTime[f + i] * m_win[f + i];
    }
}

}  // namespace varnelle::vqe
