// The program adapter: the functions of programs.h over the system's program starter.
#include <signal.h>
#include <time.h>

#include "client/actions/programs.h"
#include "platform/spawn.h"

namespace orvane {
namespace {

// A program that closes its input before it has all of it makes the write raise SIGPIPE, which
// would end this process: the signal is blocked for this thread while the program runs, and one
// left pending is taken back.
class QuietPipes {
  public:
    QuietPipes() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~QuietPipes() {
        struct timespec zero = {0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    QuietPipes(const QuietPipes&) = delete;
    QuietPipes& operator=(const QuietPipes&) = delete;

  private:
    sigset_t pipe_;
    sigset_t old_;
};

}  // namespace

std::vector<std::string> split_program_arguments(std::string_view text) {
    return platform::split_command_line(text);
}

int run_program_with_input(const std::vector<std::string>& argv, const std::string& input, ProgramOutput sink,
                           void* context, ProgramRun& run) {
    platform::SpawnOptions options;
    options.on_output = sink;
    options.output_context = context;
    options.input = input;
    platform::SpawnResult result;
    QuietPipes quiet;
    int started = platform::run_program(argv, options, result);
    run.end = started != 0                                           ? ProgramEnd::kNotStarted
              : result.outcome == platform::SpawnOutcome::kSignalled ? ProgramEnd::kSignalled
                                                                     : ProgramEnd::kExited;
    run.exit_code = result.exit_code;
    run.signal = result.signal;
    run.error = result.error;
    return started;
}

int start_program_detached(const std::vector<std::string>& argv, std::string* error) {
    return platform::start_program(argv, {}, error);
}

}  // namespace orvane
