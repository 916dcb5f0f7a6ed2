#include "platform/drivers/jpeg/jpeg_driver.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/jpeg/jpeg_block.h"
#include "sdk/jpegd/jpegd_ioctl.h"

namespace varnelle::drivers {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kWords = (JPEG_REG_WINDOW_SIZE + 3) / 4;
// A stream fed in pieces larger than this is more than any picture the block takes.
constexpr size_t kMaxGathered = JPEG_STREAM_MAX;

// A user of the block: whether it has sent the open request, and a stream being fed in pieces.
class JpegFile : public dev::File {
public:
    bool opened = false;
    bool gathering = false;
    std::vector<uint8_t> gathered;
};

}  // namespace

JpegDriver::JpegDriver() : Driver("/dev/jpeg") {
    m_memfd = memfd_create("jpeg-regs", MFD_CLOEXEC);
    if (m_memfd >= 0 && ftruncate(m_memfd, kPage) == 0) {
        void* p = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, m_memfd, 0);
        if (p != MAP_FAILED) m_window = static_cast<uint32_t*>(p);
    }
}

JpegDriver::~JpegDriver() {
    if (m_window != nullptr) ::munmap(m_window, kPage);
    if (m_memfd >= 0) ::close(m_memfd);
}

std::shared_ptr<JpegDriver> JpegDriver::Get() {
    InstallJpegDriver();
    return dev::Registry::Get<JpegDriver>("/dev/jpeg");
}

std::unique_ptr<dev::File> JpegDriver::Open(int) { return std::make_unique<JpegFile>(); }

void JpegDriver::Release(dev::File& file) {
    auto& f = static_cast<JpegFile&>(file);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (f.opened) --m_users;
    f.opened = false;
}

uint32_t JpegDriver::Decode(dev::File& file, const std::vector<uint32_t>& regs, uint32_t* lumaSum) {
    auto& f = static_cast<JpegFile&>(file);
    auto reg = [&](uint32_t offset) { return offset / 4 < regs.size() ? regs[offset / 4] : 0xFFFFFFFFu; };
    const uint32_t mode = reg(JPEG_REG_MODE);
    const bool started = (reg(JPEG_REG_START) & 1) != 0;
    std::vector<jpeg::Span> spans;
    const bool fed = regs.size() >= kWords && jpeg::FeedSpans(regs.data(), &spans);
    const bool continues = f.gathering;
    f.gathering = false;
    if (!fed) return JPEG_WAIT_ERROR;
    auto gather = [&] {
        for (const jpeg::Span& s : spans) {
            if (f.gathered.size() + s.size > kMaxGathered) return false;
            f.gathered.insert(f.gathered.end(), s.data, s.data + s.size);
        }
        return true;
    };
    switch (mode) {
        case JPEG_MODE_FIRST:
            f.gathered.clear();
            if (!started || !gather()) return JPEG_WAIT_ERROR;
            f.gathering = true;
            return JPEG_WAIT_MORE;
        case JPEG_MODE_NEXT:
            if (!continues || !gather()) return JPEG_WAIT_ERROR;
            f.gathering = true;
            return JPEG_WAIT_MORE;
        case JPEG_MODE_LAST:
            if (!continues || !gather()) return JPEG_WAIT_ERROR;
            spans.assign(1, jpeg::Span{f.gathered.data(), f.gathered.size()});
            break;
        case JPEG_MODE_WHOLE:
            if (!started) return JPEG_WAIT_ERROR;
            break;
        default: return JPEG_WAIT_ERROR;
    }
    const jpeg::Outcome out = jpeg::DecodePicture(regs.data(), regs.size(), spans);
    f.gathered.clear();
    f.gathered.shrink_to_fit();
    *lumaSum = out.lumaSum;
    return out.decoded ? JPEG_WAIT_DONE : JPEG_WAIT_ERROR;
}

int JpegDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<JpegFile&>(file);
    std::unique_lock<std::mutex> lock(m_mutex);
    switch (request) {
        case MK_JPEG_IOC_OPEN:
            ++m_opens;
            if (!f.opened) {
                f.opened = true;
                // Nobody else has the block: it starts clean, so nothing of an earlier picture (the
                // 4:2:0 register, the scale bits) carries over.
                if (m_users++ == 0 && m_window != nullptr) std::memset(m_window, 0, kPage);
            }
            return 0;
        case MK_JPEG_IOC_CLOSE:
            ++m_closes;
            if (f.opened) --m_users;
            f.opened = false;
            f.gathering = false;
            f.gathered.clear();
            return 0;
        case MK_JPEG_IOC_WAIT: {
            JPEG_WAIT_S w;
            if (CopyRequestIn(request, arg, &w) != 0) return -1;
            ++m_waiting;
            m_released.wait(lock, [this] { return !m_hold; });
            --m_waiting;
            Wait rec{JPEG_WAIT_ERROR, {}};
            if (m_window != nullptr) {
                rec.regs.assign(m_window, m_window + kWords);
                m_window[JPEG_REG_START / 4] = 0;  // the start bit clears once the block has taken it
            }
            std::optional<uint32_t> forced = m_forced;
            if (!m_script.empty()) {
                forced = m_script.front();
                m_script.pop_front();
            }
            if (forced) {
                rec.answer = *forced;
            } else {
                // The caller's registers stay as they are while it waits: decode from the copy.
                lock.unlock();
                uint32_t sum = 0;
                rec.answer = Decode(file, rec.regs, &sum);
                lock.lock();
                if (rec.answer == JPEG_WAIT_DONE) {
                    ++m_decoded;
                    if (m_window != nullptr && (rec.Reg(JPEG_REG_RESULT1) & 0x80000000u) != 0) {
                        m_window[JPEG_REG_RESULT0 / 4] = sum;
                        m_window[JPEG_REG_RESULT1 / 4] &= ~0xFu;
                    }
                }
            }
            w.u32Result = rec.answer;
            m_waits.push_back(std::move(rec));
            if (m_waits.size() > kWaitsKept) m_waits.pop_front();
            return CopyRequestOut(request, arg, w);
        }
        default: return dev::Fail(ENOTTY);
    }
}

void* JpegDriver::Mmap(dev::File&, void* addr, size_t length, int prot, int flags, off_t offset) {
    if (offset != 0 || length == 0 || length > kPage || !(flags & MAP_SHARED)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (m_memfd < 0) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return ::mmap(addr, length, prot, flags, m_memfd, 0);
}

void JpegDriver::SetWaitScript(std::vector<uint32_t> answers) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.assign(answers.begin(), answers.end());
}

void JpegDriver::SetDefaultAnswer(uint32_t answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_forced = answer;
}

void JpegDriver::HoldWaits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = true;
}

void JpegDriver::ReleaseWaits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = false;
    m_released.notify_all();
}

int JpegDriver::Waiting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting;
}

std::vector<JpegDriver::Wait> JpegDriver::Waits() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<Wait>(m_waits.begin(), m_waits.end());
}

std::vector<uint32_t> JpegDriver::Registers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_window == nullptr) return {};
    return std::vector<uint32_t>(m_window, m_window + kWords);
}

int JpegDriver::Opens() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

int JpegDriver::Closes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
}

int JpegDriver::Decoded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_decoded;
}

void JpegDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.clear();
    m_forced.reset();
    m_hold = false;
    m_released.notify_all();
    m_waits.clear();
    m_opens = m_closes = m_decoded = 0;
    if (m_window != nullptr) std::memset(m_window, 0, kPage);
}

void InstallJpegDriver() { InstallDriverOnce<JpegDriver>(); }

}  // namespace varnelle::drivers
