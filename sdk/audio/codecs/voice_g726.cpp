// G.726 ADPCM at 16, 24, 32 and 40 kbit/s on 16-bit linear PCM, in the standard's integer arithmetic.
// Names follow the standard's blocks (FMULT, ACCUM, QUAN, RECONST, ADDB, UPA1/UPA2, UPB, FLOAT A/B,
// FUNCTW, FILTA/B/C/D/E, LIMA-LIMD, TRANS, TONE, SUBTA-SUBTC) so the code reads beside it.
#include <bit>
#include <cstdint>

#include "sdk/audio/codecs/internal/coders.h"

namespace varnelle::voice {
namespace {

// Per-rate tables, indexed by the code word's magnitude |I|. W is kept in the standard's units (scaled by
// 16); FILTD works on W * 32. F is the standard's 0 to 7; FILTA and FILTB work on F * 512.
template <int kBits>
struct Rate;

template <>
struct Rate<2> {
    static constexpr int kLevels = 1;  // quantizer decision levels below the sentinel
    static constexpr int16_t kDecision[kLevels + 1] = {261, 32767};
    static constexpr int16_t kDqln[2] = {116, 365};  // |I| -> log of the quantized difference
    static constexpr int16_t kW[2] = {-22, 439};     // |I| -> scale factor multiplier
    static constexpr int16_t kF[2] = {0, 7};         // |I| -> speed control value
};

template <>
struct Rate<3> {
    static constexpr int kLevels = 3;
    static constexpr int16_t kDecision[kLevels + 1] = {8, 218, 331, 32767};
    static constexpr int16_t kDqln[4] = {-2048, 135, 273, 373};
    static constexpr int16_t kW[4] = {-4, 30, 137, 582};
    static constexpr int16_t kF[4] = {0, 1, 2, 7};
};

template <>
struct Rate<4> {
    static constexpr int kLevels = 7;
    static constexpr int16_t kDecision[kLevels + 1] = {-124, 80, 178, 246, 300, 349, 400, 32767};
    static constexpr int16_t kDqln[8] = {-2048, 4, 135, 213, 273, 323, 373, 425};
    static constexpr int16_t kW[8] = {-12, 18, 41, 64, 112, 198, 355, 1122};
    static constexpr int16_t kF[8] = {0, 0, 0, 1, 1, 1, 3, 7};
};

template <>
struct Rate<5> {
    static constexpr int kLevels = 15;
    static constexpr int16_t kDecision[kLevels + 1] = {-122, -16, 68,  139, 198, 250, 298, 339,
                                                       378,  413, 445, 475, 502, 528, 553, 32767};
    static constexpr int16_t kDqln[16] = {-2048, -66, 28,  104, 169, 224, 274, 318,
                                          358,   395, 429, 459, 488, 514, 539, 566};
    static constexpr int16_t kW[16] = {14,  14,  24,  39,  40,  41,  58,  100,
                                       141, 179, 219, 280, 358, 440, 529, 696};
    static constexpr int16_t kF[16] = {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 6};
};

// QUAN as a lookup for 3 to 5 bits: normalised log difference (offset by kDlnOffset) -> |I|, the number
// of decision levels not above it. Generated from the decision levels, so it is the same count.
constexpr int kDlnOffset = 2048;
constexpr int kDlnRange = 4096;  // dln lies within about -1300 to 2200; the rest is margin

template <int kBits>
struct QuanTable {
    static constexpr auto kTable = [] {
        struct T {
            uint8_t v[kDlnRange];
        } t{};
        for (int k = 0; k < kDlnRange; ++k) {
            int i = 0;
            while (i < Rate<kBits>::kLevels && k - kDlnOffset >= Rate<kBits>::kDecision[i]) ++i;
            t.v[k] = static_cast<uint8_t>(i);
        }
        return t;
    }();
};

// The per-magnitude tables spread over every code word, so the coder indexes by code word directly.
template <int kBits>
struct ByCode {
    static constexpr int kSize = 1 << kBits;
    struct Entry {
        int32_t dqln;  // log of the quantized difference
        int32_t wi;    // W * 32 (up to 35904)
        int32_t fi;    // F * 512
    };
    static constexpr auto kTable = [] {
        struct T {
            Entry v[kSize];
        } t{};
        constexpr int kSign = kSize / 2;
        for (int code = 0; code < kSize; ++code) {
            const int mag = (code & kSign) ? (~code) & (kSign - 1) : code;
            t.v[code] = {Rate<kBits>::kDqln[mag], Rate<kBits>::kW[mag] * 32, Rate<kBits>::kF[mag] * 512};
        }
        return t;
    }();
};

constexpr int kYuMin = 544;
constexpr int kYuMax = 5120;
constexpr int kA2Limit = 12288;
constexpr int kA1Base = 15360;               // LIMD: |a1| <= 15360 - a2
constexpr int kToneA2 = -11776;              // TONE: a2 below this means a tone
constexpr int kFloatZero = 0x20;             // FLOAT A/B of 0 (mantissa 32, exponent 0)
constexpr int kFloatNegZero = 0x20 - 0x400;  // the same with the sign set

// Number of significant bits of 0 <= v < 2^30 without a branch for 0 (2v + 1 is never 0).
inline int BitWidth(int v) {
    return 31 - std::countl_zero(static_cast<unsigned>(2 * v + 1));
}

// The standard's power-of-two search, capped at 15.
inline int Quan15(int v) {
    const int n = BitWidth(v);
    return n > 15 ? 15 : n;
}

// FMULT: coefficient `an` times a value in the 11-bit floating form. Written without branches (the
// operands follow the speech, so branches would mispredict); the shifts are exactly the standard's:
// (m << 6) >> bits is m >> (bits - 6) or m << (6 - bits), and the product's scaling runs through one
// 64-bit shift for both signs of its exponent.
inline int Fmult(int an, int srn) {
    const int anmag = an > 0 ? an : ((-an) & 0x1FFF);
    const int bits = BitWidth(anmag);
    const int anexp = bits - 6;
    const int anmant = anmag == 0 ? 32 : (anmag << 6) >> bits;
    const int wanexp = anexp + ((srn >> 6) & 0xF) - 13;  // -19 to 9
    const int64_t wanmant = (anmant * (srn & 0x3F) + 0x30) >> 4;
    const int retval = static_cast<int>(((wanmant << 19) >> (19 - wanexp)) & 0x7FFF);
    const int sign = (an ^ srn) >> 31;  // 0 or -1
    return (retval ^ sign) - sign;
}

// FLOAT A/B: a signed magnitude to the 11-bit floating form, the sign carried as a negative number.
inline int ToFloat(int mag, bool negative) {
    const int exp = Quan15(mag);
    const int f = (exp << 6) + ((mag << 6) >> exp) + (mag == 0 ? kFloatZero : 0);
    return negative ? f - 0x400 : f;
}

// FLOAT B of a reconstructed signal.
inline int FloatSr(int sr) {
    if (sr <= -32768) return kFloatNegZero;
    return ToFloat(sr < 0 ? -sr : sr, sr < 0);
}

template <int kBits>
class Coder {
public:
    using R = Rate<kBits>;
    static constexpr int kSignBit = 1 << (kBits - 1);
    static constexpr int kMask = (1 << kBits) - 1;

    // Works on a copy so payload stores cannot force the state out of registers; Save writes it back.
    explicit Coder(const VOICE_G726_STATE_S* s) : s_(*s) {}
    void Save(VOICE_G726_STATE_S* s) const { *s = s_; }

    // Code one 14-bit sample sl; returns the code word.
    [[gnu::always_inline]] inline int Encode(int sl) {
        Predict();
        const int y = StepSize();
        const int d = sl - se_;
        const int code = Quantize(d, y);
        Reconstruct(code, y);
        return code;
    }

    // Decode one code word to a 16-bit sample.
    [[gnu::always_inline]] inline int16_t Decode(int code) {
        Predict();
        const int y = StepSize();
        const int sr = Reconstruct(code & kMask, y);
        return static_cast<int16_t>(VOICE_Clip14(sr) * 4);
    }

private:
    // FMULT and ACCUM: signal estimate se and partial estimate sez.
    [[gnu::always_inline]] inline void Predict() {
        const int sezi = Fmult(s_.b[0] >> 2, s_.dq[0]) + Fmult(s_.b[1] >> 2, s_.dq[1]) +
                         Fmult(s_.b[2] >> 2, s_.dq[2]) + Fmult(s_.b[3] >> 2, s_.dq[3]) +
                         Fmult(s_.b[4] >> 2, s_.dq[4]) + Fmult(s_.b[5] >> 2, s_.dq[5]);
        sez_ = sezi >> 1;
        const int sei = sezi + Fmult(s_.a[1] >> 2, s_.sr[1]) + Fmult(s_.a[0] >> 2, s_.sr[0]);
        se_ = sei >> 1;
    }

    // MIX: scale factor y from the unlocked and locked factors and the speed control.
    // Branch-free: a zero difference adds nothing with or without the rounding term.
    [[gnu::always_inline]] inline int StepSize() const {
        const int yl = s_.yl >> 6;
        const int dif = s_.yu - yl;
        const int al = s_.ap >> 2;
        const int y = yl + ((dif * al + (dif < 0 ? 0x3F : 0)) >> 6);
        return s_.ap >= 256 ? s_.yu : y;
    }

    // LOG, SUBTB and QUAN.
    [[gnu::always_inline]] static inline int Quantize(int d, int y) {
        const int dqm = d < 0 ? -d : d;
        const int exp = BitWidth(dqm >> 1);
        const int mant = ((dqm << 7) >> exp) & 0x7F;
        const int dl = (exp << 7) + mant;
        const int dln = dl - (y >> 2);
        if constexpr (kBits == 2) {
            const int i = dln >= R::kDecision[0] ? 1 : 0;
            return d < 0 ? i ^ 3 : i;
        } else {
            const int index = dln + kDlnOffset;
            const int clamped = index < 0 ? 0 : (index >= kDlnRange ? kDlnRange - 1 : index);
            const int i = QuanTable<kBits>::kTable.v[clamped];
            // Negative: ones' complement of |I|; |I| = 0 is all ones either way.
            const int complement = (~i) & kMask;
            const int useComplement = (d >> 31) | -static_cast<int>(i == 0);  // all ones or 0
            return (complement & useComplement) | (i & ~useComplement);
        }
    }

    // RECONST, ADDA, ANTILOG, ADDB, ADDC and the adaptation; returns the reconstructed signal sr.
    [[gnu::always_inline]] inline int Reconstruct(int code, int y) {
        const auto& entry = ByCode<kBits>::kTable.v[code];
        const int dql = entry.dqln + (y >> 2);
        // ANTILOG; a negative log is a zero magnitude. dq is sign-magnitude: sign in bit 15.
        const int dqlc = dql < 0 ? 0 : dql;
        const int dex = (dqlc >> 7) & 15;
        const int dqt = 128 + (dqlc & 127);
        const int magnitude = ((dqt << 7) >> (14 - dex)) & ~(dql >> 31);
        const int dq = (code & kSignBit) ? magnitude - 0x8000 : magnitude;
        const int sr = dq < 0 ? se_ - (dq & 0x7FFF) : se_ + dq;
        const int dqsez = sr + sez_ - se_;
        Update(y, entry.wi, entry.fi, dq, sr, dqsez);
        return sr;
    }

    [[gnu::always_inline]] inline void Update(int y, int wi, int fi, int dq, int sr, int dqsez) {
        const int pk0 = dqsez < 0 ? 1 : 0;
        const int dqmag = dq & 0x7FFF;

        // TRANS: a large difference while a tone was seen means a transition.
        const int ylint = s_.yl >> 15;
        const int ylfrac = (s_.yl >> 10) & 0x1F;
        const int thr1 = (32 + ylfrac) << ylint;
        const int thr2 = ylint > 9 ? 31 << 10 : thr1;
        const int dqthr = (thr2 + (thr2 >> 1)) >> 1;
        const bool tr = s_.td != 0 && dqmag > dqthr;

        // FUNCTW, FILTD, LIMB: unlocked scale factor; FILTE: locked.
        int yu = y + ((wi - y) >> 5);
        yu = yu < kYuMin ? kYuMin : (yu > kYuMax ? kYuMax : yu);
        s_.yu = yu;
        s_.yl += yu + ((-s_.yl) >> 6);

        int a2p = 0;
        if (tr) {
            s_.a[0] = s_.a[1] = 0;
            s_.b[0] = s_.b[1] = s_.b[2] = s_.b[3] = s_.b[4] = s_.b[5] = 0;
        } else {
            // UPA2 and LIMC.
            const int pks1 = pk0 ^ s_.pk[0];
            a2p = s_.a[1] - (s_.a[1] >> 7);
            // The signs follow the speech, so the standard's range tests are written as clamps:
            // -0x100 below -8191 and +0xFF above 8191 are exactly fa1 >> 5 of the clamped fa1, and the
            // LIMC thresholds are the ±12288 limits of a2p ∓ 0x80.
            const int active = dqsez != 0 ? 1 : 0;
            const int negate = pks1 - 1;  // 0 keeps a1, -1 negates it
            const int fa1 = (s_.a[0] ^ negate) - negate;
            const int fa1c = fa1 < -8192 ? -8192 : (fa1 > 8191 ? 8191 : fa1);
            a2p += active * ((fa1c >> 5) + 0x80 - ((pk0 ^ s_.pk[1]) << 8));
            a2p = a2p < -kA2Limit ? -kA2Limit : (a2p > kA2Limit ? kA2Limit : a2p);
            s_.a[1] = a2p;

            // UPA1 and LIMD.
            int a1 = s_.a[0] - (s_.a[0] >> 8) + active * (192 - 384 * pks1);
            const int a1ul = kA1Base - a2p;
            s_.a[0] = a1 < -a1ul ? -a1ul : (a1 > a1ul ? a1ul : a1);

            // UPB: leak, then a step toward the sign agreement of dq with its history.
            constexpr int kLeak = kBits == 5 ? 9 : 8;
            const int step = dqmag != 0 ? 128 : 0;
#pragma GCC unroll 6
            for (int k = 0; k < 6; ++k) {
                const int agree = ((dq ^ s_.dq[k]) >> 31) | 1;  // +1 same sign, -1 not
                s_.b[k] = s_.b[k] - (s_.b[k] >> kLeak) + agree * step;
            }
        }

        // DELAY and FLOAT A.
        s_.dq[5] = s_.dq[4];
        s_.dq[4] = s_.dq[3];
        s_.dq[3] = s_.dq[2];
        s_.dq[2] = s_.dq[1];
        s_.dq[1] = s_.dq[0];
        s_.dq[0] = ToFloat(dqmag, dq < 0);

        // FLOAT B.
        s_.sr[1] = s_.sr[0];
        s_.sr[0] = FloatSr(sr);
        s_.pk[1] = s_.pk[0];
        s_.pk[0] = pk0;

        // TONE.
        s_.td = tr ? 0 : (a2p < kToneA2 ? 1 : 0);

        // FILTA, FILTB, SUBTC, FILTC: adaptation speed control.
        s_.dms += (fi - s_.dms) >> 5;
        s_.dml += ((fi << 2) - s_.dml) >> 7;
        if (tr) {
            s_.ap = 256;
        } else {
            const int diff = (s_.dms << 2) - s_.dml;
            const bool fast = (y < 1536) | (s_.td == 1) | ((diff < 0 ? -diff : diff) >= (s_.dml >> 3));
            s_.ap += ((fast ? 0x200 : 0) - s_.ap) >> 4;
        }
    }

    VOICE_G726_STATE_S s_;
    int se_ = 0;
    int sez_ = 0;
};

template <int kBits>
void EncodeRate(VOICE_G726_STATE_S* state, const int16_t* samples, int n, uint8_t* payload) {
    Coder<kBits> coder(state);
    uint32_t acc = 0;
    int bits = 0;
    int out = 0;
    for (int k = 0; k < n; ++k) {
        acc |= static_cast<uint32_t>(coder.Encode(samples[k] >> 2)) << bits;
        bits += kBits;
        if (bits >= 8) {
            payload[out++] = static_cast<uint8_t>(acc);
            acc >>= 8;
            bits -= 8;
        }
    }
    coder.Save(state);
}

template <int kBits>
void DecodeRate(VOICE_G726_STATE_S* state, const uint8_t* payload, int n, int16_t* samples) {
    Coder<kBits> coder(state);
    uint32_t acc = 0;
    int bits = 0;
    int in = 0;
    for (int k = 0; k < n; ++k) {
        if (bits < kBits) {
            acc |= static_cast<uint32_t>(payload[in++]) << bits;
            bits += 8;
        }
        samples[k] = coder.Decode(static_cast<int>(acc & ((1u << kBits) - 1)));
        acc >>= kBits;
        bits -= kBits;
    }
    coder.Save(state);
}

}  // namespace

void G726Encode(VOICE_G726_STATE_S* state, int bits, const int16_t* samples, int n, uint8_t* payload) {
    switch (bits) {
        case 2:
            EncodeRate<2>(state, samples, n, payload);
            break;
        case 3:
            EncodeRate<3>(state, samples, n, payload);
            break;
        case 4:
            EncodeRate<4>(state, samples, n, payload);
            break;
        default:
            EncodeRate<5>(state, samples, n, payload);
            break;
    }
}

void G726Decode(VOICE_G726_STATE_S* state, int bits, const uint8_t* payload, int n, int16_t* samples) {
    switch (bits) {
        case 2:
            DecodeRate<2>(state, payload, n, samples);
            break;
        case 3:
            DecodeRate<3>(state, payload, n, samples);
            break;
        case 4:
            DecodeRate<4>(state, payload, n, samples);
            break;
        default:
            DecodeRate<5>(state, payload, n, samples);
            break;
    }
}

void G726LsbToMsb(uint8_t* payload, int bytes, int bits) {
    const int words = bytes * 8 / bits;
    const uint32_t mask = (1u << bits) - 1;
    uint32_t in = 0, out = 0;
    int inBits = 0, outBits = 0, r = 0, w = 0;
    for (int k = 0; k < words; ++k) {
        if (inBits < bits) {
            in |= static_cast<uint32_t>(payload[r++]) << inBits;
            inBits += 8;
        }
        const uint32_t code = in & mask;
        in >>= bits;
        inBits -= bits;
        // The write position never overtakes the read position, so one buffer serves both.
        out = (out << bits) | code;
        outBits += bits;
        if (outBits >= 8) {
            payload[w++] = static_cast<uint8_t>(out >> (outBits - 8));
            outBits -= 8;
        }
    }
}

void G726MsbToLsb(uint8_t* payload, int bytes, int bits) {
    const int words = bytes * 8 / bits;
    const uint32_t mask = (1u << bits) - 1;
    uint32_t in = 0, out = 0;
    int inBits = 0, outBits = 0, r = 0, w = 0;
    for (int k = 0; k < words; ++k) {
        if (inBits < bits) {
            in = (in << 8) | payload[r++];
            inBits += 8;
        }
        const uint32_t code = (in >> (inBits - bits)) & mask;
        inBits -= bits;
        out |= code << outBits;
        outBits += bits;
        if (outBits >= 8) {
            payload[w++] = static_cast<uint8_t>(out);
            out >>= 8;
            outBits -= 8;
        }
    }
}

}  // namespace varnelle::voice
