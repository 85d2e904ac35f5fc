// orvanesched at rest: 1,000 tasks due tomorrow, the program left alone for N seconds (default
// 60). Prints, per thread, the CPU time and the wake-ups (voluntary context switches) in that time,
// next to `sleep N` as the floor: a scheduler that does not poll wakes about as often as sleep.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct ThreadUse {
    long ticks = 0;    // utime + stime, in clock ticks
    long wakeups = 0;  // voluntary context switches
};

// Per-thread use of a process, by thread id.
std::map<int, ThreadUse> thread_use(pid_t pid) {
    std::map<int, ThreadUse> use;
    std::string base = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
        int tid = std::atoi(entry.path().filename().c_str());
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string f;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14) utime = std::atol(f.c_str());
            if (i == 15) stime = std::atol(f.c_str());
        }
        std::ifstream status(entry.path() / "status");
        std::string line;
        long wakeups = 0;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) wakeups = std::atol(line.c_str() + 24);
        use[tid] = ThreadUse{utime + stime, wakeups};
    }
    return use;
}

pid_t start(const char* program, char* const argv[], const std::string& dir) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("ORVANESCHED_DIR", dir.c_str(), 1);
        setenv("ORVANE_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        freopen("/dev/null", "w", stdout);
        execv(program, argv);
        _exit(127);
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::string dir = (std::filesystem::temp_directory_path() / "orvane-sched-bench").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    time_t tomorrow = time(nullptr) + 86400;
    std::string file = "INIVER+!~*#$\r\n3\r\n";
    for (int i = 0; i < 1000; ++i) {
        time_t at = tomorrow + i * 60;
        struct tm t {};
        localtime_r(&at, &t);
        char when[32];
        strftime(when, sizeof when, "%Y%m%d%H%M%S", &t);
        file +=
            std::string("SCHTASK+!~*#$\r\n20260101000000\r\n") + when +
            "\r\n1\r\n1\r\n13\r\n\r\n101\r\n/bin/true\r\n\r\n\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n\r\n\r\n";
    }
    std::ofstream(dir + "/orvanesched.ssi", std::ios::binary) << file;

    std::string program = std::string(ORVANE_BINARY_DIR) + "/bin/orvanesched";
    char* sched_argv[] = {const_cast<char*>("orvanesched"), const_cast<char*>("-debug"), nullptr};
    pid_t sched = start(program.c_str(), sched_argv, dir);
    std::string secs = std::to_string(seconds);
    char* sleep_argv[] = {const_cast<char*>("sleep"), secs.data(), nullptr};
    std::this_thread::sleep_for(std::chrono::seconds(2));  // let it read the schedule
    auto before = thread_use(sched);
    pid_t peer = start("/bin/sleep", sleep_argv, dir);
    std::this_thread::sleep_for(std::chrono::seconds(seconds) - std::chrono::milliseconds(200));
    auto after = thread_use(sched);
    auto peer_use = thread_use(peer);
    kill(sched, SIGTERM);
    waitpid(sched, nullptr, 0);
    waitpid(peer, nullptr, 0);
    long hz = sysconf(_SC_CLK_TCK);
    std::printf("orvanesched idle %d s with 1000 future tasks (tick = %ld ms)\n", seconds, 1000 / hz);
    for (const auto& [tid, use] : after) {
        const ThreadUse& was = before[tid];
        std::printf("  thread %d%s: cpu %ld ms, wake-ups %ld\n", tid, tid == sched ? " (main)" : "",
                    (use.ticks - was.ticks) * 1000 / hz, use.wakeups - was.wakeups);
    }
    for (const auto& [tid, use] : peer_use)
        std::printf("  sleep %d (peer): cpu %ld ms, wake-ups %ld\n", seconds, use.ticks * 1000 / hz,
                    use.wakeups);
    std::filesystem::remove_all(dir);
    return 0;
}
