// The output sink: a message never reaches a sink with another sink's context.
#include "common/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orvane {
namespace {

struct Tally {
    std::atomic<int> calls{0};
    std::atomic<int> mismatched{0};
};
Tally g_tally;
int g_a = 0;
int g_b = 0;

void sink_a(void* context, const char*, int, int) {
    ++g_tally.calls;
    if (context != &g_a) ++g_tally.mismatched;
}
void sink_b(void* context, const char*, int, int) {
    ++g_tally.calls;
    if (context != &g_b) ++g_tally.mismatched;
}

TEST(OutputSink, SinkAndContextChangeTogether) {
    set_output_sink(sink_a, &g_a);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) output("x", kLevelInfo);
        done.store(true);
    });
    for (int i = 0; !done.load(); ++i) {
        if (i % 2) {
            set_output_sink(sink_a, &g_a);
        } else {
            set_output_sink(sink_b, &g_b);
        }
    }
    writer.join();
    set_output_sink(nullptr, nullptr);
    output("nowhere", kLevelInfo);  // no sink: nothing happens
    EXPECT_EQ(g_tally.calls.load(), 20000);
    EXPECT_EQ(g_tally.mismatched.load(), 0);
}

}  // namespace
}  // namespace orvane
