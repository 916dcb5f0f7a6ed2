#include "platform/drivers/vdec/vdec_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/macros.h>
}

#include "sdk/common/mk_comm_video.h"

namespace varnelle::drivers::vdec {
namespace {

AVCodecID CodecOf(uint32_t payloadType) {
    switch (payloadType) {
        case PT_H264: return AV_CODEC_ID_H264;
        case PT_H265: return AV_CODEC_ID_HEVC;
        default: return AV_CODEC_ID_NONE;
    }
}

// libavcodec's complaints about damaged streams would flood the log: they are counted instead. The
// offset moves a context's messages below the default level.
constexpr int kQuietLogOffset = AV_LOG_DEBUG;
// What the decoder adds to a picture's sides for its own alignment, at the most.
constexpr uint32_t kPad = 128;

}  // namespace

namespace {

// The output goes to pool blocks that the decoder does not read again: streaming stores keep its
// reference pictures in the cache, which plain copies of every picture would push out.
#if defined(__SSE2__)
void StreamRow(uint8_t* dst, const uint8_t* src, uint32_t n) {
    uint32_t x = 0;
    if ((reinterpret_cast<uintptr_t>(dst) & 15) == 0) {
        for (; x + 16 <= n; x += 16) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + x),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x)));
        }
    }
    std::memcpy(dst + x, src + x, n - x);
}

// Cr/Cb pairs from the two planes; `n` pairs.
void StreamPairs(uint8_t* dst, const uint8_t* cr, const uint8_t* cb, uint32_t n) {
    uint32_t x = 0;
    if ((reinterpret_cast<uintptr_t>(dst) & 15) == 0) {
        for (; x + 16 <= n; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
            const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_unpacklo_epi8(v, u));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), _mm_unpackhi_epi8(v, u));
        }
    }
    for (; x < n; ++x) {
        dst[2 * x] = cr[x];
        dst[2 * x + 1] = cb[x];
    }
}

void StreamDone() { _mm_sfence(); }
#else
void StreamRow(uint8_t* dst, const uint8_t* src, uint32_t n) { std::memcpy(dst, src, n); }

void StreamPairs(uint8_t* dst, const uint8_t* cr, const uint8_t* cb, uint32_t n) {
    for (uint32_t x = 0; x < n; ++x) {
        dst[2 * x] = cr[x];
        dst[2 * x + 1] = cb[x];
    }
}

void StreamDone() {}
#endif

void WriteChromaRows(const Picture& pic, uint8_t* vu, uint32_t vuStride) {
    const uint32_t cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
    for (uint32_t row = 0; row < ch; ++row) {
        StreamPairs(vu + static_cast<size_t>(row) * vuStride, pic.plane[2] + static_cast<ptrdiff_t>(row) * pic.stride[2],
                    pic.plane[1] + static_cast<ptrdiff_t>(row) * pic.stride[1], cw);
    }
}

}  // namespace

void WritePictureNv21(const Picture& pic, uint8_t* y, uint32_t yStride, uint8_t* vu, uint32_t vuStride) {
    for (uint32_t row = 0; row < pic.height; ++row) {
        StreamRow(y + static_cast<size_t>(row) * yStride, pic.plane[0] + static_cast<ptrdiff_t>(row) * pic.stride[0],
                  pic.width);
    }
    WriteChromaRows(pic, vu, vuStride);
    StreamDone();
}

void WriteChromaNv21(const Picture& pic, uint8_t* vu, uint32_t vuStride) {
    WriteChromaRows(pic, vu, vuStride);
    StreamDone();
}

struct VideoDecoder::Impl {
    // A block lent for one picture, until libavcodec lets go of the picture.
    struct Lent {
        Impl* impl;
        OutBlock block;
    };

    AVCodecID codecId = AV_CODEC_ID_NONE;
    AVCodecContext* ctx = nullptr;
    AVCodecParserContext* parser = nullptr;  // stream mode only
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    uint32_t maxWidth = 0;
    uint32_t maxHeight = 0;
    size_t maxFrameBytes = 0;
    bool streamMode = false;
    // Frame mode: the bytes of the frame that is not complete yet.
    std::vector<uint8_t> pending;
    uint64_t pendingPts = 0;
    // Stream mode: the packet being parsed, padded.
    std::vector<uint8_t> padded;
    // Pictures in pool blocks: where the blocks come from, the ones lent by their luma address, and
    // the decoder's chroma planes of those pictures.
    BlockFn blocks;
    std::unordered_map<const uint8_t*, Lent*> lent;
    // The decoder's own memory for what lies in no block: the luma when no block is free, and the
    // chroma planes. One layout for all: the decoder predicts from every picture with the strides of
    // the one it decodes.
    AVBufferPool* lumaPool = nullptr;
    AVBufferPool* chromaPool = nullptr;
    size_t lumaSize = 0;
    size_t chromaSize = 0;

    ~Impl() {
        // The pictures go first: their blocks come back through FreeLent while this still stands.
        av_frame_free(&frame);
        av_parser_close(parser);
        avcodec_free_context(&ctx);
        av_packet_free(&pkt);
        av_buffer_pool_uninit(&lumaPool);
        av_buffer_pool_uninit(&chromaPool);
    }

    // A pool of buffers of `size` bytes, made anew when the size changes (the old one goes once its
    // buffers have come back).
    static AVBufferRef* FromPool(AVBufferPool** pool, size_t* poolSize, size_t size) {
        if (*poolSize != size) {
            av_buffer_pool_uninit(pool);
            *pool = av_buffer_pool_init(size, nullptr);
            *poolSize = *pool != nullptr ? size : 0;
        }
        return *pool != nullptr ? av_buffer_pool_get(*pool) : nullptr;
    }

    static void FreeLent(void* opaque, uint8_t* data) {
        auto* l = static_cast<Lent*>(opaque);
        l->impl->lent.erase(data);
        delete l;
    }

    // libavcodec's picture buffers for 4:2:0: the luma in a pool block when one is free, else in our
    // own memory, as the chroma planes are. Other formats (which never come out) get libavcodec's.
    static int GetBuffer(AVCodecContext* ctx, AVFrame* f, int flags) {
        Impl& d = *static_cast<Impl*>(ctx->opaque);
        if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) {
            return avcodec_default_get_buffer2(ctx, f, flags);
        }
        int w = f->width, h = f->height;
        int align[AV_NUM_DATA_POINTERS];
        avcodec_align_dimensions2(ctx, &w, &h, align);
        const uint64_t stride = FFALIGN(static_cast<uint64_t>(w), static_cast<uint64_t>(align[0]));
        const uint64_t rows = FFALIGN(static_cast<uint64_t>(f->height), 2);
        // The decoder may read a few rows past the picture: they must lie in the block too.
        const uint64_t size = std::max(stride * rows * 3 / 2, stride * static_cast<uint64_t>(h));
        const uint64_t cstride = FFALIGN(static_cast<uint64_t>((w + 1) / 2), static_cast<uint64_t>(align[1]));
        const uint64_t plane = cstride * static_cast<uint64_t>((h + 1) / 2) + 64;
        if (size > UINT32_MAX || 2 * plane > INT32_MAX) return AVERROR(EINVAL);
        AVBufferRef* chroma = FromPool(&d.chromaPool, &d.chromaSize, static_cast<size_t>(2 * plane));
        if (chroma == nullptr) return AVERROR(ENOMEM);
        std::optional<OutBlock> block =
            d.blocks(static_cast<uint32_t>(stride), static_cast<uint32_t>(rows), static_cast<uint32_t>(size));
        AVBufferRef* luma = nullptr;
        Lent* l = nullptr;
        if (block) {
            l = new Lent{&d, std::move(*block)};
            luma = av_buffer_create(l->block.base, static_cast<size_t>(size), FreeLent, l, 0);
            if (luma == nullptr) {
                delete l;
                l = nullptr;
            }
        }
        if (luma == nullptr) luma = FromPool(&d.lumaPool, &d.lumaSize, static_cast<size_t>(size + 64));
        if (luma == nullptr) {
            av_buffer_unref(&chroma);
            return AVERROR(ENOMEM);
        }
        if (l != nullptr) d.lent[l->block.base] = l;
        f->buf[0] = luma;
        f->buf[1] = chroma;
        f->data[0] = luma->data;
        f->data[1] = chroma->data;
        f->data[2] = chroma->data + plane;
        f->linesize[0] = static_cast<int>(stride);
        f->linesize[1] = f->linesize[2] = static_cast<int>(cstride);
        f->extended_data = f->data;
        return 0;
    }

    // Gives out the pictures the decoder has ready. False when the callback stopped the feed.
    bool Receive(const PictureFn& out, uint32_t* errors) {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            const bool go = Emit(out, errors);
            av_frame_unref(frame);
            if (!go) return false;
        }
        return true;
    }

    bool Emit(const PictureFn& out, uint32_t* errors) {
        const bool yuv420 = frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P;
        if (!yuv420 || frame->width <= 0 || frame->height <= 0 || static_cast<uint32_t>(frame->width) > maxWidth ||
            static_cast<uint32_t>(frame->height) > maxHeight) {
            ++*errors;
            return true;
        }
        if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++*errors;
        Picture pic{};
        pic.width = static_cast<uint32_t>(frame->width);
        pic.height = static_cast<uint32_t>(frame->height);
        for (int i = 0; i < 3; ++i) {
            pic.plane[i] = frame->data[i];
            pic.stride[i] = frame->linesize[i];
        }
        pic.pts = frame->pts == AV_NOPTS_VALUE ? 0 : static_cast<uint64_t>(frame->pts);
        if (frame->buf[0] != nullptr) {
            auto it = lent.find(frame->buf[0]->data);
            if (it != lent.end()) pic.block = &it->second->block;
        }
        return out(pic);
    }

    // One whole frame to the decoder. False when the callback stopped the feed. Without `buf` the
    // packet is not reference-counted and libavcodec copies it; with it (the buffer `data` lies in,
    // padded), libavcodec takes a reference instead.
    bool Decode(const uint8_t* data, size_t len, uint64_t pts, const PictureFn& out, uint32_t* errors,
                AVBufferRef* buf = nullptr) {
        if (len == 0) return true;
        if (len > INT32_MAX) {
            ++*errors;
            return true;
        }
        pkt->buf = buf;  // lent: the caller keeps its reference
        pkt->data = const_cast<uint8_t*>(data);
        pkt->size = static_cast<int>(len);
        pkt->pts = static_cast<int64_t>(pts);
        int ret = avcodec_send_packet(ctx, pkt);
        if (ret == AVERROR(EAGAIN)) {
            // Pictures still waiting: take them, then the frame goes in.
            if (!Receive(out, errors)) {
                pkt->buf = nullptr;
                pkt->data = nullptr;
                pkt->size = 0;
                return false;
            }
            ret = avcodec_send_packet(ctx, pkt);
        }
        pkt->buf = nullptr;
        pkt->data = nullptr;
        pkt->size = 0;
        if (ret < 0) ++*errors;
        return Receive(out, errors);
    }

    // End of stream: every picture held back comes out, then the decoder takes a new stream.
    bool Drain(const PictureFn& out, uint32_t* errors) {
        bool go = true;
        if (avcodec_send_packet(ctx, nullptr) == 0) go = Receive(out, errors);
        avcodec_flush_buffers(ctx);
        return go;
    }

    bool OpenParser() {
        av_parser_close(parser);
        parser = av_parser_init(codecId);
        return parser != nullptr;
    }

    bool FeedStream(const uint8_t* data, size_t len, uint64_t pts, bool endOfStream, const PictureFn& out,
                    uint32_t* errors) {
        // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past what it is given: it gets a
        // copy with zeroed padding, never the caller's bytes.
        padded.assign(data, data + len);
        padded.resize(len + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        data = padded.data();
        while (len > 0) {
            uint8_t* frameData = nullptr;
            int frameLen = 0;
            const int chunk = static_cast<int>(std::min<size_t>(len, INT32_MAX));
            const int used = av_parser_parse2(parser, ctx, &frameData, &frameLen, data, chunk,
                                              static_cast<int64_t>(pts), static_cast<int64_t>(pts), 0);
            if (used < 0) {
                ++*errors;
                break;
            }
            data += used;
            len -= static_cast<size_t>(used);
            if (frameLen > 0 && !Decode(frameData, static_cast<size_t>(frameLen), static_cast<uint64_t>(parser->pts), out,
                                        errors)) {
                return false;
            }
        }
        if (endOfStream) {
            // The parser gives its last frame only when told that nothing follows.
            uint8_t* frameData = nullptr;
            int frameLen = 0;
            av_parser_parse2(parser, ctx, &frameData, &frameLen, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (frameLen > 0 && !Decode(frameData, static_cast<size_t>(frameLen), static_cast<uint64_t>(parser->pts), out,
                                        errors)) {
                return false;
            }
            if (!OpenParser()) ++*errors;
        }
        return true;
    }
};

bool VideoDecoder::Supports(uint32_t payloadType) { return CodecOf(payloadType) != AV_CODEC_ID_NONE; }

std::unique_ptr<VideoDecoder> VideoDecoder::Create(uint32_t payloadType, uint32_t maxWidth, uint32_t maxHeight,
                                                   size_t maxFrameBytes, bool streamMode, BlockFn blocks) {
    auto impl = std::make_unique<Impl>();
    impl->codecId = CodecOf(payloadType);
    const AVCodec* codec = avcodec_find_decoder(impl->codecId);
    if (codec == nullptr) return nullptr;
    impl->ctx = avcodec_alloc_context3(codec);
    impl->pkt = av_packet_alloc();
    impl->frame = av_frame_alloc();
    if (impl->ctx == nullptr || impl->pkt == nullptr || impl->frame == nullptr) return nullptr;
    impl->maxWidth = maxWidth;
    impl->maxHeight = maxHeight;
    impl->maxFrameBytes = maxFrameBytes;
    impl->streamMode = streamMode;
    // One thread per channel: the channels decode side by side, each on its own.
    impl->ctx->thread_count = 1;
    impl->ctx->log_level_offset = kQuietLogOffset;
    // Far larger pictures are refused as soon as their parameter sets say so, before any memory is
    // spent; the check covers the decoder's padded size, so the exact limit is Emit's.
    impl->ctx->max_pixels = static_cast<int64_t>(maxWidth + kPad) * (maxHeight + kPad);
    if (blocks) {
        impl->blocks = std::move(blocks);
        impl->ctx->opaque = impl.get();
        impl->ctx->get_buffer2 = Impl::GetBuffer;
    }
    if (avcodec_open2(impl->ctx, codec, nullptr) < 0) return nullptr;
    if (streamMode && !impl->OpenParser()) return nullptr;
    return std::unique_ptr<VideoDecoder>(new VideoDecoder(std::move(impl)));
}

VideoDecoder::VideoDecoder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

VideoDecoder::~VideoDecoder() = default;

uint32_t VideoDecoder::Feed(const uint8_t* data, size_t len, uint64_t pts, bool endOfFrame, bool endOfStream,
                            const PictureFn& out) {
    Impl& d = *m_impl;
    uint32_t errors = 0;
    if (d.streamMode) {
        if (d.FeedStream(data, len, pts, endOfStream, out, &errors) && endOfStream) d.Drain(out, &errors);
        return errors;
    }
    bool go = true;
    if (d.pending.empty() && (endOfFrame || endOfStream)) {
        go = d.Decode(data, len, pts, out, &errors);
    } else if (d.pending.size() + len > d.maxFrameBytes) {
        // A frame that never ends: what came of it is dropped, and its end with it.
        ++errors;
        d.pending.clear();
    } else {
        if (d.pending.empty()) d.pendingPts = pts;
        d.pending.insert(d.pending.end(), data, data + len);
        if (endOfFrame || endOfStream) {
            go = d.Decode(d.pending.data(), d.pending.size(), d.pendingPts, out, &errors);
            d.pending.clear();
        }
    }
    if (go && endOfStream) d.Drain(out, &errors);
    return errors;
}

namespace {

void FreeOwnedPacket(void* opaque, uint8_t*) { delete static_cast<std::vector<uint8_t>*>(opaque); }

}  // namespace

uint32_t VideoDecoder::Feed(std::vector<uint8_t>* packet, size_t len, uint64_t pts, bool endOfFrame, bool endOfStream,
                            const PictureFn& out) {
    static_assert(kPadding >= AV_INPUT_BUFFER_PADDING_SIZE);
    Impl& d = *m_impl;
    const bool inPlace = !d.streamMode && d.pending.empty() && (endOfFrame || endOfStream) && len > 0 &&
                         len <= INT32_MAX && packet->size() >= len + kPadding;
    if (!inPlace) return Feed(packet->data(), std::min(len, packet->size()), pts, endOfFrame, endOfStream, out);
    // The buffer goes to a reference of libavcodec's for the time of the decode, and comes back when
    // libavcodec has let go of the frame (it does once the frame is decoded).
    auto* owned = new std::vector<uint8_t>(std::move(*packet));
    AVBufferRef* ref = av_buffer_create(owned->data(), owned->size(), FreeOwnedPacket, owned, 0);
    if (ref == nullptr) {
        *packet = std::move(*owned);
        delete owned;
        return Feed(packet->data(), len, pts, endOfFrame, endOfStream, out);
    }
    uint32_t errors = 0;
    const bool go = d.Decode(ref->data, len, pts, out, &errors, ref);
    if (go && endOfStream) d.Drain(out, &errors);
    if (av_buffer_get_ref_count(ref) == 1) *packet = std::move(*owned);
    av_buffer_unref(&ref);  // frees `owned` now, or when libavcodec lets go
    return errors;
}

size_t VideoDecoder::BlocksLent() const { return m_impl->lent.size(); }

void VideoDecoder::Reset() {
    Impl& d = *m_impl;
    d.pending.clear();
    avcodec_flush_buffers(d.ctx);
    if (d.streamMode) d.OpenParser();
}

}  // namespace varnelle::drivers::vdec
