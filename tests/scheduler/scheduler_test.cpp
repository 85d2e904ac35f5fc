// orvanesched as its users run it: the real program in console mode on a schedule in a scratch
// folder, with its named objects in a scratch runtime folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "common/text.h"
#include "common/version.h"
#include "platform/named_object.h"
#include "scheduler/recurrence.h"
#include "scheduler/schedule_file.h"
#include "scheduler/service.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace orvane::sched {
namespace {

using namespace std::chrono_literals;
using test::read_all;
using test::TempDir;

std::string scheduler_binary() {
    return std::string(ORVANE_BINARY_DIR) + "/bin/orvanesched";
}

// The local time `offset` seconds from now as a time text.
std::string local_text(long offset) {
    time_t t = time(nullptr) + offset;
    struct tm local {};
    localtime_r(&t, &local);
    return format("%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
}

Task task(const std::string& next_run, const std::string& program, const std::string& arguments,
          const std::string& output_file = {}) {
    Task t;
    t.created = local_text(0);
    t.next_run = next_run;
    t.launch.program = program;
    t.launch.arguments = arguments;
    t.launch.output_file = output_file;
    t.launch.capture_output = output_file.empty() ? 0 : 1;
    t.launch.append = 1;
    return t;
}

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// One orvanesched -debug process on the folder's schedule; stopped by the destructor.
class SchedulerRun {
  public:
    SchedulerRun() {
        runtime_ = dir_.file("run");
        setenv("ORVANE_RUNTIME_DIR", runtime_.c_str(), 1);  // the test's own named objects too
    }
    ~SchedulerRun() { stop(); }

    const TempDir& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_.file(name); }
    std::string runtime_env() const { return "ORVANE_RUNTIME_DIR=" + runtime_; }

    void write(const std::vector<Task>& tasks) {
        std::string error;
        ASSERT_EQ(write_schedule(dir_.file(kScheduleFileName), tasks, &error), 0) << error;
    }
    void write_text(const std::string& text) { test::write_all(dir_.file(kScheduleFileName), text); }
    std::vector<Task> schedule() const {
        std::vector<Task> tasks;
        read_schedule(dir_.file(kScheduleFileName), tasks);
        return tasks;
    }
    std::string log() const { return read_all(dir_.file("orvanesched.log")); }
    bool wait_log(const std::string& needle, size_t times = 1, std::chrono::milliseconds limit = 20s) const {
        return test::wait_until([&] { return count(log(), needle) >= times; }, limit);
    }

    // In console mode (-debug) unless `console` is false; `env` holds NAME=VALUE settings.
    void start(const std::vector<std::string>& env = {}, bool console = true) {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("ORVANESCHED_DIR", dir_.path().c_str(), 1);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            int out = ::open(dir_.file("console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execl(scheduler_binary().c_str(), "orvanesched", console ? "-debug" : nullptr, nullptr);
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
        // Reading 100,000 tasks takes a while under the sanitizers.
        ASSERT_TRUE(wait_log("Scheduler: scheduling", 1, 120s)) << log();
    }
    // Waits for the process to end after a stop request; its exit code, or -1.
    int wait_end() {
        if (pid_ <= 0) return -1;
        int status = 0;
        bool ended = test::wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 30s);
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = 0;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return pid_; }
    int stop(int sig = SIGTERM) {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        return wait_end();
    }

  private:
    TempDir dir_;
    std::string runtime_;
    pid_t pid_ = 0;
};

TEST(Scheduler, OneTimeTaskRunsOnceAndLeavesTheFile) {
    SchedulerRun run;
    // The file's order does not matter: the earliest task is the first.
    Task tomorrow = task(local_text(86400), "/bin/echo", "tomorrow");
    run.write({tomorrow,
               task(local_text(2), "/bin/sh", "-c \"echo ran; echo to-error >&2\"", run.path("out.txt"))});
    run.start();
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0")) << run.log();
    // The file is written once the task's thread is under way: its end may be logged first.
    EXPECT_TRUE(test::wait_until([&] { return run.schedule() == std::vector<Task>{tomorrow}; }));
    EXPECT_EQ(run.stop(SIGINT), 0);
    EXPECT_EQ(read_all(run.path("out.txt")), "ran\nto-error\n");
    EXPECT_EQ(count(run.log(), "Task started: /bin/sh -c \"echo ran; echo to-error >&2\""), 1u) << run.log();
    EXPECT_NE(run.log().find("[   ] Orvane Scheduler Service stopped\r\n"), std::string::npos) << run.log();
}

struct RecurringCase {
    long offset;        // seconds from now of the first run
    uint32_t interval;  // seconds
    uint32_t unit;
    size_t runs;  // runs to wait for
};

TEST(Scheduler, RecurringTasksAdvanceFromThePreviousRun) {
    const RecurringCase cases[] = {
        {2, 2, kUnitSecond, 2},            // every two seconds: runs again
        {-3 * 60 - 7, 1, kUnitMinute, 1},  // three intervals behind: runs once
    };
    for (const auto& c : cases) {
        SchedulerRun run;
        Task t = task(local_text(c.offset), "/bin/echo", "x", run.path("out.txt"));
        t.recurring = 1;
        t.interval = c.interval;
        t.unit = c.unit;
        run.write({t});
        run.start();
        ASSERT_TRUE(run.wait_log("Task ended with exit code 0", c.runs)) << run.log();
        EXPECT_EQ(run.stop(), 0);
        std::vector<Task> left = run.schedule();
        ASSERT_EQ(left.size(), 1u);
        CalendarTime first, next;
        ASSERT_EQ(parse_time_text(t.next_run, first), 0);
        ASSERT_EQ(parse_time_text(left[0].next_run, next), 0);
        int64_t step = c.interval * (c.unit == kUnitMinute ? 60 : 1);
        int64_t moved = schedule_seconds(next) - schedule_seconds(first);
        EXPECT_EQ(moved % step, 0) << left[0].next_run;
        EXPECT_GE(moved, static_cast<int64_t>(c.runs) * step);
        if (c.offset < 0) {
            EXPECT_EQ(moved, 4 * step);  // the first occurrence after now
            EXPECT_EQ(read_all(run.path("out.txt")), "x\n");
        }
    }
}

TEST(Scheduler, EditorLockHoldsStartsBack) {
    SchedulerRun run;
    // Due long ago, so that no setting of the wall clock while the test runs can make it not due.
    run.write({task(local_text(-3600), "/bin/echo", "started")});
    auto editor = std::make_unique<platform::NamedMutex>();
    ASSERT_EQ(editor->acquire("_schedfile_scprun_"), 0);
    run.start();
    // Logged once the due task was held back for the editor.
    ASSERT_TRUE(run.wait_log("Scheduler: waiting for the schedule editor")) << run.log();
    EXPECT_EQ(count(run.log(), "Task started"), 0u) << run.log();
    editor.reset();
    // Noticed when the editor lets go, not at the next look 10 seconds on.
    EXPECT_TRUE(run.wait_log("Task started: /bin/echo started")) << run.log();
    std::string log = run.log();
    EXPECT_LT(log.find("Scheduler: waiting for the schedule editor"), log.find("Task started")) << log;
}

TEST(Scheduler, ReloadEventRereadsTheFileAndLeavesRunningTasksAlone) {
    SchedulerRun run;
    run.write({task(local_text(0), "/bin/sh", "-c \"sleep 3; echo A\"", run.path("a.txt"))});
    run.start();
    ASSERT_TRUE(run.wait_log("Task started: /bin/sh")) << run.log();
    {
        platform::NamedMutex lock;
        ASSERT_EQ(lock.acquire("_schedfile_filelock_"), 0);
        run.write({task(local_text(0), "/bin/echo", "B", run.path("b.txt"))});
    }
    // A log rotation that copies the log and truncates it: the next lines start the file again.
    ::truncate(run.path("orvanesched.log").c_str(), 0);
    ASSERT_EQ(platform::named_event_set("_schedfile_servicereload_"), 0);
    EXPECT_TRUE(run.wait_log("Schedule reloaded: 1 task")) << run.log();
    EXPECT_TRUE(run.wait_log("Task ended with exit code 0: /bin/echo B")) << run.log();
    EXPECT_EQ(run.log().find('\0'), std::string::npos);
    EXPECT_TRUE(run.wait_log("Task ended with exit code 0: /bin/sh")) << run.log();
    EXPECT_FALSE(platform::named_event_is_set("_schedfile_servicereload_"));
    EXPECT_EQ(read_all(run.path("a.txt")), "A\n");
    EXPECT_EQ(read_all(run.path("b.txt")), "B\n");
}

// The admin commands against a running scheduler: each edit is taken up at once.
TEST(Scheduler, AdminCommandsEditTheRunningSchedule) {
    SchedulerRun run;
    run.start();
    const std::vector<std::string> env{"ORVANESCHED_DIR=" + run.dir().path()};
    auto admin = [&](const std::vector<std::string>& args) {
        return test::run_process(scheduler_binary(), args, {}, false, 20s, env);
    };
    auto added = admin({"-add", "-program", "/bin/sh", "-args", "-c \"echo ran\"", "-output",
                        run.path("out.txt"), "-start", "2039-01-01T03:00", "-every", "daily"});
    ASSERT_EQ(added.exit_code, 0) << added.output;
    EXPECT_NE(added.output.find("Task 1 added: /bin/sh -c \"echo ran\""), std::string::npos) << added.output;
    ASSERT_TRUE(run.wait_log("Schedule reloaded: 1 task")) << run.log();
    auto list = admin({"-list"});
    EXPECT_EQ(list.exit_code, 0);
    for (const char* line :
         {"Task 1\n", "  program:    /bin/sh\n", "  arguments:  -c \"echo ran\"\n",
          "  next run:   2039-01-01T03:00:00", "  recurrence: daily at 03:00\n", "  output:     "})
        EXPECT_NE(list.output.find(line), std::string::npos) << line << "\n" << list.output;

    // A one-time copy runs now; the task itself keeps its time.
    auto now = admin({"-run-now", "1"});
    ASSERT_EQ(now.exit_code, 0) << now.output;
    EXPECT_TRUE(test::wait_until([&] { return read_all(run.path("out.txt")) == "ran\n"; }, 20s)) << run.log();
    EXPECT_TRUE(test::wait_until([&] {
        std::vector<Task> left = run.schedule();
        return left.size() == 1 && left[0].next_run == "20390101030000" && left[0].recurring == 1;
    })) << read_all(run.path(kScheduleFileName));

    auto removed = admin({"-remove-task", "1"});
    ASSERT_EQ(removed.exit_code, 0) << removed.output;
    EXPECT_TRUE(run.wait_log("Schedule reloaded: 0 tasks")) << run.log();
    EXPECT_TRUE(run.schedule().empty());
    EXPECT_NE(admin({"-list"}).output.find(": 0 tasks"), std::string::npos);
    EXPECT_EQ(run.stop(), 0);
}

TEST(Scheduler, RefusedScheduleCommandsLeaveTheFileByteForByte) {
    SchedulerRun run;
    run.write({task("20390101030000", "/bin/echo", "kept")});
    const std::string path = run.path(kScheduleFileName);
    const std::string before = read_all(path);
    const std::vector<std::string> env{"ORVANESCHED_DIR=" + run.dir().path()};
    const std::vector<std::vector<std::string>> cases = {
        {"-add", "-program", "/bin/true", "-every", "fortnightly"},
        {"-add", "-program", "/bin/true", "-start", "2026-02-30T00:00"},
        {"-add", "-args", "no program"},
        {"-add", "-program", "/bin/true\r\nSCHTASK+!~*#$"},
        {"-remove-task", "2"},
        {"-remove-task", "0"},
        {"-run-now", "first"},
        {"-list", "extra"},
    };
    for (const auto& args : cases) {
        auto r = test::run_process(scheduler_binary(), args, {}, false, 20s, env);
        EXPECT_EQ(r.exit_code, 1) << args[0] << " " << args[1] << ": " << r.output;
        EXPECT_NE(r.output.find("ERROR: "), std::string::npos) << r.output;
        EXPECT_EQ(read_all(path), before) << args[0] << " " << args[1];
    }
    // The reason goes to stderr, nothing to stdout.
    auto quiet = test::run_process("/bin/sh", {"-c", "\"$0\" -add -every 1d 2>/dev/null", scheduler_binary()},
                                   {}, false, 20s, env);
    EXPECT_EQ(quiet.exit_code, 1);
    EXPECT_EQ(quiet.output, "");
}

// The shipped unit runs the service as its own user; root editing that user's schedule must leave a
// file the service can still read.
TEST(Scheduler, RootEditsTheServiceUsersScheduleAsThatUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    SchedulerRun run;
    const uid_t nobody = 65534;
    ASSERT_EQ(::chown(run.dir().path().c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(run.dir().path().c_str(), 0700), 0);
    const std::vector<std::string> env{"ORVANESCHED_DIR=" + run.dir().path(),
                                       "ORVANE_RUNTIME_DIR=" + run.dir().path() + "/run"};
    auto r = test::run_process(scheduler_binary(), {"-add", "-program", "/bin/true", "-every", "daily"}, {},
                               false, 20s, env);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    struct stat st {};
    ASSERT_EQ(::stat(run.path(kScheduleFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Scheduler, SighupReloadsAHandEditedSchedule) {
    SchedulerRun run;
    run.start();
    {
        platform::NamedMutex lock;
        ASSERT_EQ(lock.acquire("_schedfile_filelock_"), 0);
        run.write({task(local_text(-1), "/bin/echo", "edited", run.path("out.txt"))});
    }
    ASSERT_EQ(kill(run.pid(), SIGHUP), 0);
    EXPECT_TRUE(run.wait_log("Reload requested (SIGHUP)")) << run.log();
    EXPECT_TRUE(run.wait_log("Schedule reloaded: 1 task")) << run.log();
    EXPECT_TRUE(test::wait_until([&] { return read_all(run.path("out.txt")) == "edited\n"; }, 20s))
        << run.log();
    EXPECT_EQ(run.stop(SIGINT), 0);
    EXPECT_NE(run.log().find("Stop requested (SIGINT)"), std::string::npos) << run.log();
}

TEST(Scheduler, StopEventTerminatesARunningTaskWithExitCodeOne) {
    SchedulerRun run;
    run.write({task(local_text(0), "/bin/sleep", "600")});
    run.start();
    ASSERT_TRUE(run.wait_log("Task started: /bin/sleep 600")) << run.log();
    ASSERT_EQ(platform::named_event_set("OrvaneScheduler_event_"), 0);
    EXPECT_EQ(run.wait_end(), 0);
    EXPECT_NE(run.log().find("Stop requested (the stop event)"), std::string::npos) << run.log();
    EXPECT_NE(run.log().find("Task terminated by the stop (exit code 1): /bin/sleep 600"), std::string::npos)
        << run.log();
    EXPECT_FALSE(platform::named_event_is_set("OrvaneScheduler_event_"));
}

TEST(Scheduler, SixtyThreeTasksRunAtOnceAndTheNextWaitsForASlot) {
    SchedulerRun run;
    std::vector<Task> tasks;
    std::string now = local_text(0);
    for (int i = 0; i < 63; ++i) tasks.push_back(task(now, "/bin/sleep", "3"));
    tasks.push_back(task(now, "/bin/echo", "last"));
    run.write(tasks);
    run.start();
    ASSERT_TRUE(run.wait_log("Task started: /bin/echo last", 1, 60s)) << run.log();
    std::string log = run.log();
    size_t last = log.find("Task started: /bin/echo last");
    size_t first_end = log.find("Task ended");
    EXPECT_EQ(count(log.substr(0, first_end), "Task started: /bin/sleep 3"), 63u);
    EXPECT_LT(first_end, last);
}

TEST(Scheduler, MissingProgramCountsAsStartedAndIsRescheduled) {
    SchedulerRun run;
    Task t = task(local_text(-5), "/nonexistent/orvane-program", "-x", run.path("out.txt"));
    t.launch.append = 0;  // would empty the file, had the program run
    const std::string before = "37 bytes of an earlier run's output\r\n";
    test::write_all(run.path("out.txt"), before);
    t.recurring = 1;
    t.interval = 1;
    t.unit = kUnitHour;
    run.write({t});
    run.start();
    ASSERT_TRUE(
        run.wait_log("ERROR: Task program could not be started: /nonexistent/orvane-program -x (No such file "
                     "or directory)"))
        << run.log();
    EXPECT_EQ(run.stop(), 0);
    std::vector<Task> left = run.schedule();
    ASSERT_EQ(left.size(), 1u);
    CalendarTime first, next;
    ASSERT_EQ(parse_time_text(t.next_run, first), 0);
    ASSERT_EQ(parse_time_text(left[0].next_run, next), 0);
    EXPECT_EQ(schedule_seconds(next) - schedule_seconds(first), 3600);
    EXPECT_EQ(read_all(run.path("out.txt")), before);
}

struct BadFileCase {
    const char* name;
    std::string text;
    const char* expect;  // a line the log must show
};

TEST(Scheduler, BadFilesAreSurvived) {
    Task good = task(local_text(0), "/bin/true", "");
    std::string good_text = schedule_text({good});
    std::string binary;
    for (int i = 0; i < 100000; ++i) binary += static_cast<char>((i * 31 + i / 7) & 0xff);
    Task never = task(local_text(0), "/bin/true", "");
    never.recurring = 1;
    never.interval = 0;
    Task huge = never;
    huge.interval = 99;
    huge.unit = 99;
    std::string many = "INIVER+!~*#$\r\n3\r\n";
    std::string one = schedule_text({task(local_text(86400), "/bin/true", "")}).substr(17);
    for (int i = 0; i < 100000; ++i) many += one;
    std::string out_of_range = schedule_text({good});
    out_of_range.replace(out_of_range.find("\r\n0\r\n0\r\n16\r\n"), 12, "\r\n1\r\n99999999999999\r\n16\r\n");

    const BadFileCase cases[] = {
        {"empty", "", "Schedule read: 0 tasks"},
        {"truncated", good_text.substr(0, good_text.size() - 30),
         "task set aside (not run, kept in the file): it ends after"},
        {"binary", binary, "Schedule read: 0 tasks"},
        {"zero interval", schedule_text({never}), "a recurrence of 0 in unit 16 never advances"},
        {"unit out of range", schedule_text({huge}), "a recurrence of 99 in unit 99 never advances"},
        {"interval out of range", out_of_range, "a recurrence of 4294967295 in unit 16 never advances"},
        {"100,000 tasks", many, "Schedule read: 100000 tasks"},
    };
    for (const auto& c : cases) {
        SchedulerRun run;
        run.write_text(c.text);
        run.start();
        EXPECT_TRUE(run.wait_log(c.expect)) << c.name << "\n" << run.log();
        EXPECT_EQ(run.stop(), 0) << c.name;
        EXPECT_TRUE(run.wait_log("Orvane Scheduler Service stopped")) << c.name;
    }
}

// An installed program (no CMakeCache.txt above its folder, as for this test) keeps its schedule in
// the system's state folder for root and in the user's XDG state folder otherwise.
TEST(Scheduler, InstalledProgramsKeepTheirScheduleInTheStateFolder) {
    TempDir dir;
    const char* saved_home = getenv("HOME");
    std::string home = saved_home ? saved_home : "";
    unsetenv("ORVANESCHED_DIR");
    setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
    EXPECT_EQ(installed_folder(true), "/var/lib/orvane/");
    EXPECT_EQ(installed_folder(false), dir.file("state") + "/orvane/");
    EXPECT_EQ(schedule_folder(), geteuid() == 0 ? "/var/lib/orvane/" : dir.file("state") + "/orvane/");
    setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
    setenv("HOME", dir.path().c_str(), 1);
    EXPECT_EQ(installed_folder(false), dir.path() + "/.local/state/orvane/");
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(installed_folder(false), "");
    setenv("ORVANESCHED_DIR", dir.path().c_str(), 1);
    EXPECT_EQ(schedule_folder(), dir.path() + "/");
    unsetenv("ORVANESCHED_DIR");
    if (saved_home) setenv("HOME", home.c_str(), 1);
}

struct CommandLineCase {
    std::vector<std::string> args;
    int exit_code;
};

TEST(Scheduler, CommandLineAndServiceUnit) {
    TempDir dir;
    const std::string units = dir.file("units");
    std::filesystem::create_directory(units);
    const std::vector<std::string> env{"ORVANESCHED_UNIT_DIR=" + units, "ORVANESCHED_DIR=" + dir.path(),
                                       "ORVANE_RUNTIME_DIR=" + dir.file("run")};
    const std::string unit = units + "/orvanesched.service";
    const CommandLineCase cases[] = {
        {{"debug"}, 0},       {{"-start"}, 1},       {{"/frobnicate"}, 1},
        {{"/some/path"}, 0},  {{"-remove"}, 1},  // nothing installed
        {{"-INSTALLMAN"}, 0}, {{"/installauto"}, 0}, {{"--help"}, 0},
        {{"/?"}, 0},          {{"--version"}, 0},
    };
    for (const auto& c : cases) {
        auto r = test::run_process(scheduler_binary(), c.args, {}, false, 20s, env);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << ": " << r.output;
    }
    auto version = test::run_process(scheduler_binary(), {"--version"}, {}, false, 20s, env);
    EXPECT_EQ(version.output.substr(0, version.output.find('\n')),
              std::string("orvanesched ") + release_version());
    auto help = test::run_process(scheduler_binary(), {"-h"}, {}, false, 20s, env).output;
    for (const char* word :
         {"-debug", "-installauto", "-installman", "-remove", "-list", "-add", "-every", "-until",
          "-remove-task", "-run-now", "SIGHUP reloads", "ORVANESCHED_DIR", "Exit codes"})
        EXPECT_NE(help.find(word), std::string::npos) << word << "\n" << help;
    std::string text = read_all(unit);
    EXPECT_NE(text.find("\nExecStart=" + scheduler_binary() + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nEnvironment=ORVANESCHED_DIR=/var/lib/orvane\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nWantedBy=multi-user.target\n"), std::string::npos) << text;

    // Removing stops a running instance first.
    SchedulerRun run;
    run.start();
    std::vector<std::string> remove_env = env;
    remove_env.back() = run.runtime_env();
    auto r = test::run_process(scheduler_binary(), {"-remove"}, {}, false, 20s, remove_env);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(std::filesystem::exists(unit));
    EXPECT_EQ(run.wait_end(), 0);
    auto again = test::run_process(scheduler_binary(), {"-remove"}, {}, false, 20s, env);
    EXPECT_EQ(again.exit_code, 1);
    std::vector<std::string> missing = env;
    missing[0] = "ORVANESCHED_UNIT_DIR=" + dir.file("no/such/folder");
    EXPECT_EQ(test::run_process(scheduler_binary(), {"-installauto"}, {}, false, 20s, missing).exit_code, 1);
}

TEST(Scheduler, RunsThatOverlapAppendTheirWholeOutputs) {
    SchedulerRun run;
    test::write_all(run.path("out.txt"), "old\n");
    std::string at = local_text(2);
    run.write({task(at, "/bin/sh", "-c \"echo X1; sleep 1; echo X2; sleep 1; echo X3\"", run.path("out.txt")),
               task(at, "/bin/sh", "-c \"echo Y1; sleep 1; echo Y2\"", run.path("out.txt"))});
    run.start();
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0", 2)) << run.log();
    std::string out = read_all(run.path("out.txt"));
    EXPECT_TRUE(out == "old\nY1\nY2\nX1\nX2\nX3\n" || out == "old\nX1\nX2\nX3\nY1\nY2\n") << out;
}

TEST(Scheduler, AHungRecurringTaskSkipsItsRunsAndOthersRunOnTime) {
    SchedulerRun run;
    Task hung = task(local_text(0), "/bin/sleep", "600");
    Task other = task(local_text(0), "/bin/echo", "b", run.path("b.txt"));
    for (Task* t : {&hung, &other}) {
        t->recurring = 1;
        t->interval = 1;
        t->unit = kUnitSecond;
    }
    run.write({hung, other});
    run.start();
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0: /bin/echo b", 3)) << run.log();
    EXPECT_TRUE(run.wait_log("Task still running: its run due ")) << run.log();
    EXPECT_EQ(count(run.log(), "Task started: /bin/sleep 600"), 1u) << run.log();
    EXPECT_EQ(run.stop(), 0);
}

TEST(Scheduler, TasksItCannotRunStayInTheLinkedFile) {
    SchedulerRun run;
    std::string cut = schedule_text({task(local_text(60), "/bin/echo", "cut")});
    cut = cut.substr(cut.find(kTaskMarker), 60);
    cut.resize(cut.rfind("\r\n") + 2);  // cut inside the task, at a line end
    std::string long_command =
        schedule_text({task(local_text(0), "/bin/touch", run.path(std::string(400, 'n')))});
    long_command = long_command.substr(long_command.find(kTaskMarker));
    std::string now = schedule_text({task(local_text(0), "/bin/echo", "now")});
    test::write_all(run.path("real.ssi"), now + long_command + cut);
    std::filesystem::create_symlink(run.path("real.ssi"), run.path(kScheduleFileName));
    run.start();
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0: /bin/echo now")) << run.log();
    EXPECT_TRUE(run.wait_log("task set aside (not run, kept in the file): its arguments are ")) << run.log();
    EXPECT_EQ(count(run.log(), "/bin/touch"), 0u) << run.log();
    // Written back after the start: the one-time task is gone, what could not run is still there.
    EXPECT_TRUE(test::wait_until([&] {
        return read_all(run.path("real.ssi")) == "INIVER+!~*#$\r\n3\r\n" + long_command + cut;
    })) << read_all(run.path("real.ssi"));
    EXPECT_TRUE(std::filesystem::is_symlink(run.path(kScheduleFileName)));
}

TEST(Scheduler, OneInstanceRunsAndOtherUsersCannotStopOrFreezeIt) {
    SchedulerRun run;
    run.write({task(local_text(86400), "/bin/echo", "tomorrow")});
    run.start({}, false);  // as the service runs
    const std::vector<std::string> env{"ORVANESCHED_DIR=" + run.dir().path(), run.runtime_env()};
    auto second = test::run_process(scheduler_binary(), {"-debug"}, {}, false, 20s, env);
    EXPECT_EQ(second.exit_code, 1) << second.output;
    EXPECT_NE(second.output.find("is already running (pid " + std::to_string(run.pid()) + ")"),
              std::string::npos)
        << second.output;
    // Another runtime folder, the same schedule.
    auto elsewhere = test::run_process(scheduler_binary(), {"-debug"}, {}, false, 20s,
                                       {env[0], "ORVANE_RUNTIME_DIR=" + run.path("other-run")});
    EXPECT_EQ(elsewhere.exit_code, 1) << elsewhere.output;
    EXPECT_NE(elsewhere.output.find("is already running on the schedule in "), std::string::npos)
        << elsewhere.output;

    test::TestAccount user;
    if (!user.made()) {
        GTEST_SKIP() << "no unprivileged user to try with: " << user.why();
    }
    // Only the runtime folder's own mode may keep the user out.
    std::filesystem::permissions(run.dir().path(),
                                 std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    std::string runtime = run.runtime_env().substr(run.runtime_env().find('=') + 1) + "/";
    // The user can act at all: the same tools work on what it owns.
    auto control = test::run_process("/usr/sbin/runuser", {"-u", user.name(), "--", "/bin/sh", "-c",
                                                           "flock -n -x " + user.home() + "/lock true"});
    ASSERT_EQ(control.exit_code, 0) << control.output;
    for (const std::string& attempt : {"touch " + runtime + "OrvaneScheduler_event_",
                                       "flock -n -x " + runtime + "OrvaneScheduler_running_ true",
                                       "flock -n -x " + runtime + "_schedfile_filelock_ true",
                                       "flock -n -x " + run.path("orvanesched.lock") + " true"}) {
        auto r = test::run_process("/usr/sbin/runuser", {"-u", user.name(), "--", "/bin/sh", "-c", attempt});
        EXPECT_NE(r.exit_code, 0) << attempt << ": " << r.output;
    }
    // Still running, and still starting tasks: a reload with a task due now runs it.
    {
        platform::NamedMutex lock;
        ASSERT_EQ(lock.acquire("_schedfile_filelock_"), 0);
        run.write({task(local_text(0), "/bin/echo", "after")});
    }
    ASSERT_EQ(platform::named_event_set("_schedfile_servicereload_"), 0);
    EXPECT_TRUE(run.wait_log("Task ended with exit code 0: /bin/echo after")) << run.log();
    EXPECT_EQ(count(run.log(), "Stop requested"), 0u) << run.log();
}

TEST(Scheduler, RemoveStopsTheSchedulerAfterItsRuntimeFolderWasRemadeAndFailsWhenItCannot) {
    SchedulerRun run;
    const std::string units = run.path("units");
    std::filesystem::create_directory(units);
    const std::vector<std::string> env{"ORVANESCHED_UNIT_DIR=" + units, "ORVANESCHED_DIR=" + run.dir().path(),
                                       run.runtime_env()};
    ASSERT_EQ(test::run_process(scheduler_binary(), {"-installman"}, {}, false, 20s, env).exit_code, 0);
    run.start();
    std::filesystem::remove_all(run.runtime_env().substr(run.runtime_env().find('=') + 1));
    ASSERT_TRUE(run.wait_log("The runtime folder was removed: it is made again")) << run.log();
    auto removed = test::run_process(scheduler_binary(), {"-remove"}, {}, false, 30s, env);
    EXPECT_EQ(removed.exit_code, 0) << removed.output;
    EXPECT_EQ(run.wait_end(), 0);
    EXPECT_NE(run.log().find("Stop requested ("), std::string::npos) << run.log();

    // An instance that outlives the request: the unit stays and -remove says it failed.
    ASSERT_EQ(test::run_process(scheduler_binary(), {"-installman"}, {}, false, 20s, env).exit_code, 0);
    platform::NamedMutex stuck;
    ASSERT_EQ(stuck.try_acquire("OrvaneScheduler_running_"), 0);
    stuck.set_note("999999999\n");  // no such process
    auto failed = test::run_process(scheduler_binary(), {"-remove"}, {}, false, 30s, env);
    EXPECT_EQ(failed.exit_code, 1) << failed.output;
    EXPECT_NE(failed.output.find("could not be stopped"), std::string::npos) << failed.output;
    EXPECT_TRUE(std::filesystem::exists(units + "/orvanesched.service"));
}

TEST(Scheduler, WithoutARuntimeFolderTheScheduleStillRuns) {
    SchedulerRun run;
    test::write_all(run.path("file"), "a file where the folder would go");
    run.write({task(local_text(0), "/bin/echo", "ran")});
    run.start({"ORVANE_RUNTIME_DIR=" + run.path("file") + "/run"});
    EXPECT_TRUE(run.wait_log("Task ended with exit code 0: /bin/echo ran")) << run.log();
    EXPECT_NE(run.log().find("No runtime folder: the schedule file is used without the editor's lock"),
              std::string::npos)
        << run.log();
}

// The seconds of the day and the day of the year (from 0, as a TZ rule's plain day number counts)
// of a UTC time.
std::string tz_rule_at(time_t t) {
    struct tm u {};
    gmtime_r(&t, &u);
    return format("%d/%d:%02d:%02d", u.tm_yday, u.tm_hour, u.tm_min, u.tm_sec);
}

// A time text of the UTC time `t` moved by `shift` seconds: the local time of a zone that far ahead.
std::string utc_text(time_t t, long shift) {
    time_t s = t + shift;
    struct tm u {};
    gmtime_r(&s, &u);
    return format("%04d%02d%02d%02d%02d%02d", u.tm_year + 1900, u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min,
                  u.tm_sec);
}

TEST(Scheduler, ADaylightSavingJumpForwardStartsTasksOnTime) {
    // A zone at UTC that moves one hour ahead in a few seconds, and back months later.
    time_t jump = time(nullptr) + 6;
    struct tm u {};
    gmtime_r(&jump, &u);
    time_t back = jump + (u.tm_yday < 200 ? 100 : -100) * 86400L;
    const std::string tz = "TZ=XST0XDT-1," + tz_rule_at(jump) + "," + tz_rule_at(back);
    SchedulerRun run;
    // One task due inside the skipped hour (runs at the jump), one three seconds after it.
    run.write(
        {task(utc_text(jump, 1800), "/bin/sh", "-c \"date +%s\"", run.path("skipped.txt")),
         task(utc_text(jump, 3600 + 3), "/bin/sh", "-c \"date +%s; echo after\"", run.path("after.txt"))});
    run.start({tz});
    // Late by the jump, these would start an hour from now.
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0", 2, 60s)) << tz << "\n" << run.log();
    std::string log = run.log();
    EXPECT_LT(log.find("Task started: /bin/sh -c \"date +%s\""),
              log.find("Task started: /bin/sh -c \"date +%s; echo"));
    EXPECT_GE(std::stol(read_all(run.path("skipped.txt"))), static_cast<long>(jump));
    EXPECT_GE(std::stol(read_all(run.path("after.txt"))), static_cast<long>(jump + 3));
}

TEST(Scheduler, RealTaskUploadsWithTheClient) {
    test::FtpServer server;
    ASSERT_EQ(server.start(test::FtpServerKind::kVsftpd), 0) << server.error();
    SchedulerRun run;
    std::string data = test::random_bytes(200000) + "end\n";
    test::write_all(run.path("up.bin"), data);
    test::write_all(run.path("upload.fscr"), "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                                                 " \"" + server.user() + "\" \"" + server.password() +
                                                 "\";\nftpsetpath remote \"" + server.remote_home() +
                                                 "\";\nftpsetpath local \"" + run.dir().path() +
                                                 "\";\nftpupload file \"up.bin\";\nftpdisconnect;\n");
    run.write({task(local_text(0), test::client_binary(), "-script \"" + run.path("upload.fscr") + "\"",
                    run.path("client.txt"))});
    run.start();
    ASSERT_TRUE(run.wait_log("Task ended with exit code 0: " + test::client_binary(), 1, 60s)) << run.log();
    EXPECT_TRUE(read_all(server.local_home() + "/up.bin") == data);
    std::string out = read_all(run.path("client.txt"));
    EXPECT_NE(out.find("STOR up.bin"), std::string::npos) << out;
    EXPECT_NE(out.find("226 "), std::string::npos) << out;
    EXPECT_NE(out.find("Script execution complete"), std::string::npos) << out;
}

}  // namespace
}  // namespace orvane::sched
