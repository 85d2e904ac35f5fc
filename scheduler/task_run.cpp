// Running one task's program and capturing its output.
#include "scheduler/task_run.h"

#include <cerrno>

#include "common/local_file.h"
#include "common/log.h"
#include "common/rollover.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/spawn.h"
#include "platform/system.h"
#include "scheduler/schedule_file.h"

namespace orvane::sched {

std::vector<std::string> task_argv(const LaunchDetails& launch) {
    std::string program = platform::normalize_local_path(launch.program);
    std::vector<std::string> argv;
    bool whole = program.find('/') != std::string::npos && platform::path_exists(program) &&
                 !platform::path_is_folder(program);
    if (whole) {
        argv.push_back(program);
        for (auto& a : platform::split_command_line(launch.arguments)) argv.push_back(std::move(a));
        return argv;
    }
    std::string line = program;
    if (!launch.arguments.empty()) line += " " + launch.arguments;
    argv = platform::split_command_line(line);
    return argv;
}

std::string task_command_line(const LaunchDetails& launch) {
    std::string line = launch.program;
    if (!launch.arguments.empty()) line += " " + launch.arguments;
    return escape_controls(line);
}

namespace {

// The output file of a task that captures its output.
struct Capture {
    LocalFile file;
};

// Writes in pieces of up to 390 bytes, so the rollover looks at the file as often as designed.
void write_output(void* context, const char* data, size_t n) {
    auto* capture = static_cast<Capture*>(context);
    while (n > 0) {
        size_t piece = n < 390 ? n : 390;
        capture->file.write(data, piece);  // a failed write is not reported
        data += piece;
        n -= piece;
    }
}

}  // namespace

void run_task(RunningTask& task, const platform::Event& stop) {
    const LaunchDetails& l = task.launch;
    std::string command = task_command_line(l);
    Capture capture;
    platform::SpawnOptions options;
    options.stop = &stop;
    if (l.capture_output == 1 && !l.output_file.empty()) {
        capture.file.set_path(platform::normalize_local_path(l.output_file));
        if (capture.file.open(l.append == 1 ? platform::kOpenAppend : platform::kOpenWrite) != 0) {
            output(format("Task output file %s could not be opened (%s); the output is dropped",
                          escape_controls(l.output_file).c_str(), platform::error_text(errno).c_str()),
                   kLevelWarning);
        } else {
            if (l.rollover == 1 && l.rollover_size > 0) enable_rollover(capture.file, l.rollover_size);
            options.on_output = write_output;
            options.output_context = &capture;
        }
    }
    output("Task started: " + command, kLevelInfo);
    platform::SpawnResult result;
    if (platform::run_program(task_argv(l), options, result) != 0) {
        task.failed = true;
        output(format("ERROR: Task program could not be started: %s (%s)", command.c_str(),
                      result.error.c_str()),
               kLevelError);
    } else {
        task.exit_code = result.exit_code;
        if (result.outcome == platform::SpawnOutcome::kStopped)
            output(format("Task terminated by the stop (exit code 1): %s", command.c_str()), kLevelWarning);
        else if (result.outcome == platform::SpawnOutcome::kSignalled)
            output(format("Task ended by signal %d: %s", result.signal, command.c_str()), kLevelWarning);
        else
            output(format("Task ended with exit code %d: %s", result.exit_code, command.c_str()),
                   result.exit_code == 0 ? kLevelInfo : kLevelWarning);
    }
    capture.file.close();
    task.done.set();
}

}  // namespace orvane::sched
