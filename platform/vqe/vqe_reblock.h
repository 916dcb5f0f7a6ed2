// Runs a processor of fixed hops over blocks of any length: input collects until a hop is whole, output
// is delayed by one hop (zeros first), so every call gets back as many samples as it gave.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace varnelle::vqe {

class Reblocker {
public:
    explicit Reblocker(int hop, int signals = 1)
        : m_hop(hop), m_in(signals), m_out(hop, 0), m_inNum(0) {
        for (auto& v : m_in) v.assign(hop, 0);
    }
    int Hop() const { return m_hop; }

    // Feeds n samples of each signal; `hop(inputs, output)` runs on every whole hop and writes m_hop
    // samples. Writes n samples to out.
    template <typename HopFn>
    void Run(const int16_t* const* in, int16_t* out, int n, HopFn hop) {
        int pos = 0;
        std::vector<const int16_t*> ptrs(m_in.size());
        while (pos < n) {
            const int take = std::min(n - pos, m_hop - m_inNum);
            for (size_t s = 0; s < m_in.size(); ++s) {
                if (in[s] != nullptr) {
                    std::memcpy(m_in[s].data() + m_inNum, in[s] + pos, take * sizeof(int16_t));
                } else {
                    std::memset(m_in[s].data() + m_inNum, 0, take * sizeof(int16_t));
                }
            }
            m_inNum += take;
            pos += take;
            if (m_inNum == m_hop) {
                for (size_t s = 0; s < m_in.size(); ++s) ptrs[s] = m_in[s].data();
                const size_t at = m_out.size();
                m_out.resize(at + m_hop);
                hop(ptrs.data(), m_out.data() + at);
                m_inNum = 0;
            }
        }
        std::memcpy(out, m_out.data(), n * sizeof(int16_t));
        m_out.erase(m_out.begin(), m_out.begin() + n);
    }

private:
    int m_hop;
    std::vector<std::vector<int16_t>> m_in;
    std::vector<int16_t> m_out;
    int m_inNum;
};

}  // namespace varnelle::vqe
