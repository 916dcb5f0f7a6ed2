#include "draw/arabic_parser.h"

#include <algorithm>
#include <iterator>

#include "draw/internal/arabic_forms.h"

namespace {

// Ascending, so membership is a binary search.
constexpr uint16_t kDualJoining[] = {
    0x0626, 0x0628, 0x062A, 0x062B, 0x062C, 0x062D, 0x062E, 0x0633, 0x0634, 0x0635, 0x0636,
    0x0637, 0x0638, 0x0639, 0x063A, 0x0640, 0x0641, 0x0642, 0x0643, 0x0644, 0x0645, 0x0646,
    0x0647, 0x064A, 0x0679, 0x067E, 0x0686, 0x06A9, 0x06AF, 0x06BE, 0x06CC,
};
// Jeh (U+0698) joins only to the preceding letter: the letter after it starts a new join.
constexpr uint16_t kRightJoining[] = {
    0x0622, 0x0623, 0x0624, 0x0625, 0x0627, 0x0629, 0x062F, 0x0630, 0x0631, 0x0632, 0x0648,
    0x0649, 0x0671, 0x0688, 0x0691, 0x0698, 0x06BA, 0x06C1, 0x06C2, 0x06C3, 0x06D2, 0x06D3,
};
static_assert(std::is_sorted(std::begin(kDualJoining), std::end(kDualJoining)));
static_assert(std::is_sorted(std::begin(kRightJoining), std::end(kRightJoining)));

bool Contains(const uint16_t* first, const uint16_t* last, uint16_t code) {
    return std::binary_search(first, last, code);
}

bool IsArabicDigit(uint16_t code) {
    return (code >= 0x0660 && code <= 0x0669) || (code >= 0x06F0 && code <= 0x06F9);
}

}  // namespace

namespace varnelle::draw_internal {

const ArabicForms* FindArabicForms(uint16_t letter) {
    const ArabicForms* end = kArabicFormTable + kArabicFormCount;
    const ArabicForms* row = std::lower_bound(
        kArabicFormTable, end, letter, [](const ArabicForms& r, uint16_t code) { return r.letter < code; });
    return row != end && row->letter == letter ? row : nullptr;
}

}  // namespace varnelle::draw_internal

CArabicParser* CArabicParser::instance() {
    static CArabicParser* parser = new CArabicParser;
    return parser;
}

bool CArabicParser::isDualJoining(uint16_t code) {
    return Contains(std::begin(kDualJoining), std::end(kDualJoining), code);
}

bool CArabicParser::isRightJoining(uint16_t code) {
    return Contains(std::begin(kRightJoining), std::end(kRightJoining), code);
}

bool CArabicParser::IsRightToLeft(uint16_t code) {
    // Arabic-Indic digits are numbers: they read left to right like any other digits.
    if (IsArabicDigit(code)) return false;
    return (code >= 0x0590 && code <= 0x06FF) || (code >= 0xFB50 && code <= 0xFDFF) ||
           (code >= 0xFE70 && code <= 0xFEFF);
}

int CArabicParser::parse(const std::vector<uint16_t>& input, std::vector<uint16_t>& output, int mode) {
    if (mode != kFarsi && mode != kHebrew && mode != kArabic) return 1;
    std::vector<uint16_t> text = input;  // neighbours are read from the unshaped input
    if (mode != kHebrew) {
        const size_t n = input.size();
        for (size_t i = 0; i < n; ++i) {
            if (input[i] < 0x0600 || input[i] > 0x06FF) continue;
            const varnelle::draw_internal::ArabicForms* row =
                varnelle::draw_internal::FindArabicForms(input[i]);
            if (row == nullptr) continue;
            const bool next = i + 1 < n && (isDualJoining(input[i + 1]) || isRightJoining(input[i + 1]));
            const bool prev = i > 0 && isDualJoining(input[i - 1]);
            text[i] = next && prev ? row->medial : prev ? row->final : next ? row->initial : row->isolated;
        }
    }
    reorder(text);
    output = std::move(text);
    return 1;
}

void CArabicParser::reverse(std::vector<uint16_t>& text) {
    std::reverse(text.begin(), text.end());
}

void CArabicParser::reorder(std::vector<uint16_t>& text) {
    reverse(text);
    for (auto run = text.begin(); run != text.end();) {
        if (IsRightToLeft(*run)) {
            ++run;
            continue;
        }
        auto end = std::find_if(run, text.end(), IsRightToLeft);
        std::reverse(run, end);
        run = end;
    }
}
