// Timestamp arithmetic in seconds: fixed units by length, months by the designed month steps.
#include "client/actions/timestamp.h"

#include "platform/file.h"
#include "platform/system.h"

namespace orvane {
namespace {

// The range of times the system holds: 1601-01-01 00:00:00 to 30827-12-31 23:59:59 (Unix seconds).
constexpr int64_t kFirstSecond = -11644473600LL;
constexpr int64_t kLastSecond = 910670515199LL;

constexpr int64_t kUnitSeconds[] = {1, 60, 3600, 86400, 604800};

bool leap_year(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_days(int month, int64_t year) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : kDays[month - 1];
}

int64_t clamp(int64_t s) {
    return s < kFirstSecond ? kFirstSecond : s > kLastSecond ? kLastSecond : s;
}

int64_t shift_months(int64_t seconds, bool forward, int month, int64_t year, uint64_t steps) {
    for (uint64_t i = 0; i < steps; ++i) {
        int64_t days = month_days(month, year);
        seconds += (forward ? days : -days) * 86400;
        if (seconds < kFirstSecond || seconds > kLastSecond) return clamp(seconds);
        if (forward) {
            if (++month > 12) month = 1, ++year;
        } else if (--month < 1) {
            month = 12, --year;
        }
    }
    return seconds;
}

}  // namespace

CalendarTime shift_time(const CalendarTime& start, bool forward, TimeUnit unit, uint32_t n) {
    uint64_t filetime = filetime_from_calendar(start);
    if (n == 0 || filetime == 0) return start;
    int64_t seconds = platform::unix_from_filetime(filetime);
    int u = static_cast<int>(unit);
    if (unit == TimeUnit::kMonth || unit == TimeUnit::kYear) {
        uint64_t steps = unit == TimeUnit::kYear ? 12ULL * n : n;
        seconds = shift_months(seconds, forward, start.month, start.year, steps);
    } else {
        // n * one week fits easily in 64 bits.
        int64_t delta = static_cast<int64_t>(n) * kUnitSeconds[u];
        seconds = clamp(forward ? seconds + delta : seconds - delta);
    }
    CalendarTime out;
    calendar_from_unix(seconds, out);
    return out;
}

std::string local_timestamp(bool forward, TimeUnit unit, uint32_t n) {
    return time_text(shift_time(calendar_from_local(platform::now_unix()), forward, unit, n));
}

}  // namespace orvane
