// Secrets: even a short one is kept off the object itself (the short-string buffer) and on pages
// the kernel leaves out of core dumps, in copies and after reassignment as well.
#include "common/secret.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace orvane {
namespace {

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps.
std::string mapping_flags(const void* address) {
    auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-') {
            inside = from <= at && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return "";
}

bool within(const void* address, const void* object, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(address), o = reinterpret_cast<uintptr_t>(object);
    return a >= o && a < o + size;
}

TEST(Secret, TextsLiveOnPagesLeftOutOfCoreDumps) {
    Secret short_one("pw");
    Secret copy = short_one;
    Secret assigned;
    assigned = std::string_view("a much longer pass phrase than any short-string buffer takes in");
    assigned = "now short";
    for (const Secret* s : {&short_one, &copy, &assigned}) {
        EXPECT_FALSE(within(s->c_str(), s, sizeof *s)) << "held in the object";
        std::string flags = mapping_flags(s->c_str());
        EXPECT_NE(flags.find(" dd"), std::string::npos) << flags;
    }
    EXPECT_EQ(copy.view(), "pw");
    EXPECT_EQ(assigned.view(), "now short");
    EXPECT_EQ(std::string_view(short_one), "pw");
    copy.wipe();
    EXPECT_TRUE(copy.empty());
}

}  // namespace
}  // namespace orvane
