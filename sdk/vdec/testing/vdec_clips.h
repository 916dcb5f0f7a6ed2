// Test helpers for the video decoder: clips made by ffmpeg from its test source, ffmpeg's own decode
// of them as one MD5 per frame (its framemd5 format), the clips cut into frames by libavcodec's parser,
// and the same MD5 of a decoded NV21 frame. Tools run in a directory of the test's own (jpeg_tools.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/md5.h>
}

#include "platform/mem/ram.h"
#include "sdk/common/mk_comm_video.h"
#include "sdk/jpegd/testing/jpeg_tools.h"

namespace mk::vdec::testing {

using mk::jpegd::testing::Bytes;

struct ClipSpec {
    const char* codec;  // ffmpeg's encoder: libx264 or libx265
    uint32_t width;
    uint32_t height;
    uint32_t frames;
    uint32_t gop;
    const char* extra = "";  // further encoder options
};

// testsrc at 25 frames per second, encoded as an Annex-B elementary stream.
inline Bytes MakeClip(const ClipSpec& c) {
    using namespace mk::jpegd::testing;
    const std::string out = Fresh(std::string(c.codec) == "libx265" ? ".h265" : ".h264");
    const std::string params = std::string(c.codec) == "libx265" ? " -x265-params log-level=error" : "";
    Run("ffmpeg -v error -f lavfi -i testsrc=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
        ":rate=25 -frames:v " + std::to_string(c.frames) + " -c:v " + c.codec + " -g " + std::to_string(c.gop) +
        params + " -pix_fmt yuv420p " + c.extra + " -y " + out);
    Bytes clip = ReadFile(out);
    std::filesystem::remove(out);
    return clip;
}

// ffmpeg's decode of a clip: the MD5 of each frame in its own order, as framemd5 writes them.
inline std::vector<std::string> FfmpegFrameMd5(const Bytes& clip, bool h265) {
    using namespace mk::jpegd::testing;
    const std::string in = Fresh(h265 ? ".h265" : ".h264"), out = Fresh(".md5");
    WriteFile(in, clip);
    Run("ffmpeg -v error -i " + in + " -f framemd5 -y " + out);
    std::vector<std::string> md5;
    std::ifstream f(out);
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#') continue;
        md5.push_back(line.substr(line.rfind(',') + 1));
        md5.back().erase(0, md5.back().find_first_not_of(' '));
    }
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return md5;
}

// The clip cut into access units, in decode order.
inline std::vector<Bytes> SplitFrames(const Bytes& clip, bool h265) {
    const AVCodecID id = h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    AVCodecParserContext* parser = av_parser_init(id);
    AVCodecContext* ctx = avcodec_alloc_context3(avcodec_find_decoder(id));
    std::vector<Bytes> frames;
    const uint8_t* p = clip.data();
    size_t left = clip.size();
    for (;;) {
        uint8_t* out = nullptr;
        int outLen = 0;
        const int used = av_parser_parse2(parser, ctx, &out, &outLen, left ? p : nullptr, static_cast<int>(left),
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (outLen > 0) frames.emplace_back(out, out + outLen);
        if (left == 0) break;
        p += used;
        left -= static_cast<size_t>(used);
    }
    avcodec_free_context(&ctx);
    av_parser_close(parser);
    return frames;
}

// A frame's planes as planar 4:2:0 (Y, then Cb, then Cr), read from its NV21 planes in RAM.
inline Bytes Yuv420pOf(const VIDEO_FRAME_INFO_S& f) {
    const uint32_t w = f.u32Width, h = f.u32Height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    const varnelle::mem::Ram& ram = varnelle::mem::Ram::Local();
    Bytes out(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
    for (uint32_t y = 0; y < h; ++y) {
        if (!ram.Read(f.u32PhyAddr[0] + y * f.u32Stride[0], out.data() + static_cast<size_t>(y) * w, w)) return {};
    }
    uint8_t* cb = out.data() + static_cast<size_t>(w) * h;
    uint8_t* cr = cb + static_cast<size_t>(cw) * ch;
    Bytes row(2 * static_cast<size_t>(cw));
    for (uint32_t y = 0; y < ch; ++y) {
        if (!ram.Read(f.u32PhyAddr[1] + y * f.u32Stride[1], row.data(), row.size())) return {};
        for (uint32_t x = 0; x < cw; ++x) {
            cr[static_cast<size_t>(y) * cw + x] = row[2 * x];
            cb[static_cast<size_t>(y) * cw + x] = row[2 * x + 1];
        }
    }
    return out;
}

inline std::string Md5Hex(const Bytes& data) {
    uint8_t sum[16];
    av_md5_sum(sum, data.data(), static_cast<int>(data.size()));
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", sum[i]);
    return std::string(hex, 32);
}

}  // namespace mk::vdec::testing
