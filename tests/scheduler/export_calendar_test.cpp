// Exported calendar patterns against the scheduler's own next runs, read back by systemd and croniter.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "scheduler/calendar_text.h"
#include "scheduler/schedule_words.h"
#include "scheduler/recurrence.h"
#include "tests/support/process.h"

namespace orvane::sched {
namespace {

constexpr int kRuns = 50;
const CalendarTime kBase{2027, 3, 14, 15, 9, 26};
constexpr int64_t kEnd = 2240611199;  // 2040-12-31 23:59:59, the last second of the scheduler's range

Task task_at(const CalendarTime& first, uint32_t interval, uint32_t unit) {
    Task t;
    t.next_run = time_text(first);
    t.recurring = 1;
    t.interval = interval;
    t.unit = unit;
    t.launch.program = "/bin/true";
    return t;
}

// The scheduler's runs after `base`: the first run when it is still ahead, else where a started
// task moves on to; then its next occurrences, up to kRuns or the end of its range.
std::vector<int64_t> scheduler_runs(const Task& task, int64_t base) {
    std::vector<int64_t> runs;
    CalendarTime at;
    parse_time_text(task.next_run, at);
    if (schedule_seconds(at) <= base) {
        std::vector<Task> list{task};
        if (reschedule_first(list, base + 1) != RescheduleResult::kMoved) return runs;
        parse_time_text(list[0].next_run, at);
    }
    runs.push_back(schedule_seconds(at));
    CalendarTime next;
    while (runs.size() < kRuns && next_occurrence(at, task.interval, task.unit, next) == NextResult::kMoved) {
        at = next;
        runs.push_back(schedule_seconds(at));
    }
    return runs;
}

// "    Next elapse: Sun 2027-03-14 15:10:00 UTC" and "Iter. #2: ..." lines, block by block.
std::vector<std::vector<int64_t>> systemd_runs(const std::vector<std::string>& specs, int64_t base) {
    std::vector<std::string> args{"calendar", "--base-time=@" + std::to_string(base),
                                  "--iterations=" + std::to_string(kRuns)};
    args.insert(args.end(), specs.begin(), specs.end());
    test::ProcessResult r =
        test::run_process("/usr/bin/systemd-analyze", args, {}, false, std::chrono::seconds(120), {"TZ=UTC"});
    EXPECT_EQ(r.exit_code, 0) << r.output.substr(0, 2000);
    std::vector<std::vector<int64_t>> blocks;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        if (line.find("Normalized form:") != std::string::npos) blocks.emplace_back();
        size_t at = line.find("Next elapse: ");
        if (at == std::string::npos) at = line.find("Iter. #");
        if (at == std::string::npos || blocks.empty()) continue;
        CalendarTime t;
        size_t date = line.find(' ', line.find(": ", at) + 2) + 1;  // past the weekday
        if (std::sscanf(line.c_str() + date, "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour,
                        &t.minute, &t.second) == 6)
            blocks.back().push_back(schedule_seconds(t));
    }
    return blocks;
}

std::vector<std::vector<int64_t>> croniter_runs(const std::vector<std::string>& crons, int64_t base) {
    std::string input;
    for (const std::string& c : crons) input += c + "\t" + std::to_string(base) + "\n";
    test::ProcessResult r =
        test::run_process("/usr/bin/python3", {ORVANE_SOURCE_DIR "/tests/scheduler/cron_times.py"}, input,
                          false, std::chrono::seconds(120));
    EXPECT_EQ(r.exit_code, 0) << r.output.substr(0, 2000);
    std::vector<std::vector<int64_t>> lists;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        lists.emplace_back();
        std::istringstream words(line);
        for (int64_t t; words >> t;)
            if (t <= kEnd) lists.back().push_back(t);
    }
    return lists;
}

struct Family {
    uint32_t unit;
    std::vector<uint32_t> intervals;  // exact ones and some that are not
};

// 200 recurrences from a fixed seed, their first run within two years before the base time or a
// day after it, on whole minutes for half of them (what cron can say).
std::vector<Task> random_tasks() {
    const Family families[] = {
        {kUnitSecond, {1, 5, 12, 15, 30, 60, 120, 900, 7, 45, 90}},
        {kUnitMinute, {1, 2, 5, 10, 15, 20, 30, 60, 120, 360, 1440, 7, 90}},
        {kUnitHour, {1, 2, 3, 4, 6, 8, 12, 24, 168, 5, 36}},
        {kUnitDay, {1, 7, 2, 14}},
        {kUnitWeek, {1, 2}},
        {kUnitMonth, {1, 2, 3, 4, 6, 12, 24, 48, 5}},
        {kUnitYear, {1, 2, 4}},
    };
    std::mt19937 random(35);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    std::vector<Task> tasks;
    int64_t base = schedule_seconds(kBase);
    while (tasks.size() < 200) {
        const Family& f = families[pick(0, 6)];
        uint32_t interval = f.intervals[pick(0, static_cast<int>(f.intervals.size()) - 1)];
        CalendarTime first;
        // Steps of a day or less start close to the base time, so their first runs are not weeks ahead.
        int64_t span = f.unit >= kUnitDay ? 3 * 86400 : 2 * 366 * 86400;
        schedule_calendar(base - span + pick(0, static_cast<int>(span + 86400)), first);
        if (f.unit <= kUnitMonth && pick(0, 3) == 0) first.day = pick(28, 31);  // month ends
        if (first.day > 28)
            first.day = std::min(first.day, first.month == 2 ? (first.year % 4 ? 28 : 29)
                                                             : 30 + (first.month + first.month / 8) % 2);
        if (pick(0, 1) == 0) first.second = 0;
        tasks.push_back(task_at(first, interval, f.unit));
    }
    return tasks;
}

TEST(ExportedCalendar, TimersAndCronJobsRunWhenTheSchedulerWould) {
    int64_t base = schedule_seconds(kBase);
    std::vector<Task> tasks = random_tasks();
    std::vector<std::string> specs, crons;
    std::vector<size_t> timer_of, cron_of;
    size_t refused = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        TaskCalendar c;
        std::string reason, cron;
        if (task_calendar(tasks[i], base, c, reason) != 0) {
            EXPECT_FALSE(reason.empty()) << tasks[i].next_run;
            ++refused;
            continue;
        }
        for (const std::string& line : on_calendar_lines(c)) {
            specs.push_back(line);
            timer_of.push_back(i);
        }
        if (cron_text(c, base, cron, reason) == 0) {
            crons.push_back(cron);
            cron_of.push_back(i);
        } else {
            EXPECT_FALSE(reason.empty());
        }
    }
    // The sample must exercise both answers and both readers.
    EXPECT_GE(tasks.size() - refused, 110u);
    EXPECT_GE(refused, 20u);
    EXPECT_GE(crons.size(), 40u);

    std::vector<std::vector<int64_t>> blocks = systemd_runs(specs, base);
    ASSERT_EQ(blocks.size(), specs.size());
    // A timer with several OnCalendar= lines elapses at the union of their times.
    std::map<size_t, std::set<int64_t>> timers;
    std::map<size_t, std::string> lines;
    for (size_t k = 0; k < specs.size(); ++k) {
        timers[timer_of[k]].insert(blocks[k].begin(), blocks[k].end());
        lines[timer_of[k]] += "OnCalendar=" + specs[k] + " ";
    }
    size_t several = 0;
    for (auto& [i, times] : timers) {
        std::vector<int64_t> first(times.begin(), times.end());
        if (first.size() > kRuns) first.resize(kRuns);
        several += lines[i].find("OnCalendar=", 1) != std::string::npos;
        EXPECT_EQ(first, scheduler_runs(tasks[i], base))
            << lines[i] << "for " << recurrence_words(tasks[i]) << " from " << tasks[i].next_run;
    }
    EXPECT_GE(several, 10u);  // first runs further ahead than one interval
    std::vector<std::vector<int64_t>> cron_runs = croniter_runs(crons, base);
    ASSERT_EQ(cron_runs.size(), crons.size());
    for (size_t k = 0; k < crons.size(); ++k) {
        const Task& t = tasks[cron_of[k]];
        EXPECT_EQ(cron_runs[k], scheduler_runs(t, base))
            << "schedule \"" << crons[k] << "\" for " << recurrence_words(t) << " from " << t.next_run;
    }
}

struct Refusal {
    const char* first;
    uint32_t interval;
    uint32_t unit;
    const char* timer_reason;  // nullptr: a timer can say it
    const char* cron_reason;   // nullptr: cron can say it
};

TEST(ExportedCalendar, RecurrencesWithoutAnExactPatternAreRefusedWithTheirReason) {
    const Refusal cases[] = {
        {"20270314100000", 90, kUnitMinute, "same minutes and hours of every day", nullptr},
        {"20270314100000", 14, kUnitDay, "same dates or weekdays", nullptr},
        {"20270131100000", 1, kUnitMonth, "day 31 moves to the end of a shorter month", nullptr},
        {"20240229100000", 1, kUnitYear, "moves to 28 February", nullptr},
        {"20270101100000", 5, kUnitMonth, "months of the runs change", nullptr},
        {"20270320100000", 1, kUnitDay, nullptr, "before its first run"},
        {"20270314100000", 15, kUnitSecond, nullptr, "whole minutes"},
        {"20270314100030", 1, kUnitDay, nullptr, "whole minutes"},
        {"20240101100000", 2, kUnitYear, nullptr, "no field for a step of years"},
        {"20280229100000", 48, kUnitMonth, nullptr, "no field for a step of years"},
        {"20270311100000", 1, kUnitWeek, nullptr, nullptr},
        {"20270315100000", 0, 0, nullptr, "cannot run a task once"},
        {"20270313100000", 0, 0, "is past", nullptr},
    };
    int64_t base = schedule_seconds(kBase);
    for (const Refusal& r : cases) {
        CalendarTime first;
        ASSERT_EQ(parse_time_text(r.first, first), 0);
        TaskCalendar c;
        std::string reason, cron;
        Task task = task_at(first, r.interval, r.unit);
        task.recurring = r.unit != 0 ? 1 : 0;
        int timer = task_calendar(task, base, c, reason);
        SCOPED_TRACE(std::string(r.first) + " every " + std::to_string(r.interval));
        EXPECT_EQ(timer, r.timer_reason ? 1 : 0) << reason;
        if (r.timer_reason) {
            EXPECT_NE(reason.find(r.timer_reason), std::string::npos) << reason;
            continue;
        }
        EXPECT_EQ(cron_text(c, base, cron, reason), r.cron_reason ? 1 : 0) << cron;
        if (r.cron_reason) {
            EXPECT_NE(reason.find(r.cron_reason), std::string::npos) << reason;
        }
    }
}

}  // namespace
}  // namespace orvane::sched
