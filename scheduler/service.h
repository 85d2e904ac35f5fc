// orvanesched's command line, its installation as a systemd service, and its lifetime.
//
//   orvanesched               run as the service process (what systemd starts)
//   orvanesched -debug        run in console mode (the log also goes to the console)
//   orvanesched -installauto  write the unit and enable it (systemctl enable) - 0 / 1
//   orvanesched -installman   write the unit, started on demand            - 0 / 1
//   orvanesched -remove       stop a running instance, delete the unit     - 0 / 1
//                             (1 also when the running instance could not be stopped)
//   orvanesched --help        the usage summary (also -h, -?, /?)          - 0
//   orvanesched -list, -add ..., -remove-task N, -run-now N
//                             read and edit the schedule (schedule_admin.h) - 0 / 1
//   orvanesched --version     "orvanesched x.y.z", then the service's name  - 0
// Options begin with "-" or "/" and are compared without regard to case; only the first
// argument counts. Another option gives 1; a plain first argument does nothing and gives 0.
#pragma once

#include <string>

#include "scheduler/instance.h"

namespace orvane::sched {

inline constexpr const char* kServiceName = "OrvaneScheduler";
inline constexpr const char* kServiceDisplayName = "Orvane Scheduler Service";
inline constexpr const char* kUnitName = "orvanesched.service";
// The folder the installed unit gives the service for its schedule, log and working folder.
inline constexpr const char* kInstalledDataDir = "/var/lib/orvane";

// The folder of the schedule file and the log: ORVANESCHED_DIR when set; else the program's
// folder when it runs from its build tree; else, installed, installed_folder() (the program's
// folder when that is empty). Ends in "/".
std::string schedule_folder();
// An installed scheduler's folder: /var/lib/orvane/ for root, else $XDG_STATE_HOME/orvane/ or
// $HOME/.local/state/orvane/; empty when a user has neither (absolute) variable.
std::string installed_folder(bool root);
// The usage summary of --help (command_line.cpp).
const char* usage_text();
// The unit file's folder: ORVANESCHED_UNIT_DIR when set, else /etc/systemd/system.
std::string unit_folder();
// The unit's text for the program at `program_path`, starting automatically or on demand.
std::string unit_text(const std::string& program_path, bool automatic);

int install_service(bool automatic);
int remove_service();
// Runs the scheduler until a stop request: SIGTERM, SIGINT, or in console mode the stop event;
// SIGHUP reloads the schedule. 0; 1 when another instance already runs (it is named by its pid).
int run_service(bool console);

// The whole program: reads the first argument and returns the exit code (command_line.cpp).
int scheduler_main(int argc, char** argv);

}  // namespace orvane::sched
