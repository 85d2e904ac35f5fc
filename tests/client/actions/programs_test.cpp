// Programs started without a shell: argument splitting, input and output through pipes while the
// program runs, programs that are missing or die of a signal, and how rungpg splits output lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "client/actions/program_actions.h"
#include "client/actions/programs.h"
#include "common/log.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

TEST(Programs, ParameterTextsSplitByTheWindowsRules) {
    struct Case {
        const char* text;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"", {}},
        {"  a\t b  ", {"a", "b"}},
        {"\"two words\" three", {"two words", "three"}},
        {"x; rm -rf ~", {"x;", "rm", "-rf", "~"}},
        {"\"x; rm -rf ~\"", {"x; rm -rf ~"}},
        {"a\\\"b", {"a\"b"}},                       // a\"b
        {"a\\\\\"b c\"", {"a\\b c"}},               // a\\"b c"
        {"a\\\\\\\"b", {"a\\\"b"}},                 // a\\\"b
        {"C:\\dir\\ file", {"C:\\dir\\", "file"}},  // backslashes elsewhere are literal
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"\"\"", {""}},
        {"ab\"c d\"e", {"abc de"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_program_arguments(c.text), c.args) << c.text;
}

void collect(void* context, const char* data, size_t n) {
    static_cast<std::string*>(context)->append(data, n);
}

TEST(Programs, InputAndOutputFlowWhileTheProgramRuns) {
    // Both ways at once: a program that echoes its input would block on a full output pipe if
    // the output were read only after the input was written.
    const std::string input = test::random_bytes(4 << 20, 7);
    std::string out;
    ProgramRun run;
    ASSERT_EQ(run_program_with_input({"cat"}, input, collect, &out, run), 0) << run.error;
    EXPECT_EQ(run.end, ProgramEnd::kExited);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(out == input);

    // A chatty program: 10 MiB of output, no input.
    size_t total = 0;
    auto count = [](void* context, const char*, size_t n) { *static_cast<size_t*>(context) += n; };
    ASSERT_EQ(run_program_with_input({"head", "-c", "10485760", "/dev/zero"}, "", count, &total, run), 0);
    EXPECT_EQ(total, 10485760u);

    // A program that never reads its input, and one that waits for the end of it.
    out.clear();
    ASSERT_EQ(run_program_with_input({"true"}, input, collect, &out, run), 0);
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_EQ(run_program_with_input({"wc", "-c"}, "12345", collect, &out, run), 0);
    EXPECT_EQ(out, "5\n");
    // One that closes its output first and then reads all its input.
    test::TempDir dir;
    const std::string counted = dir.file("count");
    ASSERT_EQ(
        run_program_with_input({"sh", "-c", "exec >&- 2>&-; wc -c > " + counted}, input, collect, &out, run),
        0);
    EXPECT_EQ(std::stoul(test::read_all(counted)), input.size());
}

TEST(Programs, MissingProgramsAndSignalsAreReported) {
    ProgramRun run;
    std::string out;
    EXPECT_EQ(run_program_with_input({"orvane-no-such-program"}, "", collect, &out, run), 1);
    EXPECT_EQ(run.end, ProgramEnd::kNotStarted);
    EXPECT_EQ(run.error, "No such file or directory");
    ASSERT_EQ(run_program_with_input({"sh", "-c", "echo before; kill -9 $$"}, "", collect, &out, run), 0);
    EXPECT_EQ(run.end, ProgramEnd::kSignalled);
    EXPECT_EQ(run.signal, 9);
    EXPECT_EQ(out, "before\n");
    ASSERT_EQ(run_program_with_input({"sh", "-c", "exit 3"}, "", collect, &out, run), 0);
    EXPECT_EQ(run.exit_code, 3);
    // A program that leaves a child holding the output pipe still ends the run. The test takes
    // the orphan as its own child, so it can end and reap it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    out.clear();
    ASSERT_EQ(run_program_with_input({"sh", "-c", "sleep 30 & echo $!"}, "", collect, &out, run), 0);
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_GT(std::stoi(out), 0);
    kill(std::stoi(out), SIGKILL);
    waitpid(std::stoi(out), nullptr, 0);
    std::string error;
    EXPECT_EQ(start_program_detached({"orvane-no-such-program"}, &error), 1);
    EXPECT_EQ(error, "No such file or directory");
}

struct Lines {
    std::vector<std::string> lines;
    Lines() { set_output_sink(take, this); }
    ~Lines() { set_output_sink(nullptr, nullptr); }
    static void take(void* self, const char* text, int, int) {
        static_cast<Lines*>(self)->lines.push_back(text);
    }
};

TEST(Programs, OutputLinesEndAtCrLfOrCrLfAndAreCut) {
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"a\nb\r\nc\rd"}, {"a", "b", "c", "d"}},
        {{"a\r", "\nb\n", "\n"}, {"a", "b", ""}},  // CR LF across pieces is one line end
        {{"x\x1b[31m\n"}, {"x\\x1b[31m"}},         // control bytes escaped
        {{std::string(2050, 'z')}, {std::string(1023, 'z'), std::string(1023, 'z'), "zzzz"}},
    };
    for (const Case& c : cases) {
        Lines out;
        OutputLines lines;
        for (const std::string& p : c.pieces) lines.add(p.data(), p.size());
        lines.finish();
        EXPECT_EQ(out.lines, c.lines);
    }
}

}  // namespace
}  // namespace orvane
