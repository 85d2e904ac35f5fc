// orvanesched -export systemd|kubernetes DIR: the schedule as the files of another scheduler.
#pragma once

#include <string>

namespace orvane::sched {

// Writes each task's files into `folder` (made when missing). A task that cannot be exported
// exactly is reported with its reason and leaves no file; the other tasks are still written.
// 0 when every task was written; 1 when one was refused or a file could not be written, or for
// an unknown kind.
int export_schedule(const std::string& kind, const std::string& folder);

// The command-line entry: argv[2] the kind, argv[3] the folder.
int export_main(int argc, char** argv);

}  // namespace orvane::sched
