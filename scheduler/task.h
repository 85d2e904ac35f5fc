// The task record of the schedule: when it runs, how it recurs, and what it starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::sched {

// Widths of the text fields, in characters; longer texts are cut there.
inline constexpr size_t kTimeTextWidth = 14;
inline constexpr size_t kEditorText1Width = 391;
inline constexpr size_t kProgramWidth = 390;
inline constexpr size_t kArgumentsWidth = 390;
inline constexpr size_t kOutputFileWidth = 393;
inline constexpr size_t kEditorText2Width = 390;
inline constexpr size_t kEditorText3Width = 400;

// Recurrence units.
enum RecurrenceUnit : uint32_t {
    kUnitYear = 10,
    kUnitMonth = 11,
    kUnitWeek = 12,
    kUnitDay = 13,
    kUnitHour = 14,
    kUnitMinute = 15,
    kUnitSecond = 16,
};

// What to start and where its output goes; copied whole into each occurrence and running task.
// The editor's fields are kept and written back unchanged.
struct LaunchDetails {
    std::string editor_text1;
    uint32_t editor_number1 = 101;
    std::string program;
    std::string arguments;  // appended after one blank when not empty
    std::string output_file;
    uint32_t editor_number2 = 1;
    uint32_t capture_output = 0;  // 1: the program's output goes to the output file
    uint32_t append = 0;          // 1: append to the output file, else replace it
    uint32_t rollover = 0;        // 1: the output file rolls over at rollover_size
    uint32_t rollover_size = 0;
    uint32_t editor_number3 = 0;
    uint32_t editor_number4 = 0;
    std::string editor_text2;
    std::string editor_text3;

    bool operator==(const LaunchDetails&) const = default;
};

struct Task {
    std::string created;     // time text of the record's making
    std::string next_run;    // time text of the next start; the sort key
    uint32_t recurring = 0;  // 1: repeats
    uint32_t interval = 0;   // units between runs
    uint32_t unit = kUnitSecond;
    LaunchDetails launch;

    bool operator==(const Task&) const = default;
};

}  // namespace orvane::sched
