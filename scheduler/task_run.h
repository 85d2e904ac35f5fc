// One started task: its program run on a thread of its own, its output captured into its file.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "scheduler/task.h"

namespace orvane::sched {

// The program and its arguments: "program" and, when the arguments are not empty, one blank and
// the arguments, split by the Windows command-line rules. A program field that names an existing
// file is taken whole, blanks and all; a "\" in the program is read as "/".
std::vector<std::string> task_argv(const LaunchDetails& launch);
// The command line as the log shows it.
std::string task_command_line(const LaunchDetails& launch);

// A task being run. The scheduling thread owns it; its thread sets `done` as its last act.
struct RunningTask {
    std::string created;  // with `launch`, tells which schedule task this is a run of
    LaunchDetails launch;
    std::thread thread;
    platform::Event done;
    std::atomic<bool> failed{false};  // the program could not be started
    int exit_code = -1;

    RunningTask() = default;
    RunningTask(const RunningTask&) = delete;
    RunningTask& operator=(const RunningTask&) = delete;
};

// The task thread's body: starts the program with its input closed, keeps its output (when
// captured) in a private temporary file, waits for its end or for `stop` (then the program is
// terminated and its exit code is 1), adds the output to the output file, and logs how it ended.
// A program that cannot be started leaves the output file untouched.
void run_task(RunningTask& task, const platform::Event& stop);

}  // namespace orvane::sched
