// The user-interface strings of one language, read from a strings file of key=value lines and looked up
// by key; also the name of the current language, by which text output decides whether to shape
// right-to-left scripts.
//
// Strings file: UTF-8 that starts with the mark EF BB BF, then lines ending in LF of the form key=value
// (key up to the line's first "=", a CR before the LF not part of the value). A line without "=" and a
// last line without LF are ignored; a NUL byte ends the content. A key given twice keeps its first value.
//
// Thread safety: none. The language is changed from one thread while no text is drawn.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/font/font_manager.h"

class ILocales {
public:
    virtual void setLanguage(const std::string& name) = 0;
    virtual const std::vector<std::string>& GetLanguages() = 0;
    virtual ~ILocales() = default;
};

class CLocales : public ILocales {
public:
    // Receives the codes above 127 a language file uses, ascending and unique, to preload their glyphs.
    using GlyphPreloader = std::function<void(const std::vector<uint16_t>&)>;

    static constexpr size_t kMaxPath = 260;  // a strings file path with its terminating NUL

    // The process-wide instance, made on first use from the strings directory set by then.
    static CLocales* instance();

    // The directory that holds one strings file per language, named after the language.
    static void SetStringsDir(const char* dir);
    static void SetStringsDir(const std::string& dir);
    static std::string GetStringsDir();

    // Lists the strings directory (nothing when it is unset). Without a preloader, glyphs are preloaded
    // by the active font renderer.
    explicit CLocales(GlyphPreloader preload = nullptr);
    CLocales(const CLocales&) = delete;
    CLocales& operator=(const CLocales&) = delete;

    // Loads <strings dir>/<name>, replacing the language loaded before; nothing happens when `name` is
    // the current language. A file that cannot be loaded, or is not a marked strings file, leaves no
    // strings (the name stays current).
    void setLanguage(const std::string& name) override;

    // The names of the files in the strings directory when this object was made, in listing order.
    const std::vector<std::string>& GetLanguages() override;

    // The value of `key`; when missing, reports it and gives the text after the key's first "." (the
    // whole key without one). Valid until the next change of language.
    const char* getString(const char* key);

    // The current language ("" before any).
    const std::string& GetLanguage() const { return m_language; }

private:
    struct KeyLess {
        bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
    };

    void Unload();
    // Every code above 127 met walking the text; stops, reporting it, at a character that decodes to 0.
    std::vector<uint16_t> CollectCodes() const;
    void ParseLines();

    std::map<const char*, const char*, KeyLess> m_strings;  // points into m_text
    std::string m_language;
    CFile m_file;
    std::vector<char> m_text;  // the file's bytes and a terminating NUL; empty when none is loaded
    IFontManager* m_pFontManager;
    GlyphPreloader m_preload;
    std::vector<std::string> m_languages;
};

// Text starting with "&" is looked up (without the "&") in the process-wide strings; other text,
// and null, come back unchanged.
const char* LocalizeText(const char* text);
