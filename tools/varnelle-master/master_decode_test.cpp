#include "tools/varnelle-master/master_decode.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

using varnelle::master::AccessUnit;
using varnelle::master::SplitAccessUnits;

// NAL units written by hand: a 4-byte start code, the NAL header, then a byte whose top bit is
// first_mb_in_slice == 0 for slices.
std::vector<uint8_t> Nal(uint8_t header, uint8_t next, bool longCode = true, size_t pad = 3) {
    std::vector<uint8_t> v;
    if (longCode) v.push_back(0);
    for (uint8_t b : {uint8_t{0}, uint8_t{0}, uint8_t{1}, header, next}) v.push_back(b);
    for (size_t i = 0; i < pad; ++i) v.push_back(0x55);
    return v;
}

struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> nals;
    std::vector<size_t> unitStarts;  // index of the NAL that opens each unit
};

TEST(MasterDecodeTest, AccessUnitsEndWhereTheNextPictureBegins) {
    const uint8_t kSps = 0x67, kPps = 0x68, kSei = 0x06, kAud = 0x09, kIdr = 0x65, kP = 0x41;
    Case cases[] = {
        {"parameter sets, SEI and IDR make one unit; P slices one each",
         {Nal(kSps, 0x42), Nal(kPps, 0xCE), Nal(kSei, 0x05), Nal(kIdr, 0x88), Nal(kP, 0x9A), Nal(kP, 0x9A)},
         {0, 4, 5}},
        {"a second slice of a picture stays in its unit",
         {Nal(kIdr, 0x88), Nal(kIdr, 0x40, false), Nal(kP, 0x80), Nal(kP, 0x20, false)},
         {0, 2}},
        {"access unit delimiters open units",
         {Nal(kAud, 0x10), Nal(kIdr, 0x88), Nal(kAud, 0x30), Nal(kP, 0x88)},
         {0, 2}},
        {"parameter sets repeated before a later IDR",
         {Nal(kIdr, 0x88), Nal(kP, 0x9A), Nal(kSps, 0x42), Nal(kPps, 0xCE), Nal(kIdr, 0x88)},
         {0, 1, 2}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> s;
        std::vector<size_t> starts;
        for (const auto& n : c.nals) {
            starts.push_back(s.size());
            for (uint8_t b : n) s.push_back(b);
        }
        std::vector<AccessUnit> units = SplitAccessUnits(s.data(), s.size());
        ASSERT_EQ(units.size(), c.unitStarts.size()) << c.what;
        size_t total = 0;
        for (size_t i = 0; i < units.size(); ++i) {
            EXPECT_EQ(units[i].offset, starts[c.unitStarts[i]]) << c.what << " unit " << i;
            total += units[i].length;
        }
        EXPECT_EQ(total, s.size()) << c.what << ": every byte in one unit";
    }
    EXPECT_TRUE(SplitAccessUnits(nullptr, 0).empty());
}

}  // namespace
