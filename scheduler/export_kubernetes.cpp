// A task as a Kubernetes CronJob running the orvaneftp image, its script mounted from a Secret.
#include <string>
#include <string_view>

#include "common/base64.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/spawn.h"
#include "platform/system.h"
#include "scheduler/calendar_text.h"
#include "scheduler/export_files.h"

namespace orvane::sched {

namespace {

constexpr size_t kScriptLimit = 512 * 1024;  // a Secret holds 1 MiB, base64 takes a third more
constexpr const char* kScriptFolder = "/etc/orvane/task";

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
        if (n == 2 && c < 0xc2) return false;  // overlong
        i += n;
    }
    return true;
}

// A YAML double-quoted scalar of UTF-8 text: quotes, backslashes and control characters escaped,
// and the three characters YAML reads as line breaks (U+0085, U+2028, U+2029) as their escapes.
std::string yaml_quoted(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += format("\\x%02x", c);
        } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) {
            out += "\\N";
            ++i;
        } else if (c == 0xe2 && i + 2 < s.size() && s[i + 1] == '\x80' &&
                   (s[i + 2] == '\xa8' || s[i + 2] == '\xa9')) {
            out += s[i + 2] == '\xa8' ? "\\L" : "\\P";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The script argument of an orvaneftp command line: "-script FILE" (the name is argument `at`)
// or "-s:FILE" (the name follows the 3 characters of the option); 0 when there is one.
int find_script(const std::vector<std::string>& argv, size_t& at, size_t& prefix) {
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() < 2 || (a[0] != '-' && a[0] != '/')) continue;
        std::string name = to_lower(a.substr(1));
        if (name == "script" && i + 1 < argv.size()) {
            at = i + 1;
            prefix = 0;
            return 0;
        }
        if (name.size() > 2 && name.compare(0, 2, "s:") == 0) {
            at = i;
            prefix = 3;
            return 0;
        }
    }
    return 1;
}

int read_script(const std::string& path, std::string& text, std::string& reason) {
    platform::FileHandle h = platform::file_open(path, platform::kOpenRead | platform::kOpenRegularOnly);
    if (h == platform::kInvalidFile)
        return reason = format("its script %s cannot be read (%s)", escape_controls(path).c_str(),
                               platform::last_error_text().c_str()),
               1;
    char buf[65536];
    int64_t got;
    while ((got = platform::file_read(h, buf, sizeof buf)) > 0 && text.size() <= kScriptLimit)
        text.append(buf, static_cast<size_t>(got));
    platform::file_close(h);
    if (got < 0) return reason = "its script could not be read to its end", 1;
    if (text.size() > kScriptLimit) return reason = "its script is over 512 KiB, more than a Secret holds", 1;
    return 0;
}

}  // namespace

int kubernetes_files(const Task& task, const ExportContext& context, std::vector<ExportFile>& out,
                     std::string& reason) {
    TaskCalendar calendar;
    std::string schedule;
    if (task_calendar(task, context.now, calendar, reason) != 0) return 1;
    if (cron_text(calendar, context.now, schedule, reason) != 0) return 1;
    std::string program = platform::normalize_local_path(task.launch.program);
    std::string base = program.substr(program.rfind('/') + 1);
    if (base != "orvaneftp") return reason = "its program is not orvaneftp, the one program of the image", 1;
    std::vector<std::string> argv = platform::split_command_line(task.launch.arguments);
    argv.insert(argv.begin(), base);
    size_t at = 0, prefix = 0;
    if (find_script(argv, at, prefix) != 0)
        return reason = "its arguments name no script (-script FILE or -s:FILE)", 1;
    std::string path = argv[at].substr(prefix);
    std::string text;
    if (read_script(task_path(path, context.folder), text, reason) != 0) return wipe_secret(text), 1;
    // The file's extension tells orvaneftp a script from a command file.
    std::string key = to_lower(path).ends_with(".fscr") ? "task.fscr" : "task.txt";
    std::string mounted = std::string(kScriptFolder) + "/" + key;
    argv[at] = argv[at].substr(0, prefix) + mounted;
    std::string encoded = base64_encode(text);
    wipe_secret(text);

    std::string args;
    for (size_t i = 1; i < argv.size(); ++i) {
        if (!valid_utf8(argv[i]))
            return wipe_secret(encoded), reason = format("argument %zu is not UTF-8 text", i), 1;
        args += "            - " + yaml_quoted(argv[i]) + "\n";
    }
    std::string name = task_name(task, context.index);
    std::string zone =
        context.time_zone.empty()
            ? "  # The machine's time zone is unknown: the schedule is read in the cluster's (UTC).\n"
            : "  timeZone: " + yaml_quoted(context.time_zone) + "\n";
    std::string output_note =
        task.launch.capture_output == 1 && !task.launch.output_file.empty()
            ? "# The task's output goes to the pod's log (kubectl logs), not to its output file.\n"
            : "";
    out.push_back(
        {name + ".yaml",
         format(
             "# %s.yaml: task %zu of the orvanesched schedule, %s.\n"
             "# The script holds passwords as the schedule does: it travels in a Secret, not a ConfigMap.\n"
             "%s"
             "apiVersion: v1\n"
             "kind: Secret\n"
             "metadata:\n"
             "  name: %s-script\n"
             "  labels:\n"
             "    app.kubernetes.io/part-of: orvane\n"
             "type: Opaque\n"
             "data:\n"
             "  %s: %s\n"
             "---\n"
             "apiVersion: batch/v1\n"
             "kind: CronJob\n"
             "metadata:\n"
             "  name: %s\n"
             "  labels:\n"
             "    app.kubernetes.io/part-of: orvane\n"
             "spec:\n"
             "  schedule: %s\n"
             "%s"
             "  # A run still going when the next is due makes that one skip, as under the scheduler.\n"
             "  concurrencyPolicy: Forbid\n"
             "  # A missed run is made up once, within one interval.\n"
             "  startingDeadlineSeconds: %lld\n"
             "  jobTemplate:\n"
             "    spec:\n"
             "      backoffLimit: 0\n"
             "      template:\n"
             "        spec:\n"
             "          restartPolicy: Never\n"
             "          securityContext:\n"
             "            runAsNonRoot: true\n"
             "            runAsUser: 10001\n"
             "            runAsGroup: 10001\n"
             "            fsGroup: 10001\n"
             "          containers:\n"
             "          - name: orvaneftp\n"
             "            image: %s\n"
             "            args:\n"
             "%s"
             "            securityContext:\n"
             "              allowPrivilegeEscalation: false\n"
             "              capabilities:\n"
             "                drop: [\"ALL\"]\n"
             "            volumeMounts:\n"
             "            - name: script\n"
             "              mountPath: %s\n"
             "              readOnly: true\n"
             "          volumes:\n"
             "          - name: script\n"
             "            secret:\n"
             "              secretName: %s-script\n"
             "              defaultMode: 0440\n",
             name.c_str(), context.index, calendar.summary.c_str(), output_note.c_str(), name.c_str(),
             key.c_str(), yaml_quoted(encoded).c_str(), name.c_str(), yaml_quoted(schedule).c_str(),
             zone.c_str(), static_cast<long long>(calendar.period), yaml_quoted(context.image).c_str(),
             args.c_str(), kScriptFolder, name.c_str())});
    wipe_secret(encoded);
    return 0;
}

}  // namespace orvane::sched
