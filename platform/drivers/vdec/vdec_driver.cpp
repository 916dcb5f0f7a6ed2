#include "platform/drivers/vdec/vdec_driver.h"

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/vdec/vdec_codec.h"
#include "platform/drivers/vdec/vdec_state.h"

namespace varnelle::drivers {

namespace req = mk::vdec;

namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VDEC, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrExist = MK_ERR(MK_ID_VDEC, MK_ERR_EXIST);
constexpr int kErrUnexist = MK_ERR(MK_ID_VDEC, MK_ERR_UNEXIST);
constexpr int kErrPerm = MK_ERR(MK_ID_VDEC, MK_ERR_NOT_PERM);

class VdecFile : public dev::File {
public:
    std::string BoundObject() const override { return chn < 0 ? std::string() : "chn " + std::to_string(chn); }
    int chn = -1;  // -1: bound to no channel (the module parameters)
};

template <typename T>
int Store(unsigned long request, const void* arg, T* field) {
    T v;
    if (CopyRequestIn(request, arg, &v) != 0) return -1;
    *field = v;
    return 0;
}

int Create(VdecDriver::State& s, int chn, unsigned long request, const void* arg) {
    VDEC_CHN_ATTR_S attr;
    if (CopyRequestIn(request, arg, &attr) != 0) return -1;
    vdec::Chn& c = s.chns[chn];
    if (c.created) return kErrExist;
    const bool jpeg = vdec::IsJpegType(attr.enType);
    if (!jpeg && !vdec::VideoDecoder::Supports(attr.enType)) return MK_ERR(MK_ID_VDEC, MK_ERR_NOT_SUPPORT);
    if (attr.u32BufSize == 0 || attr.u32BufSize > VdecDriver::kMaxBufSize) return kErrParam;
    if (!jpeg && (attr.u32PicWidth > VdecDriver::kMaxPicSize || attr.u32PicHeight > VdecDriver::kMaxPicSize)) {
        return kErrParam;
    }
    s.DestroyLocked(chn);  // clears what a former channel of this number left
    c.created = true;
    c.attr = attr;
    if (!jpeg) {
        s.StartDecoderLocked(chn);
    } else if (!s.JpegCreateLocked(chn)) {
        s.DestroyLocked(chn);
        return MK_ERR(MK_ID_VDEC, MK_ERR_NOMEM);
    }
    s.journal.Event(chn, VdecJournalKind::kCreate);
    return 0;
}

// A channel state record: created, receiving, bytes and frames queued, frames received and decoded.
VDEC_RECORD31_S StateRecord(const vdec::Chn& c) {
    return VDEC_RECORD31_S{{c.created, c.receiving, c.queuedBytes, c.queuedFrames,
                            static_cast<uint32_t>(c.receivedFrames), static_cast<uint32_t>(c.decodedFrames)}};
}

int EnableUserPic(vdec::Chn& c, unsigned long request, const void* arg) {
    uint32_t instant;
    if (CopyRequestIn(request, arg, &instant) != 0) return -1;
    if (!c.userPicSet) return MK_ERR(MK_ID_VDEC, MK_ERR_NOT_CONFIG);
    c.userPicEnabled = true;
    c.userPicInstant = instant;
    return 0;
}

int ChnRequest(VdecDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request,
               void* arg) {
    vdec::Chn& c = s.chns[chn];
    if (request == req::kCreateChn) return Create(s, chn, request, arg);
    if (!c.created) return kErrUnexist;
    if (int ret; s.JpegRequest(lock, chn, request, arg, &ret)) return ret;
    switch (request) {
        case req::kDestroyChn:
            s.DestroyLocked(chn);
            s.journal.Event(chn, VdecJournalKind::kDestroy);
            s.SettleLocked(lock, chn);
            return 0;
        case req::kGetChnAttr: return CopyRequestOut(request, arg, c.attr);
        case req::kSendStream: {
            int ret = s.Send(lock, chn, request, arg);
            if (ret != 0) s.journal.Event(chn, VdecJournalKind::kRefuse, ret);
            return ret;
        }
        case req::kQuery: {
            VDEC_CHN_STAT_S st{};
            st.enType = c.attr.enType;
            st.u32LeftStreamBytes = c.queuedBytes;
            st.u32LeftStreamFrames = c.queuedFrames;
            st.u32LeftPics = static_cast<uint32_t>(c.pics.size() + s.jpeg[chn].frames.size());
            st.bStartRecvStream = c.receiving;
            st.u32RecvStreamFrames = static_cast<uint32_t>(c.receivedFrames);
            st.u32DecodeStreamFrames = static_cast<uint32_t>(c.decodedFrames);
            st.u32BufSize = c.attr.u32BufSize;
            st.u32StreamErrors = static_cast<uint32_t>(c.streamErrors);
            st.u32DroppedPics = static_cast<uint32_t>(c.droppedPics + s.jpeg[chn].dropped);
            return CopyRequestOut(request, arg, st);
        }
        case req::kStartRecvStream:
            c.receiving = true;
            s.journal.Event(chn, VdecJournalKind::kStart);
            return 0;
        case req::kStopRecvStream:
            c.receiving = false;
            s.Interrupt(chn);
            s.journal.Event(chn, VdecJournalKind::kStop);
            return 0;
        case req::kResetChn:
            s.DropStreamLocked(chn);
            s.Interrupt(chn);
            s.journal.Event(chn, VdecJournalKind::kReset);
            s.SettleLocked(lock, chn);
            return 0;
        case req::kSetChnParam: return Store(request, arg, &c.param);
        case req::kGetChnParam: return CopyRequestOut(request, arg, c.param);
        case req::kSetChnParamEx: return Store(request, arg, &c.paramEx);
        case req::kGetChnParamEx: return CopyRequestOut(request, arg, c.paramEx);
        case req::kGetUserData: return s.GetUserData(lock, chn, request, arg);
        case req::kGetFrame: return s.TakeFrame(lock, chn, request, arg);
        case req::kReleaseUserData: {
            VDEC_USER_DATA_S data;
            if (CopyRequestIn(request, arg, &data) != 0) return -1;
            if (c.userDataOut == 0) return kErrParam;  // none was handed out
            --c.userDataOut;
            return 0;
        }
        case req::kReleaseFrame: return s.ReleaseFrameLocked(chn, request, arg);
        case req::kSetUserPic:
            if (Store(request, arg, &c.userPic) != 0) return -1;
            c.userPicSet = true;
            return 0;
        case req::kEnableUserPic: return EnableUserPic(c, request, arg);
        case req::kDisableUserPic: c.userPicEnabled = false; return 0;
        case req::kSetWord29: return Store(request, arg, &c.word29);
        case req::kGetWord30: return CopyRequestOut(request, arg, c.word29);
        case req::kGetRecord31: return CopyRequestOut(request, arg, StateRecord(c));
        case req::kSetWord32: return Store(request, arg, &c.word32);
        case req::kGetWord33: return CopyRequestOut(request, arg, c.word32);
        case req::kSetWord34: return Store(request, arg, &c.word34);
        case req::kGetWord35: return CopyRequestOut(request, arg, c.word34);
        case req::kSetRecord36: return Store(request, arg, &c.record36);
        case req::kCommand37: return 0;
        default: return dev::Fail(ENOTTY);
    }
}

}  // namespace

VdecDriver::State::State() {
    for (uint64_t& s : heldStream) s = vdec::kNoStream;
}

void VdecDriver::State::Interrupt(int chn) {
    ++chns[chn].generation;
    changed[chn].notify_all();
    pictures[chn].notify_all();
    work[chn].notify_all();
}

void VdecDriver::State::DropStreamLocked(int chn) {
    vdec::Chn& c = chns[chn];
    c.queue.clear();
    c.queuedBytes = c.queuedFrames = 0;
    c.pics.clear();
    // The decoder forgets what it holds, and drops what it is busy with.
    ++c.stream;
    work[chn].notify_all();
}

void VdecDriver::State::DestroyLocked(int chn) {
    JpegDestroyLocked(chn);
    vdec::Chn& c = chns[chn];
    // Callers still blocked here keep their count and see the generation move on; the decoder sees
    // the stream move on.
    const uint64_t generation = c.generation;
    const uint64_t stream = c.stream;
    const int waiters = c.waiters, roomWaiters = c.roomWaiters;
    const bool decoding = c.decoding;
    c = vdec::Chn{};
    c.generation = generation;
    c.stream = stream + 1;
    c.waiters = waiters;
    c.roomWaiters = roomWaiters;
    c.decoding = decoding;
    Interrupt(chn);
}

VdecDriver::VdecDriver() : Driver("/dev/vdec"), m_state(std::make_unique<State>()) {}

VdecDriver::~VdecDriver() = default;

std::shared_ptr<VdecDriver> VdecDriver::Get() {
    InstallVdecDriver();
    return dev::Registry::Get<VdecDriver>("/dev/vdec");
}

std::unique_ptr<dev::File> VdecDriver::Open(int /*flags*/) { return std::make_unique<VdecFile>(); }

int VdecDriver::Ioctl(dev::File& f, unsigned long request, void* arg) {
    auto& file = static_cast<VdecFile&>(f);
    std::unique_lock<std::mutex> lock(m_state->mutex);
    switch (request) {
        case req::kBind: {
            uint32_t chn;
            if (CopyRequestIn(request, arg, &chn) != 0) return -1;
            if (file.chn >= 0) return dev::Fail(EBUSY);
            if (chn >= VDEC_MAX_CHN_NUM) return dev::Fail(EINVAL);
            file.chn = static_cast<int>(chn);
            return 0;
        }
        case req::kSetModParam: return Store(request, arg, &m_state->modParam);
        case req::kGetModParam: return CopyRequestOut(request, arg, m_state->modParam);
        default: break;
    }
    if (file.chn < 0) return _IOC_TYPE(request) == 'D' ? kErrPerm : dev::Fail(ENOTTY);
    return ChnRequest(*m_state, lock, file.chn, request, arg);
}

namespace {
bool InRange(int chn) { return static_cast<unsigned>(chn) < VDEC_MAX_CHN_NUM; }
}  // namespace

VdecChnView VdecDriver::Channel(int chn) const {
    if (!InRange(chn)) return VdecChnView{};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const vdec::Chn& c = m_state->chns[chn];
    VdecChnView v{};
    v.created = c.created;
    v.receiving = c.receiving;
    v.userPicEnabled = c.userPicEnabled;
    v.attr = c.attr;
    v.queuedBytes = c.queuedBytes;
    v.queuedFrames = c.queuedFrames;
    v.queuedPackets = static_cast<uint32_t>(c.queue.size());
    v.decoding = c.decoding;
    v.receivedFrames = c.receivedFrames;
    v.decodedFrames = c.decodedFrames;
    v.streamErrors = c.streamErrors;
    v.droppedPics = c.droppedPics;
    v.queuedPics = static_cast<uint32_t>(c.pics.size());
    v.fetchedPics = static_cast<uint32_t>(c.fetched.size());
    v.waiters = c.waiters;
    return v;
}

void VdecDriver::HoldDecoding(int chn, bool hold) {
    if (!InRange(chn)) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->holdDecoding[chn] = hold;
    m_state->work[chn].notify_all();
}

bool VdecDriver::WaitDecoded(int chn, int timeoutMs) const {
    if (!InRange(chn)) return false;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    const vdec::Chn& c = m_state->chns[chn];
    return m_state->changed[chn].wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const uint64_t held = m_state->heldStream[chn];
        return c.queue.empty() && !c.decoding && (held == vdec::kNoStream || held == c.stream);
    });
}

bool VdecDriver::PutUserData(int chn, uint32_t phys, uint32_t len) {
    if (!InRange(chn)) return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    vdec::Chn& c = m_state->chns[chn];
    if (!c.created) return false;
    c.userData.push_back(VDEC_USER_DATA_S{nullptr, phys, len, 1});
    m_state->changed[chn].notify_all();
    return true;
}

void VdecDriver::Reset() {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    for (int chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) m_state->DestroyLocked(chn);
    // The pools may go once this returns: no decoder keeps a block.
    for (int chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) m_state->SettleLocked(lock, chn);
    m_state->modParam = VDEC_MOD_PARAM_S{};
}

void InstallVdecDriver() { InstallDriverOnce<VdecDriver>(); }

}  // namespace varnelle::drivers
