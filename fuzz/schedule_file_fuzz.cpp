// Fuzzes the schedule-file reader: every task read keeps its field widths and a usable next run,
// writing the list and the set-aside lines and reading them again gives the same of both, and
// moving the first task on ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "scheduler/recurrence.h"
#include "scheduler/schedule_file.h"

namespace {

using namespace orvane::sched;

// The bytes as a file the reader can open by name, without touching the disk.
std::vector<Task> read_bytes(const void* data, size_t size, std::string* kept) {
    std::vector<Task> out;
    int fd = memfd_create("schedule", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) abort();
    read_schedule("/proc/self/fd/" + std::to_string(fd), out, kept);
    close(fd);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string kept;
    std::vector<Task> tasks = read_bytes(data, size, &kept);
    for (const Task& t : tasks) {
        const LaunchDetails& l = t.launch;
        orvane::CalendarTime at;
        if (t.next_run.size() != kTimeTextWidth || orvane::parse_time_text(t.next_run, at) != 0) abort();
        if (t.created.size() > kTimeTextWidth || l.editor_text1.size() > kEditorText1Width ||
            l.program.size() > kProgramWidth || l.arguments.size() > kArgumentsWidth ||
            l.output_file.size() > kOutputFileWidth || l.editor_text2.size() > kEditorText2Width ||
            l.editor_text3.size() > kEditorText3Width)
            abort();
    }
    std::string text = schedule_text(tasks, kept);
    std::string kept_again;
    if (read_bytes(text.data(), text.size(), &kept_again) != tasks || kept_again != kept) abort();
    if (!tasks.empty()) {
        sort_tasks(tasks);
        size_t before = tasks.size();
        reschedule_first(tasks, schedule_seconds(orvane::CalendarTime{2026, 12, 8, 10, 0, 0}));
        if (tasks.size() > before) abort();
    }
    return 0;
}
