// Guarded memory reads: whole, none, or up to the first unreadable page, by either kernel route.
#include "platform/safe_memory.h"

#include <sys/mman.h>

#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace orvane::platform {
namespace {

TEST(SafeMemory, StopsAtTheFirstUnreadableByte) {
    // Two pages: the first readable and filled, the second inaccessible.
    auto* area =
        static_cast<char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    for (int i = 0; i < 4096; ++i) area[i] = static_cast<char>(i * 7);
    ASSERT_EQ(mprotect(area + 4096, 4096, PROT_NONE), 0);
    const auto base = reinterpret_cast<uintptr_t>(area);

    struct Read {
        uintptr_t from;
        size_t n;
        size_t expected;
    };
    const Read reads[] = {
        {base + 100, 3000, 3000},    // within a page
        {base + 4000, 500, 96},      // runs into the inaccessible page
        {base + 4096, 16, 0},        // starts there
        {0, 16, 0},                  // null
        {~uintptr_t{0} - 8, 64, 0},  // would wrap around the address space
        {base, 0, 0},
    };
    for (SafeReadMethod method : {SafeReadMethod::kAuto, SafeReadMethod::kPipe}) {
        for (const Read& r : reads) {
            std::string out(r.n, '\0');
            size_t got = read_memory_safely(out.data(), r.from, r.n, method);
            ASSERT_EQ(got, r.expected)
                << "from " << std::hex << r.from << " method " << static_cast<int>(method);
            if (got > 0) {
                EXPECT_EQ(0, std::memcmp(out.data(), reinterpret_cast<const void*>(r.from), got));
            }
        }
    }
    munmap(area, 8192);
}

}  // namespace
}  // namespace orvane::platform
