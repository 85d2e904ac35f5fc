// The console's echo control: a signal that ends the program while echo is off (Ctrl-C at a
// password prompt) leaves the terminal as it found it.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace orvane::platform {
namespace {

bool echo_on(int fd) {
    struct termios t;
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

TEST(Console, EndingSignalRestoresEcho) {
    for (int sig : {SIGINT, SIGTERM}) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        ASSERT_TRUE(echo_on(slave));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(slave, 0);
            if (console_set_echo(false) != 0 || echo_on(0)) _exit(3);
            raise(sig);
            _exit(4);  // not reached: the signal ends the process
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_TRUE(echo_on(slave)) << "signal " << sig;
        close(slave);
        close(master);
    }
}

TEST(Console, EchoOffAndOnAgain) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(slave, 0);
        if (console_set_echo(false) != 0 || echo_on(0)) _exit(3);
        if (console_set_echo(true) != 0 || !echo_on(0)) _exit(4);
        // The handlers are gone again: SIGTERM's default action still ends the process.
        struct sigaction now;
        sigaction(SIGTERM, nullptr, &now);
        _exit(now.sa_handler == SIG_DFL ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(slave);
    close(master);
}

}  // namespace
}  // namespace orvane::platform
