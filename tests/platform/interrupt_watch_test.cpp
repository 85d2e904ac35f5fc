// The interrupt watch: signals become a readable descriptor and counts, and the handlers that were
// there before come back when it ends (a line editor's Ctrl-C at the prompt depends on it).
#include "platform/interrupt_watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

namespace orvane::platform {
namespace {

volatile sig_atomic_t g_own_handler_calls = 0;
void own_handler(int) {
    g_own_handler_calls = g_own_handler_calls + 1;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(InterruptWatch, CountsSignalsAndGivesBackTheHandlersBefore) {
    struct sigaction own {};
    own.sa_handler = own_handler;
    sigemptyset(&own.sa_mask);
    struct sigaction saved_int {
    }, saved_term{};
    ASSERT_EQ(sigaction(SIGINT, &own, &saved_int), 0);
    ASSERT_EQ(sigaction(SIGTERM, &own, &saved_term), 0);
    {
        InterruptWatch watch;
        ASSERT_TRUE(watch.active());
        InterruptWatch second;  // one at a time: a second owner takes nothing over
        EXPECT_FALSE(second.active());
        EXPECT_FALSE(readable(watch.descriptor()));
        raise(SIGINT);
        raise(SIGINT);
        raise(SIGTERM);
        EXPECT_TRUE(readable(watch.descriptor()));
        InterruptCounts came = watch.take();
        EXPECT_EQ(came.interrupts, 2);
        EXPECT_EQ(came.terminations, 1);
        EXPECT_FALSE(readable(watch.descriptor()));
        EXPECT_FALSE(watch.take().any());
        EXPECT_EQ(g_own_handler_calls, 0);
    }
    raise(SIGINT);
    EXPECT_EQ(g_own_handler_calls, 1);
    sigaction(SIGINT, &saved_int, nullptr);
    sigaction(SIGTERM, &saved_term, nullptr);
}

}  // namespace
}  // namespace orvane::platform
