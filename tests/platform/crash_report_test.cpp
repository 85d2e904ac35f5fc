// The crash report, seen from outside: a child program faults on purpose and the test reads the
// report it left and the signal it ended by.
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/temp_dir.h"

namespace orvane::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizer's own handler decides how the child ends
#else
constexpr bool kSanitized = false;
#endif

const std::string kChildName = "crash_report_child";
std::string child_binary() {
    return std::string(ORVANE_BINARY_DIR) + "/tests/platform/" + kChildName;
}

struct ChildRun {
    int status = -1;                        // as waitpid gives it
    std::string output;                     // standard output and error
    std::map<std::string, uint64_t> notes;  // "name=hex" lines of the child
};

// Runs the child without core dumps, with ERRORLOG_DIR set to `log_dir` (unset when empty), a
// fixed time zone half an hour off the hour, in `cwd`.
ChildRun run_child(const std::string& program, const std::vector<std::string>& args,
                   const std::string& log_dir, const std::string& cwd) {
    ChildRun run;
    int out[2];
    if (pipe(out) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        struct rlimit no_core {
            0, 0
        };
        setrlimit(RLIMIT_CORE, &no_core);
        if (log_dir.empty())
            unsetenv("ERRORLOG_DIR");
        else
            setenv("ERRORLOG_DIR", log_dir.c_str(), 1);
        setenv("TZ", "ORV-3:30", 1);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) run.output.append(buf, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, &run.status, 0);
    std::smatch m;
    static const std::regex kNote("(\\w+)=([0-9a-f]+)\n");
    for (auto it = run.output.cbegin(); std::regex_search(it, run.output.cend(), m, kNote);
         it = m.suffix().first)
        run.notes[m[1]] = std::stoull(m[2], nullptr, 16);
    return run;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0, at;
    while ((at = text.find("\r\n", from)) != std::string::npos) {
        lines.push_back(text.substr(from, at - from));
        from = at + 2;
    }
    lines.push_back(text.substr(from));
    return lines;
}

uint64_t hex(const std::string& s) {
    return std::stoull(s, nullptr, 16);
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The status the child ends with when no report is installed.
int plain_status(const std::string& kind, const std::string& cwd) {
    return run_child(child_binary(), {kind, "plain"}, "", cwd).status;
}

struct Case {
    const char* kind;
    int signal;
    const char* description;
    const char* access;  // the access-violation line's first words, or nullptr for none
    const char* module;  // the faulting module's name
};

const Case kCases[] = {
    {"null_read", SIGSEGV, "an Access Violation", "Read from", "crash_report_child"},
    {"readonly_write", SIGSEGV, "an Access Violation", "Write to", "crash_report_child"},
    {"unmapped_jump", SIGSEGV, "an Access Violation", "Read from", "Unknown"},
    {"divide_zero", SIGFPE, "an Integer Divide by Zero", nullptr, "crash_report_child"},
    {"abort", SIGABRT, "Unknown exception type", nullptr, "libc.so.6"},
    {"stack_overflow", SIGSEGV, "a Stack Overflow", nullptr, "crash_report_child"},
    {"thread_null_read", SIGSEGV, "an Access Violation", "Read from", "crash_report_child"},
};

class CrashReport : public ::testing::TestWithParam<Case> {};

TEST_P(CrashReport, WritesEachLineAndEndsBySameSignal) {
    const Case& c = GetParam();
    TempDir dir;
    // The report reads CLOCK_REALTIME; time() reads the kernel's coarse clock, which can still show
    // the second before it, so the bounds are read from the report's own clock.
    auto realtime_seconds = [] {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    time_t before = realtime_seconds();
    ChildRun run = run_child(child_binary(), {c.kind}, dir.path(), dir.path());
    time_t after = realtime_seconds();
    if (kSanitized) {
        // The sanitizer's handler ends the child its own way, and not always the same way for
        // a jump into an unmapped page; the report must still be there and the run a failure.
        EXPECT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    } else {
        EXPECT_EQ(run.status, plain_status(c.kind, dir.path())) << run.output;
        ASSERT_TRUE(WIFSIGNALED(run.status)) << run.output;
        EXPECT_EQ(WTERMSIG(run.status), c.signal);
    }

    std::string report = read_all(dir.file("errorlog.txt"));
    ASSERT_EQ(report.substr(0, 8), "\r\n\r\n\r\n\r\n") << run.output;
    std::vector<std::string> lines = lines_of(report.substr(8));
    ASSERT_GT(lines.size(), 20u) << report;
    size_t i = 0;
    std::smatch m;

    const std::regex first(kChildName + " caused " + c.description + " in module " + c.module +
                           " at ([0-9a-f]{4}):([0-9a-f]{16})\\.");
    ASSERT_TRUE(std::regex_match(lines[i++], m, first)) << lines[0];
    std::string cs = m[1], rip = m[2];
    if (std::string(c.kind) == "thread_null_read")
        EXPECT_TRUE(std::regex_match(lines[i++], std::regex("Exception handler called in thread \\d+\\.")));
    else
        EXPECT_EQ(lines[i++], "Exception handler called in main thread.");
    EXPECT_TRUE(std::regex_match(lines[i++], std::regex("Signal SIG[A-Z]+, code -?\\d+\\."))) << lines[i - 1];

    // The date in the child's zone (UTC+3:30), seconds rounded down to even.
    ASSERT_TRUE(std::regex_match(
        lines[i++], m, std::regex("Error occurred at (\\d+)/(\\d+)/(\\d+) (\\d\\d):(\\d\\d):(\\d\\d)\\.")))
        << lines[i - 1];
    struct tm tm {};
    tm.tm_mon = std::stoi(m[1]) - 1;
    tm.tm_mday = std::stoi(m[2]);
    tm.tm_year = std::stoi(m[3]) - 1900;
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    EXPECT_EQ(tm.tm_sec % 2, 0);
    time_t written = timegm(&tm) - (3 * 3600 + 1800);
    EXPECT_GE(written, before - 1);
    EXPECT_LE(written, after);

    struct passwd* pw = getpwuid(geteuid());
    EXPECT_EQ(lines[i++], child_binary() + ", run by " + (pw ? pw->pw_name : "Unknown") + ".");
    EXPECT_EQ(lines[i++], std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " processor(s), type 8664.");
    EXPECT_TRUE(std::regex_match(lines[i++], std::regex("[1-9]\\d* MBytes physical memory\\.")));
    if (c.access) {
        char expected[80];
        snprintf(expected, sizeof expected, "%s location %016llx caused an access violation.", c.access,
                 static_cast<unsigned long long>(run.notes["fault_address"]));
        EXPECT_EQ(lines[i++], expected);
    }

    EXPECT_EQ(lines[i++], "");
    EXPECT_EQ(lines[i++], "Registers:");
    const std::regex regs[] = {
        std::regex("RAX=[0-9a-f]{16} CS=" + cs + " RIP=" + rip +
                   " RFLAGS=[0-9a-f]{8} R8=[0-9a-f]{16} R9=[0-9a-f]{16}"),
        std::regex("RBX=[0-9a-f]{16} SS=[0-9a-f]{4} RSP=([0-9a-f]{16}) RBP=[0-9a-f]{16} R10=[0-9a-f]{16} "
                   "R11=[0-9a-f]{16}"),
        std::regex("RCX=[0-9a-f]{16} DS=[0-9a-f]{4} RSI=[0-9a-f]{16} FS=[0-9a-f]{4} R12=[0-9a-f]{16} "
                   "R13=[0-9a-f]{16}"),
        std::regex("RDX=[0-9a-f]{16} ES=[0-9a-f]{4} RDI=[0-9a-f]{16} GS=[0-9a-f]{4} R14=[0-9a-f]{16} "
                   "R15=[0-9a-f]{16}"),
    };
    uint64_t rsp = 0;
    for (const auto& r : regs) {
        ASSERT_TRUE(std::regex_match(lines[i++], m, r)) << lines[i - 1];
        if (m.size() > 1) rsp = hex(m[1]);
    }
    if (std::string(c.module) == "Unknown") {
        EXPECT_EQ(hex(rip), run.notes["fault_address"]);
    }

    EXPECT_EQ(lines[i++], "Bytes at CS:RIP:");
    if (std::string(c.module) == "Unknown")
        EXPECT_EQ(lines[i++], "?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ");
    else
        EXPECT_TRUE(std::regex_match(lines[i++], std::regex("([0-9a-f]{2} ){16}"))) << lines[i - 1];

    // Eight words a line from the stack pointer up to the stack top, at most 8192 bytes.
    EXPECT_EQ(lines[i++], "Stack dump:");
    uint64_t next = rsp, words = 0;
    bool short_line_seen = false;
    static const std::regex kStackLine("([0-9a-f]{16}):((?: [0-9a-f]{16}){1,8})");
    for (; i < lines.size() && std::regex_match(lines[i], m, kStackLine); ++i) {
        EXPECT_FALSE(short_line_seen) << "only the last line may hold fewer than eight words";
        EXPECT_EQ(hex(m[1]), next);
        uint64_t n = m[2].length() / 17;
        short_line_seen = n < 8;
        next += 8 * n;
        words += n;
    }
    bool notice = i < lines.size() && lines[i] == "Exception encountered during stack dump.";
    if (notice) ++i;
    if (!notice || std::string(c.kind) != "stack_overflow") {
        EXPECT_FALSE(notice);
        uint64_t top = run.notes["stack_top"];
        EXPECT_EQ(next, std::min(top, rsp + 8192)) << "words " << words;
    }

    EXPECT_EQ(lines[i++], "");
    EXPECT_EQ(lines[i++], "\tModule list: names, addresses, sizes, time stamps and file times:");
    static const std::regex kModule(
        "(.+), loaded at 0x[0-9a-f]{16} - (\\d+) bytes - [0-9a-f]{8,}( - file date is \\d+/\\d+/\\d{4} "
        "\\d\\d:\\d\\d:\\d\\d)?");
    bool program = false, libc = false;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], m, kModule)) << lines[i];
        if (m[1] == child_binary()) {
            program = true;
            EXPECT_EQ(std::stoull(m[2]), std::filesystem::file_size(child_binary()));
            EXPECT_TRUE(m[3].matched);
        }
        libc = libc || std::regex_search(std::string(m[1]), std::regex("/libc\\.so\\.6$"));
    }
    EXPECT_TRUE(program);
    EXPECT_TRUE(libc);
    EXPECT_EQ(i + 1, lines.size()) << "the report ends with its module list";
}

INSTANTIATE_TEST_SUITE_P(Faults, CrashReport, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.kind); });

TEST(CrashReportFile, AStackOverflowOnAnotherThreadIsReported) {
    TempDir dir;
    ChildRun run = run_child(child_binary(), {"thread_stack_overflow"}, dir.path(), dir.path());
    if (!kSanitized) {
        ASSERT_TRUE(WIFSIGNALED(run.status)) << run.output;
        EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    }
    std::string report = read_all(dir.file("errorlog.txt"));
    ASSERT_EQ(report.substr(0, 8), "\r\n\r\n\r\n\r\n") << run.output;
    EXPECT_TRUE(std::regex_search(report, std::regex("\r\nException handler called in thread \\d+\\.\r\n")))
        << report.substr(0, 400);
}

// Where the report goes, and what happens when it cannot go there.
TEST(CrashReportFile, AppendsFallsBackAndGivesUp) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string work = dir.file("work"), log = dir.file("log");
    fs::create_directories(work);
    fs::create_directories(log);
    const int plain = plain_status("null_read", work);
    const std::string report_start = "\r\n\r\n\r\n\r\n" + kChildName + " caused ";

    // Two crashes append two reports, each after four line breaks.
    for (int n = 0; n < 2; ++n) EXPECT_EQ(run_child(child_binary(), {"null_read"}, log, work).status, plain);
    std::string two = read_all(log + "/errorlog.txt");
    EXPECT_EQ(two.find(report_start), 0u);
    EXPECT_EQ(count_of(two, report_start), 2u);
    EXPECT_EQ(count_of(two, "\tModule list:"), 2u);

    // Two threads that fault together leave one whole report.
    fs::remove(log + "/errorlog.txt");
    EXPECT_EQ(run_child(child_binary(), {"two_threads"}, log, work).status,
              plain_status("two_threads", work));
    std::string one = read_all(log + "/errorlog.txt");
    EXPECT_EQ(count_of(one, report_start), 1u);
    EXPECT_EQ(count_of(one, "\tModule list:"), 1u);

    // A folder that does not exist: nothing is written anywhere, and the program still ends.
    ChildRun missing = run_child(child_binary(), {"null_read"}, dir.file("missing"), work);
    EXPECT_EQ(missing.status, plain);
    EXPECT_NE(
        missing.output.find("Error creating exception report (" + dir.file("missing") + "/errorlog.txt: "),
        std::string::npos)
        << missing.output;
    EXPECT_FALSE(fs::exists(dir.file("missing")));
    EXPECT_FALSE(fs::exists(work + "/errorlog.txt"));

    // Without ERRORLOG_DIR the report goes beside the program; where it cannot be made there (here a
    // folder has its name), to the current folder.
    for (const char* folder : {"bin", "blocked"}) {
        fs::create_directories(dir.file(folder));
        fs::copy_file(child_binary(), dir.file(folder) + "/" + kChildName);
    }
    fs::create_directories(dir.file("blocked") + "/errorlog.txt");
    EXPECT_EQ(run_child(dir.file("bin") + "/" + kChildName, {"null_read"}, "", work).status, plain);
    EXPECT_EQ(count_of(read_all(dir.file("bin") + "/errorlog.txt"), report_start), 1u);
    EXPECT_FALSE(fs::exists(work + "/errorlog.txt"));
    EXPECT_EQ(run_child(dir.file("blocked") + "/" + kChildName, {"null_read"}, "", work).status, plain);
    EXPECT_EQ(count_of(read_all(work + "/errorlog.txt"), report_start), 1u);
}

}  // namespace
}  // namespace orvane::test
