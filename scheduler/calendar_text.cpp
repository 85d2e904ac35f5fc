// Calendar patterns of recurrences, checked against the scheduler's own stepping rules.
#include "scheduler/calendar_text.h"

#include "common/text.h"
#include "common/time_text.h"
#include "scheduler/recurrence.h"
#include "scheduler/schedule_words.h"

namespace orvane::sched {

namespace {

std::string iso_text(const CalendarTime& t) {
    return format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// Days of a month in a year that is not a leap year: the months a monthly run must always find.
int plain_month_days(int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[month - 1];
}

CalendarField fixed(int value) {
    return {false, value, 0};
}

CalendarField stepped(int start, int step) {
    return {false, start, step};
}

// Runs a fixed number of seconds apart: a pattern exists when the step divides the next larger
// unit, so that every minute, hour or day repeats the same values.
int fixed_step_pattern(const CalendarTime& t, int64_t step, TaskCalendar& c, std::string& why) {
    if (step < 60) {
        if (60 % step != 0) return why = "the runs do not fall on the same seconds of every minute", 1;
        c.second = stepped(static_cast<int>(t.second % step), static_cast<int>(step));
        return 0;
    }
    c.second = fixed(t.second);
    if (step < 3600) {
        if (step % 60 != 0 || 3600 % step != 0)
            return why = "the runs do not fall on the same minutes of every hour", 1;
        int k = static_cast<int>(step / 60);
        c.minute = stepped(t.minute % k, k);
        return 0;
    }
    c.minute = fixed(t.minute);
    if (step < 86400) {
        if (step % 3600 != 0 || 86400 % step != 0)
            return why = "the runs do not fall on the same minutes and hours of every day", 1;
        int k = static_cast<int>(step / 3600);
        c.hour = stepped(t.hour % k, k);
        return 0;
    }
    c.hour = fixed(t.hour);
    if (step == 86400) return 0;
    if (step == 604800) {
        // 1970-01-01 was a Thursday.
        c.weekday = static_cast<int>((schedule_seconds(t) / 86400 + 4) % 7);
        return 0;
    }
    why = "the runs do not fall on the same dates or weekdays";
    return 1;
}

// Runs a number of months apart, by the scheduler's rule that a month too short for the day
// takes its last day at 23:59:59 and keeps that day from then on.
int month_step_pattern(const CalendarTime& t, int64_t months, TaskCalendar& c, std::string& why) {
    c.second = fixed(t.second);
    c.minute = fixed(t.minute);
    c.hour = fixed(t.hour);
    c.day = fixed(t.day);
    if (months % 12 == 0) {
        int years = static_cast<int>(months / 12);
        if (t.month == 2 && t.day == 29 && years % 4 != 0)
            return why = "29 February moves to 28 February at 23:59:59 in a year that is not a leap year", 1;
        c.month = fixed(t.month);
        c.year = stepped(t.year, years);
        c.start_in_pattern = true;
        return 0;
    }
    if (12 % months != 0) return why = "the months of the runs change from year to year", 1;
    int k = static_cast<int>(months);
    for (int m = 1; m <= 12; ++m)
        if ((m - t.month) % k == 0 && t.day > plain_month_days(m))
            return why = format("day %d moves to the end of a shorter month and stays on that day", t.day), 1;
    c.month = stepped((t.month - 1) % k + 1, k);
    return 0;
}

// The match one interval before the first run.
int64_t previous_match(const CalendarTime& t, int64_t step, int64_t months) {
    if (months == 0) return schedule_seconds(t) - step;
    CalendarTime back = t;
    int64_t index = static_cast<int64_t>(t.year) * 12 + (t.month - 1) - months;
    back.year = static_cast<int>(index / 12);
    back.month = static_cast<int>(index % 12) + 1;
    return schedule_seconds(back);
}

// Cron steps need the range spelled out; a step of 1 is every value.
std::string cron_field(const CalendarField& f, int last) {
    if (f.any || f.step == 1) return "*";
    if (f.step == 0) return std::to_string(f.start);
    return format("%d-%d/%d", f.start, last, f.step);
}

}  // namespace

int task_calendar(const Task& task, int64_t now, TaskCalendar& out, std::string& reason) {
    TaskCalendar c;
    CalendarTime t;
    if (parse_time_text(task.next_run, t) != 0 || !occurrence_in_range(t)) {
        reason = "its next run is not a time of 1970-2040";
        return 1;
    }
    std::string words = recurrence_words(task);
    c.first = t;
    c.summary = words + (task.recurring == 1 ? " from " : " at ") + iso_text(t);
    if (task.recurring != 1) {
        // The scheduler runs a past one at its next start; a timer never reaches a past time.
        if (schedule_seconds(t) < now) return reason = "its one run (" + iso_text(t) + ") is past", 1;
        c.year = fixed(t.year);
        c.month = fixed(t.month);
        c.day = fixed(t.day);
        c.hour = fixed(t.hour);
        c.minute = fixed(t.minute);
        c.second = fixed(t.second);
        c.start_in_pattern = true;
        out = c;
        return 0;
    }
    bool known_unit = task.unit == kUnitYear || task.unit == kUnitMonth || unit_seconds(task.unit) > 0;
    if (task.interval < 1 || task.interval > INT32_MAX || !known_unit) {
        reason = "its recurrence is not valid (the scheduler runs it once and drops it)";
        return 1;
    }
    std::string why;
    int64_t months = 0;
    int failed;
    if (task.unit == kUnitYear && t.month == 2 && t.day == 29) {
        failed = 1;
        why = "a yearly run on 29 February moves to 28 February after the first run";
    } else if (task.unit == kUnitYear || task.unit == kUnitMonth) {
        months = static_cast<int64_t>(task.interval) * (task.unit == kUnitYear ? 12 : 1);
        c.period = months % 12 == 0 ? months / 12 * 366 * 86400 : months * 31 * 86400;
        failed = month_step_pattern(t, months, c, why);
    } else {
        c.period = static_cast<int64_t>(task.interval) * unit_seconds(task.unit);
        failed = fixed_step_pattern(t, c.period, c, why);
    }
    if (failed) {
        reason = words + ": " + why;
        return 1;
    }
    c.previous_match = previous_match(t, c.period, months);
    c.first_ahead = !c.start_in_pattern && c.previous_match >= now;
    out = c;
    return 0;
}

namespace {

std::string systemd_field(const CalendarField& f, int end) {
    if (f.last >= 0) {
        std::string range = format("%02d..%02d", f.start, f.last);
        return f.step > 1 ? range + format("/%d", f.step) : range;
    }
    if (f.any || f.step == 1) return end == 2040 ? "1970..2040" : "*";
    if (f.step == 0) return format("%02d", f.start);
    return format(end == 2040 ? "%02d..2040/%d" : "%02d/%d", f.start, f.step);
}

std::string calendar_line(const TaskCalendar& c, const CalendarField (&f)[6]) {
    static const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::string text = c.weekday >= 0 ? std::string(kDays[c.weekday]) + " " : std::string();
    // The scheduler's range ends with 2040: so do the timer's matches.
    return text + systemd_field(f[0], 2040) + "-" + systemd_field(f[1], 12) + "-" + systemd_field(f[2], 31) +
           " " + systemd_field(f[3], 23) + ":" + systemd_field(f[4], 59) + ":" + systemd_field(f[5], 59);
}

// The values of a pattern field from `low` on; false when there are none.
bool field_from(const CalendarField& f, int low, int end, CalendarField& out) {
    if (f.any || f.step == 1) {
        out = {false, low, 1, end};
    } else if (f.step == 0) {
        out = f;
        return f.start >= low;
    } else {
        int first = f.start + (low > f.start ? (low - f.start + f.step - 1) / f.step * f.step : 0);
        out = {false, first, f.step, end};
    }
    return out.start <= end;
}

}  // namespace

std::vector<std::string> on_calendar_lines(const TaskCalendar& c) {
    const CalendarField pattern[6] = {c.year, c.month, c.day, c.hour, c.minute, c.second};
    if (!c.first_ahead) return {calendar_line(c, pattern)};
    // A time is at or after the first run when it equals it down to some field and is later in
    // that one: one line per field, the fields before it fixed at the first run's values (which the
    // pattern matches), that field past its value, the fields after it as the pattern has them.
    const int value[6] = {c.first.year, c.first.month,  c.first.day,
                          c.first.hour, c.first.minute, c.first.second};
    const int end[6] = {2040, 12, 31, 23, 59, 59};
    std::vector<std::string> lines;
    for (int k = 5; k >= 0; --k) {
        CalendarField f[6];
        for (int j = 0; j < 6; ++j) f[j] = j < k ? fixed(value[j]) : pattern[j];
        if (!field_from(pattern[k], k == 5 ? value[k] : value[k] + 1, end[k], f[k])) continue;
        lines.push_back(calendar_line(c, f));
    }
    return lines;
}

int cron_text(const TaskCalendar& c, int64_t now, std::string& out, std::string& reason) {
    if (c.period == 0) return reason = "cron repeats every year and cannot run a task once", 1;
    if (c.second.any || c.second.step != 0 || c.second.start != 0)
        return reason = "cron starts jobs on whole minutes only", 1;
    if (!c.year.any && c.year.step != 1) return reason = "cron has no field for a step of years", 1;
    if (c.previous_match >= now) {
        CalendarTime prev;
        schedule_calendar(c.previous_match, prev);
        return reason = format("cron would run it at %s, before its first run", iso_text(prev).c_str()), 1;
    }
    std::string weekday = c.weekday >= 0 ? std::to_string(c.weekday) : "*";
    out = cron_field(c.minute, 59) + " " + cron_field(c.hour, 23) + " " + cron_field(c.day, 31) + " " +
          cron_field(c.month, 12) + " " + weekday;
    return 0;
}

}  // namespace orvane::sched
