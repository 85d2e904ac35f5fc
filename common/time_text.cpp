// Calendar arithmetic over the proleptic Gregorian calendar of std::chrono, no time zones.
#include "common/time_text.h"

#include <chrono>

#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {
namespace {

namespace chrono = std::chrono;

// 1601-01-01 and 30828-01-01 in seconds relative to 1970: the range FILETIME (as a signed
// 64-bit tick count) covers.
constexpr int64_t kFirstSecond = -11644473600LL;
constexpr int64_t kLastSecond = 910692730085LL;

chrono::year_month_day civil_date(const CalendarTime& t) {
    return chrono::year{t.year} / chrono::month{static_cast<unsigned>(t.month)} /
           chrono::day{static_cast<unsigned>(t.day)};
}

}  // namespace

bool calendar_valid(const CalendarTime& t) {
    if (t.year < 1601 || t.year > 30827) return false;
    // chrono's month and day keep a single byte: out-of-range fields must not reach them.
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return false;
    if (!civil_date(t).ok()) return false;
    return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

uint64_t filetime_from_calendar(const CalendarTime& t) {
    if (!calendar_valid(t)) return 0;
    const chrono::sys_seconds at = chrono::sys_days{civil_date(t)} + chrono::hours{t.hour} +
                                   chrono::minutes{t.minute} + chrono::seconds{t.second};
    return platform::filetime_from_unix(at.time_since_epoch().count());
}

bool calendar_from_unix(int64_t seconds, CalendarTime& out) {
    if (seconds < kFirstSecond || seconds >= kLastSecond) return false;
    const chrono::sys_seconds at{chrono::seconds{seconds}};
    const chrono::sys_days day = chrono::floor<chrono::days>(at);
    const chrono::year_month_day date{day};
    const chrono::hh_mm_ss time{at - day};
    out.year = static_cast<int>(date.year());
    out.month = static_cast<int>(static_cast<unsigned>(date.month()));
    out.day = static_cast<int>(static_cast<unsigned>(date.day()));
    out.hour = static_cast<int>(time.hours().count());
    out.minute = static_cast<int>(time.minutes().count());
    out.second = static_cast<int>(time.seconds().count());
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
    if (leading_digits(text) < 14) return 1;
    if (text.size() > 14) {
        // Only a fraction of a second may follow.
        std::string_view fraction = text.substr(15);
        if (text[14] != '.' || fraction.empty() || leading_digits(fraction) != fraction.size()) return 1;
    }
    auto num = [&](size_t at, size_t n) {
        uint64_t v = 0;
        parse_decimal(text.substr(at, n), v);  // the digits were checked above
        return static_cast<int>(v);
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

CalendarTime calendar_from_local(int64_t seconds) {
    struct tm local = platform::local_time(static_cast<time_t>(seconds));
    CalendarTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return t;
}

std::string log_timestamp(int64_t seconds) {
    struct tm t = platform::local_time(static_cast<time_t>(seconds));
    int hour = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    return format("%d/%d/%d %d:%02d:%02d %s", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, hour, t.tm_min,
                  t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
}

}  // namespace orvane
