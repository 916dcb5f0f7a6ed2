// /dev/sys: the system driver. Keeps the configuration word, the kernel bind graph (requests 7 to 9),
// the zone name of each channel, the kernel configuration whose first word is the timer setting, the
// media system's up/down state (init 0, exit 1; exit drops every driver's media state), a few stored
// values and record pairs, and maps simulated RAM through its descriptor (cached mappings).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "platform/dev/driver.h"
#include "sdk/common/mk_type.h"

namespace varnelle::drivers {

void InstallSysDriver();

class SysDriver : public dev::Driver {
public:
    SysDriver();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    void* Mmap(dev::File& file, void* addr, size_t length, int prot, int flags, off_t offset) override;

    // Test-side view; all thread-safe.
    bool IsUp() const;
    int InitCount() const;
    int ExitCount() const;
    uint32_t ConfWord() const;
    // The zone name set for a channel ("" when none).
    std::string MemConfOf(const MPP_CHN_S& chn) const;
    void SetKernelConfig(uint32_t hrTimer, uint32_t second = 0);
    void SetCustomerId(uint32_t id);
    // Drops the channels' zone names (what exit resets besides the bind graph).
    void ResetMediaState();

private:
    using ChnKey = std::tuple<int32_t, int32_t, int32_t>;
    using PairKey = std::array<uint32_t, 2>;
    using PairValue = std::array<uint32_t, 4>;

    int Init();
    int Exit();
    int Bind(unsigned long request, void* arg);
    int Unbind(unsigned long request, void* arg);
    int GetBindByDest(unsigned long request, void* arg);
    int SetMemConf(unsigned long request, void* arg);
    int GetMemConf(unsigned long request, void* arg);
    int SetPair(unsigned long request, void* arg);
    int QueryPair(unsigned long request, void* arg);

    mutable std::mutex m_mutex;  // guards everything below
    bool m_up = false;
    int m_inits = 0;
    int m_exits = 0;
    uint32_t m_conf = 0;
    uint32_t m_kernelConfig[2] = {0, 0};
    uint32_t m_customerId = 0;
    uint32_t m_word = 0;
    uint64_t m_value64 = 0;
    std::map<ChnKey, std::string> m_memConf;
    std::map<PairKey, PairValue> m_pairs;
};

}  // namespace varnelle::drivers
