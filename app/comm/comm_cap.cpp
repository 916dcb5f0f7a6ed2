#include "app/comm/comm_cap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_hook.h"
#include "platform/host/env.h"

namespace {

constexpr const char* kSrc = "../comm/ExDec.c";

int16_t A(const HVR_CAP_S& c, int slot) { return c.as16Analog[slot]; }

// ---- Built-in tables ----

struct Field {
    bool analog;
    int slot;
    int16_t count;
};
struct BuiltinRecord {
    uint32_t devType;
    Field fields[3];
    int fieldNum;
    uint32_t playBack;
};

constexpr Field AF(int slot, int16_t n) { return {true, slot, n}; }
constexpr Field DF(int slot, int16_t n) { return {false, slot, n}; }

// Product -> its records, in table order.
const BuiltinRecord kBuiltin[] = {
    {651, {AF(HVR_CAP_1080P, 16)}, 1, 16},
    {651, {AF(HVR_CAP_1080P, 16)}, 1, 8},
    {651, {AF(HVR_CAP_960P, 16)}, 1, 16},
    {651, {AF(HVR_CAP_1080P, 12), DF(HVR_CAP_1080P, 4)}, 2, 4},
    {651, {AF(HVR_CAP_1080P, 8), DF(HVR_CAP_1080P, 4), DF(HVR_CAP_D1, 4)}, 3, 4},
    {651, {AF(HVR_CAP_1080P, 4), DF(HVR_CAP_1080P, 4), DF(HVR_CAP_D1, 8)}, 3, 4},
    {651, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 2, 8},
    {651, {DF(HVR_CAP_3M, 8)}, 1, 8},
    {651, {DF(HVR_CAP_5M, 4)}, 1, 4},
    {652, {AF(HVR_CAP_960P, 24)}, 1, 8},
    {652, {AF(HVR_CAP_960P, 16), DF(HVR_CAP_1080P, 6), DF(HVR_CAP_D1, 2)}, 3, 6},
    {652, {AF(HVR_CAP_960P, 8), DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 3, 8},
    {652, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 16)}, 2, 8},
    {653, {AF(HVR_CAP_960P, 32)}, 1, 8},
    {653, {AF(HVR_CAP_960P, 24), DF(HVR_CAP_1080P, 4), DF(HVR_CAP_D1, 4)}, 3, 4},
    {653, {AF(HVR_CAP_960P, 16), DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 3, 8},
    {653, {AF(HVR_CAP_960P, 8), DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 16)}, 3, 8},
    {653, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 24)}, 2, 8},
    {654, {AF(HVR_CAP_960P, 16)}, 1, 16},
    {654, {AF(HVR_CAP_960P, 12), DF(HVR_CAP_1080P, 4)}, 2, 4},
    {654, {AF(HVR_CAP_960P, 8), DF(HVR_CAP_1080P, 4), DF(HVR_CAP_D1, 4)}, 3, 4},
    {654, {AF(HVR_CAP_960P, 4), DF(HVR_CAP_1080P, 4), DF(HVR_CAP_D1, 8)}, 3, 4},
    {654, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 2, 8},
    {654, {DF(HVR_CAP_3M, 8)}, 1, 8},
    {654, {DF(HVR_CAP_5M, 4)}, 1, 4},
    {655, {AF(HVR_CAP_1080P, 8)}, 1, 8},
    {655, {AF(HVR_CAP_1080P, 4), DF(HVR_CAP_1080P, 4)}, 2, 4},
    {655, {DF(HVR_CAP_1080P, 8)}, 1, 8},
    {655, {DF(HVR_CAP_3M, 8)}, 1, 8},
    {655, {DF(HVR_CAP_5M, 4)}, 1, 4},
    {656, {AF(HVR_CAP_4M, 16)}, 1, 8},
    {656, {AF(HVR_CAP_4M, 8), DF(HVR_CAP_4M, 8)}, 2, 8},
    {656, {AF(HVR_CAP_4M, 8)}, 1, 8},
    {656, {AF(HVR_CAP_3M, 16)}, 1, 16},
    {656, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 2, 8},
    {656, {DF(HVR_CAP_D1, 4), DF(HVR_CAP_5M, 4)}, 2, 4},
    {656, {DF(HVR_CAP_5M, 4)}, 1, 4},
    {657, {AF(HVR_CAP_5M, 8)}, 1, 8},
    {657, {AF(HVR_CAP_5M, 4), DF(HVR_CAP_5M, 4)}, 2, 4},
    {657, {DF(HVR_CAP_1080P, 8), DF(HVR_CAP_D1, 8)}, 2, 8},
    {657, {DF(HVR_CAP_3M, 8)}, 1, 8},
    {658, {AF(HVR_CAP_1080P, 16)}, 1, 16},
    {658, {AF(HVR_CAP_1080P, 16), DF(HVR_CAP_1080P, 8)}, 2, 8},
    {658, {DF(HVR_CAP_5M, 8)}, 1, 8},
    {659, {AF(HVR_CAP_5M, 16)}, 1, 8},
    {659, {AF(HVR_CAP_1080P, 16)}, 1, 16},
    {659, {AF(HVR_CAP_1080P, 16), DF(HVR_CAP_1080P, 8)}, 2, 8},
    {659, {AF(HVR_CAP_5M, 8), DF(HVR_CAP_5M, 8)}, 2, 8},
    {659, {DF(HVR_CAP_5M, 8)}, 1, 8},
    {660, {AF(HVR_CAP_4M, 32)}, 1, 16},
    {660, {AF(HVR_CAP_1080P, 32)}, 1, 16},
    {660, {DF(HVR_CAP_5M, 8)}, 1, 8},
    {661, {AF(HVR_CAP_1080P, 32)}, 1, 16},
    {661, {DF(HVR_CAP_5M, 8)}, 1, 8},
};

// The keys of the text form, in the writer's order, with the slot each names.
struct Key {
    const char* name;
    int slot;
};
const Key kKeys[] = {
    {"n5M", HVR_CAP_5M},     {"n4M", HVR_CAP_4M},     {"n8M", HVR_CAP_8M},   {"n3M", HVR_CAP_3M},
    {"n1080P", HVR_CAP_1080P}, {"n960P", HVR_CAP_960P}, {"n720P", HVR_CAP_720P}, {"n960H", HVR_CAP_960H},
    {"nD1", HVR_CAP_D1},     {"nCIF", HVR_CAP_CIF},
};
constexpr const char* kPlayBackKey = "MaxPlayBackWayChn";

// Each listed record must equal a built-in record not matched before; a matched one is cleared.
bool MatchAll(const HVR_CAP_TABLE_S& list, HVR_CAP_TABLE_S builtin) {
    static const HVR_CAP_S kZero{};
    for (int32_t i = 0; i < list.s32Num; ++i) {
        bool found = false;
        for (int32_t j = 0; j < builtin.s32Num && !found; ++j) {
            if (std::memcmp(&builtin.astCap[j], &kZero, sizeof(HVR_CAP_S)) == 0) continue;
            if (std::memcmp(&builtin.astCap[j], &list.astCap[i], sizeof(HVR_CAP_S)) == 0) {
                std::memset(&builtin.astCap[j], 0, sizeof(HVR_CAP_S));
                found = true;
            }
        }
        if (!found) return false;
    }
    return true;
}

// Reads the custom file into `pTable`; false when it cannot be opened.
bool ReadCustomFile(HVR_CAP_TABLE_S* pTable) {
    std::memset(pTable, 0, sizeof(*pTable));
    std::string path = varnelle::host::ChipPath(HVR_CAP_CUSTOM_FILE);
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    char line[256] = {};
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        if (line[0] == '#') continue;
        const char* chn = std::strstr(line, "Chn:");
        if (chn == nullptr) continue;
        unsigned long value = std::strtoul(chn + 4, nullptr, 10);
        // A table has room for 32 records; what follows them is not read.
        if (pTable->s32Num >= HVR_CAP_TABLE_MAX) {
            APP_ERR(kSrc, "HvrTotalMode holds more than %d records, the rest is ignored\n", HVR_CAP_TABLE_MAX);
            break;
        }
        HVR_CAP_S& rec = pTable->astCap[pTable->s32Num];
        bool matched = false;
        for (int analog = 0; analog < 2 && !matched; ++analog) {
            for (const Key& k : kKeys) {
                std::string key = std::string(analog ? "Analog-" : "Digital-") + k.name;
                if (std::strstr(line, key.c_str()) != nullptr) {
                    int16_t* counts = analog ? rec.as16Analog : rec.as16Digital;
                    counts[k.slot] = static_cast<int16_t>(value);
                    matched = true;
                    break;
                }
            }
        }
        if (!matched && std::strstr(line, kPlayBackKey) != nullptr) {
            rec.u32MaxPlayBackWay = static_cast<uint32_t>(value);
            ++pTable->s32Num;
        }
    }
    std::fclose(f);
    return true;
}

struct CustomState {
    std::mutex mutex;  // guards both
    bool bLoaded = false;
    HVR_CAP_TABLE_S stTable{};
};

CustomState& Custom() {
    static auto* s = new CustomState;
    return *s;
}

}  // namespace

int32_t Comm_SetHvrCap(const HVR_CAP_S* pCap) {
    if (pCap == nullptr) return -1;
    SlaveStoreHvrCap(pCap);
    return 0;
}

const HVR_CAP_S* Comm_GetHvrCap() {
    return SlaveHvrCapInPlace();
}

int32_t CommMaxPicSizeOf(const HVR_CAP_S& cap) {
    static const struct {
        int slot;
        int32_t code;
    } kOrder[] = {
        {HVR_CAP_CIF, 3},  {HVR_CAP_D1, 0},   {HVR_CAP_960H, 10}, {HVR_CAP_720P, 11}, {HVR_CAP_1080P, 14},
        {HVR_CAP_960P, 2}, {HVR_CAP_3M, 17},  {HVR_CAP_4M, 16},   {HVR_CAP_5M, 18},   {HVR_CAP_8M, 20},
    };
    for (const auto& o : kOrder) {
        if (cap.as16Analog[o.slot] > 0) return o.code;
    }
    return 0;
}

int32_t Comm_GetMaxPicSize() {
    return CommMaxPicSizeOf(SlaveGetSysCfg().stHvrCap);
}

int32_t CommCapSizeClass(uint32_t d, const HVR_CAP_S& c) {
    auto any = [d](std::initializer_list<uint32_t> products) {
        for (uint32_t p : products) {
            if (p == d) return true;
        }
        return false;
    };
    if (A(c, HVR_CAP_960P) > 0) {
        if (any({651, 654, 660})) return 14;
        if (d == 652) return 16;
        if (d == 653) return 17;
    } else if (A(c, HVR_CAP_1080P) > 0) {
        if (any({651, 656, 658, 659, 660, 661})) return 15;
        if (any({655, 657})) return 12;
    } else if (A(c, HVR_CAP_5M) > 0) {
        if (any({656, 659})) return 18;
        if (d == 657) return A(c, HVR_CAP_5M) == 8 ? 18 : 20;
    } else if (A(c, HVR_CAP_4M) > 0) {
        if (any({651, 656, 657, 660})) return A(c, HVR_CAP_4M) < 16 ? 19 : 21;
    } else if (A(c, HVR_CAP_3M) > 0) {
        if (d == 656) return 22;
        if (d == 657) return 23;
    } else if (A(c, HVR_CAP_8M) > 0) {
        return 24;
    }
    return 25;
}

int32_t Comm_GetMaxCapSize() {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    return CommCapSizeClass(cfg.u32DevType, cfg.stHvrCap);
}

bool CommLargeTest(uint32_t d, const HVR_CAP_S& c) {
    return (A(c, HVR_CAP_5M) == 16 && d == 659) || A(c, HVR_CAP_1080P) == 32 || A(c, HVR_CAP_4M) == 32;
}

bool CommWideTest(uint32_t d, const HVR_CAP_S& c) {
    return (A(c, HVR_CAP_5M) == 16 && d == 659) || A(c, HVR_CAP_4M) == 32 ||
           (A(c, HVR_CAP_1080P) == 32 && c.u32MaxPlayBackWay == 32);
}

bool Comm_WideTest() {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    return CommWideTest(cfg.u32DevType, cfg.stHvrCap);
}

bool Comm_LargeTest() {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    return CommLargeTest(cfg.u32DevType, cfg.stHvrCap);
}

int CommBuiltinHvrCapTable(uint32_t u32DevType, HVR_CAP_TABLE_S* pTable) {
    std::memset(pTable, 0, sizeof(*pTable));
    if (u32DevType == 65534 || u32DevType == 65535) {
        // The board answers query 129 with the channel count it has; this one leaves it at 0.
        uint32_t u32Chn = 0;
        SysQueryHook(129, &u32Chn);
        pTable->astCap[0].as16Analog[HVR_CAP_CIF] = static_cast<int16_t>(u32Chn);
        pTable->astCap[0].u32MaxPlayBackWay = u32Chn;
        pTable->s32Num = 1;
        return 0;
    }
    for (const BuiltinRecord& r : kBuiltin) {
        if (r.devType != u32DevType || pTable->s32Num >= HVR_CAP_TABLE_MAX) continue;
        HVR_CAP_S& rec = pTable->astCap[pTable->s32Num++];
        for (int i = 0; i < r.fieldNum; ++i) {
            const Field& f = r.fields[i];
            (f.analog ? rec.as16Analog : rec.as16Digital)[f.slot] = f.count;
        }
        rec.u32MaxPlayBackWay = r.playBack;
    }
    return 0;
}

int CaptureGetTotalHVRCapDefault(HVR_CAP_TABLE_S* pTable) {
    if (pTable == nullptr) return -1;
    return CommBuiltinHvrCapTable(Comm_GetDevType(), pTable);
}

int CaptureGetTotalHVRCapCustom(HVR_CAP_TABLE_S* pTable) {
    if (pTable == nullptr) return -1;
    CustomState& s = Custom();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.bLoaded) {
        *pTable = s.stTable;
        return 0;
    }
    HVR_CAP_TABLE_S custom;
    if (!ReadCustomFile(&custom)) return -1;
    HVR_CAP_TABLE_S builtin;
    CaptureGetTotalHVRCapDefault(&builtin);
    if (custom.s32Num < 1 || !MatchAll(custom, builtin)) {
        APP_ERR(kSrc, "HvrTotalMode custom error error!!!\n");
        custom = builtin;
    }
    s.stTable = custom;
    s.bLoaded = true;
    *pTable = custom;
    return 0;
}

int CaptureGetTotalHVRCap(HVR_CAP_TABLE_S* pTable) {
    if (pTable == nullptr) return -1;
    struct stat st;
    if (::stat(varnelle::host::ChipPath(HVR_CAP_CUSTOM_FILE).c_str(), &st) != 0) {
        CaptureGetTotalHVRCapDefault(pTable);
    } else if (CaptureGetTotalHVRCapCustom(pTable) != 0) {
        return -1;
    }
    if (pTable->s32Num < 1) std::memset(pTable, 0, sizeof(*pTable));
    return 0;
}

int CaptureCheckHVRCap(const HVR_CAP_TABLE_S* pList) {
    if (pList == nullptr || pList->s32Num < 1 || pList->s32Num > HVR_CAP_TABLE_MAX) return -1;
    HVR_CAP_TABLE_S builtin;
    if (CaptureGetTotalHVRCapDefault(&builtin) != 0) return -1;
    return MatchAll(*pList, builtin) ? 0 : -2;
}

int CaptureSaveTotalHVRCap() {
    HVR_CAP_TABLE_S table;
    CaptureGetTotalHVRCapDefault(&table);
    std::string path = varnelle::host::ChipPath(HVR_CAP_SUMMARY_FILE);
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::printf("open /var/HvrTotalMode failed\n");
        return -1;
    }
    std::printf("open /var/HvrTotalMode success\n");
    for (int32_t i = 0; i < table.s32Num; ++i) {
        const HVR_CAP_S& rec = table.astCap[i];
        for (int analog = 1; analog >= 0; --analog) {
            for (const Key& k : kKeys) {
                int16_t n = (analog ? rec.as16Analog : rec.as16Digital)[k.slot];
                if (n > 0) std::fprintf(f, "%s-%sChn: %d\n", analog ? "Analog" : "Digital", k.name, n);
            }
        }
        std::fprintf(f, "%s: %d\n", kPlayBackKey, static_cast<int>(rec.u32MaxPlayBackWay));
    }
    std::fclose(f);
    return 0;
}

void CaptureResetHVRCapCustom() {
    CustomState& s = Custom();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bLoaded = false;
    s.stTable = HVR_CAP_TABLE_S{};
}
