#include "base/time.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/internal/test_clock.h"
#include "platform/host/clock.h"

// The test's own hardware-clock hook, so the failure path can be driven.
static int g_rtcResult = 0;
static int g_rtcCalls = 0;
int SystemTimeToRtcTimeSet() {
    ++g_rtcCalls;
    return g_rtcResult;
}

namespace {

// Calendar results below are for UTC.
const bool kUtc = [] {
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
}();

struct FormatGuard {
    FormatGuard() : order(CTime::getDateOrder()), h12(CTime::getHour12()), sep(CTime::getSeparator()) {}
    ~FormatGuard() { CTime::setFormat(order, h12, sep); }
    int order, h12, sep;
};

TEST(SystemClockTest, MillisecondTickStepsByTenAndKeepsThirtyTwoBits) {
    uint64_t a = SystemGetMSCount();
    EXPECT_EQ(a >> 32, 0u);
    EXPECT_EQ(a % 10, 0u);
    uint64_t b = SystemGetMSCount64();
    EXPECT_GE(b, a);
}

TEST(SystemClockTest, ElapsedIsTheUnsignedDifferenceAcrossTheWrap) {
    varnelle::base::testing::FakeMSCount tick(4294967290u);
    const auto start = static_cast<uint32_t>(SystemGetMSCount());
    EXPECT_EQ(start, 4294967290u);
    tick.Set(4294967300u);
    EXPECT_EQ(SystemGetMSCount(), 4u);
    EXPECT_EQ(SystemMSElapsed(start), 10u);
    EXPECT_EQ(SystemMSElapsed(4), 0u);
}

TEST(SystemClockTest, MicrosecondCountUsesAllSixtyFourBits) {
    int64_t us = SystemGetUSCount();
    timeval now = varnelle::host::WallNow();
    int64_t want = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
    EXPECT_GT(us, int64_t{1} << 32);
    EXPECT_LE(std::llabs(want - us), 1000000);
}

TEST(SystemClockTest, SleepLastsAtLeastTheRequestedTime) {
    uint64_t start = varnelle::host::MonotonicUs();
    SystemSleep(15);
    EXPECT_GE(varnelle::host::MonotonicUs() - start, 15000u);
}

TEST(CTimeTest, DefaultIsStartOfTwoThousandAndFieldsNormalise) {
    CTime def;
    EXPECT_EQ(def.year, 2000);
    EXPECT_EQ(def.month, 1);
    EXPECT_EQ(def.day, 1);
    EXPECT_EQ(def.wday, 6);
    CTime t(2018, 2, 30, 0, 0, 0);
    EXPECT_EQ(t.year, 2018);
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.day, 2);
    EXPECT_EQ(t.wday, 5);
}

// Switches the process to a zone with daylight saving for one test, then back to UTC.
struct DaylightSavingZone {
    DaylightSavingZone() {
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    ~DaylightSavingZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST(CTimeTest, LocalTimeKeepsItsHourInSummerAndWinter) {
    DaylightSavingZone zone;
    struct Case {
        int month, day;
    } cases[] = {{7, 1}, {1, 15}, {3, 24}, {10, 30}};
    for (const Case& c : cases) {
        CTime t(2018, c.month, c.day, 12, 0, 0);
        EXPECT_EQ(t.hour, 12) << c.month << "-" << c.day;
        CTime later = t + 3600;
        EXPECT_EQ(later.hour, 13) << c.month << "-" << c.day;
        EXPECT_EQ(later - t, 3600);
        CTime same = t + 0;
        EXPECT_EQ(same.hour, 12);
        EXPECT_TRUE(same == t);
    }
    // Differences count calendar time, as if daylight saving were off.
    EXPECT_EQ(CTime(2018, 3, 25, 12, 0, 0) - CTime(2018, 3, 24, 12, 0, 0), 24 * 3600);
}

// Stepping over the repeated autumn hour or the skipped spring hour moves one calendar hour per 3600 s,
// and differences and comparisons across them do not depend on how the zone reads that hour.
TEST(CTimeTest, StepsAndDifferencesCountCalendarHoursAcrossSummerTimeChanges) {
    DaylightSavingZone zone;
    struct Walk {
        const char* name;
        CTime start;
        int64_t step;
        int hours[4];
    } walks[] = {
        {"autumn forward", CTime(2024, 10, 27, 0, 30, 0), 3600, {1, 2, 3, 4}},
        {"autumn backward", CTime(2024, 10, 27, 4, 30, 0), -3600, {3, 2, 1, 0}},
        {"spring forward", CTime(2024, 3, 31, 0, 30, 0), 3600, {1, 2, 3, 4}},
        {"spring backward", CTime(2024, 3, 31, 4, 30, 0), -3600, {3, 2, 1, 0}},
    };
    for (const Walk& w : walks) {
        CTime t = w.start;
        for (int want : w.hours) {
            const CTime before = t;
            t += w.step;
            EXPECT_EQ(t.hour, want) << w.name;
            EXPECT_EQ(t.minute, 30) << w.name;
            EXPECT_EQ(t - before, w.step) << w.name;
            EXPECT_EQ(w.step > 0 ? before < t : t < before, true) << w.name;
        }
    }
    struct Diff {
        CTime a, b;
        int64_t want;
    } diffs[] = {
        {CTime(2024, 10, 27, 3, 0, 0), CTime(2024, 10, 27, 2, 0, 0), 3600},
        {CTime(2024, 10, 27, 2, 30, 0), CTime(2024, 10, 27, 1, 30, 0), 3600},
        {CTime(2024, 3, 31, 3, 0, 0), CTime(2024, 3, 31, 2, 0, 0), 3600},
        {CTime(2024, 10, 28, 0, 0, 0), CTime(2024, 10, 27, 0, 0, 0), 86400},
        {CTime(2024, 3, 31, 12, 0, 0), CTime(2024, 3, 30, 12, 0, 0), 86400},
    };
    for (const Diff& d : diffs) {
        EXPECT_EQ(d.a - d.b, d.want) << d.a.format() << " - " << d.b.format();
        EXPECT_TRUE(d.b < d.a) << d.a.format();
    }
    // 02:30 exists as a calendar value on the spring day too.
    EXPECT_EQ(CTime(2024, 3, 31, 2, 30, 0).hour, 2);
}

TEST(CTimeTest, SetCurrentTimeInSummerReadsBackTheSameHour) {
    DaylightSavingZone zone;
    const timeval host = [] {
        timeval tv;
        gettimeofday(&tv, nullptr);
        return tv;
    }();
    g_rtcResult = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(CTime::setCurrentTime(CTime(2030, 7, 15, 8, 30, 0)));
    testing::internal::GetCapturedStdout();
    CTime now = CTime::getCurrentTime();
    EXPECT_EQ(now.day, 15);
    EXPECT_EQ(now.hour, 8);
    // The clock itself is set through local time: 08:30 summer time is 06:30 UTC.
    EXPECT_LE(std::llabs(static_cast<long long>(varnelle::host::WallSeconds()) - 1910327400LL), 2);
    varnelle::host::SetWallClock(host);
}

TEST(CTimeTest, AssignmentNormalisesFieldsSetByHand) {
    struct Case {
        int year, month, day, hour;
        int wantYear, wantMonth, wantDay, wantHour, wantWday;
    } cases[] = {
        {2018, 2, 30, 0, 2018, 3, 2, 0, 5},
        {2018, 12, 32, 0, 2019, 1, 1, 0, 2},
        {2018, 4, 18, 24, 2018, 4, 19, 0, 4},
        {2018, 4, 18, 11, 2018, 4, 18, 11, 3},
    };
    for (const Case& c : cases) {
        CTime raw;
        raw.year = c.year, raw.month = c.month, raw.day = c.day, raw.hour = c.hour;
        CTime t;
        t = raw;
        EXPECT_EQ(t.year, c.wantYear) << c.month << "-" << c.day;
        EXPECT_EQ(t.month, c.wantMonth) << c.month << "-" << c.day;
        EXPECT_EQ(t.day, c.wantDay) << c.month << "-" << c.day;
        EXPECT_EQ(t.hour, c.wantHour) << c.month << "-" << c.day;
        EXPECT_EQ(t.wday, c.wantWday) << c.month << "-" << c.day;
    }
}

// Copying and assigning agree: both give the calendar value of fields set by hand.
TEST(CTimeTest, CopyAndAssignmentGiveTheSameFields) {
    CTime raw;
    raw.year = 2018, raw.month = 2, raw.day = 30, raw.hour = 25;
    CTime copied(raw);
    CTime assigned;
    assigned = raw;
    const auto fields = [](const CTime& t) {
        return std::vector<int>{t.year, t.month, t.day, t.wday, t.hour, t.minute, t.second};
    };
    EXPECT_EQ(fields(copied), fields(assigned));
    EXPECT_EQ(fields(copied), (std::vector<int>{2018, 3, 3, 6, 1, 0, 0}));
}

TEST(CTimeTest, ArithmeticAndComparison) {
    CTime a(2018, 12, 31, 23, 59, 30);
    CTime b = a + 45;
    EXPECT_EQ(b.year, 2019);
    EXPECT_EQ(b.minute, 0);
    EXPECT_EQ(b.second, 15);
    EXPECT_EQ(b - a, 45);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b >= a);
    EXPECT_TRUE(a != b);
    b -= 45;
    EXPECT_TRUE(a == b);
}

// Steps and fields beyond what a CTime can hold (years INT_MIN + 1900 to INT_MAX) stop at its first or
// last second instead of wrapping.
TEST(CTimeTest, StepsAndFieldsSaturateAtTheEndsOfTheCalendar) {
    const std::vector<int> last{INT_MAX, 12, 31, 23, 59, 59};
    const std::vector<int> first{INT_MIN + 1900, 1, 1, 0, 0, 0};
    const CTime t(2018, 4, 18, 11, 29, 27);
    CTime up = t, down = t;
    up -= INT64_MIN;
    down += INT64_MIN;
    const struct {
        const char* name;
        CTime got;
        std::vector<int> want;
    } cases[] = {
        {"+ INT64_MAX", t + INT64_MAX, last},
        {"-= INT64_MIN", up, last},
        {"- INT64_MAX", t - INT64_MAX, first},
        {"+= INT64_MIN", down, first},
        {"last + 1", CTime(INT_MAX, 12, 31, 23, 59, 59) + 1, last},
        {"first - 1", CTime(INT_MIN + 1900, 1, 1, 0, 0, 0) - 1, first},
        {"day past the last", CTime(INT_MAX, 12, 32, 0, 0, 0), last},
        {"year INT_MIN", CTime(INT_MIN, 6, 1, 0, 0, 0), first},
        // INT_MIN - 1 months are 178956971 years back less 3 months.
        {"month INT_MIN", CTime(2018, INT_MIN, 1, 0, 0, 0), {2018 - 178956971, 4, 1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            (std::vector<int>{c.got.year, c.got.month, c.got.day, c.got.hour, c.got.minute, c.got.second}),
            c.want)
            << c.name;
    }
    EXPECT_GT((t + INT64_MAX) - (t - INT64_MAX), 0);
    EXPECT_TRUE(t - INT64_MAX < t && t < t + INT64_MAX);
    FormatGuard restore;
    CTime::setFormat(CTime::kYMD, 0, 1);
    EXPECT_EQ((t - INT64_MAX).format(CTime::kFmtTwoDigitYear), "-2147483748-01-01 00:00:00");
}

TEST(CTimeTest, FormatFollowsDisplaySettings) {
    FormatGuard restore;
    struct Case {
        int order, h12, sep, hour, flags;
        const char* want;
    } cases[] = {
        {1, 0, 2, 11, 0, "04/18/2018 11:29:27"},
        {1, 1, 2, 11, CTime::kFmtDateOnly, "04/18/2018"},
        {1, 1, 2, 13, 0, "04/18/2018 01:29:27PM"},
        {0, 0, 58, 11, 0, "2018-04-18 11:29:27"},
        {0, 0, 0, 11, CTime::kFmtNoSeconds, "2018.04.18 11:29"},
        {2, 0, 1, 11, CTime::kFmtDateOnly, "18-04-2018"},
        {0, 0, 1, 11, CTime::kFmtNoSeparators, "20180418112927"},
        {2, 0, 1, 11, CTime::kFmtNoSeparators, "18042018112927"},
        {0, 0, 1, 11, CTime::kFmtTwoDigitYear, "18-04-18 11:29:27"},
        {1, 0, 2, 11, CTime::kFmtTwoDigitYear, "04/18/18 11:29:27"},
        {0, 1, 1, 0, CTime::kFmtTimeOnly, "12:29:27AM"},
        {0, 0, 1, 9, CTime::kFmtTimeOnly | CTime::kFmtNoSeconds, "09:29"},
        // Flag 2 takes off only the seconds shown: two digits without separators, nothing from a date.
        {0, 0, 1, 11, CTime::kFmtNoSeparators | CTime::kFmtNoSeconds, "201804181129"},
        {1, 1, 2, 13, CTime::kFmtNoSeparators | CTime::kFmtNoSeconds, "041820180129PM"},
        {0, 0, 1, 11, CTime::kFmtDateOnly | CTime::kFmtNoSeconds, "2018-04-18"},
        {0, 0, 1, 11, CTime::kFmtTwoDigitYear | CTime::kFmtNoSeconds, "18-04-18 11:29"},
    };
    for (const Case& c : cases) {
        CTime::setFormat(c.order, c.h12, c.sep);
        CTime t(2018, 4, 18, c.hour, 29, 27);
        EXPECT_EQ(t.format(c.flags), c.want) << c.order << " " << c.h12 << " " << c.flags;
    }
}

TEST(CTimeTest, FormatIntoBufferRespectsItsSize) {
    FormatGuard restore;
    CTime::setFormat(0, 0, 1);
    CTime t(2018, 4, 18, 11, 29, 27);
    char buf[11];
    std::memset(buf, 'x', sizeof buf);
    t.format(buf, sizeof buf, 0);
    EXPECT_STREQ(buf, "2018-04-18");
    t.format(nullptr, 32, 0);
    char one = 'x';
    t.format(&one, 0, 0);
    EXPECT_EQ(one, 'x');
    FormatPackedTime(CTimeToPackedTime(t), buf, sizeof buf, CTime::kFmtDateOnly);
    EXPECT_STREQ(buf, "2018-04-18");
}

TEST(CalendarTest, LeapYearsMonthLengthsAndHourConversions) {
    EXPECT_EQ(GetMonthDays(2100, 2), 28);
    EXPECT_EQ(GetMonthDays(2000, 2), 29);
    EXPECT_EQ(GetMonthDays(2019, 2), 28);
    EXPECT_EQ(GetMonthDays(2019, 4), 30);
    EXPECT_EQ(GetMonthDays(2019, 12), 31);
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_EQ(Hour12To24(12, false), 0);
    EXPECT_EQ(Hour12To24(12, true), 12);
    EXPECT_EQ(Hour12To24(3, true), 15);
    EXPECT_EQ(Hour12To24(INT_MAX, true), INT_MAX);
    EXPECT_EQ(Hour24To12(0), 12);
    EXPECT_EQ(Hour24To12(13), 1);
    EXPECT_EQ(Hour24To12(12), 12);
    EXPECT_TRUE(IsPM(12));
    EXPECT_FALSE(IsPM(11));
}

TEST(PackedTimeTest, PacksFieldsAndUnpacksWithoutWeekday) {
    PackedTime p = CTimeToPackedTime(CTime(2018, 4, 18, 11, 29, 27));
    EXPECT_EQ(p >> 26, 18u);
    EXPECT_EQ((p >> 22) & 15, 4u);
    EXPECT_EQ((p >> 17) & 31, 18u);
    EXPECT_EQ((p >> 12) & 31, 11u);
    EXPECT_EQ((p >> 6) & 63, 29u);
    EXPECT_EQ(p & 63, 27u);
    CTime t = PackedTimeToCTime(p);
    EXPECT_EQ(t.year, 2018);
    EXPECT_EQ(t.day, 18);
    EXPECT_EQ(t.wday, 0);
}

TEST(PackedTimeTest, SecondsOfKnownDates) {
    EXPECT_EQ(PackedTimeToSeconds(CTimeToPackedTime(CTime(2000, 1, 1, 0, 0, 0))), 0u);
    EXPECT_EQ(PackedTimeToSeconds(CTimeToPackedTime(CTime(2000, 3, 1, 0, 0, 0))), 60u * 86400);
    CTime leap = PackedTimeToCTime(SecondsToPackedTime(59 * 86400));
    EXPECT_EQ(leap.year, 2000);
    EXPECT_EQ(leap.month, 2);
    EXPECT_EQ(leap.day, 29);
}

// Every day of the packed range, both ways, checked against the platform calendar.
TEST(PackedTimeTest, EveryDayFromTwoThousandToTwentySixtyThreeRoundTrips) {
    const time_t epoch2000 = 946684800;  // 2000-01-01 00:00:00 UTC
    PackedTime previous = 0;
    uint32_t day = 0;
    for (int y = 2000; y <= 2063; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= GetMonthDays(y, m); ++d, ++day) {
                CTime t;
                t.year = y, t.month = m, t.day = d, t.hour = 23, t.minute = 59, t.second = 58;
                PackedTime p = CTimeToPackedTime(t);
                ASSERT_GT(p, previous) << y << "-" << m << "-" << d;
                previous = p;
                ASSERT_EQ(PackedTimeToDays(p), day) << y << "-" << m << "-" << d;
                uint32_t secs = PackedTimeToSeconds(p);
                ASSERT_EQ(secs, day * 86400u + 86398u);
                ASSERT_EQ(SecondsToPackedTime(secs), p) << y << "-" << m << "-" << d;
                CTime back = PackedTimeToCTime(p);
                ASSERT_EQ(back.year, y);
                ASSERT_EQ(back.month, m);
                ASSERT_EQ(back.day, d);
                tm cal{};
                time_t when = epoch2000 + static_cast<time_t>(secs);
                gmtime_r(&when, &cal);
                ASSERT_EQ(cal.tm_year + 1900, y);
                ASSERT_EQ(cal.tm_mon + 1, m);
                ASSERT_EQ(cal.tm_mday, d);
            }
        }
    }
}

TEST(PackedTimeTest, YearsOutsideTheRangeClampInOrder) {
    CTime before;
    before.year = 1999, before.month = 12, before.day = 31, before.hour = 23;
    CTime after;
    after.year = 2064, after.month = 1, after.day = 1;
    PackedTime first = CTimeToPackedTime(CTime(2000, 1, 1, 0, 0, 0));
    PackedTime last = CTimeToPackedTime(CTime(2063, 12, 31, 23, 59, 59));
    EXPECT_EQ(CTimeToPackedTime(before), first);
    EXPECT_EQ(CTimeToPackedTime(after), last);
    EXPECT_EQ(CompareCTimePacked(before, CTime(2018, 1, 1, 0, 0, 0)), -1);
    EXPECT_EQ(CompareCTimePacked(after, CTime(2018, 1, 1, 0, 0, 0)), 1);
}

TEST(PackedTimeTest, HelpersCompareAddAndDiff) {
    PackedTime a = CTimeToPackedTime(CTime(2018, 4, 18, 11, 29, 27));
    PackedTime b = AddPackedTimeSeconds(a, 86400 + 33);
    EXPECT_EQ(PackedTimeDiff(b, a), 86433);
    EXPECT_EQ(ComparePackedTime(a, b), -1);
    EXPECT_EQ(ComparePackedTime(b, a), 1);
    EXPECT_EQ(ComparePackedTime(a, a), 0);
    EXPECT_EQ(CheckPackedTimeRange(a, b, b), -1);
    EXPECT_EQ(CheckPackedTimeRange(b, a, a), 1);
    EXPECT_EQ(CheckPackedTimeRange(a, a, b), 0);
    CTime c = CTimeAddSecondsPacked(CTime(2018, 4, 18, 23, 59, 59), 1);
    EXPECT_EQ(c.day, 19);
    EXPECT_EQ(c.hour, 0);
    EXPECT_EQ(CTimeDiffPacked(CTime(2018, 4, 19, 0, 0, 0), CTime(2018, 4, 18, 0, 0, 0)), 86400);
    PackedTime z = a;
    ClearPackedTime(&z);
    EXPECT_TRUE(IsPackedTimeZero(z));
    EXPECT_EQ(SystemGetPackedTime(nullptr), -1);
    EXPECT_EQ(SystemGetPackedTime(&z), 1);
    EXPECT_FALSE(IsPackedTimeZero(z));
}

TEST(CTimeTest, SetCurrentTimeMovesTheWallClockAndReportsTheHook) {
    const timeval host = [] {
        timeval tv;
        gettimeofday(&tv, nullptr);
        return tv;
    }();
    struct Case {
        int rtc;
        bool ok;
        const char* line;
    } cases[] = {
        {0, true, "CTime::setCurrentTime to 2030-06-15 08:30:00\n"},
        {-1, false, "CTime::setCurrentTime SystemTimeToRtcTimeSet -w falied\n"},
    };
    for (const Case& c : cases) {
        g_rtcResult = c.rtc;
        testing::internal::CaptureStdout();
        bool ok = CTime::setCurrentTime(CTime(2030, 6, 15, 8, 30, 0));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(out, c.line);
        CTime now = CTime::getCurrentTime();
        EXPECT_EQ(now.year, 2030);
        EXPECT_EQ(now.month, 6);
        EXPECT_EQ(now.day, 15);
    }
    g_rtcResult = 0;
    varnelle::host::SetWallClock(host);
}

TEST(CTimeTest, SetCurrentTimeRefusesTimeBeforeEpochWithoutSuccessLine) {
    int64_t offset = varnelle::host::WallOffsetUs();
    int calls = g_rtcCalls;
    CTime old;
    old.year = 1960;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CTime::setCurrentTime(old));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Format Error\n");
    EXPECT_EQ(g_rtcCalls, calls);
    EXPECT_EQ(varnelle::host::WallOffsetUs(), offset);
    EXPECT_EQ(SystemSetCurrentTime(nullptr), 0);
}

}  // namespace
