#include "app/comm/comm_cfg.h"

#include <cstring>
#include <mutex>

#include "app/comm/comm_map.h"

namespace {

struct CfgState {
    std::mutex mutex;  // guards stSys; readers copy it whole
    SlaveSysCfg stSys;
};

CfgState& State() {
    static auto* s = new CfgState;
    return *s;
}

}  // namespace

SlaveSysCfg SlaveGetSysCfg() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().stSys;
}

void SlaveStoreSysParam(const SLAVE_SYS_PARAM_S* pParam) {
    SlaveSysCfg c;
    c.u32SysType = pParam->u32SysType;
    c.u32DevType = pParam->u32DevType;
    c.u32ChnEnd = pParam->u32ChnEnd;
    c.u32ChnSetting = pParam->u32ChnSetting;
    c.u32ChnStart = pParam->u32ChnStart;
    c.u32DecNum = pParam->u32DecNum;
    c.u32SplitOffset = pParam->u32SplitOffset;
    c.u32FirstDecChn = pParam->u32FirstDecChn;
    c.u32DigitalNum = pParam->u32DigitalNum;
    c.u32PlayDecNum = pParam->u32PlayDecNum;
    c.u32DigitalPlaySum = pParam->u32DigitalNum + pParam->u32PlayDecNum;
    c.u32PicSize = pParam->u32PicSize;
    c.u32BoardSubType = pParam->u32BoardSubType;
    c.u32EncPoolFlag = pParam->u32EncPoolFlag;
    c.u32ChnNum = c.u32ChnEnd - c.u32ChnStart;
    c.u32DoubleStart = 2 * c.u32ChnStart;
    c.u32DoubleEnd = 2 * c.u32ChnEnd;
    c.u32DoubleNum = 2 * c.u32ChnNum;
    c.u32DoubleStartEx = 2 * c.u32ChnStart + SLAVE_STREAM_EXTRA;
    c.stSlaveCfg = pParam->stSlaveCfg;
    c.stHvrCap = pParam->stHvrCap;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        State().stSys = c;
    }
    CommMapSetDevType(c.u32DevType);
}

void SlaveStoreHvrCap(const HVR_CAP_S* pCap) {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::memcpy(&State().stSys.stHvrCap, pCap, sizeof(HVR_CAP_S));
}

const HVR_CAP_S* SlaveHvrCapInPlace() {
    return &State().stSys.stHvrCap;
}

void SlaveResetSysCfg() {
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        State().stSys = SlaveSysCfg{};
    }
    CommMapSetDevType(0);
}

int32_t CommChipChnNumOf(const SlaveSysCfg& cfg) {
    int64_t n = static_cast<int64_t>(cfg.u32ChnEnd) - static_cast<int64_t>(cfg.u32ChnStart);
    if (n < 0) return 0;
    return n > COMM_MAX_CHIP_CHN ? COMM_MAX_CHIP_CHN : static_cast<int32_t>(n);
}

int32_t Comm_GetChipChnNum() {
    return CommChipChnNumOf(SlaveGetSysCfg());
}

uint32_t Comm_GetSysType() {
    return SlaveGetSysCfg().u32SysType;
}
uint32_t Comm_GetDevType() {
    return SlaveGetSysCfg().u32DevType;
}
uint32_t Comm_GetBoardSubType() {
    return SlaveGetSysCfg().u32BoardSubType;
}
SLAVE_CFG_S* Comm_GetSlaveCfg() {
    return &State().stSys.stSlaveCfg;
}

int Comm_SetSlaveCfg(const SLAVE_CFG_S* pCfg) {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::memcpy(&State().stSys.stSlaveCfg, pCfg, sizeof(SLAVE_CFG_S));
    return 0;
}
