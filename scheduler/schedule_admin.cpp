// The admin commands: reading the schedule for -list, and editing it the way the schedule editor does.
#include "scheduler/schedule_admin.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/file.h"
#include "platform/folder_ops.h"
#include "platform/named_object.h"
#include "platform/system.h"
#include "scheduler/recurrence.h"
#include "scheduler/schedule_file.h"
#include "scheduler/schedule_words.h"
#include "scheduler/scheduler.h"
#include "scheduler/service.h"
#include "scheduler/task_run.h"

namespace orvane::sched {

namespace {

std::string now_text() {
    return time_text(calendar_from_local(std::time(nullptr)));
}

bool has_controls(const std::string& s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// -every: a word, or a count with a unit.
struct EveryWord {
    const char* word;
    uint32_t unit;  // interval 1
};
const EveryWord kEveryWords[] = {{"hourly", kUnitHour},
                                 {"daily", kUnitDay},
                                 {"weekly", kUnitWeek},
                                 {"monthly", kUnitMonth},
                                 {"yearly", kUnitYear}};
const EveryWord kEveryUnits[] = {{"s", kUnitSecond},    {"m", kUnitMinute},   {"h", kUnitHour},
                                 {"d", kUnitDay},       {"w", kUnitWeek},     {"months", kUnitMonth},
                                 {"month", kUnitMonth}, {"years", kUnitYear}, {"year", kUnitYear}};

int parse_every(const std::string& text, uint32_t& interval, uint32_t& unit) {
    std::string word = to_lower(text);
    for (const EveryWord& w : kEveryWords)
        if (word == w.word) {
            interval = 1;
            unit = w.unit;
            return 0;
        }
    size_t digits = leading_digits(word);
    uint64_t n = parse_decimal_prefix_saturating(word, UINT64_MAX);
    // The scheduler reads the interval as a signed count.
    if (digits == 0 || n < 1 || n > INT32_MAX) return 1;
    for (const EveryWord& w : kEveryUnits)
        // Case counts here: "1M" could mean a month as well as a minute, so it is refused.
        if (text.compare(digits, std::string::npos, w.word) == 0) {
            interval = static_cast<uint32_t>(n);
            unit = w.unit;
            return 0;
        }
    return 1;
}

// The options of -add: {name, takes a value}.
struct AddOption {
    const char* name;
    bool value;
};
const AddOption kAddOptions[] = {{"program", true}, {"args", true},  {"output", true}, {"replace", false},
                                 {"start", true},   {"every", true}, {"until", true}};

// The schedule read the editor's way, changed by `edit`, written back, and the scheduler told.
// Nothing is written when `edit` refuses (1, with the reason in its argument).
int edit_schedule(const std::function<int(std::vector<Task>&, std::string*)>& edit) {
    std::string folder = schedule_folder();
    std::string path = folder + kScheduleFileName, error;
    if (!platform::path_is_folder(folder)) {
        if (platform::make_folders(folder, &error) != 0) {
            output("ERROR: The schedule folder could not be created: " + error, kLevelError);
            return 1;
        }
        ::chmod(folder.c_str(), 0700);  // schedules hold passwords in task arguments
    }
    // The editor mutex keeps the scheduler from starting a task and writing its older list over
    // this edit; the reload event is set before the file lock goes, for the same reason.
    platform::NamedMutex editing, file_lock;
    bool named = !platform::runtime_folder().empty();
    if (named && (editing.acquire(kEditorRunningName, nullptr, false, &error) != 0 ||
                  file_lock.acquire(kFileLockName, nullptr, false, &error) != 0)) {
        output("ERROR: The schedule's editor lock could not be taken: " + error, kLevelError);
        return 1;
    }
    if (!named)
        output(
            "No runtime folder: the schedule is edited without the editor's lock, and a running scheduler "
            "is not told",
            kLevelWarning);
    std::vector<Task> tasks;
    std::string kept;
    if (read_schedule(path, tasks, &kept) != 0 && platform::path_exists(path)) {
        output("ERROR: The schedule " + path + " could not be read; it was not changed", kLevelError);
        return 1;
    }
    sort_tasks(tasks);
    if (edit(tasks, &error) != 0) {
        output("ERROR: " + error + "; the schedule was not changed", kLevelError);
        return 1;
    }
    if (!platform::path_exists(path)) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);  // kept private
        if (fd >= 0) ::close(fd);
    }
    if (write_schedule(path, tasks, &error, kept) != 0) {
        output("ERROR: The schedule could not be written: " + error, kLevelError);
        return 1;
    }
    if (named) platform::named_event_set(kReloadEventName);
    return 0;
}

// A task number of the list (1-based). 0 with the index; 1 with the reason.
int task_index(const std::vector<std::string>& args, const std::vector<Task>& tasks, size_t& index,
               std::string* error) {
    const std::string n = args.empty() ? std::string() : args[0];
    uint64_t value = parse_decimal_prefix_saturating(n, UINT64_MAX);
    if (args.size() != 1 || n.empty() || leading_digits(n) != n.size() || value < 1 || value > tasks.size()) {
        *error = format("There is no task \"%s\" (the schedule holds %zu; see -list)",
                        escape_controls(cut(n, 40)).c_str(), tasks.size());
        return 1;
    }
    index = static_cast<size_t>(value - 1);
    return 0;
}

std::string task_summary(const Task& t) {
    return escape_controls(task_command_line(t.launch)) + " (next run " + iso_local_time(t.next_run) + ", " +
           recurrence_words(t) + ")";
}

int add_command(const std::vector<std::string>& args) {
    Task task;
    std::string error;
    if (task_from_arguments(args, now_text(), task, &error) != 0) {
        output("ERROR: -add: " + error + "; the schedule was not changed", kLevelError);
        return 1;
    }
    size_t number = 0;
    int r = edit_schedule([&](std::vector<Task>& tasks, std::string*) {
        tasks.push_back(task);
        sort_tasks(tasks);  // stable: the new task comes after those due at the same time
        number = static_cast<size_t>(std::count_if(
            tasks.begin(), tasks.end(), [&](const Task& t) { return t.next_run <= task.next_run; }));
        return 0;
    });
    if (r == 0) output(format("Task %zu added: ", number) + task_summary(task), kLevelInfo);
    return r;
}

int remove_command(const std::vector<std::string>& args) {
    Task removed;
    size_t index = 0;
    int r = edit_schedule([&](std::vector<Task>& tasks, std::string* error) {
        if (task_index(args, tasks, index, error) != 0) return 1;
        removed = tasks[index];
        tasks.erase(tasks.begin() + static_cast<std::ptrdiff_t>(index));
        return 0;
    });
    if (r == 0) output(format("Task %zu removed: ", index + 1) + task_summary(removed), kLevelInfo);
    return r;
}

int run_now_command(const std::vector<std::string>& args) {
    Task task;
    size_t index = 0;
    int r = edit_schedule([&](std::vector<Task>& tasks, std::string* error) {
        if (task_index(args, tasks, index, error) != 0) return 1;
        task = tasks[index];
        std::string now = now_text();
        if (task.recurring == 1) {
            // A one-time copy: moving the task itself would move its recurrence to this moment.
            Task copy = task;
            copy.created = now;
            copy.next_run = now;
            copy.recurring = 0;
            set_task_until(copy.launch, "");
            tasks.push_back(copy);
        } else {
            tasks[index].next_run = now;
        }
        sort_tasks(tasks);
        return 0;
    });
    if (r == 0)
        output(format("Task %zu starts now%s: ", index + 1,
                      task.recurring == 1 ? " (once; its recurrence stays as it is)" : "") +
                   escape_controls(task_command_line(task.launch)),
               kLevelInfo);
    return r;
}

int list_command(const std::vector<std::string>& args) {
    if (!args.empty()) {
        output("ERROR: -list takes no arguments", kLevelError);
        return 1;
    }
    std::string path = schedule_folder() + kScheduleFileName;
    std::vector<Task> tasks;
    {
        platform::NamedMutex file_lock;
        if (!platform::runtime_folder().empty()) file_lock.acquire(kFileLockName);
        if (read_schedule(path, tasks) != 0 && platform::path_exists(path)) {
            output("ERROR: The schedule " + path + " could not be read", kLevelError);
            return 1;
        }
    }
    sort_tasks(tasks);
    output(format("Schedule %s: %zu task%s", path.c_str(), tasks.size(), tasks.size() == 1 ? "" : "s"),
           kLevelInfo);
    for (size_t i = 0; i < tasks.size(); ++i) {
        const Task& t = tasks[i];
        const LaunchDetails& l = t.launch;
        std::string out =
            l.capture_output == 1 && !l.output_file.empty()
                ? escape_controls(l.output_file) + (l.append == 1 ? " (appended)" : " (replaced)")
                : "(not kept)";
        std::string until = task_until(l);
        std::string end = !recurrence_advances(t) ? "after its run"
                          : until.empty()         ? "none (occurrences stop after 2040)"
                                                  : iso_local_time(until);
        output(
            format("Task %zu\n  program:    %s\n  arguments:  %s\n  output:     %s\n  next run:   %s\n"
                   "  recurrence: %s\n  end:        %s",
                   i + 1, escape_controls(l.program).c_str(), escape_controls(l.arguments).c_str(),
                   out.c_str(), iso_local_time(t.next_run).c_str(), recurrence_words(t).c_str(), end.c_str()),
            kLevelInfo);
    }
    return 0;
}

struct AdminCommand {
    const char* name;  // without its leading "-" or "/", lower case
    int (*run)(const std::vector<std::string>& args);
};
const AdminCommand kCommands[] = {
    {"list", list_command},
    {"add", add_command},
    {"remove-task", remove_command},
    {"run-now", run_now_command},
};

}  // namespace

int task_from_arguments(const std::vector<std::string>& args, const std::string& now, Task& task,
                        std::string* error) {
    std::vector<std::pair<std::string, std::string>> given;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = to_lower(arg.size() > 1 && arg[0] == '-' ? arg.substr(1) : std::string());
        const AddOption* option = nullptr;
        for (const AddOption& o : kAddOptions)
            if (name == o.name) option = &o;
        if (option == nullptr) {
            *error = "unknown option \"" + escape_controls(cut(arg, 60)) +
                     "\" (use -program, -args, -output, -replace, -start, -every, -until)";
            return 1;
        }
        for (const auto& g : given)
            if (g.first == name) {
                *error = "-" + name + " is given twice";
                return 1;
            }
        if (option->value && i + 1 >= args.size()) {
            *error = "-" + name + " needs a value";
            return 1;
        }
        given.emplace_back(name, option->value ? args[++i] : std::string());
    }
    auto value = [&given](const char* name, bool* present = nullptr) -> std::string {
        for (const auto& g : given)
            if (g.first == name) {
                if (present) *present = true;
                return g.second;
            }
        return {};
    };
    bool has_output = false, has_every = false, has_until = false, has_start = false, replace = false;
    value("replace", &replace);
    Task t;
    t.created = now;
    t.next_run = now;
    LaunchDetails& l = t.launch;
    l.program = value("program");
    l.arguments = value("args");
    l.output_file = value("output", &has_output);
    // A line break would end the field in the file and start a line of the next one.
    const struct {
        const char* name;
        const std::string& text;
        size_t width;
    } texts[] = {{"-program", l.program, kProgramWidth},
                 {"-args", l.arguments, kArgumentsWidth},
                 {"-output", l.output_file, kOutputFileWidth}};
    for (const auto& f : texts) {
        if (has_controls(f.text)) {
            *error =
                std::string(f.name) + " holds a control character (" + escape_controls(cut(f.text, 60)) + ")";
            return 1;
        }
        if (f.text.size() > f.width) {
            *error = format("%s is %zu characters long (at most %zu)", f.name, f.text.size(), f.width);
            return 1;
        }
    }
    if (l.program.empty()) {
        *error = "-program is missing (the program to start, with -args for its arguments)";
        return 1;
    }
    if (has_output && l.output_file.empty()) {
        *error = "-output names no file";
        return 1;
    }
    if (replace && !has_output) {
        *error = "-replace needs -output";
        return 1;
    }
    l.capture_output = has_output ? 1 : 0;
    l.append = replace ? 0 : 1;
    std::string start = value("start", &has_start);
    if (has_start && parse_iso_local(start, t.next_run) != 0) {
        *error = "-start \"" + escape_controls(cut(start, 60)) +
                 "\" is not a local time from 1970 to 2040 in the form 2026-12-10T03:00 (or T03:00:00)";
        return 1;
    }
    std::string every = value("every", &has_every);
    if (has_every) {
        if (parse_every(every, t.interval, t.unit) != 0) {
            *error = "-every \"" + escape_controls(cut(every, 60)) +
                     "\" is not a recurrence (30s, 15m, 2h, 1d, 1w, 3months, 1year; hourly, daily, weekly, "
                     "monthly, yearly)";
            return 1;
        }
        t.recurring = 1;
    }
    std::string until = value("until", &has_until), until_text;
    if (has_until) {
        if (!has_every) {
            *error = "-until needs -every (a task that runs once has no end)";
            return 1;
        }
        if (parse_iso_local(until, until_text) != 0) {
            *error = "-until \"" + escape_controls(cut(until, 60)) +
                     "\" is not a local time from 1970 to 2040 in the form 2026-12-10T03:00 (or T03:00:00)";
            return 1;
        }
        if (until_text < t.next_run) {
            *error = "-until lies before the first run";
            return 1;
        }
        set_task_until(l, until_text);
    }
    task = std::move(t);
    return 0;
}

namespace {

// Root editing a schedule that belongs to the service's own user (the shipped unit runs as
// "orvane") acts as that user: a file root wrote would be unreadable to the service, and root's
// runtime folder is not the one the service waits on for its reload event.
int act_as_schedule_owner() {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(schedule_folder().c_str(), &st) != 0 || st.st_uid == 0) return 0;
    if (::setgroups(0, nullptr) != 0 || ::setgid(st.st_gid) != 0 || ::setuid(st.st_uid) != 0) {
        output("ERROR: Could not act as the schedule's owner (uid " + std::to_string(st.st_uid) +
                   "): " + platform::error_text(errno),
               kLevelError);
        return 1;
    }
    return 0;
}

}  // namespace

int run_admin_option(const std::string& option, const std::vector<std::string>& args) {
    for (const AdminCommand& c : kCommands)
        if (option == c.name) return act_as_schedule_owner() != 0 ? 1 : c.run(args);
    return -1;
}

}  // namespace orvane::sched
