// Calendar times of listings and MDTM: the 14-character time text and FILETIME conversions (UTC, no
// zones), and the two readings in the machine's zone that time stamps and logs use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

struct CalendarTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// True when the fields name a real moment between the years 1601 and 30827 (what FILETIME can hold).
bool calendar_valid(const CalendarTime& t);
// The FILETIME of a calendar time taken as UTC; 0 when the calendar time is not valid.
uint64_t filetime_from_calendar(const CalendarTime& t);
// The calendar time of a FILETIME (UTC).
CalendarTime calendar_from_filetime(uint64_t filetime);
// The calendar time of seconds since 1970 (UTC, like gmtime); false when out of FILETIME's range.
bool calendar_from_unix(int64_t seconds, CalendarTime& out);
// yyyymmddhhmmss: the year in decimal, the other fields two digits each.
std::string time_text(const CalendarTime& t);
// Reads yyyymmddhhmmss (exactly 14 digits, optionally followed by a fraction ".ddd" that is ignored).
// 0 when the text names a valid time, 1 otherwise.
int parse_time_text(std::string_view text, CalendarTime& out);

// The calendar time of seconds since 1970 in the machine's zone; a leap second reads as the one
// before it.
CalendarTime calendar_from_local(int64_t seconds);
// "12/8/2026 6:54:44 AM": the time stamp of log lines, in the machine's zone.
std::string log_timestamp(int64_t seconds);

}  // namespace orvane
