// Schedule time arithmetic and recurrence: next occurrences, and moving a started task on.
//
// Times are local calendar times counted in seconds as if they were universal time (days of the
// years since 1970, a year divisible by 4 having 366), so a task due at 10:00 stays at 10:00
// across daylight-saving changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/time_text.h"
#include "scheduler/task.h"

namespace orvane::sched {

// Seconds of a calendar time counted as above.
int64_t schedule_seconds(const CalendarTime& t);
// The calendar time of such seconds; false when out of range.
bool schedule_calendar(int64_t seconds, CalendarTime& out);
// The accepted range of a new occurrence: 1970-2040, the usual field ranges.
bool occurrence_in_range(const CalendarTime& t);

enum class NextResult {
    kMoved,          // `out` holds the next occurrence
    kBadRecurrence,  // interval not above 0, or unit outside 10-16
    kOutOfRange,     // the occurrence would fall outside the accepted range
};
// Seconds of one step of a fixed-length unit (second to week); 0 for months, years and unknown units.
int64_t unit_seconds(uint32_t unit);

// The occurrence `interval` units after `from`, by the month-end and leap-year rules.
NextResult next_occurrence(const CalendarTime& from, uint32_t interval, uint32_t unit, CalendarTime& out);

// Stable sort by next run text, ascending.
void sort_tasks(std::vector<Task>& tasks);

enum class RescheduleResult {
    kRemoved,        // a one-time task: gone
    kMoved,          // a recurring task: its next occurrence at or after now is in the list
    kBadRecurrence,  // recurring, but it cannot advance: ran once, then dropped
    kEnded,          // the next occurrence is out of range: the recurrence ends
    kUntilPassed,    // the next occurrence lies after the task's end: the recurrence ends
};
// A recurring task's end, kept in an editor field the designed file leaves to editors:
// "orvane-until=yyyymmddhhmmss". The time text, or empty when the task has no end.
inline constexpr const char* kUntilPrefix = "orvane-until=";
std::string task_until(const LaunchDetails& launch);
void set_task_until(LaunchDetails& launch, const std::string& time_text);

// Moves the first task of the list (just started) on: removed, or replaced by its first
// occurrence at or after `now` (schedule seconds); missed occurrences are skipped, not run.
RescheduleResult reschedule_first(std::vector<Task>& tasks, int64_t now);

}  // namespace orvane::sched
