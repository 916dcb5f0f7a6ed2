#include "app/dec/avdec_state.h"

#include <cstring>

AVdecState::AVdecState() {
    Clear();
}

uint64_t AVdecState::Rec64(uint32_t u32Chn, uint32_t u32Field) const {
    return Rec(u32Chn, u32Field) | static_cast<uint64_t>(Rec(u32Chn, u32Field + 4)) << 32;
}

void AVdecState::SetRec64(uint32_t u32Chn, uint32_t u32Field, uint64_t v) {
    SetRec(u32Chn, u32Field, static_cast<uint32_t>(v));
    SetRec(u32Chn, u32Field + 4, static_cast<uint32_t>(v >> 32));
}

void AVdecState::CopyIn(uint32_t u32Off, const uint8_t* pu8Src, uint32_t u32Len) {
    for (uint32_t i = 0; i < u32Len; i += 4) {
        uint32_t v;
        std::memcpy(&v, pu8Src + i, 4);
        SetWord(u32Off + i, v);
    }
}

void AVdecState::CopyOut(uint32_t u32Off, uint8_t* pu8Dst, uint32_t u32Len) const {
    for (uint32_t i = 0; i < u32Len; i += 4) {
        uint32_t v = Word(u32Off + i);
        std::memcpy(pu8Dst + i, &v, 4);
    }
}

void AVdecState::Clear() {
    for (uint32_t off = 0; off < AVDEC_STATE_SIZE; off += 4) SetWord(off, 0);
}

AVdecState* AVdecGetState() {
    static auto* s = new AVdecState;
    return s;
}

AVdecState* AVdecGetChnTable() {
    static auto* s = new AVdecState;
    return s;
}

bool AVdecPlayRunning(uint32_t u32Chn) {
    return u32Chn < AVDEC_CHN_NUM && AVdecGetChnTable()->Rec(u32Chn, REC_RUNNING) == 1;
}
