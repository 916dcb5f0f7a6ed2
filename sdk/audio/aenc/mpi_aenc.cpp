// Audio encoder: the encoder registry, channels with their stream buffers and workers, and packets.
#include "sdk/audio/aenc/mpi_aenc.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/dev/dev.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/adp/audio_voice_adp.h"
#include "sdk/audio/aenc/mpi_aenc_internal.h"
#include "sdk/audio/mem/audio_mem.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

namespace dev = varnelle::dev;
using mk::audio::Fault;
using mk::audio::FaultFires;
using namespace mk::aenc;

FILE* pfdAencIn[AENC_MAX_CHN_NUM];
FILE* pfdAencOut[AENC_MAX_CHN_NUM];
FILE* pfdAencRef[AENC_MAX_CHN_NUM];

namespace {

constexpr MK_U32 kFreeType = static_cast<MK_U32>(-1);

struct Registry {
    std::mutex mutex;  // guards the rest
    MK_U32 u32Count = 0;
    AENC_ENCODER_S astEncoder[AENC_MAX_ENCODER_NUM];

    Registry() { ClearLocked(); }
    void ClearLocked() {
        u32Count = 0;
        for (AENC_ENCODER_S& e : astEncoder) {
            e = AENC_ENCODER_S{};
            e.enType = kFreeType;
        }
    }
};

Registry& Reg() {
    static auto* r = new Registry;  // never destroyed
    return *r;
}

bool IsFramePoints(MK_U32 n) {
    return n == 80 || n == 160 || n == 240 || n == 320 || n == 480;
}
bool IsImaPoints(MK_U32 n) {
    return n == 81 || n == 161 || n == 241 || n == 321 || n == 481;
}

MK_S32 CheckAttr(const AENC_CHN_ATTR_S& a) {
    if (a.pValue == nullptr) return MK_ERR_AENC_NULL_PTR;
    if (a.enType >= AENC_MAX_PAYLOAD_TYPE) {
        MK_TRACE("invalid payload type\n");
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    if (a.u32BufSize < 2 || a.u32BufSize > 300) {
        MK_TRACE("invalid u32BufSize(%d)\n", a.u32BufSize);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    const MK_U32 n = a.u32PtNumPerFrm;
    bool ok = true;
    switch (a.enType) {
        case PT_LPCM:
            ok = n <= 2048;
            break;
        case PT_G711A:
        case PT_G711U:
        case PT_G726:
            ok = IsFramePoints(n);
            break;
        case PT_ADPCMA:
            ok = *static_cast<const MK_U32*>(a.pValue) == ADPCM_TYPE_IMA ? IsImaPoints(n) : IsFramePoints(n);
            break;
        case 37:
        case 42:
            ok = n == 512 || n == 1024 || n == 2048;
            break;
        case 1001:
            ok = n == 160;
            break;
        case 1003:
            ok = n == 320;
            break;
        case 43:
            ok = n == 1152;
            break;
        default:
            break;
    }
    if (!ok) {
        MK_TRACE("invalid u32PtNumPerFrm(%d)\n", n);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

// Gives back what a channel holds: the stages a failed creation reached, or all of them.
enum Stage { kNone, kEncoder, kStreamBuf, kKernelBuf, kReadBuf, kCirBuf, kDriverChn, kWorkBuf };

void UnwindLocked(AencChn& c, MK_S32 chn, Stage reached, const AENC_ENCODER_S* e) {
    if (reached >= kWorkBuf) {
        for (MK_U8*& w : c.pu8Work) {
            std::free(w);
            w = nullptr;
        }
    }
    if (reached >= kDriverChn) Request(chn, MK_AENC_IOC_DESTROY_CHN);
    if (reached >= kCirBuf) {
        MPI_AUDIO_MmzFree(c.u32CirPhys, c.pu8CirVir);
        c.pu8CirVir = nullptr;
        c.u32CirPhys = 0;
    }
    if (reached >= kReadBuf) c.stReadBuf = {};
    if (reached >= kKernelBuf) Request(chn, MK_AENC_IOC_RELEASE_STREAM_BUF);
    if (reached >= kStreamBuf) {
        MPI_AUDIO_MmzFree(c.u32BufPhys, c.pu8BufVir);
        c.bBufReady = false;
        c.pu8BufVir = c.pu8Head = nullptr;
    }
    if (reached >= kEncoder && e != nullptr) {
        e->pfnCloseEncoder(c.pEncoder);
        c.pEncoder = nullptr;
    }
}

// The ring header over the buffer; 0 or the reason it cannot be laid out.
MK_S32 ValgCbInit(AencChn& c) {
    if (c.u32CbPackLen > c.u32DataLen) {
        std::printf("\nError! Length of buffer must be multiples of word (32-bit)!");
        return MK_FAILURE;
    }
    if (c.u32CbPackLen == 0) {
        std::printf("\nError! Lenght reserved in buffer must be multiples of word (32-bit)!");
        return MK_FAILURE;
    }
    std::memset(c.pu8Head, 0, c.u32HeadLen);
    c.SetWord(AENC_RING_DATA_PHYS, c.u32BufPhys + c.u32HeadLen);
    c.SetWord(AENC_RING_RDHEAD_AT, AENC_RING_RDHEAD);
    c.SetWord(AENC_RING_RDTAIL_AT, AENC_RING_RDTAIL);
    c.SetWord(AENC_RING_WRHEAD_AT, AENC_RING_WRHEAD);
    c.SetWord(AENC_RING_WRTAIL_AT, AENC_RING_WRTAIL);
    c.SetWord(AENC_RING_DATA_AT, c.u32HeadLen);
    c.SetWord(AENC_RING_DATA_LEN, c.u32DataLen);
    c.SetWord(AENC_RING_SLOT_LEN, c.u32CbPackLen);
    return MK_SUCCESS;
}

MK_S32 StrmBufInit(AencChn& c, MK_S32 chn, MK_U32 maxFrmLen, MK_U32 bufSize) {
    c.u32CbPackLen = (maxFrmLen + 79) / 64 * 64;
    c.u32DataLen = bufSize * c.u32CbPackLen;
    c.u32HeadLen = AENC_RING_HEAD_LEN;
    c.u32BlkLen = c.u32HeadLen + c.u32DataLen;
    char name[32];
    std::snprintf(name, sizeof(name), "AENC(%d)StrmBuf", chn);
    MK_VOID* vir = nullptr;
    if (MPI_AUDIO_MmzAlloc(name, &c.u32BufPhys, &vir, c.u32BlkLen) != MK_SUCCESS) {
        MK_TRACE("alloc mmb fail, len:%d\n", c.u32BlkLen);
        return MK_FAILURE;
    }
    c.pu8BufVir = static_cast<MK_U8*>(vir);
    c.pu8Head = c.pu8BufVir;
    if (ValgCbInit(c) != MK_SUCCESS) {
        MPI_AUDIO_MmzFree(c.u32BufPhys, vir);
        c.pu8BufVir = c.pu8Head = nullptr;
        MK_TRACE("VALG_CB_Init fail\n");
        return MK_FAILURE;
    }
    return MK_SUCCESS;
}

MK_S32 PollSleep() {
    return usleep(g_s32HRTimer == 1 ? 10000 : 1000);
}

// The worker: frames of the bound input, through the encoder, back to the driver.
void ChnGetFrmProc(AencChn* c) {
    MK_ASSERT_IN(kSource, c != NULL);
    prctl(PR_SET_NAME, "aenc_get");
    const MK_S32 chn = c->s32ChnId;
    while (c->bRun.load()) {
        AUDIO_FRAME_RECORD_S rec{};
        if (Request(chn, MK_AENC_IOC_GET_FRAME, &rec) != MK_SUCCESS) {
            PollSleep();
            continue;
        }
        AUDIO_FRAME_S& f = rec.stFrame;
        const MK_U32 tracks = f.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
        MK_S32 ret = MK_SUCCESS;
        for (MK_U32 t = 0; t < tracks && ret == MK_SUCCESS; ++t) {
            ret = MK_MPI_VB_GetBlkVirAddrEx(f.u32PoolId[t], f.u32PhyAddr[t], &f.pVirAddr[t]);
        }
        AUDIO_FRAME_S& rf = rec.stAecFrm.stRefFrame;
        if (ret == MK_SUCCESS && rec.stAecFrm.bValid == MK_TRUE) {
            ret = MK_MPI_VB_GetBlkVirAddrEx(rf.u32PoolId[0], rf.u32PhyAddr[0], &rf.pVirAddr[0]);
        }
        if (ret != MK_SUCCESS) {
            if (Request(chn, MK_AENC_IOC_RELEASE_FRAME, &rec) != MK_SUCCESS) {
                std::printf("aenc chn:%d AENC_RELEASE_FRAME failed!\n", chn);
            }
            PollSleep();
            continue;
        }
        MK_MPI_AENC_SendFrame(chn, &rec.stFrame, rec.stAecFrm.bValid == MK_TRUE ? &rec.stAecFrm : nullptr);
        // The frame is the driver's: a refusal is reported, and the worker goes on.
        if (Request(chn, MK_AENC_IOC_RELEASE_FRAME, &rec) != MK_SUCCESS) {
            std::printf("aenc chn:%d AENC_RELEASE_FRAME failed!\n", chn);
        }
    }
    c->bRun.store(false);
}

MK_S32 CreateChnLocked(AencChn& c, MK_S32 chn, const AENC_CHN_ATTR_S& attr) {
    if (c.bCreated) {
        MK_TRACE("aenc chn:%d is exist!\n", chn);
        return MK_ERR_AENC_EXIST;
    }
    MK_S32 ret = CheckAttr(attr);
    if (ret != MK_SUCCESS) {
        MK_TRACE("aenc chn:%d attr is illegal!\n", chn);
        return ret;
    }
    c.bBufReady = false;
    c.pEncoder = nullptr;
    c.u32Seq = 0;
    c.stReadBuf = {};
    c.stDbg = AENC_DBG_INFO_S{};
    c.stDbg.u32G726Bps = 8;
    c.stDbg.u32AdpcmType = 3;
    c.hVqe = nullptr;
    c.bVqeEnable = c.bResmpEnable = 0;
    c.s32Handle = -1;
    c.bKernelEncode = false;
    MK_S32 handle = -1;
    {
        std::lock_guard<std::mutex> lock(Reg().mutex);
        for (MK_S32 i = 0; i < AENC_MAX_ENCODER_NUM && handle < 0; ++i) {
            if (Reg().astEncoder[i].enType == attr.enType) handle = i;
        }
    }
    if (handle < 0) {
        MK_TRACE("aenc chn:%d the payload type%d not registered\n", chn, attr.enType);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    c.s32Handle = handle;
    AENC_KERNEL_QUERY_S q{};
    q.enType = attr.enType;
    q.u32BufSize = attr.u32BufSize;
    q.pValue = attr.pValue;
    if (Request(chn, MK_AENC_IOC_QUERY_KERNEL, &q) != MK_SUCCESS) {
        MK_TRACE("aenc chn:%d the payload type%d invalid\n", chn, attr.enType);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    c.bKernelEncode = q.bKernelEncode != 0;
    AENC_ENCODER_S e{};
    if (!EncoderOf(handle, &e)) {
        MK_TRACE("The encoder has been unregistered!\n");
        return MK_ERR_AENC_ENCODER_ERR;
    }
    ret = e.pfnOpenEncoder(attr.pValue, &c.pEncoder);
    if (ret != MK_SUCCESS) {
        MK_TRACE("aenc chn:%d open encoder failed!\n", chn);
        return ret;
    }
    if (StrmBufInit(c, chn, e.u32MaxFrmLen, attr.u32BufSize) != MK_SUCCESS) {
        UnwindLocked(c, chn, kEncoder, &e);
        MK_TRACE("aenc chn:%d stream buffer init failed!\n", chn);
        return MK_ERR_AENC_NOMEM;
    }
    c.bBufReady = true;
    AENC_STREAM_BUF_S kb{c.u32BufPhys, c.u32CbPackLen, c.u32DataLen, c.u32HeadLen};
    ret = Request(chn, MK_AENC_IOC_SET_STREAM_BUF, &kb);
    if (ret != MK_SUCCESS) {
        UnwindLocked(c, chn, kStreamBuf, &e);
        MK_TRACE("aenc chn:%d read buffer init in kernel mode failed!\n", chn);
        return ret;
    }
    if (c.stReadBuf.pu8VirtAddr != nullptr) {
        UnwindLocked(c, chn, kKernelBuf, &e);
        MK_TRACE("aenc chn:%d read buffer init in user mode failed!\n", chn);
        return MK_FAILURE;
    }
    c.stReadBuf = {c.u32BufPhys + c.u32HeadLen, c.u32DataLen, c.pu8BufVir + c.u32HeadLen};
    char name[32];
    std::snprintf(name, sizeof(name), "AENC(%d) CirBuf", chn);
    MK_VOID* cir = nullptr;
    if (MPI_AUDIO_MmzAlloc(name, &c.u32CirPhys, &cir, kCirBufLen) != MK_SUCCESS) {
        UnwindLocked(c, chn, kReadBuf, &e);
        MK_TRACE("aenc chn:%d alloc mmb fail, len:%d\n", chn, kCirBufLen);
        return MK_ERR_AENC_NOMEM;
    }
    c.pu8CirVir = static_cast<MK_U8*>(cir);
    for (int i = 0; i < 2; ++i)
        c.ring[i] = SampleRing{c.pu8CirVir + i * (kCirBufLen / 2), kCirBufLen / 2, 0, 0, false};
    AENC_CHN_ATTR_S kernelAttr = attr;
    ret = Request(chn, MK_AENC_IOC_CREATE_CHN, &kernelAttr);
    if (ret != MK_SUCCESS) {
        UnwindLocked(c, chn, kCirBuf, &e);
        MK_TRACE("aenc chn:%d, create chn failed!\n", chn);
        return ret;
    }
    for (MK_U8*& w : c.pu8Work) {
        w = FaultFires(Fault::kAencWorkBuf) ? nullptr : static_cast<MK_U8*>(std::malloc(kWorkBufLen));
    }
    if (c.pu8Work[0] == nullptr || c.pu8Work[1] == nullptr) {
        // The driver's channel goes too: nothing of the failed creation stays behind.
        UnwindLocked(c, chn, kWorkBuf, &e);
        MK_TRACE("malloc err when create aenc chn!\n");
        return MK_ERR_AENC_NOMEM;
    }
    c.bCreated = true;
    c.u32PtNumPerFrm = attr.u32PtNumPerFrm;
    return MK_SUCCESS;
}

MK_S32 DestroyChnLocked(AencChn& c, MK_S32 chn, std::unique_lock<std::mutex>& lock) {
    // The worker ends first, so that it never meets a channel half gone.
    if (c.bRun.exchange(false)) {
        lock.unlock();
        c.worker.join();
        lock.lock();
    } else if (c.worker.joinable()) {
        c.worker.join();
    }
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    AENC_ENCODER_S e{};
    const bool registered = EncoderOf(c.s32Handle, &e);
    c.bCreated = false;
    UnwindLocked(c, chn, kWorkBuf, registered ? &e : nullptr);
    CloseDumpLocked(chn);
    if (!registered) {
        MK_TRACE("The encoder has been unregistered!\n");
        return MK_ERR_AENC_ENCODER_ERR;
    }
    return MK_SUCCESS;
}

}  // namespace

namespace mk::aenc {

MK_S32 Request(MK_S32 chn, unsigned long request, MK_VOID* arg) {
    return dev::Ioctl(Aenc().fd[chn].fd(), request, arg);
}

MK_S32 OpenChn(const char* func, int line, MK_S32 chn) {
    DevSlot::Result r =
        Aenc().fd[chn].Ensure("/dev/aenc", O_RDWR, MK_AENC_IOC_BIND, static_cast<MK_U32>(chn));
    if (r == DevSlot::kReady) return MK_SUCCESS;
    if (r == DevSlot::kOpenFailed) {
        std::printf("open aenc dev fail\n");
    } else {
        std::printf("[Func]:%s [Line]:%d [Info]:%s\n", func, line, "failed");
    }
    return MK_ERR_AENC_SYS_NOTREADY;
}

Module& Aenc() {
    static auto* m = new Module;  // never destroyed: workers may run during exit
    return *m;
}

bool EncoderOf(MK_S32 handle, AENC_ENCODER_S* out) {
    if (static_cast<MK_U32>(handle) >= AENC_MAX_ENCODER_NUM) return false;
    std::lock_guard<std::mutex> lock(Reg().mutex);
    *out = Reg().astEncoder[handle];
    return out->enType != kFreeType;
}

void SendDbgLocked(MK_S32 chn) {
    AENC_DBG_INFO_S dbg = Aenc().chn[chn].stDbg;
    Request(chn, MK_AENC_IOC_DBG_INFO, &dbg);
}

void CloseDumpLocked(MK_S32 chn) {
    AencChn& c = Aenc().chn[chn];
    for (FILE** f : {&pfdAencIn[chn], &pfdAencOut[chn], &pfdAencRef[chn]}) {
        if (*f != nullptr) std::fclose(*f);
        *f = nullptr;
    }
    for (MK_U64& n : c.au64DumpBytes) n = 0;
    c.bDumpOpen = false;
    for (auto& n : Aenc().au64Flush) n = 0;
}

}  // namespace mk::aenc

MK_S32 MPI_AENC_Init(MK_VOID) {
    Module& m = Aenc();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (m.bInit) return MK_SUCCESS;
    if (FaultFires(Fault::kAencMutex)) return MK_ERR_AENC_NOMEM;
    {
        std::lock_guard<std::mutex> lock(Reg().mutex);
        Reg().ClearLocked();
    }
    AUDIO_RegisterEncoders();
    for (AencChn& c : m.chn) {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.stDbg = AENC_DBG_INFO_S{};
        c.stDbg.u32G726Bps = 8;
        c.stDbg.u32AdpcmType = 3;
    }
    m.bInit = true;
    return MK_SUCCESS;
}

MK_S32 MPI_AENC_Exit(MK_VOID) {
    Module& m = Aenc();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (!m.bInit) return MK_SUCCESS;
    for (MK_S32 chn = 0; chn < AENC_MAX_CHN_NUM; ++chn) MK_MPI_AENC_DestroyChn(chn);
    {
        std::lock_guard<std::mutex> lock(Reg().mutex);
        Reg().ClearLocked();
    }
    m.bInit = false;
    return MK_SUCCESS;
}

MK_S32 MPI_AENC_RegisterEncoder(MK_S32* ps32Handle, const AENC_ENCODER_S* pstEncoder) {
    if (ps32Handle == nullptr || pstEncoder == nullptr || pstEncoder->pfnOpenEncoder == nullptr ||
        pstEncoder->pfnEncodeFrm == nullptr || pstEncoder->pfnCloseEncoder == nullptr) {
        return MK_ERR_AENC_NULL_PTR;
    }
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.u32Count >= AENC_MAX_ENCODER_NUM) return MK_ERR_AENC_BUF_FULL;
    for (const AENC_ENCODER_S& e : r.astEncoder) {
        if (e.enType == pstEncoder->enType) return MK_ERR_AENC_BUF_FULL;
    }
    for (MK_S32 i = 0; i < AENC_MAX_ENCODER_NUM; ++i) {
        if (r.astEncoder[i].enType != kFreeType) continue;
        r.astEncoder[i] = *pstEncoder;
        *ps32Handle = i;
        ++r.u32Count;
        return MK_SUCCESS;
    }
    return MK_ERR_AENC_BUF_FULL;
}

MK_S32 MPI_AENC_UnRegisterEncoder(MK_S32 s32Handle) {
    if (static_cast<MK_U32>(s32Handle) >= AENC_MAX_ENCODER_NUM) return MK_ERR_AENC_ILLEGAL_PARAM;
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.u32Count == 0 || r.astEncoder[s32Handle].enType == kFreeType) return MK_ERR_AENC_BUF_EMPTY;
    r.astEncoder[s32Handle] = AENC_ENCODER_S{};
    r.astEncoder[s32Handle].enType = kFreeType;
    --r.u32Count;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AENC_CreateChn(MK_S32 AeChn, const AENC_CHN_ATTR_S* pstAttr) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstAttr == nullptr) return MK_ERR_AENC_NULL_PTR;
    const AENC_CHN_ATTR_S attr = *pstAttr;
    AencChn& c = Aenc().chn[AeChn];
    std::lock_guard<std::mutex> life(c.life);
    std::unique_lock<std::mutex> lock(c.mutex);
    MK_S32 ret = CreateChnLocked(c, AeChn, attr);
    if (ret != MK_SUCCESS) return ret;
    const MK_U32 word = *static_cast<const MK_U32*>(attr.pValue);
    if (attr.enType == PT_G726) c.stDbg.u32G726Bps = word;
    if (attr.enType == PT_ADPCMA) c.stDbg.u32AdpcmType = word;
    SendDbgLocked(AeChn);
    c.s32ChnId = AeChn;
    c.bRun.store(true);
    bool started = !FaultFires(Fault::kAencThread);
    if (started) {
        try {
            c.worker = std::thread(ChnGetFrmProc, &c);
        } catch (const std::system_error&) {
            started = false;
        }
    }
    if (!started) {
        // A channel without its worker would never encode: it goes again.
        c.bRun.store(false);
        AENC_ENCODER_S e{};
        EncoderOf(c.s32Handle, &e);
        c.bCreated = false;
        UnwindLocked(c, AeChn, kWorkBuf, &e);
        return MK_ERR_AENC_SYS_NOTREADY;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AENC_DestroyChn(MK_S32 AeChn) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    AencChn& c = Aenc().chn[AeChn];
    std::lock_guard<std::mutex> life(c.life);
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_SUCCESS;
    return DestroyChnLocked(c, AeChn, lock);
}

MK_S32 MK_MPI_AENC_GetStream(MK_S32 AeChn, AUDIO_STREAM_S* pstStream, MK_S32 s32MilliSec) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstStream == nullptr) return MK_ERR_AENC_NULL_PTR;
    if (s32MilliSec < -1) {
        MK_TRACE("param s32MilliSec = %d error\n", s32MilliSec);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    *pstStream = AUDIO_STREAM_S{};
    AENC_GET_STREAM_S req{};
    req.s32MilliSec = s32MilliSec;
    MK_S32 ret = Request(AeChn, MK_AENC_IOC_GET_STREAM, &req);
    if (ret != MK_SUCCESS) return ret;
    AencChn& c = Aenc().chn[AeChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bCreated || !c.bBufReady) return MK_ERR_AENC_UNEXIST;
    MK_ASSERT_IN(kSource, c.stReadBuf.pu8VirtAddr != NULL);
    // The address comes from the driver: it must name the data behind a slot's header, inside the area.
    const MK_U32 off = req.u32PhyAddr - c.stReadBuf.u32PhyAddr;
    if (req.u32PhyAddr < c.stReadBuf.u32PhyAddr || off >= c.stReadBuf.u32Len ||
        off % c.u32CbPackLen != sizeof(AENC_STREAM_HEADER_S) ||
        req.u32Len > c.u32CbPackLen - sizeof(AENC_STREAM_HEADER_S)) {
        MK_TRACE("aenc chn:%d packet 0x%x len %d is outside the stream buffer\n", AeChn, req.u32PhyAddr,
                 req.u32Len);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    pstStream->u32PhyAddr = req.u32PhyAddr;
    pstStream->u32Len = req.u32Len;
    pstStream->u64TimeStamp = req.u64TimeStamp;
    pstStream->u32Seq = req.u32Seq;
    pstStream->pStream = c.stReadBuf.pu8VirtAddr + off;
    c.SetWord(AENC_RING_RDHEAD, (c.Word(AENC_RING_RDHEAD) + c.u32CbPackLen) % c.u32DataLen);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AENC_ReleaseStream(MK_S32 AeChn, const AUDIO_STREAM_S* pstStream) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstStream == nullptr || pstStream->pStream == nullptr) return MK_ERR_AENC_NULL_PTR;
    AencChn& c = Aenc().chn[AeChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bCreated || !c.bBufReady) return MK_ERR_AENC_UNEXIST;
    const MK_U32 tail = c.Word(AENC_RING_RDTAIL);
    if (pstStream->u32PhyAddr != c.stReadBuf.u32PhyAddr + sizeof(AENC_STREAM_HEADER_S) + tail) {
        MK_TRACE("please release stream in order.\n");
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    AUDIO_STREAM_S rec = *pstStream;
    MK_S32 ret = Request(AeChn, MK_AENC_IOC_RELEASE_STREAM, &rec);
    if (ret == MK_SUCCESS) c.SetWord(AENC_RING_RDTAIL, (tail + c.u32CbPackLen) % c.u32DataLen);
    return ret;
}

MK_S32 MK_MPI_AENC_GetFd(MK_S32 AeChn) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    return Aenc().fd[AeChn].fd();
}

MK_S32 MK_MPI_AENC_SetDumpConfig(MK_S32 AeChn, const AUDIO_DUMPFILE_CFG_S* pstCfg) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstCfg == nullptr) return MK_ERR_AENC_NULL_PTR;
    std::lock_guard<std::mutex> lock(Aenc().chn[AeChn].mutex);
    return Request(AeChn, MK_AENC_IOC_SET_DUMP, const_cast<AUDIO_DUMPFILE_CFG_S*>(pstCfg));
}

MK_S32 MK_MPI_AENC_GetDumpConfig(MK_S32 AeChn, AUDIO_DUMPFILE_CFG_S* pstCfg) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstCfg == nullptr) return MK_ERR_AENC_NULL_PTR;
    std::lock_guard<std::mutex> lock(Aenc().chn[AeChn].mutex);
    return Request(AeChn, MK_AENC_IOC_GET_DUMP, pstCfg);
}
