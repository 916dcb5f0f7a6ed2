// Test helpers: host fonts, a private directory, and the bitmap font pair built from DejaVu Sans.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/fontgen/fontgen.h"

namespace varnelle::font_test {

inline const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A Thai font with zero-advance marks and negative bearings.
inline std::string ThaiFont() {
    for (const char* p :
         {"/usr/share/fonts/truetype/tlwg/Loma.ttf", "/usr/share/fonts/truetype/tlwg/Garuda.ttf",
          "/usr/share/fonts/opentype/tlwg/Loma.otf", "/usr/share/fonts/opentype/tlwg/Garuda.otf"})
        if (std::filesystem::exists(p)) return p;
    return "";
}

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnelle-font-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        m_path = ::mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Writes a bitmap font of `size` x `size` cells of DejaVu Sans (the tool's default codes) to `path`.
inline bool WriteDejaVuFont(const std::string& path, int size) {
    std::string error;
    auto source = fontgen::GlyphSource::Open(kDejaVu, size, size, &error);
    if (source == nullptr) return false;
    return fontgen::WriteFile(
        path, fontgen::Serialize(fontgen::BuildFont(*source, fontgen::DefaultRanges(*source))));
}

}  // namespace varnelle::font_test
