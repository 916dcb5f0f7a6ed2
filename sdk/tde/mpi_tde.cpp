#include "sdk/tde/mpi_tde.h"

#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"

namespace dev = varnelle::dev;

namespace {

struct TdeModule {
    // Open and close happen on one thread; the descriptor is read by the job calls of any thread.
    std::atomic<int> fd{-1};
    std::atomic<int> openCount{0};
};

TdeModule& Tde() {
    static auto* m = new TdeModule;  // never destroyed: other threads may still call in at exit
    return *m;
}

// The descriptor when the module is open; -1 after the message otherwise.
int OpenFd() {
    int fd = Tde().fd.load();
    if (fd == -1) std::printf("tde doesn't open!\n");
    return fd;
}

template <typename T>
MK_S32 Send(int fd, unsigned long request, T* record) {
    return dev::Ioctl(fd, request, record);
}

// Copies an optional argument into its field, or marks it absent in the mask.
template <typename T>
void Optional(const T* arg, T* field, MK_U32 bit, MK_U32* mask) {
    if (arg != nullptr) {
        *field = *arg;
    } else {
        *mask |= bit;
    }
}

template <typename Record>
MK_S32 SimpleBlit(unsigned long request, TDE_HANDLE handle, const TDE2_SURFACE_S* src, const TDE2_RECT_S* srcRect,
                  const TDE2_SURFACE_S* dst, const TDE2_RECT_S* dstRect) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    if (src == nullptr || srcRect == nullptr || dst == nullptr || dstRect == nullptr) return MK_ERR_TDE_NULL_PTR;
    Record req{};
    req.s32Handle = handle;
    req.stSrc = *src;
    req.stSrcRect = *srcRect;
    req.stDst = *dst;
    req.stDstRect = *dstRect;
    return Send(fd, request, &req);
}

MK_S32 FourSurface(unsigned long request, TDE_HANDLE handle, const TDE2_SURFACE_S* const s[4],
                   const TDE2_RECT_S* const r[4], MK_U32 word0, MK_U32 word1) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    for (int i = 0; i < 4; ++i) {
        if (s[i] == nullptr || r[i] == nullptr) return MK_ERR_TDE_NULL_PTR;
    }
    if (request == mk::tde::kFour13 && word1 != 1) return MK_ERR_TDE_OUT_OF_RANGE;
    // Zeroed like every other record, so no stack bytes reach the driver in the padding.
    TDE_FOUR_REQ_S req{};
    req.s32Handle = handle;
    for (int i = 0; i < 4; ++i) req.astSurface[i] = TDE_SURFACE_RECT_S{*s[i], *r[i]};
    req.u32Word0 = word0;
    req.u32Word1 = word1;
    return Send(fd, request, &req);
}

}  // namespace

#define TDE_CALL_NONE(req) Send<void>(fd, mk::tde::req, nullptr)
#define TDE_CALL_VALUE(req) Send(fd, mk::tde::req, &value)
#define TDE_CALL_OUT(req) pValue == nullptr ? MK_ERR_TDE_NULL_PTR : Send(fd, mk::tde::req, pValue)
#define TDE_CALL_IN(req) pValue == nullptr ? MK_ERR_TDE_NULL_PTR : Send(fd, mk::tde::req, const_cast<MK_U32*>(pValue))
#define TDE_DEFINE(name, access, req, T)            \
    MK_S32 MK_TDE2_##name MK_TDE_ARGS_##access(T) { \
        int fd = OpenFd();                          \
        if (fd == -1) return MK_ERR_TDE_NOT_OPEN;   \
        return TDE_CALL_##access(req);              \
    }
MK_TDE_REQUESTS(TDE_DEFINE)
#undef TDE_DEFINE

MK_S32 MK_TDE2_Open(void) {
    TdeModule& m = Tde();
    if (m.fd.load() != -1) {
        ++m.openCount;
        return MK_SUCCESS;
    }
    int fd = dev::Open("/dev/mk_tde", O_RDWR);
    if (fd < 0) return MK_ERR_TDE_OPEN_FAILED;
    m.fd.store(fd);
    ++m.openCount;
    return MK_SUCCESS;
}

MK_VOID MK_TDE2_Close(void) {
    TdeModule& m = Tde();
    if (m.fd.load() == -1) return;
    if (--m.openCount <= 0) {
        m.openCount = 0;
        dev::Close(m.fd.exchange(-1));
    }
}

TDE_HANDLE MK_TDE2_BeginJob(void) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    TDE_HANDLE handle = 0;
    if (dev::Ioctl(fd, mk::tde::kBeginJob, &handle) < 0) return MK_ERR_TDE_JOB_FAILED;
    return handle;
}

MK_S32 MK_TDE2_EndJob(TDE_HANDLE s32Handle, MK_BOOL, MK_BOOL bBlock, MK_U32 u32TimeOut) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    TDE_ENDJOB_REQ_S req{s32Handle, 0, static_cast<MK_U32>(bBlock), u32TimeOut};
    return Send(fd, mk::tde::kEndJob, &req);
}

MK_S32 MK_TDE2_CancelJob(TDE_HANDLE s32Handle) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    TDE_HANDLE handle = s32Handle;
    return Send(fd, mk::tde::kCancelJob, &handle);
}

MK_S32 MK_TDE2_TwoSourceBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc1, const TDE2_RECT_S* pstSrc1Rect,
                             const TDE2_SURFACE_S* pstSrc2, const TDE2_RECT_S* pstSrc2Rect,
                             const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect, const TDE2_OPT_S* pstOpt) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    if (pstDst == nullptr || pstDstRect == nullptr) return MK_ERR_TDE_NULL_PTR;
    TDE_TWOSRC_REQ_S req{};
    req.s32Handle = s32Handle;
    Optional(pstSrc1, &req.stSrc1, TDE_ABSENT_SRC1, &req.u32Absent);
    Optional(pstSrc1Rect, &req.stSrc1Rect, TDE_ABSENT_SRC1_RECT, &req.u32Absent);
    Optional(pstSrc2, &req.stSrc2, TDE_ABSENT_SRC2, &req.u32Absent);
    Optional(pstSrc2Rect, &req.stSrc2Rect, TDE_ABSENT_SRC2_RECT, &req.u32Absent);
    req.stDst = *pstDst;
    req.stDstRect = *pstDstRect;
    Optional(pstOpt, &req.stOpt, TDE_ABSENT_OPT, &req.u32Absent);
    return Send(fd, mk::tde::kTwoSource, &req);
}

MK_S32 MK_TDE2_ParamBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                         const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect, const TDE2_PARAM_S* pstParam,
                         const TDE2_OPT_S* pstOpt) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    if (pstDst == nullptr || pstDstRect == nullptr) return MK_ERR_TDE_NULL_PTR;
    TDE_PARAM_REQ_S req{};
    req.s32Handle = s32Handle;
    Optional(pstSrc, &req.stSrc, TDE_ABSENT_SRC1, &req.u32Absent);
    Optional(pstSrcRect, &req.stSrcRect, TDE_ABSENT_SRC1_RECT, &req.u32Absent);
    req.stDst = *pstDst;
    req.stDstRect = *pstDstRect;
    Optional(pstParam, &req.stParam, TDE_ABSENT_PARAM, &req.u32Absent);
    Optional(pstOpt, &req.stOpt, TDE_ABSENT_OPT_PARAM, &req.u32Absent);
    return Send(fd, mk::tde::kParam, &req);
}

MK_S32 MK_TDE2_SimpleBlit4(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect) {
    return SimpleBlit<TDE_SIMPLE_REQ_S>(mk::tde::kCopy, s32Handle, pstSrc, pstSrcRect, pstDst, pstDstRect);
}

MK_S32 MK_TDE2_SimpleBlit5(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect) {
    return SimpleBlit<TDE_SIMPLE_REQ_S>(mk::tde::kScale, s32Handle, pstSrc, pstSrcRect, pstDst, pstDstRect);
}

MK_S32 MK_TDE2_SimpleBlit7(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect) {
    return SimpleBlit<TDE_SIMPLE_REQ_S>(mk::tde::kSimple7, s32Handle, pstSrc, pstSrcRect, pstDst, pstDstRect);
}

MK_S32 MK_TDE2_Bitblit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect,
                       MK_U32 u32FillData) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    if (pstDst == nullptr || pstDstRect == nullptr) return MK_ERR_TDE_NULL_PTR;
    TDE_FILL_REQ_S req{};
    req.s32Handle = s32Handle;
    req.stDst = *pstDst;
    req.stDstRect = *pstDstRect;
    req.u32FillData = u32FillData;
    return Send(fd, mk::tde::kFill, &req);
}

MK_S32 MK_TDE2_SpecialSourceBlit(TDE_HANDLE s32Handle, const TDE2_SPECIAL_SRC_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                                 const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect,
                                 const TDE2_SPECIAL_OPT_S* pstOpt) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    // The rectangles are copied like the rest, so they are required like the rest.
    if (pstSrc == nullptr || pstDst == nullptr || pstOpt == nullptr || pstSrcRect == nullptr || pstDstRect == nullptr)
        return MK_ERR_TDE_NULL_PTR;
    TDE_SPECIAL_REQ_S req{};
    req.s32Handle = s32Handle;
    req.stSrc = *pstSrc;
    req.stSrcRect = *pstSrcRect;
    req.stDst = *pstDst;
    req.stDstRect = *pstDstRect;
    req.stOpt = *pstOpt;
    return Send(fd, mk::tde::kSpecial, &req);
}

MK_S32 MK_TDE2_FourSurfaceBlit12(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                 const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                 const TDE2_RECT_S* pstR2, const TDE2_SURFACE_S* pstS3, const TDE2_RECT_S* pstR3,
                                 MK_U32 u32Word0, MK_U32 u32Word1) {
    const TDE2_SURFACE_S* const s[4] = {pstS0, pstS1, pstS2, pstS3};
    const TDE2_RECT_S* const r[4] = {pstR0, pstR1, pstR2, pstR3};
    return FourSurface(mk::tde::kFour12, s32Handle, s, r, u32Word0, u32Word1);
}

MK_S32 MK_TDE2_FourSurfaceBlit13(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                 const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                 const TDE2_RECT_S* pstR2, const TDE2_SURFACE_S* pstS3, const TDE2_RECT_S* pstR3,
                                 MK_U8 u8Byte, MK_U32 u32Word1) {
    const TDE2_SURFACE_S* const s[4] = {pstS0, pstS1, pstS2, pstS3};
    const TDE2_RECT_S* const r[4] = {pstR0, pstR1, pstR2, pstR3};
    return FourSurface(mk::tde::kFour13, s32Handle, s, r, u8Byte, u32Word1);
}

MK_S32 MK_TDE2_ThreeSurfaceBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                const TDE2_RECT_S* pstR2, const TDE2_MBOPT_S* pstOpt) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    TDE_THREE_REQ_S req{};
    req.s32Handle = s32Handle;
    const TDE2_SURFACE_S* const s[3] = {pstS0, pstS1, pstS2};
    const TDE2_RECT_S* const r[3] = {pstR0, pstR1, pstR2};
    for (int i = 0; i < 3; ++i) {
        Optional(s[i], &req.astSurface[i].stSurface, TDE_ABSENT_SRC1 << (2 * i), &req.u32Absent);
        Optional(r[i], &req.astSurface[i].stRect, TDE_ABSENT_SRC1_RECT << (2 * i), &req.u32Absent);
    }
    Optional(pstOpt, &req.stOpt, TDE_ABSENT_OPT, &req.u32Absent);
    return Send(fd, mk::tde::kThree, &req);
}

MK_S32 MK_TDE2_SetValue17(MK_U32 u32Value) {
    int fd = OpenFd();
    if (fd == -1) return MK_ERR_TDE_NOT_OPEN;
    if (u32Value > 3) return MK_ERR_TDE_OUT_OF_RANGE;
    MK_U32 value = u32Value;
    return Send(fd, mk::tde::kSetValue17, &value);
}

MK_S32 MK_TDE2_SetValue24(MK_U32 u32Value) {
    MK_U32 value = u32Value;
    return Send(Tde().fd.load(), mk::tde::kSetValue24, &value);
}

MK_S32 MK_TDE2_SubmitSurfaceList(TDE_HANDLE s32Handle, const TDE2_SURFACE_LIST_S* pstList) {
    if (s32Handle == MK_ERR_TDE_JOB_FAILED) {
        std::printf("Fail to create Job.\n");
        return MK_FAILURE;
    }
    if (pstList == nullptr) {
        std::printf("surface list is null!");
        return MK_FAILURE;
    }
    if (pstList->s32Count <= 0) return MK_SUCCESS;
    if (pstList->pstDst == nullptr || pstList->pstEntries == nullptr) {
        std::printf("surface list is null!");
        return MK_FAILURE;
    }
    const TDE2_SURFACE_S dst = *pstList->pstDst;
    for (MK_S32 i = 0; i < pstList->s32Count; ++i) {
        TDE2_SURFACE_LIST_ENTRY_S e;
        std::memset(&e, 0, sizeof e);
        e = pstList->pstEntries[i];
        MK_S32 ret = MK_TDE2_TwoSourceBlit(s32Handle, &dst, &e.stDstRect, &e.stSurface, &e.stSrcRect, &dst,
                                           &e.stDstRect, &e.stOpt);
        if (ret != MK_SUCCESS) {
            std::fprintf(stderr, "%d return error is 0x%x", i, static_cast<unsigned>(ret));
            MK_TDE2_CancelJob(s32Handle);
            return ret;
        }
    }
    return MK_SUCCESS;
}
