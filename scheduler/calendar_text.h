// A task's recurrence as a calendar pattern: systemd OnCalendar= and cron texts, or why it has none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/time_text.h"
#include "scheduler/task.h"

namespace orvane::sched {

// One field of a calendar pattern: every value, one value, or a value and every `step` after it,
// up to `last` when that is set.
struct CalendarField {
    bool any = true;
    int start = 0;
    int step = 0;   // 0: exactly `start`
    int last = -1;  // the highest value matched; -1: the field's own end
};

struct TaskCalendar {
    int weekday = -1;  // 0 Sunday .. 6 Saturday; -1 any day of the week
    CalendarField year, month, day, hour, minute, second;
    // Pattern matches before the first run are excluded by the pattern itself (a year field with a
    // start, a one-time task); otherwise they lie in the past unless `first_ahead`.
    bool start_in_pattern = false;
    bool first_ahead = false;  // the pattern matches between now and the first run
    CalendarTime first;
    int64_t period = 0;          // seconds between runs (months of 31 days, years of 366); 0: once
    int64_t previous_match = 0;  // schedule seconds of the match one interval before the first run
    std::string summary;         // "every 2 hours from 2026-12-09 10:00:00"
};

// The pattern that matches exactly the task's runs from `now` (schedule seconds) on, by the
// scheduler's own month-end and leap-year rules, up to the end of its range (2040). 0 with the
// pattern in `out`; 1 with the reason in `reason` when no single pattern does (a step that does
// not divide its larger unit, a month end that moves the run).
int task_calendar(const Task& task, int64_t now, TaskCalendar& out, std::string& reason);

// systemd's calendar event texts ("Wed 1970..2040-*-* 10:00:00"; years capped at 2040): one, or
// when the first run is further ahead than one interval, the few whose union is the pattern's
// matches from the first run on.
std::vector<std::string> on_calendar_lines(const TaskCalendar& calendar);

// A five-field cron schedule ("30 2 * * 3"). 0 with the text in `out`; 1 with the reason when
// cron cannot say it (seconds, a one-time run, steps of years, a first run it cannot wait for).
int cron_text(const TaskCalendar& calendar, int64_t now, std::string& out, std::string& reason);

}  // namespace orvane::sched
