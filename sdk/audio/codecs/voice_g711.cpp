// G.711 A-law and mu-law. The per-sample rules below define the codes; the lookup tables are generated
// from them at compile time so the hot loops are one load per sample.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "sdk/audio/codecs/internal/coders.h"

namespace varnelle::voice {
namespace {

// A-law of the top 13 bits of a 16-bit sample.
constexpr uint8_t LinearToAlaw(int s) {
    int v = s >> 3;
    int mask = 0xD5;
    if (v < 0) {
        v = ~v;
        mask = 0x55;
    }
    if (v <= 30) return static_cast<uint8_t>(((v >> 1) & 0x0F) ^ mask);
    const int seg = std::bit_width(static_cast<unsigned>(v)) - 5;
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    const int shift = seg == 0 ? 1 : seg;
    return static_cast<uint8_t>((((v >> shift) & 0x0F) | (seg << 4)) ^ mask);
}

// mu-law of the top 14 bits of a 16-bit sample.
constexpr uint8_t LinearToUlaw(int s) {
    int v = s >> 2;
    int mask = 0xFF;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    }
    v = v < 8160 ? v + 33 : 8192;  // bias, or clip
    const int k = std::bit_width(static_cast<unsigned>(v)) - 5;
    if (k >= 9) return static_cast<uint8_t>(0x7F ^ mask);
    return static_cast<uint8_t>((((v >> k) & 0x0F) | ((k - 1) << 4)) ^ mask);
}

constexpr int16_t AlawToLinear(uint8_t code) {
    const int c = code ^ 0x55;
    const int seg = (c & 0x70) >> 4;
    int t = (c & 0x0F) * 16;
    t = seg == 0 ? t + 8 : (t + 0x108) << (seg - 1);
    return static_cast<int16_t>((c & 0x80) ? t : -t);
}

constexpr int16_t UlawToLinear(uint8_t code) {
    const int c = static_cast<uint8_t>(~code);
    const int t = ((c & 0x0F) * 8 + 0x84) << ((c & 0x70) >> 4);
    return static_cast<int16_t>((c & 0x80) ? 0x84 - t : t - 0x84);
}

// A-law code of every 13-bit value: index = (16-bit sample as unsigned) >> 3.
constexpr std::array<uint8_t, 8192> kAlawCode = [] {
    std::array<uint8_t, 8192> t{};
    for (int i = 0; i < 8192; ++i) t[i] = LinearToAlaw(static_cast<int16_t>(i << 3));
    return t;
}();

// mu-law code of every 14-bit value: index = (16-bit sample as unsigned) >> 2.
constexpr std::array<uint8_t, 16384> kUlawCode = [] {
    std::array<uint8_t, 16384> t{};
    for (int i = 0; i < 16384; ++i) t[i] = LinearToUlaw(static_cast<int16_t>(i << 2));
    return t;
}();

// Expansion of every code byte to 16-bit PCM.
constexpr std::array<int16_t, 256> kAlawLinear = [] {
    std::array<int16_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = AlawToLinear(static_cast<uint8_t>(i));
    return t;
}();
constexpr std::array<int16_t, 256> kUlawLinear = [] {
    std::array<int16_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = UlawToLinear(static_cast<uint8_t>(i));
    return t;
}();

static_assert(LinearToAlaw(0) == 0xD5 && LinearToAlaw(-1) == 0x55 && LinearToAlaw(32767) == 0xAA &&
              LinearToAlaw(-32768) == 0x2A);
static_assert(LinearToUlaw(0) == 0xFF && LinearToUlaw(-1) == 0x7E && LinearToUlaw(32767) == 0x80 &&
              LinearToUlaw(-32768) == 0x00);
static_assert(AlawToLinear(0xD5) == 8 && AlawToLinear(0x55) == -8 && AlawToLinear(0xAA) == 32256);
static_assert(UlawToLinear(0xFF) == 0 && UlawToLinear(0x00) == -32124 && UlawToLinear(0x80) == 32124);

template <int kShift, std::size_t kSize>
inline void EncodeTable(const std::array<uint8_t, kSize>& table, bool swapped, const int16_t* samples, int n,
                        uint8_t* payload) {
    // Frames hold an even number of samples; `swap` flips the byte within each pair.
    const int swap = swapped ? 1 : 0;
#pragma GCC unroll 16
    for (int i = 0; i < n; ++i) {
        payload[i ^ swap] = table[static_cast<uint16_t>(samples[i]) >> kShift];
    }
}

inline void DecodeTable(const std::array<int16_t, 256>& table, bool swapped, const uint8_t* payload, int n,
                        int16_t* samples) {
    const int swap = swapped ? 1 : 0;
#pragma GCC unroll 16
    for (int i = 0; i < n; ++i) samples[i] = table[payload[i ^ swap]];
}

}  // namespace

void G711Encode(bool alaw, bool swapped, const int16_t* samples, int n, uint8_t* payload) {
    if (alaw) {
        EncodeTable<3>(kAlawCode, swapped, samples, n, payload);
    } else {
        EncodeTable<2>(kUlawCode, swapped, samples, n, payload);
    }
}

void G711Decode(bool alaw, bool swapped, const uint8_t* payload, int n, int16_t* samples) {
    DecodeTable(alaw ? kAlawLinear : kUlawLinear, swapped, payload, n, samples);
}

}  // namespace varnelle::voice
