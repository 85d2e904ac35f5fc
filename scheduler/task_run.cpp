// Running one task's program and capturing its output.
#include "scheduler/task_run.h"

#include <cerrno>

#include "common/local_file.h"
#include "common/log.h"
#include "common/rollover.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/crash_report.h"
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

// The output of a run, held in a private file until the run ends: no pipe ever waits on the
// output file, memory stays bounded, and the output file sees the run in one piece.
struct Capture {
    platform::FileHandle temp = platform::kInvalidFile;
    int write_error = 0;  // the first failed write's errno: part of the output is missing
    ~Capture() {
        if (temp != platform::kInvalidFile) platform::file_close(temp);
    }
};

void keep_output(void* context, const char* data, size_t n) {
    auto* capture = static_cast<Capture*>(context);
    if (platform::file_write(capture->temp, data, n) != static_cast<int64_t>(n) && capture->write_error == 0)
        capture->write_error = errno != 0 ? errno : EIO;
}

void warn_output(const LaunchDetails& l, const char* what, int error) {
    output(format("Task output file %s %s (%s); the output is dropped",
                  escape_controls(l.output_file).c_str(), what, platform::error_text(error).c_str()),
           kLevelWarning);
}

// Adds the captured output to the output file. The file is locked for the whole copy, and in
// append mode every write lands at the end as it is then, so runs that overlap, and a log rotation
// that copies and truncates, never overwrite each other's bytes.
void deliver_output(const LaunchDetails& l, Capture& capture) {
    if (capture.write_error != 0) warn_output(l, "misses part of the output", capture.write_error);
    std::string path = platform::normalize_local_path(l.output_file);
    // The lock has its own handle: a rollover reopens the file, which would drop a lock taken on it.
    platform::FileHandle lock = platform::file_open(path, platform::kOpenAppendAlways);
    if (lock == platform::kInvalidFile) return warn_output(l, "could not be opened", errno);
    platform::file_lock(lock, true);
    LocalFile file(path);
    if (file.open(l.append == 1 ? platform::kOpenAppendAlways : platform::kOpenWrite) != 0) {
        warn_output(l, "could not be opened", errno);
    } else {
        if (l.rollover == 1 && l.rollover_size > 0) enable_rollover(file, l.rollover_size);
        platform::file_seek(capture.temp, 0, 0);
        char buf[65536];
        int64_t got;
        while ((got = platform::file_read(capture.temp, buf, sizeof buf)) > 0) {
            // Pieces of up to 390 bytes, so the rollover looks at the file as often as it did when output was
            // written as it came.
            for (int64_t at = 0; at < got; at += 390) {
                size_t piece = static_cast<size_t>(got - at < 390 ? got - at : 390);
                if (file.write(buf + at, piece) != static_cast<int64_t>(piece)) {
                    warn_output(l, "could not be written", errno);
                    got = -1;
                    break;
                }
            }
            if (got < 0) break;
        }
        file.close();
    }
    platform::file_lock(lock, false);
    platform::file_close(lock);
}

}  // namespace

void run_task(RunningTask& task, const platform::Event& stop) {
    platform::ThreadSignalStack alt_stack;
    const LaunchDetails& l = task.launch;
    std::string command = task_command_line(l);
    Capture capture;
    platform::SpawnOptions options;
    options.stop = &stop;
    bool captured = l.capture_output == 1 && !l.output_file.empty();
    if (captured) {
        capture.temp = platform::open_unnamed_temp_file();
        if (capture.temp == platform::kInvalidFile) {
            output(format("Task output of %s cannot be kept: no temporary file (%s); the output is dropped",
                          command.c_str(), platform::error_text(errno).c_str()),
                   kLevelWarning);
            captured = false;
        } else {
            options.on_output = keep_output;
            options.output_context = &capture;
        }
    }
    output("Task started: " + command, kLevelInfo);
    platform::SpawnResult result;
    if (platform::run_program(task_argv(l), options, result) != 0) {
        // Nothing ran, so the output file is left as it was.
        task.failed = true;
        output(format("ERROR: Task program could not be started: %s (%s)", command.c_str(),
                      result.error.c_str()),
               kLevelError);
    } else {
        if (captured) deliver_output(l, capture);
        task.exit_code = result.exit_code;
        if (result.outcome == platform::SpawnOutcome::kStopped)
            output(format("Task terminated by the stop (exit code 1): %s", command.c_str()), kLevelWarning);
        else if (result.outcome == platform::SpawnOutcome::kSignalled)
            output(format("Task ended by signal %d: %s", result.signal, command.c_str()), kLevelWarning);
        else
            output(format("Task ended with exit code %d: %s", result.exit_code, command.c_str()),
                   result.exit_code == 0 ? kLevelInfo : kLevelWarning);
    }
    task.done.set();
}

}  // namespace orvane::sched
