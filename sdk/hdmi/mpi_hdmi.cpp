#include "sdk/hdmi/mpi_hdmi.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"

namespace dev = varnelle::dev;

namespace {

constexpr useconds_t kClosedPollUs = 100000;
constexpr useconds_t kEventPollUs = 80000;

struct HdmiModule {
    mk::DevSlot fd;  // bound to output 0
    // Serialises the requests to the output. Made with the module, never destroyed, so calls before
    // Init or after DeInit lock a live mutex.
    std::mutex mutex;
    // Set up by Init, cleared by DeInit; guarded by `mutex` where written, read by the poll thread.
    std::atomic<bool> initialised{false};
    std::atomic<HDMI_CALLBACK> callback{nullptr};
    std::atomic<MK_VOID*> priv{nullptr};
    MK_U32 mode = 0;
    std::atomic<MK_U32> callbackId{0};
    // The poll thread.
    pthread_t thread{};
    bool threadStarted = false;
    std::atomic<bool> stop{false};
    // The output's state block.
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
};

HdmiModule& Hdmi() {
    static auto* m = new HdmiModule;  // never destroyed: the poll thread may outlive static destruction
    return *m;
}

// The lazy open and bind: the descriptor, or -1 after the failure's message.
int OpenHdmi() {
    switch (Hdmi().fd.Ensure("/dev/hdmi", O_RDONLY, mk::hdmi::kBind, HDMI_ID_0)) {
        case mk::DevSlot::kReady: return Hdmi().fd.fd();
        case mk::DevSlot::kOpenFailed: std::perror("open hdmi device error!\n"); return -1;
        case mk::DevSlot::kBindFailed: return -1;
    }
    return -1;
}

MK_S32 BadId(const mk::TraceSite& site, HDMI_ID_E id) {
    MK_TRACE_AT(site, "HdmiId %d is invalid.\n", static_cast<int>(id));
    return MK_ERR_HDMI_INVALID_ID;
}

MK_S32 NullPtr(const mk::TraceSite& site) {
    MK_TRACE_AT(site, "ptr is NULL.\n");
    return MK_ERR_HDMI_NULL_PTR;
}

MK_S32 NotOpen() {
    std::printf("HDMI not open!\n");
    return MK_ERR_HDMI_NOT_OPEN;
}

// One request to the open output, under the mutex.
MK_S32 Locked(unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(Hdmi().mutex);
    return dev::Ioctl(Hdmi().fd.fd(), request, arg);
}

// The checks in their order and the request; `record` may be null only for forms without one.
enum class Checks { kNullIdOpen, kIdNullOpen, kIdOpen, kOpen };

// Runs the checks in their order, the lazy open among them: 0 when the request may go.
MK_S32 Check(const mk::TraceSite& site, Checks checks, HDMI_ID_E id, const void* record) {
    if (checks == Checks::kNullIdOpen && record == nullptr) return NullPtr(site);
    if (checks != Checks::kOpen && id != HDMI_ID_0) return BadId(site, id);
    if (OpenHdmi() < 0) return MK_ERR_HDMI_NOT_OPEN;
    if (checks == Checks::kIdNullOpen && record == nullptr) return NullPtr(site);
    if (!Hdmi().open) return NotOpen();
    return MK_SUCCESS;
}

template <typename T>
MK_S32 Call(const mk::TraceSite& site, Checks checks, HDMI_ID_E id, unsigned long request, T* record) {
    MK_S32 ret = Check(site, checks, id, record);
    if (ret != MK_SUCCESS) return ret;
    if constexpr (std::is_void_v<T>) {
        return Locked(request, nullptr);
    } else if constexpr (std::is_const_v<T>) {
        // The driver writes its answer back into the record: never into the caller's read-only one.
        std::remove_const_t<T> copy = *record;
        return Locked(request, &copy);
    } else {
        return Locked(request, record);
    }
}

void* PollEvents(void*) {
    HdmiModule& m = Hdmi();
    while (!m.stop) {
        if (!m.open) {
            usleep(kClosedPollUs);
            continue;
        }
        HDMI_EVENT_REQ_S ev{0, 0, m.callbackId.load()};
        if (dev::Ioctl(m.fd.fd(), mk::hdmi::kPollEvent, &ev) != MK_SUCCESS) {
            usleep(kEventPollUs);
            continue;
        }
        std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:HDMI EVENT TYPE:0x%x\n", "MK_MPI_HDMI_GenEvent", 113, ev.u32Event);
        HDMI_CALLBACK cb = m.callback.load();
        if (cb != nullptr && m.open) {
            if (ev.u32CallbackId != m.callbackId.load()) {
                std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:Error to get HDMI Callback:0x%x != 0x%x, event:0x%x\n",
                             "MK_MPI_HDMI_GenEvent", 120, ev.u32CallbackId, m.callbackId.load(), ev.u32Event);
            } else {
                cb(ev.u32Event, m.priv.load());
            }
        }
        usleep(kEventPollUs);
    }
    return nullptr;
}

}  // namespace

#define HDMI_CALL_NID(req) Call(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, mk::hdmi::req, pstRecord)
#define HDMI_CALL_IDN(req) Call(MK_TRACE_SITE, Checks::kIdNullOpen, enHdmi, mk::hdmi::req, pstRecord)
#define HDMI_CALL_VALUE(req) Call(MK_TRACE_SITE, Checks::kIdOpen, enHdmi, mk::hdmi::req, &value)
#define HDMI_CALL_BARE(req) Call(MK_TRACE_SITE, Checks::kOpen, HDMI_ID_0, mk::hdmi::req, &value)
#define HDMI_CALL_NONE(req) Call<void>(MK_TRACE_SITE, Checks::kIdOpen, enHdmi, mk::hdmi::req, nullptr)
#define HDMI_DEFINE(name, checks, req, T) \
    MK_S32 MK_MPI_HDMI_##name MK_HDMI_ARGS_##checks(T) { return HDMI_CALL_##checks(req); }
MK_HDMI_REQUESTS(HDMI_DEFINE)
#undef HDMI_DEFINE

MK_S32 MK_MPI_HDMI_Init(const HDMI_INIT_PARA_S* pstHdmiPara) {
    if (pstHdmiPara == nullptr) return NullPtr(MK_TRACE_SITE);
    const int fd = OpenHdmi();
    if (fd < 0) return MK_ERR_HDMI_NOT_OPEN;
    HdmiModule& m = Hdmi();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.initialised) return MK_SUCCESS;
    const HDMI_CALLBACK cb = pstHdmiPara->pfnHdmiEventCallback;
    // The id travels in 32 bits; the host's function addresses do not.
    HDMI_INIT_REQ_S req{pstHdmiPara->u32Mode,
                        cb != nullptr ? static_cast<MK_U32>(reinterpret_cast<uintptr_t>(cb) + static_cast<uintptr_t>(fd)) : 0};
    MK_S32 ret = dev::Ioctl(fd, mk::hdmi::kInit, &req);
    if (ret != MK_SUCCESS) return ret;
    m.callbackId = req.u32CallbackId;
    m.callback = cb;
    m.priv = pstHdmiPara->pPrivateData;
    m.mode = pstHdmiPara->u32Mode;
    m.stop = false;
    if (cb != nullptr) {
        if (pthread_create(&m.thread, nullptr, PollEvents, nullptr) != 0) {
            std::printf("HDMI event thread cannot start\n");
            // Without its thread the registration would never deliver: take it back whole.
            dev::Ioctl(fd, mk::hdmi::kDeInit, nullptr);
            m.callback = nullptr;
            m.priv = nullptr;
            m.mode = 0;
            m.callbackId = 0;
            return MK_FAILURE;
        }
        m.threadStarted = true;
    }
    m.initialised = true;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_HDMI_DeInit(void) {
    if (OpenHdmi() < 0) return MK_ERR_HDMI_NOT_OPEN;
    HdmiModule& m = Hdmi();
    if (!m.initialised) return MK_SUCCESS;
    m.stop = true;
    if (m.threadStarted) {
        pthread_join(m.thread, nullptr);
        m.threadStarted = false;
    }
    MK_S32 ret = dev::Ioctl(m.fd.fd(), mk::hdmi::kDeInit, nullptr);
    if (ret != MK_SUCCESS) std::printf("HDMI DeInit Error:0x%x\n", static_cast<unsigned>(ret));
    std::lock_guard<std::mutex> lock(m.mutex);
    m.fd.Close();
    m.initialised = false;
    m.callback = nullptr;
    m.priv = nullptr;
    m.mode = 0;
    m.callbackId = 0;
    m.thread = pthread_t{};
    m.stop = false;
    m.open = false;
    m.started = false;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_HDMI_Open(HDMI_ID_E enHdmi) {
    if (enHdmi != HDMI_ID_0) return BadId(MK_TRACE_SITE, enHdmi);
    const int fd = OpenHdmi();
    if (fd < 0) return MK_ERR_HDMI_NOT_OPEN;
    std::lock_guard<std::mutex> lock(Hdmi().mutex);
    if (Hdmi().open) return MK_SUCCESS;
    MK_S32 ret = dev::Ioctl(fd, mk::hdmi::kOpen, nullptr);
    if (ret == MK_SUCCESS) Hdmi().open = true;
    return ret;
}

MK_S32 MK_MPI_HDMI_Close(HDMI_ID_E enHdmi) {
    if (enHdmi != HDMI_ID_0) return BadId(MK_TRACE_SITE, enHdmi);
    const int fd = OpenHdmi();
    if (fd < 0) return MK_ERR_HDMI_NOT_OPEN;
    HdmiModule& m = Hdmi();
    if (!m.open) return MK_SUCCESS;
    if (m.started) {
        Locked(mk::hdmi::kStop, nullptr);
        m.started = false;
    }
    std::lock_guard<std::mutex> lock(m.mutex);
    MK_S32 ret = dev::Ioctl(fd, mk::hdmi::kClose, nullptr);
    if (ret == MK_SUCCESS) m.open = false;
    return ret;
}

MK_S32 MK_MPI_HDMI_Start(HDMI_ID_E enHdmi) {
    MK_S32 ret = Call<void>(MK_TRACE_SITE, Checks::kIdOpen, enHdmi, mk::hdmi::kStart, nullptr);
    if (ret == MK_SUCCESS) Hdmi().started = true;
    return ret;
}

MK_S32 MK_MPI_HDMI_Stop(HDMI_ID_E enHdmi) {
    if (enHdmi != HDMI_ID_0) return BadId(MK_TRACE_SITE, enHdmi);
    if (OpenHdmi() < 0) return MK_ERR_HDMI_NOT_OPEN;
    HdmiModule& m = Hdmi();
    if (!m.open) return MK_ERR_HDMI_NOT_OPEN;
    if (!m.started) return MK_SUCCESS;
    MK_S32 ret = Locked(mk::hdmi::kStop, nullptr);
    if (ret == MK_SUCCESS) m.started = false;
    return ret;
}

MK_S32 MK_MPI_HDMI_GetSinkCapability(HDMI_ID_E enHdmi, HDMI_SINK_CAPABILITY_S* pstSinkCap) {
    MK_S32 ret = Check(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, pstSinkCap);
    if (ret != MK_SUCCESS) return ret;
    ret = Locked(mk::hdmi::kGetSinkCapability, pstSinkCap);
    if (ret != MK_SUCCESS) std::memset(pstSinkCap, 0, sizeof(*pstSinkCap));
    return ret;
}

MK_S32 MK_MPI_HDMI_GetInfoFrame(HDMI_ID_E enHdmi, MK_U32 enInfoFrameType, HDMI_INFOFRAME_S* pstInfoFrame) {
    HDMI_INFOFRAME_REQ_S req{};
    req.enInfoFrameType = enInfoFrameType;
    if (pstInfoFrame == nullptr) return NullPtr(MK_TRACE_SITE);
    MK_S32 ret = Call(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, mk::hdmi::kGetInfoFrame, &req);
    if (ret == MK_SUCCESS) *pstInfoFrame = req.stInfoFrame;
    return ret;
}

MK_S32 MK_MPI_HDMI_SetInfoFrame(HDMI_ID_E enHdmi, const HDMI_INFOFRAME_S* pstInfoFrame) {
    if (pstInfoFrame == nullptr) return NullPtr(MK_TRACE_SITE);
    HDMI_INFOFRAME_REQ_S req{};
    req.enInfoFrameType = pstInfoFrame->enInfoFrameType;
    req.stInfoFrame = *pstInfoFrame;
    return Call(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, mk::hdmi::kSetInfoFrame, &req);
}

MK_S32 MK_MPI_HDMI_GetCECCommand(HDMI_ID_E enHdmi, HDMI_CEC_CMD_S* pstCECCmd, MK_U32 u32Value) {
    if (pstCECCmd == nullptr) return NullPtr(MK_TRACE_SITE);
    HDMI_CEC_REQ_S req{};
    req.u32Value = u32Value;
    MK_S32 ret = Call(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, mk::hdmi::kGetCECCommand, &req);
    if (ret == MK_SUCCESS) *pstCECCmd = req.stCmd;
    return ret;
}

MK_S32 MK_MPI_HDMI_Force_GetEDID(HDMI_ID_E enHdmi, HDMI_EDID_S* pstEdidData) {
    MK_S32 ret = Check(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, pstEdidData);
    if (ret != MK_SUCCESS) return ret;
    std::memset(pstEdidData, 0, sizeof(*pstEdidData));
    return Locked(mk::hdmi::kForceGetEDID, pstEdidData);
}

MK_S32 MK_MPI_HDMI_PlayStus(HDMI_ID_E enHdmi, MK_U32* pu32Stus) {
    MK_S32 ret = Check(MK_TRACE_SITE, Checks::kNullIdOpen, enHdmi, pu32Stus);
    if (ret != MK_SUCCESS) return ret;
    std::lock_guard<std::mutex> lock(Hdmi().mutex);
    if (!Hdmi().open) return NotOpen();
    return dev::Ioctl(Hdmi().fd.fd(), mk::hdmi::kPlayStus, pu32Stus);
}

MK_S32 MK_MPI_HDMI_SetCsc(HDMI_ID_E enHdmi, const HDMI_CSC_S* pstCsc) {
    if (enHdmi != HDMI_ID_0) return BadId(MK_TRACE_SITE, enHdmi);
    return pstCsc == nullptr ? NullPtr(MK_TRACE_SITE) : MK_ERR_HDMI_CSC;
}

MK_S32 MK_MPI_HDMI_GetCsc(HDMI_ID_E enHdmi, HDMI_CSC_S* pstCsc) {
    if (enHdmi != HDMI_ID_0) return BadId(MK_TRACE_SITE, enHdmi);
    return pstCsc == nullptr ? NullPtr(MK_TRACE_SITE) : MK_ERR_HDMI_CSC;
}

MK_S32 MK_MPI_HDMI_AudioChange(HDMI_ID_E enHdmi, MK_U32 enSoundIntf, MK_U32 enSampleRate) {
    MK_S32 ret = Check(MK_TRACE_SITE, Checks::kIdOpen, enHdmi, nullptr);
    if (ret != MK_SUCCESS) return ret;
    HDMI_ATTR_S attr{};
    // A failed read would otherwise compare, and then write back, a record the driver never filled.
    ret = MK_MPI_HDMI_GetAttr(enHdmi, &attr);
    if (ret != MK_SUCCESS) return ret;
    if (attr.enSoundIntf == enSoundIntf && attr.enSampleRate == enSampleRate) return MK_SUCCESS;
    if (enSoundIntf > 2) {
        std::printf("Error input Audio interface(%d)\n", static_cast<int>(enSoundIntf));
        return MK_FAILURE;
    }
    static const MK_U32 kRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
    if (std::find(std::begin(kRates), std::end(kRates), enSampleRate) == std::end(kRates)) {
        std::printf("Error input Audio Frequency(%d)\n", static_cast<int>(enSampleRate));
        return MK_FAILURE;
    }
    std::printf("set HDMI Audio input chage interface(%d) samplerate(%d)\n", static_cast<int>(enSoundIntf),
                static_cast<int>(enSampleRate));
    HDMI_INFOFRAME_S frame{};
    frame.enInfoFrameType = HDMI_INFOFRAME_TYPE_AUDIO;
    frame.au32Body[0] = 2;
    std::printf("***MK_MPI_HDMI_SetInfoFrame for AUDIO Infoframe");
    (void)MK_MPI_HDMI_SetInfoFrame(enHdmi, &frame);
    ret = MK_MPI_HDMI_GetAttr(enHdmi, &attr);
    if (ret != MK_SUCCESS) return ret;
    attr.bEnableAudio = 1;
    attr.enSoundIntf = enSoundIntf;
    attr.enSampleRate = enSampleRate;
    return MK_MPI_HDMI_SetAttr(enHdmi, &attr);
}
