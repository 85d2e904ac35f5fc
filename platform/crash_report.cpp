// The crash report writer: signal handlers that append a report to "errorlog.txt" with
// async-signal-safe calls only, then hand the signal back so the program ends as it would have.
#include "platform/crash_report.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "platform/crash_facts.h"
#include "platform/signal_text.h"

namespace orvane::platform {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction g_previous[kSignalCount];

// One report per process. A thread that faults while another writes waits for it (bounded, so
// a writer stuck in the loader can never hang the process for good).
enum class ReportState : int { kIdle, kWriting, kWritten };
std::atomic<ReportState> g_state{ReportState::kIdle};
std::atomic<bool> g_installed{false};
constexpr int kWaitSteps = 1000;  // of 10 ms

// Learnt at installation, because finding them needs calls a handler may not make.
char g_exe_path[PATH_MAX];  // empty when /proc/self/exe cannot be read
char g_program_name[256];   // file name without folder and without its last "." part
char g_report_path[PATH_MAX + 16];
bool g_report_dir_chosen = false;  // ERRORLOG_DIR named the folder: no fallback
long g_processors = 0;

constexpr size_t kAltStackSize = 64 * 1024;
constexpr size_t kEnoughAltStack = 32 * 1024;  // an alternate stack already in place is kept
alignas(16) char g_alt_stack[kAltStackSize];

// Opens the report file for appending: a regular file, never through a symbolic link, never a FIFO
// that would block. -1 with errno set when it cannot be opened.
int open_report_at(const char* path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int open_report() {
    // An empty path: ERRORLOG_DIR was too long to name a file in.
    const char* tried = g_report_path[0] != '\0' ? g_report_path : "$ERRORLOG_DIR/errorlog.txt";
    errno = ENAMETOOLONG;
    int fd = g_report_path[0] != '\0' ? open_report_at(g_report_path) : -1;
    if (fd < 0 && !g_report_dir_chosen && strcmp(g_report_path, "errorlog.txt") != 0) {
        tried = "errorlog.txt";
        fd = open_report_at(tried);
    }
    if (fd < 0) {
        int cause = errno;
        SignalText line;
        line.text("Error creating exception report (").escaped(tried).text(": ");
        const char* reason = strerrordesc_np(cause);
        line.text(reason != nullptr ? reason : "unknown error").text(")\n");
        line.flush(STDERR_FILENO);
        return -1;
    }
    // Processes that crash together take turns; a holder that never lets go is not waited for.
    for (int i = 0; i < 500 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK; ++i) {
        struct timespec pause {
            0, 10 * 1000 * 1000
        };
        nanosleep(&pause, nullptr);
    }
    return fd;
}

void write_report(const siginfo_t* info, const void* uc) {
    int fd = open_report();
    if (fd < 0) return;
    write_whole(fd, "\r\n\r\n\r\n\r\n", 8);
    crash::write_report_body(fd, info, uc, {g_exe_path, g_program_name, g_processors});
    fsync(fd);
    ::close(fd);
}

int signal_index(int sig) {
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig) return i;
    return -1;
}

// Gives the signal back to whoever had it before us. Normally that is the default action: the
// signal is raised again and ends the process once this handler returns. When an earlier handler
// was installed (a sanitizer's), a fault from the processor is left to happen again on return, so
// that handler sees its true details; a signal sent by a process is raised again for it.
void pass_on(int sig, const siginfo_t* info) {
    int i = signal_index(sig);
    struct sigaction previous {};
    if (i >= 0) previous = g_previous[i];
    bool has_handler = (previous.sa_flags & SA_SIGINFO) != 0 ||
                       (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN);
    if (!has_handler) {
        previous = {};
        previous.sa_handler = SIG_DFL;
        sigemptyset(&previous.sa_mask);
    }
    sigaction(sig, &previous, nullptr);
    if (!has_handler || info->si_code <= 0) raise(sig);
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
    ReportState idle = ReportState::kIdle;
    if (g_state.compare_exchange_strong(idle, ReportState::kWriting)) {
        write_report(info, context);
        g_state.store(ReportState::kWritten);
    } else {
        for (int i = 0; i < kWaitSteps && g_state.load() == ReportState::kWriting; ++i) {
            struct timespec pause {
                0, 10 * 1000 * 1000
            };
            nanosleep(&pause, nullptr);
        }
    }
    pass_on(sig, info);
}

void note_report_path() {
    const char* dir = getenv("ERRORLOG_DIR");
    std::string_view folder;
    if (dir != nullptr && dir[0] != '\0') {
        folder = dir;
        g_report_dir_chosen = true;
    } else if (g_exe_path[0] != '\0') {
        std::string_view exe = g_exe_path;
        folder = exe.substr(0, exe.rfind('/') + 1);
    }
    constexpr std::string_view kName = "errorlog.txt";
    bool slash = folder.empty() || folder.back() == '/';
    if (folder.size() + 1 + kName.size() >= sizeof g_report_path) {
        g_report_path[0] = '\0';  // too long to open: reported as a failure to create the file
        return;
    }
    char* p = g_report_path;
    memcpy(p, folder.data(), folder.size());
    p += folder.size();
    if (!slash) *p++ = '/';
    memcpy(p, kName.data(), kName.size());
    p[kName.size()] = '\0';
}

void note_program() {
    ssize_t n = readlink("/proc/self/exe", g_exe_path, sizeof g_exe_path - 1);
    g_exe_path[n > 0 ? n : 0] = '\0';
    std::string_view name = crash::base_name(g_exe_path);
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) name = name.substr(0, dot);
    if (name.size() >= sizeof g_program_name) name = name.substr(0, sizeof g_program_name - 1);
    memcpy(g_program_name, name.data(), name.size());
    g_program_name[name.size()] = '\0';
}

void install_alternate_stack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kEnoughAltStack)
        return;
    stack_t ours{};
    ours.ss_sp = g_alt_stack;
    ours.ss_size = sizeof g_alt_stack;
    sigaltstack(&ours, nullptr);
}

}  // namespace

ThreadSignalStack::ThreadSignalStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kEnoughAltStack)
        return;
    // Mapped, not taken from the heap: a heap damaged by the fault must not hold the stack.
    void* p = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    stack_t ours{};
    ours.ss_sp = p;
    ours.ss_size = kAltStackSize;
    if (sigaltstack(&ours, nullptr) != 0) {
        munmap(p, kAltStackSize);
        return;
    }
    stack_ = p;
}

ThreadSignalStack::~ThreadSignalStack() {
    if (stack_ == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(stack_, kAltStackSize);
}

void install_crash_report() {
    if (g_installed.exchange(true)) return;
    note_program();
    note_report_path();
    g_processors = sysconf(_SC_NPROCESSORS_ONLN);
    crash::prepare_local_offsets();
    install_alternate_stack();
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

}  // namespace orvane::platform
