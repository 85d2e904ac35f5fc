// Recurrence by the designed calendar rules.
#include "scheduler/recurrence.h"

#include <algorithm>

namespace orvane::sched {

namespace {

bool leap(int64_t year) {
    return year % 4 == 0;
}

int days_in_month(int64_t year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

bool recurrence_valid(uint32_t interval, uint32_t unit) {
    // The interval is a signed count: values past INT32_MAX are negative.
    return interval >= 1 && interval <= INT32_MAX && unit >= kUnitYear && unit <= kUnitSecond;
}

}  // namespace

int64_t unit_seconds(uint32_t unit) {
    switch (unit) {
        case kUnitSecond:
            return 1;
        case kUnitMinute:
            return 60;
        case kUnitHour:
            return 3600;
        case kUnitDay:
            return 86400;
        case kUnitWeek:
            return 604800;
        default:
            return 0;
    }
}

int64_t schedule_seconds(const CalendarTime& t) {
    int64_t days = 0;
    for (int64_t y = 1970; y < t.year; ++y) days += leap(y) ? 366 : 365;
    for (int m = 1; m < t.month && m <= 12; ++m) days += days_in_month(t.year, m);
    days += t.day - 1;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

bool schedule_calendar(int64_t seconds, CalendarTime& out) {
    return calendar_from_unix(seconds, out);
}

bool occurrence_in_range(const CalendarTime& t) {
    return t.year >= 1970 && t.year <= 2040 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

NextResult next_occurrence(const CalendarTime& from, uint32_t interval, uint32_t unit, CalendarTime& out) {
    if (!recurrence_valid(interval, unit)) return NextResult::kBadRecurrence;
    CalendarTime next = from;
    if (unit == kUnitMonth) {
        int64_t months = static_cast<int64_t>(from.month - 1) + interval;
        int64_t year = from.year + months / 12;
        if (year > 2040) return NextResult::kOutOfRange;
        next.year = static_cast<int>(year);
        next.month = static_cast<int>(months % 12) + 1;
        int last = days_in_month(next.year, next.month);
        if (from.day > last) {
            // A shorter month: its last day, at the end of the day.
            next.day = last;
            next.hour = 23;
            next.minute = 59;
            next.second = 59;
        }
    } else if (unit == kUnitYear) {
        int64_t year = from.year + static_cast<int64_t>(interval);
        if (year > 2040) return NextResult::kOutOfRange;
        next.year = static_cast<int>(year);
        if (from.month == 2 && from.day == 29) {
            // Whole-day steps from 29 February land on 28 February.
            next.day = 28;
            if (!leap(year)) {
                next.hour = 23;
                next.minute = 59;
                next.second = 59;
            }
        }
    } else {
        int64_t at = schedule_seconds(from) + static_cast<int64_t>(interval) * unit_seconds(unit);
        if (!schedule_calendar(at, next)) return NextResult::kOutOfRange;
    }
    if (!occurrence_in_range(next)) return NextResult::kOutOfRange;
    out = next;
    return NextResult::kMoved;
}

std::string task_until(const LaunchDetails& launch) {
    const std::string& field = launch.editor_text3;
    size_t prefix = std::char_traits<char>::length(kUntilPrefix);
    if (field.compare(0, prefix, kUntilPrefix) != 0) return {};
    CalendarTime t;
    std::string text = field.substr(prefix);
    return parse_time_text(text, t) == 0 && text.size() == kTimeTextWidth ? text : std::string();
}

void set_task_until(LaunchDetails& launch, const std::string& time_text) {
    launch.editor_text3 = time_text.empty() ? std::string() : kUntilPrefix + time_text;
}

void sort_tasks(std::vector<Task>& tasks) {
    std::stable_sort(tasks.begin(), tasks.end(),
                     [](const Task& a, const Task& b) { return a.next_run < b.next_run; });
}

RescheduleResult reschedule_first(std::vector<Task>& tasks, int64_t now) {
    if (tasks.empty()) return RescheduleResult::kRemoved;
    Task task = std::move(tasks.front());
    tasks.erase(tasks.begin());
    if (task.recurring != 1) return RescheduleResult::kRemoved;
    CalendarTime at;
    if (parse_time_text(task.next_run, at) != 0) return RescheduleResult::kEnded;
    if (!recurrence_valid(task.interval, task.unit)) return RescheduleResult::kBadRecurrence;
    // Fixed-length units jump straight to the last missed occurrence, so a task years in the
    // past does not step through every second in between.
    int64_t step = unit_seconds(task.unit) * static_cast<int64_t>(task.interval);
    int64_t start = schedule_seconds(at);
    if (step > 0 && now - start > step) {
        int64_t skipped = (now - start) / step - 1;
        if (!schedule_calendar(start + skipped * step, at)) return RescheduleResult::kEnded;
    }
    for (;;) {
        CalendarTime next;
        if (next_occurrence(at, task.interval, task.unit, next) != NextResult::kMoved)
            return RescheduleResult::kEnded;
        at = next;
        if (schedule_seconds(at) >= now) break;
    }
    task.next_run = time_text(at);
    std::string until = task_until(task.launch);
    if (!until.empty() && task.next_run > until) return RescheduleResult::kUntilPassed;
    tasks.push_back(std::move(task));
    sort_tasks(tasks);
    return RescheduleResult::kMoved;
}

}  // namespace orvane::sched
