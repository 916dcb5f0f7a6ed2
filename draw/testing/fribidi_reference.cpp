#include "draw/testing/fribidi_reference.h"

#include <fribidi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace varnelle::draw_testing {

const std::set<uint16_t>& RowLetters() {
    static const std::set<uint16_t> letters = [] {
        std::set<uint16_t> s;
        for (uint16_t c = 0x0621; c <= 0x063A; ++c) s.insert(c);
        for (uint16_t c = 0x0641; c <= 0x064A; ++c) s.insert(c);
        s.insert({0x067E, 0x0686, 0x0698, 0x06A9, 0x06AF, 0x06CC});
        return s;
    }();
    return letters;
}
const std::set<uint16_t> kKeptRightJoining = {0x0649, 0x06BA, 0x06C1, 0x06C2};

const UnicodeTables& Unicode() {
    static const UnicodeTables tables = [] {
        UnicodeTables t;
        std::ifstream data("/usr/share/unicode/UnicodeData.txt");
        std::string line;
        while (std::getline(data, line)) {
            // code;name;category;class;bidi;decomposition;...
            std::vector<std::string> f;
            std::stringstream ss(line);
            for (std::string field; std::getline(ss, field, ';');) f.push_back(field);
            if (f.size() < 6 || f[5].empty() || f[5][0] != '<') continue;
            std::stringstream d(f[5]);
            std::string tag, base, extra;
            d >> tag >> base;
            if (d >> extra) continue;  // ligatures and forms of sequences
            for (const char* kind : {"isolated", "final", "initial", "medial"})
                if (tag == std::string("<") + kind + ">")
                    t.forms[static_cast<uint16_t>(std::stoul(base, nullptr, 16))][kind] =
                        static_cast<uint16_t>(std::stoul(f[0], nullptr, 16));
        }
        std::ifstream shaping("/usr/share/unicode/ArabicShaping.txt");
        while (std::getline(shaping, line)) {
            if (line.empty() || line[0] == '#') continue;
            // code; name; joining type; joining group
            std::vector<std::string> f;
            std::stringstream ss(line);
            for (std::string field; std::getline(ss, field, ';');) f.push_back(field);
            if (f.size() < 3) continue;
            const size_t at = f[2].find_first_not_of(' ');
            if (at == std::string::npos) continue;
            t.joining[static_cast<uint16_t>(std::stoul(f[0], nullptr, 16))] = f[2][at];
        }
        t.ok = !t.forms.empty() && !t.joining.empty();
        return t;
    }();
    return tables;
}

// Unicode's joining type; ArabicShaping.txt lists no U letters of this block by default, so those are U.
char JoiningType(uint16_t code) {
    auto it = Unicode().joining.find(code);
    return it != Unicode().joining.end() ? it->second : 'U';
}

uint16_t UnicodeForm(uint16_t letter, const char* kind) {
    auto it = Unicode().forms.find(letter);
    if (it == Unicode().forms.end()) return 0;
    auto form = it->second.find(kind);
    return form != it->second.end() ? form->second : 0;
}

bool IsDigit(uint16_t c) {
    return (c >= '0' && c <= '9') || (c >= 0x0660 && c <= 0x0669) || (c >= 0x06F0 && c <= 0x06F9);
}
bool IsLatinOrDigit(uint16_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c);
}

// Arabic, Persian and Urdu letters: every row letter, tatweel, and letters without a row.
Text ArabicLetters() {
    Text letters(RowLetters().begin(), RowLetters().end());
    for (uint16_t c :
         {0x0640, 0x0671, 0x0679, 0x0688, 0x0691, 0x06BA, 0x06BE, 0x06C1, 0x06C2, 0x06C3, 0x06D2, 0x06D3})
        letters.push_back(c);
    return letters;
}

Text FribidiDisplay(const Text& logical, bool shape) {
    const auto n = static_cast<FriBidiStrIndex>(logical.size());
    std::vector<FriBidiChar> str(logical.begin(), logical.end());
    if (shape && n > 0) {
        std::vector<FriBidiCharType> types(str.size());
        std::vector<FriBidiBracketType> brackets(str.size());
        std::vector<FriBidiLevel> levels(str.size());
        std::vector<FriBidiJoiningType> joining(str.size());
        std::vector<FriBidiArabicProp> props(str.size());
        fribidi_get_bidi_types(str.data(), n, types.data());
        fribidi_get_bracket_types(str.data(), n, types.data(), brackets.data());
        FriBidiParType base = FRIBIDI_PAR_RTL;
        EXPECT_NE(fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), n, &base, levels.data()),
                  0);
        fribidi_get_joining_types(str.data(), n, joining.data());
        for (size_t i = 0; i < str.size(); ++i)
            props[i] = kKeptRightJoining.count(logical[i]) != 0 ? FriBidiJoiningType(FRIBIDI_JOINING_TYPE_R)
                                                                : joining[i];
        fribidi_join_arabic(types.data(), n, levels.data(), props.data());
        fribidi_shape_arabic(FRIBIDI_FLAG_SHAPE_ARAB_PRES, levels.data(), n, props.data(), str.data());
        // fribidi leaves a letter that joins to nothing (hamza) as it is; its row holds the isolated form.
        for (size_t i = 0; i < str.size(); ++i) {
            if (logical[i] >= 0x0600 && logical[i] <= 0x06FF && RowLetters().count(logical[i]) == 0)
                str[i] = logical[i];
            else if (RowLetters().count(logical[i]) != 0 && JoiningType(logical[i]) == 'U')
                str[i] = UnicodeForm(logical[i], "isolated");
        }
    }
    std::vector<FriBidiChar> probe(logical.begin(), logical.end());
    for (size_t i = 0; i < probe.size();) {
        if (probe[i] != ' ') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < probe.size() && probe[end] == ' ') ++end;
        const bool byLatin =
            (i > 0 && IsLatinOrDigit(logical[i - 1])) || (end < probe.size() && IsLatinOrDigit(logical[end]));
        if (byLatin)
            std::fill(probe.begin() + static_cast<long>(i), probe.begin() + static_cast<long>(end), 'x');
        i = end;
    }
    std::vector<FriBidiChar> visual(probe.size() + 1);
    std::vector<FriBidiStrIndex> toLogical(probe.size() + 1);
    FriBidiParType base = FRIBIDI_PAR_RTL;
    if (n > 0) {
        EXPECT_NE(fribidi_log2vis(probe.data(), n, &base, visual.data(), nullptr, toLogical.data(), nullptr),
                  0);
    }
    Text out(logical.size());
    for (size_t v = 0; v < out.size(); ++v)
        out[v] = static_cast<uint16_t>(str[static_cast<size_t>(toLogical[v])]);
    return out;
}

}  // namespace varnelle::draw_testing
