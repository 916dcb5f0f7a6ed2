#include "app/comm/cap_frame.h"

#include <cstring>

#include "platform/host/clock.h"

namespace {

constexpr uint8_t kStart[3] = {0x00, 0x00, 0x01};
constexpr uint8_t kCodeI = 0xFD;
constexpr uint8_t kCodePicture = 0xFA;
constexpr uint8_t kCodeP = 0xFC;
constexpr uint8_t kCodeAudio = 0xF0;
constexpr uint8_t kFlagsBase = 2;  // bit 1 is always set

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint32_t CapFramePackTime(const struct tm& t) {
    uint32_t year = t.tm_year + 1900 >= 2000 ? static_cast<uint32_t>(t.tm_year + 1900 - 2000) & 0x3F : 0;
    return (static_cast<uint32_t>(t.tm_sec) & 0x3F) | (static_cast<uint32_t>(t.tm_min) & 0x3F) << 6 |
           (static_cast<uint32_t>(t.tm_hour) & 0x1F) << 12 | (static_cast<uint32_t>(t.tm_mday) & 0x1F) << 17 |
           (static_cast<uint32_t>(t.tm_mon + 1) & 0xF) << 22 | year << 26;
}

uint32_t CapFramePackTimeNow() {
    time_t now = varnelle::host::WallSeconds();
    struct tm t;
    localtime_r(&now, &t);
    return CapFramePackTime(t);
}

void CapFrameUnpackTime(uint32_t v, uint32_t out[6]) {
    out[0] = (v >> 26) + 2000;
    out[1] = (v >> 22) & 0xF;
    out[2] = (v >> 17) & 0x1F;
    out[3] = (v >> 12) & 0x1F;
    out[4] = (v >> 6) & 0x3F;
    out[5] = v & 0x3F;
}

uint32_t CapFrameWriteHeader(uint8_t* p, uint32_t u32Kind, uint32_t u32FrameLen, uint32_t u32FrameRate,
                             uint32_t u32Width, uint32_t u32Height, uint32_t u32Time, uint32_t u32Codec) {
    std::memcpy(p, kStart, sizeof(kStart));
    switch (u32Kind) {
        case CAP_FRAME_I:
        case CAP_FRAME_PICTURE: {
            bool bI = u32Kind == CAP_FRAME_I;
            uint8_t flags = kFlagsBase;
            if (bI) flags |= static_cast<uint8_t>(((u32Width >> 11) & 3) << 4 | ((u32Height >> 11) & 3) << 6);
            p[3] = bI ? kCodeI : kCodePicture;
            p[4] = flags;
            p[5] = static_cast<uint8_t>(u32FrameRate);
            p[6] = static_cast<uint8_t>(u32Width >> 3);
            p[7] = static_cast<uint8_t>(u32Height >> 3);
            Put32(p + 8, u32Time);
            Put32(p + 12, u32FrameLen);
            return CAP_HEADER_LONG;
        }
        case CAP_FRAME_P:
            p[3] = kCodeP;
            Put32(p + 4, u32FrameLen);
            return CAP_HEADER_SHORT;
        case CAP_FRAME_AUDIO:
            p[3] = kCodeAudio;
            p[4] = static_cast<uint8_t>(u32Codec);
            p[5] = 2;
            p[6] = static_cast<uint8_t>(u32FrameLen);
            p[7] = static_cast<uint8_t>(u32FrameLen >> 8);
            return CAP_HEADER_SHORT;
        default:
            return 0;
    }
}

int CapFrameReadHeader(const uint8_t* p, size_t avail, CapFrameHeader* h) {
    if (avail < 4 || p[0] != kStart[0] || p[1] != kStart[1] || p[2] != kStart[2]) return 0;
    std::memset(h, 0, sizeof(*h));
    switch (p[3]) {
        case kCodeI:
        case kCodePicture:
            if (avail < CAP_HEADER_LONG) return -1;
            h->u32Kind = p[3] == kCodeI ? CAP_FRAME_I : CAP_FRAME_PICTURE;
            h->u32HeadLen = CAP_HEADER_LONG;
            h->u32FrameRate = p[5] & 0x1F;
            h->u32Width = p[6] * 8u + ((p[4] >> 4) & 3u) * 2048u;
            h->u32Height = p[7] * 8u + ((p[4] >> 6) & 3u) * 2048u;
            h->u32Time = Get32(p + 8);
            h->u32FrameLen = Get32(p + 12);
            return 1;
        case kCodeP:
            if (avail < CAP_HEADER_SHORT) return -1;
            h->u32Kind = CAP_FRAME_P;
            h->u32HeadLen = CAP_HEADER_SHORT;
            h->u32FrameLen = Get32(p + 4);
            return 1;
        case kCodeAudio:
            if (avail < CAP_HEADER_SHORT) return -1;
            h->u32Kind = CAP_FRAME_AUDIO;
            h->u32HeadLen = CAP_HEADER_SHORT;
            h->u32Codec = p[4];
            h->u32FrameLen = p[6] | (p[7] << 8);
            return 1;
        default:
            return 0;
    }
}
