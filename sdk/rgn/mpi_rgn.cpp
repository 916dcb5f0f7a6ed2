#include "sdk/rgn/mpi_rgn.h"

#include <fcntl.h>

#include <cstdio>
#include <mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"

namespace dev = varnelle::dev;

namespace {

// A canvas as this process maps it. The physical address tells a canvas the driver moved from the one
// mapped before.
struct CanvasMap {
    MK_U32 u32PhyAddr = 0;
    mk::PhysMapping map;
};

struct RgnEntry {
    MK_U32 u32PhyAddr = 0;  // of the last canvas returned
    MK_U32 u32Size = 0;
    CanvasMap canvas[RGN_CANVAS_NUM];
};

struct RgnModule {
    // Descriptors: /dev/rgn for every request, /dev/mem for canvas mappings.
    mk::DevSlot rgnFd;
    mk::DevSlot memFd;
    // Region table, by handle.
    std::mutex tableMutex;  // guards table and the /dev/mem slot's open and close
    RgnEntry table[RGN_HANDLE_MAX];
};

RgnModule& Rgn() {
    static auto* m = new RgnModule;  // never destroyed: other threads may still call in at exit
    return *m;
}

bool HandleValid(RGN_HANDLE handle) { return handle < RGN_HANDLE_MAX; }

// The /dev/rgn descriptor, or -1 after the open failure's message.
int OpenRgn() {
    if (Rgn().rgnFd.Ensure("/dev/rgn", O_RDONLY) != mk::DevSlot::kReady) {
        std::printf("open /dev/rgn err\n");
        return -1;
    }
    return Rgn().rgnFd.fd();
}

MK_S32 NullPtr() {
    std::printf("PTR is NULL!\n");
    return MK_ERR_RGN_NULL_PTR;
}

MK_S32 Request(unsigned long request, void* arg) {
    int fd = OpenRgn();
    if (fd < 0) return MK_ERR_RGN_NOTREADY;
    return dev::Ioctl(fd, request, arg);
}

// Maps canvas `index` of `entry` at `phys` unless that very canvas is mapped already. A canvas the
// driver moved is unmapped first, so its old pages are never handed out again.
MK_S32 MapCanvas(RgnEntry& entry, MK_U32 index, MK_U32 phys, MK_U32 size) {
    CanvasMap& c = entry.canvas[index];
    if (c.map.base != nullptr && c.u32PhyAddr == phys) return MK_SUCCESS;
    if (c.map.base != nullptr) {
        if (mk::UnmapPhysPages(c.map) != 0) return MK_ERR_RGN_NOMEM;
        c = CanvasMap{};
    }
    if (Rgn().memFd.Ensure("/dev/mem", O_RDWR | O_DSYNC) != mk::DevSlot::kReady) {
        std::printf("open dev mem failed!\n");
        return MK_ERR_RGN_NOMEM;
    }
    mk::PhysMapping map;
    if (!mk::MapPhysPages(Rgn().memFd.fd(), phys, size, &map)) {
        std::printf("mmap err,page addr:0x%x u32PagePhy size:%d\n", phys & ~0xFFFu,
                    static_cast<int>(((size - 1 + (phys & 0xFFF)) & ~0xFFFu) + 4096));
        return MK_ERR_RGN_NOMEM;
    }
    c.u32PhyAddr = phys;
    c.map = map;
    return MK_SUCCESS;
}

}  // namespace

MK_S32 MK_MPI_RGN_Create(RGN_HANDLE Handle, const RGN_ATTR_S* pstRegion) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    if (pstRegion == nullptr) return NullPtr();
    RGN_CREATE_REQ_S req{Handle, *pstRegion};
    return Request(mk::rgn::kCreate, &req);
}

MK_S32 MK_MPI_RGN_Destroy(RGN_HANDLE Handle) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    RGN_HANDLE handle = Handle;
    MK_S32 ret = Request(mk::rgn::kDestroy, &handle);
    if (ret != MK_SUCCESS) return ret;
    RgnModule& m = Rgn();
    std::lock_guard<std::mutex> lock(m.tableMutex);
    RgnEntry& entry = m.table[Handle];
    for (CanvasMap& c : entry.canvas) {
        if (c.map.base != nullptr && mk::UnmapPhysPages(c.map) == 0) c = CanvasMap{};
    }
    entry.u32PhyAddr = 0;
    entry.u32Size = 0;
    // Mappings of other regions stay valid without the descriptor; the next canvas opens it again.
    m.memFd.Close();
    return MK_SUCCESS;
}

MK_S32 MK_MPI_RGN_SetBitMap(RGN_HANDLE Handle, const BITMAP_S* pstBitmap) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    if (pstBitmap == nullptr) return NullPtr();
    RGN_BITMAP_REQ_S req{Handle, *pstBitmap};
    return Request(mk::rgn::kSetBitMap, &req);
}

MK_S32 MK_MPI_RGN_AttachToChn(RGN_HANDLE Handle, const MPP_CHN_S* pstChn, const RGN_CHN_ATTR_S* pstChnAttr) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    if (pstChn == nullptr || pstChnAttr == nullptr) return NullPtr();
    RGN_ATTACH_REQ_S req{Handle, *pstChn, *pstChnAttr};
    return Request(mk::rgn::kAttachToChn, &req);
}

MK_S32 MK_MPI_RGN_GetCanvasInfo(RGN_HANDLE Handle, RGN_CANVAS_INFO_S* pstCanvasInfo) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    if (pstCanvasInfo == nullptr) return NullPtr();
    RGN_CANVAS_REQ_S req{};
    req.Handle = Handle;
    MK_S32 ret = Request(mk::rgn::kGetCanvas, &req);
    if (ret != MK_SUCCESS) return ret;
    // The table keeps two canvases a region; any other index would write past the entry.
    if (req.u32Index >= RGN_CANVAS_NUM || req.u32Size == 0) return MK_ERR_RGN_ILLEGAL_PARAM;
    RgnModule& m = Rgn();
    std::lock_guard<std::mutex> lock(m.tableMutex);
    RgnEntry& entry = m.table[Handle];
    entry.u32Size = req.u32Size;
    entry.u32PhyAddr = req.stCanvas.u32PhyAddr;
    ret = MapCanvas(entry, req.u32Index, req.stCanvas.u32PhyAddr, req.u32Size);
    if (ret != MK_SUCCESS) return ret;
    *pstCanvasInfo = req.stCanvas;
    pstCanvasInfo->pVirtAddr = entry.canvas[req.u32Index].map.user;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_RGN_UpdateCanvas(RGN_HANDLE Handle) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    RGN_HANDLE handle = Handle;
    return Request(mk::rgn::kUpdateCanvas, &handle);
}

MK_S32 MK_MPI_RGN_Request11(RGN_HANDLE Handle, MK_U32 u32Value) {
    if (!HandleValid(Handle)) return MK_ERR_RGN_ILLEGAL_PARAM;
    RGN_WORD_REQ_S req{Handle, u32Value};
    return Request(mk::rgn::kRequest11, &req);
}

MK_S32 MK_MPI_RGN_GetFd(void) {
    int fd = OpenRgn();
    return fd < 0 ? MK_ERR_RGN_NOTREADY : fd;
}
