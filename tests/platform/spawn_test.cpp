// Programs started without a shell: argument splitting, captured output, closed input, stop, and
// the named objects shared between processes.
#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "platform/named_object.h"
#include "platform/wall_timer.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace orvane::platform {
namespace {

struct SplitCase {
    const char* text;
    std::vector<std::string> args;
};

TEST(SplitCommandLine, WindowsRules) {
    const SplitCase cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a b  c", {"a", "b", "c"}},
        {"\"a b\" c", {"a b", "c"}},
        {"x\"a b\"y", {"xa by"}},
        {"\"\"", {""}},
        {"a\\\"b", {"a\"b"}},                  // \" is a quote
        {"a\\\\\"b c\"", {"a\\b c"}},          // \\" is a backslash, then the quote groups
        {"a\\\\\\\"b", {"a\\\"b"}},            // \\\" is a backslash and a quote
        {"c:\\dir\\file", {"c:\\dir\\file"}},  // backslashes elsewhere are literal
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"x; rm -rf ~", {"x;", "rm", "-rf", "~"}},
        {"\"unterminated arg", {"unterminated arg"}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_command_line(c.text), c.args) << c.text;
}

void collect(void* context, const char* data, size_t n) {
    static_cast<std::string*>(context)->append(data, n);
}

struct RunCase {
    std::vector<std::string> argv;
    std::string input;
    int exit_code;
    std::string output;
};

TEST(RunProgram, OutputInputAndExitCodes) {
    const RunCase cases[] = {
        {{"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, "", 3, "out\nerr\n"},
        {{"cat"}, "", 0, ""},  // input closed at once: cat ends
        {{"cat"}, "line\n", 0, "line\n"},
        {{"/bin/sh", "-c", "echo \"$1\"", "sh", "x; rm -rf ~"}, "", 0, "x; rm -rf ~\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        SpawnOptions options;
        options.on_output = collect;
        options.output_context = &out;
        options.input = c.input;
        SpawnResult r;
        ASSERT_EQ(run_program(c.argv, options, r), 0) << c.argv[0] << r.error;
        EXPECT_EQ(r.outcome, SpawnOutcome::kExited);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.argv.back();
        EXPECT_EQ(out, c.output) << c.argv.back();
    }
}

TEST(RunProgram, ClosedStandardDescriptorsOfTheCaller) {
    // A service may run with its standard input closed: the pipes then must not land on 0.
    int saved = dup(0);
    close(0);
    std::string out;
    SpawnOptions options;
    options.on_output = collect;
    options.output_context = &out;
    options.input = "through\n";
    SpawnResult r;
    EXPECT_EQ(run_program({"cat"}, options, r), 0);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(out, "through\n");
}

TEST(RunProgram, ChattyProgramNeverBlocks) {
    // Far more than a pipe holds, written before the program ends.
    std::string out;
    SpawnOptions options;
    options.on_output = collect;
    options.output_context = &out;
    SpawnResult r;
    ASSERT_EQ(run_program({"/bin/sh", "-c", "head -c 5000000 /dev/zero; echo end"}, options, r), 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(out.size(), 5000004u);
}

TEST(RunProgram, MissingProgramIsReported) {
    for (const char* name : {"/nonexistent/program", "orvane-no-such-program", ""}) {
        SpawnResult r;
        EXPECT_EQ(run_program({name}, {}, r), 1) << name;
        EXPECT_EQ(r.outcome, SpawnOutcome::kNotStarted);
        EXPECT_EQ(r.error, "No such file or directory") << name;
    }
}

TEST(RunProgram, StopTerminatesWithExitCodeOne) {
    Event stop;
    stop.set();
    SpawnOptions options;
    options.stop = &stop;
    SpawnResult r;
    ASSERT_EQ(run_program({"/bin/sleep", "60"}, options, r), 0);
    EXPECT_EQ(r.outcome, SpawnOutcome::kStopped);
    EXPECT_EQ(r.exit_code, 1);
    // A program that ignores SIGTERM is killed after the grace time.
    options.terminate_grace_ms = 100;
    ASSERT_EQ(run_program({"/bin/sh", "-c", "trap '' TERM; sleep 60"}, options, r), 0);
    EXPECT_EQ(r.exit_code, 1);
}

TEST(RunProgram, SignalDeathAndWorkingFolder) {
    test::TempDir dir;
    std::string out;
    SpawnOptions options;
    options.folder = dir.path();
    options.on_output = collect;
    options.output_context = &out;
    SpawnResult r;
    ASSERT_EQ(run_program({"/bin/sh", "-c", "pwd; kill -KILL $$"}, options, r), 0);
    EXPECT_EQ(r.outcome, SpawnOutcome::kSignalled);
    EXPECT_EQ(r.signal, 9);
    EXPECT_EQ(out, dir.path() + "\n");
}

TEST(StartProgram, RunsWithoutWaitingAndReportsAMissingProgram) {
    test::TempDir dir;
    std::string error;
    ASSERT_EQ(start_program({"/bin/sh", "-c", "echo started > mark"}, dir.path(), &error), 0) << error;
    EXPECT_TRUE(test::wait_until([&] { return test::read_all(dir.file("mark")) == "started\n"; }));
    EXPECT_EQ(start_program({"orvane-no-such-program"}, {}, &error), 1);
    EXPECT_EQ(error, "No such file or directory");
}

TEST(NamedObjects, MutexExistsWhileHeldAndEventsAreFiles) {
    test::TempDir dir;
    setenv("ORVANE_RUNTIME_DIR", dir.file("run").c_str(), 1);
    EXPECT_EQ(runtime_folder(), dir.file("run") + "/");
    EXPECT_FALSE(named_mutex_exists("m"));
    {
        NamedMutex m;
        ASSERT_EQ(m.acquire("m"), 0);
        EXPECT_TRUE(named_mutex_exists("m"));
        // A second holder waits; the stop event ends its wait.
        Event stop;
        stop.set();
        NamedMutex other;
        EXPECT_EQ(other.acquire("m", &stop), 1);
    }
    EXPECT_FALSE(named_mutex_exists("m"));
    FolderWatch watch;
    ASSERT_TRUE(watch.valid());
    EXPECT_FALSE(named_event_is_set("e"));
    EXPECT_EQ(named_event_set("e"), 0);
    EXPECT_TRUE(named_event_is_set("e"));
    PollSet p;
    p.add(watch.descriptor(), kPollReadable);
    EXPECT_EQ(p.wait(5000), 1);
    watch.drain();
    EXPECT_EQ(named_event_reset("e"), 0);
    EXPECT_FALSE(named_event_is_set("e"));
    unsetenv("ORVANE_RUNTIME_DIR");
}

TEST(WallClockTimer, FiresWhenArmedAndNotWhenDisarmed) {
    WallClockTimer timer;
    ASSERT_TRUE(timer.valid());
    PollSet p;
    p.add(timer.descriptor(), kPollReadable);
    timer.arm_in(-1);
    EXPECT_EQ(p.wait(50), 0);
    timer.arm_in(0);
    EXPECT_EQ(p.wait(5000), 1);
    timer.drain();
    EXPECT_EQ(p.wait(0), 0);
}

}  // namespace
}  // namespace orvane::platform
