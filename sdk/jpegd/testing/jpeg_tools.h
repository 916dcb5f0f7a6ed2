// Test helpers for the JPEG decoder: test pictures, and the outside tools that make and check them
// (cjpeg, djpeg, jpegtran, ffmpeg), run in a directory of the test's own under its private bus directory.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "platform/host/test_bus.h"

namespace mk::jpegd::testing {

using Bytes = std::vector<uint8_t>;

// A directory of this test program's own, inside its private bus directory (removed with it).
inline const std::string& WorkDir() {
    static const std::string dir = [] {
        std::string d = varnelle::host::UsePrivateBus("jpegd") + "/tools";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

inline std::string PathOf(const std::string& name) { return WorkDir() + "/" + name; }

inline void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Runs a command line through the shell; throws when it does not exit with 0.
inline void Run(const std::string& cmd) {
    const int status = std::system(cmd.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("failed: " + cmd);
}

// A file name that no other call of this process has used.
inline std::string Fresh(const std::string& ext) {
    static int n = 0;
    return PathOf("f" + std::to_string(getpid()) + "-" + std::to_string(n++) + ext);
}

// A colour picture whose luma, Cb and Cr each vary by row and by column, differently, as a PPM file.
inline Bytes Ppm(uint32_t w, uint32_t h, int seed = 0) {
    std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    Bytes out(head.begin(), head.end());
    out.reserve(out.size() + static_cast<size_t>(w) * h * 3);
    auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); };
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double Y = 40 + 170 * (0.5 + 0.5 * std::sin((x * 0.11 + y * 0.07) + seed));
            const double Cb = 128 + 50 * std::sin(x * 0.05 + seed) + 20 * std::cos(y * 0.09);
            const double Cr = 128 + 50 * std::cos(y * 0.06 + seed) + 20 * std::sin(x * 0.08);
            out.push_back(clamp(Y + 1.402 * (Cr - 128)));
            out.push_back(clamp(Y - 0.344136 * (Cb - 128) - 0.714136 * (Cr - 128)));
            out.push_back(clamp(Y + 1.772 * (Cb - 128)));
        }
    }
    return out;
}

// A picture of noise (hardly compressible), as a PPM file.
inline Bytes NoisePpm(uint32_t w, uint32_t h, uint32_t seed = 1) {
    std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    Bytes out(head.begin(), head.end());
    uint32_t x = seed;
    for (size_t i = 0; i < static_cast<size_t>(w) * h * 3; ++i) {
        x = x * 1664525u + 1013904223u;
        out.push_back(static_cast<uint8_t>(x >> 24));
    }
    return out;
}

// A grey picture as a PGM file.
inline Bytes Pgm(uint32_t w, uint32_t h) {
    std::string head = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    Bytes out(head.begin(), head.end());
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) out.push_back(static_cast<uint8_t>((x * 5 + y * 3) & 0xFF));
    }
    return out;
}

// The file a tool makes of `input`: `command` gives its command line from the input and output names.
template <typename Command>
Bytes Through(const Bytes& input, const std::string& inExt, const std::string& outExt, Command command) {
    const std::string in = Fresh(inExt), out = Fresh(outExt);
    WriteFile(in, input);
    Run(command(in, out));
    Bytes made = ReadFile(out);
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return made;
}

// cjpeg with `options` over a picture file (PPM or PGM).
inline Bytes Cjpeg(const Bytes& picture, const std::string& options) {
    return Through(picture, ".pnm", ".jpg", [&](const std::string& in, const std::string& out) {
        return "cjpeg " + options + " -outfile " + out + " " + in;
    });
}

// jpegtran with `options` over a JPEG stream.
inline Bytes Jpegtran(const Bytes& jpg, const std::string& options) {
    return Through(jpg, ".jpg", ".jpg", [&](const std::string& in, const std::string& out) {
        return "jpegtran " + options + " -outfile " + out + " " + in;
    });
}

// ffmpeg's JPEG encoder with `options` over a PPM picture (its Huffman tables made for the picture).
inline Bytes FfmpegJpeg(const Bytes& ppm, const std::string& options) {
    return Through(ppm, ".ppm", ".jpg", [&](const std::string& in, const std::string& out) {
        return "ffmpeg -v error -i " + in + " -c:v mjpeg -huffman optimal " + options + " -frames:v 1 -y " + out;
    });
}

// The pixels of a binary PGM or PPM file.
inline Bytes PnmPixels(const Bytes& pnm, uint32_t* w = nullptr, uint32_t* h = nullptr) {
    size_t pos = 2;
    auto number = [&] {
        while (pos < pnm.size() && std::isspace(pnm[pos])) ++pos;
        uint32_t v = 0;
        while (pos < pnm.size() && std::isdigit(pnm[pos])) v = v * 10 + (pnm[pos++] - '0');
        return v;
    };
    const uint32_t ww = number(), hh = number();
    number();
    ++pos;
    if (w != nullptr) *w = ww;
    if (h != nullptr) *h = hh;
    return Bytes(pnm.begin() + static_cast<long>(pos), pnm.end());
}

// djpeg with `options` over a JPEG stream: the output file's pixels.
inline Bytes Djpeg(const Bytes& jpg, const std::string& options, uint32_t* w = nullptr, uint32_t* h = nullptr) {
    const Bytes pnm = Through(jpg, ".jpg", ".pnm", [&](const std::string& in, const std::string& out) {
        return "djpeg " + options + " -pnm -outfile " + out + " " + in;
    });
    return PnmPixels(pnm, w, h);
}

// ffmpeg's own decode of a JPEG stream as full-range NV21: the luma plane, then Cr/Cb pairs. ffmpeg takes
// no arithmetic coding: jpegtran first turns the same coefficients into a Huffman-coded stream.
inline Bytes FfmpegNv21(const Bytes& jpg) {
    const std::string in = Fresh(".jpg"), huff = Fresh(".jpg"), out = Fresh(".yuv");
    WriteFile(in, jpg);
    Run("jpegtran -copy none -outfile " + huff + " " + in);
    Run("ffmpeg -v error -i " + huff + " -vf scale=in_range=full:out_range=full -pix_fmt nv21 -f rawvideo -y " + out);
    std::filesystem::remove(huff);
    Bytes yuv = ReadFile(out);
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return yuv;
}

// The same for several streams in one ffmpeg run (starting ffmpeg costs more than decoding).
inline std::vector<Bytes> FfmpegNv21(const std::vector<Bytes>& jpgs) {
    std::vector<std::string> huff, out;
    std::string inputs, outputs;
    for (size_t i = 0; i < jpgs.size(); ++i) {
        const std::string in = Fresh(".jpg");
        huff.push_back(Fresh(".jpg"));
        out.push_back(Fresh(".yuv"));
        WriteFile(in, jpgs[i]);
        Run("jpegtran -copy none -outfile " + huff[i] + " " + in);
        std::filesystem::remove(in);
        inputs += " -i " + huff[i];
        outputs += " -map " + std::to_string(i) + ":v -vf scale=in_range=full:out_range=full -pix_fmt nv21 -f rawvideo " +
                   out[i];
    }
    Run("ffmpeg -v error" + inputs + outputs + " -y");
    std::vector<Bytes> yuv;
    for (size_t i = 0; i < jpgs.size(); ++i) {
        yuv.push_back(ReadFile(out[i]));
        std::filesystem::remove(huff[i]);
        std::filesystem::remove(out[i]);
    }
    return yuv;
}

// libjpeg's own compressor over interleaved samples (`components` per pixel of `space`), with its
// defaults changed by `tune`: for streams cjpeg does not make.
template <typename Tune>
Bytes Compress(uint32_t w, uint32_t h, int components, J_COLOR_SPACE space, const Bytes& samples, Tune tune) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    tune(c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = const_cast<JSAMPLE*>(samples.data()) + static_cast<size_t>(c.next_scanline) * w * components;
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    Bytes out(buf, buf + size);
    jpeg_destroy_compress(&c);
    std::free(buf);
    return out;
}

// The stream with its frame header saying `w` x `h`: the same coded MCUs read as a picture of that size
// (the MCU-aligned size shows what a decoder writes of the MCUs' edges).
inline Bytes WithFrameSize(Bytes jpg, uint32_t w, uint32_t h) {
    size_t pos = 2;
    while (pos + 9 <= jpg.size() && jpg[pos] == 0xFF) {
        const uint8_t marker = jpg[pos + 1];
        if (marker >= 0xC0 && marker <= 0xC2) {
            jpg[pos + 5] = static_cast<uint8_t>(h >> 8);
            jpg[pos + 6] = static_cast<uint8_t>(h);
            jpg[pos + 7] = static_cast<uint8_t>(w >> 8);
            jpg[pos + 8] = static_cast<uint8_t>(w);
            break;
        }
        pos += 2 + (static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3]);
    }
    return jpg;
}

// PSNR of two equally long byte runs, in dB (1000 when equal).
inline double Psnr(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return -1;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return 1000;
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

// Rows of `width` bytes taken from a plane of `stride`.
inline Bytes Rows(const uint8_t* plane, uint32_t stride, uint32_t width, uint32_t rows) {
    Bytes out;
    out.reserve(static_cast<size_t>(width) * rows);
    for (uint32_t y = 0; y < rows; ++y) out.insert(out.end(), plane + static_cast<size_t>(y) * stride, plane + static_cast<size_t>(y) * stride + width);
    return out;
}

}  // namespace mk::jpegd::testing
