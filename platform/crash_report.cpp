// The crash report writer: signal handlers that append a report to "errorlog.txt" with
// async-signal-safe calls only, then hand the signal back so the program ends as it would have.
#include "platform/crash_report.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "platform/crash_facts.h"
#include "platform/safe_memory.h"
#include "platform/signal_text.h"

namespace orvane::platform {

namespace {

using crash::Module;

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

// Working memory of the one report being written (the state flag makes it exclusive).
constexpr size_t kMaxModules = 512;
Module g_modules[kMaxModules];
constexpr size_t kStackDumpBytes = 8192;
unsigned char g_stack_copy[kStackDumpBytes];

constexpr std::string_view kEol = "\r\n";

// Registers of the interrupted thread, as x86-64 names them.
struct Registers {
    uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0, rbp = 0, rsp = 0, rip = 0, flags = 0;
    uint64_t r[16] = {};  // r8..r15 at their own numbers
    unsigned cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
    uint64_t error_code = 0;  // the page fault's error code: bit 1 set for a write
};

Registers read_registers(const ucontext_t* uc) {
    Registers x;
#if defined(__x86_64__)
    const greg_t* g = uc->uc_mcontext.gregs;
    x.rax = static_cast<uint64_t>(g[REG_RAX]);
    x.rbx = static_cast<uint64_t>(g[REG_RBX]);
    x.rcx = static_cast<uint64_t>(g[REG_RCX]);
    x.rdx = static_cast<uint64_t>(g[REG_RDX]);
    x.rsi = static_cast<uint64_t>(g[REG_RSI]);
    x.rdi = static_cast<uint64_t>(g[REG_RDI]);
    x.rbp = static_cast<uint64_t>(g[REG_RBP]);
    x.rsp = static_cast<uint64_t>(g[REG_RSP]);
    x.rip = static_cast<uint64_t>(g[REG_RIP]);
    x.flags = static_cast<uint64_t>(g[REG_EFL]);
    x.error_code = static_cast<uint64_t>(g[REG_ERR]);
    const int high[] = {REG_R8, REG_R9, REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
    for (int i = 0; i < 8; ++i) x.r[8 + i] = static_cast<uint64_t>(g[high[i]]);
    // cs, gs, fs and (when the kernel says it saved it) ss, 16 bits each.
    auto seg = static_cast<uint64_t>(g[REG_CSGSFS]);
    x.cs = seg & 0xffff;
    x.gs = seg >> 16 & 0xffff;
    x.fs = seg >> 32 & 0xffff;
    unsigned short ds = 0, es = 0, ss = 0;  // not saved: unchanged by the signal, read live
    __asm__ volatile("mov %%ds, %0" : "=r"(ds));
    __asm__ volatile("mov %%es, %0" : "=r"(es));
    __asm__ volatile("mov %%ss, %0" : "=r"(ss));
    x.ds = ds;
    x.es = es;
    x.ss = (uc->uc_flags & 0x2) != 0 ? (seg >> 48 & 0xffff) : ss;  // 0x2: UC_SIGCONTEXT_SS
#else
    (void)uc;
#endif
    return x;
}

// A fault on an address (not a protection fault of the processor, which reports none, nor a
// signal sent by a process).
bool is_page_fault(const siginfo_t* info) {
    return info->si_signo == SIGSEGV && info->si_code > 0 && info->si_code != SI_KERNEL;
}

// The description of a fault, in the words the report has always used.
const char* describe(const siginfo_t* info, const Registers& regs) {
    int code = info->si_code;
    switch (info->si_signo) {
        case SIGSEGV: {
            auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
            bool near_stack = is_page_fault(info) && addr + 65536 >= regs.rsp && addr < regs.rsp + 65536;
            return near_stack ? "a Stack Overflow" : "an Access Violation";
        }
        case SIGBUS:
            return code == BUS_ADRALN ? "a Datatype Misalignment" : "an In Page Error";
        case SIGILL:
            return code == ILL_PRVOPC || code == ILL_PRVREG ? "a Privileged Instruction"
                                                            : "an Illegal Instruction";
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV:
                    return "an Integer Divide by Zero";
                case FPE_INTOVF:
                    return "an Integer Overflow";
                case FPE_FLTDIV:
                    return "a Float Divide by Zero";
                case FPE_FLTOVF:
                    return "a Float Overflow";
                case FPE_FLTUND:
                    return "a Float Underflow";
                case FPE_FLTRES:
                    return "a Float Inexact Result";
                case FPE_FLTINV:
                    return "a Float Invalid Operation";
                case FPE_FLTSUB:
                    return "a Array Bounds Exceeded";
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return "Unknown exception type";
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

std::string_view base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A module's path, copied where it cannot fault; the loader leaves the program's own name empty.
char g_name_copy[PATH_MAX];
std::string_view module_path(const Module& m) {
    size_t n = m.name != nullptr ? read_memory_safely(g_name_copy, reinterpret_cast<uintptr_t>(m.name),
                                                      sizeof g_name_copy - 1)
                                 : 0;
    g_name_copy[n] = '\0';
    std::string_view name(g_name_copy, strnlen(g_name_copy, n));
    return name.empty() ? std::string_view(g_exe_path) : name;
}

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
    const char* tried = g_report_path;
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

void write_header(int fd, const siginfo_t* info, const Registers& regs, const Module* modules, size_t count) {
    const char* module = "Unknown";
    std::string_view module_name;
    for (size_t i = 0; i < count; ++i)
        if (regs.rip >= modules[i].start && regs.rip < modules[i].end) {
            module_name = base_name(module_path(modules[i]));
            break;
        }
    SignalText line;
    line.escaped(g_program_name).text(" caused ").text(describe(info, regs)).text(" in module ");
    if (module_name.empty())
        line.text(module);
    else
        line.escaped(module_name);
    line.text(" at ").hex(regs.cs, 4).text(":").hex(regs.rip, 16).text(".").end_line(fd);

    line.text("Exception handler called in ");
    auto tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (tid == getpid())
        line.text("main thread");
    else
        line.text("thread ").decimal(tid);
    line.text(".").end_line(fd);
    line.text("Signal ").text(signal_name(info->si_signo)).text(", code ").decimal(info->si_code).text(".");
    line.end_line(fd);

    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    line.text("Error occurred at ");
    crash::append_date_text(line, now.tv_sec, crash::local_offset(now.tv_sec));
    line.text(".").end_line(fd);

    char user[200];
    line.escaped(g_exe_path[0] != '\0' ? g_exe_path : "Unknown").text(", run by ");
    line.escaped(crash::user_name(geteuid(), user, sizeof user) ? user : "Unknown").text(".").end_line(fd);
#if defined(__x86_64__)
    const int processor_type = 8664;
#else
    const int processor_type = 0;
#endif
    line.decimal(g_processors).text(" processor(s), type ").decimal(processor_type).text(".").end_line(fd);
    struct sysinfo si {};
    uint64_t memory = sysinfo(&si) == 0 ? static_cast<uint64_t>(si.totalram) * si.mem_unit : 0;
    line.decimal(static_cast<int64_t>((memory + 0xFFFFF) >> 20))
        .text(" MBytes physical memory.")
        .end_line(fd);

    if (is_page_fault(info) && strcmp(describe(info, regs), "an Access Violation") == 0) {
        line.text((regs.error_code & 2) != 0 ? "Write to" : "Read from").text(" location ");
        line.hex(reinterpret_cast<uintptr_t>(info->si_addr), 16)
            .text(" caused an access violation.")
            .end_line(fd);
    }
}

void write_registers(int fd, const Registers& x) {
    struct Field {
        const char* name;
        uint64_t value;
        int digits;
    };
    // The four lines of the 32-bit layout with 64-bit values, r8 to r15 added at their ends.
    const Field rows[4][6] = {
        {{"RAX", x.rax, 16},
         {"CS", x.cs, 4},
         {"RIP", x.rip, 16},
         {"RFLAGS", x.flags, 8},
         {"R8", x.r[8], 16},
         {"R9", x.r[9], 16}},
        {{"RBX", x.rbx, 16},
         {"SS", x.ss, 4},
         {"RSP", x.rsp, 16},
         {"RBP", x.rbp, 16},
         {"R10", x.r[10], 16},
         {"R11", x.r[11], 16}},
        {{"RCX", x.rcx, 16},
         {"DS", x.ds, 4},
         {"RSI", x.rsi, 16},
         {"FS", x.fs, 4},
         {"R12", x.r[12], 16},
         {"R13", x.r[13], 16}},
        {{"RDX", x.rdx, 16},
         {"ES", x.es, 4},
         {"RDI", x.rdi, 16},
         {"GS", x.gs, 4},
         {"R14", x.r[14], 16},
         {"R15", x.r[15], 16}},
    };
    SignalText line;
    line.text(kEol).text("Registers:").end_line(fd);
    for (const auto& row : rows) {
        for (const Field& f : row) {
            if (&f != row) line.text(" ");
            line.text(f.name).text("=").hex(f.value, f.digits);
        }
        line.end_line(fd);
    }

    line.text("Bytes at CS:RIP:").text(kEol);
    for (uint64_t i = 0; i < 16; ++i) {
        unsigned char b;
        if (read_memory_safely(&b, x.rip + i, 1) == 1)
            line.hex(b, 2).text(" ");
        else
            line.text("?? ");
    }
    line.flush(fd);
}

// 64-bit words from the stack pointer up to the stack's top, at most 8192 bytes.
void write_stack(int fd, uint64_t sp) {
    SignalText text;
    text.text(kEol).text("Stack dump:").end_line(fd);
    uint64_t top = crash::mapping_end(sp);
    uint64_t limit = sp + kStackDumpBytes;
    if (top != 0 && top < limit) limit = top;
    if (limit < sp) limit = sp;  // a stack pointer at the very end of the address space
    size_t words = static_cast<size_t>((limit - sp) / 8);
    size_t copied = read_memory_safely(g_stack_copy, sp, words * 8) / 8;
    for (size_t w = 0; w < copied; ++w) {
        if (w % 8 == 0) text.hex(sp + w * 8, 16).text(": ");
        uint64_t word;
        memcpy(&word, g_stack_copy + w * 8, 8);
        text.hex(word, 16).text(w % 8 == 7 || w + 1 == copied ? kEol : " ");
        if (text.size() > 950) text.flush(fd);
    }
    if (copied < words) text.text("Exception encountered during stack dump.").text(kEol);
    text.flush(fd);
}

void write_modules(int fd, const Module* modules, size_t count) {
    SignalText line;
    line.text(kEol).text("\tModule list: names, addresses, sizes, time stamps and file times:").end_line(fd);
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    long offset = crash::local_offset(now.tv_sec);
    for (size_t i = 0; i < count; ++i) {
        const Module& m = modules[i];
        if (!crash::has_elf_header(m.start)) continue;
        std::string_view path = module_path(m);
        char zpath[PATH_MAX];
        size_t n = path.size() < sizeof zpath - 1 ? path.size() : sizeof zpath - 1;
        memcpy(zpath, path.data(), n);
        zpath[n] = '\0';
        struct stat st;
        bool known = ::stat(zpath, &st) == 0;
        line.escaped(path).text(", loaded at 0x").hex(m.start, 16).text(" - ");
        line.decimal(known ? static_cast<int64_t>(st.st_size) : 0).text(" bytes - ");
        if (!crash::append_build_id(line, m)) line.text("00000000");
        if (known) {
            line.text(" - file date is ");
            crash::append_date_text(line, st.st_mtim.tv_sec, offset);
        }
        line.end_line(fd);
    }
}

void write_report(const siginfo_t* info, const ucontext_t* uc) {
    int fd = open_report();
    if (fd < 0) return;
    Registers regs = read_registers(uc);
    size_t count = crash::collect_modules(g_modules, kMaxModules);
    write_whole(fd, "\r\n\r\n\r\n\r\n", 8);
    write_header(fd, info, regs, g_modules, count);
    write_registers(fd, regs);
    write_stack(fd, regs.rsp);
    write_modules(fd, g_modules, count);
    fsync(fd);
    ::close(fd);
}

int signal_index(int sig) {
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig) return i;
    return -1;
}

// Gives the signal back to whoever had it before us (normally the default action, which ends the
// process). A fault raised by the hardware is left to happen again when the handler returns, so
// an earlier handler (a sanitizer's) sees its true details; anything else is raised again.
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
        write_report(info, static_cast<const ucontext_t*>(context));
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
    std::string_view name = base_name(g_exe_path);
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
