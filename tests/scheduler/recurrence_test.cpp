// Recurrence arithmetic: the month-end and leap-year rules, and moving a started task on.
#include "scheduler/recurrence.h"
#include "scheduler/scheduler.h"

#include <gtest/gtest.h>

namespace orvane::sched {
namespace {

CalendarTime at(const char* text) {
    CalendarTime t;
    EXPECT_EQ(parse_time_text(text, t), 0) << text;
    return t;
}

int64_t seconds(const char* text) {
    return schedule_seconds(at(text));
}

TEST(ScheduleSeconds, CountsFrom1970WithEveryFourthYearLeap) {
    EXPECT_EQ(seconds("19700101000000"), 0);
    EXPECT_EQ(seconds("19700102000001"), 86401);
    EXPECT_EQ(seconds("20000301000000"), 951868800);  // 2000 is a leap year
    EXPECT_EQ(seconds("20261208101530"), 1796724930);
    CalendarTime back;
    ASSERT_TRUE(schedule_calendar(seconds("20240229235959"), back));
    EXPECT_EQ(time_text(back), "20240229235959");
}

struct NextCase {
    const char* from;
    uint32_t interval;
    uint32_t unit;
    const char* next;  // nullptr: no next occurrence
};

TEST(NextOccurrence, UnitsMonthEndsAndLeapYears) {
    const NextCase cases[] = {
        {"20260101100000", 30, kUnitSecond, "20260101100030"},
        {"20260101100000", 90, kUnitMinute, "20260101113000"},
        {"20261231230000", 2, kUnitHour, "20270101010000"},
        {"20240228100000", 1, kUnitDay, "20240229100000"},
        {"20260101100000", 2, kUnitWeek, "20260115100000"},
        // 31 January, monthly: the last day of February at 23:59:59, then the 28th (29th) of March.
        {"20270131100000", 1, kUnitMonth, "20270228235959"},
        {"20270228235959", 1, kUnitMonth, "20270328235959"},
        {"20280131100000", 1, kUnitMonth, "20280229235959"},
        {"20280229235959", 1, kUnitMonth, "20280329235959"},
        {"20261130080000", 3, kUnitMonth, "20270228235959"},
        {"20261015080000", 14, kUnitMonth, "20271215080000"},
        {"20260115080000", 1, kUnitYear, "20270115080000"},
        {"20270315080000", 1, kUnitYear, "20280315080000"},
        // 29 February yearly: 28 February, at 23:59:59 unless that year is divisible by 4.
        {"20240229100000", 1, kUnitYear, "20250228235959"},
        {"20240229100000", 4, kUnitYear, "20280228100000"},
        // The accepted range ends with 2040.
        {"20401231235959", 1, kUnitSecond, nullptr},
        {"20391215000000", 1, kUnitYear, "20401215000000"},
        {"20401215000000", 1, kUnitMonth, nullptr},
        {"20260101000000", 4000000000u, kUnitMonth, nullptr},
        // Intervals that never advance.
        {"20260101000000", 0, kUnitDay, nullptr},
        {"20260101000000", 0x80000000u, kUnitDay, nullptr},
        {"20260101000000", 1, 9, nullptr},
        {"20260101000000", 1, 17, nullptr},
    };
    for (const auto& c : cases) {
        CalendarTime next;
        NextResult r = next_occurrence(at(c.from), c.interval, c.unit, next);
        if (c.next == nullptr) {
            EXPECT_NE(r, NextResult::kMoved) << c.from << " +" << c.interval << " unit " << c.unit;
        } else {
            ASSERT_EQ(r, NextResult::kMoved) << c.from << " +" << c.interval << " unit " << c.unit;
            EXPECT_EQ(time_text(next), c.next) << c.from << " +" << c.interval << " unit " << c.unit;
        }
    }
}

Task task(const char* next_run, uint32_t recurring, uint32_t interval, uint32_t unit, const char* program) {
    Task t;
    t.created = "20260101000000";
    t.next_run = next_run;
    t.recurring = recurring;
    t.interval = interval;
    t.unit = unit;
    t.launch.program = program;
    return t;
}

struct RescheduleCase {
    Task first;
    const char* now;
    RescheduleResult result;
    const char* next;  // the moved task's next run, when moved
};

Task ending(Task t, const char* until) {
    set_task_until(t.launch, until);
    return t;
}

TEST(Reschedule, FromThePreviousRunSkippingMissedOnes) {
    const RescheduleCase cases[] = {
        // An end on the next occurrence keeps it; one a second before ends the recurrence.
        {ending(task("20261208100000", 1, 1, kUnitDay, "r"), "20261209100000"), "20261208100000",
         RescheduleResult::kMoved, "20261209100000"},
        {ending(task("20261208100000", 1, 1, kUnitDay, "r"), "20261209095959"), "20261208100000",
         RescheduleResult::kUntilPassed, nullptr},
        {task("20261208100000", 0, 1, kUnitDay, "once"), "20261208100000", RescheduleResult::kRemoved,
         nullptr},
        {task("20261208100000", 1, 2, kUnitSecond, "r"), "20261208100001", RescheduleResult::kMoved,
         "20261208100002"},
        // Three days behind: one run, then the first occurrence at or after now.
        {task("20261205090000", 1, 1, kUnitDay, "r"), "20261208100000", RescheduleResult::kMoved,
         "20261209090000"},
        {task("20261205100000", 1, 1, kUnitDay, "r"), "20261208100000", RescheduleResult::kMoved,
         "20261208100000"},
        // Counted from the previous run, not from now.
        {task("20261208095929", 1, 10, kUnitSecond, "r"), "20261208100000", RescheduleResult::kMoved,
         "20261208100009"},
        {task("19700101000000", 1, 1, kUnitSecond, "r"), "20261208100000", RescheduleResult::kMoved,
         "20261208100000"},
        {task("20260131100000", 1, 1, kUnitMonth, "r"), "20260401000000", RescheduleResult::kMoved,
         "20260428235959"},
        {task("20261208100000", 1, 0, kUnitDay, "r"), "20261208100000", RescheduleResult::kBadRecurrence,
         nullptr},
        {task("20261208100000", 1, 1, 3, "r"), "20261208100000", RescheduleResult::kBadRecurrence, nullptr},
        {task("20401208100000", 1, 1, kUnitYear, "r"), "20401208100000", RescheduleResult::kEnded, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<Task> list{c.first, task("20261208103000", 0, 0, kUnitSecond, "other")};
        RescheduleResult r = reschedule_first(list, seconds(c.now));
        EXPECT_EQ(r, c.result) << c.first.next_run;
        size_t found = 0;
        for (const Task& t : list) {
            if (t.launch.program == "other") continue;
            ++found;
            if (c.next) {
                EXPECT_EQ(t.next_run, c.next) << c.first.next_run;
            }
            EXPECT_EQ(t.launch, c.first.launch);
            EXPECT_EQ(t.created, c.first.created);
        }
        EXPECT_EQ(found, c.next ? 1u : 0u) << c.first.next_run;
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                                   [](const Task& a, const Task& b) { return a.next_run < b.next_run; }));
    }
}

// The real second a local time is due, in a zone one hour ahead from 2026-03-08 02:00 to
// 2026-11-01 02:00 (local times, as US zones change).
TEST(DueMoment, CountsTheRealClockAcrossDaylightSavingChanges) {
    setenv("TZ", "XST0XDT-1,M3.2.0/2,M11.1.0/2", 1);
    tzset();
    // The zone's standard time is UTC, so a UTC time text counts as Unix seconds the same way.
    struct Case {
        const char* now_utc;
        const char* due_local;
        const char* expected_utc;
    } cases[] = {
        {"20260308015800", "20260308030100", "20260308020100"},  // after the jump: 3 minutes, not 63
        {"20260308015800", "20260308023000", "20260308020000"},  // in the skipped hour: at the jump
        {"20260308010000", "20260308013000", "20260308013000"},  // no change on the way
        {"20261031230000", "20261101013000", "20261101003000"},  // a repeated hour: its first pass
        {"20260308020500", "20260308030000", "20260308020500"},  // already due
    };
    for (const auto& c : cases)
        EXPECT_EQ(first_second_at(seconds(c.due_local), seconds(c.now_utc)), seconds(c.expected_utc))
            << c.due_local;
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace orvane::sched
