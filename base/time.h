// Clock and calendar services: the millisecond tick, sleeps, the calendar value CTime with its
// process-wide display settings, setting the clock, and PackedTime, a 32-bit date-time for the
// years 2000 to 2063 whose unsigned order is chronological.
//
// Every read of the time of day goes through the platform wall clock, so a time set with
// CTime::setCurrentTime is seen by the whole process; the host's own clock is never changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Millisecond tick for stamps and reporting: counts in steps of 10 ms and wraps at 2^32 ms (the
// upper 32 bits are always 0). Deadlines that must never wrap use SystemGetMSCount64.
uint64_t SystemGetMSCount();
// Milliseconds since `since`, a value of SystemGetMSCount, as an unsigned 32-bit difference: right across
// the wrap, for spans below 2^32 ms.
uint32_t SystemMSElapsed(uint32_t since);
// Monotonic milliseconds that never wrap.
uint64_t SystemGetMSCount64();
// Wall-clock microseconds since the epoch.
int64_t SystemGetUSCount();
// Sleeps ms milliseconds, resuming after signals.
void SystemSleep(uint32_t ms);

// The application's hook that writes the hardware clock; returns 0 on success.
int SystemTimeToRtcTimeSet();

class CTime {
public:
    // Date orders for setFormat.
    enum { kYMD = 0, kMDY = 1, kDMY = 2 };
    // Format flags, combined with |.
    enum {
        kFmtTwoDigitYear = 1,
        kFmtNoSeconds = 2,
        kFmtNoSeparators = 4,
        kFmtDateOnly = 8,
        kFmtTimeOnly = 16,
    };

    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int wday = 6;   // 0 = Sunday
    int hour = 0;
    int minute = 0;
    int second = 0;

    // 2000-01-01 00:00:00.
    CTime() = default;
    // Stores the fields and normalises them through the calendar (2018-02-30 is 2018-03-02).
    CTime(int year, int month, int day, int hour, int minute, int second);
    // Copying and assignment both normalise: fields set by hand arrive as a calendar date (Feb 30 is
    // Mar 2).
    CTime(const CTime& other);
    CTime& operator=(const CTime& other);

    // The fields as seconds of a calendar without daylight saving (they are read as UTC), so
    // arithmetic and comparisons step evenly through the hours a zone repeats or skips. Only
    // getCurrentTime and setCurrentTime go through the local zone.
    time_t makeTime() const;
    // The fields of such seconds. A CTime holds the years INT_MIN + 1900 to INT_MAX: seconds, steps and
    // fields beyond either end stop at its first or last second.
    void breakTime(time_t t);
    void normalize() { breakTime(makeTime()); }

    CTime& operator+=(int64_t seconds);
    CTime& operator-=(int64_t seconds);
    CTime operator+(int64_t seconds) const;
    CTime operator-(int64_t seconds) const;
    // Difference in seconds.
    int64_t operator-(const CTime& other) const;
    bool operator==(const CTime& o) const { return makeTime() == o.makeTime(); }
    bool operator!=(const CTime& o) const { return makeTime() != o.makeTime(); }
    bool operator<(const CTime& o) const { return makeTime() < o.makeTime(); }
    bool operator>(const CTime& o) const { return makeTime() > o.makeTime(); }
    bool operator<=(const CTime& o) const { return makeTime() <= o.makeTime(); }
    bool operator>=(const CTime& o) const { return makeTime() >= o.makeTime(); }

    // Formats under the process-wide display settings.
    std::string format(int flags = 0) const;
    // Same into buf of size bytes, always terminated (truncated when too small); a null buffer or
    // size 0 does nothing.
    void format(char* buf, size_t size, int flags = 0) const;

    static CTime getCurrentTime();
    // Sets the clock, then writes the hardware clock through SystemTimeToRtcTimeSet. False when the
    // value is not a valid time (nothing is changed then) or the hardware clock refused.
    static bool setCurrentTime(const CTime& t);

    // Date order 0..2 (others ignored), 12-hour clock flag, separator style (0 ".", 1 "-", 2 "/",
    // other "-"). Plain process-wide values, meant to be set at start-up.
    static void setFormat(int dateOrder, int hour12, int separator);
    static int getDateOrder();
    static int getHour12();
    static int getSeparator();
};

// Fills *t with the current local time; 0 for a null pointer, else 1.
int SystemGetCurrentTime(CTime* t);
// Sets the clock to *t (through CTime::setCurrentTime); 0 when it failed.
int SystemSetCurrentTime(const CTime* t);

bool IsLeapYear(int year);
int GetMonthDays(int year, int month);
int Hour12To24(int hour, bool pm);
int Hour24To12(int hour);
bool IsPM(int hour);

// Bits from the least significant: second 0-5, minute 6-11, hour 12-16, day 17-21, month 22-25,
// year - 2000 26-31. 0 means unset.
using PackedTime = uint32_t;

// Times before 2000-01-01 00:00:00 pack as that instant, times after 2063-12-31 23:59:59 as that
// one, so packed values keep their order. The weekday is dropped.
PackedTime CTimeToPackedTime(const CTime& t);
// The weekday of the result is 0.
CTime PackedTimeToCTime(PackedTime p);
// -1 for a null destination, else 1.
int SystemGetPackedTime(PackedTime* out);
void ClearPackedTime(PackedTime* p);
bool IsPackedTimeZero(PackedTime p);
int ComparePackedTime(PackedTime a, PackedTime b);
int CompareCTimePacked(const CTime& a, const CTime& b);
// -1 below low, 1 above high, else 0.
int CheckPackedTimeRange(PackedTime v, PackedTime low, PackedTime high);
// Days since 2000-01-01.
uint32_t PackedTimeToDays(PackedTime p);
// Seconds since 2000-01-01 00:00:00.
uint32_t PackedTimeToSeconds(PackedTime p);
PackedTime SecondsToPackedTime(uint32_t s);
PackedTime AddPackedTimeSeconds(PackedTime p, int32_t s);
int64_t PackedTimeDiff(PackedTime a, PackedTime b);
CTime CTimeAddSecondsPacked(const CTime& t, int32_t s);
int64_t CTimeDiffPacked(const CTime& a, const CTime& b);
void FormatPackedTime(PackedTime p, char* buf, size_t size, int flags);
