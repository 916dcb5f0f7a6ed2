// The deterministic test picture that the simulated inputs show, so a person (or a test) can tell
// which input a picture comes from, that it is live, and when it was taken:
//   - the input channel's signature colour (PatternSignature) behind everything, and flat over the
//     signature area (PatternSignatureRect), which survives scaling and encoding and can be measured;
//   - the channel's number in large white digits on black at the top left;
//   - a white bar that moves one step per frame across a band in the lower half;
//   - the time of day "HH:MM:SS" in white on black at the bottom left.
// Behind the labels lies a scene: flat (the whole picture in the signature colour), or what a camera
// shows, so that encoders spend on it what a camera's pictures cost them: a texture in the signature
// colour with noise that changes every picture, and things of their own colours moving across it,
// behind the signature area and a thin frame along the picture's edges that both stay flat. The
// camera scene's luma stays strictly between the labels' black (16) and white (235).
// Semi-planar YUV 4:2:0 as the chip keeps pixel format 23: a luma plane, then one plane of chroma at
// half resolution whose pairs hold Cr (V) first, then Cb (U) (NV21). The same channel,
// frame index and time give the same bytes, so tests can checksum whole frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::drivers {

struct PatternFrame {
    uint8_t* y;
    size_t yStride;
    uint8_t* uv;  // chroma pairs, V then U; may be null: luma only
    size_t uvStride;
    int width;
    int height;
};

struct PatternYuv {
    uint8_t y, u, v;
};

struct PatternRect {
    int x, y, width, height;
};

enum class PatternScene { kFlat, kCamera };

// `secondsOfDay` (0 to 86399) is drawn as the time; a negative value draws no time. The capture
// inputs show the camera scene; the flat one is cheap to draw and to encode.
void DrawTestPattern(const PatternFrame& f, int channel, uint64_t frameIndex, int secondsOfDay = -1,
                     PatternScene scene = PatternScene::kFlat);

// A flat picture of one colour (a covered lens, a black user picture).
void DrawFlat(const PatternFrame& f, PatternYuv colour);

// The signature colour of a channel: 16 hues, in three luma levels for channels 16 to 31 and 32 to 47
// (then again); negative channels take channel 0's.
PatternYuv PatternSignature(int channel);
// The part of a width x height picture that shows nothing but the signature colour: the right half,
// between the top sixteenth and the middle.
PatternRect PatternSignatureRect(int width, int height);

// Bytes of a semi-planar 4:2:0 picture with strides equal to the width.
inline size_t Yuv420Size(int width, int height) {
    return static_cast<size_t>(width) * height + static_cast<size_t>(width) * ((height + 1) / 2);
}

}  // namespace varnelle::drivers
