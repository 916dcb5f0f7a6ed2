#include "draw/locales.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/font/bitmap_font_manager.h"
#include "base/font/font_manager_tt.h"

namespace {

constexpr unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};

struct StringsDir {
    std::mutex mutex;
    std::string dir;  // guarded by mutex
};

StringsDir& Dir() {
    static auto* dir = new StringsDir;
    return *dir;
}

void PreloadWithActiveRenderer(const std::vector<uint16_t>& codes) {
    if (IFontManager::IsTrueType())
        CFontManagerTT::instance()->CacheChars(codes.data(), codes.size());
    else
        CFontManager::instance()->CacheChars(codes.data(), codes.size());
}

}  // namespace

CLocales* CLocales::instance() {
    static CLocales* locales = new CLocales;
    return locales;
}

void CLocales::SetStringsDir(const char* dir) {
    SetStringsDir(std::string(dir != nullptr ? dir : ""));
}

void CLocales::SetStringsDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(Dir().mutex);
    Dir().dir = dir;
}

std::string CLocales::GetStringsDir() {
    std::lock_guard<std::mutex> lock(Dir().mutex);
    return Dir().dir;
}

CLocales::CLocales(GlyphPreloader preload)
    : m_pFontManager(IFontManager::instance()),
      m_preload(preload ? std::move(preload) : GlyphPreloader(PreloadWithActiveRenderer)) {
    std::puts("CLocales::CLocales()>>>>>>>>>");
    // An unset directory would make the pattern "/*" and list the root.
    const std::string dir = GetStringsDir();
    if (dir.empty()) return;
    CFileFind find;
    if (!find.FindFile((dir + "/*").c_str())) return;
    do {
        if (!find.IsDirectory()) m_languages.push_back(find.GetFileName());
    } while (find.FindNextFile());
    find.Close();
}

const std::vector<std::string>& CLocales::GetLanguages() {
    return m_languages;
}

void CLocales::Unload() {
    m_strings.clear();
    m_text.clear();
    m_file.UnLoad();
}

void CLocales::setLanguage(const std::string& name) {
    if (name == m_language) return;
    if (!m_language.empty()) Unload();
    m_language = name;

    char path[kMaxPath];
    const std::string dir = GetStringsDir();
    const int wanted = std::snprintf(path, sizeof path, "%s/%s", dir.c_str(), name.c_str());
    const unsigned char* loaded =
        wanted >= 0 && static_cast<size_t>(wanted) < sizeof path ? m_file.Load(path) : nullptr;
    if (loaded == nullptr) {
        std::printf("CLocales::setLanguage Load Strings File '%s/%s' Failed!\n", dir.c_str(), name.c_str());
        return;
    }
    const size_t length = m_file.GetLength();
    if (length < sizeof kMark || std::memcmp(loaded, kMark, sizeof kMark) != 0) {
        std::puts("CLocales::setLanguage Strings File Format Error!");
        m_file.UnLoad();
        return;
    }
    // The file has no terminator of its own; the walk and the parse run over a terminated copy.
    m_text.assign(loaded, loaded + length);
    m_text.push_back('\0');
    m_file.UnLoad();

    m_preload(CollectCodes());
    ParseLines();
}

std::vector<uint16_t> CLocales::CollectCodes() const {
    std::vector<uint16_t> codes;
    const char* p = m_text.data();
    const char* const end = p + (m_text.size() - 1);
    while (p < end) {
        int length = 0;
        const uint16_t code = m_pFontManager->Utf8ToUnicode(p, length);
        if (code == 0 || length <= 0 || length > end - p) {
            std::puts("CLocales::setLanguage Parse Strings File Failed!");
            break;
        }
        if (code > 127) codes.push_back(code);
        p += length;
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
}

void CLocales::ParseLines() {
    char* const end = m_text.data() + (m_text.size() - 1);
    char* line = m_text.data() + sizeof kMark;
    char* value = nullptr;
    for (char* q = line; q < end && *q != '\0'; ++q) {
        if (*q == '=' && value == nullptr) {
            *q = '\0';
            value = q + 1;
        } else if (*q == '\n') {
            if (value != nullptr) {
                *q = '\0';
                if (q[-1] == '\r') q[-1] = '\0';
                m_strings.emplace(line, value);
            }
            line = q + 1;
            value = nullptr;
        }
    }
}

const char* CLocales::getString(const char* key) {
    if (key == nullptr) return "";
    if (auto it = m_strings.find(key); it != m_strings.end()) return it->second;
    std::printf("Not Found string '%s' !!!\n", key);
    const char* dot = std::strchr(key, '.');
    return dot != nullptr ? dot + 1 : key;
}

const char* LocalizeText(const char* text) {
    if (text == nullptr || text[0] != '&') return text;
    return CLocales::instance()->getString(text + 1);
}
