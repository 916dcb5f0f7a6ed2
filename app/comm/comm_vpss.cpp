#include "app/comm/comm_vpss.h"

#include <cstring>
#include <initializer_list>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../comm/vivo.c";

struct VpssState {
    std::mutex mutex;  // guards everything below (command loop; tests read the record)
    // The attribute copies command 84 restores from: input groups, second-set group, wide groups.
    VPSS_GRP_ATTR_S astSaved[3] = {};
    bool abSaved[3] = {};
    VPSS_EFFECT_S stDefParam = {};
};

VpssState& State() {
    static auto* s = new VpssState;
    return *s;
}

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
    for (uint32_t s : set) {
        if (s == v) return true;
    }
    return false;
}

struct Env {
    SlaveSysCfg cfg;
    COMM_VPSS_CHN_MAP_S map;
    bool wide;
    const int32_t* m() const { return map.as32Word; }
    const int16_t* an() const { return cfg.stHvrCap.as16Analog; }
};

Env TheEnv() {
    Env e{SlaveGetSysCfg(), Comm_GetVpssChnMapCopy(), false};
    e.wide = CommWideTest(e.cfg.u32DevType, e.cfg.stHvrCap);
    return e;
}

void Switches(VPSS_GRP_ATTR_S* a, MK_U32 ie, MK_U32 dci, MK_U32 nr, MK_U32 die) {
    a->bIeEn = ie;
    a->bDciEn = dci;
    a->bNrEn = nr;
    a->enDieMode = die;
}

void Range(const Env& e, int32_t* b, int32_t* end) {
    const int32_t* m = e.m();
    const int32_t first = static_cast<int32_t>(e.cfg.u32ChnStart);
    const int32_t n = CommChipChnNumOf(e.cfg);
    const int32_t base = m[VPSS_MAP_IN_BASE] + m[VPSS_MAP_WIDE_IN_BASE];
    *b = base + (first < 0 ? m[VPSS_MAP_SPECIAL3] + first : 0);
    *end = base + (first < n ? m[VPSS_MAP_SPECIAL3] + first : n);
}

int32_t SetMode(int32_t s32Grp, int32_t s32Chn, uint32_t w, uint32_t h) {
    const MK_S32 s32Ret = CommVpssSetUserMode(s32Grp, s32Chn, w, h);
    if (s32Ret != 0) {
        APP_ERR_IN(kSrc, "Comm_VpssConfig", "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

// The full and half sizes of the largest analog class, for the sizer and pre-scaler.
void ClassSizes(const Env& e, SIZE_S* full, SIZE_S* half) {
    static const struct {
        int slot;
        SIZE_S full, half;
    } kOrder[] = {
        {HVR_CAP_960P, {944, 1080}, {472, 540}},   {HVR_CAP_1080P, {1920, 1080}, {960, 540}},
        {HVR_CAP_5M, {2560, 1944}, {1280, 972}},   {HVR_CAP_3M, {1920, 1440}, {960, 720}},
        {HVR_CAP_4M, {2560, 1440}, {1280, 720}},
    };
    *full = {0, 0};
    *half = {0, 0};
    for (const auto& o : kOrder) {
        if (e.an()[o.slot] > 0) {
            *full = o.full;
            *half = o.half;
            break;
        }
    }
    if (e.cfg.u32BoardSubType == 59) {
        *full = {1920, 1080};
        *half = {960, 540};
    }
}

// One walk of command 84 over groups [b, end) with saved copy `which`; false after a failure.
bool Toggle(int32_t b, int32_t end, int which, int32_t s32Op) {
    VpssState& st = State();
    for (int32_t g = b; g < end; ++g) {
        VPSS_GRP_ATTR_S a;
        MK_S32 s32Ret = MK_MPI_VPSS_GetGrpAttr(g, &a);
        if (s32Ret != 0) {
            APP_ERR_IN(kSrc, "Comm_Vpss_Grop_Config", "MK_MPI_VPSS_GetGrpAttr(%d) failed %x!", g,
                       static_cast<unsigned>(s32Ret));
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!st.abSaved[which]) {
                st.astSaved[which] = a;
                st.abSaved[which] = true;
            }
            if (s32Op == 1) {
                Switches(&a, 0, 0, 0, 0);
            } else if (s32Op == 0) {
                const VPSS_GRP_ATTR_S& s = st.astSaved[which];
                Switches(&a, s.bIeEn, s.bDciEn, s.bNrEn, s.enDieMode);
            }
        }
        if ((s32Ret = MK_MPI_VPSS_SetGrpAttr(g, &a)) != 0) {
            APP_ERR_IN(kSrc, "Comm_Vpss_Grop_Config", "MK_MPI_VPSS_SetGrpAttr(%d) failed %x!", g,
                       static_cast<unsigned>(s32Ret));
            return false;
        }
    }
    return true;
}

}  // namespace

VPSS_GRP_ATTR_S CommVpssGrpAttrFor(int32_t s32Grp, const SIZE_S* pstSize) {
    const Env e = TheEnv();
    const int32_t* m = e.m();
    const int16_t* an = e.an();
    VPSS_GRP_ATTR_S a = {};
    a.u32MaxW = pstSize->u32Width;
    a.u32MaxH = pstSize->u32Height;
    const bool big = an[HVR_CAP_1080P] > 0 || an[HVR_CAP_4M] > 0 || an[HVR_CAP_5M] > 0 || an[HVR_CAP_8M] > 0;
    a.enPixFmt = big && In(e.cfg.u32BoardSubType, {48, 49, 55, 56, 57, 58}) ? 22 : 23;
    Switches(&a, 1, 1, 1, 1);
    a.bHistEn = 0;
    a.bEsEn = 0;
    const bool inInput = s32Grp < m[VPSS_MAP_IN_END];
    if (s32Grp >= m[VPSS_MAP_SEC_BASE]) Switches(&a, 0, 0, 0, 0);
    if ((an[HVR_CAP_960P] == 24 || an[HVR_CAP_960P] == 32) && inInput) {
        Switches(&a, 0, 0, 0, 0);
    } else if (an[HVR_CAP_1080P] == 16 && inInput) {
        Switches(&a, 1, 0, 1, 1);
    }
    if (e.wide) {
        if (inInput) {
            if (an[HVR_CAP_4M] == 32) {
                Switches(&a, 0, 0, 0, 0);
            } else {
                Switches(&a, 1, 0, 1, 1);
            }
        } else if (s32Grp < static_cast<int64_t>(e.cfg.u32ChnEnd)) {
            Switches(&a, 1, 0, 1, 1);
        }
    } else {
        if (inInput) Switches(&a, 1, 0, 1, 1);
        if (s32Grp == m[VPSS_MAP_SEC_BASE]) a.bNrEn = 1;
    }
    return a;
}

int32_t CommVpssGrpChns(int32_t s32Grp, int32_t* ps32Chns) {
    const Env e = TheEnv();
    const int32_t* m = e.m();
    const SLAVE_CFG_S& sc = e.cfg.stSlaveCfg;
    int32_t n = 0;
    if (s32Grp >= m[VPSS_MAP_IN_BASE] && s32Grp < m[VPSS_MAP_IN_END]) {
        int32_t last = e.wide ? 1 : m[VPSS_MAP_PREVIEW_CHN];
        if (sc.u8JpegEnable == 1 || sc.u8BlindSwitch == 1) last = m[VPSS_MAP_IN_LAST4_CHN];
        for (int32_t c = 0; c <= last && n < VPSS_MAX_CHN_NUM; ++c) {
            // The wide layout previews from the extra groups: channel 2 of an input group stays off.
            if (e.wide && c == 2) continue;
            ps32Chns[n++] = c;
        }
    } else if (s32Grp >= m[VPSS_MAP_SEC_BASE] && s32Grp < m[VPSS_MAP_SEC_END]) {
        ps32Chns[n++] = m[VPSS_MAP_SEC_CHN];
    } else if (s32Grp >= m[VPSS_MAP_DEC_BASE] && s32Grp < m[VPSS_MAP_DEC_END]) {
        ps32Chns[n++] = m[VPSS_MAP_DEC_FIRST_CHN];
        if (sc.u32VpssSwitch != 0) ps32Chns[n++] = 3;
    } else if (s32Grp >= m[VPSS_MAP_DEC_END]) {
        ps32Chns[n++] = sc.u8ZoomSplit ? m[VPSS_MAP_SPECIAL_CHN] : 2;
    } else {
        ps32Chns[n++] = 2;
    }
    return n;
}

void CommVpssInputRange(int32_t* ps32Begin, int32_t* ps32End) {
    Range(TheEnv(), ps32Begin, ps32End);
}

int32_t Comm_VpssConfig(int32_t s32Grp, const SIZE_S* pstSize) {
    if (pstSize == nullptr) return -1;
    const Env e = TheEnv();
    const int32_t* m = e.m();
    const int16_t* an = e.an();
    VPSS_GRP_ATTR_S a = CommVpssGrpAttrFor(s32Grp, pstSize);
    MK_S32 s32Ret = MK_MPI_VPSS_CreateGrp(s32Grp, &a);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_CreateGrp %d failed with %#x!", s32Grp, static_cast<unsigned>(s32Ret));
        return -1;
    }
    VPSS_GRP_PARAM_S p;
    if ((s32Ret = MK_MPI_VPSS_GetGrpParam(s32Grp, &p)) == 0) {
        p.u32IeStrength = 4;
        s32Ret = MK_MPI_VPSS_SetGrpParam(s32Grp, &p);
    }
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    int32_t b, end;
    Range(e, &b, &end);
    if (s32Grp >= b && s32Grp < end) {
        std::lock_guard<std::mutex> lock(State().mutex);
        VPSS_EFFECT_S& d = State().stDefParam;
        d.au8Attr[0] = static_cast<uint8_t>(a.bIeEn);
        d.au8Attr[1] = static_cast<uint8_t>(a.bDciEn);
        d.au8Attr[2] = static_cast<uint8_t>(a.bNrEn);
        d.au8Param[0] = static_cast<uint8_t>(p.u32Contrast);
        d.au8Param[2] = static_cast<uint8_t>(p.u32IeStrength);
    }
    int32_t as32Chn[VPSS_MAX_CHN_NUM];
    int32_t s32Num = CommVpssGrpChns(s32Grp, as32Chn);
    for (int32_t i = 0; i < s32Num; ++i) {
        const int32_t c = as32Chn[i];
        VPSS_CHN_ATTR_S ca = {};
        if ((s32Ret = MK_MPI_VPSS_SetChnAttr(s32Grp, c, &ca)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VPSS_SetChnAttr failed with %#x", static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VPSS_EnableChn(s32Grp, c)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VPSS_EnableChn failed with %#x", static_cast<unsigned>(s32Ret));
            return -1;
        }
        VPSS_CHN_PARAM_S cp;
        if ((s32Ret = MK_MPI_VPSS_GetChnParam(s32Grp, c, &cp)) == 0) {
            // The preview channel gets the lighter noise reduction.
            const bool preview = c == m[VPSS_MAP_PREVIEW_CHN];
            cp.u32SpStrength = 40;
            cp.u32SfStrength = preview ? 8 : 16;
            cp.u32TfStrength = preview ? 0 : 3;
            s32Ret = MK_MPI_VPSS_SetChnParam(s32Grp, c, &cp);
        }
        if (s32Ret != 0) {
            APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
            return -1;
        }
        if (c == 3 && e.cfg.stSlaveCfg.u8BlindSwitch == 1) {
            const bool ntsc = CommHookCaptureGetVstd() == 1;
            if (SetMode(s32Grp, 3, 352, ntsc ? 240 : 288) != 0) return -1;
        }
        if (c == 0 && s32Grp < m[VPSS_MAP_DEC_BASE]) {
            static const struct {
                int slot;
                uint32_t w, h;
            } kUser[] = {{HVR_CAP_4M, 2560, 1440}, {HVR_CAP_5M, 2560, 1944}, {HVR_CAP_8M, 3840, 2160},
                         {HVR_CAP_960P, 944, 1080}};
            for (const auto& u : kUser) {
                if (an[u.slot] > 0) {
                    if (SetMode(s32Grp, 0, u.w, u.h) != 0) return -1;
                    break;
                }
            }
        }
    }
    const bool dense960 = an[HVR_CAP_960P] == 24 || an[HVR_CAP_960P] == 32;
    if (s32Grp < m[dense960 ? VPSS_MAP_DEC_BASE : VPSS_MAP_SEC_BASE]) {
        if ((s32Ret = MK_MPI_VPSS_DisableBackupFrame(s32Grp)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VPSS_DisableBackupFrame failed with %#x", static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    if (e.wide && s32Grp <= m[VPSS_MAP_SPECIAL3]) {
        SIZE_S full, half;
        ClassSizes(e, &full, &half);
        const int64_t first = static_cast<int32_t>(e.cfg.u32ChnStart);
        if (s32Grp < first) {
            VPSS_SIZER_INFO_S sizer;
            MK_MPI_VPSS_GetGrpSizer(s32Grp, &sizer);
            sizer.bSizer = 1;
            sizer.stSize = full;
            MK_MPI_VPSS_SetGrpSizer(s32Grp, &sizer);
            if (an[HVR_CAP_4M] == 16) MK_MPI_VPSS_SetPreScaleMode(s32Grp, 1);
        } else if (s32Grp < 2 * first) {
            VPSS_PRESCALE_INFO_S pre;
            MK_MPI_VPSS_GetPreScale(s32Grp, &pre);
            pre.bPreScale = 1;
            pre.stDestSize = half;
            MK_MPI_VPSS_SetPreScale(s32Grp, &pre);
        }
    }
    if ((s32Ret = MK_MPI_VPSS_StartGrp(s32Grp)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_StartGrp failed with %#x", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t Comm_Vpss_Grop_Config(int32_t s32Op) {
    const Env e = TheEnv();
    if (e.cfg.u32DigitalNum != 0 || !CommLargeTest(e.cfg.u32DevType, e.cfg.stHvrCap)) return 0;
    int32_t b, end;
    Range(e, &b, &end);
    if (!Toggle(b, end, 0, s32Op)) return -1;
    const int16_t a1080p = e.an()[HVR_CAP_1080P];
    const uint32_t pb = e.cfg.stHvrCap.u32MaxPlayBackWay;
    if (a1080p == 32 && pb < 32) {
        const int32_t g = e.m()[VPSS_MAP_SEC_BASE];
        if (!Toggle(g, g + 1, 1, s32Op)) return -1;
    }
    const int32_t n = CommChipChnNumOf(e.cfg);
    if (a1080p == 32 && pb == 32 && n >= 1) {
        if (!Toggle(0, n, 2, s32Op)) return -1;
    }
    return 0;
}

int32_t Comm_SetVpssParam(int32_t s32Grp, const uint8_t* pu8Param) {
    if (pu8Param == nullptr) return -1;
    VPSS_GRP_PARAM_S p;
    MK_S32 s32Ret = MK_MPI_VPSS_GetGrpParam(s32Grp, &p);
    if (s32Ret == 0) {
        p.u32SfStrength = pu8Param[3];
        p.u32TfStrength = pu8Param[2];
        p.u32CfStrength = 12;
        p.u32CTfStrength = 16;
        s32Ret = MK_MPI_VPSS_SetGrpParam(s32Grp, &p);
    }
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t Comm_SetVpssChnParam(int32_t s32Grp, int32_t s32Stream, const SIZE_S* pstSize) {
    if (s32Stream != 0 || pstSize == nullptr) return 0;
    const HVR_CAP_S cap = SlaveGetSysCfg().stHvrCap;
    const int16_t* an = cap.as16Analog;
    if (an[HVR_CAP_4M] <= 0 && an[HVR_CAP_5M] <= 0 && an[HVR_CAP_8M] <= 0 && an[HVR_CAP_960P] <= 0) return 0;
    VPSS_CHN_MODE_S mode;
    MK_S32 s32Ret = MK_MPI_VPSS_GetChnMode(s32Grp, 0, &mode);
    if (s32Ret == 0) {
        mode.u32Width = pstSize->u32Width;
        mode.u32Height = pstSize->u32Height;
        s32Ret = MK_MPI_VPSS_SetChnMode(s32Grp, 0, &mode);
    }
    if (s32Ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t Comm_GetVpssDefParam(uint8_t* pu8Param) {
    if (pu8Param == nullptr) return -1;
    const uint8_t sf = In(Comm_GetBoardSubType(), {55, 58}) ? 42 : 24;
    pu8Param[2] = 18;
    pu8Param[3] = sf;
    std::lock_guard<std::mutex> lock(State().mutex);
    // Kept as the group parameter words command 48 would write.
    VPSS_EFFECT_S& d = State().stDefParam;
    d.au8Param[3] = sf;
    d.au8Param[4] = 18;
    d.au8Param[5] = 12;
    d.au8Param[6] = 16;
    return 0;
}

int32_t HwControlVideoVpssEffect(VPSS_EFFECT_S* pstEffect) {
    if (pstEffect == nullptr) return -1;
    if (pstEffect->u32Op != 0) {
        *pstEffect = CommVpssDefParam();
        return 0;
    }
    const int32_t s32Grp = Comm_GetVpssChnMapCopy().as32Word[VPSS_MAP_IN_BASE];
    VPSS_GRP_ATTR_S a;
    MK_S32 s32Ret = MK_MPI_VPSS_GetGrpAttr(s32Grp, &a);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_GetGrpAttr failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    a.bIeEn = pstEffect->au8Attr[0];
    a.bDciEn = pstEffect->au8Attr[1];
    a.bNrEn = pstEffect->au8Attr[2];
    if ((s32Ret = MK_MPI_VPSS_SetGrpAttr(s32Grp, &a)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_SetGrpAttr failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    VPSS_GRP_PARAM_S p;
    if ((s32Ret = MK_MPI_VPSS_GetGrpParam(s32Grp, &p)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_GetGrpParam failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    MK_U32* words[] = {&p.u32Contrast, &p.u32DieStrength, &p.u32IeStrength,
                       &p.u32SfStrength, &p.u32TfStrength, &p.u32CfStrength};
    for (int i = 0; i < 6; ++i) *words[i] = pstEffect->au8Param[i];
    if ((s32Ret = MK_MPI_VPSS_SetGrpParam(s32Grp, &p)) != 0) {
        APP_ERR(kSrc, "MK_MPI_VPSS_SetGrpParam failed with %#x!", static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

VPSS_EFFECT_S CommVpssDefParam() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().stDefParam;
}

void CommResetVpssState() {
    std::lock_guard<std::mutex> lock(State().mutex);
    VpssState& s = State();
    for (bool& b : s.abSaved) b = false;
    s.stDefParam = VPSS_EFFECT_S{};
}

MK_S32 CommVpssSetUserMode(int32_t s32Grp, int32_t s32Chn, uint32_t u32Width, uint32_t u32Height) {
    VPSS_CHN_MODE_S mode{};
    MK_S32 s32Ret = MK_MPI_VPSS_GetChnMode(s32Grp, s32Chn, &mode);
    if (s32Ret == 0) {
        mode.enChnMode = VPSS_CHN_MODE_USER;
        mode.u32Width = u32Width;
        mode.u32Height = u32Height;
        mode.enPixelFormat = 23;  // NV21, the one format every module takes
        s32Ret = MK_MPI_VPSS_SetChnMode(s32Grp, s32Chn, &mode);
    }
    return s32Ret;
}
