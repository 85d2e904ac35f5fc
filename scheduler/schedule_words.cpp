// Next runs in ISO 8601 and recurrences in words, by the scheduler's own calendar rules.
#include "scheduler/schedule_words.h"

#include <time.h>

#include <cstdlib>

#include "common/text.h"
#include "common/time_text.h"
#include "platform/system.h"
#include "scheduler/recurrence.h"
#include "scheduler/scheduler.h"

namespace orvane::sched {

namespace {

long offset_at(int64_t t) {
    return platform::local_time(static_cast<time_t>(t)).tm_gmtoff;
}

std::string plural(uint32_t n, const char* one, const char* many) {
    return n == 1 ? std::string(one) : format("%u %s", n, many);
}

std::string clock_text(const CalendarTime& t) {
    return t.second == 0 ? format("%02d:%02d", t.hour, t.minute)
                         : format("%02d:%02d:%02d", t.hour, t.minute, t.second);
}

const char* weekday_name(const CalendarTime& t) {
    static const char* const kNames[] = {"Thursday", "Friday",  "Saturday", "Sunday",
                                         "Monday",   "Tuesday", "Wednesday"};  // 1 January 1970 first
    return kNames[(schedule_seconds(t) / 86400) % 7];
}

const char* month_name(int month) {
    static const char* const kNames[] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
    return kNames[month - 1];
}

// Units of a fixed length: {unit, one, many}.
struct FixedUnit {
    uint32_t unit;
    const char* one;
    const char* many;
};
const FixedUnit kFixedUnits[] = {
    {kUnitSecond, "every second", "seconds"},
    {kUnitMinute, "every minute", "minutes"},
    {kUnitHour, "every hour", "hours"},
};

}  // namespace

std::string iso_local_time(const std::string& text) {
    CalendarTime due;
    if (parse_time_text(text, due) != 0) return {};
    ::tzset();
    int64_t now = ::time(nullptr);
    int64_t local = schedule_seconds(due);
    int64_t at;
    if (local > schedule_seconds(calendar_from_local(now))) {
        at = first_second_at(local, now);
    } else {
        at = local - offset_at(now);
        at = local - offset_at(at);
    }
    CalendarTime shown = calendar_from_local(at);
    long offset = offset_at(at);
    long magnitude = std::labs(offset);
    return format("%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", shown.year, shown.month, shown.day,
                  shown.hour, shown.minute, shown.second, offset < 0 ? '-' : '+', magnitude / 3600,
                  magnitude % 3600 / 60);
}

int parse_iso_local(const std::string& text, std::string& out) {
    // yyyy-mm-ddThh:mm[:ss]; every other character is a digit.
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != 16 && text.size() != 19) return 1;
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i], want = kShape[i];
        if (want == 'd') {
            if (c < '0' || c > '9') return 1;
            digits += c;
        } else if (c != want && !(want == 'T' && c == ' ')) {
            return 1;
        }
    }
    if (text.size() == 16) digits += "00";
    CalendarTime t;
    if (parse_time_text(digits, t) != 0 || !occurrence_in_range(t)) return 1;
    out = digits;
    return 0;
}

bool recurrence_advances(const Task& task) {
    CalendarTime at, probe;
    return task.recurring == 1 && parse_time_text(task.next_run, at) == 0 &&
           next_occurrence(at, task.interval, task.unit, probe) != NextResult::kBadRecurrence;
}

std::string recurrence_words(const Task& task) {
    if (task.recurring != 1) return "once";
    CalendarTime at;
    if (parse_time_text(task.next_run, at) != 0) return "once";
    if (!recurrence_advances(task))
        return format("once (a recurrence of %u in unit %u never advances: dropped after its run)",
                      task.interval, task.unit);
    const uint32_t n = task.interval;
    for (const FixedUnit& u : kFixedUnits)
        if (task.unit == u.unit) return n == 1 ? u.one : format("every %u %s", n, u.many);
    const std::string clock = clock_text(at);
    switch (task.unit) {
        case kUnitDay:
            return (n == 1 ? std::string("daily") : "every " + plural(n, "day", "days")) + " at " + clock;
        case kUnitWeek:
            return (n == 1 ? std::string("weekly") : "every " + plural(n, "week", "weeks")) + " on " +
                   weekday_name(at) + " at " + clock;
        case kUnitMonth: {
            std::string s = (n == 1 ? std::string("monthly") : "every " + plural(n, "month", "months")) +
                            format(" on day %d at ", at.day) + clock;
            // A shorter month moves the task to its last day, and each step starts from there.
            if (at.day > 28) s += " (last day in shorter months, at 23:59:59; later months keep that day)";
            return s;
        }
        default: {  // kUnitYear
            std::string s = (n == 1 ? std::string("yearly") : "every " + plural(n, "year", "years")) +
                            format(" on %d %s at ", at.day, month_name(at.month)) + clock;
            if (at.month == 2 && at.day == 29)
                s += " (then on 28 February; at 23:59:59 when that year is not divisible by 4)";
            return s;
        }
    }
}

}  // namespace orvane::sched
