#include "app/dec/vdec_size.h"

namespace {

int16_t A(const HVR_CAP_S& cap, int slot) {
    return cap.as16Analog[slot];
}

}  // namespace

int32_t AVdecDigitalPicCode(const HVR_CAP_S& cap, uint32_t u32Index) {
    // Digital count slot and the size code its channels get, in the order they are counted.
    static const struct {
        int slot;
        int32_t code;
    } kOrder[] = {{HVR_CAP_5M, 18},  {HVR_CAP_3M, 17},   {HVR_CAP_1080P, 14}, {HVR_CAP_960P, 12},
                  {HVR_CAP_720P, 11}, {HVR_CAP_960H, 10}, {HVR_CAP_D1, 0},     {HVR_CAP_CIF, 3}};
    int64_t sum = 0;
    for (const auto& o : kOrder) {
        // A negative count from the master adds nothing.
        if (cap.as16Digital[o.slot] > 0) sum += cap.as16Digital[o.slot];
        if (sum > static_cast<int64_t>(u32Index)) return o.code;
    }
    return -1;
}

bool AVdecUsesCaptureSize(int32_t s32CapClass, uint32_t u32ChipChns) {
    if (s32CapClass == 17) return u32ChipChns == 32;
    if (s32CapClass == 16) return u32ChipChns == 24;
    return u32ChipChns == 16;
}

VdecChnSizing AVdecChnSizing(const HVR_CAP_S& cap, uint32_t u32DevType, uint32_t u32DigitalNum, uint32_t u32ChipChns,
                             uint32_t u32EncPoolFlag, uint32_t u32CodeWidth, uint32_t u32CodeHeight) {
    uint32_t w = u32CodeWidth, h = u32CodeHeight, maxH = u32CodeHeight;
    if (u32DigitalNum == 0) {
        // The first analog class the product has, in this order, sizes every decoder.
        static const struct {
            int slot;
            uint32_t w, h;
        } kAnalog[] = {{HVR_CAP_720P, 1280, 720},  {HVR_CAP_960P, 1280, 1080}, {HVR_CAP_1080P, 1920, 1080},
                       {HVR_CAP_3M, 1920, 1536},   {HVR_CAP_5M, 2688, 2048},   {HVR_CAP_4M, 2560, 1440},
                       {HVR_CAP_8M, 3840, 2160}};
        for (const auto& a : kAnalog) {
            if (A(cap, a.slot) >= 1) {
                w = a.w;
                h = maxH = a.h;
                break;
            }
        }
    } else {
        switch (w) {
            case 704: w = 720; break;
            case 928: w = 960; break;
            case 352: w = 360; break;
            case 2048: w = 2304; break;
            case 2560:
                w = 2688;
                if (h == 1440) h = 1520;
                break;
            default: break;
        }
        maxH = h == 480 ? 576 : h == 240 ? 288 : h;
    }
    uint64_t area = static_cast<uint64_t>(w) * maxH;
    uint64_t buf = area * 3 / 4;
    const HVR_CAP_S& c = cap;
    bool half = (A(c, HVR_CAP_1080P) == 16 && c.u32MaxPlayBackWay == 16) ||
                (A(c, HVR_CAP_1080P) == 16 && u32DevType == 659) ||
                A(c, HVR_CAP_960P) == 32 || A(c, HVR_CAP_960P) == 24 ||
                (A(c, HVR_CAP_5M) == 8 && u32DevType == 657) || (A(c, HVR_CAP_5M) == 16 && u32DevType == 659) ||
                (A(c, HVR_CAP_4M) == 16 && u32DevType == 656) || (A(c, HVR_CAP_3M) == 16 && u32DevType == 656) ||
                (A(c, HVR_CAP_8M) == 4 && u32DevType == 657);
    if (half) {
        buf = area / 2;
    } else if (A(c, HVR_CAP_4M) == 8 && u32DevType == 656) {
        buf = area * 3 / 2;
    }
    VdecChnSizing s;
    s.u32Width = w;
    s.u32Height = h;
    s.u32MaxHeight = maxH;
    s.u32BufSize = buf > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(buf);
    s.u32RefFrames = u32ChipChns != 0 && u32EncPoolFlag == 0 ? 1 : 2;
    return s;
}

uint32_t AVdecCapsFactor(const HVR_CAP_S& c) {
    uint32_t pb = c.u32MaxPlayBackWay;
    if (A(c, HVR_CAP_960P) == 32 && pb == 8) return 16;
    if (A(c, HVR_CAP_960P) == 24 && pb == 16) return 21;
    if (A(c, HVR_CAP_1080P) == 16) return pb == 8 ? 21 : 13;
    if (A(c, HVR_CAP_3M) == 16 && pb == 16) return 12;
    if (A(c, HVR_CAP_4M) == 8 && pb == 8) return 15;
    return 25;
}
