// Hostile frames for the frame transcoder: byte 0 picks the kind (97 to 100, or one outside), the rest
// is a run of frames converted one after another on one pair. Each frame sits in a buffer of exactly
// VOICE_MAX_FRAME_BYTES, the room the transcoder is promised, so a read or write past it shows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/audio/codecs/voice_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    VOICE_TRANSCODER_S pair{};
    const int32_t kind = 96 + data[0] % 6;  // 96 and 101 are refused
    const bool known = MK_VOICE_TransCodeReset(&pair, kind) == 0;
    if (known != (kind >= 97 && kind <= 100)) std::abort();
    size_t at = 1;
    std::vector<uint8_t> frame(VOICE_MAX_FRAME_BYTES);
    while (at < size) {
        const size_t take = size - at < frame.size() ? size - at : frame.size();
        std::memset(frame.data(), 0, frame.size());
        std::memcpy(frame.data(), data + at, take);
        at += take;
        const std::vector<uint8_t> before = frame;
        const int32_t ret = MK_VOICE_TransCodeFrame(&pair, frame.data());
        if (!known) {
            if (ret != MK_ERR_VOICE_TRANS_KIND) std::abort();
            continue;
        }
        // A converted frame fits the buffer it was written into; a refused one is left as it was.
        if (ret == 0 && (static_cast<size_t>(frame[2]) + 2) * 2 > frame.size()) std::abort();
        if (ret != 0 && frame != before) std::abort();
    }
    return 0;
}
