// varnelle-fontgen: writes the bitmap font pair Font.bin and FontSmall.bin from a scalable font.
//   varnelle-fontgen [--font PATH] [--out DIR] [--size N] [--small-size N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/fontgen/fontgen.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: varnelle-fontgen [--font PATH] [--out DIR] [--size N] [--small-size N]\n"
                 "  writes DIR/Font.bin (N x N cells, default 24) and DIR/FontSmall.bin (default 16)\n");
    return 2;
}

bool Write(const std::string& font, int size, const std::string& path) {
    std::string error;
    auto source = varnelle::fontgen::GlyphSource::Open(font, size, size, &error);
    if (source == nullptr) {
        std::fprintf(stderr, "varnelle-fontgen: %s\n", error.c_str());
        return false;
    }
    const auto file = varnelle::fontgen::BuildFont(*source, varnelle::fontgen::DefaultRanges(*source));
    if (!varnelle::fontgen::WriteFile(path, varnelle::fontgen::Serialize(file))) {
        std::fprintf(stderr, "varnelle-fontgen: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("%s: %zu glyphs of %dx%d\n", path.c_str(), file.glyphs.size(), size, size);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    std::string out = ".";
    int size = 24, smallSize = 16;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--font") == 0 && hasValue) {
            font = argv[++i];
        } else if (std::strcmp(argv[i], "--out") == 0 && hasValue) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--size") == 0 && hasValue) {
            size = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--small-size") == 0 && hasValue) {
            smallSize = std::atoi(argv[++i]);
        } else {
            return Usage();
        }
    }
    const bool ok = Write(font, size, out + "/Font.bin") && Write(font, smallSize, out + "/FontSmall.bin");
    return ok ? 0 : 1;
}
