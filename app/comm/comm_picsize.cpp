#include "app/comm/comm_picsize.h"

#include "app/comm/comm_cfg.h"

int32_t Comm_SysGetPicSize(uint32_t u32Vstd, int32_t s32Code, SIZE_S* pstSize, bool bVariant) {
    if (pstSize == nullptr) return 0;
    const bool pal = u32Vstd == 0;
    uint32_t w = 704, h = pal ? 576 : 480;
    switch (s32Code) {
        case PIC_HD1: w = 704, h = pal ? 288 : 240; break;
        case PIC_944x1080: w = 944, h = 1080; break;
        case PIC_CIF: w = 352, h = pal ? 288 : 240; break;
        case PIC_QCIF: w = 176, h = pal ? 144 : 120; break;
        case PIC_VGA: w = 640, h = 480; break;
        case PIC_QVGA: w = 320, h = 240; break;
        case PIC_960x1440: w = 960, h = 1440; break;
        case PIC_1280x1440: w = 1280, h = 1440; break;
        case PIC_960H: w = 928, h = pal ? 576 : 480; break;
        case PIC_720P: w = 1280, h = 720; break;
        case PIC_960P: w = 1280, h = 960; break;
        case PIC_UXGA: w = 1600, h = 1200; break;
        case PIC_1080P: w = 1920, h = 1080; break;
        case PIC_WUXGA: w = 1920, h = 1200; break;
        case PIC_4M: w = 2560, h = 1440; break;
        case PIC_3M: w = bVariant ? 1920 : 2048, h = bVariant ? 1440 : 1536; break;
        case PIC_5M: w = 2560, h = 1944; break;
        case PIC_8M: w = 3840, h = 2160; break;
        default: break;  // D1 and every other code
    }
    pstSize->u32Width = w;
    pstSize->u32Height = h;
    return 0;
}

int32_t CommViChnFpsOf(uint32_t d, const HVR_CAP_S& cap, uint32_t w, uint32_t h) {
    const int16_t a5m = cap.as16Analog[HVR_CAP_5M];
    const int16_t a4m = cap.as16Analog[HVR_CAP_4M];
    const bool all1080p16 = cap.as16Analog[HVR_CAP_1080P] == 16;
    auto is = [w, h](uint32_t ww, uint32_t hh) { return w == ww && h == hh; };
    if (d == 659) {
        if (a5m == 16) {
            if (all1080p16) return 25;
            if (is(2560, 1944)) return 10;
            if (is(2560, 1440)) return 13;
            if (is(1920, 1440)) return 18;
            if (is(1920, 1080)) return 24;
            return 25;
        }
        if (a5m == 8) return is(2560, 1944) ? 20 : 25;
        return all1080p16 ? 25 : 0;
    }
    if (d == 658) return 25;
    if (d == 660 || d == 661) {
        if (a4m <= 0) return is(1920, 1080) ? 12 : 25;
        if (is(2560, 1440)) return 8;
        if (is(1920, 1440)) return 10;
        if (is(1920, 1080)) return 15;
        if (is(1280, 1440)) return 16;
        if (is(960, 1440)) return 20;
        return 25;
    }
    return 0;
}

int32_t Comm_GetViChnFps(const SIZE_S* pstSize) {
    if (pstSize == nullptr) return 0;
    SlaveSysCfg cfg = SlaveGetSysCfg();
    return CommViChnFpsOf(cfg.u32DevType, cfg.stHvrCap, pstSize->u32Width, pstSize->u32Height);
}
