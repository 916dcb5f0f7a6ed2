// Test-side measurements of audio signals: tones made and fitted, levels, spectra by plain DFT bins.
// Levels are dBFS of a sine (a full-scale sine is 0 dBFS).
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace varnelle::audiotest {

constexpr double kPi = 3.14159265358979323846;

inline std::vector<int16_t> Tone(size_t n, double rate, double freq, double levelDb, double phase = 0.0) {
    std::vector<int16_t> v(n);
    const double amp = 32768.0 * std::pow(10.0, levelDb / 20.0);
    for (size_t t = 0; t < n; ++t) {
        double s = std::nearbyint(amp * std::sin(2 * kPi * freq * t / rate + phase));
        v[t] = static_cast<int16_t>(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
    }
    return v;
}

// dBFS (sine) of the mean square of x.
template <typename T>
double LevelDb(const T* x, size_t n) {
    double ms = 0;
    for (size_t i = 0; i < n; ++i) ms += static_cast<double>(x[i]) * x[i];
    ms /= n > 0 ? static_cast<double>(n) : 1.0;
    return 10.0 * std::log10(2.0 * ms / (32768.0 * 32768.0) + 1e-30);
}
inline double LevelDb(const std::vector<int16_t>& v) { return LevelDb(v.data(), v.size()); }

struct ToneFit {
    double freq;         // Hz
    double amplitude;    // samples
    double residualRms;  // what is left after the tone and DC are removed
    double LevelDb() const { return 20.0 * std::log10(amplitude / 32768.0 + 1e-30); }
    double SnrDb() const { return 20.0 * std::log10(amplitude / std::sqrt(2.0) / (residualRms + 1e-30)); }
};

namespace internal {

// Least-squares amplitude of cos, sin and DC at frequency f; the residual's mean square.
template <typename T>
ToneFit FitAt(const T* x, size_t n, double rate, double f) {
    double m[3][3] = {}, r[3] = {};
    const std::complex<double> step = std::polar(1.0, 2 * kPi * f / rate);
    std::complex<double> z = 1.0;
    for (size_t t = 0; t < n; ++t) {
        const double basis[3] = {z.real(), z.imag(), 1.0};
        for (int i = 0; i < 3; ++i) {
            r[i] += basis[i] * x[t];
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
        }
        z *= step;
        if ((t & 1023) == 1023) z = std::polar(1.0, 2 * kPi * f * (t + 1) / rate);
    }
    for (int i = 0; i < 3; ++i) {
        for (int k = i + 1; k < 3; ++k) {
            const double q = m[k][i] / m[i][i];
            for (int j = i; j < 3; ++j) m[k][j] -= q * m[i][j];
            r[k] -= q * r[i];
        }
    }
    double c[3];
    for (int i = 2; i >= 0; --i) {
        double s = r[i];
        for (int j = i + 1; j < 3; ++j) s -= m[i][j] * c[j];
        c[i] = s / m[i][i];
    }
    double res = 0;
    z = 1.0;
    for (size_t t = 0; t < n; ++t) {
        const double e = x[t] - (c[0] * z.real() + c[1] * z.imag() + c[2]);
        res += e * e;
        z *= step;
        if ((t & 1023) == 1023) z = std::polar(1.0, 2 * kPi * f * (t + 1) / rate);
    }
    return ToneFit{f, std::hypot(c[0], c[1]), std::sqrt(res / static_cast<double>(n))};
}

}  // namespace internal

// Least-squares fit of one sinusoid (and DC) near f0: the frequency first from the phase advance
// between the halves of the signal, then refined to the least residual.
template <typename T>
ToneFit FitTone(const T* x, size_t n, double rate, double f0) {
    auto demod = [&](size_t from, size_t to, double f) {
        std::complex<double> z = 0;
        for (size_t t = from; t < to; ++t) z += static_cast<double>(x[t]) * std::polar(1.0, -2 * kPi * f * t / rate);
        return z;
    };
    double f = f0;
    for (int it = 0; it < 2; ++it) {
        const size_t h = n / 2;
        std::complex<double> a = demod(0, h, f), b = demod(h, 2 * h, f);
        f += std::arg(b / a) / (2 * kPi * (static_cast<double>(h) / rate));
    }
    // The residual is a parabola in f near its minimum.
    double d = rate / static_cast<double>(n) * 0.01;
    ToneFit best = internal::FitAt(x, n, rate, f);
    for (int it = 0; it < 6; ++it) {
        const double r0 = best.residualRms * best.residualRms;
        const double rm = std::pow(internal::FitAt(x, n, rate, f - d).residualRms, 2);
        const double rp = std::pow(internal::FitAt(x, n, rate, f + d).residualRms, 2);
        const double den = rm - 2 * r0 + rp;
        if (den > 0) {
            const double shift = std::clamp(0.5 * d * (rm - rp) / den, -d, d);
            ToneFit next = internal::FitAt(x, n, rate, f + shift);
            if (next.residualRms < best.residualRms) {
                best = next;
                f += shift;
            }
        }
        d *= 0.2;
    }
    return best;
}
inline ToneFit FitTone(const std::vector<int16_t>& v, size_t from, size_t to, double rate, double f0) {
    return FitTone(v.data() + from, to - from, rate, f0);
}

// Amplitude of the component at `freq` (a single DFT bin over the whole signal, Hann-windowed).
template <typename T>
double ComponentDb(const T* x, size_t n, double rate, double freq) {
    std::complex<double> z = 0;
    double wsum = 0;
    for (size_t t = 0; t < n; ++t) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * t / (n - 1));
        z += w * static_cast<double>(x[t]) * std::polar(1.0, -2 * kPi * freq * t / rate);
        wsum += w;
    }
    return 20.0 * std::log10(2.0 * std::abs(z) / wsum / 32768.0 + 1e-30);
}

}  // namespace varnelle::audiotest
