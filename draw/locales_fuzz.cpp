// Any bytes as a strings file: loading and looking up never read outside the file, every key the file
// defines is found, and the preloaded codes are ascending, unique and above 127.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "draw/locales.h"

namespace {

char g_dir[64];

void CheckCodes(const std::vector<uint16_t>& codes) {
    for (size_t i = 0; i < codes.size(); ++i)
        if (codes[i] <= 127 || (i > 0 && codes[i] <= codes[i - 1])) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::snprintf(g_dir, sizeof g_dir, "%s", "/dev/shm/varnelle-locales-fuzz-XXXXXX");
    if (mkdtemp(g_dir) == nullptr) std::abort();
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    CLocales::SetStringsDir(g_dir);
    // Every load and lookup miss prints a line; the fuzzer's own report goes to standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CLocales* locales = new CLocales(CheckCodes);
    static int turn = 0;
    // Two names in turn, so that every input is loaded afresh.
    const std::string name = (turn++ % 2) != 0 ? "A" : "B";
    {
        std::ofstream out(std::string(g_dir) + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    locales->setLanguage(name);

    // The first line's key, when the file is marked and the line is whole and holds "=", is found with
    // its value (no earlier line can have the same key).
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.size() < 3 || text.compare(0, 3, "\xEF\xBB\xBF") != 0) return 0;
    const size_t lf = text.find('\n', 3), eq = text.find('=', 3);
    if (lf == std::string::npos || eq == std::string::npos || eq > lf) return 0;
    if (text.find('\0') < lf) return 0;
    const std::string key = text.substr(3, eq - 3);
    std::string value = text.substr(eq + 1, lf - eq - 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    if (value.find('\0') != std::string::npos || key.find('\0') != std::string::npos) return 0;
    if (std::strcmp(locales->getString(key.c_str()), value.c_str()) != 0) std::abort();
    return 0;
}
