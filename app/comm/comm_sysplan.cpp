#include "app/comm/comm_sysplan.h"

#include <cstring>
#include <initializer_list>

#include "app/comm/comm_cap.h"
#include "app/comm/comm_picsize.h"

namespace {

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
    for (uint32_t s : set) {
        if (s == v) return true;
    }
    return false;
}

// Writes plan entries, refusing counts outside 32 bits.
class Filler {
public:
    explicit Filler(SysVbPlan* p) : m_p(p) {}
    void Common(int pool, uint32_t size, int64_t count) { Set(m_p->stCommon, pool, size, count, SYS_PLAN_COMMON0 << (pool - 1)); }
    void Dec(int pool, uint32_t size, int64_t count) { Set(m_p->stDec, pool, size, count, SYS_PLAN_DEC0 << (pool - 1)); }
    void Enc(uint32_t mainSize, int64_t mainCnt, uint32_t subSize, int64_t subCnt) {
        Pool(&m_p->stEncMain, mainSize, mainCnt, SYS_PLAN_ENC_MAIN);
        Pool(&m_p->stEncSub, subSize, subCnt, SYS_PLAN_ENC_SUB);
    }

private:
    bool Fits(int64_t count, uint32_t bit) {
        if (count >= 0 && count <= static_cast<int64_t>(UINT32_MAX)) return true;
        m_p->u32Refused |= bit;
        return false;
    }
    void Set(VB_CONF_S& c, int pool, uint32_t size, int64_t count, uint32_t bit) {
        if (!Fits(count, bit)) count = 0;
        c.astCommPool[pool - 1].u32BlkSize = size;
        c.astCommPool[pool - 1].u32BlkCnt = static_cast<uint32_t>(count);
    }
    void Pool(SYS_POOL_S* p, uint32_t size, int64_t count, uint32_t bit) {
        if (!Fits(count, bit)) count = 0;
        p->u32BlkSize = size;
        p->u32BlkCnt = static_cast<uint32_t>(count);
    }
    SysVbPlan* m_p;
};

// The plan by capture size class; false for a class whose products do not include this one (the
// empty plan).
bool FillByClass(int32_t cls, const SlaveSysCfg& cfg, Filler& f) {
    const uint32_t d = cfg.u32DevType;
    const HVR_CAP_S& cap = cfg.stHvrCap;
    const int64_t pb = cap.u32MaxPlayBackWay;
    const int64_t w6 = cfg.u32DecNum, w8 = cfg.u32FirstDecChn;
    const int32_t w9 = static_cast<int32_t>(cfg.u32DigitalNum);
    const bool w13 = cfg.u32EncPoolFlag != 0;
    // N comes from the master: a range end below its start gives no count at all.
    const int64_t n = static_cast<int64_t>(cfg.u32ChnEnd) - static_cast<int64_t>(cfg.u32ChnStart);
    switch (cls) {
        case 12:
            f.Common(1, 4173120, 48);
            f.Common(2, 811008, d == 657 ? 32 : 16);
            f.Common(3, 152064, 16);
            f.Dec(1, 3133440, 5 * pb);
            f.Enc(3159360, w13 ? 28 : 20, 608256, w13 ? 28 : 12);
            return true;
        case 14:
            f.Common(1, 1592640, 90);
            f.Common(2, 811008, 128);
            f.Common(4, 10368000, 2);
            f.Common(5, 3136320, 9);
            f.Dec(1, 2088960, 5 * w8);
            f.Enc(3159360, 32, 608256, 32);
            return true;
        case 15:
            if (d == 656) {
                f.Common(1, 3159360, 144);
                f.Common(2, 811008, 96);
                f.Common(3, 152064, 64);
                f.Dec(1, 3133440, 6 * pb);
                f.Enc(3159360, 32, 608256, 24);
            } else if (d == 658 || d == 659) {
                f.Common(1, 3159360, d == 658 ? 54 : 64);
                f.Common(2, 811008, d == 658 ? 64 : 32);
                f.Common(3, 10368000, 2);
                if (w9 > 0) f.Common(4, 811008, 64);
                f.Dec(1, 3159360, (w9 > 0 ? 10 : 5) * w6);
                f.Enc(3159360, n < 0 ? -1 : 2 * n, 608256, n < 0 ? -1 : 2 * n);
            } else if (d == 660 || d == 661) {
                const bool pb32 = pb == 32;
                f.Common(1, 3159360, pb32 ? 120 : 100);
                f.Common(2, 811008, pb32 ? 96 : 80);
                f.Common(3, 10368000, 2);
                if (pb32) f.Common(4, 1408320, 100);
                f.Dec(1, 3159360, (pb32 ? 5 : 4) * w6);
                f.Enc(3159360, 24, 608256, 24);
            } else {
                const bool pb16 = pb == 16;
                f.Common(1, 3159360, pb16 ? 88 : 120);
                f.Common(2, 634176, 60);
                f.Common(3, 1382400, pb16 ? 30 : 10);
                f.Dec(1, 3133440, pb16 ? 62 : 3 * pb);
                f.Enc(3159360, 24, 608256, 24);
            }
            return true;
        case 16:
        case 17:
            f.Common(1, 1592640, 200);
            f.Common(2, 811008, cls == 16 ? 96 : 64);
            if (cls == 17) f.Common(3, 152064, 64);
            f.Dec(1, w9 < 1 ? 2088960 : 3133440, 4 * pb);
            f.Enc(1592640, cls == 16 ? 48 : 64, 608256, cls == 16 ? 48 : 64);
            return true;
        case 18:
            f.Common(1, 7501440, 45);
            f.Common(2, 3146880, 35);
            f.Common(3, 608256, 96);
            f.Common(4, 10368000, 2);
            f.Dec(1, 7501440, (cap.as16Analog[HVR_CAP_5M] == 8 ? 8 : 4) * w8);
            f.Enc(3732480, 22, 608256, 22);
            return true;
        case 19:
            if (d != 656) return false;
            f.Common(1, 5566080, 76);
            f.Common(2, 608256, 96);
            f.Common(4, 3146880, 40);
            f.Dec(1, 6193152, 4 * pb);
            f.Enc(2801280, 24, 304128, 24);
            return true;
        case 20:
            f.Common(1, 7501440, 60);
            f.Common(2, 608256, 16);
            f.Dec(1, 8294016, 5 * pb);
            f.Enc(7501440, w13 ? 12 : 8, 608256, w13 ? 12 : 8);
            return true;
        case 21:
            if (In(d, {651, 656})) {
                f.Common(1, 5566080, 68);
                f.Common(2, 608256, 96);
                f.Common(3, 3110400, 53);
                f.Dec(1, 5529600, 28);
                f.Enc(2801280, 32, 608256, 34);
            } else if (d == 660) {
                f.Common(1, 5566080, 74);
                f.Common(2, 608256, 96);
                f.Common(3, 3110400, 53);
                f.Common(4, 10368000, 2);
                f.Dec(1, 5529600, 53);
                f.Enc(2801280, 32, 608256, 32);
            } else {
                return false;
            }
            return true;
        case 22:
            if (!In(d, {651, 656})) return false;
            f.Common(1, 4181760, 34);
            f.Common(2, 608256, 128);
            f.Common(3, 4147200, 48);
            f.Common(4, 4147200, 40);
            f.Dec(1, 4147200, 60);
            f.Enc(2108160, 32, 608256, 32);
            return true;
        case 23:
            if (d != 657) return false;
            f.Common(1, 4181760, 34);
            f.Common(2, 608256, 128);
            f.Common(3, 4147200, 60);
            f.Dec(1, 4147200, 40);
            f.Enc(2108160, 20, 608256, 20);
            return true;
        case 24:
            f.Common(1, 12493440, 65);
            f.Common(2, 608256, 48);
            f.Enc(6220800, 12, 608256, 12);
            return true;
        default: {
            // No analog class: planned from the digital counts.
            const int16_t d3m = cap.as16Digital[HVR_CAP_3M], d5m = cap.as16Digital[HVR_CAP_5M];
            if (d5m >= 1) {
                f.Common(1, 10368000, 2);
                f.Common(2, 3110400, 10);
                f.Common(3, 8257536, 30);
                f.Common(4, 811008, 40);
                f.Dec(1, 8257536, 36);
                f.Dec(2, 811008, 46);
            } else if (d3m < 1) {
                f.Common(1, 3159360, 10);
                f.Common(2, 811008, 10);
                f.Dec(1, 3133440, 5 * static_cast<int64_t>(cfg.u32PlayDecNum));
            }
            return true;
        }
    }
}

}  // namespace

void CommPlanSysVb(const SlaveSysCfg& cfg, SysVbPlan* pPlan) {
    std::memset(pPlan, 0, sizeof(*pPlan));
    pPlan->stCommon.u32MaxPoolCnt = 4;
    pPlan->stDec.u32MaxPoolCnt = 4;
    pPlan->s32SizeClass = CommCapSizeClass(cfg.u32DevType, cfg.stHvrCap);
    Filler f(pPlan);
    FillByClass(pPlan->s32SizeClass, cfg, f);
    const int32_t w9 = static_cast<int32_t>(cfg.u32DigitalNum);
    pPlan->bInitDecPools = true;
    if (w9 > 0) {
        f.Dec(2, 608256, 4 * static_cast<int64_t>(w9));
    } else if (w9 == 0 && CommLargeTest(cfg.u32DevType, cfg.stHvrCap)) {
        pPlan->bInitDecPools = false;
    }
}

uint32_t CommVdecBlkSize(uint32_t u32Vstd, int32_t s32Code) {
    SIZE_S size;
    Comm_SysGetPicSize(u32Vstd, s32Code, &size, true);
    return ((size.u32Width + 31) / 32) * ((size.u32Height + 15) / 16) * 768;
}

bool CommPlanVdecVb(const SlaveSysCfg& cfg, int32_t s32Count, uint32_t u32BlkSize, VB_CONF_S* pConf) {
    const uint32_t d = cfg.u32DevType;
    const HVR_CAP_S& cap = cfg.stHvrCap;
    if (cfg.u32DigitalNum != 0 || !CommLargeTest(d, cap)) return false;
    const int16_t a5m = cap.as16Analog[HVR_CAP_5M], a4m = cap.as16Analog[HVR_CAP_4M];
    const int16_t a8m = cap.as16Analog[HVR_CAP_8M], a1080p = cap.as16Analog[HVR_CAP_1080P];
    const uint32_t pb = cap.u32MaxPlayBackWay;
    const bool w13is1 = cfg.u32EncPoolFlag == 1;
    std::memset(pConf, 0, sizeof(*pConf));
    pConf->u32MaxPoolCnt = pb;
    if (s32Count >= 0) {
        uint32_t cnt = 4;
        if (w13is1) cnt = 5;
        if (d == 660 && a4m == 32) cnt = 3;
        pConf->astCommPool[0] = {u32BlkSize, cnt, {}};
        return true;
    }
    const bool first = a5m == 16 && d == 659;
    const bool wideBranch = a4m == 32 || (a1080p == 32 && pb == 32);
    const bool big1080 = (d == 660 || d == 661) && a1080p == 32;
    uint32_t p = 16;
    if (first) {
        p = pb == 8 ? 4 : 10;
    } else if (wideBranch) {
        if ((d == 656 && a4m == 16) || (d == 657 && a5m == 8) || (d == 660 && a4m == 32)) {
            p = 16;
        } else if (d == 659) {
            p = pb == 8 ? 4 : 10;
        } else {
            p = pb < 16 ? pb : 16;
        }
    } else if (d == 657) {
        p = a8m == 4 ? 12 : 16;
    } else if (big1080) {
        p = 15;
    }
    for (uint32_t i = 0; i < p; ++i) {
        const bool firstHalf = i < p / 2;
        uint32_t cnt;
        if (first) {
            cnt = w13is1 ? 4 : 3;
        } else if (wideBranch) {
            if (d == 656 && a4m == 16) cnt = 2;
            else if (d == 657 && a5m == 8) cnt = firstHalf ? 3 : 2;
            else if (big1080) cnt = 4;
            else cnt = w13is1 ? 4 : 3;
        } else if (d == 657 && a8m == 4) {
            cnt = 1;
        } else if (big1080) {
            cnt = 2;
        } else {
            cnt = firstHalf ? 3 : 2;
        }
        pConf->astCommPool[i] = {u32BlkSize, cnt, {}};
    }
    return true;
}
