#include "sdk/vda/mpi_vda.h"

#include <fcntl.h>

#include <cstdio>
#include <mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"

namespace dev = varnelle::dev;

namespace {

struct ChnCtx {
    mk::DevSlot fd;  // bound to the channel
    // The result buffer as this process maps it; guarded by bufMutex.
    std::mutex bufMutex;
    MK_U32 u32PhyAddr = 0;
    MK_U32 u32Size = 0;
    mk::PhysMapping map;
};

struct VdaModule {
    mk::DevSlot memFd;  // g_s32VdaMemFd: opened once, never closed
    ChnCtx chn[VDA_MAX_CHN_NUM];
};

VdaModule& Vda() {
    static auto* m = new VdaModule;  // never destroyed: other threads may still call in at exit
    return *m;
}

// Range check and lazy open: the channel's descriptor, or -1 with *err set.
int ChnFd(VDA_CHN chn, MK_S32* err) {
    if (static_cast<MK_U32>(chn) >= VDA_MAX_CHN_NUM) {
        *err = MK_ERR_VDA_INVALID_CHNID;
        return -1;
    }
    mk::DevSlot& slot = Vda().chn[chn].fd;
    if (slot.Ensure("/dev/vda", O_RDWR, mk::vda::kBind, static_cast<MK_U32>(chn), true) != mk::DevSlot::kReady) {
        *err = MK_ERR_VDA_NOTREADY;
        return -1;
    }
    return slot.fd();
}

MK_S32 Request(VDA_CHN chn, unsigned long request, void* arg = nullptr) {
    MK_S32 err;
    int fd = ChnFd(chn, &err);
    return fd < 0 ? err : dev::Ioctl(fd, request, arg);
}

// True when [addr, addr + len) lies inside the channel's buffer [phys, phys + size).
bool InBuffer(uint64_t phys, uint64_t size, uint64_t addr, uint64_t len) {
    return size != 0 && addr >= phys && len <= size && addr - phys <= size - len;
}

}  // namespace

MK_S32 MK_MPI_VDA_CreateChn(VDA_CHN VdaChn, const VDA_CHN_ATTR_S* pstAttr) {
    MK_S32 err;
    int fd = ChnFd(VdaChn, &err);
    if (fd < 0) return err;
    if (pstAttr == nullptr) return MK_ERR_VDA_NULL_PTR;
    VdaModule& m = Vda();
    if (m.memFd.Ensure("/dev/mem", O_RDWR | O_DSYNC) != mk::DevSlot::kReady) {
        std::fprintf(stderr, "open mem device failed \n");
        return MK_ERR_VDA_NOTREADY;
    }
    VDA_CHN_ATTR_S attr = *pstAttr;
    MK_S32 ret = dev::Ioctl(fd, mk::vda::kCreateChn, &attr);
    if (ret != MK_SUCCESS) return ret;
    VDA_BUF_REQ_S buf{};
    ret = dev::Ioctl(fd, mk::vda::kGetBuf, &buf);
    if (ret != MK_SUCCESS) {
        dev::Ioctl(fd, mk::vda::kDestroyChn);
        return ret;
    }
    ChnCtx& c = m.chn[VdaChn];
    std::lock_guard<std::mutex> lock(c.bufMutex);
    // A channel made again without a destroy in between still holds its old mapping.
    if (mk::UnmapPhysPages(c.map) == 0) c.map = mk::PhysMapping{};
    c.u32PhyAddr = buf.u32PhyAddr;
    c.u32Size = buf.u32Size;
    mk::PhysMapping map;
    if (buf.u32Size == 0 || !mk::MapPhysPages(m.memFd.fd(), buf.u32PhyAddr, buf.u32Size, &map)) {
        std::fprintf(stderr, "mmap err,page addr:%d u32PagePhy size:%d\n", static_cast<int>(buf.u32PhyAddr & ~0xFFFu),
                     static_cast<int>(((buf.u32Size - 1 + (buf.u32PhyAddr & 0xFFF)) & ~0xFFFu) + 4096));
        dev::Ioctl(fd, mk::vda::kDestroyChn);
        c.u32PhyAddr = 0;
        c.u32Size = 0;
        return MK_ERR_VDA_NOMEM;
    }
    c.map = map;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VDA_DestroyChn(VDA_CHN VdaChn) {
    MK_S32 ret = Request(VdaChn, mk::vda::kDestroyChn);
    if (ret != MK_SUCCESS) return ret;
    ChnCtx& c = Vda().chn[VdaChn];
    std::lock_guard<std::mutex> lock(c.bufMutex);
    // Cleared, so a later call never converts through, or unmaps again, pages that are gone.
    if (mk::UnmapPhysPages(c.map) == 0) c.map = mk::PhysMapping{};
    c.u32PhyAddr = 0;
    c.u32Size = 0;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VDA_StartRecvPic(VDA_CHN VdaChn) { return Request(VdaChn, mk::vda::kStartRecvPic); }

MK_S32 MK_MPI_VDA_StopRecvPic(VDA_CHN VdaChn) { return Request(VdaChn, mk::vda::kStopRecvPic); }

MK_S32 MK_MPI_VDA_GetData(VDA_CHN VdaChn, VDA_DATA_S* pstVdaData, MK_S32 s32Wait) {
    MK_S32 err;
    int fd = ChnFd(VdaChn, &err);
    if (fd < 0) return err;
    if (pstVdaData == nullptr) return MK_ERR_VDA_NULL_PTR;
    VDA_GETDATA_REQ_S req{};
    req.s32Wait = s32Wait;
    MK_S32 ret = dev::Ioctl(fd, mk::vda::kGetData, &req);
    if (ret != MK_SUCCESS) return ret;
    VDA_DATA_S data = req.stData;
    if (data.enWorkMode != VDA_WORK_MODE_MD) {
        *pstVdaData = data;
        return MK_SUCCESS;
    }
    ChnCtx& c = Vda().chn[VdaChn];
    std::unique_lock<std::mutex> lock(c.bufMutex);
    VDA_MD_DATA_S& md = data.unData.stMdData;
    const auto sadPhys = reinterpret_cast<uintptr_t>(md.stMbSadData.pAddr);
    const auto objPhys = reinterpret_cast<uintptr_t>(md.stObjData.pstAddr);
    // Data outside the buffer would be read through pages this process never mapped.
    bool ok = true;
    if (md.bMbSadValid) {
        ok = ok && InBuffer(c.u32PhyAddr, c.u32Size, sadPhys, uint64_t{md.stMbSadData.u32Stride} * data.u32MbHeight);
    }
    if (md.bObjValid) {
        ok = ok && InBuffer(c.u32PhyAddr, c.u32Size, objPhys, uint64_t{md.stObjData.u32ObjNum} * sizeof(VDA_OBJ_S));
    }
    if (!ok) {
        lock.unlock();
        std::fprintf(stderr, "VdaChn %d: result outside the channel's buffer\n", VdaChn);
        dev::Ioctl(fd, mk::vda::kReleaseData, &req.stData);
        return MK_ERR_VDA_ILLEGAL_PARAM;
    }
    const intptr_t offset = reinterpret_cast<intptr_t>(c.map.user) - static_cast<intptr_t>(c.u32PhyAddr);
    if (md.bMbSadValid) md.stMbSadData.pAddr = reinterpret_cast<MK_VOID*>(sadPhys + offset);
    if (md.bObjValid) md.stObjData.pstAddr = reinterpret_cast<VDA_OBJ_S*>(objPhys + offset);
    *pstVdaData = data;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_VDA_ReleaseData(VDA_CHN VdaChn, const VDA_DATA_S* pstVdaData) {
    MK_S32 err;
    int fd = ChnFd(VdaChn, &err);
    if (fd < 0) return err;
    if (pstVdaData == nullptr) return MK_ERR_VDA_NULL_PTR;
    VDA_DATA_S data = *pstVdaData;
    return dev::Ioctl(fd, mk::vda::kReleaseData, &data);
}

MK_S32 MK_MPI_VDA_ResetOdRegion(VDA_CHN VdaChn, MK_S32 s32RgnIndex) {
    MK_S32 rgn = s32RgnIndex;
    return Request(VdaChn, mk::vda::kResetOdRegion, &rgn);
}

MK_S32 MK_MPI_VDA_GetFd(VDA_CHN VdaChn) {
    MK_S32 err;
    int fd = ChnFd(VdaChn, &err);
    return fd < 0 ? err : fd;
}

MK_S32 MK_MPI_VDA_SendPic(VDA_CHN VdaChn, const VIDEO_FRAME_INFO_S* pstUserFrame, MK_U32 u32Word) {
    MK_S32 err;
    int fd = ChnFd(VdaChn, &err);
    if (fd < 0) return err;
    if (pstUserFrame == nullptr) return MK_ERR_VDA_NULL_PTR;
    VDA_PIC_REQ_S req{};
    req.stFrame = *pstUserFrame;
    req.u32Word = u32Word;
    return dev::Ioctl(fd, mk::vda::kSendPic, &req);
}

MK_VOID* VDA_GetPhyOffset(VDA_CHN VdaChn, MK_U32 u32PhyAddr) {
    if (static_cast<MK_U32>(VdaChn) >= VDA_MAX_CHN_NUM) return nullptr;
    ChnCtx& c = Vda().chn[VdaChn];
    std::lock_guard<std::mutex> lock(c.bufMutex);
    if (c.map.user == nullptr) return nullptr;
    return c.map.user + (static_cast<intptr_t>(u32PhyAddr) - static_cast<intptr_t>(c.u32PhyAddr));
}
