#include "platform/drivers/pciv/pciv_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/host/env.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrNotPerm = MK_ERR(MK_ID_PCIV, MK_ERR_NOT_PERM);
constexpr int kErrIllegal = MK_ERR(MK_ID_PCIV, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrExist = MK_ERR(MK_ID_PCIV, MK_ERR_EXIST);
constexpr int kErrUnexist = MK_ERR(MK_ID_PCIV, MK_ERR_UNEXIST);
constexpr int kErrNoMem = MK_ERR(MK_ID_PCIV, MK_ERR_NOMEM);

class PcivFile : public dev::File {
public:
    int chn = -1;
};

class PcivDriver : public dev::Driver, public FrameSink {
public:
    PcivDriver() : Driver("/dev/pciv") {}

    // Pictures of the source bound to {26, 0, channel}: a started channel carries them. Where they go
    // on the master's side is for the channel's attributes to say, and nothing here fixes the meaning
    // of those words, so the pictures are counted, not copied.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame&) override {
        if (static_cast<uint32_t>(dst.s32ChnId) >= PCIV_MAX_CHN_NUM) return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        PcivChannelView& c = m_channels[dst.s32ChnId];
        if (!c.created || !c.started) {
            ++c.declined;
            return false;
        }
        ++c.pictures;
        return true;
    }

    std::unique_ptr<dev::File> Open(int) override { return std::make_unique<PcivFile>(); }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override {
        auto& f = static_cast<PcivFile&>(file);
        if (request == PCIV_BINDCHN2FD_CTRL) return Bind(f, request, arg);
        if (f.chn < 0) return dev::Fail(EBADFD);
        switch (request) {
            case PCIV_CREATE_CTRL: return Create(f.chn, request, arg);
            case PCIV_DESTROY_CTRL: return Destroy(f.chn);
            case PCIV_START_CTRL: return SetStarted(f.chn, true);
            case PCIV_STOP_CTRL: return SetStarted(f.chn, false);
            case PCIV_MALLOC_CTRL: return Malloc(request, arg);
            case PCIV_FREE_CTRL: return Free(request, arg);
            case PCIV_MALLOC_CHN_BUF_CTRL: return MallocChnBuf(f.chn, request, arg);
            case PCIV_FREE_CHN_BUF_CTRL: return FreeChnBuf(f.chn, request, arg);
            case PCIV_GETBASEWINDOW_CTRL: return BaseWindow(request, arg);
            case PCIV_GETLOCALID_CTRL: return CopyRequestOut(request, arg, static_cast<int32_t>(host::ChipId()));
            case PCIV_ENUMCHIPID_CTRL: return EnumChips(request, arg);
            case PCIV_DMATASK_CTRL: return Dma(request, arg);
            case PCIV_WINVBCREATE_CTRL: return WinVbCreate(request, arg);
            case PCIV_WINVBDESTROY_CTRL: return WinVbDestroy();
            default: return dev::Fail(ENOTTY);
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (uint32_t phys : m_blocks) mem::ZoneAllocator::Local().Free(phys);
        m_blocks.clear();
        for (auto& [key, phys] : m_chnBufs) mem::ZoneAllocator::Local().Free(phys);
        m_chnBufs.clear();
        for (auto& c : m_channels) c = PcivChannelView{};
        m_winVb = false;
    }

    // Test view, under the lock.
    PcivChannelView Channel(int chn) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return chn >= 0 && chn < PCIV_MAX_CHN_NUM ? m_channels[chn] : PcivChannelView{};
    }
    std::vector<uint32_t> Blocks() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks;
    }
    bool WinVb(PCIV_WINVBCFG_S* out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (out) *out = m_winVbCfg;
        return m_winVb;
    }
    uint64_t DmaBytes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dmaBytes;
    }

private:
    int Bind(PcivFile& f, unsigned long request, void* arg) {
        uint32_t chn;
        if (CopyRequestIn(request, arg, &chn) != 0) return -1;
        if (chn >= PCIV_MAX_CHN_NUM) return kErrIllegal;
        f.chn = static_cast<int>(chn);
        return 0;
    }

    int Create(int chn, unsigned long request, void* arg) {
        PCIV_ATTR_S attr;
        if (CopyRequestIn(request, arg, &attr) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_channels[chn].created) return kErrExist;
        m_channels[chn] = PcivChannelView{true, false, attr, 0, 0};
        return 0;
    }

    int Destroy(int chn) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_channels[chn].created) return kErrUnexist;
        if (m_channels[chn].started) return kErrNotPerm;
        m_channels[chn] = PcivChannelView{};
        return 0;
    }

    int SetStarted(int chn, bool started) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_channels[chn].created) return kErrUnexist;
        m_channels[chn].started = started;
        return 0;
    }

    int Malloc(unsigned long request, void* arg) {
        PCIV_IOC_MALLOC_S rec;
        if (CopyRequestIn(request, arg, &rec) != 0) return -1;
        if (rec.u32Size == 0) return kErrIllegal;
        uint32_t phys = mem::ZoneAllocator::Local().Allocate(rec.u32Size, "", "pciv");
        if (phys == 0) return kErrNoMem;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_blocks.push_back(phys);
        }
        rec.u32PhyAddr = phys;
        return CopyRequestOut(request, arg, rec);
    }

    int Free(unsigned long request, void* arg) {
        uint32_t phys;
        if (CopyRequestIn(request, arg, &phys) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_blocks.begin(), m_blocks.end(), phys);
        if (it == m_blocks.end()) return kErrIllegal;
        m_blocks.erase(it);
        mem::ZoneAllocator::Local().Free(phys);
        return 0;
    }

    int MallocChnBuf(int chn, unsigned long request, void* arg) {
        PCIV_IOC_MALLOC_CHN_BUF_S rec;
        if (CopyRequestIn(request, arg, &rec) != 0) return -1;
        if (rec.u32Size == 0 || rec.u32ChnId != static_cast<uint32_t>(chn)) return kErrIllegal;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto key = std::make_pair(chn, rec.u32Index);
        if (m_chnBufs.count(key)) return kErrExist;
        uint32_t phys = mem::ZoneAllocator::Local().Allocate(rec.u32Size, "", "pciv-chn");
        if (phys == 0) return kErrNoMem;
        m_chnBufs[key] = phys;
        rec.u32PhyAddr = phys;
        return CopyRequestOut(request, arg, rec);
    }

    int FreeChnBuf(int chn, unsigned long request, void* arg) {
        uint32_t index;
        if (CopyRequestIn(request, arg, &index) != 0) return -1;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_chnBufs.find({chn, index});
        if (it == m_chnBufs.end()) return kErrIllegal;
        mem::ZoneAllocator::Local().Free(it->second);
        m_chnBufs.erase(it);
        return 0;
    }

    int BaseWindow(unsigned long request, void* arg) {
        PCIV_BASEWINDOW_S win;
        if (CopyRequestIn(request, arg, &win) != 0) return -1;
        if (win.s32ChipId < 0 || win.s32ChipId >= PCIV_MAX_CHIPNUM) return kErrIllegal;
        win.u32NpWinBase = kPcivWindowBase;
        win.u32PfWinBase = kPcivWindowBase;
        win.u32CfgWinBase = kPcivWindowBase;
        win.u32PfAHBAddr = kPcivWindowBase;
        return CopyRequestOut(request, arg, win);
    }

    int EnumChips(unsigned long request, void* arg) {
        int32_t ids[PCIV_MAX_CHIPNUM];
        for (int32_t& id : ids) id = -1;
        int n = 0;
        for (int chip = 0; chip < PCIV_MAX_CHIPNUM; ++chip) {
            if (::access(mem::RamPath(chip).c_str(), F_OK) == 0) ids[n++] = chip;
        }
        return CopyRequestOutBytes(request, arg, ids, sizeof(ids));
    }

    int Dma(unsigned long request, void* arg) {
        PCIV_DMA_TASK_S task;
        if (CopyRequestIn(request, arg, &task) != 0) return -1;
        if (task.u32Count == 0 || task.u32Count > PCIV_MAX_DMABLK) return kErrIllegal;
        if (task.pBlock == nullptr) return dev::Fail(EFAULT);
        const mem::Ram& local = mem::Ram::Local();
        const mem::Ram* remote = mem::Ram::Remote(0);
        if (remote == nullptr) return kErrNotPerm;
        // Check every block before copying any, so a bad task changes nothing.
        for (uint32_t i = 0; i < task.u32Count; ++i) {
            const PCIV_DMA_BLOCK_S& b = task.pBlock[i];
            const mem::Ram& src = task.bRead ? *remote : local;
            const mem::Ram& dst = task.bRead ? local : *remote;
            if (b.u32BlkSize == 0 || !src.Contains(b.u32SrcAddr, b.u32BlkSize) ||
                !dst.Contains(b.u32DstAddr, b.u32BlkSize)) {
                return kErrIllegal;
            }
        }
        std::vector<uint8_t> bounce;
        uint64_t bytes = 0;
        for (uint32_t i = 0; i < task.u32Count; ++i) {
            const PCIV_DMA_BLOCK_S& b = task.pBlock[i];
            const mem::Ram& src = task.bRead ? *remote : local;
            const mem::Ram& dst = task.bRead ? local : *remote;
            bounce.resize(b.u32BlkSize);
            if (!src.Read(b.u32SrcAddr, bounce.data(), b.u32BlkSize) ||
                !dst.Write(b.u32DstAddr, bounce.data(), b.u32BlkSize)) {
                return dev::Fail(EIO);
            }
            bytes += b.u32BlkSize;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dmaBytes += bytes;
        return 0;
    }

    int WinVbCreate(unsigned long request, void* arg) {
        PCIV_WINVBCFG_S cfg;
        if (CopyRequestIn(request, arg, &cfg) != 0) return -1;
        if (cfg.u32PoolCount > 8) return kErrIllegal;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_winVb) return kErrExist;
        m_winVb = true;
        m_winVbCfg = cfg;
        return 0;
    }

    int WinVbDestroy() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_winVb = false;
        return 0;
    }

    std::mutex m_mutex;  // guards everything below
    PcivChannelView m_channels[PCIV_MAX_CHN_NUM];
    std::vector<uint32_t> m_blocks;
    std::map<std::pair<int, uint32_t>, uint32_t> m_chnBufs;
    bool m_winVb = false;
    PCIV_WINVBCFG_S m_winVbCfg{};
    uint64_t m_dmaBytes = 0;
};

std::shared_ptr<PcivDriver>& Instance() {
    static auto* d = new std::shared_ptr<PcivDriver>;
    return *d;
}

}  // namespace

void InstallPcivDriver() {
    static std::once_flag once;
    std::call_once(once, [] {
        Instance() = std::make_shared<PcivDriver>();
        dev::Registry::Register(Instance());
        FrameRouter::Instance().Attach(MK_ID_PCIV, Instance().get());
        RegisterResetHook([] { Instance()->Reset(); });
    });
}

PcivChannelView PcivChannel(int chn) { return Instance() ? Instance()->Channel(chn) : PcivChannelView{}; }
std::vector<uint32_t> PcivWindowBlocks() { return Instance() ? Instance()->Blocks() : std::vector<uint32_t>{}; }
bool PcivWinVbCreated(PCIV_WINVBCFG_S* config) { return Instance() && Instance()->WinVb(config); }
uint64_t PcivDmaBytes() { return Instance() ? Instance()->DmaBytes() : 0; }

}  // namespace varnelle::drivers
