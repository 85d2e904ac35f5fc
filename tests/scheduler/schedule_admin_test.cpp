// The admin commands' pure parts: recurrences in words, next runs in ISO 8601, and -add's arguments.
#include "scheduler/schedule_admin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "scheduler/recurrence.h"
#include "scheduler/schedule_words.h"

namespace orvane::sched {
namespace {

Task recurring(const char* next_run, uint32_t interval, uint32_t unit) {
    Task t;
    t.next_run = next_run;
    t.recurring = 1;
    t.interval = interval;
    t.unit = unit;
    return t;
}

struct WordsCase {
    Task task;
    const char* words;
};

TEST(RecurrenceWords, FollowTheSchedulersRules) {
    Task once = recurring("20261210030000", 1, kUnitDay);
    once.recurring = 0;
    const WordsCase cases[] = {
        {once, "once"},
        {recurring("20261210030000", 1, kUnitSecond), "every second"},
        {recurring("20261210030000", 90, kUnitMinute), "every 90 minutes"},
        {recurring("20261210030000", 2, kUnitHour), "every 2 hours"},
        {recurring("20261210030000", 1, kUnitDay), "daily at 03:00"},
        {recurring("20261210030015", 7, kUnitDay), "every 7 days at 03:00:15"},
        {recurring("20261210030000", 1, kUnitWeek), "weekly on Thursday at 03:00"},
        {recurring("20261213030000", 2, kUnitWeek), "every 2 weeks on Sunday at 03:00"},
        {recurring("20261210030000", 1, kUnitMonth), "monthly on day 10 at 03:00"},
        {recurring("20261231100000", 1, kUnitMonth),
         "monthly on day 31 at 10:00 (last day in shorter months, at 23:59:59; later months keep that day)"},
        {recurring("20261228100000", 3, kUnitMonth), "every 3 months on day 28 at 10:00"},
        {recurring("20261210030000", 1, kUnitYear), "yearly on 10 December at 03:00"},
        {recurring("20280229100000", 1, kUnitYear),
         "yearly on 29 February at 10:00 (then on 28 February; at 23:59:59 when that year is not divisible "
         "by 4)"},
        {recurring("20261210030000", 0, kUnitDay),
         "once (a recurrence of 0 in unit 13 never advances: dropped after its run)"},
        {recurring("20261210030000", 1, 9),
         "once (a recurrence of 1 in unit 9 never advances: dropped after its run)"},
    };
    for (const auto& c : cases) EXPECT_EQ(recurrence_words(c.task), c.words) << c.task.next_run;
}

TEST(IsoLocalTime, CarriesTheOffsetInForceThen) {
    const char* saved = getenv("TZ");
    std::string old = saved ? saved : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(iso_local_time("20391210030000"), "2039-12-10T03:00:00+01:00");
    EXPECT_EQ(iso_local_time("20390710030000"), "2039-07-10T03:00:00+02:00");
    EXPECT_EQ(iso_local_time("20000710030000"), "2000-07-10T03:00:00+02:00");  // in the past
    // The hour the clocks skip: the scheduler starts it at the jump.
    EXPECT_EQ(iso_local_time("20390327023000"), "2039-03-27T03:00:00+02:00");
    EXPECT_EQ(iso_local_time("2039121003000"), "");
    saved ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
    tzset();

    std::string text;
    EXPECT_EQ(parse_iso_local("2026-12-10T03:00", text), 0);
    EXPECT_EQ(text, "20261210030000");
    EXPECT_EQ(parse_iso_local("2028-02-29 23:59:58", text), 0);
    EXPECT_EQ(text, "20280229235958");
    for (const char* bad : {"2027-02-29T00:00", "2041-01-01T00:00", "2026-12-10", "2026-12-10T03:00Z",
                            "2026-12-10T03:00+01:00", "2026-12-10T24:00", "2026-1-10T03:00", "tomorrow"})
        EXPECT_EQ(parse_iso_local(bad, text), 1) << bad;
}

TEST(AddArguments, MakeTheTaskOrSayWhatIsWrong) {
    Task t;
    std::string error;
    ASSERT_EQ(task_from_arguments({"-program", "/usr/bin/orvaneftp", "-args", "-script \"my job.fscr\"",
                                   "-output", "/srv/out.txt", "-start", "2026-12-10T03:00", "-every", "2h",
                                   "-until", "2027-01-01T00:00"},
                                  "20261209101010", t, &error),
              0)
        << error;
    EXPECT_EQ(t.created, "20261209101010");
    EXPECT_EQ(t.next_run, "20261210030000");
    EXPECT_EQ(t.launch.program, "/usr/bin/orvaneftp");
    EXPECT_EQ(t.launch.arguments, "-script \"my job.fscr\"");
    EXPECT_EQ(t.launch.output_file, "/srv/out.txt");
    EXPECT_EQ(t.launch.capture_output, 1u);
    EXPECT_EQ(t.launch.append, 1u);
    EXPECT_EQ(t.recurring, 1u);
    EXPECT_EQ(t.interval, 2u);
    EXPECT_EQ(t.unit, kUnitHour);
    EXPECT_EQ(task_until(t.launch), "20270101000000");

    ASSERT_EQ(task_from_arguments({"-PROGRAM", "/bin/true", "-output", "o", "-replace", "-every", "Monthly"},
                                  "20261209101010", t, &error),
              0)
        << error;
    EXPECT_EQ(t.next_run, "20261209101010");  // no -start: now
    EXPECT_EQ(t.launch.append, 0u);
    EXPECT_EQ(t.unit, kUnitMonth);
    EXPECT_EQ(task_until(t.launch), "");

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"-args", "x"},
        {"-program", ""},
        {"-program", "a\r\nSCHTASK+!~*#$"},  // would add lines to the file
        {"-program", "/bin/true", "-args", "x\ty"},
        {"-program", std::string(391, 'p')},
        {"-program", "/bin/true", "-args", std::string(391, 'a')},
        {"-program", "/bin/true", "-output", std::string(394, 'o')},
        {"-program", "/bin/true", "-output"},
        {"-program", "/bin/true", "-program", "/bin/false"},
        {"-program", "/bin/true", "-replace"},
        {"-program", "/bin/true", "-frobnicate"},
        {"-program", "/bin/true", "-every", "0d"},
        {"-program", "/bin/true", "-every", "3x"},
        {"-program", "/bin/true", "-every", "1M"},  // a minute or a month?
        {"-program", "/bin/true", "-every", "2147483648s"},
        {"-program", "/bin/true", "-until", "2027-01-01T00:00"},
        {"-program", "/bin/true", "-start", "2027-01-02T00:00", "-every", "1d", "-until", "2027-01-01T00:00"},
        {"-program", "/bin/true", "-start", "2026-13-01T00:00"},
    };
    for (const auto& args : bad) {
        error.clear();
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(task_from_arguments(args, "20261209101010", t, &error), 1) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

}  // namespace
}  // namespace orvane::sched
