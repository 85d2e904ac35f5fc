// The schedule file "orvanesched.ssi": markers, twenty lines per task, CR LF line ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "scheduler/task.h"

namespace orvane::sched {

inline constexpr const char* kScheduleFileName = "orvanesched.ssi";
inline constexpr const char* kVersionMarker = "INIVER+!~*#$";
inline constexpr const char* kTaskMarker = "SCHTASK+!~*#$";
inline constexpr const char* kFormatVersion = "3";
// A line of the file holds at most this many characters; the rest of a longer line is dropped.
inline constexpr size_t kScheduleLineCapacity = 8190;
// The lines of one task after its marker.
inline constexpr int kTaskLines = 20 - 1;

// Reads the file's lines one at a time into tasks. Lines before the first marker and after a
// task's nineteen fields are ignored. A task that cannot be used (cut short, a next run that is
// not a time text, a program or arguments longer than their widths, which cut would start another
// command) is not run, with a warning through the output sink; its lines go to `kept` as they
// were, so that writing the schedule back never deletes what an editor may still mend.
class ScheduleParser {
  public:
    explicit ScheduleParser(std::vector<Task>& out, std::string* kept = nullptr) : out_(out), kept_(kept) {}
    void line(std::string_view text);
    // Ends the input: a task still short of fields is set aside.
    void finish();
    size_t dropped() const { return dropped_; }

  private:
    enum class Place { kOutside, kVersion, kTask };
    void begin_task();
    void field(std::string_view text);
    void end_task();
    void set_text(std::string& field, std::string_view text, size_t width, const char* name);
    uint32_t number(std::string_view text, const char* name);

    std::vector<Task>& out_;
    std::string* kept_;
    std::string raw_;  // the current task's lines as read, for `kept`
    Place place_ = Place::kOutside;
    Task task_;
    int fields_ = 0;
    size_t line_number_ = 0;
    size_t task_line_ = 0;
    std::string problems_;
    size_t dropped_ = 0;
};

// Reads the file into `out` (cleared first) and the lines of the tasks it could not use into
// *kept (cleared first). An unreadable or missing file gives an empty list; 0 when the file was
// read, 1 when it could not be opened.
int read_schedule(const std::string& path, std::vector<Task>& out, std::string* kept = nullptr);
// The file's whole text for a list, the set-aside tasks' lines after it.
std::string schedule_text(const std::vector<Task>& tasks, const std::string& kept = {});
// Writes the list and the set-aside lines (see platform::save_file: a new file renamed over the
// old one where that keeps what the file is, else rewritten in place). 0 on success, 1 with the
// cause in *error.
int write_schedule(const std::string& path, const std::vector<Task>& tasks, std::string* error,
                   const std::string& kept = {});

}  // namespace orvane::sched
