// The simulated encoder's codecs: H.264 through openh264 (Annex B, one NAL unit per output unit) and
// baseline JPEG through libjpeg. A codec is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace varnelle::drivers::venc {

// A planar 4:2:0 picture (I420) owned by the caller.
struct Picture {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    int yStride;
    int uvStride;
    int width;
    int height;
};

// One unit of encoded output: a NAL unit with its start code (H.264) or a whole picture (JPEG).
struct Unit {
    uint32_t dataType;
    std::vector<uint8_t> bytes;
};

struct CodecConfig {
    uint32_t payloadType;  // 96 H.264, 26 JPEG
    int width;
    int height;
    uint32_t frameRate;
    uint32_t bitRateKbps;  // H.264
    int quality;           // JPEG, 1..100
};

class Codec {
public:
    virtual ~Codec() = default;
    // Encodes one picture; a key frame when `key`. Appends the output units; false on failure.
    virtual bool Encode(const Picture& pic, bool key, uint64_t ptsUs, std::vector<Unit>* out) = 0;
};

// Null when the codec cannot be set up for `config`.
std::unique_ptr<Codec> MakeCodec(const CodecConfig& config);

}  // namespace varnelle::drivers::venc
