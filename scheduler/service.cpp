// The systemd unit, the schedule folder, and the main thread's wait for a stop request.
#include "scheduler/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/file_replace.h"
#include "platform/folder_ops.h"
#include "platform/named_object.h"
#include "platform/service_status.h"
#include "platform/spawn.h"
#include "platform/stop_signal.h"
#include "platform/system.h"
#include "scheduler/instance.h"
#include "scheduler/schedule_file.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_log.h"

namespace orvane::sched {

namespace {

bool default_unit_folder() {
    bool set = false;
    platform::get_environment("ORVANESCHED_UNIT_DIR", &set);
    return !set;
}

// Runs systemctl with the arguments. 0 when it ran and succeeded, 1 when it failed, 2 when there
// is no systemctl.
int systemctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    platform::SpawnResult result;
    if (platform::run_program(argv, {}, result) != 0) return 2;
    return result.outcome == platform::SpawnOutcome::kExited && result.exit_code == 0 ? 0 : 1;
}

// ExecStart quoting: double quotes around a path with blanks, "%" doubled.
std::string unit_quoted(const std::string& path) {
    std::string s;
    bool quote = path.find_first_of(" \t\"\\") != std::string::npos;
    for (char c : path) {
        if (c == '%') s += '%';
        if (quote && (c == '"' || c == '\\')) s += '\\';
        s += c;
    }
    return quote ? "\"" + s + "\"" : s;
}

std::string with_slash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

bool runs_from_build_tree(const std::string& program_folder) {
    // The build puts its programs in <build>/bin beside <build>/CMakeCache.txt; an installed
    // program has no such neighbour, and its folder (/usr/bin) is no place for a schedule.
    return platform::path_exists(program_folder + "../CMakeCache.txt");
}

}  // namespace

std::string installed_folder(bool root) {
    if (root) return with_slash(kInstalledDataDir);
    bool set = false;
    std::string state = platform::get_environment("XDG_STATE_HOME", &set);
    // A relative XDG_STATE_HOME is invalid by the base-directory rules and must be ignored.
    if (set && !state.empty() && state[0] == '/') return with_slash(state) + "orvane/";
    std::string home = platform::get_environment("HOME", &set);
    if (set && !home.empty() && home[0] == '/') return with_slash(home) + ".local/state/orvane/";
    return std::string();
}

std::string schedule_folder() {
    bool set = false;
    std::string dir = platform::get_environment("ORVANESCHED_DIR", &set);
    if (set && !dir.empty()) return with_slash(dir);
    std::string beside = platform::program_folder();
    if (runs_from_build_tree(beside)) return beside;
    std::string installed = installed_folder(::geteuid() == 0);
    return installed.empty() ? beside : installed;
}

std::string unit_folder() {
    bool set = false;
    std::string dir = platform::get_environment("ORVANESCHED_UNIT_DIR", &set);
    return set && !dir.empty() ? with_slash(dir) : std::string("/etc/systemd/system/");
}

std::string unit_text(const std::string& program_path, bool automatic) {
    return format(
        "# %s: %s.\n"
        "[Unit]\n"
        "Description=%s\n"
        "After=network-online.target\n"
        "Wants=network-online.target\n"
        "\n"
        "[Service]\n"
        "Type=notify\n"
        "ExecStart=%s\n"
        "ExecReload=/bin/kill -HUP $MAINPID\n"
        "Environment=ORVANESCHED_DIR=%s\n"
        "StateDirectory=orvane\n"
        "WorkingDirectory=%s\n"
        "# The service terminates its running tasks itself before it ends.\n"
        "KillMode=mixed\n"
        "TimeoutStopSec=30\n"
        "\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n",
        kServiceName,
        automatic ? "starts at boot (enabled by orvanesched -installauto)"
                  : "starts on demand (systemctl start orvanesched)",
        kServiceDisplayName, unit_quoted(program_path).c_str(), kInstalledDataDir, kInstalledDataDir);
}

int install_service(bool automatic) {
    std::string program = platform::program_path();
    if (program.empty()) {
        output("ERROR: The program's own path could not be read", kLevelError);
        return 1;
    }
    std::string unit = unit_folder() + kUnitName;
    std::string error;
    if (platform::replace_file(unit, unit_text(program, automatic), &error) != 0) {
        output("ERROR: The service unit could not be written: " + error, kLevelError);
        return 1;
    }
    output("Service unit written: " + unit, kLevelInfo);
    // systemd is told only about units in its own folder.
    if (!default_unit_folder()) return 0;
    if (systemctl({"daemon-reload"}) == 2) {
        output("systemctl not found: the unit is written, systemd was not told", kLevelWarning);
        return 0;
    }
    if (automatic && systemctl({"enable", kUnitName}) != 0) {
        output(std::string("ERROR: systemctl enable ") + kUnitName + " failed", kLevelError);
        return 1;
    }
    return 0;
}

int remove_service() {
    if (stop_running_instance() != 0) return 1;
    if (default_unit_folder()) systemctl({"disable", kUnitName});
    std::string unit = unit_folder() + kUnitName;
    if (::unlink(unit.c_str()) != 0) {
        output("ERROR: The service unit could not be deleted: " + unit + ": " + platform::error_text(errno),
               kLevelError);
        return 1;
    }
    output("Service unit deleted: " + unit, kLevelInfo);
    if (default_unit_folder()) systemctl({"daemon-reload"});
    return 0;
}

int run_service(bool console) {
    // Before any thread starts, so that every thread leaves these signals to the wait below.
    int signals = platform::open_stop_signals();
    std::string folder = schedule_folder();
    std::string error;
    if (!platform::path_is_folder(folder)) {
        // Schedules hold passwords in task arguments: a folder made here is the user's alone.
        if (platform::make_folders(folder, &error) == 0)
            ::chmod(folder.c_str(), 0700);
        else
            output("ERROR: The schedule folder could not be created: " + error, kLevelError);
        error.clear();
    }
    if (open_service_log(folder + kServiceLogName, console, &error) != 0)
        output("ERROR: The log file could not be opened: " + error, kLevelError);
    InstanceGuard instance;
    if (instance.take(folder) != 0) {
        close_service_log();
        if (signals >= 0) ::close(signals);
        return 1;
    }
    std::string runtime = platform::runtime_folder();
    output(format("%s started (%s); schedule file %s%s; runtime folder %s", kServiceDisplayName,
                  console ? "console mode" : "service", folder.c_str(), kScheduleFileName,
                  runtime.empty() ? "(none: named objects do not work)" : runtime.c_str()),
           kLevelInfo);
    platform::FolderWatch watch;
    platform::named_event_reset(kStopEventName);  // a request left from an earlier run is stale

    Scheduler scheduler(folder + kScheduleFileName);
    scheduler.start();  // without the thread the wait for a stop request still goes on
    if (!console) platform::report_service_status("READY=1");
    const char* why = nullptr;
    // The instance lock file was deleted (its folder may be going too): held open, it would keep
    // the folder's removal from being reported, so it is let go and taken anew.
    bool lock_lost = false;
    std::vector<std::string> removed;
    while (why == nullptr) {
        pollfd fds[2];
        nfds_t n = 0;
        if (signals >= 0) fds[n++] = {signals, POLLIN, 0};
        if (watch.valid()) fds[n++] = {watch.descriptor(), POLLIN, 0};
        int r = ::poll(fds, n, watch.valid() && !lock_lost ? -1 : 1000);
        if (r < 0 && errno != EINTR) break;
        if (signals >= 0) {
            int sig = platform::take_stop_signal(signals);
            // SIGHUP asks a daemon to read its configuration again: here, the schedule.
            if (sig == SIGHUP) {
                output("Reload requested (SIGHUP)", kLevelInfo);
                scheduler.reload();
            } else if (sig != 0) {
                why = sig == SIGINT ? "SIGINT" : "SIGTERM";
            }
        }
        removed.clear();
        watch.drain(&removed);
        if (!lock_lost && std::find(removed.begin(), removed.end(), kInstanceMarkName) != removed.end()) {
            instance.drop_runtime_lock();
            lock_lost = true;
        }
        // Its objects went with the folder: without them -remove would not see this instance, and
        // the editor's events would go nowhere.
        if (watch.folder_gone() || (lock_lost && r == 0)) {
            const char* what =
                watch.folder_gone()
                    ? "The runtime folder was removed: it is made again and the instance lock taken anew"
                    : "The instance lock file was removed: it is taken anew";
            watch.rearm();
            instance.retake();
            output(what, kLevelWarning);  // after the lock is held again, for whoever waits for this line
            lock_lost = false;
        }
        // A service is stopped by its manager's SIGTERM only; the event is a console run's convenience.
        if (why == nullptr && console && platform::named_event_is_set(kStopEventName)) why = "the stop event";
    }
    output(format("Stop requested (%s)", why ? why : "the wait failed"), kLevelInfo);
    if (!console) platform::report_service_status("STOPPING=1");
    scheduler.stop();
    if (console) platform::named_event_reset(kStopEventName);
    output(std::string(kServiceDisplayName) + " stopped", kLevelInfo);
    close_service_log();
    if (signals >= 0) ::close(signals);
    return 0;
}

}  // namespace orvane::sched
