// A deterministic speech-like signal for tests and benchmarks: voiced syllables (a harmonic series on a
// gliding pitch under a syllable envelope), unvoiced noise bursts and short pauses. Any sample rate
// gives the same sound (its harmonics reach about 4.2 kHz); the time slots are quarter seconds: slot
// 3 of every 7 is unvoiced, slot 6 a pause.
#pragma once

#include <cmath>
#include <cstdint>

namespace varnelle::voice {

// Fills `n` samples at `rate` Hz (8 kHz by default). `level` 1.0 peaks near -5 dBFS with an RMS near
// -18 dBFS; larger levels clip at full scale.
inline void SpeechLike(int16_t* out, int n, double level, uint32_t seed = 1, double rate = 8000.0) {
    constexpr double kPi = 3.14159265358979323846;
    const double kRate = rate;
    uint32_t noise = seed * 2654435761u + 12345u;
    double phase = 0.0;
    for (int t = 0; t < n; ++t) {
        const double sec = t / kRate;
        const double f0 = 120.0 + 40.0 * std::sin(2 * kPi * 0.7 * sec) + 15.0 * std::sin(2 * kPi * 3.1 * sec);
        phase += 2 * kPi * f0 / kRate;
        const double syllable = std::fabs(std::sin(2 * kPi * 2.3 * sec));
        const int slot = static_cast<int>(sec * 4.0) % 7;  // quarter-second slots
        double v = 0.0;
        if (slot == 3) {
            noise = noise * 1664525u + 1013904223u;
            v = 0.25 * ((static_cast<int32_t>(noise >> 8) & 0xFFFF) / 32768.0 - 1.0);  // unvoiced
        } else if (slot != 6) {
            for (int h = 1; h <= 24; ++h) {
                const double f = h * f0;
                // Two formant-like resonances shape the harmonic series.
                const double g = 1.0 / (1.0 + std::pow((f - 700.0) / 250.0, 2)) +
                                 0.5 / (1.0 + std::pow((f - 1800.0) / 350.0, 2)) + 0.05;
                v += g * std::sin(h * phase) / h;
            }
            v *= 0.55 * syllable;
        }  // slot 6: pause
        double s = v * level * 32767.0;
        s = s > 32767.0 ? 32767.0 : (s < -32768.0 ? -32768.0 : s);
        out[t] = static_cast<int16_t>(std::lround(s));
    }
}

// The kind of sound SpeechLike makes at sample t of a signal at `rate`.
enum class SpeechSlot { kVoiced, kUnvoiced, kPause };
inline SpeechSlot SpeechSlotAt(long t, double rate = 8000.0) {
    const int slot = static_cast<int>(t / rate * 4.0) % 7;
    return slot == 6 ? SpeechSlot::kPause : (slot == 3 ? SpeechSlot::kUnvoiced : SpeechSlot::kVoiced);
}

}  // namespace varnelle::voice
