#include "platform/drivers/jpeg/jpeg_driver.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "sdk/jpegd/jpegd_ioctl.h"

namespace varnelle::drivers {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kWords = (JPEG_REG_WINDOW_SIZE + 3) / 4;

}  // namespace

JpegDriver::JpegDriver() : Driver("/dev/jpeg"), m_default(JPEG_WAIT_ERROR) {
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

int JpegDriver::Ioctl(dev::File&, unsigned long request, void* arg) {
    std::unique_lock<std::mutex> lock(m_mutex);
    switch (request) {
        case MK_JPEG_IOC_OPEN: ++m_opens; return 0;
        case MK_JPEG_IOC_CLOSE: ++m_closes; return 0;
        case MK_JPEG_IOC_WAIT: {
            JPEG_WAIT_S w;
            if (CopyRequestIn(request, arg, &w) != 0) return -1;
            ++m_waiting;
            m_released.wait(lock, [this] { return !m_hold; });
            --m_waiting;
            Wait rec{m_default, {}};
            if (!m_script.empty()) {
                rec.answer = m_script.front();
                m_script.pop_front();
            }
            if (m_window != nullptr) {
                rec.regs.assign(m_window, m_window + kWords);
                m_window[JPEG_REG_START / 4] = 0;  // the start bit clears once the block has taken it
            }
            w.u32Result = rec.answer;
            m_waits.push_back(std::move(rec));
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
    m_default = answer;
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
    return m_waits;
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

void JpegDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.clear();
    m_default = JPEG_WAIT_ERROR;
    m_hold = false;
    m_released.notify_all();
    m_waits.clear();
    m_opens = m_closes = 0;
    if (m_window != nullptr) std::memset(m_window, 0, kPage);
}

void InstallJpegDriver() { InstallDriverOnce<JpegDriver>(); }

}  // namespace varnelle::drivers
