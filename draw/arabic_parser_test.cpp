#include "draw/arabic_parser.h"

#include <gtest/gtest.h>
#include <hb.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "base/font/font_test_util.h"
#include "draw/internal/arabic_forms.h"
#include "draw/testing/fribidi_reference.h"

namespace {

using namespace varnelle::draw_testing;
using varnelle::draw_internal::kArabicFormCount;
using varnelle::draw_internal::kArabicFormTable;

Text Parse(const Text& input, int mode) {
    Text out;
    EXPECT_EQ(CArabicParser::instance()->parse(input, out, mode), 1);
    return out;
}

std::string Hex(const Text& text) {
    std::string s;
    char buf[8];
    for (uint16_t c : text) {
        std::snprintf(buf, sizeof buf, "%s%04X", s.empty() ? "" : " ", c);
        s += buf;
    }
    return s;
}

const std::set<uint16_t> kDual = {0x0626, 0x0628, 0x062A, 0x062B, 0x062C, 0x062D, 0x062E, 0x0633,
                                  0x0634, 0x0635, 0x0636, 0x0637, 0x0638, 0x0639, 0x063A, 0x0640,
                                  0x0641, 0x0642, 0x0643, 0x0644, 0x0645, 0x0646, 0x0647, 0x064A,
                                  0x0679, 0x067E, 0x0686, 0x06A9, 0x06AF, 0x06BE, 0x06CC};
const std::set<uint16_t> kRight = {0x0622, 0x0623, 0x0624, 0x0625, 0x0627, 0x0629, 0x062F, 0x0630,
                                   0x0631, 0x0632, 0x0648, 0x0649, 0x0671, 0x0688, 0x0691, 0x0698,
                                   0x06BA, 0x06C1, 0x06C2, 0x06C3, 0x06D2, 0x06D3};
struct KnownCase {
    const char* name;
    Text input;
    int mode;
    Text want;  // display order
};

TEST(ArabicParserTest, ShapesAndOrdersKnownStrings) {
    const KnownCase cases[] = {
        {"beh beh beh: initial medial final", {0x0628, 0x0628, 0x0628}, 2, {0xFE90, 0xFE92, 0xFE91}},
        {"alef before lam takes its isolated form", {0x0627, 0x0644}, 2, {0xFEDD, 0xFE8D}},
        {"latin in hebrew mode", {'a', 'b', 'c'}, 1, {'a', 'b', 'c'}},
        {"hebrew reversed", {0x05D0, 0x05D1}, 1, {0x05D1, 0x05D0}},
        {"hebrew is not shaped", {0x0628, 0x0628}, 1, {0x0628, 0x0628}},
        {"digits between letters keep their order",
         {0x0628, '1', '2', 0x0628},
         2,
         {0xFE8F, '1', '2', 0xFE8F}},
        {"jeh does not join to its follower", {0x0628, 0x0698, 0x0628}, 2, {0xFE8F, 0xFB8B, 0xFE91}},
        {"teh marbuta between two letters is final", {0x0628, 0x0629, 0x0628}, 2, {0xFE8F, 0xFE94, 0xFE91}},
        {"teh marbuta alone and after a letter",
         {0x0629, ' ', 0x0628, 0x0629},
         2,
         {0xFE94, 0xFE91, ' ', 0xFE93}},
        {"arabic-indic digits read left to right",
         {0x0628, ' ', 0x0661, 0x0662, 0x0663},
         2,
         {' ', 0x0661, 0x0662, 0x0663, 0xFE8F}},
        {"extended digits read left to right", {0x06F1, 0x06F2, 0x0628}, 0, {0xFE8F, 0x06F1, 0x06F2}},
        {"farsi yeh pair", {0x06CC, 0x06CC}, 0, {0xFBFD, 0xFBFE}},
        {"letter without a row keeps its code and joins",
         {0x0628, 0x0679, 0x0628},
         2,
         {0xFE90, 0x0679, 0xFE91}},
        {"a mark breaks the join", {0x0628, 0x064E, 0x0628}, 2, {0xFE8F, 0x064E, 0xFE8F}},
        {"latin word inside arabic",
         {0x0628, 0x0628, ' ', 'a', 'b', ' ', 0x0627},
         2,
         {0xFE8D, ' ', 'a', 'b', ' ', 0xFE90, 0xFE91}},
        {"presentation forms count right to left", {0xFE91, 0xFE90}, 1, {0xFE90, 0xFE91}},
        {"empty", {}, 2, {}},
    };
    for (const KnownCase& c : cases) EXPECT_EQ(Hex(Parse(c.input, c.mode)), Hex(c.want)) << c.name;
}

TEST(ArabicParserTest, UnknownModeLeavesOutputAloneAndInPlaceWorks) {
    for (int mode : {-1, 3, 255}) {
        Text out = {1, 2, 3};
        EXPECT_EQ(CArabicParser::instance()->parse({0x0628, 0x0628}, out, mode), 1);
        EXPECT_EQ(out, (Text{1, 2, 3})) << mode;
    }
    Text same = {0x0628, 0x0628, 0x0628};
    CArabicParser::instance()->parse(same, same, 2);
    EXPECT_EQ(Hex(same), Hex({0xFE90, 0xFE92, 0xFE91}));
}

// Every row holds Unicode's forms: all four for a dual-joining letter, isolated and final (in the
// initial and medial columns too) for one that joins only to the preceding letter, the isolated form
// alone for one that joins to nothing.
TEST(ArabicShapingDataTest, FormTableMatchesUnicodeData) {
    ASSERT_TRUE(Unicode().ok) << "unicode-data is not installed";
    std::set<uint16_t> letters;
    uint16_t last = 0;
    for (size_t i = 0; i < kArabicFormCount; ++i) {
        const auto& row = kArabicFormTable[i];
        EXPECT_GT(row.letter, last) << "rows must ascend";
        last = row.letter;
        letters.insert(row.letter);
        CArabicParser& p = *CArabicParser::instance();
        const uint16_t iso = UnicodeForm(row.letter, "isolated");
        ASSERT_NE(iso, 0) << std::hex << row.letter;
        Text want;
        if (p.isDualJoining(row.letter))
            want = {UnicodeForm(row.letter, "final"), UnicodeForm(row.letter, "initial"),
                    UnicodeForm(row.letter, "medial"), iso};
        else if (p.isRightJoining(row.letter))
            want = {UnicodeForm(row.letter, "final"), iso, UnicodeForm(row.letter, "final"), iso};
        else
            want = {iso, iso, iso, iso};
        EXPECT_EQ(Hex({row.final, row.initial, row.medial, row.isolated}), Hex(want))
            << std::hex << row.letter;
    }
    EXPECT_EQ(letters, RowLetters());
}

// Members of the joining sets join as Unicode says, but for the four letters kept right-joining; jeh
// and teh marbuta are right-joining in Unicode too.
TEST(ArabicShapingDataTest, JoiningSetsMatchArabicShaping) {
    ASSERT_TRUE(Unicode().ok) << "unicode-data is not installed";
    CArabicParser& p = *CArabicParser::instance();
    for (uint32_t c = 0; c <= 0xFFFF; ++c) {
        const auto code = static_cast<uint16_t>(c);
        ASSERT_EQ(p.isDualJoining(code), kDual.count(code) != 0) << std::hex << c;
        ASSERT_EQ(p.isRightJoining(code), kRight.count(code) != 0) << std::hex << c;
    }
    for (uint16_t c : kDual) {
        const char type = JoiningType(c);
        EXPECT_TRUE(type == 'D' || type == 'C') << std::hex << c << " is " << type;
    }
    for (uint16_t c : kRight) {
        const char want = kKeptRightJoining.count(c) != 0 ? 'D' : 'R';
        EXPECT_EQ(JoiningType(c), want) << std::hex << c;
    }
    EXPECT_EQ(JoiningType(0x0698), 'R');
    EXPECT_EQ(JoiningType(0x0629), 'R');
    // A row letter's joining type decides its row's shape; hamza joins to nothing.
    for (uint16_t c : RowLetters())
        if (kDual.count(c) == 0 && kRight.count(c) == 0) {
            EXPECT_EQ(JoiningType(c), 'U') << std::hex << c;
        }
}

// ---- Random strings against fribidi and HarfBuzz ----

TEST(ArabicParserReferenceTest, RandomArabicTextEqualsFribidi) {
    ASSERT_TRUE(Unicode().ok) << "unicode-data is not installed";
    RandomText gen(20240611, ArabicLetters());
    int failures = 0;
    for (int i = 0; i < 3000 && failures < 5; ++i) {
        const Text input = gen.Next();
        const std::string in = Hex(input);
        const std::string shaped = Hex(FribidiDisplay(input, true));
        const std::string ordered = Hex(FribidiDisplay(input, false));
        const std::string arabic = Hex(Parse(input, 2)), farsi = Hex(Parse(input, 0)),
                          hebrew = Hex(Parse(input, 1));
        EXPECT_EQ(arabic, shaped) << "input " << in;
        EXPECT_EQ(farsi, shaped) << "input " << in;
        EXPECT_EQ(hebrew, ordered) << "input " << in;
        failures += (arabic != shaped) + (farsi != shaped) + (hebrew != ordered);
    }
}

TEST(ArabicParserReferenceTest, RandomHebrewTextEqualsFribidi) {
    Text hebrew;
    for (uint16_t c = 0x05D0; c <= 0x05EA; ++c) hebrew.push_back(c);
    RandomText gen(77, hebrew);
    int failures = 0;
    for (int i = 0; i < 2000 && failures < 5; ++i) {
        const Text input = gen.Next();
        const std::string got = Hex(Parse(input, 1)), want = Hex(FribidiDisplay(input, false));
        EXPECT_EQ(got, want) << "input " << Hex(input);
        failures += got != want;
    }
}

// HarfBuzz over DejaVu Sans, without ligatures.
class HarfBuzzFont {
public:
    HarfBuzzFont() {
        hb_blob_t* blob = hb_blob_create_from_file(varnelle::font_test::kDejaVu);
        m_face = hb_face_create(blob, 0);
        hb_blob_destroy(blob);
        m_font = hb_font_create(m_face);
        for (const char* f : {"-rlig", "-liga"}) {
            hb_feature_t feature;
            hb_feature_from_string(f, -1, &feature);
            m_features.push_back(feature);
        }
    }
    ~HarfBuzzFont() {
        hb_font_destroy(m_font);
        hb_face_destroy(m_face);
    }
    HarfBuzzFont(const HarfBuzzFont&) = delete;
    HarfBuzzFont& operator=(const HarfBuzzFont&) = delete;

    bool Ok() const { return hb_face_get_glyph_count(m_face) > 0; }

    uint32_t Glyph(uint16_t code) const {
        hb_codepoint_t g = 0;
        return hb_font_get_nominal_glyph(m_font, code, &g) ? g : UINT32_MAX;
    }

    // Glyphs of a right-to-left run, in display order.
    std::vector<uint32_t> Shape(const Text& run) const {
        hb_buffer_t* buf = hb_buffer_create();
        hb_buffer_add_utf16(buf, run.data(), static_cast<int>(run.size()), 0, static_cast<int>(run.size()));
        hb_buffer_set_direction(buf, HB_DIRECTION_RTL);
        hb_buffer_set_script(buf, HB_SCRIPT_ARABIC);
        hb_buffer_set_language(buf, hb_language_from_string("ar", -1));
        hb_shape(m_font, buf, m_features.data(), static_cast<unsigned>(m_features.size()));
        unsigned count = 0;
        const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &count);
        std::vector<uint32_t> glyphs;
        for (unsigned i = 0; i < count; ++i) glyphs.push_back(info[i].codepoint);
        hb_buffer_destroy(buf);
        return glyphs;
    }

private:
    hb_face_t* m_face = nullptr;
    hb_font_t* m_font = nullptr;
    std::vector<hb_feature_t> m_features;
};

// Each shaped letter is the glyph HarfBuzz picks for it, through the font's character map (an isolated
// letter may come as the letter's own glyph). A letter kept right-joining ends HarfBuzz's run, as it
// ends the join here; letters without a row keep their code and are not compared.
TEST(ArabicParserReferenceTest, RandomWordsEqualHarfBuzzGlyphs) {
    ASSERT_TRUE(Unicode().ok) << "unicode-data is not installed";
    HarfBuzzFont font;
    ASSERT_TRUE(font.Ok());
    const Text letters = ArabicLetters();
    std::mt19937 rng(4242);
    int failures = 0;
    for (int i = 0; i < 2000 && failures < 5; ++i) {
        Text word(1 + rng() % 8);
        for (uint16_t& c : word) c = letters[rng() % letters.size()];
        const Text ours = Parse(word, 2);
        ASSERT_EQ(ours.size(), word.size());

        std::vector<uint32_t> theirs;
        for (size_t start = 0; start < word.size();) {
            size_t end = start;
            while (end < word.size() && kKeptRightJoining.count(word[end]) == 0) ++end;
            end = std::min(end + 1, word.size());
            const std::vector<uint32_t> run = font.Shape(
                Text(word.begin() + static_cast<long>(start), word.begin() + static_cast<long>(end)));
            theirs.insert(theirs.begin(), run.begin(), run.end());
            start = end;
        }
        ASSERT_EQ(theirs.size(), word.size()) << Hex(word);

        for (size_t v = 0; v < ours.size(); ++v) {
            const uint16_t letter = word[word.size() - 1 - v];
            bool same;
            if (RowLetters().count(letter) == 0) {
                same = ours[v] == letter;
            } else {
                same = theirs[v] == font.Glyph(ours[v]) ||
                       (ours[v] == UnicodeForm(letter, "isolated") && theirs[v] == font.Glyph(letter));
            }
            if (!same) {
                ADD_FAILURE() << "word " << Hex(word) << " display " << Hex(ours) << " position " << v;
                ++failures;
                break;
            }
        }
    }
}

}  // namespace
