// gettimestamp: the local time as timestamp text, optionally shifted by whole units.
#pragma once

#include <cstdint>
#include <string>

#include "common/time_text.h"

namespace orvane {

enum class TimeUnit : int { kSecond, kMinute, kHour, kDay, kWeek, kMonth, kYear };

// `start` shifted by n units forward (forward true) or back. Fixed units add their length; a month
// step adds (or takes away) the length of the month the step starts in, counted from start's month
// and moving one month each step, so 31 January plus one month is 3 March (2 March in a leap year);
// a year is twelve month steps. A result beyond the times the system can hold (1601 to 30827) stops
// at that limit. n = 0 leaves the time as it is.
CalendarTime shift_time(const CalendarTime& start, bool forward, TimeUnit unit, uint32_t n);

// The current local time (process TZ), shifted as above, as timestamp text.
std::string local_timestamp(bool forward, TimeUnit unit, uint32_t n);

}  // namespace orvane
