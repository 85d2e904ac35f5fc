// orvanesched's commands for admins: -list, -add, -remove-task and -run-now. The edits go through
// the schedule editor's protocol (the editor mutex, the file lock, the reload event), so a running
// scheduler takes them up at once.
//
//   orvanesched -list
//   orvanesched -add -program P [-args TEXT] [-output FILE [-replace]] [-start yyyy-mm-ddThh:mm[:ss]]
//                    [-every N{s,m,h,d,w} | hourly | daily | weekly | monthly | yearly | N{months,years}]
//                    [-until yyyy-mm-ddThh:mm[:ss]]
//   orvanesched -remove-task N
//   orvanesched -run-now N
#pragma once

#include <string>
#include <vector>

#include "scheduler/task.h"

namespace orvane::sched {

// Runs the command `option` (its name without the leading "-" or "/", lower case) with the
// arguments after it. The exit code (0 done, 1 refused or failed, with a message on stderr),
// or -1 when `option` is not one of these commands.
int run_admin_option(const std::string& option, const std::vector<std::string>& args);

// The task -add makes from its arguments (`now`: the creation time text). 0 with the task;
// 1 with the reason in *error.
int task_from_arguments(const std::vector<std::string>& args, const std::string& now, Task& task,
                        std::string* error);

}  // namespace orvane::sched
