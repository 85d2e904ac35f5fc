// One running scheduler per schedule: the instance lock in the runtime folder (its pid inside, for
// -remove and for the message a second instance gives) and a private lock file beside the schedule.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/named_object.h"

namespace orvane::sched {

inline constexpr const char* kStopEventName = "OrvaneScheduler_event_";  // set: a console instance stops
inline constexpr const char* kInstanceMarkName =
    "OrvaneScheduler_running_";  // held by the running instance, its pid inside
// Held beside the schedule file by the instance that runs it.
inline constexpr const char* kScheduleLockName = "orvanesched.lock";

// The locks of the running instance, let go when it ends.
class InstanceGuard {
  public:
    InstanceGuard() = default;
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Takes both locks for the schedule in `folder`. 0 when this process may run it; 1 when another
    // instance runs it (logged, naming that one). A lock that cannot be made at all is a warning.
    int take(const std::string& folder);
    // Takes the runtime-folder lock again, after its file or folder was removed.
    void retake();
    // Lets the runtime-folder lock go (its file was removed: held open, it would keep the removal
    // of its folder from being reported).
    void drop_runtime_lock();

  private:
    // 0 when held (or not to be had: warned), 1 when another instance holds it.
    int take_runtime_lock();

    platform::NamedMutex runtime_lock_;
    platform::FileHandle schedule_lock_ = platform::kInvalidFile;
};

// Stops the running instance, as the service manager would: SIGTERM to the pid it noted in its
// lock (the stop event too, for one in console mode). 0 when none runs any more; 1 when it could
// not be signalled or did not stop within 10 seconds (logged).
int stop_running_instance();

}  // namespace orvane::sched
