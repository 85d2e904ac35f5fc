// What the schedule exports share: the files of one task, the export's settings, task names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scheduler/task.h"

namespace orvane::sched {

struct ExportFile {
    std::string name;  // a plain file name, safe by construction
    std::string content;
};

struct ExportContext {
    int64_t now = 0;        // schedule seconds of the export
    std::string folder;     // the schedule's folder, absolute, ending in "/": the tasks' working folder
    size_t index = 0;       // the task's place in the schedule, from 1
    std::string image;      // the orvaneftp container image
    std::string time_zone;  // the zone the schedule's times are in ("Europe/Berlin"); empty: unknown
};

// "orvane-task-3-backup-sh": the task's place and its program's name, letters and digits only
// (others become "-"), lower case, at most 52 characters (a CronJob's name limit).
std::string task_name(const Task& task, size_t index);

// A local path of the task (program, output file, script) as the scheduler would open it: "\" read
// as "/", a relative one taken from the schedule's folder.
std::string task_path(const std::string& path, const std::string& folder);

// Writers of one task's files: 0 with the files in `out`; 1 with the reason it cannot be exported.
int systemd_files(const Task& task, const ExportContext& context, std::vector<ExportFile>& out,
                  std::string& reason);
int kubernetes_files(const Task& task, const ExportContext& context, std::vector<ExportFile>& out,
                     std::string& reason);

}  // namespace orvane::sched
