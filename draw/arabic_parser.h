// Prepares a UTF-16 string of a right-to-left script for a left-to-right glyph renderer: Arabic and
// Farsi letters are replaced by their contextual presentation forms, and the string is put into display
// order (right-to-left runs reversed, runs of everything else kept in their own reading order).
//
// Simplifications callers get: no lam-alef ligature, marks are not transparent to joining, no mirroring,
// and every character outside the right-to-left blocks (Latin, digits, spaces, punctuation) reads
// left-to-right. Surrogate pairs are not treated. Stateless; any thread may call it.
#pragma once

#include <cstdint>
#include <vector>

class CArabicParser {
public:
    // Modes of parse, by language: Farsi and Arabic are shaped and reordered, Hebrew only reordered.
    enum Mode { kFarsi = 0, kHebrew = 1, kArabic = 2 };

    // The process-wide parser, made on first use and never destroyed.
    static CArabicParser* instance();

    CArabicParser() = default;
    virtual ~CArabicParser() = default;
    CArabicParser(const CArabicParser&) = delete;
    CArabicParser& operator=(const CArabicParser&) = delete;

    // Writes `input` in display order to `output`, shaped first in modes 0 and 2, only reordered in
    // mode 1; any other mode leaves `output` untouched. Returns 1. `input` and `output` may be the same.
    int parse(const std::vector<uint16_t>& input, std::vector<uint16_t>& output, int mode);

    // Display order, in place: the whole string reversed, then each run of left-to-right characters
    // reversed back.
    void reorder(std::vector<uint16_t>& text);
    void reverse(std::vector<uint16_t>& text);

    // Letters that join to both neighbours, and letters that join only to the preceding one.
    bool isDualJoining(uint16_t code);
    bool isRightJoining(uint16_t code);

    // Hebrew, Arabic (but its digits) and the presentation-form blocks.
    static bool IsRightToLeft(uint16_t code);
};
