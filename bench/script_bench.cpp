// Interpreter speed: a script of 1,000,000 language statements (a loop with increment and if) run
// by orvaneftp, against the same loop run by bash in the same run. Prints statements per second
// by wall-clock time and per CPU second, and the ratio ours / bash.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Timing {
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds of the child and its threads
    int status = -1;
};

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs the program with standard output and error to /dev/null.
Timing run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Timing t;
    rusage usage{};
    if (pid > 0 && wait4(pid, &t.status, 0, &usage) == pid) {
        t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        t.cpu = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned passes = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 500000;
    double statements = 2.0 * passes;
    std::string script = "/tmp/orvane_script_bench_" + std::to_string(getpid()) + ".fscr";
    FILE* f = std::fopen(script.c_str(), "w");
    if (!f) return 1;
    std::fprintf(
        f,
        "loop %u begin\n  increment ~i;\n  if ~i == 0 begin\n    print \"never\";\n  end\nend\nprint ~i;\n",
        passes);
    std::fclose(f);
    std::string loop =
        "i=0; n=" + std::to_string(passes) +
        "; while ((n > 0)); do ((n--)); ((i++)); if ((i == 0)); then echo never; fi; done; echo $i";

    Timing ours = run({ORVANE_BINARY_DIR "/bin/orvaneftp", "-script", script});
    Timing bash = run({"/bin/bash", "-c", loop});
    std::remove(script.c_str());
    if (ours.status != 0 || bash.status != 0) {
        std::printf("a run failed (orvaneftp %d, bash %d)\n", ours.status, bash.status);
        return 1;
    }
    std::printf("statements: %.0f (%u passes of increment and if)\n", statements, passes);
    std::printf("orvaneftp: %.2f s wall, %.2f s CPU: %.0f statements/s wall, %.0f per CPU second\n",
                ours.wall, ours.cpu, statements / ours.wall, statements / ours.cpu);
    std::printf("bash:      %.2f s wall, %.2f s CPU: %.0f statements/s wall, %.0f per CPU second\n",
                bash.wall, bash.cpu, statements / bash.wall, statements / bash.cpu);
    std::printf("ratio ours/bash (wall): %.2f\n", bash.wall / ours.wall);
    return 0;
}
