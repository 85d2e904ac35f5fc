// The instance locks and stopping the running instance.
#include "scheduler/instance.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/system.h"
#include "scheduler/service.h"

namespace orvane::sched {

int InstanceGuard::take_runtime_lock() {
    std::string error;
    int r = runtime_lock_.try_acquire(kInstanceMarkName, &error);
    if (r == 1) {
        std::string pid = platform::named_mutex_note(kInstanceMarkName);
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r')) pid.pop_back();
        output(format("ERROR: %s is already running (pid %s); this second instance would start every task "
                      "twice and does not start",
                      kServiceDisplayName, pid.empty() ? "unknown" : escape_controls(pid).c_str()),
               kLevelError);
        return 1;
    }
    if (r == 2) {
        output("The instance lock could not be taken (" + error +
                   "): a second instance and -remove cannot see this one",
               kLevelWarning);
        return 0;
    }
    runtime_lock_.set_note(std::to_string(::getpid()) + "\n");
    return 0;
}

int InstanceGuard::take(const std::string& folder) {
    if (take_runtime_lock() != 0) return 1;
    // An instance with another runtime folder would otherwise still run the same schedule's tasks
    // a second time.
    bool busy = false;
    schedule_lock_ = platform::try_lock_private_file(folder + kScheduleLockName, &busy);
    if (busy) {
        output(format("ERROR: %s is already running on the schedule in %s; this second instance would start "
                      "every task twice and does not start",
                      kServiceDisplayName, folder.c_str()),
               kLevelError);
        runtime_lock_.release();
        return 1;
    }
    if (schedule_lock_ == platform::kInvalidFile)
        output(format("The schedule's lock file %s%s could not be taken (%s): a second instance on this "
                      "schedule would not be seen",
                      folder.c_str(), kScheduleLockName, platform::error_text(errno).c_str()),
               kLevelWarning);
    return 0;
}

void InstanceGuard::retake() {
    take_runtime_lock();
}

void InstanceGuard::drop_runtime_lock() {
    runtime_lock_.release();
}

InstanceGuard::~InstanceGuard() {
    runtime_lock_.release();
    if (schedule_lock_ != platform::kInvalidFile) platform::file_close(schedule_lock_);
}

int stop_running_instance() {
    if (!platform::named_mutex_exists(kInstanceMarkName)) return 0;
    std::string note = platform::named_mutex_note(kInstanceMarkName);
    long pid = std::strtol(note.c_str(), nullptr, 10);
    if (pid > 1 && ::kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
        output(format("ERROR: The running scheduler (pid %ld) could not be stopped: %s", pid,
                      platform::error_text(errno).c_str()),
               kLevelError);
        return 1;
    }
    platform::named_event_set(kStopEventName);
    for (int i = 0; i < 100 && platform::named_mutex_exists(kInstanceMarkName); ++i) ::usleep(100000);
    platform::named_event_reset(kStopEventName);
    if (!platform::named_mutex_exists(kInstanceMarkName)) return 0;
    output(format("ERROR: The running scheduler (pid %ld) did not stop within 10 seconds", pid), kLevelError);
    return 1;
}

}  // namespace orvane::sched
