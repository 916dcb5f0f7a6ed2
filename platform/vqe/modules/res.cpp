// libvqe_RES.so: the resampler module. A polyphase windowed-sinc filter (Kaiser window) designed for the
// pair of rates: flat to 0.4 x the lower rate, at least 95 dB down from 0.5 x the lower rate, so
// images and aliases are that far down.
//
// After A inputs in all it has written floor(A x out / in) outputs: output n stands at input time
// (n x M + M - 1) / L (L/M = out/in in lowest terms) and uses the inputs up to that time, so it is due
// once that input has arrived. The signal is delayed by half the filter.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "platform/vqe/module_export.h"

namespace varnelle::vqe {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStopDb = 95.0;
constexpr int kLanes = 8;               // floats per vector
constexpr int kUnroll = 4;              // independent sums, so additions do not wait on each other
constexpr int kRowPad = kLanes * kUnroll;  // coefficient rows are padded to this

typedef float Vec __attribute__((vector_size(kLanes * sizeof(float))));

double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 64; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

class Res {
public:
    Res(MK_S32 inRate, MK_VOID* param) {
        auto* p = static_cast<const VQE_RES_PARAM_S*>(param);
        if (p == nullptr || p->s32OutSampleRate < 8000 || p->s32OutSampleRate > 96000) {
            throw std::invalid_argument("res output rate");
        }
        const int outRate = p->s32OutSampleRate;
        const int g = std::gcd(inRate, outRate);
        m_l = outRate / g;
        m_m = inRate / g;
        const double low = std::min(inRate, outRate);
        const double common = static_cast<double>(inRate) * m_l;  // the rate the filter runs at
        // Kaiser's estimate for the transition from 0.4 to 0.5 of the lower rate.
        const double beta = 0.1102 * (kStopDb - 8.7);
        const double tapsLow = (kStopDb - 7.95) / (2.285 * 2.0 * kPi * 0.1);
        m_k = static_cast<int>(std::ceil(tapsLow * common / low / m_l));
        m_k = (m_k + kRowPad - 1) / kRowPad * kRowPad;
        const int total = m_k * m_l;
        const double fc = 0.45 * low / common;  // cut-off, cycles per sample at the common rate
        const double mid = (total - 1) / 2.0;
        std::vector<double> h(total);
        for (int j = 0; j < total; ++j) {
            const double t = j - mid;
            const double sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * t) / (kPi * t);
            const double r = t / (mid + 0.5);
            const double w = BesselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(beta);
            h[j] = m_l * sinc * w;
        }
        // Row p holds the taps of phase p reversed, so output = row . (the K newest inputs, oldest first).
        m_coef.assign(static_cast<size_t>(total), 0.0f);
        for (int ph = 0; ph < m_l; ++ph) {
            for (int j = 0; j < m_k; ++j) m_coef[static_cast<size_t>(ph) * m_k + j] = static_cast<float>(h[ph + (m_k - 1 - j) * m_l]);
        }
        m_buf.assign(m_k - 1, 0.0f);
        m_t = m_m - 1;
    }

    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        const int n = static_cast<int>(in->u32Bytes / sizeof(int16_t));
        const int16_t* x = static_cast<const int16_t*>(in->pData);
        int16_t* y = static_cast<int16_t*>(out->pData);
        const size_t hist = static_cast<size_t>(m_k - 1);
        m_buf.resize(hist + n);
        for (int i = 0; i < n; ++i) m_buf[hist + i] = x[i];
        int produced = 0;
        const int64_t end = static_cast<int64_t>(n) * m_l;
        while (m_t < end) {
            const int64_t i = m_t / m_l;
            const int ph = static_cast<int>(m_t % m_l);
            y[produced++] = Dot(&m_coef[static_cast<size_t>(ph) * m_k], &m_buf[static_cast<size_t>(i)]);
            m_t += m_m;
        }
        m_t -= end;
        std::copy(m_buf.end() - static_cast<long>(hist), m_buf.end(), m_buf.begin());
        m_buf.resize(hist);
        out->u32Bytes = static_cast<MK_U32>(produced) * sizeof(int16_t);
        return produced;
    }

private:
    int16_t Dot(const float* c, const float* x) const {
        Vec acc[kUnroll] = {};
        for (int j = 0; j < m_k; j += kRowPad) {
            for (int u = 0; u < kUnroll; ++u) {
                Vec a, b;
                __builtin_memcpy(&a, c + j + u * kLanes, sizeof(Vec));
                __builtin_memcpy(&b, x + j + u * kLanes, sizeof(Vec));
                acc[u] += a * b;
            }
        }
        const Vec sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
        float s = 0.0f;
        for (int l = 0; l < kLanes; ++l) s += sum[l];
        s = std::nearbyint(s);
        return static_cast<int16_t>(s > 32767.0f ? 32767.0f : (s < -32768.0f ? -32768.0f : s));
    }

    int m_l = 1, m_m = 1, m_k = 0;
    std::vector<float> m_coef;
    std::vector<float> m_buf;  // the K - 1 newest inputs, then a call's inputs
    int64_t m_t = 0;           // time of the next output, in 1/L inputs from the call's first input
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(RES, varnelle::vqe::Res);
