// The picture operations: one decompress object per picture in flight, from a table of 32, and the
// library calls of one picture with the library's fatal errors turned into return codes. Each object
// carries its own error manager; an operation points it at a jump buffer of its own frame, so objects
// used on different threads never share one.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <jerror.h>

#include "sdk/jpegd/internal/jpegd_internal.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"
#include "sdk/jpegd/mpi_jpegd.h"
#include "sdk/vdec/vdec_jpeg.h"

namespace {

struct ErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf* jump;
};

struct Slot {
    jpeg_decompress_struct cinfo;
    ErrorMgr err;
    bool used;
};

struct Objects {
    std::mutex mutex;  // guards used and count
    Slot slot[MK_JPEG_MAX_OBJECTS];
    int count;
};

Objects g_objects;

Slot* SlotOf(j_decompress_ptr obj) {
    for (Slot& s : g_objects.slot) {
        if (&s.cinfo == obj) return &s;
    }
    return nullptr;
}

// The library's message, then back into the operation.
[[noreturn]] void Leave(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(*reinterpret_cast<ErrorMgr*>(cinfo->err)->jump, 1);
}
[[noreturn]] void JPEG_CREATE_Error(j_common_ptr cinfo) { Leave(cinfo); }
[[noreturn]] void JPEG_PARE_Error(j_common_ptr cinfo) { Leave(cinfo); }
[[noreturn]] void JPEG_DEC_Error(j_common_ptr cinfo) { Leave(cinfo); }
[[noreturn]] void JPEG_DESTORY_Error(j_common_ptr cinfo) { Leave(cinfo); }
[[noreturn]] void JPEG_RESET_Error(j_common_ptr cinfo) { Leave(cinfo); }

// A standard error manager whose fatal errors jump to `jump`, for the length of one operation.
void InstallErrors(Slot* s, void (*handler)(j_common_ptr), std::jmp_buf* jump) {
    mk_jpeg_std_error(&s->err.pub);
    s->err.pub.error_exit = handler;
    s->err.jump = jump;
    s->cinfo.err = &s->err.pub;
}

// Runs `body` on the slot's object; a fatal error of the library inside it gives kFatal. The one place
// that sets a jump, kept apart so that nothing of the caller's frame lives across it.
constexpr int kFatal = -2;
template <typename Body>
__attribute__((noinline)) int Guarded(Slot* s, void (*handler)(j_common_ptr), Body& body) {
    std::jmp_buf jump;
    InstallErrors(s, handler, &jump);
    if (setjmp(jump) != 0) return kFatal;
    return body(&s->cinfo);
}

void Failure(const char* op, int line) { std::printf("======== %s failure[LINE:%d]\n", op, line); }

// The slot of a live object, or null.
Slot* LiveSlot(j_decompress_ptr obj) {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    Slot* s = SlotOf(obj);
    return s != nullptr && s->used ? s : nullptr;
}

// A free slot, marked used; null when all are.
Slot* TakeSlot() {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    for (Slot& s : g_objects.slot) {
        if (!s.used) {
            s.used = true;
            return &s;
        }
    }
    return nullptr;
}

void GiveSlot(Slot* s, bool counted) {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    s->used = false;
    if (counted) --g_objects.count;
}

// The decode proper, inside the guard.
int Decode(j_decompress_ptr obj, const MK_JPEG_FRAMEBUF_S& fb, MK_JPEG_DECRESULT_S* result) {
    obj->scale_num = 1;
    obj->scale_denom = 1;
    MK_JPEG_IMAGEINFO_S info{};
    JPEG_HDEC_GetImageInfo(obj, &info);
    const MK_U32 format = info.au32Word[MK_JPEG_INFO_FORMAT];
    result->u32Format = format;
    if (format > JPEGD_FMT_MAX_DECODED) {
        result->u32Format = JPEGD_FRAME_FORMAT_NONE;
        mk_jpeg_abort(obj);
        return MK_FAILURE;
    }

    mk_jpeg_set_out_color_space(obj, MK_JCS_YUV420_SP);
    JPEG_HDEC_SetFlagA(obj, MK_TRUE);
    JPEG_HDEC_SetFlagB(obj, MK_TRUE);
    info = MK_JPEG_IMAGEINFO_S{};
    info.au32Word[MK_JPEG_INFO_CALC_OUTPUT] = 1;
    JPEG_HDEC_GetImageInfo(obj, &info);
    const MK_U32 lumaSize = info.au32Word[MK_JPEG_INFO_SIZE];
    const MK_U32 lumaStride = info.au32Word[MK_JPEG_INFO_STRIDE];
    const MK_U32 chromaStride = info.au32Word[MK_JPEG_INFO_CHROMA_STRIDE];
    // A grey picture's chroma is filled afterwards, one luma stride per row.
    const MK_U64 chromaNeed = format == JPEGD_FMT_YUV400 ? static_cast<MK_U64>(lumaStride) * ((obj->image_height + 1) / 2)
                                                         : info.au32Word[MK_JPEG_INFO_CHROMA_SIZE];
    if (static_cast<MK_U64>(lumaSize) + chromaNeed > fb.u32Size) {
        // Decoding would write past the frame buffer.
        Failure("MK_JPEG_Decode", 309);
        mk_jpeg_abort(obj);
        return MK_FAILURE;
    }

    MK_JPEG_OUTDESC_S desc{};
    desc.au32PhyAddr[0] = fb.u32PhyAddr;
    desc.au32PhyAddr[1] = fb.u32PhyAddr + lumaSize;
    desc.apu8VirAddr[0] = fb.pu8VirAddr;
    desc.apu8VirAddr[1] = fb.pu8VirAddr + lumaSize;
    desc.au32Stride[0] = lumaStride;
    desc.au32Stride[1] = chromaStride;
    desc.bDirect = MK_TRUE;
    if (MK_JPEG_SetOutDesc(obj, &desc) != MK_SUCCESS) {
        std::printf("MK_JPEG_SetOutDesc failure[LINE:%d]\n", 367);
        mk_jpeg_abort(obj);
        return MK_FAILURE;
    }

    mk_jpeg_start_decompress(obj);
    while (obj->output_scanline < obj->output_height) {
        if (mk_jpeg_read_scanlines(obj, nullptr, 1) != 1) break;
    }
    JPEG_HDEC_GetPair(obj, result->au32Result);
    result->u32OutWidth = obj->output_width;
    result->u32OutHeight = obj->output_height;
    mk_jpeg_finish_decompress(obj);
    mk_jpeg_abort(obj);

    result->u32LumaPhyAddr = desc.au32PhyAddr[0];
    result->pu8LumaVirAddr = desc.apu8VirAddr[0];
    result->u32LumaStride = lumaStride;
    result->u32ChromaPhyAddr = desc.au32PhyAddr[1];
    result->pu8ChromaVirAddr = desc.apu8VirAddr[1];
    result->u32ChromaStride = chromaStride;
    return MK_SUCCESS;
}

}  // namespace

// The count of objects is zeroed before main, and the decode channels offered to the video decoder.
__attribute__((constructor)) static void JPEG_DecCountInit() {
    g_objects.count = 0;
    MPI_VDEC_SetJpegOps(&mk::jpegd::kJpegdOps);
}

__attribute__((destructor)) static void JPEG_DecCountDeInit() { g_objects.count = 0; }

MK_S32 MK_JPEG_Create(j_decompress_ptr* ppObject) {
    Slot* s = ppObject != nullptr ? TakeSlot() : nullptr;
    if (s == nullptr) {
        Failure("MK_JPEG_Create", 118);
        return MK_FAILURE;
    }
    std::memset(&s->cinfo, 0, sizeof(s->cinfo));
    auto body = [](j_decompress_ptr obj) {
        mk_jpeg_CreateDecompress(obj, 62, sizeof(*obj));
        return MK_SUCCESS;
    };
    if (Guarded(s, JPEG_CREATE_Error, body) != MK_SUCCESS) {
        Failure("MK_JPEG_Create", 118);
        GiveSlot(s, false);
        return MK_FAILURE;
    }
    {
        std::lock_guard<std::mutex> lock(g_objects.mutex);
        ++g_objects.count;
    }
    *ppObject = &s->cinfo;
    return MK_SUCCESS;
}

MK_S32 MK_JPEG_Destroy(j_decompress_ptr pObject) {
    // An object that is not live is refused, so the count never falls below the objects in use.
    Slot* s = LiveSlot(pObject);
    if (s == nullptr) {
        Failure("MK_JPEG_Destroy", 151);
        return MK_FAILURE;
    }
    auto body = [](j_decompress_ptr obj) {
        mk_jpeg_destroy_decompress(obj);
        return MK_SUCCESS;
    };
    const int ret = Guarded(s, JPEG_DESTORY_Error, body);
    if (ret != MK_SUCCESS) Failure("MK_JPEG_Destroy", 159);
    GiveSlot(s, true);
    return ret == MK_SUCCESS ? MK_SUCCESS : MK_FAILURE;
}

MK_S32 MK_JPEG_ResetDec(j_decompress_ptr pObject) {
    Slot* s = LiveSlot(pObject);
    if (s == nullptr) {
        Failure("MK_JPEG_ResetDec", 184);
        return MK_FAILURE;
    }
    auto body = [](j_decompress_ptr obj) {
        mk_jpeg_abort(obj);
        return MK_SUCCESS;
    };
    if (Guarded(s, JPEG_RESET_Error, body) != MK_SUCCESS) {
        Failure("MK_JPEG_ResetDec", 192);
        return MK_FAILURE;
    }
    return MK_SUCCESS;
}

MK_S32 MK_JPEG_Parse(j_decompress_ptr pObject, MK_U32 u32WorkPhyAddr, MK_U32 u32WorkLen, MK_U32 u32StreamPhyAddr,
                     const MK_U8* pu8Vir1, const MK_U8* pu8Vir2, MK_U32 u32Len1, MK_U32 u32Len2) {
    Slot* s = LiveSlot(pObject);
    if (s == nullptr) {
        Failure("MK_JPEG_Parse", 229);
        return MK_FAILURE;
    }
    auto body = [&](j_decompress_ptr obj) {
        JPEG_HDEC_SetStreamBuf(obj, u32StreamPhyAddr);
        if (MK_JPEG_SetBufInfo(obj, u32WorkPhyAddr, u32WorkLen, pu8Vir2, u32Len2, u32Len2 != 0 ? MK_TRUE : MK_FALSE) !=
            MK_SUCCESS) {
            Failure("MK_JPEG_SetBufInfo", 258);
            return MK_FAILURE;
        }
        mk_jpeg_mem_stream_src(obj, pu8Vir1, u32Len1);
        mk_jpeg_read_header(obj, TRUE);
        return MK_SUCCESS;
    };
    const int ret = Guarded(s, JPEG_PARE_Error, body);
    if (ret == kFatal) {
        Failure("MK_JPEG_Parse", 237);
        Failure("MK_JPEG_Parse", 269);
        mk_jpeg_abort(pObject);
    }
    return ret == MK_SUCCESS ? MK_SUCCESS : MK_FAILURE;
}

MK_S32 MK_JPEG_GetImageInfo(j_decompress_ptr pObject, MK_U32 au32Info[3]) {
    if (pObject == nullptr || au32Info == nullptr) return MK_FAILURE;
    MK_JPEG_IMAGEINFO_S info{};
    if (JPEG_HDEC_GetImageInfo(pObject, &info) != MK_SUCCESS) return MK_FAILURE;
    au32Info[0] = info.au32Word[MK_JPEG_INFO_WIDTH];
    au32Info[1] = info.au32Word[MK_JPEG_INFO_HEIGHT];
    au32Info[2] = info.au32Word[MK_JPEG_INFO_FORMAT];
    return MK_SUCCESS;
}

MK_S32 MK_JPEG_Decode(j_decompress_ptr pObject, const MK_JPEG_FRAMEBUF_S* pstFrameBuf, MK_JPEG_DECRESULT_S* pstResult) {
    Slot* s = LiveSlot(pObject);
    if (s == nullptr || pstFrameBuf == nullptr || pstResult == nullptr) {
        Failure("MK_JPEG_Decode", 300);
        return MK_FAILURE;
    }
    *pstResult = MK_JPEG_DECRESULT_S{};
    auto body = [&](j_decompress_ptr obj) { return Decode(obj, *pstFrameBuf, pstResult); };
    const int ret = Guarded(s, JPEG_DEC_Error, body);
    if (ret == kFatal) {
        Failure("MK_JPEG_Decode", 309);
        mk_jpeg_abort(pObject);
    }
    return ret == MK_SUCCESS ? MK_SUCCESS : MK_FAILURE;
}

MK_S32 MK_JPEG_LiveCount(MK_VOID) {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    return g_objects.count;
}
