// Outside references for right-to-left text: the Unicode character database's presentation forms and
// joining types (unicode-data), and fribidi's shaping and reordering with the simplifications the
// library's shaper keeps, plus random text of Arabic, Persian and Urdu letters, Latin words and digits.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace varnelle::draw_testing {

using Text = std::vector<uint16_t>;

// The letters with presentation-form rows, as defined for this shaper.
const std::set<uint16_t>& RowLetters();
// Dual-joining in Unicode, joining only to the preceding letter here.
extern const std::set<uint16_t> kKeptRightJoining;

// UnicodeData.txt's presentation forms and ArabicShaping.txt's joining types.
struct UnicodeTables {
    std::map<uint16_t, std::map<std::string, uint16_t>> forms;  // letter -> {"isolated": form, ...}
    std::map<uint16_t, char> joining;                           // code -> U, R, D, C, T, L
    bool ok = false;
};
const UnicodeTables& Unicode();
// Unicode's joining type; letters ArabicShaping.txt leaves out are U.
char JoiningType(uint16_t code);
// The letter's presentation form of a kind ("isolated", "final", "initial", "medial"), 0 for none.
uint16_t UnicodeForm(uint16_t letter, const char* kind);

bool IsDigit(uint16_t c);
bool IsLatinOrDigit(uint16_t c);
// Arabic, Persian and Urdu letters: every row letter, tatweel, and letters without a row.
Text ArabicLetters();

class RandomText {
public:
    RandomText(uint32_t seed, Text rtlLetters) : m_rng(seed), m_rtl(std::move(rtlLetters)) {}

    // Words of right-to-left letters, Latin letters and three kinds of digits, mostly split by spaces.
    Text Next() {
        Text s;
        if (Roll(20) == 0) s.push_back(' ');
        const int words = 1 + Roll(8);
        for (int w = 0; w < words; ++w) {
            if (w > 0) {
                const int sep = Roll(20);
                if (sep < 16) s.push_back(' ');
                if (sep == 16) s.insert(s.end(), {' ', ' '});
            }
            const int kind = Roll(10);
            const int length = 1 + Roll(kind < 5 ? 7 : 4);
            for (int i = 0; i < length; ++i) s.push_back(Letter(kind));
        }
        if (Roll(20) == 0) s.push_back(' ');
        return s;
    }

private:
    int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    uint16_t Letter(int kind) {
        if (kind < 5) return m_rtl[static_cast<size_t>(Roll(static_cast<int>(m_rtl.size())))];
        if (kind < 7) return static_cast<uint16_t>((Roll(2) ? 'a' : 'A') + Roll(26));
        if (kind == 7) return static_cast<uint16_t>('0' + Roll(10));
        if (kind == 8) return static_cast<uint16_t>(0x0660 + Roll(10));
        return static_cast<uint16_t>(0x06F0 + Roll(10));
    }

    std::mt19937 m_rng;
    Text m_rtl;
};

// fribidi's result with the simplifications this shaper keeps: the four letters joining only to the
// preceding one, letters without a row unchanged, no ligatures, no mirroring, and spaces next to Latin
// letters or digits reading left to right (as a strong left-to-right letter does).
Text FribidiDisplay(const Text& logical, bool shape);

}  // namespace varnelle::draw_testing
