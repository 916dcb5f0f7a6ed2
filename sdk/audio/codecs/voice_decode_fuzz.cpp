// Hostile frames for the voice decoder: byte 0 picks the codec (one of the engine's ids, or one it does
// not know), the rest is a run of frames decoded one after another on one state, as a stream arrives.
// Each frame sits in a buffer of exactly the length its header declares, and the samples in a buffer of
// exactly VOICE_MAX_DECODE_SAMPLES, so a read or write past either shows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/audio/codecs/voice_codec.h"

namespace {

constexpr int16_t kIds[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68, 0, 69};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    VOICE_CODEC_STATE_S state{};
    const int16_t id = kIds[data[0] % (sizeof kIds / sizeof kIds[0])];
    if (VOICE_CodecOpen(&state, id) != 0) state.s16CodecId = id;  // an unknown id goes in unopened
    size_t at = 1;
    std::vector<int16_t> samples(VOICE_MAX_DECODE_SAMPLES);
    while (at < size) {
        // The frame's declared size: (length byte + 2) words; bytes the input lacks are zero.
        const size_t declared = (static_cast<size_t>(at + 2 < size ? data[at + 2] : 0) + 2) * 2;
        std::vector<uint8_t> frame(declared, 0);
        const size_t take = size - at < declared ? size - at : declared;
        std::memcpy(frame.data(), data + at, take);
        at += take;
        uint16_t count = 0xFFFF;
        const int32_t ret = MK_VOICE_DecodeFrame(&state, frame.data(), samples.data(), &count);
        if (ret != 0 && count != 0) std::abort();  // a refusal reports no samples
        if (count > VOICE_MAX_DECODE_SAMPLES) std::abort();
    }
    return 0;
}
