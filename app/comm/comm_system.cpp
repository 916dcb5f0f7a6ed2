#include "app/comm/comm_system.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "app/comm/app_log.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/sys/mpi_sys_init.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

constexpr const char* kSrc = "../comm/HwSystem.c";
constexpr MK_U32 kModUsers = VB_MAX_MOD_COMM_POOL_ID + 1;
constexpr int32_t kMaxVdecChn = 64;
constexpr useconds_t kExitRetryUs = 1000;
constexpr int kExitTriesPerLine = 100;

struct SystemState {
    std::atomic<VB_POOL> encPool[2] = {VB_INVALID_POOLID, VB_INVALID_POOLID};  // main, sub
    std::atomic<uint32_t> readyBits{0};
    std::atomic<uint32_t> chipNum{2};
};

SystemState& State() {
    static auto* s = new SystemState;
    return *s;
}

void PrintPlace(const char* pszFunc, int line) {
    std::printf("[%s]-%d: ", pszFunc, line);
}

void PrintRefused(const SysVbPlan& plan) {
    static const char* const kNames[] = {"common pool 1", "common pool 2", "common pool 3", "common pool 4",
                                         "common pool 5", "decoder pool 1", "decoder pool 2", "encoder main pool",
                                         "encoder sub pool"};
    for (uint32_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
        if (plan.u32Refused & (1u << i))
            APP_ERR_IN(kSrc, "SampleSysInit", "%s: the block count is out of range, the pool is left out\n",
                       kNames[i]);
    }
}

}  // namespace

int32_t SAMPLE_COMM_SYS_Init(const VB_CONF_S* pstVbConf) {
    MK_MPI_SYS_Exit();
    for (MK_U32 uid = 0; uid < kModUsers; ++uid) MK_MPI_VB_ExitModCommPool(uid);
    for (VB_POOL pool = 0; pool < VB_MAX_POOLS; ++pool) MK_MPI_VB_DestroyPool(pool);
    MK_MPI_VB_Exit();
    if (pstVbConf == nullptr) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("input parameter is null, it is invaild!\n");
        return -1;
    }
    if (MK_MPI_VB_SetConf(pstVbConf) != 0) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("MK_MPI_VB_SetConf failed!\n");
        return -1;
    }
    if (MK_MPI_VB_Init() != 0) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("MK_MPI_VB_Init failed!\n");
        return -1;
    }
    MPP_SYS_CONF_S stSysConf = {16};
    if (MK_MPI_SYS_SetConf(&stSysConf) != 0) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("MK_MPI_SYS_SetConf failed\n");
        return -1;
    }
    if (MK_MPI_SYS_Init() != 0) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("MK_MPI_SYS_Init failed!\n");
        return -1;
    }
    return 0;
}

int32_t SAMPLE_COMM_VDEC_InitModCommVb(const VB_CONF_S* pstModVbConf) {
    MK_MPI_VB_ExitModCommPool(COMM_VDEC_VB_UID);
    MK_S32 s32Ret = MK_MPI_VB_SetModPoolConf(COMM_VDEC_VB_UID, pstModVbConf);
    if (s32Ret != 0) {
        std::printf("%s failed at %s: LINE: %d ! errno:0x%x \n", "MK_MPI_VB_SetModPoolConf", __FUNCTION__, __LINE__,
                    static_cast<unsigned>(s32Ret));
        return -1;
    }
    s32Ret = MK_MPI_VB_InitModCommPool(COMM_VDEC_VB_UID);
    if (s32Ret != 0) {
        std::printf("%s failed at %s: LINE: %d ! errno:0x%x \n", "MK_MPI_VB_InitModCommPool", __FUNCTION__, __LINE__,
                    static_cast<unsigned>(s32Ret));
        return -1;
    }
    return 0;
}

int32_t SampleSysInit() {
    std::printf("SampleSysInit enter\n");
    // No block may outlive the pools destroyed below: their holders let them go first.
    CommReleaseHeldBlocks();
    // Nor may a record keep naming a channel or descriptor that the system's exit destroys.
    CommForgetMediaUsers();
    SysVbPlan plan;
    CommPlanSysVb(SlaveGetSysCfg(), &plan);
    PrintRefused(plan);
    // Handles of the pools about to be destroyed would name whatever pool takes their ids next.
    State().encPool[0] = VB_INVALID_POOLID;
    State().encPool[1] = VB_INVALID_POOLID;
    int32_t s32Ret = SAMPLE_COMM_SYS_Init(&plan.stCommon);
    if (s32Ret != 0) {
        PrintPlace(__FUNCTION__, __LINE__);
        std::printf("init sys fail for %#x!\n", static_cast<unsigned>(s32Ret));
    }
    if (plan.stEncMain.u32BlkCnt >= 1 && plan.stEncSub.u32BlkCnt >= 1) {
        VB_POOL main = MK_MPI_VB_CreatePool(plan.stEncMain.u32BlkSize, plan.stEncMain.u32BlkCnt, "");
        if (main == VB_INVALID_POOLID) std::printf("111 MK_MPI_VB_CreatePool err\n");
        State().encPool[0] = main;
        VB_POOL sub = MK_MPI_VB_CreatePool(plan.stEncSub.u32BlkSize, plan.stEncSub.u32BlkCnt, "");
        if (sub == VB_INVALID_POOLID) std::printf("222 MK_MPI_VB_CreatePool err\n");
        State().encPool[1] = sub;
    }
    if (plan.bInitDecPools) SAMPLE_COMM_VDEC_InitModCommVb(&plan.stDec);
    // The stream senders run on: their local buffers come from the pools just made.
    CommTakeHeldBlocks();
    return 0;
}

int32_t Comm_Vdec_Manage_Vb(int32_t s32Op, int32_t s32Count) {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    if (cfg.u32DigitalNum != 0 || !CommLargeTest(cfg.u32DevType, cfg.stHvrCap)) return 0;
    if (s32Op == 1) {
        uint32_t u32BlkSize = CommVdecBlkSize(CommHookSplitGetVstd(), CommMaxPicSizeOf(cfg.stHvrCap));
        VB_CONF_S conf;
        CommPlanVdecVb(cfg, s32Count, u32BlkSize, &conf);
        MK_S32 s32Ret = MK_MPI_VB_ExitModCommPool(COMM_VDEC_VB_UID);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VB_ExitModCommPool failed %#X", static_cast<unsigned>(s32Ret));
            return -1;
        }
        s32Ret = MK_MPI_VB_SetModPoolConf(COMM_VDEC_VB_UID, &conf);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VB_SetModPoolConf failed %#X", static_cast<unsigned>(s32Ret));
            return -1;
        }
        s32Ret = MK_MPI_VB_InitModCommPool(COMM_VDEC_VB_UID);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VB_InitModCommPool failed %#X", static_cast<unsigned>(s32Ret));
            return -1;
        }
        return 0;
    }
    if (s32Op == 0) {
        int32_t as32Chn[kMaxVdecChn];
        int32_t s32Num = CommHookVdecCreatedChns(as32Chn, kMaxVdecChn);
        if (s32Num > kMaxVdecChn) s32Num = kMaxVdecChn;
        for (int32_t i = 0; i < s32Num; ++i) {
            MK_S32 s32Ret = MK_MPI_VDEC_StopRecvStream(as32Chn[i]);
            if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VDEC_StopRecvStream failed :%#X", static_cast<unsigned>(s32Ret));
            s32Ret = MK_MPI_VDEC_ResetChn(as32Chn[i]);
            if (s32Ret != 0)
                APP_ERR(kSrc, "reset vdec chn :%d failed errno 0x%x ", as32Chn[i], static_cast<unsigned>(s32Ret));
        }
        // Decoders hand their last pictures back on their own time; the pools go once they have.
        for (int tries = 1;; ++tries) {
            MK_S32 s32Ret = MK_MPI_VB_ExitModCommPool(COMM_VDEC_VB_UID);
            if (s32Ret == 0) break;
            if (tries % kExitTriesPerLine == 0)
                APP_ERR(kSrc, "MK_MPI_VB_ExitModCommPool failed %#X", static_cast<unsigned>(s32Ret));
            usleep(kExitRetryUs);
        }
    }
    return 0;
}

bool Comm_PicFitsPools(const SIZE_S& stSize, uint32_t* pu32Need, uint32_t* pu32Largest) {
    const uint64_t stride = (static_cast<uint64_t>(stSize.u32Width) + 15) & ~uint64_t{15};
    const uint64_t need = stride * stSize.u32Height + stride * ((stSize.u32Height + 1) / 2);
    *pu32Need = static_cast<uint32_t>(std::min<uint64_t>(need, UINT32_MAX));
    *pu32Largest = 0;
    VB_CONF_S stConf;
    if (MK_MPI_VB_GetConf(&stConf) != 0) return true;
    for (const auto& pool : stConf.astCommPool) {
        if (pool.u32BlkCnt != 0 && pool.acMmzName[0] == '\0') *pu32Largest = std::max(*pu32Largest, pool.u32BlkSize);
    }
    return need <= *pu32Largest;
}

VB_POOL Comm_GetVencVbPool(int32_t s32VencChn) {
    return State().encPool[s32VencChn & 1].load();
}

uint32_t Comm_GetSysTypeHost() {
    return Comm_GetSysType();
}

uint32_t Comm_GetSysFlag() {
    return 0;
}

void Comm_SetReadyBits(uint32_t u32Bits, uint32_t u32ChipNum) {
    State().readyBits = u32Bits;
    State().chipNum = u32ChipNum;
}

int32_t Comm_WaitReadyBits() {
    constexpr int kPolls = 500, kPollsPerSecond = 100;
    constexpr useconds_t kPollUs = 10000;
    uint32_t u32Chips = State().chipNum.load();
    for (uint32_t i = 0; i < u32Chips; ++i) {
        uint32_t bit = i >= 32 ? 1u : 1u << i;
        for (int poll = 0; poll <= kPolls && (State().readyBits.load() & bit) == 0; ++poll) {
            if (poll % kPollsPerSecond == 0) std::printf("#\t%d\t#\n", poll / kPollsPerSecond);
            if (poll < kPolls) usleep(kPollUs);
        }
    }
    return 0;
}
