// Calendar arithmetic over the proleptic Gregorian calendar (the civil-days algorithm), no time zones.
#include "common/time_text.h"

#include "common/text.h"
#include "platform/file.h"

namespace orvane {
namespace {

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && leap(y)) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a civil date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, CalendarTime& t) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
    t.month = static_cast<int>(m);
    t.day = static_cast<int>(d);
}

constexpr int64_t kSecondsPerDay = 86400;
// 1601-01-01 and 30828-01-01 in seconds relative to 1970: the range FILETIME (as a signed
// 64-bit tick count) covers.
constexpr int64_t kFirstSecond = -11644473600LL;
constexpr int64_t kLastSecond = 910692730085LL;

}  // namespace

bool calendar_valid(const CalendarTime& t) {
    if (t.year < 1601 || t.year > 30827) return false;
    if (t.month < 1 || t.month > 12) return false;
    if (t.day < 1 || t.day > days_in_month(t.year, t.month)) return false;
    return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

uint64_t filetime_from_calendar(const CalendarTime& t) {
    if (!calendar_valid(t)) return 0;
    int64_t days = days_from_civil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    int64_t seconds = days * kSecondsPerDay + t.hour * 3600 + t.minute * 60 + t.second;
    return platform::filetime_from_unix(seconds);
}

bool calendar_from_unix(int64_t seconds, CalendarTime& out) {
    if (seconds < kFirstSecond || seconds >= kLastSecond) return false;
    int64_t days =
        seconds >= 0 ? seconds / kSecondsPerDay : -((-seconds + kSecondsPerDay - 1) / kSecondsPerDay);
    int64_t rest = seconds - days * kSecondsPerDay;
    civil_from_days(days, out);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest % 3600 / 60);
    out.second = static_cast<int>(rest % 60);
    return true;
}

CalendarTime calendar_from_filetime(uint64_t filetime) {
    CalendarTime t;
    int64_t ticks = static_cast<int64_t>(filetime & 0x7FFFFFFFFFFFFFFFULL);
    calendar_from_unix(ticks / 10000000 + kFirstSecond, t);
    return t;
}

std::string time_text(const CalendarTime& t) {
    return format("%d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

int parse_time_text(std::string_view text, CalendarTime& out) {
    if (text.size() < 14) return 1;
    for (size_t i = 0; i < 14; ++i)
        if (text[i] < '0' || text[i] > '9') return 1;
    if (text.size() > 14) {
        // Only a fraction of a second may follow.
        if (text[14] != '.' || text.size() == 15) return 1;
        for (size_t i = 15; i < text.size(); ++i)
            if (text[i] < '0' || text[i] > '9') return 1;
    }
    auto num = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
        return v;
    };
    CalendarTime t;
    t.year = num(0, 4);
    t.month = num(4, 2);
    t.day = num(6, 2);
    t.hour = num(8, 2);
    t.minute = num(10, 2);
    t.second = num(12, 2);
    if (!calendar_valid(t)) return 1;
    out = t;
    return 0;
}

}  // namespace orvane
