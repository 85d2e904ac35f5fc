// The scheduling thread's loop.
#include "scheduler/scheduler.h"

#include <time.h>

#include <chrono>
#include <system_error>

#include "common/log.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/crash_report.h"
#include "platform/file.h"
#include "platform/system.h"
#include "scheduler/recurrence.h"
#include "scheduler/schedule_file.h"

namespace orvane::sched {

int64_t schedule_now(int* milliseconds) {
    ::tzset();  // a zone changed meanwhile counts from the next look on
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(ms / 1000);
    if (milliseconds) *milliseconds = static_cast<int>(ms % 1000);
    return schedule_seconds(calendar_from_local(seconds));
}

namespace {

int64_t local_seconds_at(int64_t t) {
    return schedule_seconds(calendar_from_local(static_cast<time_t>(t)));
}

}  // namespace

int64_t first_second_at(int64_t due, int64_t now) {
    int64_t local_now = local_seconds_at(now);
    if (local_now >= due) return now;
    // Exact unless the offset from UTC changes on the way.
    int64_t hi = now + (due - local_now);
    for (int i = 0; i < 4 && local_seconds_at(hi) < due; ++i) hi += due - local_seconds_at(hi);
    if (local_seconds_at(hi) < due) return hi;  // a zone too odd to search: look again then
    int64_t lo = now;                           // local time below `due` here, at or above it at hi
    while (hi - lo > 1) {
        int64_t mid = lo + (hi - lo) / 2;
        (local_seconds_at(mid) >= due ? hi : lo) = mid;
    }
    return hi;
}

int wait_until_due(const std::string& next_run) {
    ::tzset();
    CalendarTime due;
    if (parse_time_text(next_run, due) != 0) return 0;  // never stored: the reader sets such tasks aside
    auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    int64_t now = now_ms / 1000;
    int64_t ahead = first_second_at(schedule_seconds(due), now) - now;
    if (ahead <= 0) return 0;
    if (ahead > kLongestWaitMs / 1000) return kLongestWaitMs;
    return static_cast<int>(ahead * 1000 - now_ms % 1000);
}

Scheduler::Scheduler(std::string schedule_path) : path_(std::move(schedule_path)) {}

Scheduler::~Scheduler() {
    stop();
}

void Scheduler::set_state(State s) {
    if (s == state_) return;
    static const char* const kNames[] = {"reading the schedule", "scheduling",
                                         "waiting for the schedule editor", "stopping", "stopped"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(State::kStopped) + 1);
    state_ = s;
    output(std::string("Scheduler: ") + kNames[static_cast<int>(s)], kLevelInfo);
}

int Scheduler::start() {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        output(format("ERROR: The scheduling thread could not be started (%s)", e.what()), kLevelError);
        return 1;
    }
    return 0;
}

void Scheduler::stop() {
    stop_.set();
    if (thread_.joinable()) thread_.join();
}

void Scheduler::read_file(bool reloaded) {
    if (read_schedule(path_, tasks_, &kept_) != 0)
        output(format("Schedule file %s could not be read (%s): no tasks", path_.c_str(),
                      platform::path_exists(path_) ? "unreadable" : "missing"),
               kLevelWarning);
    // The first task must be the earliest, whatever order the editor wrote; a sorted file keeps its order.
    sort_tasks(tasks_);
    output(format("Schedule %s: %zu task%s", reloaded ? "reloaded" : "read", tasks_.size(),
                  tasks_.size() == 1 ? "" : "s"),
           kLevelInfo);
}

void Scheduler::reap_finished_tasks() {
    for (size_t i = 0; i < running_.size();) {
        if (running_[i]->done.is_set()) {
            running_[i]->thread.join();
            running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

std::string Scheduler::start_refusal() const {
    const Task& first = tasks_.front();
    // A run that outlasts its interval would otherwise take a new slot at every occurrence.
    for (const auto& r : running_)
        if (first.recurring == 1 && !r->done.is_set() && r->created == first.created &&
            r->launch == first.launch)
            return "Task still running: its run due " + first.next_run + " is skipped";
    return {};
}

void Scheduler::start_first_task() {
    std::string refusal = start_refusal();
    if (!refusal.empty()) {
        output(refusal + ": " + task_command_line(tasks_.front().launch), kLevelWarning);
    } else {
        auto task = std::make_unique<RunningTask>();
        task->created = tasks_.front().created;
        task->launch = tasks_.front().launch;
        RunningTask* t = task.get();
        try {
            t->thread = std::thread([t, this] { run_task(*t, stop_tasks_); });
            running_.push_back(std::move(task));
        } catch (const std::system_error& e) {
            output(format("ERROR: No thread for the task %s (%s)", task_command_line(t->launch).c_str(),
                          e.what()),
                   kLevelError);
        }
    }
    Task started = tasks_.front();
    switch (reschedule_first(tasks_, schedule_now())) {
        case RescheduleResult::kRemoved:
        case RescheduleResult::kMoved:
            break;
        case RescheduleResult::kBadRecurrence:
            output(format("Task dropped after its run: a recurrence of %u in unit %u never advances: %s",
                          started.interval, started.unit, task_command_line(started.launch).c_str()),
                   kLevelWarning);
            break;
        case RescheduleResult::kEnded:
            output(format("Task recurrence ended: its next run would fall after 2040: %s",
                          task_command_line(started.launch).c_str()),
                   kLevelWarning);
            break;
        case RescheduleResult::kUntilPassed:
            output(format("Task recurrence ended: its end %s has passed: %s",
                          task_until(started.launch).c_str(), task_command_line(started.launch).c_str()),
                   kLevelInfo);
            break;
    }
}

int Scheduler::start_due_tasks(bool* postponed) {
    for (;;) {
        if (tasks_.empty()) return kLongestWaitMs;
        int wait = wait_until_due(tasks_.front().next_run);
        if (wait > 0) return wait;
        if (running_.size() >= kMaxRunningTasks) {
            if (slots_full_reported_) return kLongestWaitMs;
            slots_full_reported_ = true;  // once until a task starts again
            output(format("All %zu task slots are taken: the task due %s waits for one", kMaxRunningTasks,
                          tasks_.front().next_run.c_str()),
                   kLevelWarning);
            return kLongestWaitMs;  // a task's end wakes the loop
        }
        platform::NamedMutex lock;
        std::string error;
        if (lock_file(lock) != 0) return kEditorWaitMs;
        // Watched before the look, so an editor that lets go in between still wakes the loop.
        watch_.watch_release(kEditorRunningName);
        if (platform::named_mutex_exists(kEditorRunningName)) {
            *postponed = true;
            return kEditorWaitMs;
        }
        // An edit that arrived since the last look is read before the list is written back over it.
        if (reload_wanted_ || reload_.is_set() || platform::named_event_is_set(kReloadEventName)) {
            reload_.reset();
            platform::named_event_reset(kReloadEventName);
            reload_wanted_ = false;
            read_file(true);
            continue;
        }
        slots_full_reported_ = false;
        start_first_task();
        if (write_schedule(path_, tasks_, &error, kept_) != 0)
            output("ERROR: The schedule file could not be written: " + error, kLevelError);
    }
}

int Scheduler::lock_file(platform::NamedMutex& lock) {
    std::string error;
    if (lock.acquire(kFileLockName, &stop_, false, &error) == 0) return 0;
    if (stop_.is_set()) return 1;
    if (platform::runtime_folder().empty()) {
        output("No runtime folder: the schedule file is used without the editor's lock", kLevelWarning);
        return 0;
    }
    output("ERROR: The schedule file lock could not be taken: " + error, kLevelError);
    return 1;
}

void Scheduler::run() {
    platform::ThreadSignalStack alt_stack;
    set_state(State::kReading);
    {
        platform::NamedMutex lock;
        if (lock_file(lock) == 0) read_file(false);
    }
    set_state(State::kScheduling);
    int timeout = 0;
    platform::PollSet wait_set;
    for (;;) {
        wait_set.clear();
        wait_set.add(stop_.descriptor(), platform::kPollReadable);
        wait_set.add(reload_.descriptor(), platform::kPollReadable);
        if (watch_.valid()) wait_set.add(watch_.descriptor(), platform::kPollReadable);
        for (const auto& t : running_) wait_set.add(t->done.descriptor(), platform::kPollReadable);
        // Without a folder watch the reload event is looked for every 10 seconds.
        if (!watch_.valid() && timeout > kEditorWaitMs) timeout = kEditorWaitMs;
        // The time-out counts only time awake; the timer also ends the wait after a suspend or
        // when the clock is set, and the due check below then looks again.
        timer_.arm_in(timeout);
        if (timer_.valid()) wait_set.add(timer_.descriptor(), platform::kPollReadable);
        wait_set.wait(timeout);
        timer_.drain();
        if (stop_.is_set()) break;
        reap_finished_tasks();
        watch_.drain();
        if (watch_.folder_gone()) watch_.rearm();  // the main thread logs it and makes the folder again
        if (platform::named_event_is_set(kReloadEventName)) reload_wanted_ = true;
        if (reload_.is_set()) {
            reload_.reset();
            reload_wanted_ = true;
        }
        bool postponed = false;
        if (reload_wanted_) {
            platform::NamedMutex lock;
            if (lock_file(lock) != 0) {
                if (stop_.is_set()) break;
                timeout = kEditorWaitMs;
                continue;
            }
            watch_.watch_release(kEditorRunningName);
            if (platform::named_mutex_exists(kEditorRunningName)) {
                postponed = true;
            } else {
                // Reset first: a request that comes while the file is read is not lost.
                platform::named_event_reset(kReloadEventName);
                reload_wanted_ = false;
                read_file(true);
            }
        }
        if (!postponed) timeout = start_due_tasks(&postponed);
        if (postponed) timeout = kEditorWaitMs;
        set_state(postponed ? State::kEditorRunning : State::kScheduling);
    }
    set_state(State::kStopping);
    if (!running_.empty())
        output(format("Terminating %zu running task%s", running_.size(), running_.size() == 1 ? "" : "s"),
               kLevelInfo);
    stop_tasks_.set();
    for (auto& t : running_) t->thread.join();
    running_.clear();
    set_state(State::kStopped);
}

}  // namespace orvane::sched
