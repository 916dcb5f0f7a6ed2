#include "platform/drivers/sys/sys_driver.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/mem/ram.h"
#include "sdk/sys/sys_ioctl.h"

namespace varnelle::drivers {

SysDriver::SysDriver() : Driver("/dev/sys") {}

int SysDriver::Ioctl(dev::File&, unsigned long request, void* arg) {
    switch (request) {
        case MK_SYS_IOC_INIT:
            return Init();
        case MK_SYS_IOC_EXIT:
            return Exit();
        case MK_SYS_IOC_SET_CONF: {
            MPP_SYS_CONF_S conf;
            if (CopyRequestIn(request, arg, &conf) != 0) return -1;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_conf = conf.u32AlignWidth;
            return 0;
        }
        case MK_SYS_IOC_GET_CONF: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return CopyRequestOut(request, arg, MPP_SYS_CONF_S{m_conf});
        }
        case MK_SYS_IOC_SET_U64_FIRST:
        case MK_SYS_IOC_SET_U64_SECOND: {
            uint64_t value;
            if (CopyRequestIn(request, arg, &value) != 0) return -1;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_value64 = value;
            return 0;
        }
        case MK_SYS_IOC_GET_U64: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return CopyRequestOut(request, arg, m_value64);
        }
        case MK_SYS_IOC_BIND:
            return Bind(request, arg);
        case MK_SYS_IOC_UNBIND:
            return Unbind(request, arg);
        case MK_SYS_IOC_GET_BIND_BY_DEST:
            return GetBindByDest(request, arg);
        case MK_SYS_IOC_SET_MEM_CONF:
            return SetMemConf(request, arg);
        case MK_SYS_IOC_GET_MEM_CONF:
            return GetMemConf(request, arg);
        case MK_SYS_IOC_GET_CUSTOMER_ID: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return CopyRequestOut(request, arg, m_customerId);
        }
        case MK_SYS_IOC_SET_WORD: {
            uint32_t word;
            if (CopyRequestIn(request, arg, &word) != 0) return -1;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_word = word;
            return 0;
        }
        case MK_SYS_IOC_GET_WORD: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return CopyRequestOut(request, arg, m_word);
        }
        case MK_SYS_IOC_GET_KERNEL_CONFIG: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return CopyRequestOut(request, arg, MK_SYS_KERNEL_CONFIG_S{m_kernelConfig[0], m_kernelConfig[1]});
        }
        case MK_SYS_IOC_COMMAND:
            return 0;
        case MK_SYS_IOC_SET_PAIR:
            return SetPair(request, arg);
        case MK_SYS_IOC_QUERY_PAIR:
            return QueryPair(request, arg);
        default:
            return dev::Fail(ENOTTY);
    }
}

int SysDriver::Init() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_up = true;
    ++m_inits;
    return 0;
}

int SysDriver::Exit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_up = false;
        ++m_exits;
    }
    // Outside the lock: the hooks include this driver's own.
    drivers::ResetMediaState();
    return 0;
}

int SysDriver::SetPair(unsigned long request, void* arg) {
    MK_SYS_RECORD_PAIR_S pair;
    if (CopyRequestIn(request, arg, &pair) != 0) return -1;
    PairValue value;
    std::copy(std::begin(pair.stValue.au32Word), std::end(pair.stValue.au32Word), value.begin());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pairs[PairKey{pair.stKey.au32Word[0], pair.stKey.au32Word[1]}] = value;
    return 0;
}

int SysDriver::QueryPair(unsigned long request, void* arg) {
    MK_SYS_RECORD_PAIR_S pair;
    if (CopyRequestIn(request, arg, &pair) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pairs.find(PairKey{pair.stKey.au32Word[0], pair.stKey.au32Word[1]});
    if (it == m_pairs.end()) return MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST);
    std::copy(it->second.begin(), it->second.end(), pair.stValue.au32Word);
    return CopyRequestOut(request, arg, pair);
}

void* SysDriver::Mmap(dev::File&, void*, size_t length, int, int, off_t offset) {
    if (offset < 0 || (offset % mem::kPageSize) != 0 || offset > static_cast<off_t>(UINT32_MAX)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* p = mem::Ram::Local().Map(static_cast<uint32_t>(offset), length);
    if (p == nullptr) errno = ENXIO;
    return p == nullptr ? MAP_FAILED : p;
}

bool SysDriver::IsUp() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_up;
}

int SysDriver::InitCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inits;
}

int SysDriver::ExitCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_exits;
}

uint32_t SysDriver::ConfWord() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_conf;
}

void SysDriver::SetKernelConfig(uint32_t hrTimer, uint32_t second) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kernelConfig[0] = hrTimer;
    m_kernelConfig[1] = second;
}

void SysDriver::SetCustomerId(uint32_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_customerId = id;
}

void SysDriver::ResetMediaState() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_memConf.clear();
}

void InstallSysDriver() {
    static bool installed = [] {
        auto driver = std::make_shared<SysDriver>();
        if (!dev::Registry::Register(driver)) return false;
        RegisterResetHook([driver] { driver->ResetMediaState(); });
        return true;
    }();
    (void)installed;
}

}  // namespace varnelle::drivers
