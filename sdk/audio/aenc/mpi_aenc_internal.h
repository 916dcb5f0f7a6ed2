// State shared by the source files of the audio encoder; not part of its interface.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "sdk/audio/aenc/aenc_ring.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/common/mk_dev.h"

extern FILE* pfdAencIn[AENC_MAX_CHN_NUM];
extern FILE* pfdAencOut[AENC_MAX_CHN_NUM];
extern FILE* pfdAencRef[AENC_MAX_CHN_NUM];

namespace mk::aenc {

constexpr const char* kSource = "sdk/code/shelf/audio/audio/mpi/src/mpi_aenc";
constexpr const char* kValgSource = "sdk/code/mkp/include/valg_ext";
constexpr MK_U32 kCirBufLen = 32768;  // two sample rings
constexpr MK_U32 kWorkBufLen = 16384;
constexpr MK_U32 kMaxFrameBytes = 4096;

struct AencChn {
    std::mutex life;   // serialises creation and destruction, held across the worker's join
    std::mutex mutex;  // guards every field below but the run flag
    // The stream buffer: one zone block, the ring header first.
    bool bBufReady = false;
    MK_U32 u32BufPhys = 0;
    MK_U8* pu8BufVir = nullptr;
    MK_U32 u32BlkLen = 0;
    MK_U8* pu8Head = nullptr;
    MK_U32 u32HeadLen = 0;
    MK_U32 u32CbPackLen = 0;
    MK_U32 u32DataLen = 0;
    std::atomic<bool> bRun{false};
    std::thread worker;
    MK_S32 s32Handle = -1;
    bool bKernelEncode = false;
    bool bCreated = false;
    MK_VOID* pEncoder = nullptr;
    MK_U32 u32Seq = 0;
    struct {
        MK_U32 u32PhyAddr;
        MK_U32 u32Len;
        MK_U8* pu8VirtAddr;
    } stReadBuf{};
    AENC_DBG_INFO_S stDbg{};
    MK_S32 s32ChnId = -1;
    MK_VOID* hVqe = nullptr;
    MK_U32 bVqeEnable = 0;
    MK_U32 bResmpEnable = 0;
    MK_U32 u32PtNumPerFrm = 0;
    MK_U32 u32CirPhys = 0;
    MK_U8* pu8CirVir = nullptr;
    SampleRing ring[2];
    MK_U8* pu8Work[2] = {nullptr, nullptr};
    // Dump files: bytes written per kind (input, output, reference) and whether they are open.
    MK_U64 au64DumpBytes[3] = {};
    bool bDumpOpen = false;

    MK_U32 Word(MK_U32 at) const {
        MK_U32 v;
        std::memcpy(&v, pu8Head + at, sizeof(v));
        return v;
    }
    void SetWord(MK_U32 at, MK_U32 v) { std::memcpy(pu8Head + at, &v, sizeof(v)); }
};

struct Module {
    bool bInit = false;
    std::mutex initMutex;  // serialises init and exit
    AencChn chn[AENC_MAX_CHN_NUM];
    DevSlot fd[AENC_MAX_CHN_NUM];
    std::atomic<MK_U64> au64Flush[3] = {};
};

Module& Aenc();

// One request on the channel's descriptor; the driver's answer.
MK_S32 Request(MK_S32 chn, unsigned long request, MK_VOID* arg = nullptr);
// The wrapper's lazy open and bind: 0 or the not-ready code (after its message, naming `func`).
MK_S32 OpenChn(const char* func, int line, MK_S32 chn);

#define AENC_CHECK_CHN(chn)                                                                 \
    do {                                                                                    \
        if (static_cast<MK_U32>(chn) >= AENC_MAX_CHN_NUM) return MK_ERR_AENC_INVALID_CHNID; \
    } while (0)
#define AENC_OPEN(chn)                                                       \
    do {                                                                     \
        const MK_S32 open_ret_ = mk::aenc::OpenChn(__func__, __LINE__, chn); \
        if (open_ret_ != MK_SUCCESS) return open_ret_;                       \
    } while (0)

// The registry slot's encoder, or null when the slot is free (the registry's lock is taken).
bool EncoderOf(MK_S32 handle, AENC_ENCODER_S* out);

// Sends the channel's statistics to the driver (channel mutex held).
void SendDbgLocked(MK_S32 chn);

// Closes the channel's dump files and clears their counters and the shared flush counters.
void CloseDumpLocked(MK_S32 chn);

}  // namespace mk::aenc
