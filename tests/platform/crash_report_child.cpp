// A program that installs the crash report and then faults on purpose in the way its first
// argument names; with "plain" as second argument it faults without the report. Test use only.
// Before faulting it prints "fault_address=" and "stack_top=" lines for the test to compare.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/crash_report.h"

namespace {

void note(const char* what, uintptr_t value) {
    std::printf("%s=%016" PRIxPTR "\n", what, value);
    std::fflush(stdout);
}

// The end of the mapping that holds `address`, read from /proc/self/maps.
uintptr_t mapping_end(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        uintptr_t lo = 0, hi = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR, &lo, &hi) == 2 && address >= lo &&
            address < hi)
            return hi;
    }
    return 0;
}

void note_stack_top() {
    volatile int here = 0;
    note("stack_top", mapping_end(reinterpret_cast<uintptr_t>(&here)));
}

int null_read() {
    int* volatile p = nullptr;
    note("fault_address", 0);
    return *p;
}

int readonly_write() {
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    auto* volatile p = static_cast<int*>(page) + 4;
    note("fault_address", reinterpret_cast<uintptr_t>(p));
    *p = 1;
    return 0;
}

int unmapped_jump() {
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(page, 4096);
    note("fault_address", reinterpret_cast<uintptr_t>(page));
    auto volatile jump = reinterpret_cast<int (*)()>(page);
    return jump();
}

int divide_zero() {
    volatile int a = 1, b = 0;
    return a / b;
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
int recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return recurse(depth + 1) + pad[0];
}

int stack_overflow() {
    return recurse(0);
}

void* null_read_on_thread(void*) {
    null_read();
    return nullptr;
}

// A thread on a stack of our own with guard pages on both sides, so its top is known exactly.
int thread_null_read() {
    const size_t page = 4096, size = 64 * 1024;
    auto* area =
        static_cast<char*>(mmap(nullptr, size + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(area + page, size, PROT_READ | PROT_WRITE);
    note("stack_top", reinterpret_cast<uintptr_t>(area + page + size));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, area + page, size);
    pthread_t t;
    pthread_create(&t, &attr, null_read_on_thread, nullptr);
    pthread_join(t, nullptr);
    return 0;
}

pthread_barrier_t g_start;
void* fault_together(void*) {
    pthread_barrier_wait(&g_start);
    int* volatile p = nullptr;
    return reinterpret_cast<void*>(static_cast<intptr_t>(*p));
}

// Two threads fault at the same moment: one report, never two interleaved.
int two_threads() {
    pthread_barrier_init(&g_start, nullptr, 2);
    pthread_t a, b;
    pthread_create(&a, nullptr, fault_together, nullptr);
    pthread_create(&b, nullptr, fault_together, nullptr);
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    return 0;
}

// A thread the program starts overflows its stack: the report needs that thread's own alternate
// stack, the overflowed one having no room left for the handler.
int thread_stack_overflow() {
    std::thread t([] {
        orvane::platform::ThreadSignalStack alt_stack;
        recurse(0);
    });
    t.join();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (argc < 3 || std::strcmp(argv[2], "plain") != 0) orvane::platform::install_crash_report();
    std::string kind = argv[1];
    if (kind != "thread_null_read") note_stack_top();
    if (kind == "null_read") return null_read();
    if (kind == "readonly_write") return readonly_write();
    if (kind == "unmapped_jump") return unmapped_jump();
    if (kind == "divide_zero") return divide_zero();
    if (kind == "abort") std::abort();
    if (kind == "stack_overflow") return stack_overflow();
    if (kind == "thread_null_read") return thread_null_read();
    if (kind == "two_threads") return two_threads();
    if (kind == "thread_stack_overflow") return thread_stack_overflow();
    return 2;
}
