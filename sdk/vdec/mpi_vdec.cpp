#include "sdk/vdec/mpi_vdec.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vdec/vdec_jpeg.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kVdecPath = "/dev/vdec";

constexpr MK_S32 kErrChn = MK_ERR(MK_ID_VDEC, MK_ERR_INVALID_CHNID);
constexpr MK_S32 kErrParam = MK_ERR(MK_ID_VDEC, MK_ERR_ILLEGAL_PARAM);
constexpr MK_S32 kErrNull = MK_ERR(MK_ID_VDEC, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrNotSupport = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_SUPPORT);
constexpr MK_S32 kErrNoMem = MK_ERR(MK_ID_VDEC, MK_ERR_NOMEM);
constexpr MK_S32 kErrNotReady = MK_ERR(MK_ID_VDEC, MK_ERR_SYS_NOTREADY);

// What the module keeps of a channel's last accepted creation.
struct ChnCtx {
    MK_U32 type = VDEC_CTX_TYPE_OTHER;
    VDEC_CHN_ATTR_S attr{};  // kept for JPEG channels, so their JPEG side can be made again
};

struct VdecModule {
    // Descriptors: one per channel, bound to it; one for the module parameters, bound to nothing.
    mk::DevSlot chnFd[VDEC_MAX_CHN_NUM];
    mk::DevSlot modParamFd;
    // Channel records.
    std::mutex ctxMutex;  // guards ctx
    ChnCtx ctx[VDEC_MAX_CHN_NUM];
    // Set-up state.
    std::mutex initMutex;  // serialises MPI_VDEC_Init and MPI_VDEC_Exit
    bool initialised = false;
    std::atomic<const VdecJpegOps*> jpeg{nullptr};
};

VdecModule& Vdec() {
    static auto* m = new VdecModule;  // never destroyed: other threads may still call in at exit
    return *m;
}

bool ChnInRange(VDEC_CHN chn) { return static_cast<MK_U32>(chn) < VDEC_MAX_CHN_NUM; }

// Opens and binds a channel's descriptor: its fd, or -1 after the failure's message.
int OpenChn(VDEC_CHN chn) {
    mk::DevSlot& slot = Vdec().chnFd[chn];
    if (slot.IsOpen()) return slot.fd();
    if (!mk::DevSlot::NodeIsDevice(kVdecPath)) {
        std::printf("open vdec err\n");
        return -1;
    }
    switch (slot.Ensure(kVdecPath, O_RDWR, mk::vdec::kBind, static_cast<MK_U32>(chn))) {
        case mk::DevSlot::kReady: return slot.fd();
        case mk::DevSlot::kOpenFailed: std::printf("open vdec err\n"); return -1;
        case mk::DevSlot::kBindFailed: std::printf("can't bind channel\n"); return -1;
    }
    return -1;
}

int OpenModParam() {
    mk::DevSlot& slot = Vdec().modParamFd;
    if (slot.IsOpen()) return slot.fd();
    if (!mk::DevSlot::NodeIsDevice(kVdecPath) || slot.Ensure(kVdecPath, O_RDWR) != mk::DevSlot::kReady) {
        std::printf("open vdec err\n");
        return -1;
    }
    return slot.fd();
}

// The first two steps of every channel call, range check and lazy open: the channel's descriptor,
// or -1 with *err set to the code to return.
int ChnFd(VDEC_CHN chn, MK_S32* err) {
    if (!ChnInRange(chn)) {
        *err = kErrChn;
        return -1;
    }
    int fd = OpenChn(chn);
    if (fd < 0) *err = kErrNotReady;
    return fd;
}

// The wrapper pattern: range check, lazy open and bind, null check, time-out check, one request.
MK_S32 Request(VDEC_CHN chn, unsigned long request, void* arg, bool checkNull) {
    MK_S32 err;
    int fd = ChnFd(chn, &err);
    if (fd < 0) return err;
    if (checkNull && arg == nullptr) return kErrNull;
    return dev::Ioctl(fd, request, arg);
}

template <typename T>
MK_S32 TimedRequest(VDEC_CHN chn, unsigned long request, T* record, MK_S32 ms) {
    MK_S32 err;
    int fd = ChnFd(chn, &err);
    if (fd < 0) return err;
    if (record == nullptr) return kErrNull;
    if (ms < -1) return kErrParam;
    VdecTimedReq<T> req{record, ms};
    return dev::Ioctl(fd, request, &req);
}

ChnCtx ReadCtx(VDEC_CHN chn) {
    std::lock_guard<std::mutex> lock(Vdec().ctxMutex);
    return Vdec().ctx[chn];
}

void WriteCtx(VDEC_CHN chn, const ChnCtx& ctx) {
    std::lock_guard<std::mutex> lock(Vdec().ctxMutex);
    Vdec().ctx[chn] = ctx;
}

// The JPEG operations when the channel's last creation made a JPEG channel, else null.
const VdecJpegOps* JpegOf(VDEC_CHN chn) {
    const VdecJpegOps* ops = Vdec().jpeg.load();
    return ops != nullptr && VdecIsJpegType(ReadCtx(chn).type) ? ops : nullptr;
}

#define VDEC_ARG_NONE nullptr, false
#define VDEC_ARG_VALUE &value, false
#define VDEC_ARG_IN const_cast<void*>(static_cast<const void*>(pstRecord)), true
#define VDEC_ARG_OUT pstRecord, true
#define VDEC_CALL_NONE(name) Request(VdChn, mk::vdec::k##name, VDEC_ARG_NONE)
#define VDEC_CALL_VALUE(name) Request(VdChn, mk::vdec::k##name, VDEC_ARG_VALUE)
#define VDEC_CALL_IN(name) Request(VdChn, mk::vdec::k##name, VDEC_ARG_IN)
#define VDEC_CALL_OUT(name) Request(VdChn, mk::vdec::k##name, VDEC_ARG_OUT)
#define VDEC_CALL_TIMED_IN(name) TimedRequest(VdChn, mk::vdec::k##name, pstRecord, s32MilliSec)
#define VDEC_CALL_TIMED_OUT(name) TimedRequest(VdChn, mk::vdec::k##name, pstRecord, s32MilliSec)

}  // namespace

#define VDEC_DEFINE(name, access, nr, T) \
    MK_S32 MK_MPI_VDEC_##name MK_VDEC_ARGS_##access(T) { return VDEC_CALL_##access(name); }
MK_VDEC_REQUESTS(VDEC_DEFINE)
#undef VDEC_DEFINE

void MPI_VDEC_SetJpegOps(const VdecJpegOps* ops) { Vdec().jpeg.store(ops); }

MK_S32 MK_MPI_VDEC_CreateChn(VDEC_CHN VdChn, const VDEC_CHN_ATTR_S* pstAttr) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    if (pstAttr == nullptr) return kErrNull;
    VDEC_CHN_ATTR_S attr = *pstAttr;
    const VdecJpegOps* jpeg = Vdec().jpeg.load();
    if (VdecIsJpegType(attr.enType) && jpeg == nullptr) return kErrNotSupport;
    MK_S32 ret = dev::Ioctl(fd, mk::vdec::kCreateChn, &attr);
    if (ret != MK_SUCCESS) return ret;
    if (!VdecIsJpegType(attr.enType)) {
        WriteCtx(VdChn, ChnCtx{});
        return MK_SUCCESS;
    }
    ret = jpeg->CreateChn(VdChn, &attr);
    if (ret != MK_SUCCESS) {
        // Whatever the JPEG side refused, the driver's channel goes again: a channel left without its
        // JPEG side could never be destroyed, since its destruction starts there.
        dev::Ioctl(fd, mk::vdec::kDestroyChn, nullptr);
        return ret;
    }
    WriteCtx(VdChn, ChnCtx{attr.enType, attr});
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VDEC_DestroyChn(VDEC_CHN VdChn) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    const VdecJpegOps* jpeg = JpegOf(VdChn);
    if (jpeg != nullptr) {
        MK_S32 ret = jpeg->DestroyChn(VdChn);
        if (ret != MK_SUCCESS) return ret;
    }
    MK_S32 ret = dev::Ioctl(fd, mk::vdec::kDestroyChn, nullptr);
    if (ret != MK_SUCCESS && jpeg != nullptr) {
        // The driver kept its channel: make the JPEG side again so both stay alike, and report the
        // driver's refusal, not the re-creation's success.
        ChnCtx ctx = ReadCtx(VdChn);
        if (jpeg->CreateChn(VdChn, &ctx.attr) != MK_SUCCESS) std::printf("VDEC chn %d: jpeg side lost\n", VdChn);
    }
    return ret;
}

MK_S32 MK_MPI_VDEC_StartRecvStream(VDEC_CHN VdChn) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    if (const VdecJpegOps* jpeg = JpegOf(VdChn)) (void)jpeg->StartRecvStream(VdChn);
    return dev::Ioctl(fd, mk::vdec::kStartRecvStream, nullptr);
}

MK_S32 MK_MPI_VDEC_StopRecvStream(VDEC_CHN VdChn) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    if (const VdecJpegOps* jpeg = JpegOf(VdChn)) {
        MK_S32 ret = jpeg->StopRecvStream(VdChn);
        if (ret != MK_SUCCESS) return ret;
    }
    return dev::Ioctl(fd, mk::vdec::kStopRecvStream, nullptr);
}

MK_S32 MK_MPI_VDEC_ResetChn(VDEC_CHN VdChn) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    const VdecJpegOps* jpeg = JpegOf(VdChn);
    if (jpeg != nullptr) {
        MK_S32 ret = jpeg->ResetChn(VdChn);
        if (ret != MK_SUCCESS) return ret;
    }
    MK_S32 ret = dev::Ioctl(fd, mk::vdec::kResetChn, nullptr);
    if (jpeg == nullptr) return ret;
    // The JPEG side goes back to started either way; a refused driver reset is still reported.
    MK_S32 started = jpeg->SetChnStarted(VdChn);
    return ret != MK_SUCCESS ? ret : started;
}

MK_S32 MK_MPI_VDEC_GetUserData(VDEC_CHN VdChn, VDEC_USER_DATA_S* pstUserData, MK_S32 s32MilliSec) {
    MK_S32 ret = TimedRequest(VdChn, mk::vdec::kGetUserData, pstUserData, s32MilliSec);
    if (ret != MK_SUCCESS) return ret;
    pstUserData->pu8Addr = nullptr;
    if (pstUserData->bValid != 1) return MK_SUCCESS;
    auto* addr = static_cast<MK_U8*>(MK_MPI_SYS_Mmap(pstUserData->u32PhyAddr, pstUserData->u32Len));
    if (addr == nullptr) {
        std::printf("GetUserData: VirAddr sys mmap err. ");
        dev::Ioctl(Vdec().chnFd[VdChn].fd(), mk::vdec::kReleaseUserData, pstUserData);
        // Given back already: a later release of this record must not give it back again.
        pstUserData->bValid = 0;
        return -1;
    }
    pstUserData->pu8Addr = addr;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VDEC_ReleaseUserData(VDEC_CHN VdChn, const VDEC_USER_DATA_S* pstUserData) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    if (fd < 0) return err;
    if (pstUserData == nullptr) return kErrNull;
    VDEC_USER_DATA_S data = *pstUserData;
    bool unmapFailed = data.bValid == 1 && MK_MPI_SYS_Munmap(data.pu8Addr, data.u32Len) != 0;
    if (unmapFailed) std::printf("ReleaseUserData VirAddr sys Munmap err!");
    MK_S32 ret = dev::Ioctl(fd, mk::vdec::kReleaseUserData, &data);
    return unmapFailed ? kErrParam : ret;
}

MK_S32 MK_MPI_VDEC_SetModParam(const VDEC_MOD_PARAM_S* pstModParam) {
    int fd = OpenModParam();
    if (fd < 0) return kErrNotReady;
    if (pstModParam == nullptr) return kErrNull;
    VDEC_MOD_PARAM_S param = *pstModParam;
    return dev::Ioctl(fd, mk::vdec::kSetModParam, &param);
}

MK_S32 MK_MPI_VDEC_GetModParam(VDEC_MOD_PARAM_S* pstModParam) {
    int fd = OpenModParam();
    if (fd < 0) return kErrNotReady;
    if (pstModParam == nullptr) return kErrNull;
    return dev::Ioctl(fd, mk::vdec::kGetModParam, pstModParam);
}

MK_S32 MK_MPI_VDEC_GetFd(VDEC_CHN VdChn) {
    MK_S32 err;
    int fd = ChnFd(VdChn, &err);
    return fd < 0 ? err : fd;
}

MK_S32 MK_MPI_VDEC_CloseFd(VDEC_CHN VdChn) {
    if (!ChnInRange(VdChn)) return kErrChn;
    mk::DevSlot& slot = Vdec().chnFd[VdChn];
    if (!slot.IsOpen()) return MK_SUCCESS;
    // The slot is closed even when close fails: the descriptor number is gone either way and keeping
    // it could later name another file.
    int ret = slot.Close();
    if (ret != 0) std::printf("Close VDEC Channel %d Fd Fail\n", VdChn);
    return ret;
}

MK_S32 MPI_VDEC_Init(void) {
    VdecModule& m = Vdec();
    std::lock_guard<std::mutex> lock(m.initMutex);
    if (m.initialised) return MK_SUCCESS;
    const VdecJpegOps* jpeg = m.jpeg.load();
    MK_S32 ret = jpeg != nullptr && jpeg->UsrInit != nullptr ? jpeg->UsrInit() : MK_SUCCESS;
    if (ret != MK_SUCCESS) return ret;
    m.initialised = true;
    return MK_SUCCESS;
}

MK_S32 MPI_VDEC_Exit(void) {
    VdecModule& m = Vdec();
    std::lock_guard<std::mutex> lock(m.initMutex);
    if (!m.initialised) return MK_SUCCESS;
    const VdecJpegOps* jpeg = m.jpeg.load();
    if (jpeg != nullptr && jpeg->UsrDeInit != nullptr) (void)jpeg->UsrDeInit();
    m.initialised = false;
    return MK_SUCCESS;
}
