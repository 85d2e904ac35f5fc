// How a task reads to a person: its next run in ISO 8601 and its recurrence in words.
#pragma once

#include <cstdint>
#include <string>

#include "scheduler/task.h"

namespace orvane::sched {

// A time text as ISO 8601 local time with the offset in force then ("2026-12-10T03:00:00+01:00").
// A time in the hour a daylight-saving jump skips reads as the moment the scheduler starts it.
// Empty when the text is not a time.
std::string iso_local_time(const std::string& time_text);
// Reads "2026-12-10T03:00", "2026-12-10T03:00:00" or "2026-12-10 03:00" (local time) into a time
// text. 0 when it names a real date and time, 1 otherwise.
int parse_iso_local(const std::string& text, std::string& time_text);
// The recurrence as the scheduler carries it out: "once", "every 2 hours", "daily at 03:00",
// "monthly on day 31 at 10:00 (...)"; from the task's next run for the day and the time.
std::string recurrence_words(const Task& task);
// True for a recurring task the scheduler moves on after a run (false: it runs once, then goes).
bool recurrence_advances(const Task& task);

}  // namespace orvane::sched
