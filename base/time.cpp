#include "base/time.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/internal/test_clock.h"
#include "platform/host/clock.h"

namespace {

std::atomic<uint64_t (*)()> g_msCountSource{nullptr};

std::atomic<int> g_dateOrder{CTime::kYMD};
std::atomic<int> g_hour12{0};
std::atomic<int> g_separator{58};

// Days before each month in a common year.
const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

char SeparatorChar(int style) {
    switch (style) {
        case 0:
            return '.';
        case 2:
            return '/';
        default:
            return '-';
    }
}

}  // namespace

void varnelle::base::internal::SetMSCountSource(uint64_t (*source)()) {
    g_msCountSource.store(source);
}

uint64_t SystemGetMSCount() {
    // The tick counts in 10 ms steps and keeps only 32 bits, as the reporting code expects.
    uint64_t (*source)() = g_msCountSource.load(std::memory_order_relaxed);
    uint64_t ms = source != nullptr ? source() : varnelle::host::MonotonicMs() / 10 * 10;
    return static_cast<uint32_t>(ms);
}

uint32_t SystemMSElapsed(uint32_t since) {
    return static_cast<uint32_t>(SystemGetMSCount()) - since;
}

uint64_t SystemGetMSCount64() {
    return varnelle::host::MonotonicMs();
}

int64_t SystemGetUSCount() {
    timeval tv = varnelle::host::WallNow();
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

void SystemSleep(uint32_t ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

__attribute__((weak)) int SystemTimeToRtcTimeSet() {
    return 0;
}

CTime::CTime(int y, int mo, int d, int h, int mi, int s)
    : year(y), month(mo), day(d), wday(0), hour(h), minute(mi), second(s) {
    normalize();
}

CTime::CTime(const CTime& other) {
    *this = other;
}

CTime& CTime::operator=(const CTime& other) {
    year = other.year;
    month = other.month;
    day = other.day;
    wday = other.wday;
    hour = other.hour;
    minute = other.minute;
    second = other.second;
    normalize();
    return *this;
}

namespace {

void FieldsFromTm(const tm& t, CTime* out) {
    out->year = t.tm_year + 1900;
    out->month = t.tm_mon + 1;
    out->day = t.tm_mday;
    out->wday = t.tm_wday;
    out->hour = t.tm_hour;
    out->minute = t.tm_min;
    out->second = t.tm_sec;
}

// Years since 1900 with the months carried in, and the month from 0: in 64 bits, where no field of a
// CTime can overflow.
struct YearMonth {
    int64_t year;
    int month;
};

YearMonth CarryMonths(const CTime& value) {
    const int64_t months = int64_t{value.month} - 1;
    int64_t year = int64_t{value.year} - 1900 + months / 12;
    int64_t month = months % 12;
    if (month < 0) {
        month += 12;
        --year;
    }
    return {year, static_cast<int>(month)};
}

// A year beyond what tm_year holds reads as its limit.
tm TmFromFields(const CTime& value) {
    tm t{};
    const YearMonth ym = CarryMonths(value);
    t.tm_year = static_cast<int>(std::clamp<int64_t>(ym.year, INT_MIN, INT_MAX));
    t.tm_mon = ym.month;
    t.tm_mday = value.day;
    t.tm_hour = value.hour;
    t.tm_min = value.minute;
    t.tm_sec = value.second;
    return t;
}

// The first and last seconds a CTime holds: from the least tm_year (the year INT_MIN + 1900) to the end
// of the year INT_MAX, the last whose tm_year + 1900 fits the year field.
struct Calendar {
    time_t first;
    time_t last;
};

const Calendar& CalendarRange() {
    static const Calendar range = [] {
        tm first{};
        first.tm_year = INT_MIN;
        first.tm_mday = 1;
        tm last{};
        last.tm_year = INT_MAX - 1900;
        last.tm_mon = 11;
        last.tm_mday = 31;
        last.tm_hour = 23;
        last.tm_min = 59;
        last.tm_sec = 59;
        return Calendar{timegm(&first), timegm(&last)};
    }();
    return range;
}

// t + s or t - s, at the far end of time_t when that does not fit (breakTime then stops at the
// calendar's first or last second).
time_t Step(time_t t, int64_t s, bool subtract) {
    time_t r;
    if (!(subtract ? __builtin_sub_overflow(t, s, &r) : __builtin_add_overflow(t, s, &r))) return r;
    return (s > 0) != subtract ? std::numeric_limits<time_t>::max() : std::numeric_limits<time_t>::min();
}

}  // namespace

time_t CTime::makeTime() const {
    tm t = TmFromFields(*this);
    // A year far out is moved by whole turns of the calendar (400 years, 146097 days) to where the days,
    // hours, minutes and seconds carried into it keep tm_year in range, and the turns are taken off the
    // seconds again.
    constexpr int64_t kNear = int64_t{1} << 30;
    const int64_t y = CarryMonths(*this).year;
    int64_t turns = 0;
    if (y > kNear) {
        turns = -((y - kNear + 399) / 400);
    } else if (y < -kNear) {
        turns = (-kNear - y + 399) / 400;
    }
    t.tm_year = static_cast<int>(y + 400 * turns);
    return timegm(&t) - static_cast<time_t>(turns * 146097 * 86400);
}

void CTime::breakTime(time_t value) {
    value = std::clamp(value, CalendarRange().first, CalendarRange().last);
    tm t{};
    gmtime_r(&value, &t);
    FieldsFromTm(t, this);
}

CTime& CTime::operator+=(int64_t seconds) {
    breakTime(Step(makeTime(), seconds, false));
    return *this;
}

CTime& CTime::operator-=(int64_t seconds) {
    breakTime(Step(makeTime(), seconds, true));
    return *this;
}

CTime CTime::operator+(int64_t seconds) const {
    CTime r(*this);
    r += seconds;
    return r;
}

CTime CTime::operator-(int64_t seconds) const {
    CTime r(*this);
    r -= seconds;
    return r;
}

int64_t CTime::operator-(const CTime& other) const {
    return static_cast<int64_t>(makeTime()) - static_cast<int64_t>(other.makeTime());
}

void CTime::format(char* buf, size_t size, int flags) const {
    if (buf == nullptr || size == 0) return;
    char out[64];
    const char sep = SeparatorChar(g_separator.load(std::memory_order_relaxed));
    const int order = g_dateOrder.load(std::memory_order_relaxed);
    const bool h12 = g_hour12.load(std::memory_order_relaxed) != 0;
    int h = hour;
    if (h12) h = (hour == 0) ? 12 : (hour > 12 ? hour - 12 : hour);

    const bool ymd = order != kMDY && order != kDMY;
    // The three date fields in display order, with the year given as shown (in 64 bits: the two-digit
    // year of the calendar's first years lies below INT_MIN).
    long long a = 0, b = 0, c = 0;
    auto order3 = [&](long long y) {
        if (order == kMDY) {
            a = month, b = day, c = y;
        } else if (order == kDMY) {
            a = day, b = month, c = y;
        } else {
            a = y, b = month, c = day;
        }
    };
    order3((flags & kFmtTwoDigitYear) && !(flags & kFmtTimeOnly) ? year - 2000LL : year);

    // What flag 2 takes off: the seconds where they are shown, with their separator if they have one.
    size_t secondsLen = 3;
    if (flags & kFmtTimeOnly) {
        std::snprintf(out, sizeof out, "%02d:%02d:%02d", h, minute, second);
    } else if (flags & kFmtTwoDigitYear) {
        std::snprintf(out, sizeof out, "%02lld%c%02lld%c%02lld %02d:%02d:%02d", a, sep, b, sep, c, h, minute,
                      second);
    } else if (flags & kFmtNoSeparators) {
        std::snprintf(out, sizeof out,
                      ymd ? "%04lld%02lld%02lld%02d%02d%02d" : "%02lld%02lld%04lld%02d%02d%02d", a, b, c, h,
                      minute, second);
        secondsLen = 2;
    } else if (flags & kFmtDateOnly) {
        secondsLen = 0;
        std::snprintf(out, sizeof out, ymd ? "%04lld%c%02lld%c%02lld" : "%02lld%c%02lld%c%04lld", a, sep, b,
                      sep, c);
    } else {
        std::snprintf(out, sizeof out,
                      ymd ? "%04lld%c%02lld%c%02lld %02d:%02d:%02d" : "%02lld%c%02lld%c%04lld %02d:%02d:%02d",
                      a, sep, b, sep, c, h, minute, second);
    }
    size_t len = std::strlen(out);
    if ((flags & kFmtNoSeconds) && len >= secondsLen) {
        len -= secondsLen;
        out[len] = '\0';
    }
    if (h12 && !(flags & kFmtDateOnly))
        std::snprintf(out + len, sizeof out - len, "%s", hour >= 12 ? "PM" : "AM");
    std::snprintf(buf, size, "%s", out);
}

std::string CTime::format(int flags) const {
    char buf[64];
    format(buf, sizeof buf, flags);
    return buf;
}

CTime CTime::getCurrentTime() {
    const time_t now = varnelle::host::WallSeconds();
    tm t{};
    localtime_r(&now, &t);
    CTime value;
    FieldsFromTm(t, &value);
    return value;
}

bool CTime::setCurrentTime(const CTime& value) {
    tm t = TmFromFields(value);
    t.tm_wday = value.wday;
    t.tm_isdst = -1;  // local time, with daylight saving where it applies
    time_t secs = mktime(&t);
    if (secs < 0) {
        std::puts("Format Error");
        return false;
    }
    timeval tv{secs, 0};
    if (varnelle::host::SetWallClock(tv) < 0) {
        std::printf("Cannot Set Date\n");
        return false;
    }
    SystemSleep(200);
    if (SystemTimeToRtcTimeSet() != 0) {
        std::puts("CTime::setCurrentTime SystemTimeToRtcTimeSet -w falied");
        return false;
    }
    std::printf("CTime::setCurrentTime to %04d-%02d-%02d %02d:%02d:%02d\n", value.year, value.month,
                value.day, value.hour, value.minute, value.second);
    return true;
}

void CTime::setFormat(int dateOrder, int hour12, int separator) {
    if (dateOrder >= kYMD && dateOrder <= kDMY) g_dateOrder.store(dateOrder, std::memory_order_relaxed);
    g_hour12.store(hour12, std::memory_order_relaxed);
    g_separator.store(separator, std::memory_order_relaxed);
}

int CTime::getDateOrder() {
    return g_dateOrder.load(std::memory_order_relaxed);
}
int CTime::getHour12() {
    return g_hour12.load(std::memory_order_relaxed);
}
int CTime::getSeparator() {
    return g_separator.load(std::memory_order_relaxed);
}

int SystemGetCurrentTime(CTime* t) {
    if (t == nullptr) return 0;
    *t = CTime::getCurrentTime();
    return 1;
}

int SystemSetCurrentTime(const CTime* t) {
    if (t == nullptr) return 0;
    return CTime::setCurrentTime(*t) ? 1 : 0;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int GetMonthDays(int year, int month) {
    switch (month) {
        case 2:
            return IsLeapYear(year) ? 29 : 28;
        case 1:
        case 3:
        case 5:
        case 7:
        case 8:
        case 10:
        case 12:
            return 31;
        default:
            return 30;
    }
}

int Hour12To24(int hour, bool pm) {
    if (!pm) return hour == 12 ? 0 : hour;
    return hour == 12 ? 12 : static_cast<int>(std::min<int64_t>(int64_t{hour} + 12, INT_MAX));
}

int Hour24To12(int hour) {
    if (hour == 0) return 12;
    return hour > 12 ? hour - 12 : hour;
}

bool IsPM(int hour) {
    return hour > 11;
}

namespace {

constexpr PackedTime Pack(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s) {
    return (y << 26) | (mo << 22) | (d << 17) | (h << 12) | (mi << 6) | s;
}

constexpr PackedTime kPackedFirst = Pack(0, 1, 1, 0, 0, 0);
constexpr PackedTime kPackedLast = Pack(63, 12, 31, 23, 59, 59);

}  // namespace

PackedTime CTimeToPackedTime(const CTime& t) {
    // A year outside the six-bit field would wrap into the wrong end of the range.
    if (t.year < 2000) return kPackedFirst;
    if (t.year > 2063) return kPackedLast;
    return Pack(static_cast<uint32_t>(t.year - 2000), static_cast<uint32_t>(t.month) & 15,
                static_cast<uint32_t>(t.day) & 31, static_cast<uint32_t>(t.hour) & 31,
                static_cast<uint32_t>(t.minute) & 63, static_cast<uint32_t>(t.second) & 63);
}

CTime PackedTimeToCTime(PackedTime p) {
    CTime t;
    t.year = 2000 + static_cast<int>(p >> 26);
    t.month = static_cast<int>((p >> 22) & 15);
    t.day = static_cast<int>((p >> 17) & 31);
    t.hour = static_cast<int>((p >> 12) & 31);
    t.minute = static_cast<int>((p >> 6) & 63);
    t.second = static_cast<int>(p & 63);
    t.wday = 0;
    return t;
}

int SystemGetPackedTime(PackedTime* out) {
    if (out == nullptr) return -1;
    *out = CTimeToPackedTime(CTime::getCurrentTime());
    return 1;
}

void ClearPackedTime(PackedTime* p) {
    if (p != nullptr) *p = 0;
}

bool IsPackedTimeZero(PackedTime p) {
    return p == 0;
}

int ComparePackedTime(PackedTime a, PackedTime b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareCTimePacked(const CTime& a, const CTime& b) {
    return ComparePackedTime(CTimeToPackedTime(a), CTimeToPackedTime(b));
}

int CheckPackedTimeRange(PackedTime v, PackedTime low, PackedTime high) {
    if (v < low) return -1;
    if (v > high) return 1;
    return 0;
}

uint32_t PackedTimeToDays(PackedTime p) {
    uint32_t y = p >> 26;
    uint32_t m = (p >> 22) & 15;
    if (m < 1) m = 1;
    if (m > 12) m = 12;
    uint32_t d = (p >> 17) & 31;
    if (d < 1) d = 1;
    uint32_t days = y / 4 + 1 + 365 * y + static_cast<uint32_t>(kDaysBefore[m - 1]) + d - 1;
    if (IsLeapYear(static_cast<int>(2000 + y)) && m <= 2) days -= 1;
    return days;
}

uint32_t PackedTimeToSeconds(PackedTime p) {
    uint32_t second = p & 63, minute = (p >> 6) & 63, hour = (p >> 12) & 31;
    return second + 60 * (minute + 60 * (hour + 24 * PackedTimeToDays(p)));
}

PackedTime SecondsToPackedTime(uint32_t s) {
    uint32_t days = s / 86400;
    uint32_t y = 0;
    while (days >= 366) {
        days -= IsLeapYear(static_cast<int>(2000 + y)) ? 366 : 365;
        y = (y + 1) & 63;
    }
    bool leap = IsLeapYear(static_cast<int>(2000 + y));
    uint32_t month = 1, day = 1;
    if (days == 365) {
        if (leap) {
            month = 12, day = 31;
        } else {
            y = (y + 1) & 63;
        }
    } else {
        uint32_t doy = days;  // day of the year from 0
        if (leap && doy == 59) {
            month = 2, day = 29;
        } else {
            if (leap && doy > 59) doy -= 1;
            month = 12;
            while (month > 1 && static_cast<uint32_t>(kDaysBefore[month - 1]) > doy) --month;
            day = doy - static_cast<uint32_t>(kDaysBefore[month - 1]) + 1;
        }
    }
    uint32_t rest = s % 86400;
    return Pack(y, month, day, rest / 3600, (s % 3600) / 60, s % 60);
}

PackedTime AddPackedTimeSeconds(PackedTime p, int32_t s) {
    return SecondsToPackedTime(PackedTimeToSeconds(p) + static_cast<uint32_t>(s));
}

int64_t PackedTimeDiff(PackedTime a, PackedTime b) {
    return static_cast<int64_t>(PackedTimeToSeconds(a)) - static_cast<int64_t>(PackedTimeToSeconds(b));
}

CTime CTimeAddSecondsPacked(const CTime& t, int32_t s) {
    return PackedTimeToCTime(AddPackedTimeSeconds(CTimeToPackedTime(t), s));
}

int64_t CTimeDiffPacked(const CTime& a, const CTime& b) {
    return PackedTimeDiff(CTimeToPackedTime(a), CTimeToPackedTime(b));
}

void FormatPackedTime(PackedTime p, char* buf, size_t size, int flags) {
    PackedTimeToCTime(p).format(buf, size, flags);
}
