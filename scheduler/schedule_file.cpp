// Reading and writing the schedule file.
#include "scheduler/schedule_file.h"

#include "common/local_file.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/file_replace.h"

namespace orvane::sched {

namespace {

// A next run the scheduler can count with: exactly fourteen digits naming a time from 1970 on.
bool usable_time_text(std::string_view text) {
    CalendarTime t;
    return text.size() == kTimeTextWidth && parse_time_text(text, t) == 0 && t.year >= 1970;
}

}  // namespace

void ScheduleParser::line(std::string_view text) {
    ++line_number_;
    if (place_ == Place::kTask && text != kVersionMarker && text != kTaskMarker) {
        raw_.append(text);
        raw_ += "\r\n";
    }
    if (text == kVersionMarker || text == kTaskMarker) {
        if (place_ == Place::kTask) end_task();
        if (text == kVersionMarker) {
            place_ = Place::kVersion;
        } else {
            begin_task();
        }
        return;
    }
    switch (place_) {
        case Place::kOutside:
            return;  // before the first marker, or after a task's fields
        case Place::kVersion:
            place_ = Place::kOutside;  // the format version: read, not otherwise used
            return;
        case Place::kTask:
            field(text);
            return;
    }
}

void ScheduleParser::finish() {
    if (place_ == Place::kTask) end_task();
    place_ = Place::kOutside;
}

void ScheduleParser::begin_task() {
    place_ = Place::kTask;
    task_ = Task{};
    fields_ = 0;
    task_line_ = line_number_;
    problems_.clear();
    raw_ = std::string(kTaskMarker) + "\r\n";
}

void ScheduleParser::set_text(std::string& field, std::string_view text, size_t width, const char* name) {
    if (text.size() > width) problems_ += format("; %s cut at %zu characters", name, width);
    field = cut(text, width);
}

uint32_t ScheduleParser::number(std::string_view text, const char* name) {
    uint64_t value = parse_decimal_prefix_saturating(text, UINT32_MAX);
    if (leading_digits(text) != text.size() || text.empty() || value == UINT32_MAX)
        problems_ += format("; %s \"%s\" read as %u", name, escape_controls(cut(text, 40)).c_str(),
                            static_cast<unsigned>(value));
    return static_cast<uint32_t>(value);
}

void ScheduleParser::field(std::string_view text) {
    LaunchDetails& l = task_.launch;
    switch (fields_++) {
        case 0:
            set_text(task_.created, text, kTimeTextWidth, "created time");
            break;
        case 1:
            task_.next_run = cut(text, kTimeTextWidth + 1);
            break;
        case 2:
            task_.recurring = number(text, "recurring flag");
            break;
        case 3:
            task_.interval = number(text, "interval");
            break;
        case 4:
            task_.unit = number(text, "unit");
            break;
        case 5:
            set_text(l.editor_text1, text, kEditorText1Width, "editor text 1");
            break;
        case 6:
            l.editor_number1 = number(text, "editor number 1");
            break;
        case 7:
            l.program = text;  // whole: a command too long is set aside, never cut
            break;
        case 8:
            l.arguments = text;
            break;
        case 9:
            set_text(l.output_file, text, kOutputFileWidth, "output file");
            break;
        case 10:
            l.editor_number2 = number(text, "editor number 2");
            break;
        case 11:
            l.capture_output = number(text, "capture flag");
            break;
        case 12:
            l.append = number(text, "append flag");
            break;
        case 13:
            l.rollover = number(text, "rollover flag");
            break;
        case 14:
            l.rollover_size = number(text, "rollover size");
            break;
        case 15:
            l.editor_number3 = number(text, "editor number 3");
            break;
        case 16:
            l.editor_number4 = number(text, "editor number 4");
            break;
        case 17:
            set_text(l.editor_text2, text, kEditorText2Width, "editor text 2");
            break;
        case 18:
            set_text(l.editor_text3, text, kEditorText3Width, "editor text 3");
            end_task();
            place_ = Place::kOutside;  // further lines up to the next marker are ignored
            break;
        default:
            break;
    }
}

void ScheduleParser::end_task() {
    place_ = Place::kOutside;
    std::string why;
    if (fields_ < kTaskLines)
        why = format("it ends after %d of its %d lines", fields_, kTaskLines);
    else if (!usable_time_text(task_.next_run))
        why = format("its next run \"%s\" is not a time", escape_controls(task_.next_run).c_str());
    else if (task_.launch.program.size() > kProgramWidth)
        why = format("its program is %zu characters long (at most %zu); cut, it would start another",
                     task_.launch.program.size(), kProgramWidth);
    else if (task_.launch.arguments.size() > kArgumentsWidth)
        why = format("its arguments are %zu characters long (at most %zu); cut, they would name other things",
                     task_.launch.arguments.size(), kArgumentsWidth);
    if (!why.empty()) {
        ++dropped_;
        if (kept_) *kept_ += raw_;
        output(format("Schedule file line %zu: task set aside (not run, kept in the file): %s", task_line_,
                      why.c_str()),
               kLevelWarning);
        return;
    }
    if (!problems_.empty())
        output(format("Schedule file line %zu: %s", task_line_, problems_.c_str() + 2), kLevelWarning);
    out_.push_back(std::move(task_));
    task_ = Task{};
}

int read_schedule(const std::string& path, std::vector<Task>& out, std::string* kept) {
    out.clear();
    if (kept) kept->clear();
    LocalFile file(path);
    if (file.open(platform::kOpenRead) != 0) return 1;
    ScheduleParser parser(out, kept);
    std::string line, rest;
    const size_t capacity = kScheduleLineCapacity + 1;
    for (;;) {
        int r = file.read_line(line, capacity);
        if (r <= 0) break;
        // A longer line comes back in pieces of capacity - 1 without a line end: drop the rest.
        bool cut_short = line.size() == capacity - 1 && static_cast<size_t>(r) == capacity - 1;
        while (cut_short) {
            int more = file.read_line(rest, capacity);
            cut_short = more > 0 && rest.size() == capacity - 1 && static_cast<size_t>(more) == capacity - 1;
        }
        parser.line(line);
    }
    parser.finish();
    return 0;
}

std::string schedule_text(const std::vector<Task>& tasks, const std::string& kept) {
    std::string s;
    auto line = [&s](std::string_view text) {
        s.append(text);
        s += "\r\n";
    };
    auto num = [&line](uint32_t v) { line(std::to_string(v)); };
    line(kVersionMarker);
    line(kFormatVersion);
    for (const Task& t : tasks) {
        const LaunchDetails& l = t.launch;
        line(kTaskMarker);
        line(t.created);
        line(t.next_run);
        num(t.recurring);
        num(t.interval);
        num(t.unit);
        line(l.editor_text1);
        num(l.editor_number1);
        line(l.program);
        line(l.arguments);
        line(l.output_file);
        num(l.editor_number2);
        num(l.capture_output);
        num(l.append);
        num(l.rollover);
        num(l.rollover_size);
        num(l.editor_number3);
        num(l.editor_number4);
        line(l.editor_text2);
        line(l.editor_text3);
    }
    s += kept;
    return s;
}

int write_schedule(const std::string& path, const std::vector<Task>& tasks, std::string* error,
                   const std::string& kept) {
    return platform::save_file(path, schedule_text(tasks, kept), error);
}

}  // namespace orvane::sched
