// Scaling of semi-planar 4:2:0 pictures (a luma plane, then a plane of interleaved chroma pairs at half
// the resolution in both directions), the one picture format the chip's video drivers pass around.
// Both chroma orders scale alike: the pair's two bytes are never mixed.
//
// The filter is bilinear with sample centres aligned: destination pixel d of a D-pixel axis samples the
// source at (d + 0.5) * S / D - 0.5, clamped to the edge pixels. Weights have 8 bits and the pass
// between the two axes keeps 16, so a result is within a step of the exact bilinear value; a copy at
// equal sizes is exact. Chosen over libswscale's bilinear on measure (bench/vo): faster over the
// display and processing sizes taken together, markedly so for shrinking (a 16-way split, CIF and
// QCIF streams), slower for growing to more than the source. It aliases where a picture shrinks to
// less than half, where libswscale would widen its filter.
//
// The loops come in instruction-set variants chosen at run time (the best the processor has, unless
// asked for less); every variant gives the same bytes as the plain one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnelle::drivers {

// A picture's planes: `width` x `height` luma bytes, rows `yStride` apart; (width + 1) / 2 chroma pairs
// a row in (height + 1) / 2 rows, `uvStride` apart.
struct Yuv420SpPlanes {
    uint8_t* y;
    size_t yStride;
    uint8_t* uv;
    size_t uvStride;
    int width;
    int height;

    bool IsEmpty() const { return width <= 0 || height <= 0 || y == nullptr || uv == nullptr; }
    // The part of the picture at (x, y) of w x h, clipped to the picture, then with its corner rounded
    // down to even so that the chroma pairs stay aligned. Its chroma may reach one column past an
    // odd right edge, which lies inside the picture when the picture's width is even.
    Yuv420SpPlanes Sub(int x, int y, int w, int h) const;
};

// The scaler's loop variants, from plain C++ up.
enum class ScalerIsa { kPortable, kSse2, kAvx2 };

// The best variant this processor runs.
ScalerIsa BestScalerIsa();

// Scales pictures, keeping the tables of the last pair of sizes. One per thread: not thread-safe.
class Yuv420SpScaler {
public:
    // `isa` above what the processor runs is lowered to BestScalerIsa().
    explicit Yuv420SpScaler(ScalerIsa isa = BestScalerIsa());

    // Scales `src` to fill `dst`. False (and nothing written) when either is empty.
    bool Scale(const Yuv420SpPlanes& src, const Yuv420SpPlanes& dst);
    ScalerIsa Isa() const { return m_isa; }

    struct Kernels;

private:
    // Where each destination position of one axis samples: the first source index and the weight of the
    // next one (0 to 255); for the vector loops also both weights as one word ((256 - w) | w << 16),
    // repeated once per interleaved component.
    struct Axis {
        std::vector<int32_t> index;
        std::vector<uint16_t> weight;
        std::vector<uint32_t> pairs;
    };
    static void Build(Axis& axis, int src, int dst, int n);
    // One plane of `n` interleaved components (1 luma, 2 chroma) of srcW x srcH into dstW x dstH.
    void ScalePlane(const uint8_t* src, size_t srcStride, int srcW, int srcH, uint8_t* dst, size_t dstStride,
                    int dstW, int dstH, int n, const Axis& xs, const Axis& ys);

    ScalerIsa m_isa;
    const Kernels* m_kernels;
    int m_sw = 0, m_sh = 0, m_dw = 0, m_dh = 0;
    Axis m_lumaX, m_lumaY, m_chromaX, m_chromaY;
    std::vector<uint16_t> m_rows;  // rows between the two passes, at 16 bits
};

}  // namespace varnelle::drivers
