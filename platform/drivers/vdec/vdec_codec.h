// The decoding engine of the H.264 and H.265 channels of /dev/vdec: libavcodec behind a small
// interface. Bytes go in as the channel receives them; pictures come out in display order through a
// callback, 8-bit 4:2:0 only (what the chip's decoder puts out).
//
// Frame mode: the bytes of a frame may come in several packets; the packet with end of frame (or end
// of stream) completes it. Stream mode: the bytes are cut into frames by libavcodec's parser. End of
// stream gives out every picture the decoder still holds back for reordering, and the next bytes
// start a new stream.
//
// Where the caller offers pool blocks (BlockFn), the decoder writes each picture's luma straight into
// one, as the chip's decoder does, and keeps the block while the picture serves as a reference; the
// caller then only adds the chroma as Cr/Cb pairs after the luma (WriteChromaNv21). A picture the
// decoder could not place in a block is copied whole (WritePictureNv21).
//
// Errors: a frame the decoder refuses, a picture it reports damaged (it still comes out, concealed, as
// the chip shows it), and a picture of another format or larger than the channel's largest size
// (which does not come out) each count one error. Not thread-safe: one thread feeds a decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/drivers/core/video_frames.h"

namespace varnelle::drivers::vdec {

// A pool block lent to the decoder for one picture: `rows` rows of luma of `stride` bytes from its
// start, then room for as many bytes again in half the rows (the NV21 chroma).
struct OutBlock {
    HeldFrame frame;  // holds the block; its record gives the block's address and pool
    uint8_t* base;    // the block in this process
    uint32_t stride;
    uint32_t rows;
};

// A decoded picture, valid during the callback only: planes Y, Cb, Cr with their strides, and the
// block that holds its luma (null when it lies in the decoder's own memory).
struct Picture {
    uint32_t width;
    uint32_t height;
    const uint8_t* plane[3];
    int stride[3];
    uint64_t pts;
    const OutBlock* block;
};

// Writes `pic` as semi-planar 4:2:0 with Cr before Cb (NV21): `height` rows of luma at `y`, then
// (height + 1) / 2 rows of Cr/Cb pairs at `vu`.
void WritePictureNv21(const Picture& pic, uint8_t* y, uint32_t yStride, uint8_t* vu, uint32_t vuStride);
// Only the Cr/Cb pairs.
void WriteChromaNv21(const Picture& pic, uint8_t* vu, uint32_t vuStride);

class VideoDecoder {
public:
    // Called for each picture; false stops the feed (the rest of the packet's pictures are dropped).
    using PictureFn = std::function<bool(const Picture&)>;
    // A free block of at least `size` bytes for a picture of `stride` x `rows` luma, at once, or
    // nothing (the picture then goes to the decoder's own memory).
    using BlockFn = std::function<std::optional<OutBlock>(uint32_t stride, uint32_t rows, uint32_t size)>;

    // A decoder for payload type 96 (H.264) or 265 (H.265) that puts out pictures of at most
    // maxWidth x maxHeight and, in frame mode, takes frames of at most maxFrameBytes (the bytes of a
    // longer one are dropped, one error); null for another type or when libavcodec cannot open it.
    static std::unique_ptr<VideoDecoder> Create(uint32_t payloadType, uint32_t maxWidth, uint32_t maxHeight,
                                                size_t maxFrameBytes, bool streamMode, BlockFn blocks = {});
    static bool Supports(uint32_t payloadType);
    // Gives back every block still lent (the caller's pools must outlive it).
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Zero bytes the decoder may read past a packet's end.
    static constexpr size_t kPadding = 64;

    // Feeds one packet; the errors it brought (see above).
    uint32_t Feed(const uint8_t* data, size_t len, uint64_t pts, bool endOfFrame, bool endOfStream,
                  const PictureFn& out);
    // The same for a packet in a buffer of the caller's: its `len` bytes followed by at least kPadding
    // zero bytes. A whole frame is decoded where it lies, without a copy; the buffer comes back in
    // `*packet`, or stays with libavcodec (`*packet` empty) if it still holds the frame.
    uint32_t Feed(std::vector<uint8_t>* packet, size_t len, uint64_t pts, bool endOfFrame, bool endOfStream,
                  const PictureFn& out);
    // Forgets the stream: bytes of an unfinished frame and pictures held back are dropped, and the
    // blocks of its pictures given back.
    void Reset();
    // Blocks lent to the decoder now (its reference pictures).
    size_t BlocksLent() const;

private:
    struct Impl;
    explicit VideoDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace varnelle::drivers::vdec
