// orvanesched's command line: the option table, --help and --version.
#include <string>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "common/version.h"
#include "platform/console.h"
#include "scheduler/export.h"
#include "scheduler/schedule_admin.h"
#include "scheduler/service.h"

namespace orvane::sched {

namespace {

// Messages about the command line and the installation go to the console; warnings and errors to stderr.
void console_sink(void*, const char* text, int level, int line_end) {
    std::string s(text ? text : "");
    if (line_end == 1) s += '\n';
    if (level == kLevelError || level == kLevelWarning)
        platform::console_write_error(s.data(), s.size());
    else
        platform::console_write(s.data(), s.size());
}

int show_help() {
    output(usage_text(), kLevelInfo);
    return 0;
}

int show_version() {
    output(std::string("orvanesched ") + release_version(), kLevelInfo);
    output(kServiceDisplayName, kLevelInfo);
    return 0;
}

struct CommandOption {
    const char* name;  // without its leading "-" or "/", lower case
    int (*run)();
};

const CommandOption kOptions[] = {
    {"installauto", [] { return install_service(true); }},
    {"installman", [] { return install_service(false); }},
    {"remove", remove_service},
    {"debug", [] { return run_service(true); }},
    {"-help", show_help},
    {"help", show_help},
    {"h", show_help},
    {"?", show_help},
    {"-version", show_version},
};

}  // namespace

const char* usage_text() {
    return R"(Usage: orvanesched [option]

Without an option the scheduler runs in the foreground as the service process (what systemd
starts): it starts the tasks of its schedule when they are due and logs each run.

Options (they begin with "-" or "/"; names are compared without regard to case; only the first
argument counts):
  -debug               run in console mode: the log also goes to the console; Ctrl+C stops it
  -installauto         write the systemd unit orvanesched.service and enable it (starts at boot)
  -installman          write the unit, started on demand (systemctl start orvanesched)
  -remove              stop a running instance and delete the unit
  -export systemd DIR  write each task as a systemd .timer and .service pair into DIR
  -export kubernetes DIR
                       write each task (orvaneftp with a script) as a CronJob manifest into DIR
  -h, -?, --help       this summary
  --version            the program's version

Files:
  orvanesched.ssi      the schedule; orvanesched.log, the log of every run. Their folder is
                       ORVANESCHED_DIR when set; else, for an installed program, /var/lib/orvane
                       (root) or $XDG_STATE_HOME/orvane (~/.local/state/orvane); else the
                       program's own folder
  ORVANESCHED_UNIT_DIR the unit's folder (default /etc/systemd/system)
  ORVANE_RUNTIME_DIR   the folder of the events and locks shared with a schedule editor
                       (default /run/orvane, else /tmp/orvane-UID)

Schedule commands (a running scheduler takes each edit up at once):
  -list                every task: its number, program, arguments, output file, next run,
                       recurrence and end
  -add -program P [-args TEXT] [-output FILE [-replace]] [-start 2026-12-10T03:00]
       [-every 30s|15m|2h|1d|1w|3months|1year|hourly|daily|weekly|monthly|yearly]
       [-until 2027-06-30T00:00]
                       a new task: the program and its arguments (quoted as one value), the file
                       its output is appended to (-replace: rewritten each run), the first run
                       in local time (default now), the recurrence (default once) and its end
  -remove-task N       delete task N (its number in -list)
  -run-now N           start task N at once; a recurring task also keeps its times

Signals: SIGTERM and SIGINT stop the scheduler and its running tasks; SIGHUP reloads the schedule.

Exit codes:
  0   success; also for a plain first argument that is not an option
  1   an unknown option, a refused schedule command (the schedule is left as it was), a unit that could not be written or removed, a running instance that
      could not be stopped, or another instance already running)";
}

int scheduler_main(int argc, char** argv) {
    set_output_sink(console_sink, nullptr);
    if (argc < 2) return run_service(false);
    std::string arg = argv[1];
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) return 0;
    // "/" followed by a name with another "/" before any ":" is a path, not an option.
    if (arg[0] == '/') {
        size_t slash = arg.find('/', 1), colon = arg.find(':');
        if (slash != std::string::npos && (colon == std::string::npos || slash < colon)) return 0;
    }
    std::string option = to_lower(arg.substr(1));
    if (option == "export") return export_main(argc, argv);  // the one option with arguments
    int admin = run_admin_option(option, std::vector<std::string>(argv + 2, argv + argc));
    if (admin >= 0) return admin;
    for (const CommandOption& entry : kOptions)
        if (option == entry.name) return entry.run();
    output("Unknown option " + arg + " (use -installauto, -installman, -remove, -debug or --help)",
           kLevelError);
    return 1;
}

}  // namespace orvane::sched
