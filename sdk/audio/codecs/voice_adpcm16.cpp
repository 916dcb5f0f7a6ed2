// 2-bit (16 kbit/s) ADPCM of the G.726 family on 16-bit state fields: linear quantized differences, the
// reconstructed signal kept at half scale, and the full 16-bit sample coded without pre-scaling.
#include <bit>
#include <cstdint>

#include "sdk/audio/codecs/internal/coders.h"

namespace varnelle::voice {
namespace {

constexpr int kThreshold = 260;                        // log difference above this codes a large step
static const int32_t kDqln[4] = {116, 365, 365, 116};  // code word -> log of the quantized difference
static const int32_t kW[4] = {-22, 439, 439, -22};     // code word -> scale factor multiplier
static const int32_t kF[4] = {0, 7, 7, 0};             // code word -> speed control value
constexpr int kYuMin = 544;
constexpr int kYuMax = 5120;
constexpr int kA2Limit = 12288;
constexpr int kA1Base = 15360;
constexpr int kA1cLimit = 8192;  // a1 as seen by the a2 update
constexpr int kToneA2 = -11776;
constexpr int kTransitionFactor = 7147;

inline int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}
inline int Sign3(int v) {
    return v > 0 ? 1 : (v < 0 ? -1 : 0);
}
inline int Sign2(int v) {
    return v < 0 ? -1 : 1;
}
inline int16_t S16(int v) {
    return static_cast<int16_t>(v);
}

class Coder {
public:
    explicit Coder(const VOICE_ADPCM16_STATE_S* s) : s_(*s) {}
    void Save(VOICE_ADPCM16_STATE_S* s) const { *s = s_; }

    // Predictor estimates and scale factor for the next sample.
    inline void Predict() {
        const int z = s_.b1 * s_.dq1 + s_.b2 * s_.dq2 + s_.b3 * s_.dq3 + s_.b4 * s_.dq4 + s_.b5 * s_.dq5 +
                      s_.b6 * s_.dq6;
        const int sum = z + s_.a1 * s_.sr1 + s_.a2 * s_.sr2;
        sez_ = z >> 13;
        se_ = sum >> 13;
        const int al = s_.ap < 256 ? s_.ap >> 2 : 64;
        y_ = (s_.yl + al * (s_.yu - (s_.yl >> 6))) >> 6;
    }

    inline int Encode(int x) {
        Predict();
        const int d = x - se_;
        const int m = d < 0 ? -d : d;
        int dl = -128;  // log of 0
        if (m != 0) {
            const int exp = std::bit_width(static_cast<unsigned>(m)) - 1;
            dl = (exp << 7) + (((m << 7) >> exp) & 0x7F);
        }
        int code = dl - (y_ >> 2) > kThreshold ? 1 : 0;
        if (d < 0) code = 3 - code;
        Adapt(code);
        return code;
    }

    inline int16_t Decode(int code) {
        Predict();
        return S16(Clamp(Adapt(code), -32768, 32767));
    }

private:
    // Inverse quantizer, reconstruction and adaptation; returns dq + se.
    inline int Adapt(int code) {
        const int v = kDqln[code] + (y_ >> 2);
        int dq = (((v & 127) + 128) * 128) >> (14 - (v >> 7));
        if (code >= 2) dq = -dq;
        const int sr = dq + se_;
        s_.sr2 = s_.sr1;
        s_.sr1 = S16(sr >> 1);
        const int p3 = s_.p2;  // the partial signal two samples back
        s_.p2 = s_.p1;
        s_.p1 = S16(dq + sez_);

        // Scale factor and speed-control averages, each difference taken as 16 bits.
        const int yl = s_.yl;
        s_.dms = S16(s_.dms + (S16(kF[code] * 512 - s_.dms) >> 5));
        s_.dml = S16(s_.dml + (S16(kF[code] * 2048 - s_.dml) >> 7));
        s_.yu = S16(Clamp(y_ + (S16(kW[code] * 32 - y_) >> 5), kYuMin, kYuMax));
        s_.yl += s_.yu - (s_.yl >> 6);

        if (s_.td == 1 && v * kTransitionFactor > yl) {
            // Transition: the predictor restarts.
            s_.a1 = s_.a2 = 0;
            s_.b1 = s_.b2 = s_.b3 = s_.b4 = s_.b5 = s_.b6 = 0;
            s_.td = 0;
            s_.ap = 256;
        } else {
            const int s1 = Sign3(s_.p1);
            const int s2 = Sign2(s_.p2);
            const int s3 = Sign2(p3);
            const int a1c = Clamp(s_.a1, -kA1cLimit, kA1cLimit);
            const int a2 =
                Clamp(s_.a2 - (s_.a2 >> 7) + ((((s3 * 4096) - s2 * a1c) * s1) >> 5), -kA2Limit, kA2Limit);
            const int a1ul = kA1Base - a2;
            s_.a2 = S16(a2);
            s_.a1 = S16(Clamp(s_.a1 - (s_.a1 >> 8) + 192 * s1 * s2, -a1ul, a1ul));
            const int ds = Sign2(dq);
            s_.b1 = UpdateB(s_.b1, dq, ds, s_.dq1);
            s_.b2 = UpdateB(s_.b2, dq, ds, s_.dq2);
            s_.b3 = UpdateB(s_.b3, dq, ds, s_.dq3);
            s_.b4 = UpdateB(s_.b4, dq, ds, s_.dq4);
            s_.b5 = UpdateB(s_.b5, dq, ds, s_.dq5);
            s_.b6 = UpdateB(s_.b6, dq, ds, s_.dq6);
            s_.td = a2 < kToneA2 ? 1 : 0;
            const int spread = 4 * s_.dms - s_.dml;
            const bool fast = (spread < 0 ? -spread : spread) >= s_.dml / 8 || y_ < 1536 || s_.td == 1;
            s_.ap = S16(s_.ap - (s_.ap >> 4) + (fast ? 32 : 0));
        }

        s_.dq6 = s_.dq5;
        s_.dq5 = s_.dq4;
        s_.dq4 = s_.dq3;
        s_.dq3 = s_.dq2;
        s_.dq2 = s_.dq1;
        s_.dq1 = S16(dq);
        return sr;
    }

    static inline int16_t UpdateB(int b, int dq, int ds, int dqi) {
        b -= b >> 8;
        if (dq != 0) b += ds == Sign2(dqi) ? 64 : -64;
        return S16(b);
    }

    VOICE_ADPCM16_STATE_S s_;
    int se_ = 0;
    int sez_ = 0;
    int y_ = 0;
};

}  // namespace

void Adpcm16Encode(VOICE_ADPCM16_STATE_S* state, const int16_t* samples, int n, uint8_t* payload) {
    Coder coder(state);
    for (int k = 0; k < n; k += 8) {
        unsigned word = 0;
        for (int j = 0; j < 8; ++j) word = (word << 2) | static_cast<unsigned>(coder.Encode(samples[k + j]));
        payload[k / 4] = static_cast<uint8_t>(word);
        payload[k / 4 + 1] = static_cast<uint8_t>(word >> 8);
    }
    coder.Save(state);
}

void Adpcm16Decode(VOICE_ADPCM16_STATE_S* state, const uint8_t* payload, int n, int16_t* samples) {
    Coder coder(state);
    for (int k = 0; k < n; k += 8) {
        const unsigned word = payload[k / 4] | (payload[k / 4 + 1] << 8);
        for (int j = 0; j < 8; ++j)
            samples[k + j] = coder.Decode(static_cast<int>((word >> (14 - 2 * j)) & 3));
    }
    coder.Save(state);
}

}  // namespace varnelle::voice
