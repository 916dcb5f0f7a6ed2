// The deterministic test picture that simulated capture and encoding show: a grey ramp background,
// the source channel's number in large digits, and a bar that moves one step per frame, so a person can
// tell which input a stream carries and that it is live. Semi-planar YUV 4:2:0 (a luma plane, then
// interleaved chroma at half resolution).
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::drivers {

struct PatternFrame {
    uint8_t* y;
    size_t yStride;
    uint8_t* uv;  // may be null: luma only
    size_t uvStride;
    int width;
    int height;
};

void DrawTestPattern(const PatternFrame& f, int channel, uint64_t frameIndex);

// Bytes of a semi-planar 4:2:0 picture with strides equal to the width.
inline size_t Yuv420Size(int width, int height) {
    return static_cast<size_t>(width) * height + static_cast<size_t>(width) * ((height + 1) / 2);
}

}  // namespace varnelle::drivers
