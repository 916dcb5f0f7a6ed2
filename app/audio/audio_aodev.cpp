// Which audio input channel carries the sound of a video channel, by board.
#include <cstdint>
#include <iterator>

#include "app/audio/audio.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_hook.h"

namespace {

// Video channel -> audio input channel, per system type.
const int32_t k556[8] = {0, 2, 1, 3, 0, 0, 0, 0};
const int32_t k654[16] = {8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7};
const int32_t k655[8] = {0, 4, 1, 5, 2, 6, 3, 7};
const int32_t k656[16] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
const int32_t k657[16] = {7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0};
const int32_t k658[16] = {4, 5, 6, 7, 0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15};
const int32_t k660[8] = {0, 1, 2, 3, 8, 9, 10, 11};
const int32_t k661[16] = {0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7};

// The query item that tells how many audio inputs a 654 board has.
constexpr int kQueryAudioInputs = 67;

template <size_t N>
int32_t Lookup(const int32_t (&table)[N], int32_t s32Chn) {
    // A channel beyond the board's table has no wiring of its own: it keeps its number.
    if (s32Chn < 0 || static_cast<size_t>(s32Chn) >= N) return s32Chn;
    return table[s32Chn];
}

}  // namespace

int32_t AudioGetAoDev(int32_t s32Chn) {
    switch (Comm_GetSysType()) {
        case 556:
            return Lookup(k556, s32Chn);
        case 654: {
            uint32_t u32Inputs = 0;
            SysQueryHook(kQueryAudioInputs, &u32Inputs);
            return u32Inputs == 16 ? Lookup(k654, s32Chn) : s32Chn;
        }
        case 655:
            return Lookup(k655, s32Chn);
        case 656:
            return Lookup(k656, s32Chn);
        case 657:
            return Lookup(k657, s32Chn);
        case 658:
            return Lookup(k658, s32Chn);
        case 660:
            return Comm_GetBoardSubType() == 53 ? Lookup(k660, s32Chn) : s32Chn;
        case 661:
            return Lookup(k661, s32Chn);
        default:  // 662 and every other board: the channel itself
            return s32Chn;
    }
}

int AudioGetFormatRecord(int32_t s32Index, AudioFormat* pFormat) {
    static const AudioFormat kFormats[] = {{40, 8000, 16, 11}, {40, 8000, 16, 14}, {40, 8000, 8, 7}};
    if (pFormat == nullptr || s32Index < 0 || s32Index >= static_cast<int32_t>(std::size(kFormats))) return -1;
    *pFormat = kFormats[s32Index];
    return 0;
}
