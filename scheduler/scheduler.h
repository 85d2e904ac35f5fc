// The scheduling thread: sleeps until the first task is due, starts it, moves it on, writes the
// file back, and reloads the file when the schedule editor asks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/named_object.h"
#include "platform/wall_timer.h"
#include "scheduler/task.h"
#include "scheduler/task_run.h"

namespace orvane::sched {

// Named objects shared with the schedule editor.
inline constexpr const char* kFileLockName = "_schedfile_filelock_";          // mutex around file access
inline constexpr const char* kReloadEventName = "_schedfile_servicereload_";  // set: read the file again
inline constexpr const char* kEditorRunningName = "_schedfile_scprun_";       // held: no starts, no reloads

// At most this many tasks run at once; a due task waits for a free slot.
inline constexpr size_t kMaxRunningTasks = 63;
// The longest sleep, and the look-again time while the editor runs.
inline constexpr int kLongestWaitMs = 3600000;
inline constexpr int kEditorWaitMs = 10000;

// Local time now, counted as schedule seconds, and the milliseconds into that second.
int64_t schedule_now(int* milliseconds = nullptr);
// Milliseconds until a next-run text is due (0 when due), at most kLongestWaitMs. Counted on the
// real clock to the first moment the local clock reads that time, so a daylight-saving jump
// forward on the way does not make the task late; a time the jump skips is due at the jump.
int wait_until_due(const std::string& next_run);
// The first real second (Unix time) from `now` on at which the local time, as schedule seconds,
// reaches `due`.
int64_t first_second_at(int64_t due, int64_t now);

class Scheduler {
  public:
    explicit Scheduler(std::string schedule_path);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Starts the scheduling thread. 0 when started.
    int start();
    // The stop request: running tasks are terminated, and this returns once every thread has ended.
    void stop();
    // Reads the file again at the next look, as the editor's reload event asks (SIGHUP).
    void reload() { reload_.set(); }

  private:
    enum class State { kReading, kScheduling, kEditorRunning, kStopping, kStopped };
    void set_state(State s);
    void run();
    // Reads the file (the lock held); `reloaded` only changes the message.
    void read_file(bool reloaded);
    // Starts what is due; returns the next time-out in ms. Sets *postponed when the editor runs.
    int start_due_tasks(bool* postponed);
    void start_first_task();
    // Why the first task must not start now (empty: it may): a run of the same task still going.
    std::string start_refusal() const;
    void reap_finished_tasks();
    // Takes the schedule file lock, or goes on without it when there is no runtime folder to hold
    // it in (no editor can share the file then either). 0 when the file may be used, 1 on a stop
    // or a failure (logged).
    int lock_file(platform::NamedMutex& lock);

    std::string path_;
    State state_ = State::kStopped;
    std::vector<Task> tasks_;
    std::string kept_;  // lines of tasks that could not be read, written back as they were
    std::vector<std::unique_ptr<RunningTask>> running_;
    platform::Event stop_;        // the stop request for this thread
    platform::Event stop_tasks_;  // the stop request it passes on to the task threads
    platform::Event reload_;      // a reload asked for by signal, without the named event
    platform::FolderWatch watch_;
    platform::WallClockTimer timer_;  // the due time by the wall clock, also after a suspend
    bool reload_wanted_ = false;
    bool slots_full_reported_ = false;
    std::thread thread_;
};

}  // namespace orvane::sched
