// A task as a systemd timer and the oneshot service it starts.
#include <string>

#include "common/text.h"
#include "platform/system.h"
#include "scheduler/calendar_text.h"
#include "scheduler/export_files.h"
#include "scheduler/task_run.h"

namespace orvane::sched {

namespace {

bool has_controls(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Specifiers ("%n") would be expanded by systemd: a "%" of the task's own is doubled.
std::string specifiers_escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

// One ExecStart word: always double-quoted, so no prefix ("-", "@", "+"...) and no ";" is read into
// it; C escapes for quotes, backslashes and every byte outside printable ASCII; "%" and "$" doubled,
// so neither specifiers nor environment variables are expanded.
std::string exec_word(const std::string& word) {
    std::string out = "\"";
    for (unsigned char c : word) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '%' || c == '$') {
            out += static_cast<char>(c);
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f || c == ';') {
            out += format("\\x%02x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

int systemd_files(const Task& task, const ExportContext& context, std::vector<ExportFile>& out,
                  std::string& reason) {
    TaskCalendar calendar;
    if (task_calendar(task, context.now, calendar, reason) != 0) return 1;
    const LaunchDetails& l = task.launch;
    std::vector<std::string> argv = task_argv(l);
    if (argv.empty() || argv[0].empty()) return reason = "it names no program", 1;
    if (argv[0].find('/') != std::string::npos) argv[0] = task_path(argv[0], context.folder);
    if (argv[0].find('\0') != std::string::npos) return reason = "its program name holds a NUL byte", 1;
    for (const std::string& a : argv)
        if (a.find('\0') != std::string::npos) return reason = "an argument holds a NUL byte", 1;
    if (has_controls(context.folder))
        return reason = "the schedule's folder name holds control characters", 1;

    std::string name = task_name(task, context.index);
    std::string exec;
    for (const std::string& a : argv) exec += (exec.empty() ? "" : " ") + exec_word(a);
    std::string output = "StandardOutput=null\nStandardError=null\n";
    std::string notes;
    if (l.capture_output == 1 && !l.output_file.empty()) {
        std::string path = task_path(l.output_file, context.folder);
        // The rest of the line is the path: a line break or a blank at either end would not survive.
        if (has_controls(path) || path.back() == ' ')
            return reason = "its output file name holds control characters or ends in a blank", 1;
        output = std::string("StandardOutput=") + (l.append == 1 ? "append:" : "truncate:") +
                 specifiers_escaped(path) + "\nStandardError=inherit\n";
        if (l.rollover == 1 && l.rollover_size > 0)
            notes = format(
                "# The output file's rollover at %u bytes is not carried over: rotate it with logrotate.\n",
                l.rollover_size);
    }
    // Several lines when the first run is further off than one interval: their union starts there.
    std::string on_calendar;
    for (const std::string& line : on_calendar_lines(calendar)) on_calendar += "OnCalendar=" + line + "\n";
    std::string description = format("Orvane task %zu (%s)", context.index, name.c_str());
    out.push_back({name + ".service",
                   format("# %s.service: task %zu of the orvanesched schedule, started by %s.timer.\n"
                          "# Runs as root from the system manager; add User= to run it as another user.\n"
                          "%s"
                          "[Unit]\n"
                          "Description=%s\n"
                          "\n"
                          "[Service]\n"
                          "Type=oneshot\n"
                          "WorkingDirectory=%s\n"
                          "ExecStart=%s\n"
                          "%s"
                          "# A transfer takes as long as it takes, as under the scheduler.\n"
                          "TimeoutStartSec=infinity\n",
                          name.c_str(), context.index, name.c_str(), notes.c_str(), description.c_str(),
                          specifiers_escaped(context.folder).c_str(), exec.c_str(), output.c_str())});
    out.push_back({name + ".timer",
                   format("# %s.timer: %s.\n"
                          "[Unit]\n"
                          "Description=%s: %s\n"
                          "\n"
                          "[Timer]\n"
                          "%s"
                          "# A run missed while the machine was off runs once at the next start, as the\n"
                          "# scheduler runs a missed task once.\n"
                          "Persistent=true\n"
                          "AccuracySec=1s\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=timers.target\n",
                          name.c_str(), calendar.summary.c_str(), description.c_str(),
                          calendar.summary.c_str(), on_calendar.c_str())});
    return 0;
}

}  // namespace orvane::sched
