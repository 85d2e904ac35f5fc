// The body of the crash report: the fault, the machine, the registers, the bytes at the
// instruction pointer, the stack and the modules, each line formatted without allocating and
// written with one write(2).
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <string_view>

#include "platform/crash_facts.h"
#include "platform/safe_memory.h"
#include "platform/signal_text.h"

namespace orvane::platform::crash {

namespace {

ProgramFacts g_facts;

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

// A module's path, copied where it cannot fault, zero-terminated; the loader leaves the program's
// own name empty.
char g_name_copy[PATH_MAX];
std::string_view module_path(const Module& m) {
    size_t n = m.name != nullptr ? read_memory_safely(g_name_copy, reinterpret_cast<uintptr_t>(m.name),
                                                      sizeof g_name_copy - 1)
                                 : 0;
    g_name_copy[n] = '\0';
    std::string_view name(g_name_copy, strnlen(g_name_copy, n));
    return name.empty() ? std::string_view(g_facts.exe_path) : name;
}

void write_header(int fd, const siginfo_t* info, const Registers& regs, const Module* modules, size_t count) {
    std::string_view module_name = "Unknown";
    for (size_t i = 0; i < count; ++i)
        if (regs.rip >= modules[i].start && regs.rip < modules[i].end) {
            module_name = base_name(module_path(modules[i]));
            break;
        }
    SignalText line;
    line.escaped(g_facts.program_name).text(" caused ").text(describe(info, regs)).text(" in module ");
    line.escaped(module_name).text(" at ").hex(regs.cs, 4).text(":").hex(regs.rip, 16).text(".").end_line(fd);

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
    append_date_text(line, now.tv_sec, local_offset(now.tv_sec));
    line.text(".").end_line(fd);

    char user[200];
    line.escaped(g_facts.exe_path[0] != '\0' ? g_facts.exe_path : "Unknown").text(", run by ");
    line.escaped(user_name(geteuid(), user, sizeof user) ? user : "Unknown").text(".").end_line(fd);
#if defined(__x86_64__)
    const int processor_type = 8664;
#else
    const int processor_type = 0;
#endif
    line.decimal(g_facts.processors)
        .text(" processor(s), type ")
        .decimal(processor_type)
        .text(".")
        .end_line(fd);
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
    uint64_t top = mapping_end(sp);
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
    long offset = local_offset(now.tv_sec);
    for (size_t i = 0; i < count; ++i) {
        const Module& m = modules[i];
        if (!has_elf_header(m.start)) continue;
        std::string_view path = module_path(m);  // zero-terminated
        struct stat st;
        bool known = ::stat(path.data(), &st) == 0;
        line.escaped(path).text(", loaded at 0x").hex(m.start, 16).text(" - ");
        line.decimal(known ? static_cast<int64_t>(st.st_size) : 0).text(" bytes - ");
        if (!append_build_id(line, m)) line.text("00000000");
        if (known) {
            line.text(" - file date is ");
            append_date_text(line, st.st_mtim.tv_sec, offset);
        }
        line.end_line(fd);
    }
}

}  // namespace

void write_report_body(int fd, const siginfo_t* info, const void* context, const ProgramFacts& facts) {
    g_facts = facts;
    Registers regs = read_registers(static_cast<const ucontext_t*>(context));
    size_t count = collect_modules(g_modules, kMaxModules);
    write_header(fd, info, regs, g_modules, count);
    write_registers(fd, regs);
    write_stack(fd, regs.rsp);
    write_modules(fd, g_modules, count);
}

}  // namespace orvane::platform::crash
